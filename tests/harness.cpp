#include "harness.h"

#include <gtest/gtest.h>

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#ifndef TOOLS_DIR
#error "TOOLS_DIR must name the folder of the built programs"
#endif

static void
check(bool ok, const char *what)
{
	if (!ok)
		throw std::runtime_error(std::string(what) + ": " + strerror(errno));
}

static std::string
setting(const char *name)
{
	const char *v = getenv(name);
	return v != nullptr ? v : "";
}

// True when each program runs behind TOOLBOX_LAUNCHER: what a test puts
// into the program's process (strace's faults, a preloaded library, limits)
// then reaches the launcher instead.
static bool
launched()
{
	return !setting("TOOLBOX_LAUNCHER").empty();
}

bool
under_valgrind()
{
	return !setting("TOOLBOX_VALGRIND").empty();
}

// Why a test that puts what into the program's process cannot run behind
// the launcher, for its skip.
static std::string
behind(const std::string &what)
{
	return what + " would reach the launcher (" + setting("TOOLBOX_LAUNCHER") +
	       "), not the program";
}

// In the folder of the programs under test: TOOLBOX_BIN, or the build tree's.
std::string
binary(const std::string &name)
{
	std::string d = setting("TOOLBOX_BIN");
	return (d.empty() ? TOOLS_DIR : d) + "/" + name;
}

// Behind a launcher, each program is a script in a private folder that
// execs the launcher on the real program: the process keeps its id, and a
// shell, prlimit or setpriv that a test puts in front of it still finds a
// program it can run.
static std::string
wrapped(const std::string &name)
{
	static const std::string dir = tempdir();
	std::string path = dir + "/" + name;
	if (access(path.c_str(), X_OK) != 0) {
		putfile(path, "#!/bin/sh\nexec " + setting("TOOLBOX_LAUNCHER") + " '" +
		                      binary(name) + "' \"$@\"\n");
		check(chmod(path.c_str(), 0755) == 0, path.c_str());
	}
	return path;
}

// A field of an ELF file in the host's byte order; swap when the file's
// order is the other one (a big-endian s390x program read on amd64).
template <class T>
static T
host(T v, bool swap)
{
	auto *b = reinterpret_cast<unsigned char *>(&v);
	if (swap)
		std::reverse(b, b + sizeof v);
	return v;
}

// The loader that the ELF header of type ehdr in f names, or "".
template <class ehdr, class phdr>
static std::string
loader(const std::string &f, bool swap)
{
	ehdr h;
	phdr p;
	if (f.size() < sizeof h)
		return "";
	memcpy(&h, f.data(), sizeof h);
	for (size_t i = 0; i < host(h.e_phnum, swap); i++) {
		size_t at = host(h.e_phoff, swap) + i * host(h.e_phentsize, swap);
		if (at + sizeof p > f.size())
			break;
		memcpy(&p, f.data() + at, sizeof p);
		size_t off = host(p.p_offset, swap), n = host(p.p_filesz, swap);
		if (host(p.p_type, swap) == PT_INTERP && off + n <= f.size())
			return std::string(f.data() + off, strnlen(f.data() + off, n));
	}
	return "";
}

std::string
interpreter(const std::string &path)
{
	std::string f = getfile(path);
	if (f.size() <= EI_DATA || f.compare(0, SELFMAG, ELFMAG) != 0)
		return "";
	bool swap = (f[EI_DATA] == ELFDATA2MSB) != (std::endian::native == std::endian::big);
	return f[EI_CLASS] == ELFCLASS64 ? loader<Elf64_Ehdr, Elf64_Phdr>(f, swap)
	                                 : loader<Elf32_Ehdr, Elf32_Phdr>(f, swap);
}

// The programs print the C library's own text for an error, and the tests
// expect glibc's: musl's texts that differ are read as glibc's. It applies
// to every run, whichever program prints, for a test may start ours through
// a shell or setpriv; the other programs are glibc's and print none of these.
//
// The programs are built against musl when none of them has glibc's mark,
// the versions its dynamic programs ask for (GLIBC_2.34) or the tunables its
// static ones read (GLIBC_TUNABLES).
static std::string
glibc_texts(std::string s)
{
	static const bool musl = [] {
		bool any = false;
		for (const auto &d : std::filesystem::directory_iterator(SOURCE_DIR "/tools")) {
			std::string path = binary(d.path().filename());
			bool here = access(path.c_str(), R_OK) == 0;
			if (here && getfile(path).find("GLIBC_") != std::string::npos)
				return false;
			any |= here;
		}
		return any;
	}();
	if (!musl)
		return s;
	static const std::string texts[][2] = {
	        {": I/O error\n", ": Input/output error\n"},
	        {": Out of memory\n", ": Cannot allocate memory\n"},
	        {": No file descriptors available\n", ": Too many open files\n"}};
	for (const auto &[from, to] : texts)
		for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
			s.replace(at, from.size(), to);
	return s;
}

std::string
tool(const std::string &name)
{
	return launched() ? wrapped(name) : binary(name);
}

static const char valgrind[] = "/usr/bin/valgrind";

// Starts argv with standard input, output and error on in, out and er, or
// as o says instead, in a process group of its own, with every signal at its
// default and none blocked.
static pid_t
spawn(const std::vector<std::string> &argv, const run_opts &o, int in, int out, int er)
{
	posix_spawn_file_actions_t fa;
	posix_spawnattr_t at;
	sigset_t none, all;
	pid_t pid;
	// valgrind's report without standard error goes to descriptor 3, the
	// error pipe too (see valgrinded).
	bool log = o.close_err && argv[0] == valgrind;
	auto to = [&fa](int fd, bool closed, const std::string &path, int flags, int from) {
		if (closed)
			posix_spawn_file_actions_addclose(&fa, fd);
		else if (!path.empty())
			posix_spawn_file_actions_addopen(&fa, fd, path.c_str(), flags, 0644);
		else
			posix_spawn_file_actions_adddup2(&fa, from, fd);
	};

	posix_spawn_file_actions_init(&fa);
	to(0, o.close_in, o.in_path, O_RDONLY, in);
	to(1, o.close_out, o.out_path, O_WRONLY | O_CREAT | (o.out_append ? O_APPEND : O_TRUNC),
	   out);
	to(2, o.close_err, "", 0, er);
	if (log)
		posix_spawn_file_actions_adddup2(&fa, er, 3);
	// Only what the options give: a descriptor that the test runner left
	// open would change what the program can open under a limit.
	posix_spawn_file_actions_addclosefrom_np(&fa, log ? 4 : 3);
	if (!o.cwd.empty())
		posix_spawn_file_actions_addchdir_np(&fa, o.cwd.c_str());
	posix_spawnattr_init(&at);
	sigemptyset(&none);
	sigfillset(&all);
	// run ignores SIGPIPE itself, so leaving it out keeps it ignored.
	if (o.pipe_ignored)
		sigdelset(&all, SIGPIPE);
	posix_spawnattr_setsigmask(&at, &none);
	posix_spawnattr_setsigdefault(&at, &all);
	posix_spawnattr_setpgroup(&at, 0);
	posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
	                                      POSIX_SPAWN_SETPGROUP);
	// A sanitizer report must never pass for the program's own status.
	// LeakSanitizer cannot work in a program that strace traces.
	std::vector<std::string> env = {
	        "LC_ALL=C", "PATH=/usr/local/bin:/usr/bin:/bin",
	        std::string("ASAN_OPTIONS=exitcode=86:abort_on_error=0") +
	                (o.inject.empty() && o.trace.empty() ? "" : ":detect_leaks=0"),
	        "UBSAN_OPTIONS=halt_on_error=1:exitcode=87:print_stacktrace=1"};
	if (const char *home = getenv("HOME"))
		env.push_back(std::string("HOME=") + home);
	env.insert(env.end(), o.env.begin(), o.env.end());
	auto c_str = [](const std::string &s) { return const_cast<char *>(s.c_str()); };
	std::vector<char *> ca(argv.size() + 1), ce(env.size() + 1); // null-terminated
	std::transform(argv.begin(), argv.end(), ca.begin(), c_str);
	std::transform(env.begin(), env.end(), ce.begin(), c_str);
	errno = posix_spawn(&pid, ca[0], &fa, &at, ca.data(), ce.data());
	posix_spawn_file_actions_destroy(&fa);
	posix_spawnattr_destroy(&at);
	check(errno == 0, ("spawn " + argv[0]).c_str());
	return pid;
}

static double
now()
{
	using namespace std::chrono;
	return duration<double>(steady_clock::now().time_since_epoch()).count();
}

static void
shut(int &fd)
{
	if (fd >= 0)
		close(fd);
	fd = -1;
}

// True once the child pid has ended (or is no child to wait for), false when
// ms have passed first. It is not collected, so its pid still stands for it.
static bool
ended(pid_t pid, int ms)
{
	double end = now() + ms / 1000.0;
	// Most programs have ended by the time they are asked about: start with
	// short naps.
	for (useconds_t nap = 100;; nap = std::min(2 * nap, 10000u)) {
		siginfo_t si = {};
		if (waitid(P_PID, pid, &si, WEXITED | WNOHANG | WNOWAIT) == -1 || si.si_pid != 0)
			return true;
		if (now() >= end)
			return false;
		usleep(nap);
	}
}

// True once the program pid has filled the pipe that fd reads as far as it
// can: the pipe is full, or the program waits in poll (for room for its next
// write, which the pipe's last page cannot take), or it has ended.
static bool
filled(pid_t pid, int fd)
{
	int n;
	if (ioctl(fd, FIONREAD, &n) == 0 && n >= fcntl(fd, F_GETPIPE_SZ))
		return true;
	std::string call;
	try {
		call = getfile("/proc/" + std::to_string(pid) + "/syscall");
	} catch (const std::exception &) {
		return true; // no way to tell: read, rather than wait forever
	}
	// Not every architecture has poll as a call of its own; its glibc polls
	// by ppoll.
#ifdef SYS_poll
	if (call.starts_with(std::to_string(SYS_poll) + " "))
		return true;
#endif
	return call.starts_with(std::to_string(SYS_ppoll) + " ") || ended(pid, 0);
}

// Feeds the input and drains both outputs together, so that neither side can
// block the other, and stops feeding once the program closes its input. A
// program started with both outputs closed is fed until it ends. Each
// descriptor is closed (and set to -1) once done with.
static bool
pump(int &in, int &out, int &er, const run_opts &o, pid_t pid, run_result &r, double end)
{
	// The input, and where each piece of it ends: a pause after each but the
	// last.
	std::string data = o.pieces.empty() ? o.in : "";
	std::vector<size_t> stops;
	for (const auto &piece : o.pieces)
		stops.push_back((data += piece).size());
	size_t off = 0, stop = 0;
	double hold = 0; // until when input is left alone
	bool outheld = o.out_nonblock;
	char buf[65536];

	if (data.empty())
		shut(in);
	while (out >= 0 || er >= 0 || (in >= 0 && !ended(pid, 0))) {
		bool held = hold > now(), blind = out < 0 && er < 0;
		if (outheld)
			outheld = !filled(pid, out);
		struct pollfd p[3] = {{outheld ? -1 : out, POLLIN, 0},
		                      {er, POLLIN, 0},
		                      {held ? -1 : in, POLLOUT, 0}};
		// Without an output to see the end by, look for it every 10 ms.
		double until =
		        std::min({end, held ? hold : end, outheld || blind ? now() + 0.01 : end});
		int left = static_cast<int>((until - now()) * 1000);
		if (now() >= end)
			break;
		if (poll(p, 3, std::max(left, 1)) == -1) {
			check(errno == EINTR, "poll");
			continue;
		}
		// The pause is over: job control's signals, as at a terminal.
		if (hold != 0 && !held) {
			for (int sig : {SIGSTOP, SIGCONT, SIGWINCH})
				kill(pid, sig);
			hold = 0;
		}
		for (int i = 0; i < 2; i++) {
			if (p[i].revents == 0)
				continue;
			ssize_t n = read(p[i].fd, buf, sizeof buf);
			if (n > 0)
				(i == 0 ? r.out : r.err).append(buf, n);
			else if (n == 0 || errno != EINTR)
				shut(i == 0 ? out : er);
		}
		if (in >= 0 && p[2].revents) {
			size_t upto = stop < stops.size() ? stops[stop] : data.size();
			ssize_t n = write(in, data.data() + off, upto - off);
			off += std::max<ssize_t>(n, 0);
			if (off == upto && stop + 1 < stops.size()) {
				stop++;
				hold = now() + o.pause_ms / 1000.0;
			}
			if ((n < 0 && errno != EINTR && errno != EAGAIN) || off == data.size())
				shut(in);
		}
	}
	bool done = out < 0 && er < 0;
	for (int *fd : {&in, &out, &er})
		shut(*fd);
	return done;
}

int
reap_within(pid_t pid, int seconds, bool *killed)
{
	int st = -1;
	bool late = !ended(pid, seconds * 1000);
	if (late)
		kill(pid, SIGKILL);
	if (killed != nullptr)
		*killed = late;
	// Killed while pid still stands for it, so that no other group is hit.
	kill(-pid, SIGKILL);
	if (ended(pid, 10000))
		waitpid(pid, &st, 0);
	return st;
}

// With TOOLBOX_VALGRIND set, each of our programs runs under valgrind: an
// error or a leak turns its status into 99 and its report into error output.
// A program that a reader gone ends by SIGPIPE in the middle of a write has
// had no chance to free anything, so that run is not checked for leaks; nor
// is a forked child, a copy of the program that ends by exec or _exit.
static std::vector<std::string>
valgrinded(const std::vector<std::string> &argv, run_opts &o)
{
	if (!under_valgrind() || !argv[0].starts_with(binary("")))
		return argv;
	std::vector<std::string> a = {valgrind, "-q", "--child-silent-after-fork=yes",
	                              "--errors-for-leak-kinds=definite", "--error-exitcode=99"};
	a.push_back(o.out_broken ? "--leak-check=no" : "--leak-check=full");
	// valgrind does not start without standard error for its report; the
	// report then goes to descriptor 3, which valgrind moves out of the
	// program's way (see spawn).
	if (o.close_err)
		a.push_back("--log-fd=3");
	a.insert(a.end(), argv.begin(), argv.end());
	o.timeout *= 5;
	return a;
}

// What runs for argv: valgrind's run of it, or with faults to inject or calls
// to trace, strace's. Where only the calls on one file count, strace runs
// valgrind in turn, whose own calls touch other files.
static std::vector<std::string>
checked(std::vector<std::string> argv, run_opts &o)
{
	if (o.inject.empty() && o.trace.empty())
		return valgrinded(argv, o);
	if (!o.trace_path.empty() && !o.trace_children)
		argv = valgrinded(argv, o);
	std::string calls = o.trace;
	std::vector<std::string> a = {"/usr/bin/strace", "--quiet=all", "-o",
	                              o.trace_log.empty() ? "/dev/null" : o.trace_log};
	std::istringstream faults(o.inject);
	for (std::string f; faults >> f;) {
		calls += (calls.empty() ? "" : ",") + f.substr(0, f.find(':'));
		a.insert(a.end(), {"-e", "inject=" + f});
	}
	a.insert(a.end(), {"-e", "trace=" + calls});
	if (!o.trace_path.empty())
		a.insert(a.end(), {"-P", o.trace_path});
	if (o.trace_children)
		a.push_back("-f");
	// A preloaded library must not reach strace.
	for (const auto &e : o.env)
		a.insert(a.end(), {"-E", e});
	o.env.clear();
	a.push_back("--");
	a.insert(a.end(), argv.begin(), argv.end());
	return a;
}

proc::proc(proc &&p) noexcept
{
	*this = std::move(p);
}

proc &
proc::operator=(proc &&p) noexcept
{
	auto mine = std::tie(pid, in, out, err, o, end),
	     theirs = std::tie(p.pid, p.in, p.out, p.err, p.o, p.end);
	mine.swap(theirs);
	return *this;
}

proc::~proc()
{
	for (int *fd : {&in, &out, &err})
		shut(*fd);
	if (pid > 0)
		reap_within(pid, 0);
}

// The program's ends of its streams, closed however start is left: input,
// output, error, and output on a pipe whose reader is gone.
struct ends {
	int fd[4] = {-1, -1, -1, -1};
	~ends()
	{
		for (int &f : fd)
			shut(f);
	}
};

proc
start(const std::vector<std::string> &argv, const run_opts &o0)
{
	proc p;
	ends c;
	int pi[2], po[2], pe[2], pb[2];
	p.o = o0;
	const run_opts &o = p.o;
	std::vector<std::string> a = checked(argv, p.o);

	signal(SIGPIPE, SIG_IGN);
	check((o.in_socket ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pi)
	                   : pipe2(pi, O_CLOEXEC | (o.in_packets ? O_DIRECT : 0))) == 0,
	      "pipe2");
	p.in = pi[1], c.fd[0] = pi[0];
	// Standard output on a pipe or, with out_tty, a terminal.
	if (o.out_tty) {
		p.out = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
		check(p.out >= 0 && grantpt(p.out) == 0 && unlockpt(p.out) == 0, "posix_openpt");
		c.fd[1] = open(ptsname(p.out), O_RDWR | O_NOCTTY | O_CLOEXEC);
		check(c.fd[1] >= 0, "ptsname");
	} else {
		check(pipe2(po, O_CLOEXEC) == 0, "pipe2");
		p.out = po[0], c.fd[1] = po[1];
	}
	check(pipe2(pe, O_CLOEXEC) == 0, "pipe2");
	p.err = pe[0], c.fd[2] = pe[1];
	// A byte that the harness's end never reads: closing that end resets it.
	if (o.in_reset)
		check(write(c.fd[0], "x", 1) == 1, "write");
	fcntl(p.in, F_SETFL, fcntl(p.in, F_GETFL) | O_NONBLOCK);
	if (o.in_nonblock)
		fcntl(c.fd[0], F_SETFL, O_NONBLOCK);
	if (o.out_nonblock) {
		fcntl(c.fd[1], F_SETFL, O_NONBLOCK);
		fcntl(c.fd[1], F_SETPIPE_SZ, 4096);
	}
	if (o.out_broken) {
		check(pipe2(pb, O_CLOEXEC) == 0, "pipe2");
		close(pb[0]);
		c.fd[3] = pb[1];
	}
	p.pid = spawn(a, o, o.in_writeonly ? p.in : c.fd[0], c.fd[o.out_broken ? 3 : 1], c.fd[2]);
	p.end = now() + o.timeout;
	return p;
}

std::string
readuntil(proc &p, const std::string &want)
{
	std::string got;
	char buf[4096];
	struct pollfd f = {p.out, POLLIN, 0};
	while (!got.ends_with(want) && poll(&f, 1, std::max(0.0, p.end - now()) * 1000) > 0) {
		ssize_t n = read(p.out, buf, sizeof buf);
		if (n <= 0)
			break;
		got.append(buf, n);
	}
	return got;
}

run_result
finish(proc &p)
{
	run_result r;
	if (p.pid < 0)
		return r;
	// The time is the run's, however long the test took before.
	p.end = std::max(p.end, now() + p.o.timeout);
	bool drained = pump(p.in, p.out, p.err, p.o, p.pid, r, p.end), killed;
	if (!drained)
		kill(-p.pid, SIGKILL);
	int st = reap_within(p.pid, std::max(1, static_cast<int>(p.end - now())), &killed);
	p.pid = -1;
	r.timed_out = !drained || killed || st == -1;
	r.err = glibc_texts(r.err);
	if (st != -1 && WIFEXITED(st))
		r.status = WEXITSTATUS(st);
	else if (st != -1 && WIFSIGNALED(st))
		r.sig = WTERMSIG(st);
	return r;
}

run_result
run(const std::vector<std::string> &argv, const run_opts &o)
{
	proc p = start(argv, o);
	return finish(p);
}

run_result
runtool(const std::string &name, const std::vector<std::string> &args, const std::string &in,
        run_opts o)
{
	std::vector<std::string> argv = {tool(name)};
	argv.insert(argv.end(), args.begin(), args.end());
	o.in = in;
	return run(argv, o);
}

run_result
expect(const std::string &name, const row &r, const run_opts &o)
{
	run_result got = runtool(name, r.args, r.in, o);
	EXPECT_EQ(visible(got.out), visible(r.out)) << r.name;
	EXPECT_EQ(got.err, r.err) << r.name;
	EXPECT_EQ(got.status, r.status) << r.name;
	return got;
}

static bool
namespaces()
{
	static const int ok = run({"/usr/bin/unshare", "-m", "true"}).status == 0;
	return ok;
}

// Bytes of memory free for new work, from the kernel's own estimate; more
// than a 32-bit size_t holds.
static unsigned long long
available()
{
	std::istringstream m(getfile("/proc/meminfo"));
	std::string key;
	unsigned long long kb = 0;
	while (m >> key >> kb && key != "MemAvailable:")
		m.ignore(256, '\n');
	return kb << 10;
}

bool
have(const needs &n)
{
	const bool vg = under_valgrind(), checker = TOOLBOX_ASAN || vg, l = launched();
	// One row for each reason a need is not met, and whether it is not.
	// clang-format off
	const std::pair<bool, std::string> rows[] = {
		{n.faults && vg && !n.onfile, "strace runs the program, not valgrind"},
		{n.faults && l && !n.emulated, behind("strace's faults")},
		{n.preload && checker, "the checker must be the first to load"},
		{n.preload && l, behind("a preloaded library")},
		{n.preload && !l && interpreter(binary(n.prog)).empty(), n.prog + std::string(" is linked statically: no library can be preloaded")},
		{(n.limit || n.space) && l, behind("a limit on the process")},
		{n.space && checker, "a checker needs more address space, and counts leaks itself"},
		{n.forks && (vg || l), "valgrind and qemu-user start a child from a forked copy of the program, whose failed exec never reaches the program"},
		{n.root && !namespaces(), "no mount namespace here (it needs root)"},
		{n.direct && l, behind("running the program file itself")},
		{n.quick && checker, "too slow under a checker"},
		{n.wide && getfile(binary(n.prog))[EI_CLASS] != ELFCLASS64, "a 32-bit program's address space is too small"},
		{n.sig >= 32 && l, "behind a launcher: qemu-user moves real-time signals (32 arrives as 34)"},
		{n.sig == 64 && vg, "valgrind keeps signal 64 for itself"},
		{n.gib > 0 && available() < (static_cast<unsigned long long>(n.gib) << 30), "needs " + std::to_string(n.gib) + " GiB of free memory, " + std::to_string(available() >> 20) + " MiB free"},
	};
	// clang-format on
	auto skip = [](const std::string &why) { GTEST_SKIP() << why; };
	for (const auto &[unmet, why] : rows)
		if (unmet)
			skip(why);
	return std::none_of(std::begin(rows), std::end(rows),
	                    [](const auto &r) { return r.first; });
}

// The folders that tempdir made in this process.
static std::vector<std::string> *scratch;
static pid_t owner;

static void
sweep_scratch()
{
	if (getpid() != owner)
		return; // a forked copy of the test that did not _exit
	bool keep = !setting("TOOLBOX_KEEP").empty() && testing::UnitTest::GetInstance()->Failed();
	for (const auto &d : *scratch) {
		std::error_code e;
		if (keep)
			fprintf(stderr, "kept for a failed test: %s\n", d.c_str());
		else
			std::filesystem::remove_all(d, e);
	}
}

std::string
tempdir()
{
	std::string t = setting("TMPDIR"), tmpl = (t.empty() ? "/tmp" : t) + "/toolbox-test.XXXXXX";
	check(mkdtemp(tmpl.data()) != nullptr, "mkdtemp");
	if (scratch == nullptr) {
		scratch = new std::vector<std::string>;
		owner = getpid();
		atexit(sweep_scratch);
	}
	scratch->push_back(tmpl);
	return tmpl;
}

void
putfile(const std::string &path, const std::string &bytes)
{
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	check(fd >= 0, path.c_str());
	for (size_t off = 0; off < bytes.size();) {
		ssize_t n = write(fd, bytes.data() + off, bytes.size() - off);
		check(n > 0 || errno == EINTR, path.c_str());
		off += n > 0 ? n : 0;
	}
	close(fd);
}

std::string
getfile(const std::string &path)
{
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	check(fd >= 0, path.c_str());
	std::string s;
	char buf[65536];
	for (ssize_t n; (n = read(fd, buf, sizeof buf)) != 0;
	     s.append(buf, std::max<ssize_t>(n, 0)))
		check(n > 0 || errno == EINTR, path.c_str());
	close(fd);
	return s;
}

std::string
visible(const std::string &s)
{
	static const char hex[] = "0123456789abcdef";
	std::string v;
	for (unsigned char c : s) {
		if (c == '\\' || c == '\n' || c == '\t')
			v += c == '\\' ? "\\\\" : c == '\n' ? "\\n\n" : "\\t";
		else if (c < 32 || c >= 127)
			v += std::string("\\x") + hex[c >> 4] + hex[c & 15];
		else
			v += static_cast<char>(c);
	}
	return v;
}
