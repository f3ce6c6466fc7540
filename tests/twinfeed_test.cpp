// What only twinfeed does; what every program does is in every_program_test.cpp.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <random>

#include "harness.h"

namespace
{

// Bounded wait, in tenths of a second, for shell snippets that synchronise
// through marker files; only a broken program ever runs it out.
const std::string tries = "i=0; while ! { ";
const std::string upto = "; } && [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done";

std::string
waitsh(const std::string &cond)
{
	return tries + cond + upto;
}

bool
exists(const std::string &path)
{
	return access(path.c_str(), F_OK) == 0;
}

run_result
feed(const std::string &dir, const std::string &c1, const std::string &c2, const std::string &in,
     run_opts o = {})
{
	o.cwd = dir;
	return runtool("twinfeed", {c1, c2}, in, o);
}

// Runs a shell script in dir with T naming the program.
run_result
script(const std::string &dir, const std::string &text, const std::string &in = "", run_opts o = {})
{
	o.cwd = dir;
	o.in = in;
	o.env = {"T=" + tool("twinfeed")};
	return run({"/bin/sh", "-c", text}, o);
}

TEST(twinfeed_args, wrong_count_starts_nothing)
{
	const std::vector<std::vector<std::string>> cases = {
	        {}, {"touch ran"}, {"touch ran", "touch ran", "touch ran"}};
	for (const auto &args : cases) {
		std::string d = tempdir();
		run_opts o;
		o.cwd = d;
		run_result r = runtool("twinfeed", args, "abc", o);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(r.status, 1) << args.size() << " arguments";
		EXPECT_FALSE(exists(d + "/ran")) << args.size() << " arguments";
	}
}

struct tcase {
	const char *name;
	std::string in, c1, c2, out1, out2;
};

const std::string block(200000, 'x');

const tcase cases[] = {
        {"abc", "abc", "wc -c > 1", "od -c > 2", "3\n", "0000000   a   b   c\n0000003\n"},
        {"empty", "", "wc -c > 1", "od -c > 2", "0\n", "0000000\n"},
        {"nul_no_final_newline", std::string("a\0b\nc", 5), "cat > 1", "cat > 2",
         std::string("a\0b\nc", 5), std::string("a\0b\nc", 5)},
        {"larger_than_a_pipe", block, "cat > 1", "cat > 2", block, block},
        // The statuses of the commands are not reflected.
        {"failing_commands", "abc", "cat > 1; exit 3", "cat > 2; kill -9 $$", "abc", "abc"},
        // Once CMD2 sees the end of its input, twinfeed waits for the commands
        // holding none of its pipes: 2 lists its descriptors from 3 up (a
        // checker's own lie far higher). Its parent is twinfeed's child.
        {"pipes_closed_for_the_wait", "abc", "cat > 1",
         "cat > /dev/null; set -- $(cat /proc/$PPID/stat); ls /proc/$4/fd | grep -x '[3-9]' > 2",
         "abc", ""},
};

using ::PrintTo; // rows print, and name their tests, by their name

class twinfeed : public testing::TestWithParam<tcase>
{
};

// Standard input as a pipe and as a file: the two ways the bytes are passed on.
run_opts
from(bool file, const std::string &dir, const std::string &in)
{
	run_opts o;
	if (file) {
		putfile(dir + "/in", in);
		o.in_path = dir + "/in";
	}
	return o;
}

// A file also when no pipe of twinfeed's own can be had for it, and the
// bytes are copied, and when a signal cuts its first splice short.
TEST_P(twinfeed, both_get_the_input)
{
	const tcase &c = GetParam();
	const struct {
		const char *kind, *inject;
	} kinds[] = {
	        {"pipe", ""},
	        {"file", ""},
	        // The third pipe is its own, after one for each command.
	        {"file, no pipe", "pipe2:error=EMFILE:when=3"},
	        {"file, splice interrupted", "splice:error=EINTR:when=1"},
	};
	for (const auto &[kind, inject] : kinds) {
		bool file = kind[0] == 'f';
		if (*inject != '\0' && under_valgrind())
			continue; // strace runs the program, not valgrind
		std::string d = tempdir();
		run_opts o = from(file, d, c.in);
		o.inject = inject;
		run_result r = feed(d, c.c1, c.c2, file ? "" : c.in, o);
		EXPECT_EQ(visible(getfile(d + "/1")), visible(c.out1)) << kind;
		EXPECT_EQ(visible(getfile(d + "/2")), visible(c.out2)) << kind;
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, "") << kind;
		EXPECT_EQ(r.status, 0) << kind;
	}
}

INSTANTIATE_TEST_SUITE_P(cases, twinfeed, testing::ValuesIn(cases),
                         testing::PrintToStringParamName());

TEST(twinfeed_big, fifty_megabytes_byte_exact)
{
	std::string d = tempdir(), in(50 << 20, '\0');
	std::mt19937 g(7);
	for (size_t i = 0; i < in.size(); i += 4) {
		uint32_t v = g();
		memcpy(&in[i], &v, 4);
	}
	putfile(d + "/in", in);
	run_opts o;
	o.in_path = d + "/in";
	std::string want = run({"/usr/bin/cksum"}, o).out;
	ASSERT_NE(want.find(" 52428800"), std::string::npos) << want;
	for (bool file : {false, true}) {
		run_result r = feed(d, "cksum > 1", "cksum > 2", file ? "" : in, from(file, d, in));
		EXPECT_EQ(getfile(d + "/1"), want) << (file ? "file" : "pipe");
		EXPECT_EQ(getfile(d + "/2"), want) << (file ? "file" : "pipe");
		EXPECT_EQ(r.status, 0);
	}
}

// Each command sees the end of its input while the other still runs: the
// waiting one only ends early when the other's end-of-input marker appears.
TEST(twinfeed_eof, each_command_sees_end_while_other_runs)
{
	const std::string ender = "cat > /dev/null; touch ended";
	const std::string waiter = "cat > /dev/null; sleep 30 > /dev/null 2>&1 & " +
	                           waitsh("[ -e ended ]") + "; [ -e ended ] && echo seen > seen";
	for (bool first : {true, false}) {
		std::string d = tempdir();
		run_result r =
		        first ? feed(d, ender, waiter, "abc") : feed(d, waiter, ender, "abc");
		EXPECT_TRUE(exists(d + "/seen")) << (first ? "cmd1" : "cmd2") << " ending";
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(r.status, 0);
	}
}

// A byte reaches both commands while the input stays open: the writer keeps
// it open until both have the byte.
TEST(twinfeed_eof, bytes_pass_before_input_ends)
{
	std::string d = tempdir();
	run_result r =
	        script(d, "{ printf x; " + waitsh("[ \"$(cat a b 2>/dev/null)\" = xx ]") +
	                          "; cat a b > seen; printf y; } | \"$T\" 'cat > a' 'cat > b'");
	EXPECT_EQ(getfile(d + "/seen"), "xx");
	EXPECT_EQ(getfile(d + "/a"), "xy");
	EXPECT_EQ(getfile(d + "/b"), "xy");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
}

// twinfeed waits for both of its commands, and only for them: the shell that
// becomes twinfeed leaves it a child of its own.
TEST(twinfeed_wait, ends_after_both_commands)
{
	const std::string slow = "cat > /dev/null; sleep 1; echo done > done";
	for (bool first : {true, false}) {
		std::string d = tempdir();
		std::string c1 = first ? slow : "exit 3", c2 = first ? "exit 3" : slow;
		run_result r =
		        script(d, "(: & exec \"$T\" '" + c1 + "' '" + c2 +
		                          "') < /dev/null > /dev/null 2>&1; echo $?; cat done");
		EXPECT_EQ(r.out, "0\ndone\n") << (first ? "cmd1" : "cmd2") << " slow";
		EXPECT_EQ(r.err, "");
	}
}

// A command that stops reading ends twinfeed by the broken-pipe signal; the
// input is larger than the pipes hold, so the write cannot slip through.
TEST(twinfeed_pipe, early_exit_ends_by_sigpipe)
{
	std::string in(8 << 20, 'z');
	for (bool first : {true, false}) {
		std::string d = tempdir();
		std::string c1 = "head -c 10 > h", c2 = "wc -c > n";
		run_result r = first ? feed(d, c1, c2, in) : feed(d, c2, c1, in);
		EXPECT_EQ(getfile(d + "/h"), in.substr(0, 10));
		EXPECT_EQ(r.sig, SIGPIPE) << (first ? "cmd1" : "cmd2") << " ending early";
		EXPECT_EQ(r.err, "");
	}
}

// The other command gets every byte once, whichever command stops and
// whether the input is a pipe, a file or a socket (which is copied). When
// both stop, nothing is left to feed, which is no read error.
TEST(twinfeed_pipe, ignored_sigpipe_feeds_the_other)
{
	const std::string head = "'head -c 10 > h'", wc = "'wc -c > n'", head2 = "'head -c 10 > g'";
	const std::string broke = "twinfeed: head -c 10 > h: Broken pipe\n";
	// What the other command wrote to file, and the messages, in either order.
	const struct {
		std::string cmds, file, got, err, err2;
	} rows[] = {
	        {head + " " + wc, "n", "8388608\n", broke, ""},
	        {wc + " " + head, "n", "8388608\n", broke, ""},
	        {head + " " + head2, "g", std::string(10, 'z'), broke,
	         "twinfeed: head -c 10 > g: Broken pipe\n"},
	};
	for (const char *kind : {"pipe", "file", "socket"})
		for (const auto &row : rows) {
			std::string d = tempdir(), in(8 << 20, 'z');
			bool file = kind == std::string("file");
			putfile(d + "/in", in);
			run_result r = script(
			        d, "trap '' PIPE; exec \"$T\" " + row.cmds + (file ? " < in" : ""),
			        file ? "" : in, {.in_socket = kind == std::string("socket")});
			std::string what = std::string(kind) + ", " + row.cmds;
			EXPECT_EQ(getfile(d + "/h"), std::string(10, 'z')) << what;
			EXPECT_EQ(getfile(d + "/" + row.file), row.got) << what;
			EXPECT_TRUE(r.err == row.err + row.err2 || r.err == row.err2 + row.err)
			        << what << ": " << r.err;
			EXPECT_EQ(r.status, 1) << what;
		}
}

// Each pipe holds 1 MiB, the input pipe too: a command may wait for the
// other, or both for the writer, with that much in between. A command reads
// only once its mark is there, and not at all when the bounded wait for it
// runs out, which the run's time limit comes well before.
TEST(twinfeed_pipe, a_mebibyte_waits_in_each_pipe)
{
	const std::string after1 = waitsh("[ -e 1.done ]") + "; { [ -e 1.done ] && wc -c; } > 2",
	                  aftergo = waitsh("[ -e go ]") + "; { [ -e go ] && wc -c; } > ";
	const struct {
		std::string sh, want;
	} rows[] = {
	        // All of it waits in CMD2's pipe.
	        {"head -c 600000 /dev/zero | \"$T\" 'wc -c > 1; touch 1.done' '" + after1 + "'",
	         "600000\n"},
	        // 1 MiB waits in each command's pipe and the rest in the input pipe.
	        {"{ head -c 1500000 /dev/zero; touch go; } | \"$T\" '" + aftergo + "1' '" +
	                 aftergo + "2'",
	         "1500000\n"},
	};
	for (const auto &row : rows) {
		std::string d = tempdir();
		putfile(d + "/1", ""); // there, however soon the run is ended
		putfile(d + "/2", "");
		run_result r = script(d, row.sh, "", {.timeout = 20});
		EXPECT_EQ(getfile(d + "/1"), row.want) << row.sh;
		EXPECT_EQ(getfile(d + "/2"), row.want) << row.sh;
		EXPECT_EQ(r.err, "") << row.sh;
		EXPECT_EQ(r.status, 0) << row.sh;
	}
}

// A file's bytes that cannot be passed on are lost as bytes that cannot be
// read are: the copy ends as at the end of input, and the failure is
// reported. The file is dated past 2038, which must not keep it from the
// kernel's copy.
TEST(twinfeed_failures, copy_error_after_both_end)
{
	if (under_valgrind())
		GTEST_SKIP() << "strace runs the program, not valgrind";
	std::string d = tempdir();
	putfile(d + "/in", "abc");
	const struct timespec t[2] = {{2208988800, 0}, {2208988800, 0}};
	ASSERT_EQ(utimensat(AT_FDCWD, (d + "/in").c_str(), t, 0), 0);
	run_result r = feed(d, "wc -c > 1", "wc -c > 2", "",
	                    {.in_path = d + "/in", .inject = "tee:error=EIO:when=1"});
	EXPECT_EQ(getfile(d + "/1"), "0\n");
	EXPECT_EQ(getfile(d + "/2"), "0\n");
	EXPECT_EQ(r.err, "twinfeed: read error: Input/output error\n");
	EXPECT_EQ(r.status, 1);
}

// Faults in passing on, with the broken-pipe signal ignored: CMD2 gets no
// more input once the kernel's copy to it says it has stopped reading,
// whether it still reads or not, and CMD1 gets it all.
TEST(twinfeed_failures, cmd2_stops_reading)
{
	if (launched())
		GTEST_SKIP() << behind("strace's injected failure");
	if (under_valgrind())
		GTEST_SKIP() << "strace runs the program, not valgrind";
	const struct {
		const char *what, *inject, *cmd2;
		std::string in;
		bool file;
	} rows[] = {
	        // The splice says so while CMD2 still reads.
	        {"the splice fails", "splice:error=EPIPE:when=1", "cat > 2", "abc", false},
	        // CMD2 ends unread, before its pipe takes the input, and every
	        // other read finds nothing for now: the bytes it lacked are read
	        // off twinfeed's own pipe, which is then empty, and a read past
	        // them would wait for ever, as twinfeed is that pipe's writer. The
	        // reads counted start with the loader's of the C library; asan's
	        // runtime has it read libraries of its own.
	        {"reads fail at first", "read:error=EAGAIN:when=2+2", ": > 2",
	         std::string((1 << 20) + 1, 'z'), true},
	};
	for (const auto &row : rows) {
		if (TOOLBOX_ASAN && std::string(row.inject).starts_with("read:"))
			continue;
		std::string d = tempdir();
		run_opts o = from(row.file, d, row.in);
		o.inject = row.inject;
		o.pipe_ignored = true;
		o.timeout = 20;
		run_result r = feed(d, "wc -c > 1", row.cmd2, row.file ? "" : row.in, o);
		EXPECT_EQ(getfile(d + "/1"), std::to_string(row.in.size()) + "\n") << row.what;
		EXPECT_EQ(getfile(d + "/2"), "") << row.what;
		EXPECT_EQ(r.err, std::string("twinfeed: ") + row.cmd2 + ": Broken pipe\n")
		        << row.what;
		EXPECT_EQ(r.status, 1) << row.what;
	}
}

// With too few descriptors for the pipes, the command is not started. musl
// makes a pipe without flags by the pipe call where there is one.
TEST(twinfeed_failures, no_pipe_starts_nothing)
{
	if (launched())
		GTEST_SKIP() << behind("strace's injected failure");
	if (under_valgrind())
		GTEST_SKIP() << "strace runs the program, not valgrind";
	std::string d = tempdir();
	run_result r =
	        feed(d, "touch 1", "touch 2", "", {.inject = "pipe2,?pipe:error=EMFILE:when=1"});
	EXPECT_EQ(r.err, "twinfeed: touch 1: Too many open files\n");
	EXPECT_EQ(r.status, 1);
	EXPECT_FALSE(exists(d + "/1"));
	EXPECT_FALSE(exists(d + "/2"));
}

bool
waitfor(const std::string &path, const std::string &want)
{
	for (int i = 0; i < 3000; i++) {
		if (exists(path) && getfile(path) == want)
			return true;
		usleep(10000);
	}
	return false;
}

// An input left non-blocking runs dry while still open; that is no end.
TEST(twinfeed_input, nonblocking_stdin_is_waited_on)
{
	std::string d = tempdir();
	proc p = start({tool("twinfeed"), "cat > a", "cat > b"}, {.cwd = d, .in_nonblock = true});
	EXPECT_EQ(write(p.in, "abc", 3), 3);
	EXPECT_TRUE(waitfor(d + "/a", "abc") && waitfor(d + "/b", "abc"));
	EXPECT_EQ(write(p.in, "def", 3), 3);
	EXPECT_EQ(finish(p).status, 0);
	EXPECT_EQ(getfile(d + "/a"), "abcdef");
	EXPECT_EQ(getfile(d + "/b"), "abcdef");
}

} // namespace
