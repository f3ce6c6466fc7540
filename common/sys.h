// Helpers around system calls, shared by every program. Inline, so that a
// program that needs nothing else links nothing shared; what keeps state is
// in sys.cpp.
//
// The reading and writing loops hold one contract: a signal never ends a call
// early (EINTR is retried), short writes are finished, and a descriptor that
// a caller left non-blocking is waited on rather than taken for empty or
// full. What a failure means is the caller's to decide.
#ifndef SYS_H
#define SYS_H

#include <sys/wait.h>

#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// Waits until fd is ready for ev; a signal only cuts the wait short.
static inline int
await(int fd, short ev)
{
	struct pollfd p = {fd, ev, 0};
	return poll(&p, 1, -1) == -1 && errno != EINTR ? -1 : 0;
}

// Reads what is there, up to n bytes: 0 at the end of input, -1 (errno set)
// on a failure.
static inline ssize_t
readsome(int fd, void *buf, size_t n)
{
	for (;;) {
		ssize_t r = read(fd, buf, n);
		if (r >= 0)
			return r;
		if (errno == EINTR)
			continue;
		if ((errno != EAGAIN && errno != EWOULDBLOCK) || await(fd, POLLIN) == -1)
			return -1;
	}
}

// Writes all n bytes: 0, or -1 (errno set) on a failure.
static inline int
writeall(int fd, const char *p, size_t n)
{
	while (n > 0) {
		ssize_t w = write(fd, p, n);
		if (w > 0) {
			p += w;
			n -= w;
		} else if (w == 0) {
			errno = EIO; // a device that takes nothing would hold us forever
			return -1;
		} else if (errno == EAGAIN || errno == EWOULDBLOCK) {
			if (await(fd, POLLOUT) == -1)
				return -1;
		} else if (errno != EINTR) {
			return -1;
		}
	}
	return 0;
}

// writeall for a program whose output failing ends it: "NAME: write error:
// REASON", status 1. It stops at once: nothing more is written.
static inline void
xwriteall(int fd, const char *p, size_t n)
{
	if (writeall(fd, p, n) == -1)
		err(1, "write error");
}

// What a program has produced but not written out yet goes out through
// this, set by the writer that holds it, before a fault ends the program.
inline void (*pending)();

// Ends the program for a fault other than a failed write: first what it has
// produced is written out, then "NAME: MESSAGE: REASON" (with no message,
// "NAME: REASON"), status 1. Every such exit comes through here, so that no
// output that came before the fault is lost.
[[noreturn, gnu::format(printf, 1, 2)]] static inline void
die(const char *fmt, ...)
{
	va_list ap;
	int e = errno;

	if (pending != nullptr)
		pending();
	va_start(ap, fmt);
	errno = e;
	verr(1, fmt, ap);
}

// Waits for the child pid to end; its status matters to no caller.
static inline void
reap(pid_t pid)
{
	while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR)
		;
}

// In a forked child: runs cmd through the shell with fd as its descriptor
// to, then ends the child. What the command's status was matters to no one.
[[noreturn]] static inline void
shchild(const char *cmd, int fd, int to)
{
	if (fd != to) {
		dup2(fd, to);
		close(fd);
	}
	[[maybe_unused]] int st = system(cmd);
	_exit(0);
}

// Out of memory ends the program with one line: "NAME: REASON".
static inline void *
xrealloc(void *p, size_t n)
{
	if ((p = realloc(p, n)) == nullptr)
		die(nullptr);
	return p;
}

// Makes room for need bytes in the buffer p of *cap bytes. It doubles, so
// that a long line costs few copies; where twice as much cannot be had, it
// asks for less, down to need itself, before it reports no memory, for the
// doubled size of a big buffer may not fit a 32-bit address space where the
// line does.
static inline void *
xgrow(void *p, size_t *cap, size_t need)
{
	if (*cap >= need)
		return p;
	size_t n = *cap > need / 2 && *cap <= SIZE_MAX / 2 ? 2 * *cap : need;
	void *q;
	while ((q = realloc(p, n)) == nullptr) {
		if (n == need)
			die(nullptr);
		n = need + (n - need) / 2;
	}
	*cap = n;
	return q;
}

// a * b + c, for a size computed from input; one that does not fit a size_t
// (a 32-bit one wraps below 4 GiB) ends the program as no memory does.
static inline size_t
xsize(size_t a, size_t b, size_t c)
{
	size_t n;

	if (__builtin_mul_overflow(a, b, &n) || __builtin_add_overflow(n, c, &n)) {
		errno = ENOMEM;
		die(nullptr);
	}
	return n;
}

static inline char *
xstrdup(const char *s)
{
	char *p = strdup(s);
	if (p == nullptr)
		die(nullptr);
	return p;
}

// A number in C's notation (base 0: 0x for hex, a leading 0 for octal), held
// at the bounds of an int rather than wrapped.
static inline int
intnum(const char *s, char **end)
{
	long v = strtol(s, end, 0);
	if (v > INT_MAX)
		return INT_MAX;
	if (v < INT_MIN)
		return INT_MIN;
	return static_cast<int>(v);
}

// A private descriptor, numbered from 3, that shares standard input (0) or
// output (1): reading and writing go on at the offsets the caller left, and
// a closed 0 or 1 is never handed out for it. A closed stream gives -1, so
// that the first read or write through it reports that; any other failure
// ends the program, naming the stream.
static inline int
share(int fd)
{
	int d = fcntl(fd, F_DUPFD, 3);

	if (d == -1 && errno != EBADF)
		die("%s", fd == 0 ? "standard input" : "standard output");
	return d;
}

// A descriptor numbered 0, 1 or 2 takes the place of a standard stream that
// was closed at start: a message to standard error would go into it, and a
// child would take it for that stream. Moves fd to 3 or above (close-on-exec
// when cloexec is set) and returns it; -1, with errno set and fd closed, when
// no such number is free.
static inline int
lift(int fd, bool cloexec)
{
	if (fd > 2)
		return fd;
	int d = fcntl(fd, cloexec ? F_DUPFD_CLOEXEC : F_DUPFD, 3);
	int e = errno;
	close(fd);
	errno = e;
	return d;
}

// pipe2 for every pipe a program makes: both ends numbered 3 or above.
static inline int
pipe3(int p[2], int flags)
{
	bool ce = (flags & O_CLOEXEC) != 0;

	if (pipe2(p, flags) == -1)
		return -1;
	p[0] = lift(p[0], ce);
	if (p[0] == -1 || (p[1] = lift(p[1], ce)) == -1) {
		int e = errno;
		close(p[0] == -1 ? p[1] : p[0]);
		errno = e;
		return -1;
	}
	return 0;
}

// Standard output through a buffer of its own, for the programs that print
// piece by piece. Bytes reach descriptor 1 through writeall when the buffer
// is full, at each line end when it is a terminal, and at outend. A failed
// write ends the program at once ("NAME: write error: REASON", status 1), so
// no byte is ever written twice.

// Appends the n bytes at p.
void outs(const char *p, size_t n);

// Appends k TABs.
void outtabs(size_t k);

// Appends the n bytes at p and a line end.
void outln(const char *p, size_t n);

// Writes what is left, then ends the program for the read error e, if any:
// "NAME: read error: REASON", status 1. A write error comes first. A fault
// (die) writes what is left too.
void outend(int e);

#endif
