// What every program must do; what only one program does is in NAME_test.cpp.
// Here: hostile surroundings (odd or shared descriptors, huge lines, binary
// input, input that comes late, a slow reader, no memory, faults in every
// call of a kind), each ending with the program's own message and status,
// never in a crash, a hang or output cut short with status 0; and linking the
// C library alone.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "harness.h"

#ifndef NOMEM
#error "NOMEM must name the library that makes calls fail for want of memory"
#endif

namespace
{

struct prog {
	const char *name;
	std::vector<std::string> args;
	std::string in, out; // a sample input and what it prints
	bool reads, writes;  // whether it reads standard input, writes its output
};

// Every program, each run in a directory holding "here" and a helper script
// for hitmark. The tests below take their programs from these rows, or from
// their own; the last of them fails for a program under tools/ without a row
// here, or in closed[].
// clang-format off
const prog progs[] = {
	{"dirtree", {}, "a/\na/b\nc\n", "a/\n\tb\nc\n", true, true},
	{"ymdtree", {}, "16-01-15 a\n", "16-\n\t01-\n\t\t15 \n\t\t\ta\n", true, true},
	{"absentees", {"."}, "here\ngone\n", "gone\n", true, true},
	{"hitmark", {}, "f:1:x\nplain\n", "f:v:1:x\nplain\n", true, true},
	{"twinfeed", {"wc -c", "wc -c"}, "abc", "3\n3\n", true, false},
	{"argscrub", {"filename", "a/b"}, "", "a_b", false, true},
	// It signals a process: no data in or out, and no sample run of it.
	{"sigpost", {}, "", "", false, false},
};
// clang-format on

// The programs that keep(program) is true for.
std::vector<prog>
those(auto keep)
{
	std::vector<prog> v;
	std::ranges::copy_if(progs, std::back_inserter(v), keep);
	return v;
}

// A fresh folder holding "here" and hitmark's helper, whose reply the shell
// command reply prints.
std::string
stage(const std::string &reply)
{
	std::string d = tempdir();
	putfile(d + "/here", "");
	putfile(d + "/hitmark.sh", "#!/bin/sh\n" + reply + "\n");
	chmod((d + "/hitmark.sh").c_str(), 0755);
	return d;
}

// The folder where the programs run, unless a test says otherwise.
std::string
world()
{
	static const std::string d = stage("printf v");
	return d;
}

run_result
go(const prog &p, run_opts o, const std::string &in)
{
	o.cwd = world();
	return runtool(p.name, p.args, in, o);
}

// The run ended by itself, within its time, with the status, and the
// message err where it is given. A checker's finding shows as a status of
// its own: 86 and 87 are the sanitizers', 99 valgrind's.
void
expect_end(const run_result &r, const std::string &what, const std::optional<std::string> &err = "",
           int status = 0)
{
	if (err) {
		EXPECT_EQ(r.err, *err) << what;
	}
	EXPECT_EQ(r.status, status) << what << ": " << r.err;
	EXPECT_FALSE(r.timed_out) << what;
	EXPECT_EQ(r.sig, 0) << what;
}

// Input whose output fills a pipe of one page: the sample, 20,000 filler
// lines, then the sample again, so hitmark's helper also runs once the pipe
// has been full. argscrub, which reads nothing, gets a long text instead.
std::string
bulk(const prog &p, std::vector<std::string> &args)
{
	std::string in;
	for (int i = 0; i < 20000; i++)
		in += "plain\n";
	if (!p.reads)
		args.back() = std::string(100000, 'x');
	return p.reads ? p.in + in + p.in : "";
}

// Tests run once for each program p of a list, which names them. hostile:
// every program that reads or writes data; writer: those that write output
// of their own; reader: those that read standard input.
struct each : testing::TestWithParam<prog> {
	const prog &p = GetParam();
};
using hostile = each;
using writer = each;
using reader = each;
#define EACH(suite, list)                                                                          \
	INSTANTIATE_TEST_SUITE_P(programs, suite, testing::ValuesIn(list),                         \
	                         testing::PrintToStringParamName())
using ::PrintTo; // rows print, and name their tests, by their name

// A way to run a program, for a test's rows: its surroundings (and input,
// where a row gives it), and the reason of the failure it must end with.
struct how {
	const char *what;
	run_opts o;
	const char *reason = "";
	// Output that fills the pipe first; input that never ends, so that the
	// failure must end the run.
	bool big = false, endless = false;
};

// Output that cannot be written ends the program, with the reason; a reader
// that has gone ends it by SIGPIPE, and nothing else.
TEST_P(writer, output_cannot_be_written)
{
	// clang-format off
	const how rows[] = {
		{"closed", {.close_out = true}, "Bad file descriptor"},
		{"full", {.out_path = "/dev/full"}, "No space left on device"},
		{"full, input endless", {.out_path = "/dev/full", .timeout = 30}, "No space left on device", false, true},
		// A descriptor that takes nothing would hold the program forever.
		{"takes nothing", {.inject = "write:retval=0:when=1"}, "Input/output error"},
		// The first write finds the pipe full, so the program must wait.
		{"waiting for the reader fails", {.out_nonblock = true, .inject = "write:error=EAGAIN:when=1 poll:error=ENOMEM"}, "Cannot allocate memory", true},
		{"reader gone", {.out_broken = true}, nullptr},
	};
	// clang-format on
	std::vector<std::string> args = p.args,
	                         sh = {"/bin/sh", "-c", "yes | \"$@\"", "sh", tool(p.name)};
	std::string in = bulk(p, args), err = std::string(p.name) + ": write error: ";
	sh.insert(sh.end(), p.args.begin(), p.args.end());
	for (const auto &row : rows) {
		if ((row.endless && !p.reads) || !have({.faults = !row.o.inject.empty()}))
			continue;
		run_opts o = row.o;
		o.cwd = world();
		run_result r = row.endless ? run(sh, o)
		                           : runtool(p.name, row.big ? args : p.args,
		                                     row.big ? in : p.in, o);
		if (row.reason == nullptr) {
			EXPECT_EQ(r.sig, SIGPIPE) << row.what;
			EXPECT_EQ(r.err, "") << row.what;
			continue;
		}
		expect_end(r, row.what, err + row.reason + "\n", 1);
	}
}

// Input that cannot be read ends the program with the reason, and as no
// input does: twinfeed's commands see their input end. Input that comes
// late, on a descriptor left non-blocking or in pieces with the program
// stopped and continued in between, gives the same output as at once.
TEST_P(reader, input_unreadable_or_late)
{
	std::vector<std::string> args = p.args;
	const size_t half = p.in.size() / 2;
	// clang-format off
	const how rows[] = {
		// The reason why it cannot be read, if it cannot.
		{"closed", {.close_in = true}, "Bad file descriptor"},
		{"directory", {.in_path = "/"}, "Is a directory"},
		{"a pipe's write end", {.in_writeonly = true}, "Bad file descriptor"},
		// A failure after a last line that lacks its line end: neither
		// that line nor a slow reader may replace the reason.
		{"reset in a line, read late", {.in = bulk(p, args) + "x", .in_socket = true, .in_reset = true, .out_nonblock = true}, "Connection reset by peer"},
		{"non-blocking, empty at first", {.in_nonblock = true, .pieces = {"", p.in}}, ""},
		{"in pieces, stopped and continued between", {.pieces = {p.in.substr(0, 1), p.in.substr(1, half), p.in.substr(1 + half)}}, ""},
		{"both", {.in_nonblock = true, .pieces = {"", p.in.substr(0, half), p.in.substr(half)}}, ""},
		{"a non-blocking socket, empty at first", {.in_nonblock = true, .in_socket = true, .pieces = {"", p.in}}, ""},
	};
	// clang-format on
	const std::string none = go(p, {}, "").out, err = std::string(p.name) + ": read error: ";
	for (const auto &row : rows) {
		run_result r = go(p, row.o, row.o.in);
		const bool fails = *row.reason != '\0';
		EXPECT_TRUE(!row.o.in.empty() || r.out == (fails ? none : p.out))
		        << row.what << ": " << visible(r.out);
		expect_end(r, row.what, fails ? err + row.reason + "\n" : "", fails);
	}
}

// Output left non-blocking, on a pipe of one page that its reader starts to
// empty late, is waited for; input from a pipe whose writer asked for
// packets, each of which a read takes whole or drops what it leaves of it,
// is read whole: all of it arrives, with status 0.
TEST_P(hostile, odd_pipes)
{
	std::vector<std::string> args = p.args;
	std::string in = bulk(p, args);
	run_result want = runtool(p.name, args, in, {.cwd = world()});
	EXPECT_TRUE(!p.writes || want.out.size() > 4096) << want.out.size() << " bytes";
	// clang-format off
	const how rows[] = {
		{"a slow reader", {.cwd = world(), .out_nonblock = true}},
		{"a pipe of packets", {.cwd = world(), .in_packets = true}},
	};
	// clang-format on
	for (const auto &row : rows) {
		run_result r = runtool(p.name, args, in, row.o);
		EXPECT_TRUE(r.out == want.out)
		        << row.what << ": " << r.out.size() << " bytes of " << want.out.size();
		expect_end(r, row.what);
	}
}

// Output lands at the caller's offset, and input goes on where an earlier
// reader of the same descriptor stopped.
TEST_P(hostile, shares_the_callers_descriptors)
{
	// clang-format off
	const struct {
		const char *what, *sh;
		std::string want;
	} rows[] = {
		{"append", "echo old > out; \"$@\" < in >> out", "old\n" + p.out},
		{"group", "{ printf 'head\\n'; \"$@\" < in; } > out", "head\n" + p.out},
		{"input read before", "{ read -r skip; \"$@\"; } < skip > out", p.out},
	};
	// clang-format on
	// In the shared folder: names the programs never look up.
	std::string d = world();
	putfile(d + "/in", p.in);
	putfile(d + "/skip", "skip\n" + p.in);
	for (const auto &row : rows) {
		std::vector<std::string> argv = {"/bin/sh", "-c", row.sh, "sh", tool(p.name)};
		argv.insert(argv.end(), p.args.begin(), p.args.end());
		run_result r = run(argv, {.cwd = d});
		EXPECT_EQ(visible(getfile(d + "/out")), visible(row.want)) << row.what;
		expect_end(r, row.what);
	}
}

// A /proc file is read like any other input: its size says nothing, moving
// its position rereads it, and the kernel cannot splice from it.
TEST_P(reader, proc_file_as_through_a_pipe)
{
	const std::string proc = "/proc/kallsyms";
	if (access(proc.c_str(), R_OK) != 0)
		GTEST_SKIP() << proc << " cannot be read here";
	run_result r = go(p, {.in_path = proc}, ""), piped = go(p, {}, getfile(proc));
	EXPECT_GT(getfile(proc).size(), 100000u);
	EXPECT_TRUE(r.out == piped.out) << r.out.size() << " and " << piped.out.size() << " bytes";
	expect_end(r, proc);
}

// Any bytes at all, NULs included: status 0 and no crash, and every byte
// reaches twinfeed's commands.
TEST_P(reader, random_bytes)
{
	std::string in;
	for (unsigned i = 0, x = 12345; i < (1 << 20); i++)
		in += static_cast<char>((x = x * 1103515245 + 12345) >> 24);
	run_result r = go(p, {}, in);
	expect_end(r, "random bytes", std::nullopt);
	EXPECT_TRUE(p.name != std::string("twinfeed") || r.out == "1048576\n1048576\n") << r.out;
}

TEST_P(reader, line_of_ten_megabytes)
{
	// The checkers look at every byte that is copied or scanned, and the
	// line is copied as its buffer doubles: they check a line of 1 MB.
	std::string big((TOOLBOX_ASAN || under_valgrind() ? 1 : 10) << 20, 'x');
	const std::string n = std::to_string(big.size() + 1) + "\n";
	const std::string want = p.name == std::string("ymdtree") ? big + "-\n\t-\n\t\t \n\t\t\t\n"
	                         : p.name == std::string("twinfeed") ? n + n
	                                                             : big + "\n";
	run_result r = go(p, {}, big + "\n");
	EXPECT_TRUE(r.out == want) << p.name << ": " << r.out.size() << " bytes";
	expect_end(r, p.name);
}

// A long input runs in the memory of a short one: nothing is kept per line.
// Half a million lines, 20 MB, in 12 MiB of address space, which a leak of
// one allocation per line would outgrow, or a reader that kept the lines it
// has handed out; and a line of 9 MB in 14 MiB, where its buffer cannot
// double.
TEST_P(reader, many_lines_in_little_memory)
{
	if (!have({.space = true}))
		return;
	std::string lines;
	for (int i = 0; i < 500000; i++)
		lines += "plain-plain-plain-plain-plain-plain-pl\n";
	// clang-format off
	const struct {
		const char *what;
		std::string in;
		int mib;
	} rows[] = {
		{"half a million lines", lines, 12},
		// A line's buffer that cannot double grows by what it needs.
		// ymdtree keeps a copy of the line's date as well.
		{"a line of 9 MB", std::string(9000000, 'A') + "\n", 14},
	};
	// clang-format on
	for (const auto &row : rows) {
		if (row.mib == 14 && p.name == std::string("ymdtree"))
			continue;
		const std::string as = "--as=" + std::to_string(row.mib << 20);
		std::vector<std::string> argv = {"/usr/bin/prlimit", as, "--", tool(p.name)};
		argv.insert(argv.end(), p.args.begin(), p.args.end());
		expect_end(run(argv, {.in = row.in, .cwd = world()}), row.what);
	}
}

EACH(hostile, those([](const prog &p) { return p.reads || p.writes; }));
EACH(writer, those([](const prog &p) { return p.writes; }));
EACH(reader, those([](const prog &p) { return p.reads; }));

// Fault sweeps: each kind of fault that a program handles strikes every
// call of that kind in turn (64 of them, spread evenly from the first to the
// last, where there are more), on an input that crosses read blocks, grows
// buffers and prints more than a buffer's worth. The input is a file, so
// that every run makes the same calls up to the fault. After each fault the
// program has ended by itself, within its time, with either what the
// fault-free run gave (a retried or harmless call), or status 1, one line
// naming the program and the cause, and the start of the fault-free output,
// which holds every line that the program had finished before the fault
// (below); or, hitmark's own rule, one helper could not be asked, so its
// line's field is empty, every other line whole, and the status 1. A child
// left behind keeps the program's output open, and the run then ends only
// at its time limit, which fails it.
struct kind {
	const char *name, *calls, *error, *reason;
	bool onout; // only the calls on the output file are counted
};

const kind allocation = {"allocation", "", "", "Cannot allocate memory"},
           reading = {"read", "read", "EIO", "read error: Input/output error"},
           writing = {"write", "write", "EIO", "write error: Input/output error", true},
           piping = {"pipe", "pipe2,?pipe", "EMFILE", "Too many open files"},
           starting = {"start", "clone,?clone3,?fork,?vfork", "EAGAIN",
                       "Resource temporarily unavailable"},
           waiting = {"wait", "wait4,?waitpid", "EINTR", ""};

// fmt filled in for each of n numbers i from from on, with i / 100, i % 100
// and i.
std::string
many(const char *fmt, int n, int from = 0)
{
	std::string s;
	char buf[256];
	for (int i = from; i < from + n; i++)
		s.append(buf, snprintf(buf, sizeof buf, fmt, i / 100, i % 100, i));
	return s;
}

const std::string longer(100000, 'x');

// The kinds of fault each program handles, and its arguments and input for
// their sweeps. (sigpost's allocations fail in calls_that_find_no_memory.)
struct swept {
	const char *name;
	std::vector<const kind *> kinds;
	std::vector<std::string> args;
	std::string in;
	const char *reads = "read"; // the calls that read the input file
};

// clang-format off
const swept swepts[] = {
	{"dirtree", {&allocation, &reading, &writing}, {}, many("d%02d/\n", 20) + many("d%02d/a-longer-file-name-%02d-%05d\n", 3000) + "x/" + longer + "/\n" + "x/" + longer + "/f\n" + many("d%02d/a-longer-file-name-%02d-%05d\n", 3000, 3000)},
	{"ymdtree", {&allocation, &reading, &writing}, {}, many("2024-%02d-%02d entry-%05d\n", 6000) + "2024-01-" + longer + " e\n" + many("2025-%02d-%02d entry-%05d\n", 1000)},
	{"absentees", {&allocation, &reading, &writing}, {"."}, many("gone-name-%02d-%02d-%05d\nhere\n", 500) + std::string("cut-at-a-nul\0x\n", 15) + longer + "\n" + many("gone-name-%02d-%02d-%05d\n", 500)},
	{"hitmark", {&allocation, &reading, &writing, &piping, &starting, &waiting}, {}, many("plain text line %02d %02d %05d\n", 300) + "a b:1:hit\n" + longer + "\n" + "f:2:" + longer + "\n" + many("f%02d%02d:%05d:hit\n", 4) + many("plain text line %02d %02d %05d\n", 300)},
	// A file reaches the commands by splice.
	{"twinfeed", {&reading, &piping, &starting, &waiting}, {"cat", "cat > /dev/null"}, many("twin line %02d %02d %05d\n", 150000), "splice"},
	{"argscrub", {&allocation, &writing}, {"filename", "max70000", many("a b/c\xc3\xa9 %02d %02d %05d\n", 5000)}, ""},
};
// clang-format on

// A test for each kind of fault each program handles.
struct sweep {
	std::string name; // the program's and the kind's
	const swept *p;
	const kind *k;
};

std::vector<sweep>
sweeps()
{
	std::vector<sweep> v;
	for (const auto &p : swepts)
		for (const kind *k : p.kinds)
			v.push_back({std::string(p.name) + "_" + k->name, &p, k});
	return v;
}

// A traced call: its name, its result, and whether strace made it fail.
struct call {
	std::string name;
	long ret;
	bool injected;
};

// The calls in a log of strace's; with upto, only those before the fault,
// or where none was injected, before the preload's mark, its lseek.
std::vector<call>
calls(const std::string &log, bool upto = false)
{
	std::vector<call> v;
	std::istringstream in(log);
	for (std::string l; std::getline(in, l);) {
		size_t eq = l.rfind(" = ");
		if (l.empty() || l[0] == '+' || l[0] == '-' || eq == std::string::npos)
			continue;
		call c = {l.substr(0, l.find('(')), strtol(l.c_str() + eq + 3, nullptr, 10),
		          l.ends_with("(INJECTED)")};
		if (upto && (c.injected || c.name == "lseek"))
			break;
		v.push_back(c);
	}
	return v;
}

// The bytes that the calls named in names returned, all but the last skip.
size_t
bytes(const std::vector<call> &v, const std::string &names, size_t skip = 0)
{
	std::vector<size_t> sum = {0}; // of the first i
	for (const auto &c : v)
		if (("," + names + ",").find("," + c.name + ",") != std::string::npos)
			sum.push_back(sum.back() + (c.ret > 0 ? c.ret : 0));
	return sum[sum.size() - 1 - std::min(skip, sum.size() - 1)];
}

// True when got is want with one line's reply (after its first colon) left
// out: the one helper that could not be asked.
bool
onereplyless(const std::string &got, const std::string &want, const std::string &reply)
{
	for (size_t c = want.find(':'); c != want.npos; c = want.find(':', want.find('\n', c)))
		if (want.compare(c + 1, reply.size(), reply) == 0 &&
		    got == want.substr(0, c + 1) + want.substr(c + 1 + reply.size()))
			return true;
	return false;
}

using sweeping = testing::TestWithParam<sweep>;

// strace counts the calls of a kind in a run without a fault, and strikes
// them; a preloaded library counts the allocations, and fails them, with a
// mark for strace to see.
TEST_P(sweeping, every_call_fails_in_turn)
{
	const swept &s = *GetParam().p;
	const kind &k = *GetParam().k;
	const bool alloc = &k == &allocation;
	// The read and write sweeps trace one file, so that strace runs valgrind
	// in turn, which checks them too.
	const bool onfile = &k == &reading || &k == &writing;
	if (!have({.faults = true, .onfile = onfile, .preload = alloc, .prog = s.name}))
		return;
	const std::string d = world(), ip = d + "/" + GetParam().name + ".in", op = ip + ".out",
	                  log = ip + ".log";
	const std::string kcalls = &k == &reading ? s.reads : k.calls;
	putfile(ip, s.in);
	// What the program prints for its input cut after n bytes.
	auto cut = [&](size_t n) {
		putfile(ip + ".cut", s.in.substr(0, n));
		runtool(s.name, s.args, "", {.cwd = d, .in_path = ip + ".cut", .out_path = op});
		return getfile(op);
	};
	run_opts o = {.cwd = d, .in_path = ip, .out_path = op, .trace_log = log, .timeout = 30};
	o.trace_path = k.onout ? op : &k == &reading || alloc ? ip : "";
	run_opts f = o; // for the runs with a fault
	f.trace = alloc ? "read,lseek" : "";
	o.trace = alloc ? "" : kcalls;
	if (alloc)
		o.env = {"LD_PRELOAD=" NOMEM, "TOOLBOX_NOMEM_COUNT=" + log};
	run_result full = runtool(s.name, s.args, "", o);
	full.out = getfile(op);
	ASSERT_EQ(full.status, 0) << full.err;
	const size_t n = alloc ? std::stoul(getfile(log)) : calls(getfile(log)).size();
	ASSERT_GT(n, 0u) << "no call to strike";
	// Every call, or 64 spread evenly from the first to the last; a checker
	// is slow, and strikes 8.
	const size_t most = TOOLBOX_ASAN || under_valgrind() ? 8 : 64, m = std::min(n, most);
	size_t failed = 0;
	for (size_t i = 0; i < m; i++) {
		const size_t at = n <= most ? i + 1 : 1 + i * (n - 1) / (most - 1);
		auto what = k.name + (" " + std::to_string(at)) + " of " + std::to_string(n);
		if (alloc)
			f.env = {"LD_PRELOAD=" NOMEM, "TOOLBOX_NOMEM_AT=" + std::to_string(at)};
		else
			f.inject = kcalls + ":error=" + k.error + ":when=" + std::to_string(at);
		run_result r = runtool(s.name, s.args, "", f);
		r.out = getfile(op);
		std::vector<call> tr = calls(getfile(log), true);
		EXPECT_FALSE(r.timed_out) << what;
		EXPECT_EQ(r.sig, 0) << what;
		if (r.status == 0 && r.out == full.out && r.err == full.err)
			continue;
		failed++;
		EXPECT_EQ(r.status, 1) << what << ": " << r.err;
		if (r.err.starts_with("hitmark: ./hitmark.sh: ")) {
			EXPECT_TRUE(onereplyless(r.out, full.out, "v")) << what;
			continue;
		}
		EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << ": " << r.err;
		EXPECT_TRUE(r.err.starts_with(std::string(s.name) + ": ") &&
		            r.err.ends_with(std::string(k.reason) + "\n"))
		        << what << ": " << r.err;
		if (&k == &reading) {
			// Exactly what the input gives cut where the read failed, its
			// last line as it was read so far.
			EXPECT_TRUE(r.out == cut(bytes(tr, s.reads))) << what;
			continue;
		}
		EXPECT_TRUE(full.out.starts_with(r.out))
		        << what << ": " << r.out.size() << " bytes";
		if (&k == &writing) {
			// Exactly what the writes before the failed one took.
			EXPECT_TRUE(r.out == full.out.substr(0, bytes(tr, "write"))) << what;
		} else if (alloc && !s.in.empty()) {
			// A read comes only once every line of the blocks before it is
			// done: the lines that those blocks held whole are printed.
			std::string done = s.in.substr(0, bytes(tr, s.reads, 1));
			EXPECT_TRUE(r.out.starts_with(cut(done.rfind('\n') + 1))) << what;
		}
	}
	std::cout << "[ sweep    ] " << GetParam().name << ": " << m << " of " << n
	          << " calls struck, " << failed << " failed, " << m - failed << " unchanged\n";
}

EACH(sweeping, sweeps());

// Writes head, n bytes of 'n', then tail to path, a block at a time; or,
// with check, says whether path holds exactly those.
bool
nrun(const std::string &path, bool check, std::string_view head, size_t n, std::string_view tail)
{
	FILE *f = fopen(path.c_str(), check ? "r" : "w");
	std::string block(1 << 20, 'n'), got(block.size(), '\0');
	bool ok = f != nullptr;
	auto piece = [&](std::string_view p) {
		size_t k = p.size();
		ok = ok && (check ? fread(got.data(), 1, k, f) == k && got.compare(0, k, p) == 0
		                  : fwrite(p.data(), 1, k, f) == k);
	};
	piece(head);
	for (size_t k; n > 0; n -= k)
		piece({block.data(), k = std::min(n, block.size())});
	piece(tail);
	ok = ok && (!check || fread(got.data(), 1, 1, f) == 0); // and nothing more
	return f != nullptr && fclose(f) == 0 && ok;
}

// A text of 2 GiB and more is printed whole: its length is no int's count.
// Its buffer grows by copying: two of 2 GiB do not fit in a 32-bit program.
TEST(hostile_big, line_past_two_gigabytes)
{
	if (!have({.quick = true, .wide = true, .gib = 6}))
		return;
	// clang-format off
	const struct {
		const char *name, *in, *out, *intail, *outtail;
	} rows[] = {
		{"dirtree", "d/\nd/", "d/\n\t", "\nz\n", "\nz\n"},
		{"ymdtree", "16-01-15 ", "16-\n\t01-\n\t\t15 \n\t\t\t", "\n16-01-15 z\n", "\n\t\t\tz\n"},
	};
	// clang-format on
	const size_t n = (1ULL << 31) + 2;
	const std::string d = tempdir(), in = d + "/in", out = d + "/out";
	for (const auto &row : rows) {
		ASSERT_TRUE(nrun(in, false, row.in, n, row.intail)) << in;
		run_result r =
		        runtool(row.name, {}, "", {.in_path = in, .out_path = out, .timeout = 300});
		EXPECT_TRUE(nrun(out, true, row.out, n, row.outtail)) << row.name;
		expect_end(r, row.name);
	}
}

// Out of memory, wherever it strikes: one line naming the reason, status 1.
// The program, and the calls that fail for want of memory in a library
// preloaded into it.
struct nomemrow : row {
	const char *prog, *calls;
};

// clang-format off
const nomemrow nomem[] = {
	// A name with a line end is unknown without a lookup.
	{{"sigpost_strdup", {"SIG\nUSR1", "1"}, "", "", "sigpost: Cannot allocate memory\n", 1}, "sigpost", "strdup"},
	// No C locale for the lookup.
	{{"sigpost_setenv", {"SIGUSR1", "1"}, "", "", "sigpost: Cannot allocate memory\n", 1}, "sigpost", "setenv"},
	// No room for the copy of the text, which the compiler may ask of malloc.
	{{"argscrub_malloc", {"none", "abc"}, "", "", "argscrub: Cannot allocate memory\n", 1}, "argscrub", "malloc,realloc"},
};
// clang-format on

void
find_no_memory(const nomemrow &r)
{
	if (have({.preload = true, .prog = r.prog}))
		expect(r.prog, r,
		       {.env = {"LD_PRELOAD=" NOMEM, std::string("TOOLBOX_NOMEM=") + r.calls}});
}

TABLE(calls_that_find_no_memory, nomem, find_no_memory);

// On a terminal each line shows as soon as it is printed, while the input
// is still open.
void
shows_at_once(const row &r)
{
	proc t = start({tool(r.name)}, {.out_tty = true});
	EXPECT_EQ(write(t.in, r.in.data(), r.in.size()), static_cast<ssize_t>(r.in.size()));
	EXPECT_EQ(visible(readuntil(t, r.out)), visible(r.out)) << r.name;
	EXPECT_EQ(finish(t).status, 0) << r.name;
}

// clang-format off
const row tty[] = {
	{"dirtree", {}, "a/\n", "a/\r\n"},
	{"ymdtree", {}, "16-01-15 a\n", "16-\r\n\t01-\r\n\t\t15 \r\n\t\t\ta\r\n"},
};
// clang-format on

TABLE(line_shows_at_once, tty, shows_at_once);

// Started with standard error closed, and standard output or input as well,
// as a daemon or a cron job may be, a program sends its data where it
// belongs, and nothing of its own reaches a command's input: twinfeed's
// first command gets exactly the input, without the message that the second
// has stopped reading. hitmark's helper replies "fd2" instead of its value
// when it starts with a descriptor numbered 2 of hitmark's.
const struct {
	const char *closed; // the standard streams closed
	bool infile;        // input from a file rather than a pipe
} closings[] = {{"1 2", false}, {"0 2", false}, {"2", false}, {"1 2", true}};

// Each program's arguments and input, and its output and status for each
// of the closings above in turn; twinfeed's for all four.
// clang-format off
const struct shut {
	const char *name;
	std::vector<std::string> args; // "{T}": the process to signal
	std::string in;
	std::vector<std::pair<std::string, int>> ends;
} closed[] = {
	{"dirtree", {}, "a/\na/b\nc\n", {{"", 1}, {"", 1}, {"a/\n\tb\nc\n", 0}}},
	{"ymdtree", {}, "16-01-15 a\n", {{"", 1}, {"", 1}, {"16-\n\t01-\n\t\t15 \n\t\t\ta\n", 0}}},
	{"absentees", {"."}, "here\ngone\n", {{"", 1}, {"", 1}, {"gone\n", 0}}},
	{"hitmark", {}, "f:1:x\nplain\n", {{"", 1}, {"", 1}, {"f:v:1:x\nplain\n", 0}}},
	{"sigpost", {"SIGUSR1", "{T}"}, "", {{"", 0}, {"", 0}, {"", 0}}},
	// The second command stops reading at once, and twinfeed, with
	// SIGPIPE ignored, says so on its standard error.
	// Its input is more than its pipes hold.
	{"twinfeed", {"cat > 1", "true"}, std::string(8 << 20, 'z'), {{"", 1}, {"", 1}, {"", 1}, {"", 1}}},
	{"argscrub", {"filename", "a/b"}, "", {{"", 1}, {"a_b", 0}, {"a_b", 0}}},
};
// clang-format on

void
belongs(const shut &row)
{
	for (size_t i = 0; i < row.ends.size(); i++) {
		const auto &[closed, infile] = closings[i];
		const auto &[out, status] = row.ends[i];
		std::string what = closed + std::string(infile ? ", input a file" : "");
		std::string d = stage("[ -L /proc/$$/fd/2 ] && printf fd2 || printf v");
		run_opts o = {.cwd = d, .close_in = *closed == '0', .close_out = *closed == '1'};
		o.close_err = o.pipe_ignored = true;
		putfile(d + "/in", row.in);
		o.in_path = infile ? d + "/in" : "";
		proc t;
		std::vector<std::string> args = row.args;
		if (args.size() > 1 && args[1] == "{T}") {
			t = start({"/bin/sleep", "30"}, {.timeout = 10});
			args[1] = std::to_string(t.pid);
		}
		run_result r = runtool(row.name, args, infile || o.close_in ? "" : row.in, o);
		EXPECT_EQ(visible(r.out), visible(out)) << what;
		expect_end(r, what, std::nullopt, status);
		if (t.pid > 0) {
			EXPECT_EQ(finish(t).sig, SIGUSR1) << what;
		}
		if (row.name == std::string("twinfeed")) {
			std::string got = getfile(d + "/1"), odd = got;
			std::erase(odd, 'z');
			EXPECT_TRUE(got == (o.close_in ? "" : row.in))
			        << what << ": " << got.size() << " bytes, not z: " << visible(odd);
		}
	}
}

TABLE(data_goes_where_it_belongs, closed, belongs);

const char readelf[] = "/usr/bin/readelf";

// Every program under tools/ has its row in progs[], and its own in
// closed[], so that no test here leaves a new one out; and needs the C
// library alone at run time: no C++ runtime, no libgcc_s, no libm, so that
// it starts as fast as a C program does.
TEST(every_program, has_its_rows_and_the_c_library_alone)
{
	std::set<std::string> tools, rows, own;
	for (const auto &d : std::filesystem::directory_iterator(SOURCE_DIR "/tools"))
		tools.insert(d.path().filename());
	EXPECT_FALSE(tools.empty());
	std::ranges::transform(progs, std::inserter(rows, rows.end()), &prog::name);
	std::ranges::transform(closed, std::inserter(own, own.end()), &shut::name);
	EXPECT_EQ(rows, tools);
	EXPECT_EQ(own, tools);
	if (TOOLBOX_ASAN)
		GTEST_SKIP() << "the sanitizers' runtimes need the C++ runtime themselves";
	if (access(readelf, X_OK) != 0)
		GTEST_SKIP() << "no readelf (Debian package binutils)";
	for (const auto &name : tools) {
		// The shared libraries that it names, as readelf lists them:
		// "0x... (NEEDED) Shared library: [libc.so.6]". A static build
		// names none.
		run_result r = run({readelf, "-d", "-W", binary(name)});
		EXPECT_EQ(r.status, 0) << name << ": " << r.err;
		std::istringstream in(r.out);
		for (std::string l; std::getline(in, l);) {
			size_t open = l.find('['), close = l.rfind(']');
			if (l.find("(NEEDED)") == std::string::npos || open >= close)
				continue;
			// The C library, or the dynamic loader, which some
			// architectures name too (arm64's stack protector takes its
			// guard from it): ld-linux-aarch64.so.1, ld64.so.2, ld.so.1.
			std::string lib = l.substr(open + 1, close - open - 1);
			EXPECT_TRUE(lib.starts_with("libc.so.") || lib.starts_with("ld-linux") ||
			            lib.starts_with("ld64.so.") || lib.starts_with("ld.so."))
			        << name << " needs " << lib;
		}
	}
}

} // namespace
