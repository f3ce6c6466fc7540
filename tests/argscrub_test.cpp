// What only argscrub does; what every program does is in every_program_test.cpp.
#include <gtest/gtest.h>

#include "harness.h"

// The program compiled in as well, so that filt_filename can be checked on
// every short string without starting a process for each.
#define main argscrub_main
#include "../tools/argscrub/argscrub.cpp"
#undef main

namespace
{

// clang-format off
const row rows[] = {
	{"none_plain", {"none", "hello"}, "", "hello"},
	{"filename_plain", {"filename", "hello"}, "", "hello"},
	{"slash", {"filename", "a/b"}, "", "a_b"},
	{"stars_not_merged", {"filename", "a**b"}, "", "a__b"},
	{"tab", {"filename", "\t"}, "", "_"},
	{"permitted_kept", {"filename", "AZaz09 .-+_\r\n"}, "", "AZaz09 .-+_\r\n"},
	{"plain_not_permitted", {"filename", "!\"#$%&'()*,/:;<=>?@[\\]^`{|}~\x01\x7f"}, "", std::string(30, '_')},
	{"empty", {"filename", ""}, "", ""},
	{"accent", {"filename", "caf\xc3\xa9.txt"}, "", "caf_.txt"},
	{"run_at_start", {"filename", "\xc3\xa9\xc3\xa9x"}, "", "_x"},
	{"bad_then_run", {"filename", "a*\xc3\xa9" "b"}, "", "a_b"},
	{"run_then_bad", {"filename", "a\xc3\xa9*b"}, "", "a_b"},
	{"run_at_end", {"filename", "a\xc3\xa9"}, "", "a_"},
	{"bad_run_at_end", {"filename", "a*\xc3\xa9"}, "", "a_"},
	{"run_between_bad", {"filename", "a*\xc3\xa9*b"}, "", "a__b"},
	{"runs_around_slash", {"filename", "\xc3\xa9/\xc3\xa9"}, "", "_"},
	{"runs_apart", {"filename", "x\xc3\xa9y\xc3\xa9z"}, "", "x_y_z"},
	{"none_keeps_bytes", {"none", "a/\xc3\xa9*\t"}, "", "a/\xc3\xa9*\t"},
	{"filter_word_exact", {"Filename", "a/b"}, "", "a/b"},
	{"filter_word_longer", {"filenames", "a/b"}, "", "a/b"},
	{"cut", {"none", "max5", "abcdefgh"}, "", "abcd_"},
	{"cut_exact_length", {"none", "max5", "abcde"}, "", "abcde"},
	{"cut_shorter", {"none", "max8", "abc"}, "", "abc"},
	{"cut_to_one", {"none", "max1", "abc"}, "", "_"},
	{"option_ignored", {"none", "foo", "abc"}, "", "abc"},
	{"negative_no_limit", {"none", "max-1", "abcdef"}, "", "abcdef"},
	{"cut_then_clean", {"filename", "max4", "a/bcdef"}, "", "a_b_"},
	{"cut_keeps_lone_high", {"filename", "max4", "ab\xc3\xa9" "cd"}, "", "ab__"},
	{"cut_mark_after_run", {"filename", "max3", "\xc3\xa9\xc3\xa9"}, "", "__"},
	{"two_args_text_max", {"none", "max3"}, "", "max3"},
	{"extra_args_ignored", {"none", "max2", "abc", "more"}, "", "a_"},
	{"hex_limit", {"none", "max0x14", "abcdefghijklmnopqrstuvwxyz"}, "", "abcdefghijklmnopqrs_"},
	{"octal_limit", {"none", "max010", "abcdefghijk"}, "", "abcdefg_"},
	{"trailing_junk", {"none", "max3kb", "abcdef"}, "", "ab_"},
	{"zero", {"none", "max0", "abc"}, "", ""},
	{"zero_filename", {"filename", "max0", "a/\xc3\xa9"}, "", ""},
	{"zero_empty", {"none", "max0", ""}, "", ""},
	{"not_a_number", {"none", "maxfoo", "abc"}, "", ""},
	{"bare_max", {"none", "max", "abc"}, "", ""},
	{"largest", {"none", "max2147483647", "abc"}, "", "abc"},
	{"above_range", {"none", "max99999999999", "abc"}, "", "abc"},
	{"far_above_range", {"none", "max999999999999999999999999", "abc"}, "", "abc"},
	{"below_range", {"none", "max-99999999999", "abc"}, "", "abc"},
	{"long_text_cut", {"none", "max40", std::string(100000, 'x')}, "", std::string(39, 'x') + "_"},
	{"long_text_whole", {"filename", std::string(100000, 'x')}, "", std::string(100000, 'x')},
	{"no_args", {}, "", "", "", 1},
	{"one_arg", {"filename"}, "", "", "", 1},
};
// clang-format on

TABLE(argscrub, rows, [](const row &r) { expect("argscrub", r); });

// The merging rules as a list: a permitted byte is kept; any other byte
// below 128 gives "_"; a run of bytes of 128 or more gives one "_", unless a
// non-permitted byte below 128 stands right before or right after the run, whose
// "_" then stands for both.
std::string
cleaned(const std::string &s)
{
	auto fit = [](unsigned char c) {
		return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
		       std::string(" .-+_\r\n").find(static_cast<char>(c)) != std::string::npos;
	};
	auto badplain = [&](unsigned char c) { return c < 0x80 && !fit(c); };
	auto high = [&](size_t k) { return static_cast<unsigned char>(s[k]) >= 0x80; };
	std::string out;
	// i starts a run of high bytes, or a plain byte alone, which j ends.
	for (size_t i = 0, j; i < s.size(); i = j) {
		for (j = i + 1; high(i) && j < s.size() && high(j);)
			j++;
		if (!high(i))
			out += fit(s[i]) ? s[i] : '_';
		else if (!(i > 0 && badplain(s[i - 1])) && !(j < s.size() && badplain(s[j])))
			out += '_';
	}
	return out;
}

TEST(argscrub_rules, every_short_string)
{
	const char alpha[] = {'a', '/', '\xc3', '\xa9', '.'};
	// Each string up to 4 bytes long, as it and each byte after it.
	std::vector<std::string> all = {""};
	for (size_t i = 0; all[i].size() < 4; i++)
		for (char c : alpha)
			all.push_back(all[i] + c);
	ASSERT_EQ(all.size(), 781u);
	for (const auto &s : all) {
		std::string buf = s;
		char *p = buf.data();
		filt_filename(&p);
		ASSERT_EQ(p, buf.data()) << "text: " << visible(s);
		ASSERT_EQ(visible(p), visible(cleaned(s))) << "text: " << visible(s);
	}
}

// Nothing is written, so a full output is no error.
TEST(argscrub_output, empty_result_writes_nothing)
{
	expect("argscrub", {"to_full", {"none", "max0", "abc"}}, {.out_path = "/dev/full"});
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
