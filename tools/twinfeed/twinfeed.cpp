// twinfeed: copy standard input to two shell commands.
#include <sys/stat.h>

#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include "sys.h"

static int feed[2] = {-1, -1}; // write ends of the commands' pipes
static const char *cmds[2];
static int rval;
static char buf[65536];

// Pipes of 1 MiB (the most an unprivileged process may ask for): each tee
// or splice, and each read of a command, moves up to that much per wakeup.
static constexpr int chunk = 1 << 20;

// Fewer wakeups per byte. A pipe is only ever grown, and one that cannot be
// works as it is.
static void
grow(int fd)
{
	if (fcntl(fd, F_GETPIPE_SZ) < chunk)
		fcntl(fd, F_SETPIPE_SZ, chunk);
}

// Starts cmd through the shell reading from a new pipe; stores the pipe's
// write end in *out and returns the child's id, or a value <= 0 on failure.
static pid_t
start_p(const char *cmd, int *out)
{
	int p[2];

	if (pipe3(p, 0) == -1)
		return -1;
	pid_t pid = fork();
	if (pid == 0) {
		// A copy of the other command's pipe would keep that command from
		// seeing the end of its input until this one ends.
		for (int fd : feed)
			if (fd >= 0)
				close(fd);
		close(p[1]);
		shchild(cmd, p[0], 0);
	}
	int e = errno;
	close(p[0]);
	if (pid < 0) {
		close(p[1]);
		errno = e;
		return pid;
	}
	grow(p[1]);
	*out = p[1];
	return pid;
}

static bool
feeding()
{
	return feed[0] >= 0 || feed[1] >= 0;
}

// The command that has stopped reading gets no more input.
static void
drop(int i)
{
	warn("%s", cmds[i]);
	close(feed[i]);
	feed[i] = -1;
	rval = 1;
}

// Moves (or, with dup set, duplicates) up to n bytes from pipe in to pipe
// out inside the kernel. A non-blocking input makes both calls non-blocking
// on both pipes, so either side may be the one to wait for.
static ssize_t
xfer(int in, int out, size_t n, bool dup)
{
	for (;;) {
		ssize_t r = dup ? tee(in, out, n, 0) : splice(in, nullptr, out, nullptr, n, 0);
		if (r >= 0 || (errno != EINTR && errno != EAGAIN))
			return r;
		if (errno == EAGAIN && (await(in, POLLIN) == -1 || await(out, POLLOUT) == -1))
			return -1;
	}
}

// The copy through user space: up to n bytes of in to the commands from
// feed[first] on, for inputs that the kernel cannot splice and for bytes that
// only CMD2 still lacks. A write fails only once the command has stopped
// reading (seen when the broken-pipe signal is ignored). Returns as the last
// read did: 0 at the end of in, -1 (errno set) when it failed.
static ssize_t
copy(int in, size_t n, int first)
{
	ssize_t r = 0;

	while (n > 0 && feeding() && (r = readsome(in, buf, n < sizeof buf ? n : sizeof buf)) > 0) {
		n -= r;
		for (int i = first; i < 2; i++)
			if (feed[i] >= 0 && writeall(feed[i], buf, r) == -1)
				drop(i);
	}
	return r;
}

// Passes on up to n bytes of pipe in without copying them: to CMD1 by tee,
// which leaves them in the pipe, then the same bytes to CMD2 by splice. With
// one command left, they go straight to it. Returns the count taken from in;
// 0 at its end or once no command reads; -1 (errno set) when in failed.
static ssize_t
pass(int in, size_t n)
{
	while (feeding()) {
		bool both = feed[0] >= 0 && feed[1] >= 0;
		int i = feed[0] >= 0 ? 0 : 1;
		ssize_t k = xfer(in, feed[i], n, both);
		if (k == -1 && errno == EPIPE) {
			drop(i);
			continue;
		}
		for (ssize_t left = both && k > 0 ? k : 0, r; left > 0; left -= r)
			if ((r = xfer(in, feed[1], left, false)) <= 0) {
				// CMD1 has these bytes already: they must leave the input,
				// for CMD2 by a copy, or for nobody when CMD2 has gone.
				if (r == -1 && errno == EPIPE)
					drop(1);
				copy(in, left, 1);
				break;
			}
		return k;
	}
	return 0;
}

static ssize_t
frompipe()
{
	ssize_t n = 0;

	grow(0);
	while (feeding() && (n = pass(0, chunk)) > 0)
		;
	return n;
}

// A file goes through a private pipe: splice fills it from the file without
// a copy, and pass empties it.
static ssize_t
fromfile()
{
	int p[2];
	ssize_t n;

	if (pipe3(p, O_CLOEXEC) == -1)
		return copy(0, SIZE_MAX, 0);
	grow(p[1]);
	do {
		while ((n = splice(0, nullptr, p[1], nullptr, chunk, 0)) == -1 && errno == EINTR)
			;
		for (ssize_t left = n, k; left > 0 && feeding(); left -= k)
			if ((k = pass(p[0], left)) <= 0) {
				n = k;
				break;
			}
	} while (n > 0 && feeding());
	int e = errno;
	close(p[0]);
	close(p[1]);
	errno = e;
	return n;
}

// Feeds standard input to the commands; returns 0 at its end, -1 (errno
// set) when it could not be read.
static ssize_t
feedall()
{
	struct stat st;

	if (fstat(0, &st) == -1 || !(S_ISFIFO(st.st_mode) || S_ISREG(st.st_mode)))
		return copy(0, SIZE_MAX, 0);
	ssize_t n = S_ISFIFO(st.st_mode) ? frompipe() : fromfile();
	// A refusal comes before the kernel has taken any byte of the input.
	return n == -1 && errno == EINVAL ? copy(0, SIZE_MAX, 0) : n;
}

int
main(int argc, char *argv[])
{
	pid_t pid[2];

	if (argc != 3)
		return 1;
	for (int i = 0; i < 2; i++) {
		cmds[i] = argv[i + 1];
		if ((pid[i] = start_p(cmds[i], &feed[i])) <= 0)
			die("%s", cmds[i]);
	}
	ssize_t n = feedall();
	int e = errno;
	// Both commands see the end of input before either is waited for: one
	// may be waiting for the other to finish.
	for (int fd : feed)
		if (fd >= 0)
			close(fd);
	for (pid_t p : pid)
		reap(p);
	if (n == -1) {
		errno = e;
		die("read error");
	}
	return rval;
}
