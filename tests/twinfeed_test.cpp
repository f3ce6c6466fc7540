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
std::string
waitsh(const std::string &cond)
{
	return "i=0; while ! { " + cond + "; } && [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done";
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

// What a command wrote to its file f in dir, or "(none)" where it made none.
const std::string none = "(none)";

std::string
wrote(const std::string &dir, const char *f)
{
	return exists(dir + "/" + f) ? getfile(dir + "/" + f) : none;
}

// In dir, standard input as a pipe and as a file: the two ways the bytes
// are passed on. The file is dated past 2038, which must not keep it from
// the kernel's copy.
run_opts
from(bool file, const std::string &dir, const std::string &in)
{
	run_opts o = {.cwd = dir};
	if (file) {
		putfile(dir + "/in", in);
		const struct timespec t[2] = {{2208988800, 0}, {2208988800, 0}};
		EXPECT_EQ(utimensat(AT_FDCWD, (dir + "/in").c_str(), t, 0), 0);
		o.in_path = dir + "/in";
	}
	return o;
}

// The arguments are the two commands, whose files 1 and 2 must hold out1
// and out2 when twinfeed is done. A row with a fault of its own runs once,
// with the input a file or not, and, where CMD2 stops reading, the
// broken-pipe signal ignored. A launcher passes on the calls that most
// faults strike, not the pipes and reads of CMD2's end. Each
// other row runs with the input a pipe, and a file: a file also when no pipe
// of twinfeed's own can be had for it, and the bytes are copied, and when a
// signal cuts its first splice short.
struct trow : row {
	std::string out1, out2;
	const char *inject = "";
	bool file = false, ignored = false, emulated = false;
};

void
check(const trow &t)
{
	const bool own = *t.inject != '\0';
	// The third pipe is its own, after one for each command.
	std::vector<std::pair<bool, std::string>> kinds = {{false, ""},
	                                                   {true, ""},
	                                                   {true, "pipe2:error=EMFILE:when=3"},
	                                                   {true, "splice:error=EINTR:when=1"}};
	if (own)
		kinds = {{t.file, t.inject}};
	for (const auto &[file, inject] : kinds) {
		// The reads that a fault counts start with the loader's of the C
		// library; asan's runtime has it read libraries of its own.
		if (TOOLBOX_ASAN && inject.starts_with("read:"))
			continue;
		if (!inject.empty() && !have({.faults = true, .emulated = !own || t.emulated}))
			continue;
		SCOPED_TRACE((file ? "file " : "pipe ") + inject);
		std::string d = tempdir();
		run_opts o = from(file, d, t.in);
		o.inject = inject;
		o.pipe_ignored = t.ignored;
		o.timeout = t.ignored ? 20 : o.timeout;
		row r = t;
		r.in = file ? "" : t.in;
		expect("twinfeed", r, o);
		EXPECT_EQ(visible(wrote(d, "1")), visible(t.out1));
		EXPECT_EQ(visible(wrote(d, "2")), visible(t.out2));
	}
}

const std::string block(200000, 'x');

// clang-format off
const trow rows[] = {
	{{"abc", {"wc -c > 1", "od -c > 2"}, "abc"}, "3\n", "0000000   a   b   c\n0000003\n"},
	{{"empty", {"wc -c > 1", "od -c > 2"}, ""}, "0\n", "0000000\n"},
	{{"nul_no_final_newline", {"cat > 1", "cat > 2"}, std::string("a\0b\nc", 5)}, std::string("a\0b\nc", 5), std::string("a\0b\nc", 5)},
	{{"larger_than_a_pipe", {"cat > 1", "cat > 2"}, block}, block, block},
	// The statuses of the commands are not reflected.
	{{"failing_commands", {"cat > 1; exit 3", "cat > 2; kill -9 $$"}, "abc"}, "abc", "abc"},
	// Once CMD2 sees the end of its input, twinfeed waits for the commands
	// holding none of its pipes: 2 lists its descriptors from 3 up (a
	// checker's own lie far higher). Its parent is twinfeed's child.
	{{"pipes_closed_for_the_wait", {"cat > 1", "cat > /dev/null; set -- $(cat /proc/$PPID/stat); ls /proc/$4/fd | grep -x '[3-9]' > 2"}, "abc"}, "abc", ""},
	// With other than two commands, none is started.
	{{"no_commands", {}, "abc", "", "", 1}, none, none},
	{{"one_command", {"touch 1"}, "abc", "", "", 1}, none, none},
	{{"three_commands", {"touch 1", "touch 2", "touch 2"}, "abc", "", "", 1}, none, none},
	// A file's bytes that cannot be passed on are lost as bytes that cannot
	// be read are: the copy ends as at the end of input, and the failure is
	// reported.
	{{"copy_error_after_both_end", {"wc -c > 1", "wc -c > 2"}, "abc", "", "twinfeed: read error: Input/output error\n", 1}, "0\n", "0\n", "tee:error=EIO:when=1", true, false, true},
	// Faults in passing on: CMD2 gets no more input once the kernel's copy
	// to it says it has stopped reading, whether it still reads or not, and
	// CMD1 gets it all. Here the splice says so while CMD2 still reads.
	{{"cmd2_stops_reading_splice_fails", {"wc -c > 1", "cat > 2"}, "abc", "", "twinfeed: cat > 2: Broken pipe\n", 1}, "3\n", "", "splice:error=EPIPE:when=1", false, true},
	// CMD2 ends unread, before its pipe takes the input, and every other
	// read finds nothing for now: the bytes it lacked are read off
	// twinfeed's own pipe, which is then empty, and a read past them would
	// wait for ever, as twinfeed is that pipe's writer.
	{{"cmd2_stops_reading_reads_fail_at_first", {"wc -c > 1", ": > 2"}, std::string((1 << 20) + 1, 'z'), "", "twinfeed: : > 2: Broken pipe\n", 1}, "1048577\n", "", "read:error=EAGAIN:when=2+2", true, true},
	// With too few descriptors for the pipes, the command is not started.
	// musl makes a pipe without flags by the pipe call where there is one.
	{{"no_pipe_starts_nothing", {"touch 1", "touch 2"}, "", "", "twinfeed: touch 1: Too many open files\n", 1}, none, none, "pipe2,?pipe:error=EMFILE:when=1"},
};
// clang-format on

TABLE(twinfeed, rows, check);

TEST(twinfeed_big, fifty_megabytes_byte_exact)
{
	std::string d = tempdir(), in(50 << 20, '\0');
	std::mt19937 g(7);
	for (size_t i = 0; i < in.size(); i += 4) {
		uint32_t v = g();
		memcpy(&in[i], &v, 4);
	}
	run_opts o = from(true, d, in);
	std::string want = run({"/usr/bin/cksum"}, o).out;
	ASSERT_NE(want.find(" 52428800"), std::string::npos) << want;
	for (bool file : {false, true}) {
		run_result r =
		        feed(d, "cksum > 1", "cksum > 2", file ? "" : in, file ? o : run_opts{});
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
	// clang-format off
	const struct {
		std::string cmds, file, got, err, err2;
	} rows[] = {
		{head + " " + wc, "n", "8388608\n", broke, ""},
		{wc + " " + head, "n", "8388608\n", broke, ""},
		{head + " " + head2, "g", std::string(10, 'z'), broke, "twinfeed: head -c 10 > g: Broken pipe\n"},
	};
	// clang-format on
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
	// clang-format off
	const struct {
		std::string sh, want;
	} rows[] = {
		// All of it waits in CMD2's pipe.
		{"head -c 600000 /dev/zero | \"$T\" 'wc -c > 1; touch 1.done' '" + after1 + "'", "600000\n"},
		// 1 MiB waits in each command's pipe and the rest in the input pipe.
		{"{ head -c 1500000 /dev/zero; touch go; } | \"$T\" '" + aftergo + "1' '" + aftergo + "2'", "1500000\n"},
	};
	// clang-format on
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

// Whether dir/f holds want, within 30 seconds.
bool
waitfor(const std::string &dir, const char *f, const std::string &want)
{
	for (int i = 0; i < 3000 && wrote(dir, f) != want; i++)
		usleep(10000);
	return wrote(dir, f) == want;
}

// An input left non-blocking runs dry while still open; that is no end.
TEST(twinfeed_input, nonblocking_stdin_is_waited_on)
{
	std::string d = tempdir();
	proc p = start({tool("twinfeed"), "cat > a", "cat > b"}, {.cwd = d, .in_nonblock = true});
	EXPECT_EQ(write(p.in, "abc", 3), 3);
	EXPECT_TRUE(waitfor(d, "a", "abc") && waitfor(d, "b", "abc"));
	EXPECT_EQ(write(p.in, "def", 3), 3);
	EXPECT_EQ(finish(p).status, 0);
	EXPECT_EQ(getfile(d + "/a"), "abcdef");
	EXPECT_EQ(getfile(d + "/b"), "abcdef");
}

} // namespace
