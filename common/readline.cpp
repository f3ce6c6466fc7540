#include "readline.h"

#include <sys/stat.h>

#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
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
// left the position, and the block it read last (start is its offset); the
// block is trusted while the position is found where readline left it, so a
// file rewritten in place under the reader, or a descriptor number reused
// for another file at that very offset, is not noticed. A pipe's bytes are
// looked at anew by every call, as they cannot be checked.
enum kind { unknown, bytewise, file, fifo };
static struct {
	int fd = -1;
	enum kind kind = unknown;
	off_t at, start;
	size_t len;
	char buf[65536];
	int peek[2] = {-1, -1};
} seen;

static void
forget(int fd, enum kind k)
{
	seen.fd = fd;
	seen.kind = k;
	seen.start = seen.at = 0;
	seen.len = 0;
}

static void
kindof(int fd)
{
	struct stat st;

	forget(fd, bytewise);
	if (fstat(fd, &st) == -1)
		return;
	if ((S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) && (seen.at = lseek(fd, 0, SEEK_CUR)) >= 0)
		seen.kind = file;
	else if (S_ISFIFO(st.st_mode) && (seen.peek[0] >= 0 || pipe2(seen.peek, O_CLOEXEC) == 0))
		seen.kind = fifo;
}

// Ends the assembled line with a NUL and hands it out.
static char *
ended(struct line *l)
{
	(*l->out)[l->count] = '\0';
	return *l->out;
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
	return ended(l);
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
	return ended(l);
}

static ssize_t
prd(int fd, void *buf, size_t n, off_t off)
{
	ssize_t r;
	while ((r = pread(fd, buf, n, off)) == -1 && errno == EINTR)
		;
	return r;
}

// Lines that do not lie whole in one block, the last line and the end: the
// line is read with pread from where readline left the position, then the
// position is moved past it; the move also tells whether the position was
// still there, and if not, the line is read again from where it now is.
static char *
slowfile(int fd, struct line *l)
{
	seen.len = 0; // the block is scratch space here
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
			forget(-1, unknown); // no longer a file: the number was reused
			return nullptr;
		}
		off_t k = l->count, now = lseek(fd, k, SEEK_CUR);
		if (now == -1)
			return nullptr;
		if (now == seen.at + k) {
			seen.at = now;
			if (done) {
				return ended(l);
			}
			if (l->count == 0)
				forget(-1, bytewise); // a later call starts afresh
			return finish(l, e);
		}
		seen.at = lseek(fd, -k, SEEK_CUR);
	}
}

// On a file a block is read with pread, and each line that lies whole in it
// is taken by moving the position past it: one system call a line.
static char *
fromfile(int fd, struct line *l)
{
	for (;;) {
		if (seen.at < seen.start || seen.at >= seen.start + static_cast<off_t>(seen.len)) {
			ssize_t r = prd(fd, seen.buf, sizeof seen.buf, seen.at);
			seen.start = seen.at;
			seen.len = r > 0 ? r : 0;
		}
		size_t off = seen.at - seen.start;
		auto p = seen.buf + off;
		auto nl = static_cast<char *>(memchr(p, '\n', seen.len - off));
		if (nl == nullptr && seen.start != seen.at) {
			seen.len = 0; // read the block again from the line's start
			continue;
		}
		if (nl == nullptr)
			return slowfile(fd, l);
		off_t k = nl + 1 - p, now = lseek(fd, k, SEEK_CUR);
		if (now == seen.at + k) {
			seen.at = now;
			store(l, p, k);
			return ended(l);
		}
		if (now == -1) {
			if (errno == ESPIPE)
				forget(-1, unknown);
			return nullptr;
		}
		// The position was moved behind readline's back: go on from there.
		seen.at = lseek(fd, -k, SEEK_CUR);
		seen.len = 0;
	}
}

// Copies up to want of the bytes waiting in the pipe, without taking them.
static ssize_t
peek(int fd, size_t want)
{
	ssize_t n;
	for (;;) {
		if ((n = tee(fd, seen.peek[1], want, 0)) >= 0)
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
			forget(-1, unknown);
			errno = EIO;
			return -1;
		}
	}
	return n;
}

// On a pipe the waiting bytes are copied, the line end found in the copy,
// and exactly the line's bytes taken from the pipe.
static char *
frompipe(int fd, struct line *l)
{
	size_t want = 256;
	bool done = false;
	while (!done) {
		ssize_t n = peek(fd, want);
		if (n < 0 && errno == EINVAL && l->count == 0) {
			forget(-1, unknown); // no longer a pipe: the number was reused
			return nullptr;
		}
		if (n <= 0)
			return finish(l, n == 0 ? 0 : errno);
		size_t from = l->count, k = scan(l, seen.buf, n, &done);
		for (size_t got = 0; got < k;) {
			ssize_t r = rd(fd, *l->out + from + got, k - got);
			if (r <= 0) {
				l->count = from + got;
				return finish(l, r == 0 ? 0 : errno);
			}
			got += r;
		}
		want = std::min(2 * want, sizeof seen.buf);
	}
	return ended(l);
}

char *
readline(int fd)
{
	static char *out;
	struct line l = {&out, 0};
	char *s;

	if (out == nullptr)
		out = static_cast<char *>(xrealloc(nullptr, 16));
	if (seen.fd != fd || seen.kind == bytewise)
		kindof(fd);
	switch (seen.kind) {
	case file:
		s = fromfile(fd, &l);
		break;
	case fifo:
		s = frompipe(fd, &l);
		break;
	default:
		return bytes(fd, &l);
	}
	// A descriptor found to be of another kind than before is looked at anew.
	return s == nullptr && seen.kind == unknown ? readline(fd) : s;
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

void
writeall(int fd, const char *p, size_t n)
{
	while (n > 0) {
		ssize_t w = write(fd, p, n);
		if (w >= 0) {
			p += w;
			n -= w;
		} else if (errno == EAGAIN || errno == EWOULDBLOCK) {
			struct pollfd pf = {fd, POLLOUT, 0};
			if (poll(&pf, 1, -1) == -1 && errno != EINTR)
				err(1, "write error");
		} else if (errno != EINTR) {
			err(1, "write error");
		}
	}
}

void
endout(int e)
{
	if (fflush(stdout) == EOF)
		err(1, "write error");
	if (e != 0) {
		errno = e;
		err(1, "read error");
	}
}
