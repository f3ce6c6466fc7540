// sigpost: send a signal with an integer value to processes.
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "sys.h"

#ifndef MULTIARCH
#define MULTIARCH ""
#endif

// The digits: a text that starts with one is a number.
static constexpr char alpha_num[] = "0123456789";

// Debian-style systems keep the kernel's header only under the multiarch
// include directory of the target.
static constexpr char plainhdr[] = "/usr/include/asm/signal.h";
static constexpr char archhdr[] = "/usr/include/" MULTIARCH "/asm/signal.h";
static constexpr char generichdr[] = "/usr/include/asm-generic/signal.h";

// sed drops a comment after the value (mips64el keeps one) and puts a TAB
// where spaces alone part name and value (s390x); cut -f2- then keeps the
// value after one TAB as well as after two. dash has no $'\n', so tr gets
// its escapes from inside plain quotes.
static constexpr char tail[] = "'|sed 's:[[:blank:]]*/\\*.*::;s/\\(#define [^[:blank:]]\\{1,\\}\\) "
                               "\\{1,\\}/\\1\t/'|tr -s ' '|cut -f2- -d\\#|cut -f2-|tr -d '\\t\\n'";

static bool
digitfirst(const char *s)
{
	return *s != '\0' && strchr(alpha_num, *s) != nullptr;
}

// All of fd, as a string; its length in *len where len is not null (this
// program needs none: the pipeline prints text).
static char *
readall(int fd, size_t *len)
{
	char *buf = nullptr;
	size_t n = 0;
	ssize_t r;

	for (;;) {
		buf = static_cast<char *>(xrealloc(buf, n + 512));
		if ((r = readsome(fd, buf + n, 512)) <= 0)
			break;
		n += r;
	}
	if (len != nullptr)
		*len = n;
	buf = static_cast<char *>(xrealloc(buf, n + 1));
	buf[n] = '\0';
	return buf;
}

static char *
read_cmd(const char *cmd)
{
	int p[2];
	pid_t pid;

	if (pipe3(p, 0) == -1) {
		warn("pipe");
		return nullptr;
	}
	if ((pid = fork()) == -1) {
		warn("fork");
		close(p[0]);
		close(p[1]);
		return nullptr;
	}
	if (pid == 0) {
		close(p[0]);
		shchild(cmd, p[1], 1);
	}
	close(p[1]);
	char *s = readall(p[0], nullptr);
	close(p[0]);
	reap(pid);
	return s;
}

// The name goes to grep inside single quotes; each quote in it closes the
// quoting, adds an escaped quote and reopens it, so nothing reaches the shell.
// Each byte that a basic regular expression would give a meaning to is
// escaped, so the name matches only itself.
static char *
command(const char *hdr, const char *name)
{
	size_t n = xsize(4, strlen(name), strlen(hdr) + sizeof tail + 32);
	char *cmd = static_cast<char *>(xrealloc(nullptr, n));
	char *p = cmd + snprintf(cmd, n, "grep %s -ie '#define ", hdr);

	for (; *name != '\0'; name++) {
		if (*name == '\'')
			p = stpcpy(p, "'\\''");
		else if (strchr("\\.[*^$", *name) != nullptr)
			*p++ = '\\', *p++ = *name;
		else
			*p++ = *name;
	}
	strcpy(p, tail);
	return cmd;
}

// Whether hdr takes its names from the generic header, as arm64's, riscv64's
// and loong64's do; x86's defines its own.
static bool
generic(const char *hdr)
{
	int fd = open(hdr, O_RDONLY | O_CLOEXEC);

	if (fd == -1)
		return false;
	char *s = readall(fd, nullptr);
	close(fd);
	bool yes = strstr(s, "#include <asm-generic/signal.h>") != nullptr;
	free(s);
	return yes;
}

// The pipeline's grep takes its options after the file name, which a
// strictly POSIX grep would read as file names. Case folding is the locale's
// (a Turkish one does not fold 'i' to 'I'), so the search runs in the C
// locale. Every LC_ALL entry is removed first: setenv replaces only the
// first of several, and the shell takes the last.
static void
pipeline_env()
{
	unsetenv("POSIXLY_CORRECT");
	unsetenv("LC_ALL");
	if (setenv("LC_ALL", "C", 1) == -1)
		die(nullptr);
}

// The pipeline's output for name in hdr; no child for it ends the program.
static char *
search(const char *hdr, const char *name)
{
	char *cmd = command(hdr, name);
	char *text = read_cmd(cmd);

	free(cmd);
	if (text == nullptr)
		exit(1);
	return text;
}

// What the headers say of name: the architecture's header, then, where it
// has no number for it, the generic one it includes.
static char *
lookup(const char *name)
{
	const char *hdr = access(plainhdr, F_OK) == 0 || MULTIARCH[0] == '\0' ? plainhdr : archhdr;

	// A line end in the name would make grep look for several patterns:
	// such a name is unknown.
	if (strchr(name, '\n') != nullptr)
		return xstrdup("");
	pipeline_env();
	char *text = search(hdr, name);
	if (!digitfirst(text + strspn(text, " \t")) && generic(hdr)) {
		free(text);
		text = search(generichdr, name);
	}
	return text;
}

// Returns the signal number that a name stands for, or ends the program.
// Several matching definitions yield several values: the name then stands
// for no one signal, and the first of them must not be sent.
static int
resolve(const char *name)
{
	char *text = lookup(name), *end = nullptr;

	// Not dprintf: glibc's loses its buffer when standard error is closed.
	fprintf(stderr, "sig. name to num. %s\n", text);
	const char *s = text + strspn(text, " \t");
	int sig = digitfirst(s) ? intnum(s, &end) : 0;
	bool one = end != nullptr && end[strspn(end, " \t")] == '\0';
	free(text);
	if (end == nullptr)
		errx(1, "unknown signal: %s", name);
	if (!one)
		errx(1, "ambiguous signal: %s", name);
	return sig;
}

// A word with no number at its start names no process, whatever strtol
// would make of it.
static bool
isnum(const char *s)
{
	char *end;

	intnum(s, &end);
	return end != s;
}

int
main(int argc, char *argv[])
{
	union sigval v;
	int sig, ret = 0;

	memset(&v, 0, sizeof v);
	if (argc < 2)
		return 1;
	const char *s = argv[1][0] == '-' ? argv[1] + 1 : argv[1];
	sig = digitfirst(s) ? intnum(s, nullptr) : resolve(s);
	char **pids = argv + 2;
	if (*pids == nullptr)
		return 1;
	if (strcmp(*pids, "-q") == 0) {
		const char *q = pids[1];
		if (q == nullptr)
			return 1;
		v.sival_int = digitfirst(q) ? intnum(q, nullptr) : static_cast<unsigned char>(*q);
		pids += 2;
		if (*pids == nullptr)
			return 1;
	}
	// A word that names no process is a slip (a -q after the first PID):
	// nothing is sent before every PID is known to be one.
	for (char **p = pids; *p != nullptr; p++)
		if (!isnum(*p))
			errx(1, "invalid process id: %s", *p);
	for (; *pids != nullptr; pids++) {
		if (sigqueue(intnum(*pids, nullptr), sig, v) == -1) {
			warn("%s", *pids);
			ret = 1;
		}
	}
	return ret;
}
