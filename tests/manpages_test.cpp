#include <gtest/gtest.h>

#include <filesystem>

#include "harness.h"

namespace
{

namespace fs = std::filesystem;

const char *const sections[] = {"NAME",        "SYNOPSIS", "DESCRIPTION",
                                "EXIT STATUS", "EXAMPLES", "SEE ALSO"};

// Every program's page renders without a warning (from groff, and from
// mandoc where it is installed) and has the usual sections.
TEST(manpages, render_cleanly)
{
	int pages = 0;
	for (const auto &d : fs::directory_iterator(fs::path(SOURCE_DIR) / "tools")) {
		std::string name = d.path().filename();
		fs::path page = d.path() / (name + ".1");
		ASSERT_TRUE(fs::exists(page)) << page;
		run_result r = run({"/usr/bin/groff", "-mandoc", "-ww", "-z", page});
		EXPECT_EQ(r.err, "") << page;
		EXPECT_EQ(r.status, 0) << page;
		if (fs::exists("/usr/bin/mandoc")) {
			run_result m = run({"/usr/bin/mandoc", "-T", "lint", "-W", "warning", page});
			EXPECT_EQ(m.out + m.err, "") << page;
			EXPECT_EQ(m.status, 0) << page;
		}
		run_result t = run({"/usr/bin/groff", "-mandoc", "-Tascii", "-P-cbu", page});
		for (const char *s : sections)
			EXPECT_NE(t.out.find(std::string("\n") + s + "\n"), std::string::npos)
			        << page << " lacks " << s;
		pages++;
	}
	EXPECT_GT(pages, 0);
}

} // namespace
