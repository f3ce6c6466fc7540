// What only ymdtree does; what every program does is in every_program_test.cpp.
#include <gtest/gtest.h>

#include "harness.h"

namespace
{

// The tree printed for one date first seen: year, month, day, then the name.
std::string
full(const std::string &y, const std::string &m, const std::string &d, const std::string &name)
{
	return y + "-\n\t" + m + "-\n\t\t" + d + " \n\t\t\t" + name + "\n";
}

// The arguments are ignored.
void
check(row r)
{
	r.args = {"ignored", "args"};
	expect("ymdtree", r);
}

const std::string d5000 = std::string(5000, '1') + "-" + std::string(5000, '2') + "-3";

// clang-format off
const row rows[] = {
	{"example", {}, "16-01-15 a.tar\n16-01-15 b.tar\n16-02-03 c.tar\n17-02-03 d.tar\n", full("16", "01", "15", "a.tar") + "\t\t\tb.tar\n\t02-\n\t\t03 \n\t\t\tc.tar\n" + full("17", "02", "03", "d.tar")},
	{"empty", {}, "", ""},
	{"name_is_second_field", {}, "16-01-15 my file.tar\n", full("16", "01", "15", "my")},
	{"trailing_space", {}, "16-01-15 a \n", full("16", "01", "15", "a")},
	{"no_name", {}, "16-01-15\n", full("16", "01", "15", "")},
	{"two_spaces", {}, "16-01-15  a\n", full("16", "01", "15", "")},
	{"date_without_dash", {}, "16 x\n", full("16", "", "", "x")},
	{"same_date", {}, "16-01-15 a\n16-01-15 b\n", full("16", "01", "15", "a") + "\t\t\tb\n"},
	{"day_change", {}, "16-01-15 a\n16-01-16 b\n", full("16", "01", "15", "a") + "\t\t16 \n\t\t\tb\n"},
	{"month_change_reprints_day", {}, "16-01-15 a\n16-02-15 b\n", full("16", "01", "15", "a") + "\t02-\n\t\t15 \n\t\t\tb\n"},
	{"year_change_reprints_all", {}, "16-01-15 a\n17-01-15 b\n", full("16", "01", "15", "a") + full("17", "01", "15", "b")},
	// Parts are compared whole, not as prefixes of each other.
	{"day_prefix", {}, "16-01-1 a\n16-01-15 b\n", full("16", "01", "1", "a") + "\t\t15 \n\t\t\tb\n"},
	{"first_three_parts_only", {}, "16-01-15-x a\n16-01-15-y b\n", full("16", "01", "15", "a") + "\t\t\tb\n"},
	// A missing day and an empty one are the same part.
	{"missing_equals_empty", {}, "16-01 a\n16-01- b\n", full("16", "01", "", "a") + "\t\t\tb\n"},
	{"empty_first_line", {}, "\n", full("", "", "", "")},
	{"empty_after_date", {}, "16-01-15 a\n\n", full("16", "01", "15", "a") + full("", "", "", "")},
	{"leading_space", {}, " x\n", full("", "", "", "x")},
	{"empty_part", {}, "16--15 x\n", full("16", "", "15", "x")},
	{"leading_dash", {}, "-01-15 x\n", full("", "01", "15", "x")},
	{"trailing_dash", {}, "16-01- x\n", full("16", "01", "", "x")},
	{"no_final_newline", {}, "16-01-15 a\n16-01-15 b", full("16", "01", "15", "a") + "\t\t\tb\n"},
	// NUL ends a line's text; the byte before it counts as the line end.
	{"nul_inside", {}, std::string("16-01-15 abc\0zz\n16-01-15 d\n", 26), full("16", "01", "15", "ab") + "\t\t\td\n"},
	{"nul_first", {}, std::string("\0x\n", 3), full("", "", "", "")},
	// Bytes are data, a carriage return included.
	{"high_bytes", {}, "16-01-15 caf\xc3\xa9\r\n", full("16", "01", "15", "caf\xc3\xa9\r")},
	// Parts and a name thousands of bytes long.
	{"long_line", {}, d5000 + " " + std::string(20000, 'n') + " tail\n" + d5000 + " x\n", full(std::string(5000, '1'), std::string(5000, '2'), "3", std::string(20000, 'n')) + "\t\t\tx\n"},
};
// clang-format on

TABLE(ymdtree, rows, check);

// Every path of the loop, 100,000 times over: in the sanitizer build an
// allocation made per line and not freed shows as a leak report and a failed
// status.
TEST(ymdtree_big, many_lines)
{
	std::string in, out;
	for (int i = 0; i < 25000; i++) {
		in += "16-01-15 a\n16-01-15 b\n16-01-16 c\n17-01-16 d\n";
		out += full("16", "01", "15", "a") + "\t\t\tb\n\t\t16 \n\t\t\tc\n" +
		       full("17", "01", "16", "d");
	}
	run_result r = runtool("ymdtree", {}, in);
	EXPECT_EQ(r.out.size(), out.size());
	EXPECT_TRUE(r.out == out);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
}

} // namespace
