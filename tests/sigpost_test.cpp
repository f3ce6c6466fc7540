// What only sigpost does; what every program does is in every_program_test.cpp.
#include <gtest/gtest.h>

#include <elf.h>
#include <stdlib.h>
#include <string.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"

#ifndef TARGET
#error "TARGET must name the program that reports the signals it received"
#endif

namespace
{

// True when the programs under test are of the other byte order, which only
// an emulator runs: qemu-user hands a value that one of them sends to a
// target of this machine as 0.
bool
otherorder()
{
	static const bool other =
	        getfile(binary("sigpost"))[EI_DATA] != getfile("/proc/self/exe")[EI_DATA];
	return other;
}

// The target's command; for a value, where the programs are of the other
// byte order, the target built with them, run behind the same launcher
// ("" when there is no such target). Only then: qemu-user keeps signals such as
// SIGFPE, which a program of its own would raise, from the program it runs.
std::vector<std::string>
targetcmd(bool value)
{
	if (!value || !otherorder())
		return {TARGET};
	std::string b = binary("sigpost");
	std::string t = b.substr(0, b.rfind('/')) + "/../tests/sigpost_target";
	if (access(t.c_str(), X_OK) != 0)
		return {""};
	// No launcher where the kernel itself hands the programs to the emulator.
	const char *launcher = getenv("TOOLBOX_LAUNCHER");
	return {"/bin/sh", "-c", std::string("exec ") + (launcher ? launcher : "") + " \"$0\"", t};
}

// A target that has said it is ready; finish gives what it received.
proc
target(bool value = false)
{
	proc t = start(targetcmd(value));
	EXPECT_EQ(readuntil(t, "ready\n"), "ready\n");
	return t;
}

// Runs sigpost with args in a mount namespace of its own, whose headers
// are arch as asm/signal.h (none when it is "") and generic as
// asm-generic/signal.h; through prlimit with limit, when one is given.
run_result
withheaders(const std::string &arch, const std::string &generic,
            const std::vector<std::string> &args, const std::string &limit = "")
{
	static const char *const mount =
	        "d=$1 && shift && mount -t tmpfs tmpfs /usr/include && cd /usr/include && mkdir "
	        "asm asm-generic && { [ ! -s \"$d/arch\" ] || cp \"$d/arch\" asm/signal.h; } && "
	        "cp \"$d/generic\" asm-generic/signal.h && exec \"$@\"";
	std::string d = tempdir();
	putfile(d + "/arch", arch);
	putfile(d + "/generic", generic);
	std::vector<std::string> argv = {"/usr/bin/unshare", "-m", "/bin/sh", "-c", mount, "sh", d};
	if (!limit.empty())
		argv.insert(argv.end(), {"/usr/bin/prlimit", limit, "--"});
	argv.push_back(tool("sigpost"));
	argv.insert(argv.end(), args.begin(), args.end());
	return run(argv);
}

std::string
fill(std::string s, pid_t a, pid_t b)
{
	const std::pair<std::string, std::string> subs[] = {
	        {"{A32}", std::to_string(a + (1LL << 32))},
	        {"{A}", std::to_string(a)},
	        {"{B}", std::to_string(b)},
	};
	for (const auto &[from, to] : subs)
		for (size_t i; (i = s.find(from)) != std::string::npos;)
			s.replace(i, from.size(), to);
	return s;
}

// {*} in an expected text stands for any bytes, such as the values of every
// definition in the header that a short name matches, or a complaint of
// grep's before sigpost's own.
void
expect_like(const std::string &got, const std::string &want)
{
	size_t i = want.find("{*}");
	if (i == std::string::npos) {
		EXPECT_EQ(visible(got), visible(want));
		return;
	}
	std::string head = want.substr(0, i), tail = want.substr(i + 3);
	EXPECT_TRUE(got.size() >= head.size() + tail.size() && got.starts_with(head) &&
	            got.ends_with(tail))
	        << visible(got);
}

// Environment entries for tr_TR.UTF-8, built into dir, where 'i' and 'I' are
// not each other's case. They follow the harness's LC_ALL=C, and the shell
// takes the last of two entries. Returns why the locale cannot be built, or "".
std::string
turkish_env(const std::string &dir, std::vector<std::string> &env)
{
	for (const char *f : {"/usr/bin/localedef", "/usr/share/i18n/locales/tr_TR",
	                      "/usr/share/i18n/charmaps/UTF-8.gz"})
		if (access(f, R_OK) != 0)
			return std::string(f) + " is missing (Debian package locales)";
	run_result r =
	        run({"/usr/bin/localedef", "-i", "tr_TR", "-f", "UTF-8", dir + "/tr_TR.UTF-8"});
	EXPECT_EQ(r.status, 0) << r.err;
	env = {"LOCPATH=" + dir, "LC_ALL=tr_TR.UTF-8"};
	run_opts o;
	o.env = env;
	// Without the bent case the row would prove nothing.
	EXPECT_EQ(run({"/bin/sh", "-c", "echo i | grep -qi I"}, o).status, 1);
	return "";
}

// A row adds what its targets A and B received; {A} and {B} stand for their
// PIDs in its arguments and message, {A32} for A's PID plus 2^32. sigpost
// runs as o says; or, with arch, with that as the architecture's header over
// the generic one below, under limit (withheaders); or under tr_TR.UTF-8
// (turkish_env).
struct trow : row {
	std::string a, b;
	run_opts o;
	const char *arch = nullptr, *limit = "";
	bool turkish = false;
};

const std::string noname = "sig. name to num. {*}\nsigpost: unknown signal: \n";
const std::string generic = "#define SIGUSR1\t10\n#define SIGUSR2\t12\n";
const char *const includes = "#include <asm-generic/signal.h>\n";

// clang-format off
const trow rows[] = {
	{{"decimal", {"10", "{A}"}}, "10 0\n"},
	{{"dash_number", {"-12", "{A}"}}, "12 0\n"},
	{{"hex", {"0x0a", "{A}"}}, "10 0\n"},
	{{"hex_upper", {"-0X1F", "{A}"}}, "31 0\n"},
	{{"octal", {"010", "{A}"}}, "8 0\n"},
	{{"octal_stops_at_9", {"09", "{A}"}}},
	{{"zero_probes", {"0", "{A}"}}},
	{{"digits_then_junk", {"14x", "{A}"}}, "14 0\n"},
	{{"realtime_32", {"32", "{A}"}}, "32 0\n"},
	{{"realtime_33", {"33", "{A}"}}, "33 0\n"},
	{{"realtime_64", {"64", "{A}"}}, "64 0\n"},
	{{"name", {"SIGUSR1", "{A}"}, "", "", "sig. name to num. 10\n"}, "10 0\n"},
	{{"name_lower", {"sigusr2", "{A}"}, "", "", "sig. name to num. 12\n"}, "12 0\n"},
	{{"name_dash", {"-SIGTERM", "{A}"}, "", "", "sig. name to num. 15\n"}, "15 0\n"},
	// Whatever comes before a value is the header's layout: " 1" on x86.
	{{"name_dash_mixed", {"-SigHup", "{A}"}, "", "", "sig. name to num. {*}1\n"}, "1 0\n"},
	{{"one_tab_winch", {"SIGWINCH", "{A}"}, "", "", "sig. name to num. 28\n"}, "28 0\n"},
	{{"one_tab_vtalrm", {"SIGVTALRM", "{A}"}, "", "", "sig. name to num. 26\n"}, "26 0\n"},
	{{"one_tab_stkflt", {"sigstkflt", "{A}"}, "", "", "sig. name to num. 16\n"}, "16 0\n"},
	{{"one_tab_rtmin", {"SIGRTMIN", "{A}"}, "", "", "sig. name to num. 32\n"}, "32 0\n"},
	{{"name_with_value", {"SIGUSR1", "-q", "7", "{A}", "{B}"}, "", "", "sig. name to num. 10\n"}, "10 7\n", "10 7\n"},
	{{"not_a_prefix", {"USR1", "{A}"}, "", "", "sig. name to num. \nsigpost: unknown signal: USR1\n", 1}},
	{{"value_is_a_name", {"SIGPOLL", "{A}"}, "", "", "sig. name to num. SIGIO\nsigpost: unknown signal: SIGPOLL\n", 1}},
	{{"two_matches_run_together", {"SIGIO", "{A}", "{B}"}, "", "", "sig. name to num. {*}629\nsigpost: {A}: Invalid argument\nsigpost: {B}: Invalid argument\n", 1}},
	// The first of several values must not be sent: kill's -s reads as the name "s", whose first match
	// is SIGHUP. What stops it depends on the header: x86's values and names run together into no
	// number; arm64's values alone into one no signal has, and TERM names no process.
	{{"ambiguous_kill_style", {"-s", "TERM", "{A}"}, "", "", "sig. name to num. {*}\n", 1}},
	{{"ambiguous_number_then_text", {"-sigrt", "{A}"}, "", "", "sig. name to num. 32_NSIG\nsigpost: ambiguous signal: sigrt\n", 1}},
	{{"turkish_lower", {"sigusr1", "{A}"}, "", "", "sig. name to num. 10\n"}, "10 0\n", "", {}, nullptr, "", true},
	{{"value_number", {"10", "-q", "7", "{A}"}}, "10 7\n"},
	{{"value_hex", {"10", "-q", "0x10", "{A}"}}, "10 16\n"},
	{{"value_octal", {"10", "-q", "010", "{A}"}}, "10 8\n"},
	{{"value_char", {"10", "-q", "A", "{A}"}}, "10 65\n"},
	{{"value_minus_is_char", {"10", "-q", "-5", "{A}"}}, "10 45\n"},
	{{"value_empty", {"10", "-q", "", "{A}"}}, "10 0\n"},
	{{"value_high_byte", {"10", "-q", "\xc8x", "{A}"}}, "10 200\n"},
	{{"value_clamped", {"10", "-q", "4294967303", "{A}"}}, "10 2147483647\n"},
	{{"value_huge", {"10", "-q", "99999999999999999999999", "{A}"}}, "10 2147483647\n"},
	{{"pids_in_order", {"40", "-q", "3", "{A}", "{B}", "{A}"}}, "40 3\n40 3\n", "40 3\n"},
	{{"missing_pid_others_sent", {"10", "99999999", "{A}", "{B}"}, "", "", "sigpost: 99999999: No such process\n", 1}, "10 0\n", "10 0\n"},
	// A word that holds no number names no process: nothing is sent.
	{{"q_after_pid_refused", {"10", "{A}", "-q", "{B}"}, "", "", "sigpost: invalid process id: -q\n", 1}},
	{{"word_pid_refused", {"10", "{A}", "{B}", "abc"}, "", "", "sigpost: invalid process id: abc\n", 1}},
	{{"empty_pid_refused", {"10", "{A}", "", "{B}"}, "", "", "sigpost: invalid process id: \n", 1}},
	{{"name_then_pid_refused", {"SIGUSR1", "-q", "1", "{A}", "+"}, "", "", "sig. name to num. 10\nsigpost: invalid process id: +\n", 1}},
	{{"digits_then_word_is_number", {"10", "{A}x"}}, "10 0\n"},
	{{"pid_clamped", {"10", "{A32}", "{B}"}, "", "", "sigpost: {A32}: No such process\n", 1}, "", "10 0\n"},
	{{"sig_clamped", {"4294967306", "{A}"}, "", "", "sigpost: {A}: Invalid argument\n", 1}},
	{{"sig_out_of_range", {"65", "{A}"}, "", "", "sigpost: {A}: Invalid argument\n", 1}},
	{{"no_args", {}, "", "", "", 1}},
	{{"no_pid", {"10"}, "", "", "", 1}},
	{{"q_without_value", {"10", "-q"}, "", "", "", 1}},
	{{"value_without_pid", {"10", "-q", "5"}, "", "", "", 1}},
	{{"name_without_pid", {"SIGUSR1"}, "", "", "sig. name to num. 10\n", 1}},
	{{"name_value_without_pid", {"sigusr1", "-q", "5"}, "", "", "sig. name to num. 10\n", 1}},
	// An empty name matches every definition, whose text is no number.
	{{"empty_name", {"", "{A}"}, "", "", noname, 1}},
	{{"empty_name_dash", {"-", "{A}"}, "", "", noname, 1}},
	{{"unknown_before_missing_pid", {"nosuch"}, "", "", "sig. name to num. \nsigpost: unknown signal: nosuch\n", 1}},
	// The lookup does not depend on the caller's grep taking options late.
	{{"posixly_correct", {"SIGUSR1", "{A}"}, "", "", "sig. name to num. 10\n"}, "10 0\n", "", {.env = {"POSIXLY_CORRECT=1"}}},
	// Where the architecture's header takes its names from the generic one, as arm64's does, a name it lacks is looked up there, and only then.
	{{"header_generic_included", {"SIGUSR1", "{A}"}, "", "", "{*}sig. name to num. 10\n"}, "10 0\n", "", {}, includes},
	{{"header_own_definitions", {"SIGUSR1", "{A}"}, "", "", "{*}sig. name to num. \nsigpost: unknown signal: SIGUSR1\n", 1}, "", "", {}, "#define SIGUSR2\t12\n"},
	// grep's complaint about it comes first.
	{{"header_arch_missing", {"SIGUSR1", "{A}"}, "", "", "{*}sig. name to num. \nsigpost: unknown signal: SIGUSR1\n", 1}, "", "", {}, ""},
	// Five descriptors: too few for the pipeline's shell, which finds nothing, but each lookup gets its pipe, for the header read in between is closed again.
	{{"header_five_descriptors", {"SIGUSR1", "{A}"}, "", "", "{*}sig. name to num. \nsigpost: unknown signal: SIGUSR1\n", 1}, "", "", {}, includes, "--nofile=5"},
	// No pipe or no child for the lookup: the name stands for nothing, and nothing is sent. musl forks by the fork call where the architecture has one.
	{{"no_lookup_fork", {"SIGUSR1", "{A}"}, "", "", "sigpost: fork: Resource temporarily unavailable\n", 1}, "", "", {.inject = "clone,?fork:error=EAGAIN"}},
	// musl makes a pipe without flags by the pipe call where there is one.
	{{"no_lookup_pipe", {"SIGUSR1", "{A}"}, "", "", "sigpost: pipe: Too many open files\n", 1}, "", "", {.inject = "pipe2,?pipe:error=EMFILE"}},
	// With standard input closed the pipe gets 0 and 3, and 0 needs a descriptor more to move to.
	{{"no_lookup_pipe_moved", {"SIGUSR1", "{A}"}, "", "", "sigpost: pipe: Too many open files\n", 1}, "", "", {.close_in = true, .inject = "fcntl,?fcntl64:error=EMFILE:when=1"}},
};
// clang-format on

void
check(const trow &c)
{
	const std::string &got = c.a.empty() ? c.b : c.a;
	if (!have({.faults = !c.o.inject.empty(),
	           .limit = *c.limit != 0,
	           .root = c.arch != nullptr,
	           .sig = atoi(got.c_str())}))
		return;
	bool value = got.find(" 0\n") == std::string::npos && !got.empty();
	if (targetcmd(value)[0].empty())
		GTEST_SKIP() << "qemu-user hands a value sent by a program of the other byte order "
		                "to this machine's target as 0, and no target of their build is "
		                "beside them (../tests/sigpost_target)";
	run_opts o = c.o;
	if (std::string why = c.turkish ? turkish_env(tempdir(), o.env) : ""; !why.empty())
		GTEST_SKIP() << why;
	proc a = target(value), b;
	if (std::ranges::find(c.args, "{B}") != c.args.end())
		b = target(value);
	std::vector<std::string> args;
	for (const auto &s : c.args)
		args.push_back(fill(s, a.pid, b.pid));
	run_result r = c.arch ? withheaders(c.arch, generic, args, c.limit)
	                      : runtool("sigpost", args, "", o);
	EXPECT_EQ(r.out, c.out);
	expect_like(r.err, fill(c.err, a.pid, b.pid));
	EXPECT_EQ(r.status, c.status);
	EXPECT_EQ(finish(a).out, c.a);
	EXPECT_EQ(finish(b).out, c.b);
}

TABLE(sigpost, rows, check);

// The name reaches grep as one literal pattern, whatever quotes it holds.
TEST(sigpost_names, shell_text_runs_nothing)
{
	std::string d = tempdir();
	std::string name =
	        "x';touch " + d + "/a;'$(touch " + d + "/b)`touch " + d + "/c`;touch " + d + "/d";
	proc a = target();
	run_result r = runtool("sigpost", {name, std::to_string(a.pid)});
	EXPECT_EQ(finish(a).out, "");
	EXPECT_EQ(r.err, "sig. name to num. \nsigpost: unknown signal: " + name + "\n");
	EXPECT_EQ(r.status, 1);
	struct stat st;
	for (const char *f : {"/a", "/b", "/c", "/d"})
		EXPECT_NE(stat((d + f).c_str(), &st), 0) << f;
}

// A name matches only itself: no regular expression, no second pattern, and
// no byte that the shell would remove or act on, which would leave a name
// that matches (SIG'USR1 read by the shell is SIGUSR1).
TEST(sigpost_names, name_is_literal)
{
	std::vector<std::string> names = {"NOSUCH\nKILL", "X\\|SIGTERM", "SIG.SR1",
	                                  "SIGUSR*",      "^SIGUSR1",    "[S]IGUSR1",
	                                  "SIGUSR1$",     "SIG''USR1",   std::string(100, '\'')};
	for (char c : std::string(" \t\n'\"\\$`;&|<>()*?[]{}#~=%!^"))
		names.push_back(std::string("SIG") + c + "USR1");
	for (const auto &name : names) {
		proc a = target();
		run_result r = runtool("sigpost", {name, std::to_string(a.pid)});
		EXPECT_EQ(finish(a).out, "") << name;
		EXPECT_EQ(r.err, std::string("sig. name to num. \nsigpost: unknown signal: ") +
		                         name + "\n");
		EXPECT_EQ(r.status, 1);
	}
}

// Every architecture's own header gives its own numbers, whether it parts
// name and number with TABs or spaces (s390x), keeps a comment after the
// number (mips64el) or takes its names from the generic header (arm64,
// riscv64).
TEST(sigpost_names, every_architecture_header)
{
	if (!have({.root = true}))
		return;
	const char *const archs[][2] = {
	        {"amd64", "x86_64-linux-gnu"},        {"arm64", "aarch64-linux-gnu"},
	        {"armel", "arm-linux-gnueabi"},       {"armhf", "arm-linux-gnueabihf"},
	        {"i386", "i686-linux-gnu"},           {"mips64el", "mips64el-linux-gnuabi64"},
	        {"ppc64el", "powerpc64le-linux-gnu"}, {"s390x", "s390x-linux-gnu"},
	        {"riscv64", "riscv64-linux-gnu"},
	};
	const char *const names[][2] = {{"SIGUSR1", "SIGUSR1"},
	                                {"sigusr2", "SIGUSR2"},
	                                {"-SIGTERM", "SIGTERM"},
	                                {"SIGHUP", "SIGHUP"},
	                                {"SIGWINCH", "SIGWINCH"}};
	std::string missing;
	for (const auto &[arch, triple] : archs) {
		std::string inc = std::string("/usr/") + triple + "/include";
		if (access((inc + "/asm/signal.h").c_str(), R_OK) != 0) {
			missing += std::string(" linux-libc-dev-") + arch + "-cross";
			continue;
		}
		std::string hdr = getfile(inc + "/asm/signal.h"), want;
		std::string gen = getfile(inc + "/asm-generic/signal.h");
		std::string defs = hdr.find("#include <asm-generic/signal.h>") != std::string::npos
		                           ? gen
		                           : hdr;
		std::vector<int> nums;
		proc a = target();
		for (const auto &[arg, name] : names) {
			size_t i = defs.find(std::string("#define ") + name);
			ASSERT_NE(i, std::string::npos) << arch << " " << name;
			nums.push_back(atoi(defs.c_str() + i + 8 + strlen(name)));
			run_result r = withheaders(hdr, gen, {arg, std::to_string(a.pid)});
			EXPECT_EQ(r.status, 0) << arch << " " << arg << ": " << r.err;
		}
		// The target takes what is pending from the lowest number up.
		std::sort(nums.begin(), nums.end());
		for (int n : nums)
			want += std::to_string(n) + " 0\n";
		EXPECT_EQ(finish(a).out, want) << arch;
	}
	if (!missing.empty())
		GTEST_SKIP() << "no header for every architecture: apt-get install" << missing;
}

} // namespace
