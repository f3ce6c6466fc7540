// twinfeed: copy standard input to two shell commands.
#include <sys/wait.h>

#include <err.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

static int feed[2] = {-1, -1}; // write ends of the commands' pipes
static char buf[65536];

// Starts cmd through the shell reading from a new pipe; stores the pipe's
// write end in *out and returns the child's id, or a value <= 0 on failure.
static pid_t
start_p(const char *cmd, int *out)
{
	int p[2];

	if (pipe(p) == -1)
		return -1;
	pid_t pid = fork();
	if (pid == 0) {
		// A copy of the other command's pipe would keep that command from
		// seeing the end of its input until this one ends.
		for (int fd : feed)
			if (fd >= 0)
				close(fd);
		close(p[1]);
		if (p[0] != 0) {
			dup2(p[0], 0);
			close(p[0]);
		}
		system(cmd);
		_exit(0);
	}
	int e = errno;
	close(p[0]);
	if (pid < 0) {
		close(p[1]);
		errno = e;
		return pid;
	}
	*out = p[1];
	return pid;
}

// Reads what is there, up to a block. A descriptor that the caller left
// non-blocking is waited on, so that an empty pipe is not taken for its end.
static ssize_t
readsome()
{
	for (;;) {
		ssize_t n = read(0, buf, sizeof buf);
		if (n >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
			return n;
		if (errno != EINTR) {
			struct pollfd p = {0, POLLIN, 0};
			if (poll(&p, 1, -1) == -1 && errno != EINTR)
				return -1;
		}
	}
}

// Writes all of n bytes; false when the command has stopped reading (only
// seen when the broken-pipe signal is ignored).
static bool
writeall(int fd, const char *p, size_t n)
{
	while (n > 0) {
		ssize_t w = write(fd, p, n);
		if (w == -1) {
			if (errno == EINTR)
				continue;
			return false;
		}
		p += w;
		n -= w;
	}
	return true;
}

int
main(int argc, char *argv[])
{
	pid_t pid[2];
	int rval = 0;
	ssize_t n = 0;

	if (argc != 3)
		return 1;
	for (int i = 0; i < 2; i++)
		if ((pid[i] = start_p(argv[i + 1], &feed[i])) <= 0)
			err(1, "%s", argv[i + 1]);
	while ((feed[0] >= 0 || feed[1] >= 0) && (n = readsome()) > 0) {
		for (int i = 0; i < 2; i++) {
			if (feed[i] >= 0 && !writeall(feed[i], buf, n)) {
				warn("%s", argv[i + 1]);
				close(feed[i]);
				feed[i] = -1;
				rval = 1;
			}
		}
	}
	int e = errno;
	// Both commands see the end of input before either is waited for: one
	// may be waiting for the other to finish.
	for (int fd : feed)
		if (fd >= 0)
			close(fd);
	for (pid_t p : pid)
		while (waitpid(p, nullptr, 0) == -1 && errno == EINTR)
			;
	if (n == -1) {
		errno = e;
		err(1, "read error");
	}
	return rval;
}
