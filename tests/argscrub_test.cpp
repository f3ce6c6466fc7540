// What only argscrub does; what every program does is in every_program_test.cpp.
#include <gtest/gtest.h>

#include <unistd.h>

#include "harness.h"

// The program compiled in as well, so that filt_filename can be checked on
// every short string without starting a process for each.
#define main argscrub_main
#include "../tools/argscrub/argscrub.cpp"
#undef main

namespace
{

struct tcase {
	const char *name;
	std::vector<std::string> args;
	std::string out;
	int status;
};

const std::string big(100000, 'x');

const tcase cases[] = {
        {"none_plain", {"none", "hello"}, "hello", 0},
        {"filename_plain", {"filename", "hello"}, "hello", 0},
        {"slash", {"filename", "a/b"}, "a_b", 0},
        {"stars_not_merged", {"filename", "a**b"}, "a__b", 0},
        {"tab", {"filename", "\t"}, "_", 0},
        {"permitted_kept", {"filename", "AZaz09 .-+_\r\n"}, "AZaz09 .-+_\r\n", 0},
        {"plain_not_permitted",
         {"filename", "!\"#$%&'()*,/:;<=>?@[\\]^`{|}~\x01\x7f"},
         std::string(30, '_'),
         0},
        {"empty", {"filename", ""}, "", 0},
        {"accent", {"filename", "caf\xc3\xa9.txt"}, "caf_.txt", 0},
        {"run_at_start", {"filename", "\xc3\xa9\xc3\xa9x"}, "_x", 0},
        {"bad_then_run",
         {"filename", "a*\xc3\xa9"
                      "b"},
         "a_b",
         0},
        {"run_then_bad", {"filename", "a\xc3\xa9*b"}, "a_b", 0},
        {"run_at_end", {"filename", "a\xc3\xa9"}, "a_", 0},
        {"bad_run_at_end", {"filename", "a*\xc3\xa9"}, "a_", 0},
        {"run_between_bad", {"filename", "a*\xc3\xa9*b"}, "a__b", 0},
        {"runs_around_slash", {"filename", "\xc3\xa9/\xc3\xa9"}, "_", 0},
        {"runs_apart", {"filename", "x\xc3\xa9y\xc3\xa9z"}, "x_y_z", 0},
        {"none_keeps_bytes", {"none", "a/\xc3\xa9*\t"}, "a/\xc3\xa9*\t", 0},
        {"filter_word_exact", {"Filename", "a/b"}, "a/b", 0},
        {"filter_word_longer", {"filenames", "a/b"}, "a/b", 0},
        {"cut", {"none", "max5", "abcdefgh"}, "abcd_", 0},
        {"cut_exact_length", {"none", "max5", "abcde"}, "abcde", 0},
        {"cut_shorter", {"none", "max8", "abc"}, "abc", 0},
        {"cut_to_one", {"none", "max1", "abc"}, "_", 0},
        {"option_ignored", {"none", "foo", "abc"}, "abc", 0},
        {"negative_no_limit", {"none", "max-1", "abcdef"}, "abcdef", 0},
        {"cut_then_clean", {"filename", "max4", "a/bcdef"}, "a_b_", 0},
        {"cut_keeps_lone_high",
         {"filename", "max4",
          "ab\xc3\xa9"
          "cd"},
         "ab__",
         0},
        {"cut_mark_after_run", {"filename", "max3", "\xc3\xa9\xc3\xa9"}, "__", 0},
        {"two_args_text_max", {"none", "max3"}, "max3", 0},
        {"extra_args_ignored", {"none", "max2", "abc", "more"}, "a_", 0},
        {"hex_limit", {"none", "max0x14", "abcdefghijklmnopqrstuvwxyz"}, "abcdefghijklmnopqrs_", 0},
        {"octal_limit", {"none", "max010", "abcdefghijk"}, "abcdefg_", 0},
        {"trailing_junk", {"none", "max3kb", "abcdef"}, "ab_", 0},
        {"zero", {"none", "max0", "abc"}, "", 0},
        {"zero_filename", {"filename", "max0", "a/\xc3\xa9"}, "", 0},
        {"zero_empty", {"none", "max0", ""}, "", 0},
        {"not_a_number", {"none", "maxfoo", "abc"}, "", 0},
        {"bare_max", {"none", "max", "abc"}, "", 0},
        {"largest", {"none", "max2147483647", "abc"}, "abc", 0},
        {"above_range", {"none", "max99999999999", "abc"}, "abc", 0},
        {"far_above_range", {"none", "max999999999999999999999999", "abc"}, "abc", 0},
        {"below_range", {"none", "max-99999999999", "abc"}, "abc", 0},
        {"long_text_cut", {"none", "max40", big}, std::string(39, 'x') + "_", 0},
        {"long_text_whole", {"filename", big}, big, 0},
        {"no_args", {}, "", 1},
        {"one_arg", {"filename"}, "", 1},
};

using ::PrintTo; // rows print, and name their tests, by their name

class argscrub : public testing::TestWithParam<tcase>
{
};

TEST_P(argscrub, prints)
{
	const tcase &c = GetParam();
	run_result r = runtool("argscrub", c.args);
	EXPECT_EQ(visible(r.out), visible(c.out));
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(cases, argscrub, testing::ValuesIn(cases),
                         testing::PrintToStringParamName());

bool
fit(unsigned char c)
{
	return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
	       std::string(" .-+_\r\n").find(static_cast<char>(c)) != std::string::npos;
}

bool
badplain(unsigned char c)
{
	return c < 0x80 && !fit(c);
}

// The merging rules as a list: a permitted byte is kept; any other byte
// below 128 gives "_"; a run of bytes of 128 or more gives one "_", unless a
// non-permitted byte below 128 stands right before or right after the run, whose
// "_" then stands for both.
std::string
cleaned(const std::string &s)
{
	std::string out;
	for (size_t i = 0; i < s.size();) {
		unsigned char c = s[i];
		if (c < 0x80) {
			out += fit(c) ? static_cast<char>(c) : '_';
			i++;
			continue;
		}
		size_t j = i;
		while (j < s.size() && static_cast<unsigned char>(s[j]) >= 0x80)
			j++;
		if (!(i > 0 && badplain(s[i - 1])) && !(j < s.size() && badplain(s[j])))
			out += '_';
		i = j;
	}
	return out;
}

TEST(argscrub_rules, every_short_string)
{
	const char alpha[] = {'a', '/', '\xc3', '\xa9', '.'};
	std::vector<std::string> level = {""}, all = {""};
	for (int len = 1; len <= 4; len++) {
		std::vector<std::string> next;
		for (const auto &s : level)
			for (char c : alpha)
				next.push_back(s + c);
		all.insert(all.end(), next.begin(), next.end());
		level = next;
	}
	ASSERT_EQ(all.size(), 781u);
	for (const auto &s : all) {
		std::string buf = s;
		char *p = buf.data();
		filt_filename(&p);
		ASSERT_EQ(p, buf.data()) << "text: " << visible(s);
		ASSERT_EQ(visible(p), visible(cleaned(s))) << "text: " << visible(s);
	}
}

TEST(argscrub_output, empty_result_writes_nothing)
{
	run_opts o;
	o.out_path = "/dev/full";
	run_result r = runtool("argscrub", {"none", "max0", "abc"}, "", o);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
}

// The script of the manual page, run as written there.
TEST(argscrub_manual, safe_name_script)
{
	const std::string body = "name=$(argscrub filename max40 \"$title\")\n"
	                         "case $name in ''|.|..) name=untitled ;; esac\n"
	                         "printf '%s\\n' \"$name\"\n";
	std::string path = tool("argscrub");
	std::string script = "PATH=" + path.substr(0, path.rfind('/')) + ":$PATH\n" +
	                     "title='Minutes: 2024/25 *draft*'\n" + body + "title=..\n" + body;
	run_result r = run({"/bin/sh", "-c", script});
	EXPECT_EQ(r.out, "Minutes_ 2024_25 _draft_\nuntitled\n");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
}

} // namespace
