// The programs need the C library alone at run time: no C++ runtime, no
// libgcc_s, no libm, so that they start as fast as a C program does.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace
{

constexpr bool sanitized = TOOLBOX_ASAN;

const char readelf[] = "/usr/bin/readelf";

// The shared libraries that the program at path names, as readelf lists
// them: "0x... (NEEDED) Shared library: [libc.so.6]".
std::vector<std::string>
needed(const std::string &path)
{
	run_result r = run({readelf, "-d", "-W", path});
	EXPECT_EQ(r.status, 0) << path << ": " << r.err;
	std::vector<std::string> libs;
	std::istringstream in(r.out);
	for (std::string l; std::getline(in, l);) {
		size_t open = l.find('['), close = l.rfind(']');
		if (l.find("(NEEDED)") != std::string::npos && open < close)
			libs.push_back(l.substr(open + 1, close - open - 1));
	}
	return libs;
}

// The C library, or the dynamic loader, which some architectures name too
// (arm64's stack protector takes its guard from it): ld-linux-aarch64.so.1,
// ld64.so.2, ld.so.1.
bool
clibrary(const std::string &lib)
{
	return lib.starts_with("libc.so.") || lib.starts_with("ld-linux") ||
	       lib.starts_with("ld64.so.") || lib.starts_with("ld.so.");
}

TEST(linkage, c_library_alone)
{
	if (sanitized)
		GTEST_SKIP() << "the sanitizers' runtimes need the C++ runtime themselves";
	if (access(readelf, X_OK) != 0)
		GTEST_SKIP() << "no readelf (Debian package binutils)";
	int n = 0;
	for (const auto &d :
	     std::filesystem::directory_iterator(std::string(SOURCE_DIR) + "/tools")) {
		std::string name = d.path().filename();
		// A static build names no library at all.
		for (const auto &lib : needed(binary(name)))
			EXPECT_TRUE(clibrary(lib)) << name << " needs " << lib;
		n++;
	}
	EXPECT_GT(n, 0);
}

// The harness's reading of the loader, which decides whether a library can
// be preloaded, agrees with readelf's: "[Requesting program interpreter:
// /lib64/ld-linux-x86-64.so.2]", no such line in a static program.
TEST(linkage, interpreter_as_readelf_reads_it)
{
	if (access(readelf, X_OK) != 0)
		GTEST_SKIP() << "no readelf (Debian package binutils)";
	const std::string tag = "[Requesting program interpreter: ";
	for (const auto &d :
	     std::filesystem::directory_iterator(std::string(SOURCE_DIR) + "/tools")) {
		std::string path = binary(d.path().filename()), want;
		run_result r = run({readelf, "-l", "-W", path});
		EXPECT_EQ(r.status, 0) << path << ": " << r.err;
		size_t at = r.out.find(tag);
		if (at != std::string::npos)
			want = r.out.substr(at + tag.size(), r.out.find(']', at) - at - tag.size());
		EXPECT_EQ(interpreter(path), want) << path;
	}
}

} // namespace
