#include "readline.h"

#include <sys/stat.h>

#include <err.h>
#include <fcntl.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

static constexpr size_t blocksz = 1000;

static void *
xrealloc(void *p, size_t n)
{
	if ((p = realloc(p, n)) == nullptr)
		err(1, nullptr);
	return p;
}

// A read that neither a signal nor a non-blocking descriptor can end early.
static ssize_t
rd(int fd, void *buf, size_t n)
{
	for (;;) {
		ssize_t r = read(fd, buf, n);
		if (r >= 0)
			return r;
		if (errno == EINTR)
			continue;
		if (errno != EAGAIN && errno != EWOULDBLOCK)
			return -1;
		struct pollfd p = {fd, POLLIN, 0};
		if (poll(&p, 1, -1) == -1 && errno != EINTR)
			return -1;
	}
}

// A line being assembled in readline's buffer. The buffer starts at 16 bytes
// and is resized to count + 16 whenever count reaches a multiple of 16.
struct line {
	char **out;
	size_t count;
};

static void
store(struct line *l, const char *p, size_t n)
{
	size_t c = l->count + n;
	if (c / 16 > l->count / 16)
		*l->out = static_cast<char *>(xrealloc(*l->out, c / 16 * 16 + 16));
	memcpy(*l->out + l->count, p, n);
	l->count = c;
}

// Scans avail bytes for the line end and stores the bytes up to and including
// it (or all of them); returns how many were stored, and sets *done when the
// line end was among them.
static size_t
scan(struct line *l, const char *p, size_t avail, bool *done)
{
	const char *nl = static_cast<const char *>(memchr(p, '\n', avail));
	size_t n = nl ? static_cast<size_t>(nl - p) + 1 : avail;
	store(l, p, n);
	*done = nl != nullptr;
	return n;
}

// What readline knows of the descriptor it read last. For a file: where it
// left the position. For a pipe: the bytes waiting at its head as readline
// last saw them, copied with tee, of which pos have been taken since; they
// belong to one pipe (pipe inodes are never reused while a descriptor is
// open).
enum kind { bytewise, file, fifo };
static struct {
	int fd = -1;
	off_t at;
	dev_t dev;
	ino_t ino;
	enum kind kind = bytewise;
	char buf[65536];
	size_t pos, len;
	int peek[2] = {-1, -1};
} seen;

static void
forget()
{
	seen.fd = -1;
	seen.kind = bytewise;
	seen.pos = seen.len = 0;
}

// Says how to read fd, keeping what was seen of it when it is the same pipe.
static enum kind
kindof(int fd)
{
	struct stat st;
	if (fstat(fd, &st) == -1) {
		forget();
		return bytewise;
	}
	if (seen.kind == fifo && seen.fd == fd && st.st_dev == seen.dev && st.st_ino == seen.ino)
		return fifo;
	forget();
	seen.fd = fd;
	if ((S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) && (seen.at = lseek(fd, 0, SEEK_CUR)) >= 0)
		seen.kind = file;
	else if (S_ISFIFO(st.st_mode) && (seen.peek[0] >= 0 || pipe2(seen.peek, O_CLOEXEC) == 0))
		seen.kind = fifo;
	seen.dev = st.st_dev;
	seen.ino = st.st_ino;
	return seen.kind;
}

// Finishes the line at the end of input or after a failed read (e is 0 or
// the failure's errno): null when no byte of a line was read.
static char *
finish(struct line *l, int e)
{
	if (l->count == 0) {
		errno = e;
		return nullptr;
	}
	store(l, "\n", 1);
	(*l->out)[l->count] = '\0';
	return *l->out;
}

static char *
bytes(int fd, struct line *l)
{
	char c;
	bool done = false;
	while (!done) {
		ssize_t r = rd(fd, &c, 1);
		if (r <= 0)
			return finish(l, r == 0 ? 0 : errno);
		scan(l, &c, 1, &done);
	}
	(*l->out)[l->count] = '\0';
	return *l->out;
}

static ssize_t
prd(int fd, void *buf, size_t n, off_t off)
{
	ssize_t r;
	while ((r = pread(fd, buf, n, off)) == -1 && errno == EINTR)
		;
	return r;
}

// On a file the line is read with pread from where readline left the
// position, then the position is moved past it. The move also checks that
// the position was still there; when the caller moved it, readline goes back
// to where it now is and reads the line from there.
static char *
fromfile(int fd, struct line *l)
{
	for (;;) {
		size_t want = 256;
		bool done = false;
		int e = 0;
		l->count = 0;
		while (!done) {
			ssize_t r = prd(fd, seen.buf, want, seen.at + l->count);
			if (r <= 0) {
				e = r == 0 ? 0 : errno;
				break;
			}
			scan(l, seen.buf, r, &done);
			want = std::min(2 * want, sizeof seen.buf);
		}
		if (e == ESPIPE) {
			forget(); // no longer a file: the descriptor was reused
			return nullptr;
		}
		off_t k = l->count, now = lseek(fd, k, SEEK_CUR);
		if (now == -1)
			return nullptr;
		if (now == seen.at + k) {
			seen.at = now;
			if (!done)
				return finish(l, e);
			(*l->out)[l->count] = '\0';
			return *l->out;
		}
		seen.at = lseek(fd, -k, SEEK_CUR);
	}
}

// Copies the bytes waiting in the pipe without taking them.
static ssize_t
peek(int fd)
{
	ssize_t n;
	for (;;) {
		if ((n = tee(fd, seen.peek[1], sizeof seen.buf, 0)) >= 0)
			break;
		if (errno == EINTR)
			continue;
		if (errno != EAGAIN)
			return -1;
		struct pollfd p = {fd, POLLIN, 0};
		if (poll(&p, 1, -1) == -1 && errno != EINTR)
			return -1;
	}
	for (ssize_t got = 0, r; got < n; got += r) {
		if ((r = rd(seen.peek[0], seen.buf + got, n - got)) <= 0) {
			// The copy is out of step with the pipe: start a new one.
			close(seen.peek[0]);
			close(seen.peek[1]);
			seen.peek[0] = seen.peek[1] = -1;
			forget();
			errno = r == 0 ? EIO : errno;
			return -1;
		}
	}
	seen.pos = 0;
	seen.len = n;
	return n;
}

// On a pipe the line's bytes are found in the copy, then exactly they are
// taken from the pipe.
static char *
frompipe(int fd, struct line *l)
{
	bool done = false;
	while (!done) {
		if (seen.pos == seen.len) {
			ssize_t n = peek(fd);
			if (n < 0 && errno == EINVAL) {
				forget();
				return bytes(fd, l);
			}
			if (n <= 0)
				return finish(l, n == 0 ? 0 : errno);
		}
		size_t from = l->count;
		size_t n = scan(l, seen.buf + seen.pos, seen.len - seen.pos, &done);
		for (size_t got = 0; got < n;) {
			ssize_t r = rd(fd, *l->out + from + got, n - got);
			if (r <= 0) {
				forget();
				l->count = from + got;
				return finish(l, r == 0 ? 0 : errno);
			}
			got += r;
		}
		seen.pos += n;
	}
	(*l->out)[l->count] = '\0';
	return *l->out;
}

char *
readline(int fd)
{
	static char *out;
	struct line l = {&out, 0};
	char *s;

	if (out == nullptr)
		out = static_cast<char *>(xrealloc(nullptr, 16));
	if (seen.fd != fd || seen.kind != file)
		kindof(fd);
	switch (seen.kind) {
	case file:
		if ((s = fromfile(fd, &l)) == nullptr && seen.kind != file)
			return readline(fd);
		return s;
	case fifo:
		return frompipe(fd, &l);
	case bytewise:
		break;
	}
	return bytes(fd, &l);
}

// Appends seg to the line as the reader always has: the copy stops at a NUL
// and pads with NULs, so the line reads as ending there.
static char *
append(char *line, size_t *len, const char *seg, size_t n)
{
	line = static_cast<char *>(xrealloc(line, *len + n + 1));
	strncpy(line + *len, seg, n);
	*len += n;
	line[*len] = '\0';
	return line;
}

int
freadline(int fd, const linecb &cb)
{
	char block[blocksz];
	char *line = static_cast<char *>(xrealloc(nullptr, 10));
	size_t len = 0;
	ssize_t n;
	int stop = 0, e = 0;

	line[0] = '\0';
	while (!stop) {
		if ((n = rd(fd, block, sizeof block)) <= 0) {
			e = n < 0 ? errno : 0;
			if (len > 0)
				cb(line);
			break;
		}
		char *p = block, *end = block + n, *nl;
		while (!stop && (nl = static_cast<char *>(memchr(p, '\n', end - p)))) {
			line = append(line, &len, p, nl + 1 - p);
			p = nl + 1;
			stop = cb(line);
			line[0] = '\0';
			len = 0;
		}
		if (!stop)
			line = append(line, &len, p, end - p);
	}
	free(line);
	errno = e;
	return e ? -1 : 0;
}
