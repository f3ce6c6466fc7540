// What every program must do; what only one program does is in NAME_test.cpp.
// Here: hostile surroundings (odd or shared descriptors, huge lines, binary
// input, input that comes late, a slow reader, no memory), each ending with the
// program's own message and status, never in a crash, a hang or output cut
// short with status 0; and linking the C library alone.
#include <gtest/gtest.h>

#include <elf.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

#ifndef NOMEM
#error "NOMEM must name the library that makes calls fail for want of memory"
#endif

namespace
{

constexpr bool sanitized = TOOLBOX_ASAN;

struct prog {
	const char *name;
	std::vector<std::string> args;
	std::string in, out; // a sample input and what it prints
	bool reads, writes;  // whether it reads standard input, writes its output
};

// Run in a directory holding "here" and a helper script for hitmark.
const prog progs[] = {
        {"dirtree", {}, "a/\na/b\nc\n", "a/\n\tb\nc\n", true, true},
        {"ymdtree", {}, "16-01-15 a\n", "16-\n\t01-\n\t\t15 \n\t\t\ta\n", true, true},
        {"absentees", {"."}, "here\ngone\n", "gone\n", true, true},
        {"hitmark", {}, "f:1:x\nplain\n", "f:v:1:x\nplain\n", true, true},
        {"twinfeed", {"wc -c", "wc -c"}, "abc", "3\n3\n", true, false},
        {"argscrub", {"filename", "a/b"}, "", "a_b", false, true},
};

std::string
world()
{
	static std::string d;
	if (d.empty()) {
		d = tempdir();
		putfile(d + "/here", "");
		putfile(d + "/hitmark.sh", "#!/bin/sh\nprintf v\n");
		chmod((d + "/hitmark.sh").c_str(), 0755);
	}
	return d;
}

run_result
go(const prog &p, run_opts o, const std::string &in)
{
	o.cwd = world();
	return runtool(p.name, p.args, in, o);
}

void
expect_clean(const run_result &r, const std::string &what)
{
	EXPECT_FALSE(r.timed_out) << what;
	EXPECT_EQ(r.sig, 0) << what;
	// Statuses 86 and 87 are the sanitizers', 99 valgrind's.
	EXPECT_TRUE(r.status == 0 || r.status == 1) << what << ": status " << r.status;
}

// Input whose output fills a pipe of one page: the sample, 20,000 filler
// lines, then the sample again, so hitmark's helper also runs once the pipe
// has been full. argscrub, which reads nothing, gets a long text instead.
std::string
bulk(const prog &p, std::vector<std::string> &args)
{
	std::string in;
	if (!p.reads) {
		args.back() = std::string(100000, 'x');
		return in;
	}
	in = p.in;
	for (int i = 0; i < 20000; i++)
		in += "plain\n";
	return in + p.in;
}

// The programs that do what a suite tests.
std::vector<prog>
those(bool prog::*does)
{
	std::vector<prog> v;
	for (const auto &p : progs)
		if (p.*does)
			v.push_back(p);
	return v;
}

// Every program above, those that write output of their own, those that read
// standard input.
class hostile : public testing::TestWithParam<prog>
{
};

class writer : public testing::TestWithParam<prog>
{
};

class reader : public testing::TestWithParam<prog>
{
};

using ::PrintTo; // rows print, and name their tests, by their name

TEST_P(writer, output_cannot_be_written)
{
	const prog &p = GetParam();
	const struct {
		const char *what, *reason;
		run_opts o;
		bool big;     // output that fills the pipe first
		bool endless; // input that never ends: the failure must end the run
	} rows[] = {
	        {"closed", "Bad file descriptor", {.close_out = true}},
	        {"full", "No space left on device", {.out_path = "/dev/full"}},
	        {"full, input endless",
	         "No space left on device",
	         {.out_path = "/dev/full", .timeout = 30},
	         false,
	         true},
	        // A descriptor that takes nothing would hold the program forever.
	        {"takes nothing", "Input/output error", {.inject = "write:retval=0:when=1"}},
	        // The first write finds the pipe full, so the program must wait.
	        {"waiting for the reader fails",
	         "Cannot allocate memory",
	         {.out_nonblock = true, .inject = "write:error=EAGAIN:when=1 poll:error=ENOMEM"},
	         true},
	};
	std::vector<std::string> args = p.args;
	std::string in = bulk(p, args);
	std::string unrun;
	for (const auto &row : rows) {
		if ((under_valgrind() && !row.o.inject.empty()) || (row.endless && !p.reads))
			continue; // strace runs the program, not valgrind
		if (launched() && !row.o.inject.empty()) {
			unrun += std::string(unrun.empty() ? "" : ", ") + row.what;
			continue;
		}
		run_opts o = row.o;
		o.cwd = world();
		std::vector<std::string> sh = {"/bin/sh", "-c", "yes | \"$@\"", "sh", tool(p.name)};
		sh.insert(sh.end(), p.args.begin(), p.args.end());
		run_result r = row.endless ? run(sh, o)
		                           : runtool(p.name, row.big ? args : p.args,
		                                     row.big ? in : p.in, o);
		EXPECT_EQ(r.err, std::string(p.name) + ": write error: " + row.reason + "\n")
		        << row.what;
		EXPECT_EQ(r.status, 1) << row.what;
		expect_clean(r, row.what);
	}
	if (!unrun.empty())
		GTEST_SKIP() << "rows not run: " << unrun << ": " << behind("strace's fault");
}

// A reader that has gone ends the program by SIGPIPE, and nothing else.
TEST_P(writer, reader_gone)
{
	const prog &p = GetParam();
	run_result r = go(p, {.out_broken = true}, p.in);
	EXPECT_EQ(r.sig, SIGPIPE);
	EXPECT_EQ(r.err, "");
}

TEST_P(reader, input_cannot_be_read)
{
	const prog &p = GetParam();
	std::vector<std::string> args = p.args;
	const struct {
		const char *what, *reason;
		run_opts o;
		std::string in;
	} rows[] = {
	        {"closed", "Bad file descriptor", {.close_in = true}},
	        {"directory", "Is a directory", {.in_path = "/"}},
	        {"a pipe's write end", "Bad file descriptor", {.in_writeonly = true}},
	        // A failure after a last line that lacks its line end: neither
	        // that line nor a slow reader may replace the reason.
	        {"reset in a line, read late",
	         "Connection reset by peer",
	         {.in_socket = true, .in_reset = true, .out_nonblock = true},
	         bulk(p, args) + "x"},
	};
	// Input that cannot be read ends as no input does: twinfeed's commands
	// see their input end.
	const std::string none = go(p, {}, "").out;
	for (const auto &row : rows) {
		run_result r = go(p, row.o, row.in);
		EXPECT_EQ(r.err, std::string(p.name) + ": read error: " + row.reason + "\n")
		        << row.what;
		if (row.in.empty()) {
			EXPECT_EQ(r.out, none) << row.what;
		}
		EXPECT_EQ(r.status, 1) << row.what;
		expect_clean(r, row.what);
	}
}

// Input that comes late, on a descriptor left non-blocking or in pieces with
// the program stopped and continued in between, gives the same output.
TEST_P(reader, late_input)
{
	const prog &p = GetParam();
	size_t half = p.in.size() / 2;
	const struct {
		const char *what;
		run_opts o;
	} rows[] = {
	        {"non-blocking, empty at first", {.in_nonblock = true, .pieces = {"", p.in}}},
	        {"in pieces, stopped and continued between",
	         {.pieces = {p.in.substr(0, 1), p.in.substr(1, half), p.in.substr(1 + half)}}},
	        {"both",
	         {.in_nonblock = true, .pieces = {"", p.in.substr(0, half), p.in.substr(half)}}},
	        {"a non-blocking socket, empty at first",
	         {.in_nonblock = true, .in_socket = true, .pieces = {"", p.in}}},
	};
	for (const auto &row : rows) {
		run_result r = go(p, row.o, "");
		EXPECT_TRUE(r.out == p.out) << row.what;
		EXPECT_EQ(r.err, "") << row.what;
		EXPECT_EQ(r.status, 0) << row.what;
	}
}

// Output left non-blocking, on a pipe of one page that its reader starts to
// empty late, is waited for; input from a pipe whose writer asked for
// packets, each of which a read takes whole or drops what it leaves of it,
// is read whole: all of it arrives, with status 0.
TEST_P(hostile, odd_pipes)
{
	const prog &p = GetParam();
	std::vector<std::string> args = p.args;
	std::string in = bulk(p, args);
	run_result want = runtool(p.name, args, in, {.cwd = world()});
	if (p.writes) {
		EXPECT_GT(want.out.size(), 4096u);
	}
	const struct {
		const char *what;
		run_opts o;
	} rows[] = {
	        {"a slow reader", {.cwd = world(), .out_nonblock = true}},
	        {"a pipe of packets", {.cwd = world(), .in_packets = true}},
	};
	for (const auto &row : rows) {
		run_result r = runtool(p.name, args, in, row.o);
		EXPECT_TRUE(r.out == want.out)
		        << row.what << ": " << r.out.size() << " bytes of " << want.out.size();
		EXPECT_EQ(r.err, "") << row.what;
		EXPECT_EQ(r.status, 0) << row.what;
	}
}

// Output lands at the caller's offset, and input goes on where an earlier
// reader of the same descriptor stopped.
TEST_P(hostile, shares_the_callers_descriptors)
{
	const prog &p = GetParam();
	const struct {
		const char *what, *sh;
		std::string want;
	} rows[] = {
	        {"append", "echo old > out; \"$@\" < in >> out", "old\n" + p.out},
	        {"group", "{ printf 'head\\n'; \"$@\" < in; } > out", "head\n" + p.out},
	        {"input read before", "{ read -r skip; \"$@\"; } < skip > out", p.out},
	};
	// In the shared folder: names the programs never look up.
	std::string d = world();
	putfile(d + "/in", p.in);
	putfile(d + "/skip", "skip\n" + p.in);
	for (const auto &row : rows) {
		std::vector<std::string> argv = {"/bin/sh", "-c", row.sh, "sh", tool(p.name)};
		argv.insert(argv.end(), p.args.begin(), p.args.end());
		run_result r = run(argv, {.cwd = d});
		EXPECT_EQ(visible(getfile(d + "/out")), visible(row.want)) << row.what;
		EXPECT_EQ(r.err, "") << row.what;
		EXPECT_EQ(r.status, 0) << row.what;
	}
}

// A /proc file is read like any other input: its size says nothing, moving
// its position rereads it, and the kernel cannot splice from it.
TEST_P(reader, proc_file_as_through_a_pipe)
{
	const prog &p = GetParam();
	const std::string proc = "/proc/kallsyms";
	if (access(proc.c_str(), R_OK) != 0)
		GTEST_SKIP() << proc << " cannot be read here";
	run_result r = go(p, {.in_path = proc}, ""), piped = go(p, {}, getfile(proc));
	EXPECT_GT(getfile(proc).size(), 100000u);
	EXPECT_TRUE(r.out == piped.out) << r.out.size() << " and " << piped.out.size() << " bytes";
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
}

// Any bytes at all, NULs included: status 0 and no crash, and every byte
// reaches twinfeed's commands.
TEST_P(reader, random_bytes)
{
	const prog &p = GetParam();
	std::string in;
	unsigned x = 12345;
	for (int i = 0; i < (1 << 20); i++) {
		x = x * 1103515245 + 12345;
		in += static_cast<char>(x >> 24);
	}
	run_result r = go(p, {}, in);
	expect_clean(r, "random bytes");
	EXPECT_EQ(r.status, 0);
	if (p.name == std::string("twinfeed")) {
		EXPECT_EQ(r.out, "1048576\n1048576\n");
	}
}

TEST_P(reader, line_of_ten_megabytes)
{
	const prog &p = GetParam();
	// The checkers look at every byte that is copied or scanned, and the
	// line is copied as its buffer doubles: they check a line of 1 MB.
	std::string big((sanitized || under_valgrind() ? 1 : 10) << 20, 'x');
	const std::string n = std::to_string(big.size() + 1) + "\n";
	const std::string want = p.name == std::string("ymdtree") ? big + "-\n\t-\n\t\t \n\t\t\t\n"
	                         : p.name == std::string("twinfeed") ? n + n
	                                                             : big + "\n";
	run_result r = go(p, {}, big + "\n");
	EXPECT_TRUE(r.out == want) << p.name << ": " << r.out.size() << " bytes";
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
}

// A long input runs in the memory of a short one: nothing is kept per line.
// Half a million lines, 20 MB, in 12 MiB of address space, which a leak of
// one allocation per line would outgrow, or a reader that kept the lines it
// has handed out; and a line of 9 MB in 14 MiB, where its buffer cannot
// double.
TEST_P(reader, many_lines_in_little_memory)
{
	const prog &p = GetParam();
	if (sanitized || under_valgrind())
		GTEST_SKIP() << "a checker needs more address space, and counts leaks itself";
	if (launched())
		GTEST_SKIP() << behind("a limit on the address space");
	std::string lines;
	for (int i = 0; i < 500000; i++)
		lines += "plain-plain-plain-plain-plain-plain-pl\n";
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
	for (const auto &row : rows) {
		if (row.mib == 14 && p.name == std::string("ymdtree"))
			continue;
		std::vector<std::string> argv = {"/usr/bin/prlimit",
		                                 "--as=" + std::to_string(row.mib << 20), "--",
		                                 tool(p.name)};
		argv.insert(argv.end(), p.args.begin(), p.args.end());
		run_result r = run(argv, {.in = row.in, .cwd = world()});
		EXPECT_EQ(r.err, "") << row.what;
		EXPECT_EQ(r.status, 0) << row.what;
	}
}

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

struct sweep {
	std::string name;
	const char *prog;
	const kind *k;
	const char *calls = nullptr; // in place of the kind's own
};

std::string
many(const char *fmt, int n, int from = 0)
{
	std::string s;
	char buf[256];
	for (int i = from; i < from + n; i++)
		s.append(buf, snprintf(buf, sizeof buf, fmt, i / 100, i % 100, i));
	return s;
}

// Each program's arguments and input for a sweep.
std::vector<std::string>
sweepargs(const std::string &p, std::string &in)
{
	const std::string longer(100000, 'x');
	if (p == "dirtree") {
		in = many("d%02d/\n", 20) + many("d%02d/a-longer-file-name-%02d-%05d\n", 3000) +
		     "x/" + longer + "/\n" + "x/" + longer + "/f\n" +
		     many("d%02d/a-longer-file-name-%02d-%05d\n", 3000, 3000);
	} else if (p == "ymdtree") {
		in = many("2024-%02d-%02d entry-%05d\n", 6000) + "2024-01-" + longer + " e\n" +
		     many("2025-%02d-%02d entry-%05d\n", 1000);
	} else if (p == "absentees") {
		in = many("gone-name-%02d-%02d-%05d\nhere\n", 500) +
		     std::string("cut-at-a-nul\0x\n", 15) + longer + "\n" +
		     many("gone-name-%02d-%02d-%05d\n", 500);
		return {"."};
	} else if (p == "hitmark") {
		in = many("plain text line %02d %02d %05d\n", 300) + "a b:1:hit\n" + longer + "\n" +
		     "f:2:" + longer + "\n" + many("f%02d%02d:%05d:hit\n", 4) +
		     many("plain text line %02d %02d %05d\n", 300);
	} else if (p == "twinfeed") {
		in = many("twin line %02d %02d %05d\n", 150000);
		return {"cat", "cat > /dev/null"};
	} else if (p == "argscrub") {
		return {"filename", "max70000", many("a b/c\xc3\xa9 %02d %02d %05d\n", 5000)};
	}
	return {};
}

// A row for each kind of fault each program handles.
std::vector<sweep>
sweeps()
{
	const struct {
		const char *prog;
		std::vector<const kind *> kinds;
		const char *reads = nullptr;
	} progs[] = {
	        {"dirtree", {&allocation, &reading, &writing}},
	        {"ymdtree", {&allocation, &reading, &writing}},
	        {"absentees", {&allocation, &reading, &writing}},
	        {"hitmark", {&allocation, &reading, &writing, &piping, &starting, &waiting}},
	        // A file reaches the commands by splice.
	        {"twinfeed", {&reading, &piping, &starting, &waiting}, "splice"},
	        {"argscrub", {&allocation, &writing}},
	};
	std::vector<sweep> v;
	for (const auto &p : progs)
		for (const kind *k : p.kinds)
			v.push_back({std::string(p.prog) + "_" + k->name, p.prog, k,
			             k == &reading ? p.reads : nullptr});
	return v;
}

class sweeping : public testing::TestWithParam<sweep>
{
};

// A traced call: its name, its result, and whether strace made it fail.
struct call {
	std::string name;
	long ret;
	bool injected;
};

std::vector<call>
calls(const std::string &log)
{
	std::vector<call> v;
	std::istringstream in(log);
	for (std::string l; std::getline(in, l);) {
		size_t eq = l.rfind(" = ");
		if (l.empty() || l[0] == '+' || l[0] == '-' || eq == std::string::npos)
			continue;
		v.push_back({l.substr(0, l.find('(')), strtol(l.c_str() + eq + 3, nullptr, 10),
		             l.ends_with("(INJECTED)")});
	}
	return v;
}

// The calls up to the fault; where none was injected, up to the preload's
// mark, its lseek; all of them when there was neither.
std::vector<call>
before(const std::vector<call> &v)
{
	size_t i = 0;
	while (i < v.size() && !v[i].injected && v[i].name != "lseek")
		i++;
	return {v.begin(), v.begin() + i};
}

// The bytes that the calls named name returned, all but the last skip.
size_t
bytes(const std::vector<call> &v, const std::string &names, size_t skip = 0)
{
	std::vector<size_t> n;
	for (const auto &c : v)
		if (("," + names + ",").find("," + c.name + ",") != std::string::npos)
			n.push_back(c.ret > 0 ? c.ret : 0);
	size_t sum = 0;
	for (size_t i = 0; i + skip < n.size(); i++)
		sum += n[i];
	return sum;
}

// The points to strike: every one of n, or 64 spread over them.
std::vector<size_t>
points(size_t n, size_t most)
{
	std::vector<size_t> v;
	for (size_t i = 0; i < std::min(n, most); i++)
		v.push_back(n <= most ? i + 1 : 1 + i * (n - 1) / (most - 1));
	return v;
}

// True when got is want with one line's reply (after its first colon) left
// out: the one helper that could not be asked.
bool
onereplyless(const std::string &got, const std::string &want, const std::string &reply)
{
	std::istringstream g(got), w(want);
	int odd = 0;
	for (std::string a, b; std::getline(w, b);) {
		if (!std::getline(g, a))
			return false;
		size_t c = b.find(':');
		if (a != b &&
		    !(c != std::string::npos && b.compare(c + 1, reply.size(), reply) == 0 &&
		      a == b.substr(0, c + 1) + b.substr(c + 1 + reply.size()) && ++odd))
			return false;
	}
	std::string rest;
	return odd == 1 && !std::getline(g, rest);
}

TEST_P(sweeping, every_call_fails_in_turn)
{
	const sweep &s = GetParam();
	const kind &k = *s.k;
	const bool checker = sanitized || under_valgrind();
	if (launched())
		GTEST_SKIP() << behind("strace's faults");
	if (&k == &allocation && (checker || interpreter(binary(s.prog)).empty()))
		GTEST_SKIP() << "no library can be preloaded into " << s.prog << " here";
	if (under_valgrind() && !(&k == &reading || &k == &writing))
		GTEST_SKIP() << "valgrind makes pipes and processes of its own";
	std::string d = world(), in;
	const std::vector<std::string> args = sweepargs(s.prog, in);
	const std::string ip = d + "/" + s.name + ".in", op = ip + ".out", log = ip + ".log";
	const std::string kcalls = s.calls != nullptr ? s.calls : k.calls;
	putfile(ip, in);
	// What the program prints for its input cut after n bytes.
	std::map<size_t, std::string> cuts;
	auto cut = [&](size_t n) {
		if (!cuts.contains(n)) {
			putfile(ip + ".cut", in.substr(0, n));
			runtool(s.prog, args, "",
			        {.cwd = d, .in_path = ip + ".cut", .out_path = op});
			cuts[n] = getfile(op);
		}
		return cuts[n];
	};
	// Counted in a run without a fault.
	run_opts o = {.cwd = d, .in_path = ip, .out_path = op, .timeout = 30};
	if (&k == &allocation) {
		o.env = {"LD_PRELOAD=" NOMEM, "TOOLBOX_NOMEM_COUNT=" + log};
	} else {
		o.trace = kcalls;
		o.trace_log = log;
		o.trace_path = k.onout ? op : &k == &reading ? ip : "";
	}
	run_result full = runtool(s.prog, args, "", o);
	full.out = getfile(op);
	ASSERT_EQ(full.status, 0) << full.err;
	size_t n = &k == &allocation ? std::stoul(getfile(log)) : calls(getfile(log)).size();
	ASSERT_GT(n, 0u) << "no call to strike";
	const std::string reads = s.calls != nullptr ? kcalls : "read";
	int failed = 0, unchanged = 0;
	for (size_t at : points(n, checker ? 8 : 64)) {
		const std::string what =
		        std::string(k.name) + " " + std::to_string(at) + " of " + std::to_string(n);
		run_opts f = {
		        .cwd = d, .in_path = ip, .out_path = op, .trace_log = log, .timeout = 30};
		if (&k == &allocation) {
			f.env = {"LD_PRELOAD=" NOMEM, "TOOLBOX_NOMEM_AT=" + std::to_string(at)};
			f.trace = "read,lseek";
			f.trace_path = ip;
		} else {
			f.inject = kcalls + ":error=" + k.error + ":when=" + std::to_string(at);
			f.trace_path = o.trace_path;
		}
		run_result r = runtool(s.prog, args, "", f);
		r.out = getfile(op);
		std::vector<call> tr = before(calls(getfile(log)));
		EXPECT_FALSE(r.timed_out) << what;
		EXPECT_EQ(r.sig, 0) << what;
		if (r.status == 0 && r.out == full.out && r.err == full.err) {
			unchanged++;
			continue;
		}
		failed++;
		EXPECT_EQ(r.status, 1) << what << ": " << r.err;
		if (r.err.starts_with("hitmark: ./hitmark.sh: ")) {
			EXPECT_TRUE(onereplyless(r.out, full.out, "v")) << what;
			continue;
		}
		EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << ": " << r.err;
		EXPECT_TRUE(r.err.starts_with(std::string(s.prog) + ": ") &&
		            r.err.ends_with(std::string(k.reason) + "\n"))
		        << what << ": " << r.err;
		if (&k == &reading) {
			// Exactly what the input gives cut where the read failed, its
			// last line as it was read so far.
			EXPECT_TRUE(r.out == cut(bytes(tr, reads))) << what;
			continue;
		}
		EXPECT_TRUE(full.out.starts_with(r.out))
		        << what << ": " << r.out.size() << " bytes";
		if (&k == &writing) {
			// Exactly what the writes before the failed one took.
			EXPECT_TRUE(r.out == full.out.substr(0, bytes(tr, "write"))) << what;
		} else if (&k == &allocation && !in.empty()) {
			// A read comes only once every line of the blocks before it is
			// done: the lines that those blocks held whole are printed.
			std::string done = in.substr(0, bytes(tr, reads, 1));
			EXPECT_TRUE(r.out.starts_with(cut(done.rfind('\n') + 1))) << what;
		}
	}
	std::cout << "[ sweep    ] " << s.name << ": " << failed + unchanged << " of " << n
	          << " calls struck, " << failed << " failed, " << unchanged << " unchanged\n";
}

INSTANTIATE_TEST_SUITE_P(programs, sweeping, testing::ValuesIn(sweeps()),
                         testing::PrintToStringParamName());

// Writes head, n bytes of c, then tail to path, a block at a time.
void
putrun(const std::string &path, const std::string &head, size_t n, char c, const std::string &tail)
{
	FILE *f = fopen(path.c_str(), "w");
	ASSERT_NE(f, nullptr) << path;
	std::string block(1 << 20, c);
	fputs(head.c_str(), f);
	for (size_t k; n > 0; n -= k)
		fwrite(block.data(), 1, k = std::min(n, block.size()), f);
	fputs(tail.c_str(), f);
	ASSERT_EQ(fclose(f), 0) << path;
}

// True when path holds exactly head, n bytes of c, then tail.
bool
isrun(const std::string &path, const std::string &head, size_t n, char c, const std::string &tail)
{
	FILE *f = fopen(path.c_str(), "r");
	std::string want(1 << 20, c), got(1 << 20, '\0');
	bool ok = f != nullptr && fread(got.data(), 1, head.size(), f) == head.size() &&
	          got.compare(0, head.size(), head) == 0;
	for (size_t k; ok && n > 0; n -= k) {
		k = std::min(n, want.size());
		ok = fread(got.data(), 1, k, f) == k && memcmp(got.data(), want.data(), k) == 0;
	}
	ok = ok && fread(got.data(), 1, got.size(), f) == tail.size() &&
	     got.compare(0, tail.size(), tail) == 0;
	if (f != nullptr)
		fclose(f);
	return ok;
}

// A text of 2 GiB and more is printed whole: its length is no int's count.
TEST(hostile_big, line_past_two_gigabytes)
{
	if (sanitized || under_valgrind())
		GTEST_SKIP() << "a 2 GiB line takes too long under a checker";
	// Its buffer grows by copying: two of 2 GiB do not fit in 4 GiB.
	if (getfile(binary("dirtree"))[EI_CLASS] != ELFCLASS64)
		GTEST_SKIP()
		        << "a 2 GiB line does not fit twice in a 32-bit program's address space";
	if (available() < (6ULL << 30))
		GTEST_SKIP() << "needs 6 GiB of free memory, " << (available() >> 20)
		             << " MiB free";
	const size_t n = (1ULL << 31) + 2;
	const struct {
		const char *name, *in, *out, *intail, *outtail;
	} rows[] = {
	        {"dirtree", "d/\nd/", "d/\n\t", "\nz\n", "\nz\n"},
	        {"ymdtree", "16-01-15 ", "16-\n\t01-\n\t\t15 \n\t\t\t", "\n16-01-15 z\n",
	         "\n\t\t\tz\n"},
	};
	std::string d = tempdir();
	for (const auto &row : rows) {
		putrun(d + "/in", row.in, n, 'n', row.intail);
		run_result r =
		        runtool(row.name, {}, "",
		                {.in_path = d + "/in", .out_path = d + "/out", .timeout = 300});
		EXPECT_TRUE(isrun(d + "/out", row.out, n, 'n', row.outtail)) << row.name;
		EXPECT_EQ(r.err, "") << row.name;
		EXPECT_EQ(r.status, 0) << row.name;
	}
}

// Tests with rows for a few of the programs, run once for each program so
// that a test's name says which program it runs.
class hostile_memory : public testing::TestWithParam<const char *>
{
};

class hostile_tty : public testing::TestWithParam<const char *>
{
};

class hostile_closed : public testing::TestWithParam<const char *>
{
};

// Out of memory, wherever it strikes: one line naming the reason, status 1.
TEST_P(hostile_memory, calls_that_find_no_memory)
{
	// valgrind is started by a shell, which would find no memory either.
	if (sanitized || under_valgrind())
		GTEST_SKIP() << "the checker must be the first to load";
	const struct {
		const char *name;
		std::vector<std::string> args;
		const char *in, *calls;
	} rows[] = {
	        // A name with a line end is unknown without a lookup.
	        {"sigpost", {"SIG\nUSR1", "1"}, "", "strdup"},
	        // No C locale for the lookup.
	        {"sigpost", {"SIGUSR1", "1"}, "", "setenv"},
	        // No room for the copy of the text, which the compiler may ask
	        // of malloc.
	        {"argscrub", {"none", "abc"}, "", "malloc,realloc"},
	};
	if (launched())
		GTEST_SKIP() << behind("a preloaded library");
	if (interpreter(binary(GetParam())).empty())
		GTEST_SKIP() << GetParam() << " is linked statically: no library can be preloaded";
	for (const auto &row : rows) {
		if (row.name != std::string(GetParam()))
			continue;
		run_result r = runtool(
		        row.name, row.args, row.in,
		        {.env = {"LD_PRELOAD=" NOMEM, std::string("TOOLBOX_NOMEM=") + row.calls}});
		EXPECT_EQ(r.out, "") << row.calls;
		EXPECT_EQ(r.err, std::string(row.name) + ": Cannot allocate memory\n") << row.calls;
		EXPECT_EQ(r.status, 1) << row.calls;
	}
}

// On a terminal each line shows as soon as it is printed, while the input
// is still open.
TEST_P(hostile_tty, line_shows_at_once)
{
	const struct {
		const char *name, *in, *out;
	} rows[] = {
	        {"dirtree", "a/\n", "a/\r\n"},
	        {"ymdtree", "16-01-15 a\n", "16-\r\n\t01-\r\n\t\t15 \r\n\t\t\ta\r\n"},
	};
	for (const auto &row : rows) {
		if (row.name != std::string(GetParam()))
			continue;
		proc t = start({tool(row.name)}, {.out_tty = true});
		EXPECT_EQ(write(t.in, row.in, strlen(row.in)),
		          static_cast<ssize_t>(strlen(row.in)));
		EXPECT_EQ(visible(readuntil(t, row.out)), visible(row.out)) << row.name;
		EXPECT_EQ(finish(t).status, 0) << row.name;
	}
}

// Started with standard error closed, and standard output or input as well,
// as a daemon or a cron job may be, a program sends its data where it
// belongs, and nothing of its own reaches a command's input: twinfeed's
// first command gets exactly the input, without the message that the second
// has stopped reading. hitmark's helper replies "fd2" instead of its value
// when it starts with a descriptor numbered 2 of hitmark's.
TEST_P(hostile_closed, data_goes_where_it_belongs)
{
	const struct {
		const char *name, *closed;     // the standard streams closed
		std::vector<std::string> args; // "{T}": the process to signal
		std::string in, out;           // twinfeed's input: zs (below)
		int status;
		bool infile = false; // input from a file rather than a pipe
	} rows[] = {
	        {"dirtree", "1 2", {}, "a/\na/b\nc\n", "", 1},
	        {"dirtree", "0 2", {}, "a/\na/b\nc\n", "", 1},
	        {"dirtree", "2", {}, "a/\na/b\nc\n", "a/\n\tb\nc\n", 0},
	        {"ymdtree", "1 2", {}, "16-01-15 a\n", "", 1},
	        {"ymdtree", "0 2", {}, "16-01-15 a\n", "", 1},
	        {"ymdtree", "2", {}, "16-01-15 a\n", "16-\n\t01-\n\t\t15 \n\t\t\ta\n", 0},
	        {"absentees", "1 2", {"."}, "here\ngone\n", "", 1},
	        {"absentees", "0 2", {"."}, "here\ngone\n", "", 1},
	        {"absentees", "2", {"."}, "here\ngone\n", "gone\n", 0},
	        {"hitmark", "1 2", {}, "f:1:x\nplain\n", "", 1},
	        {"hitmark", "0 2", {}, "f:1:x\nplain\n", "", 1},
	        {"hitmark", "2", {}, "f:1:x\nplain\n", "f:v:1:x\nplain\n", 0},
	        {"sigpost", "1 2", {"SIGUSR1", "{T}"}, "", "", 0},
	        {"sigpost", "0 2", {"SIGUSR1", "{T}"}, "", "", 0},
	        {"sigpost", "2", {"SIGUSR1", "{T}"}, "", "", 0},
	        // The second command stops reading at once, and twinfeed, with
	        // SIGPIPE ignored, says so on its standard error.
	        {"twinfeed", "1 2", {"cat > 1", "true"}, "", "", 1},
	        {"twinfeed", "1 2", {"cat > 1", "true"}, "", "", 1, true},
	        {"twinfeed", "0 2", {"cat > 1", "true"}, "", "", 1},
	        {"twinfeed", "2", {"cat > 1", "true"}, "", "", 1},
	        {"argscrub", "1 2", {"filename", "a/b"}, "", "", 1},
	        {"argscrub", "0 2", {"filename", "a/b"}, "", "a_b", 0},
	        {"argscrub", "2", {"filename", "a/b"}, "", "a_b", 0},
	};
	const bool tf = GetParam() == std::string("twinfeed");
	const std::string zs(tf ? 8 << 20 : 0, 'z'); // more than twinfeed's pipes hold
	for (const auto &row : rows) {
		if (row.name != std::string(GetParam()))
			continue;
		std::string what = row.closed + std::string(row.infile ? ", input a file" : "");
		std::string d = tempdir(), in = tf ? zs : row.in;
		putfile(d + "/here", "");
		putfile(d + "/hitmark.sh",
		        "#!/bin/sh\n[ -L /proc/$$/fd/2 ] && printf fd2 || printf v\n");
		chmod((d + "/hitmark.sh").c_str(), 0755);
		run_opts o = {.cwd = d,
		              .close_in = row.closed[0] == '0',
		              .close_out = row.closed[0] == '1',
		              .close_err = true,
		              .pipe_ignored = true};
		if (row.infile) {
			putfile(d + "/in", in);
			o.in_path = d + "/in";
		}
		proc t;
		std::vector<std::string> args = row.args;
		if (args.size() > 1 && args[1] == "{T}") {
			t = start({"/bin/sleep", "30"}, {.timeout = 10});
			args[1] = std::to_string(t.pid);
		}
		run_result r = runtool(row.name, args, row.infile || o.close_in ? "" : in, o);
		EXPECT_EQ(visible(r.out), visible(row.out)) << what;
		EXPECT_EQ(r.status, row.status) << what << ": " << r.err;
		expect_clean(r, what);
		if (t.pid > 0) {
			EXPECT_EQ(finish(t).sig, SIGUSR1) << what;
		}
		if (tf) {
			std::string got = getfile(d + "/1"), odd = got;
			std::erase(odd, 'z');
			EXPECT_TRUE(got == (o.close_in ? "" : zs))
			        << what << ": " << got.size() << " bytes, not z: " << visible(odd);
		}
	}
}

INSTANTIATE_TEST_SUITE_P(programs, hostile_memory, testing::Values("sigpost", "argscrub"),
                         [](const auto &i) { return std::string(i.param); });
INSTANTIATE_TEST_SUITE_P(programs, hostile_tty, testing::Values("dirtree", "ymdtree"),
                         [](const auto &i) { return std::string(i.param); });
INSTANTIATE_TEST_SUITE_P(programs, hostile_closed,
                         testing::Values("dirtree", "ymdtree", "absentees", "hitmark", "sigpost",
                                         "twinfeed", "argscrub"),
                         [](const auto &i) { return std::string(i.param); });
INSTANTIATE_TEST_SUITE_P(programs, hostile, testing::ValuesIn(progs),
                         testing::PrintToStringParamName());
INSTANTIATE_TEST_SUITE_P(programs, writer, testing::ValuesIn(those(&prog::writes)),
                         testing::PrintToStringParamName());
INSTANTIATE_TEST_SUITE_P(programs, reader, testing::ValuesIn(those(&prog::reads)),
                         testing::PrintToStringParamName());

const char readelf[] = "/usr/bin/readelf";

// The shared libraries that the program at path names, as readelf lists
// them: "0x... (NEEDED) Shared library: [libc.so.6]".
std::vector<std::string>
needed(const std::string &path)
{
	run_result r = run({readelf, "-d", "-W", path});
	EXPECT_EQ(r.status, 0) << path << ": " << r.err;
	std::vector<std::string> libs;
	std::istringstream in(r.out);
	for (std::string l; std::getline(in, l);) {
		size_t open = l.find('['), close = l.rfind(']');
		if (l.find("(NEEDED)") != std::string::npos && open < close)
			libs.push_back(l.substr(open + 1, close - open - 1));
	}
	return libs;
}

// The C library, or the dynamic loader, which some architectures name too
// (arm64's stack protector takes its guard from it): ld-linux-aarch64.so.1,
// ld64.so.2, ld.so.1.
bool
clibrary(const std::string &lib)
{
	return lib.starts_with("libc.so.") || lib.starts_with("ld-linux") ||
	       lib.starts_with("ld64.so.") || lib.starts_with("ld.so.");
}

// The programs need the C library alone at run time: no C++ runtime, no
// libgcc_s, no libm, so that they start as fast as a C program does.
TEST(linkage, c_library_alone)
{
	if (sanitized)
		GTEST_SKIP() << "the sanitizers' runtimes need the C++ runtime themselves";
	if (access(readelf, X_OK) != 0)
		GTEST_SKIP() << "no readelf (Debian package binutils)";
	int n = 0;
	for (const auto &d :
	     std::filesystem::directory_iterator(std::string(SOURCE_DIR) + "/tools")) {
		std::string name = d.path().filename();
		// A static build names no library at all.
		for (const auto &lib : needed(binary(name)))
			EXPECT_TRUE(clibrary(lib)) << name << " needs " << lib;
		n++;
	}
	EXPECT_GT(n, 0);
}

} // namespace
