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

// Shows its arguments on standard error, as their count and each one in
// brackets, and replies with $HM_REPLY (printf %b), "v" when it is unset.
const std::string script = "#!/bin/sh\n"
                           "printf '%s' \"$#\" >&2\n"
                           "for a; do printf '[%s]' \"$a\" >&2; done\n"
                           "echo >&2\n"
                           "printf '%b' \"${HM_REPLY-v}\"\n";

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

struct tcase {
	const char *name;
	std::string in, out;
	std::string args; // what the helper showed, one line per call
};

const tcase cases[] = {
        {"no_colon", "plain text\n", "plain text\n", ""},
        {"one_colon", "a.txt:text\n", "a.txt:text\n", ""},
        {"not_numeric", "a.txt:x1:text\n", "a.txt:x1:text\n", ""},
        {"hex_is_not_numeric", "a.txt:0x1f:text\n", "a.txt:0x1f:text\n", ""},
        {"blank_field", "a.txt: :text\n", "a.txt: :text\n", ""},
        {"sign_only", "a.txt:+:text\n", "a.txt:+:text\n", ""},
        {"trailing_space", "a.txt:12 :text\n", "a.txt:12 :text\n", ""},
        {"example", "doc/a.txt:42:some text\n", "doc/a.txt:v:42:some text\n", "2[doc/a.txt][42]\n"},
        {"empty_field", "a.txt::text\n", "a.txt:v::text\n", "1[a.txt]\n"},
        {"leading_space", "a.txt: 12:text\n", "a.txt:v: 12:text\n", "2[a.txt][12]\n"},
        {"leading_tab", "a.txt:\t12:text\n", "a.txt:v:\t12:text\n", "2[a.txt][12]\n"},
        {"minus", "a.txt:-3:text\n", "a.txt:v:-3:text\n", "2[a.txt][-3]\n"},
        {"plus", "a.txt:+12:text\n", "a.txt:v:+12:text\n", "2[a.txt][+12]\n"},
        {"huge_number", "a.txt:99999999999999999999:t\n", "a.txt:v:99999999999999999999:t\n",
         "2[a.txt][99999999999999999999]\n"},
        {"name_after_last_space", "grep hit a.txt:12:text\n", "grep hit a.txt:v:12:text\n",
         "2[a.txt][12]\n"},
        {"empty_name", ":12:text\n", ":v:12:text\n", "1[12]\n"},
        {"space_before_colon", "a.txt :12:text\n", "a.txt :v:12:text\n", "1[12]\n"},
        {"tab_splits_name", "x\ta.txt:12:text\n", "x\ta.txt:v:12:text\n", "3[x][a.txt][12]\n"},
        {"many_words", "a\tb\tc\td\te\tf\tg\th\ti\tj\tk\tl\tm\tn\to\tp:1:x\n",
         "a\tb\tc\td\te\tf\tg\th\ti\tj\tk\tl\tm\tn\to\tp:v:1:x\n",
         "17[a][b][c][d][e][f][g][h][i][j][k][l][m][n][o][p][1]\n"},
        {"nothing_at_all", "::\n", ":v::\n", "0\n"},
        {"later_colons_kept", "a:1:b:2:c\n", "a:v:1:b:2:c\n", "2[a][1]\n"},
        {"no_final_newline", "a:1:b", "a:v:1:b", "2[a][1]\n"},
        {"mixed", "x\na:1:b\ny:z\nc:2:\n", "x\na:v:1:b\ny:z\nc:v:2:\n", "2[a][1]\n2[c][2]\n"},
        {"empty_input", "", "", ""},
        // A NUL ends the line's text: the rest and its line end are not written.
        {"nul_inside", std::string("a:1:b\0c\nd:2:e\n", 14), "a:v:1:bd:v:2:e\n",
         "2[a][1]\n2[d][2]\n"},
        {"nul_in_name", std::string("a\0:1:x\nz\n", 9), "az\n", ""},
        {"nul_first", std::string("\0a:1:x\nz\n", 9), "z\n", ""},
        {"long_name", std::string(3000, 'n') + ":5:t\n", std::string(3000, 'n') + ":v:5:t\n",
         "2[" + std::string(3000, 'n') + "][5]\n"},
};

using ::PrintTo; // rows print, and name their tests, by their name

class hitmark : public testing::TestWithParam<tcase>
{
};

TEST_P(hitmark, annotates)
{
	const tcase &c = GetParam();
	std::string d = withhelper();
	run_result r = inside(d, c.in);
	EXPECT_EQ(visible(r.out), visible(c.out));
	EXPECT_EQ(visible(r.err), visible(c.args));
	EXPECT_EQ(r.status, 0);
}

INSTANTIATE_TEST_SUITE_P(cases, hitmark, testing::ValuesIn(cases),
                         testing::PrintToStringParamName());

// The reply is the first 8 bytes of the helper's output, whatever they are.
TEST(hitmark_reply, taken_byte_for_byte)
{
	const struct {
		std::string reply, out;
	} rows[] = {
	        {"rev7", "doc/a.txt:rev7:42:x\n"},
	        {"", "doc/a.txt::42:x\n"},
	        {"123456789abc", "doc/a.txt:12345678:42:x\n"},
	        {"rev7\\n", "doc/a.txt:rev7\n:42:x\n"},
	        {"12345678\\n", "doc/a.txt:12345678:42:x\n"},
	        {"a\\0b", std::string("doc/a.txt:a\0b:42:x\n", 19)},
	};
	std::string d = withhelper();
	for (const auto &row : rows) {
		run_opts o;
		o.env = {"HM_REPLY=" + row.reply};
		run_result r = inside(d, "doc/a.txt:42:x\n", o);
		EXPECT_EQ(visible(r.out), visible(row.out)) << row.reply;
		EXPECT_EQ(r.err, "2[doc/a.txt][42]\n") << row.reply;
		EXPECT_EQ(r.status, 0) << row.reply;
	}
}

// Names that a shell would act on reach the helper as literal words, and
// nothing else runs or is created.
TEST(hitmark_hostile, names_are_literal_words)
{
	std::vector<std::string> names = {
	        "$(",
	        "\x1b[31m",
	        "\xff\xfe",
	        "x;touch${IFS}pwned",
	        "$(touch${IFS}pwned)",
	        "`touch${IFS}pwned`",
	        "a>pwned",
	        "a>>pwned",
	        "<pwned",
	        "a|touch${IFS}pwned",
	        "a&&touch${IFS}pwned",
	        "a&touch${IFS}pwned",
	        "*.sh",
	        "[h]*",
	        "hitmark.s?",
	        "{a,b}",
	        "#x",
	        "~root",
	        "$HOME",
	        "${PATH}",
	        "$$",
	        "'$(id)'",
	        "\"$(id)\"",
	        "\\$(id)",
	        "a\\;b",
	        ";&|$()`*?[]{}#'\"\\<>~",
	        "$(touch\x01pwned)",
	};
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
	if (launched())
		GTEST_SKIP() << behind("a limit on descriptors or memory");
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
	        {"--nofile=32", d, "hits", out, args, 0},
	        // No helper: each failed start closes its pipe as well.
	        {"--nofile=32", none, "hits", bare, missing, 1},
	        {"--nofile=4", d, "hits", "", "hitmark: standard output: Too many open files\n", 1},
	        {"--as=" + std::to_string(12 << 20), none, "words", words + "::1:x\n",
	         "hitmark: ./hitmark.sh: No such file or directory\n", 1},
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

// A helper that cannot be started costs its reply and one message per
// annotated line; the run goes on but ends with status 1. One without "#!"
// runs through /bin/sh; the helper's own status does not count.
TEST(hitmark_helper, start_failures)
{
	const std::string big(200000, 'n');
	const struct {
		const char *name;
		std::string body, in, out, err;
		mode_t mode;
		int status;
		const char *inject = "";
		bool shell = false; // the fault strikes the shell's start alone
	} rows[] = {
	        {"missing", "", "a:1:x\nplain\nb::y\n", "a::1:x\nplain\nb:::y\n",
	         "hitmark: ./hitmark.sh: No such file or directory\n"
	         "hitmark: ./hitmark.sh: No such file or directory\n",
	         0, 1},
	        // Root too needs an execute bit to run a file.
	        {"not_executable", script, "a:1:x\n", "a::1:x\n",
	         "hitmark: ./hitmark.sh: Permission denied\n", 0644, 1},
	        // A reply that cannot be read is no reply; {reply} is the number
	        // of the first read of a reply, 8 bytes, among all the reads.
	        {"reply_unread", "#!/bin/sh\nprintf v\n", "a:1:x\nb:2:y\n", "a::1:x\nb:v:2:y\n",
	         "hitmark: ./hitmark.sh: Input/output error\n", 0755, 1,
	         "read:error=EIO:when={reply}"},
	        {"too_long", script, big + ":1:x\nb:2:y\n", big + "::1:x\nb:v:2:y\n",
	         "hitmark: ./hitmark.sh: Argument list too long\n2[b][2]\n", 0755, 1},
	        {"no_hash_bang", "printf '%s,' \"$@\"\n", "a:1:x\n", "a:a,1,:1:x\n", "", 0755, 0},
	        // Arguments that fit the helper's exec but not the shell's longer
	        // one: the cause is the shell's, not the file's format.
	        {"too_long_for_the_shell", "printf v\n", "a:1:x\n", "a::1:x\n",
	         "hitmark: ./hitmark.sh: Argument list too long\n", 0755, 1, "execve:error=E2BIG",
	         true},
	        // No process for the shell: the reason is not the file's format.
	        {"no_shell_process", "printf v\n", "a:1:x\n", "a::1:x\n",
	         "hitmark: ./hitmark.sh: Resource temporarily unavailable\n", 0755, 1,
	         "clone3,?clone:error=EAGAIN:when=2"},
	        {"status_ignored", "#!/bin/sh\nprintf ok; exit 3\n", "a:1:x\n", "a:ok:1:x\n", "",
	         0755, 0},
	        // Each helper is collected before the next starts: none finds the
	        // one before it left as a zombie.
	        {"collected",
	         "#!/bin/sh\nz=v\n[ -s pid ] && grep -q '^State:.*Z' /proc/$(cat pid)/status"
	         " 2>/dev/null && z=Z\necho $$ > pid\nprintf $z\n",
	         "a:1:x\nb:2:y\n", "a:v:1:x\nb:v:2:y\n", "", 0755, 0},
	        // No descriptors for the reply's pipe.
	        {"no_reply_pipe", script, "a:1:x\nb:2:y\n", "a::1:x\nb:v:2:y\n",
	         "hitmark: ./hitmark.sh: Too many open files\n2[b][2]\n", 0755, 1,
	         "pipe2:error=EMFILE:when=1"},
	};
	std::string unrun;
	for (const auto &row : rows) {
		// valgrind and qemu-user start the helper from a forked copy of
		// hitmark, whose failed exec never reaches hitmark, and strace would
		// trace them: there, only helpers that start at the first try run.
		if ((launched() || under_valgrind()) &&
		    (row.status != 0 || !row.body.starts_with("#!"))) {
			unrun += std::string(unrun.empty() ? "" : ", ") + row.name;
			continue;
		}
		std::string d = row.mode ? withhelper(row.body, row.mode) : tempdir();
		std::string inject = row.inject;
		if (size_t at = inject.find("{reply}"); at != std::string::npos) {
			inside(d, row.in, {.trace = "read", .trace_log = d + "/reads"});
			std::istringstream reads(getfile(d + "/reads"));
			int n = 0;
			for (std::string l; std::getline(reads, l);)
				if (l.starts_with("read(") && ++n && l.find(", 8)") != l.npos)
					break;
			inject.replace(at, 7, std::to_string(n));
		}
		run_result r = inside(d, row.in,
		                      {.inject = inject,
		                       .trace_path = row.shell ? "/bin/sh" : "",
		                       .trace_children = row.shell});
		EXPECT_EQ(visible(r.out), visible(row.out)) << row.name;
		EXPECT_EQ(r.err, row.err) << row.name;
		EXPECT_EQ(r.status, row.status) << row.name;
	}
	if (launched() && !unrun.empty())
		GTEST_SKIP() << "rows not run: " << unrun
		             << ": qemu-user starts the helper from a forked copy of the "
		                "program, whose failed exec never reaches the program";
}

// A helper without "#!" where no shell can be run at all: the reason given
// is the helper's format, not the missing shell's. /usr/bin, where the shell
// is, is hidden in a mount namespace, and hitmark is run from a copy.
TEST(hitmark_helper, no_shell)
{
	if (launched())
		GTEST_SKIP() << behind("a hidden /usr/bin");
	if (run({"/usr/bin/unshare", "-m", "true"}).status != 0)
		GTEST_SKIP() << "no mount namespace here (it needs root)";
	std::string d = withhelper("printf v\n");
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
	const size_t n = 1431655798;
	if (available() < (4ULL << 30))
		GTEST_SKIP() << "needs 4 GiB of free memory, " << (available() >> 20)
		             << " MiB free";
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
