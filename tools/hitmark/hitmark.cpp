// hitmark: annotate name:number:text hits with a value from ./hitmark.sh.
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "readline.h"
#include "sys.h"

static char shell[] = "/bin/sh";
static char helper[] = "./hitmark.sh";
static constexpr size_t replymax = 8; // bytes of the helper's output taken

// Reads until n bytes have come or the input has ended; -1 (errno set) when
// a read failed, for a reply cut short must not pass for the whole one.
static ssize_t
take(int fd, char *buf, size_t n)
{
	size_t got = 0;
	ssize_t r = 0;

	while (got < n && (r = readsome(fd, buf + got, n - got)) > 0)
		got += r;
	return r == -1 ? -1 : static_cast<ssize_t>(got);
}

// The field between the colons is numeric when a base-10 parse (leading
// white space and a sign allowed) ends at the second colon. The parse
// cannot pass that colon, so the field needs no copy of its own.
static bool
numeric(const char *c1, const char *c2)
{
	char *end;

	strtol(c1 + 1, &end, 10);
	return end == c2;
}

// The helper's argument vector, in one allocation: the shell and the helper,
// for a script without "#!", then the words of "NAME NUMBER" split at runs
// of spaces and TABs. Nothing else in them is interpreted.
static char **
args(const char *name, const char *c1, const char *c2)
{
	size_t nl = c1 - name, ml = c2 - c1 - 1, len = nl + 1 + ml;
	size_t slots = len / 2 + 4, k = 0;
	char **v = static_cast<char **>(xrealloc(nullptr, xsize(slots, sizeof *v, len + 1)));
	char *s = reinterpret_cast<char *>(v + slots);
	memcpy(s, name, nl);
	s[nl] = ' ';
	memcpy(s + nl + 1, c1 + 1, ml);
	s[len] = '\0';
	v[k++] = shell;
	v[k++] = helper;
	while (*(s += strspn(s, " \t")) != '\0') {
		v[k++] = s;
		s += strcspn(s, " \t");
		if (*s != '\0')
			*s++ = '\0';
	}
	v[k] = nullptr;
	return v;
}

// Runs a helper that is no program through the shell. A shell that cannot
// be run would name the wrong file: that counts as the helper's ENOEXEC.
// Any other failure (no process, no memory, arguments too long for the
// shell's longer vector) is the start's own and is passed on.
static int
viash(pid_t *pid, char **v, const posix_spawn_file_actions_t *fa)
{
	int e = posix_spawn(pid, v[0], fa, nullptr, v, environ);
	switch (e) {
	case ENOENT:
	case ENOTDIR:
	case ELOOP:
	case EACCES:
	case EPERM:
	case EISDIR:
	case ETXTBSY:
	case ENOEXEC:
	case ELIBBAD:
	case EINVAL:
		return ENOEXEC;
	default:
		return e;
	}
}

// Starts the helper with its standard output on a pipe, as a shell would
// start it: a file without "#!" runs through the shell. Returns the pipe's
// read end, or -1 with errno set when the helper could not be started. The
// pipe is numbered 3 or above, so its write end is never 1 already.
static int
start(char **v, pid_t *pid)
{
	posix_spawn_file_actions_t fa;
	int rp[2], e;

	if (pipe3(rp, O_CLOEXEC) == -1)
		return -1;
	if ((e = posix_spawn_file_actions_init(&fa)) == 0) {
		if ((e = posix_spawn_file_actions_adddup2(&fa, rp[1], 1)) == 0 &&
		    (e = posix_spawn(pid, v[1], &fa, nullptr, v + 1, environ)) == ENOEXEC)
			e = viash(pid, v, &fa);
		posix_spawn_file_actions_destroy(&fa);
	}
	close(rp[1]);
	if (e != 0) {
		close(rp[0]);
		errno = e;
		return -1;
	}
	return rp[0];
}

// The helper's reply: up to replymax bytes of its output, or -1 when it
// could not be started or its reply could not be read. Its exit status does
// not matter.
static ssize_t
ask(char **v, char *reply)
{
	pid_t pid = -1;
	int fd = start(v, &pid);

	if (fd == -1) {
		warn("%s", helper);
		return -1;
	}
	ssize_t n = take(fd, reply, replymax);
	int e = errno;
	close(fd);
	reap(pid);
	if (n == -1) {
		errno = e;
		warn("%s", helper);
	}
	return n;
}

// Copies a line; when the field between its first two colons is numeric,
// the helper's reply goes in after the first colon, as a field of its own.
// A helper that could not be asked leaves the field empty and sets
// *nohelper, so that the run does not pass for a good one.
static int
af(int out, char *line, size_t len, bool *nohelper)
{
	char *c1 = strchr(line, ':');
	char *c2 = c1 != nullptr ? strchr(c1 + 1, ':') : nullptr;
	char reply[replymax];

	if (c2 == nullptr || !numeric(c1, c2)) {
		xwriteall(out, line, len);
		return 0;
	}
	// The name starts at the last space before the first colon. No memory
	// for its words must leave no part of the line written.
	auto name = static_cast<const char *>(memrchr(line, ' ', c1 - line));
	char **v = args(name != nullptr ? name : line, c1, c2);
	xwriteall(out, line, c1 + 1 - line);
	ssize_t n = ask(v, reply);
	free(v);
	if (n == -1) {
		*nohelper = true;
		n = 0;
	}
	xwriteall(out, reply, n);
	xwriteall(out, c1, line + len - c1);
	return 0;
}

int
main()
{
	// Output lands at the caller's offset, and input goes on where an earlier
	// reader stopped.
	int in = share(0);
	int out = share(1);
	bool nohelper = false;
	auto cb = [out, &nohelper](char *line, size_t len) {
		return af(out, line, len, &nohelper);
	};

	if (freadline(in, tocb(cb)) == -1)
		die("read error");
	return nohelper ? 1 : 0;
}
