// Black-box harness: runs a built program and captures what it did.
#ifndef HARNESS_H
#define HARNESS_H

#include <sys/types.h>

// Whether the tests and programs are built with AddressSanitizer: g++ says
// so by a macro, clang only through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define TOOLBOX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOOLBOX_ASAN 1
#endif
#endif
#ifndef TOOLBOX_ASAN
#define TOOLBOX_ASAN 0
#endif

#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

struct run_opts {
	std::string in;           // bytes written to standard input
	std::string cwd;          // working directory ("" = the test's own)
	std::string in_path;      // standard input from this file instead
	std::string out_path;     // standard output to this file instead
	bool out_append = false;  // open out_path with O_APPEND
	bool close_in = false;    // start with descriptor 0 closed
	bool close_out = false;   // start with descriptor 1 closed
	bool close_err = false;   // start with descriptor 2 closed
	bool out_broken = false;  // descriptor 1 on a pipe whose reader is gone
	bool in_nonblock = false; // descriptor 0 left non-blocking
	bool in_socket = false;   // descriptor 0 a stream socket instead of a pipe
	// With in_socket: once the input is written, the peer goes with bytes of
	// the program's unread, so that a read after the input fails with
	// ECONNRESET.
	bool in_reset = false;
	// Descriptor 0 the write end of its pipe, which cannot be read.
	bool in_writeonly = false;
	// Descriptor 1 left non-blocking, on a pipe of one page, which is read
	// only once it is full, or once the program has ended: the program
	// surely finds its output full.
	bool out_nonblock = false;
	// Standard input in pieces instead of in: after each piece but the last,
	// a pause of pause_ms, then SIGSTOP, SIGCONT and SIGWINCH for the program,
	// as job control at a terminal would send them. The kernel restarts a
	// read that these interrupt, so they test input that comes late, not
	// EINTR.
	std::vector<std::string> pieces;
	int pause_ms = 20;
	std::vector<std::string> env; // extra NAME=VALUE entries
	// SIGPIPE left ignored, as a caller's trap '' PIPE leaves it.
	bool pipe_ignored = false;
	// Faults for strace to inject into the program's system calls, as its
	// -e inject= takes them ("write:retval=0:when=1"), separated by spaces;
	// the program then runs under strace, not valgrind.
	std::string inject;
	// The program under strace without a fault too: the calls to trace
	// besides those injected ("read,lseek"), written to trace_log; with
	// trace_path, only those that touch that file. o.env then reaches the
	// program alone, not strace.
	std::string trace, trace_log, trace_path;
	// strace follows the program's children too.
	bool trace_children = false;
	// Descriptor 0 a pipe of packets (O_DIRECT): a read takes one packet and
	// drops what it leaves of it.
	bool in_packets = false;
	// Standard output a terminal, which the harness reads as output.
	bool out_tty = false;
	int timeout = 60; // seconds before the process group is killed
};

struct run_result {
	std::string out, err;
	int status = -1; // exit status, or -1 when killed by a signal
	int sig = 0;     // terminating signal, 0 when it exited
	bool timed_out = false;
};

// A row of a table: what a program is given, and what it must give back.
// A table whose rows need more extends it.
struct row {
	const char *name;
	std::vector<std::string> args;
	std::string in, out, err;
	int status = 0;
};

// Runs the named tool with the row's arguments and input, as o says, and
// checks its output, message and status; returns what it did, for more.
run_result expect(const std::string &name, const row &r, const run_opts &o = {});

// One test for each row of rows, named cases/SUITE.row/NAME, which calls
// check(row) for it. Tables are kept one row a line, clang-format off.
#define TABLE(suite, rows, check)                                                                  \
	class suite : public testing::TestWithParam<std::decay_t<decltype((rows)[0])>>             \
	{                                                                                          \
	};                                                                                         \
	TEST_P(suite, row)                                                                         \
	{                                                                                          \
		check(GetParam());                                                                 \
	}                                                                                          \
	INSTANTIATE_TEST_SUITE_P(cases, suite, testing::ValuesIn(rows),                            \
	                         [](const auto &i) { return std::string(i.param.name); })

// What a test or a row needs of the machine and of the way the programs
// run. have() says whether all of it is here; where it is not, it records a
// skip with one reason for each need that is not met, and the test goes on
// to its next row, or returns.
struct needs {
	bool faults = false;          // strace's faults or trace in the program
	bool onfile = false;          // ...on one file's calls: strace then runs valgrind
	bool emulated = false;        // ...on calls an emulator makes as the program does
	bool preload = false;         // a library preloaded into the program
	bool limit = false;           // a limit on the program's own process
	bool space = false;           // a limit on its address space, which a checker outgrows
	bool forks = false;           // a failed start of a child that reaches the program
	bool root = false;            // a mount namespace of the test's own
	bool direct = false;          // the program file run itself, by a path of the test's
	bool quick = false;           // no checker, under which it would take too long
	bool wide = false;            // a 64-bit program
	int sig = 0;                  // a signal delivered by its number
	int gib = 0;                  // this many GiB of free memory
	const char *prog = "dirtree"; // the program it runs, for preload and wide
};

bool have(const needs &n);

// A table's row prints as its name, which also names its test
// (testing::PrintToStringParamName()). GoogleTest looks for PrintTo where
// the row's type is: a test file takes this one in with "using ::PrintTo;".
template <class row>
requires requires(const row &r)
{
	std::string(r.name);
}
void
PrintTo(const row &r, std::ostream *os)
{
	*os << r.name;
}

// Path of a program under test by name: in the build tree's bin folder, or
// in the folder that TOOLBOX_BIN names (installed programs, say). With
// TOOLBOX_LAUNCHER set (an emulator and its options), a script that runs
// the program through it.
std::string tool(const std::string &name);

// The program file itself, launcher or not.
std::string binary(const std::string &name);

// The dynamic loader that the program file at path names (its ELF header's
// PT_INTERP), "" for a static program, into which nothing can be preloaded.
std::string interpreter(const std::string &path);

// Runs argv[0] (a path) with argv, never through a shell, with LC_ALL=C, in
// a process group of its own. However run is left (a return, an exception),
// that group is killed and the program collected.
run_result run(const std::vector<std::string> &argv, const run_opts &o = {});

// A program left running by start, for a test that acts while it runs
// (sends a signal, reads part of the output, writes more input). in, out and
// err are the test's ends of its standard streams. However the test is left,
// the program's group goes and the program is collected.
struct proc {
	pid_t pid = -1;
	int in = -1, out = -1, err = -1;
	run_opts o;
	double end = 0; // when its time is up, for readuntil
	proc() = default;
	proc(proc &&p) noexcept;
	proc &operator=(proc &&p) noexcept;
	~proc();
};

// Starts argv as run does, and returns at once.
proc start(const std::vector<std::string> &argv, const run_opts &o = {});

// What the program's standard output gives until it ends with want, or its
// time is up. These bytes are not in finish's output.
std::string readuntil(proc &p, const std::string &want);

// Feeds o.in, closes the input, and collects the rest as run does. A proc
// that was never started gives an empty result.
run_result finish(proc &p);

// Shorthand: runs the named tool with args and the given standard input.
run_result runtool(const std::string &name, const std::vector<std::string> &args,
                   const std::string &in = "", run_opts o = {});

// Waits up to seconds for the child pid to end, then kills it (and sets
// *killed). Either way, whatever it left in a process group of its own is
// killed too. Returns its status as waitpid gives it, or -1 when it could not
// be collected.
int reap_within(pid_t pid, int seconds, bool *killed = nullptr);

// True when the suite runs each program under valgrind, which reserves the
// highest real-time signal, cannot survive a failed execve, and starts a
// spawned child as a forked copy, whose failed exec never reaches the parent.
bool under_valgrind();

// A fresh empty directory under the system's temporary folder, removed with
// all it holds when the test process ends, passing or failing. With
// TOOLBOX_KEEP set, the folders of a process where a test failed are kept
// instead, and named on standard error.
std::string tempdir();

// Writes bytes to a file, replacing it.
void putfile(const std::string &path, const std::string &bytes);

// The whole content of a file.
std::string getfile(const std::string &path);

// Printable form of bytes, for failure messages.
std::string visible(const std::string &s);

#endif
