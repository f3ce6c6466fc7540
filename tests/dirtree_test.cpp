// What only dirtree does; what every program does is in every_program_test.cpp.
#include <gtest/gtest.h>

#include "harness.h"

namespace
{

// The arguments are ignored.
void
check(row r)
{
	r.args = {"ignored", "args"};
	expect("dirtree", r);
}

// clang-format off
const row rows[] = {
	{"example", {}, "a/\na/b/\na/b/c.txt\na/d.txt\ne.txt\n", "a/\n\tb/\n\t\tc.txt\n\td.txt\ne.txt\n"},
	{"empty", {}, "", ""},
	{"unlisted_dir", {}, "x/y.txt\n", "x/y.txt\n"},
	{"dir_without_parents", {}, "a/b/\na/b/c\n", "a/b/\n\tc\n"},
	{"siblings", {}, "a/\nb/\n", "a/\nb/\n"},
	{"sibling_before", {}, "b/\nab\n", "b/\nab\n"},
	{"long_names", {}, "project-2026/\nproject-2026/src-main/\nproject-2026/src-main/f\nproject-2026/doc\n", "project-2026/\n\tsrc-main/\n\t\tf\n\tdoc\n"},
	{"same_dir_twice", {}, "a/\na/\n", "a/\n\t/\n"},
	{"empty_closes_all", {}, "a/\na/b/\n\n", "a/\n\tb/\n\n"},
	{"empty_after_repeat", {}, "a/\na/\n\n", "a/\n\t/\n\t\n"},
	{"root", {}, "/\n/x\n", "/\n\tx\n"},
	{"name_prefix_not_inside", {}, "a/\na/b/\na/bc\n", "a/\n\tb/\n\tbc\n"},
	{"parent_again", {}, "a/\na/b/\na/\nx\n", "a/\n\tb/\n\t/\n\tx\n"},
	{"no_final_newline", {}, "a/\na/b", "a/\n\tb\n"},
	{"doubled_slash", {}, "a/\na//\n", "a/\n\t/\n"},
	// More levels close than were opened: depth stops at 0.
	{"unopened_levels", {}, "a/b/\nc\n", "a/b/\nc\n"},
	{"unopened_then_dir", {}, "a/b/c/\nd/\nd/e\n", "a/b/c/\nd/\n\te\n"},
	// NUL ends a line's text; the byte before it counts as the line end.
	{"nul_inside", {}, std::string("a/\na/bc\0zz\nd\n", 13), "a/\n\tb\nd\n"},
	{"nul_first", {}, std::string("a/\n\0x\ny\n", 8), "a/\n\ny\n"},
	// A line longer than a read, so it starts its buffer, leaves a
	// directory whose first 15 bytes it shares: compared a word at a
	// time, it is never read before its start.
	{"long_line_leaves_dir", {}, "d23456789abcdef/\nd23456789abcdefg" + std::string(70000, 'x') + "\n", "d23456789abcdef/\nd23456789abcdefg" + std::string(70000, 'x') + "\n"},
	{"deep_tar_order", {}, "r/\nr/a/\nr/a/b/\nr/a/b/f\nr/a/g\nr/h/\nr/h/i\nj\n", "r/\n\ta/\n\t\tb/\n\t\t\tf\n\t\tg\n\th/\n\t\ti\nj\n"},
};
// clang-format on

TABLE(dirtree, rows, check);

TEST(dirtree_big, long_lines_and_many_levels)
{
	std::string in, out, path;
	for (int i = 0; i < 200; i++) {
		std::string name(97, static_cast<char>('a' + i % 26));
		path += name + "/";
		in += path + "\n";
		out += std::string(i, '\t') + name + "/\n";
	}
	in += "z\n";
	out += "z\n";
	run_result r = runtool("dirtree", {}, in);
	EXPECT_EQ(r.out, out);
	EXPECT_EQ(r.status, 0);
}

} // namespace
