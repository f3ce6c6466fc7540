// What only the manual pages must be: every page renders and lints cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "harness.h"

namespace
{

namespace fs = std::filesystem;

const char *const sections[] = {"NAME",        "SYNOPSIS", "DESCRIPTION",
                                "EXIT STATUS", "EXAMPLES", "SEE ALSO"};

// The programs by name, each with its page, tools/NAME/NAME.1.
std::vector<std::string>
programs()
{
	std::vector<std::string> names;
	for (const auto &d : fs::directory_iterator(fs::path(SOURCE_DIR) / "tools"))
		names.push_back(d.path().filename());
	std::sort(names.begin(), names.end());
	return names;
}

fs::path
page(const std::string &name)
{
	return fs::path(SOURCE_DIR) / "tools" / name / (name + ".1");
}

// Every program's page renders without a warning from groff, has the usual
// sections, and shows its examples whole on an 80-column terminal, where a
// literal line is never wrapped.
TEST(manpages, render_cleanly)
{
	std::vector<std::string> names = programs();
	ASSERT_FALSE(names.empty());
	for (const auto &name : names) {
		fs::path p = page(name);
		ASSERT_TRUE(fs::exists(p)) << p;
		run_result r = run({"/usr/bin/groff", "-mandoc", "-ww", "-z", p});
		EXPECT_EQ(r.err, "") << p;
		EXPECT_EQ(r.status, 0) << p;
		run_result t = run({"/usr/bin/groff", "-mandoc", "-Tascii", "-P-cbu", p});
		for (const char *s : sections)
			EXPECT_NE(t.out.find(std::string("\n") + s + "\n"), std::string::npos)
			        << p << " lacks " << s;
		bool examples = false;
		std::istringstream text(t.out);
		for (std::string l; std::getline(text, l);) {
			// Section headings are the only lines that start with a letter.
			if (!l.empty() && l[0] != ' ')
				examples = l == "EXAMPLES";
			EXPECT_LE(examples ? l.size() : 0, 80u) << p << ": " << l;
		}
	}
}

// Whether a note of mandoc's default lint level on a page may stand: the
// toolbox's name on the .Os line is deliberate, and another program's page
// may be missing, as in a minimal build environment; a missing toolbox page
// may not.
bool
tolerated(const std::string &note, const std::vector<std::string> &names)
{
	const std::string xr = "STYLE: referenced manual not found: Xr ";
	size_t end = note.find(' ', xr.size());
	return note.starts_with("STYLE: operating system explicitly specified: Os toolbox") ||
	       (note.starts_with(xr) &&
	        !std::binary_search(names.begin(), names.end(),
	                            note.substr(xr.size(), end - xr.size())));
}

// The pages pass mandoc's lint. They lie side by side, as once installed, so
// that their references to each other resolve.
TEST(manpages, lint_cleanly_with_mandoc)
{
	if (!fs::exists("/usr/bin/mandoc"))
		GTEST_SKIP() << "/usr/bin/mandoc is missing (Debian package mandoc)";
	std::vector<std::string> names = programs();
	std::string dir = tempdir();
	for (const auto &name : names)
		fs::create_symlink(page(name), fs::path(dir) / (name + ".1"));
	for (const auto &name : names) {
		std::string p = page(name);
		// mandoc looks for NAME.SECTION in its working folder last.
		run_result r = run({"/usr/bin/mandoc", "-T", "lint", p}, {.cwd = dir});
		EXPECT_LE(r.status, 1) << r.out << r.err;
		// Other lines are about the system's page index, not this page.
		std::string here = "mandoc: " + p + ":";
		std::istringstream notes(r.out + r.err);
		for (std::string l; std::getline(notes, l);) {
			size_t at = l.find(": ", here.size());
			if (l.starts_with(here) &&
			    (at == std::string::npos || !tolerated(l.substr(at + 2), names)))
				ADD_FAILURE() << l;
		}
	}
}

} // namespace
