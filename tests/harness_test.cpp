// What only the harness does; what every program does is in
// every_program_test.cpp, what only NAME does in NAME_test.cpp.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>

#include "harness.h"

namespace
{

// The processes of group g that have not ended (zombies have).
int
living(pid_t g)
{
	int n = 0;
	for (const auto &e : std::filesystem::directory_iterator("/proc")) {
		std::string stat;
		try {
			stat = getfile(e.path() / "stat");
		} catch (const std::exception &) {
			continue; // not a process, or gone meanwhile
		}
		// After the name in parentheses: state, parent, group.
		std::istringstream f(stat.substr(stat.rfind(')') + 1));
		std::string state;
		pid_t parent, group;
		if (f >> state >> parent >> group && group == g && state != "Z")
			n++;
	}
	return n;
}

// A test that fails while a program runs leaves nothing of it behind,
// however many processes it had started.
TEST(harness, program_left_by_exception_ends_its_group)
{
	pid_t g = -1;
	auto fail = [&g] {
		proc p = start({"/bin/sh", "-c", "sleep 60 & sleep 60 & wait"});
		g = p.pid;
		for (int i = 0; i < 1000 && living(g) < 3; i++)
			usleep(10000);
		throw std::runtime_error("test fails mid-run");
	};
	EXPECT_THROW(fail(), std::runtime_error);
	ASSERT_GT(g, 0);
	int left = living(g);
	for (int i = 0; i < 500 && left > 0; i++, left = living(g))
		usleep(10000);
	EXPECT_EQ(left, 0);
}

// The harness's reading of the loader, which decides whether a library can
// be preloaded, agrees with readelf's: "[Requesting program interpreter:
// /lib64/ld-linux-x86-64.so.2]", no such line in a static program.
TEST(harness, interpreter_as_readelf_reads_it)
{
	const char readelf[] = "/usr/bin/readelf";
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
