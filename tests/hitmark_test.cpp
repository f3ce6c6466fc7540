// What only hitmark does; what every program does is in every_program_test.cpp.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace
{

// A helper that shows its arguments on standard error, as their count and
// each one in brackets, and replies with reply (printf %b).
std::string
helper(const std::string &reply)
{
	return "#!/bin/sh\n"
	       "printf '%s' \"$#\" >&2\n"
	       "for a; do printf '[%s]' \"$a\" >&2; done\n"
	       "echo >&2\n"
	       "printf '%b' '" +
	       reply + "'\n";
}

const std::string script = helper("v");

// A fresh directory holding the helper, to run hitmark in.
std::string
withhelper(const std::string &body = script, mode_t mode = 0755)
{
	std::string d = tempdir();
	putfile(d + "/hitmark.sh", body);
	chmod((d + "/hitmark.sh").c_str(), mode);
	return d;
}

run_result
inside(const std::string &dir, const std::string &in, run_opts o = {})
{
	o.cwd = dir;
	return runtool("hitmark", {"ignored", "args"}, in, o);
}

// A row adds its helper: hitmark.sh's text and mode (0: there is none), and
// faults for strace to inject, which strike the shell's start alone where
// shell is set. A row's message is what hitmark and the helper wrote.
struct hrow : row {
	std::string body = script;
	mode_t mode = 0755;
	std::string inject;
	bool shell = false;
};

// A helper without "#!", which only a shell runs; a name too long to pass.
const std::string shellonly = "printf v\n", big(200000, 'n');

// clang-format off
const hrow rows[] = {
	{{"no_colon", {}, "plain text\n", "plain text\n"}},
	{{"one_colon", {}, "a.txt:text\n", "a.txt:text\n"}},
	{{"not_numeric", {}, "a.txt:x1:text\n", "a.txt:x1:text\n"}},
	{{"hex_is_not_numeric", {}, "a.txt:0x1f:text\n", "a.txt:0x1f:text\n"}},
	{{"blank_field", {}, "a.txt: :text\n", "a.txt: :text\n"}},
	{{"sign_only", {}, "a.txt:+:text\n", "a.txt:+:text\n"}},
	{{"trailing_space", {}, "a.txt:12 :text\n", "a.txt:12 :text\n"}},
	{{"example", {}, "doc/a.txt:42:some text\n", "doc/a.txt:v:42:some text\n", "2[doc/a.txt][42]\n"}},
	{{"empty_field", {}, "a.txt::text\n", "a.txt:v::text\n", "1[a.txt]\n"}},
	{{"leading_space", {}, "a.txt: 12:text\n", "a.txt:v: 12:text\n", "2[a.txt][12]\n"}},
	{{"leading_tab", {}, "a.txt:\t12:text\n", "a.txt:v:\t12:text\n", "2[a.txt][12]\n"}},
	{{"minus", {}, "a.txt:-3:text\n", "a.txt:v:-3:text\n", "2[a.txt][-3]\n"}},
	{{"plus", {}, "a.txt:+12:text\n", "a.txt:v:+12:text\n", "2[a.txt][+12]\n"}},
	{{"huge_number", {}, "a.txt:99999999999999999999:t\n", "a.txt:v:99999999999999999999:t\n", "2[a.txt][99999999999999999999]\n"}},
	{{"name_after_last_space", {}, "grep hit a.txt:12:text\n", "grep hit a.txt:v:12:text\n", "2[a.txt][12]\n"}},
	{{"empty_name", {}, ":12:text\n", ":v:12:text\n", "1[12]\n"}},
	{{"space_before_colon", {}, "a.txt :12:text\n", "a.txt :v:12:text\n", "1[12]\n"}},
	{{"tab_splits_name", {}, "x\ta.txt:12:text\n", "x\ta.txt:v:12:text\n", "3[x][a.txt][12]\n"}},
	{{"many_words", {}, "a\tb\tc\td\te\tf\tg\th\ti\tj\tk\tl\tm\tn\to\tp:1:x\n", "a\tb\tc\td\te\tf\tg\th\ti\tj\tk\tl\tm\tn\to\tp:v:1:x\n", "17[a][b][c][d][e][f][g][h][i][j][k][l][m][n][o][p][1]\n"}},
	{{"nothing_at_all", {}, "::\n", ":v::\n", "0\n"}},
	{{"later_colons_kept", {}, "a:1:b:2:c\n", "a:v:1:b:2:c\n", "2[a][1]\n"}},
	{{"no_final_newline", {}, "a:1:b", "a:v:1:b", "2[a][1]\n"}},
	{{"mixed", {}, "x\na:1:b\ny:z\nc:2:\n", "x\na:v:1:b\ny:z\nc:v:2:\n", "2[a][1]\n2[c][2]\n"}},
	{{"empty_input", {}, "", ""}},
	// A NUL ends the line's text: the rest and its line end are not written.
	{{"nul_inside", {}, std::string("a:1:b\0c\nd:2:e\n", 14), "a:v:1:bd:v:2:e\n", "2[a][1]\n2[d][2]\n"}},
	{{"nul_in_name", {}, std::string("a\0:1:x\nz\n", 9), "az\n"}},
	{{"nul_first", {}, std::string("\0a:1:x\nz\n", 9), "z\n"}},
	{{"long_name", {}, std::string(3000, 'n') + ":5:t\n", std::string(3000, 'n') + ":v:5:t\n", "2[" + std::string(3000, 'n') + "][5]\n"}},
	// The reply is the first 8 bytes of the helper's output, whatever they are.
	{{"reply_taken", {}, "doc/a.txt:42:x\n", "doc/a.txt:rev7:42:x\n", "2[doc/a.txt][42]\n"}, helper("rev7")},
	{{"reply_empty", {}, "doc/a.txt:42:x\n", "doc/a.txt::42:x\n", "2[doc/a.txt][42]\n"}, helper("")},
	{{"reply_cut", {}, "doc/a.txt:42:x\n", "doc/a.txt:12345678:42:x\n", "2[doc/a.txt][42]\n"}, helper("123456789abc")},
	{{"reply_newline", {}, "doc/a.txt:42:x\n", "doc/a.txt:rev7\n:42:x\n", "2[doc/a.txt][42]\n"}, helper("rev7\\n")},
	{{"reply_newline_cut", {}, "doc/a.txt:42:x\n", "doc/a.txt:12345678:42:x\n", "2[doc/a.txt][42]\n"}, helper("12345678\\n")},
	{{"reply_nul", {}, "doc/a.txt:42:x\n", std::string("doc/a.txt:a\0b:42:x\n", 19), "2[doc/a.txt][42]\n"}, helper("a\\0b")},
	// A helper that cannot be started costs its reply and one message per annotated line; the run goes
	// on but ends with status 1. One without "#!" runs through /bin/sh; the helper's own status does not
	// count.
	{{"missing", {}, "a:1:x\nplain\nb::y\n", "a::1:x\nplain\nb:::y\n", "hitmark: ./hitmark.sh: No such file or directory\nhitmark: ./hitmark.sh: No such file or directory\n", 1}, "", 0},
	// Root too needs an execute bit to run a file.
	{{"not_executable", {}, "a:1:x\n", "a::1:x\n", "hitmark: ./hitmark.sh: Permission denied\n", 1}, script, 0644},
	// A reply that cannot be read is no reply; {reply} is the number of the first read of a reply, 8
	// bytes, among all the reads.
	{{"reply_unread", {}, "a:1:x\nb:2:y\n", "a::1:x\nb:v:2:y\n", "hitmark: ./hitmark.sh: Input/output error\n", 1}, "#!/bin/sh\nprintf v\n", 0755, "read:error=EIO:when={reply}"},
	{{"too_long", {}, big + ":1:x\nb:2:y\n", big + "::1:x\nb:v:2:y\n", "hitmark: ./hitmark.sh: Argument list too long\n2[b][2]\n", 1}},
	{{"no_hash_bang", {}, "a:1:x\n", "a:a,1,:1:x\n"}, "printf '%s,' \"$@\"\n"},
	// Arguments that fit the helper's exec but not the shell's longer one: the cause is the shell's, not
	// the file's format.
	{{"too_long_for_the_shell", {}, "a:1:x\n", "a::1:x\n", "hitmark: ./hitmark.sh: Argument list too long\n", 1}, shellonly, 0755, "execve:error=E2BIG", true},
	// No process for the shell: the reason is not the file's format.
	{{"no_shell_process", {}, "a:1:x\n", "a::1:x\n", "hitmark: ./hitmark.sh: Resource temporarily unavailable\n", 1}, shellonly, 0755, "clone3,?clone:error=EAGAIN:when=2"},
	{{"status_ignored", {}, "a:1:x\n", "a:ok:1:x\n"}, "#!/bin/sh\nprintf ok; exit 3\n"},
	// Each helper is collected before the next starts: none finds the one before it left as a zombie.
	{{"collected", {}, "a:1:x\nb:2:y\n", "a:v:1:x\nb:v:2:y\n"}, "#!/bin/sh\nz=v\n[ -s pid ] && grep -q '^State:.*Z' /proc/$(cat pid)/status 2>/dev/null && z=Z\necho $$ > pid\nprintf $z\n"},
	// No descriptors for the reply's pipe.
	{{"no_reply_pipe", {}, "a:1:x\nb:2:y\n", "a::1:x\nb:v:2:y\n", "hitmark: ./hitmark.sh: Too many open files\n2[b][2]\n", 1}, script, 0755, "pipe2:error=EMFILE:when=1"},
};
// clang-format on

void
check(hrow r)
{
	// valgrind and qemu-user start the helper from a forked copy of hitmark,
	// whose failed exec never reaches hitmark: there, only helpers that
	// start at the first try run.
	if (!have({.faults = !r.inject.empty(),
	           .forks = r.status != 0 || !r.body.starts_with("#!")}))
		return;
	std::string d = r.mode ? withhelper(r.body, r.mode) : tempdir();
	if (size_t at = r.inject.find("{reply}"); at != std::string::npos) {
		inside(d, r.in, {.trace = "read", .trace_log = d + "/reads"});
		std::istringstream reads(getfile(d + "/reads"));
		int n = 0;
		for (std::string l; std::getline(reads, l);)
			if (l.starts_with("read(") && ++n && l.find(", 8)") != l.npos)
				break;
		r.inject.replace(at, 7, std::to_string(n));
	}
	r.args = {"ignored", "args"};
	expect("hitmark", r,
	       {.cwd = d,
	        .inject = r.inject,
	        .trace_path = r.shell ? "/bin/sh" : "",
	        .trace_children = r.shell});
}

TABLE(hitmark, rows, check);

// Names that a shell would act on reach the helper as literal words, and
// nothing else runs or is created.
TEST(hitmark_hostile, names_are_literal_words)
{
	// clang-format off
	std::vector<std::string> names = {
		"$(", "\x1b[31m", "\xff\xfe",
		"x;touch${IFS}pwned", "$(touch${IFS}pwned)", "`touch${IFS}pwned`",
		"a>pwned", "a>>pwned", "<pwned",
		"a|touch${IFS}pwned", "a&&touch${IFS}pwned", "a&touch${IFS}pwned",
		"*.sh", "[h]*", "hitmark.s?", "{a,b}", "#x", "~root",
		"$HOME", "${PATH}", "$$",
		"'$(id)'", "\"$(id)\"", "\\$(id)", "a\\;b",
		";&|$()`*?[]{}#'\"\\<>~", "$(touch\x01pwned)",
	};
	// clang-format on
	for (char c : std::string(";&|)`*?[]{}#'\"\\<>~\x01\x7f\r\v\f"))
		names.push_back(std::string(1, c));
	std::string in, out, args;
	for (const auto &n : names) {
		in += n + ":7:t\n";
		out += n + ":v:7:t\n";
		args += "2[" + n + "][7]\n";
	}
	// A TAB still splits, and each side stays literal.
	in += "$(id)\t;x:8:t\n";
	out += "$(id)\t;x:v:8:t\n";
	args += "3[$(id)][;x][8]\n";
	std::string d = withhelper();
	run_result r = inside(d, in);
	EXPECT_EQ(visible(r.out), visible(out));
	EXPECT_EQ(visible(r.err), visible(args));
	EXPECT_EQ(r.status, 0);
	// Nothing but the helper.
	EXPECT_EQ(std::distance(std::filesystem::directory_iterator(d), {}), 1);
}

// Under a low descriptor limit: every helper's pipes are closed again (a
// leak would stop the helper from starting long before the last line), and
// the private copies of 0 and 1 take the lowest numbers from 3, so that four
// descriptors are too few only for the second, which says so before any work.
// A real limit, since no single failed call shows either. And under a low
// limit on memory, where a name's argument vector must take no more than
// its words need.
TEST(hitmark_descriptors, under_a_limit)
{
	if (!have({.limit = true}))
		return;
	std::string d = withhelper(), none = tempdir(), in, out, args, bare, missing;
	for (int i = 0; i < 100; i++) {
		in += "f:" + std::to_string(i) + ":t\n";
		out += "f:v:" + std::to_string(i) + ":t\n";
		args += "2[f][" + std::to_string(i) + "]\n";
		bare += "f::" + std::to_string(i) + ":t\n";
		missing += "hitmark: ./hitmark.sh: No such file or directory\n";
	}
	// 16 words in 1 MiB, whose vector of a pointer per two bytes at most fits
	// in 12 MiB of address space with the line.
	std::string words(65535, 'n');
	for (int i = 1; i < 16; i++)
		words += "\t" + std::string(65535, 'n');
	const struct {
		std::string limit, dir, in, out, err;
		int status;
	} rows[] = {
	        // clang-format off
	        {"--nofile=32", d, "hits", out, args, 0},
	        // No helper: each failed start closes its pipe as well.
	        {"--nofile=32", none, "hits", bare, missing, 1},
	        {"--nofile=4", d, "hits", "", "hitmark: standard output: Too many open files\n", 1},
	        {"--as=" + std::to_string(12 << 20), none, "words", words + "::1:x\n", "hitmark: ./hitmark.sh: No such file or directory\n", 1},
	        // clang-format on
	};
	putfile(d + "/hits", in);
	putfile(d + "/words", words + ":1:x\n");
	for (const auto &row : rows) {
#if TOOLBOX_ASAN
		// The leak check at exit needs descriptors of its own, and the
		// checker far more address space.
		if (row.limit != "--nofile=32")
			continue;
#endif
		run_result r = run({"/usr/bin/prlimit", row.limit, "--", tool("hitmark")},
		                   {.cwd = row.dir, .in_path = d + "/" + row.in});
		EXPECT_TRUE(r.out == row.out) << row.limit << ": " << r.out.size()
		                              << " bytes: " << visible(r.out.substr(0, 80));
		EXPECT_EQ(r.err, row.err) << row.limit;
		EXPECT_EQ(r.status, row.status) << row.limit;
	}
}

// A helper without "#!" where no shell can be run at all: the reason given
// is the helper's format, not the missing shell's. /usr/bin, where the shell
// is, is hidden in a mount namespace, and hitmark is run from a copy.
TEST(hitmark_helper, no_shell)
{
	if (!have({.root = true, .direct = true}))
		return;
	std::string d = withhelper(shellonly);
	run_result r = run({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
	                    "mkdir copy && cp \"$0\" copy && mount -t tmpfs tmpfs /usr/bin && "
	                    "exec copy/hitmark",
	                    binary("hitmark")},
	                   {.in = "a:1:x\n", .cwd = d});
	EXPECT_EQ(r.out, "a::1:x\n");
	EXPECT_EQ(r.err, "hitmark: ./hitmark.sh: Exec format error\n");
	EXPECT_EQ(r.status, 1);
}

// A name whose argument vector, (len / 2 + 4) pointers and len + 1 bytes,
// is larger than a 32-bit size_t can count: no memory, and no part of the
// line written, never a vector sized by the wrapped count. Only a 32-bit
// build's sizes wrap below 4 GiB; the programs are built with the tests.
#if SIZE_MAX == UINT32_MAX
TEST(hitmark_big, name_too_long_to_size_in_32_bits)
{
	if (!have({.gib = 4}))
		return;
	const size_t n = 1431655798;
	std::string d = withhelper(), name(1 << 20, 'n');
	int fd = open((d + "/in").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
	bool ok = fd != -1;
	for (size_t left = n, k; ok && left > 0; left -= k) {
		k = std::min(left, name.size());
		ok = write(fd, name.data(), k) == static_cast<ssize_t>(k);
	}
	ok = ok && write(fd, ":1:x\n", 5) == 5;
	if (fd != -1)
		close(fd);
	ASSERT_TRUE(ok);
	run_result r =
	        inside(d, "", {.in_path = d + "/in", .out_path = d + "/out", .timeout = 300});
	EXPECT_EQ(getfile(d + "/out"), "");
	EXPECT_EQ(r.err, "hitmark: Cannot allocate memory\n");
	EXPECT_EQ(r.status, 1);
}
#endif

} // namespace
