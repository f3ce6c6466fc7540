#include "readline.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "sys.h"

static constexpr size_t blocksz = 1000;  // freadline's reads
static constexpr size_t drainsz = 65536; // drainline's reads

// Stores c as byte count of readline's buffer, which starts at 16 bytes and
// is resized to count + 16 whenever count reaches a multiple of 16, so it
// always has room for the NUL after the last byte.
static void
put(char **out, size_t *count, char c)
{
	if (++*count % 16 == 0)
		*out = static_cast<char *>(xrealloc(*out, *count + 16));
	(*out)[*count - 1] = c;
}

char *
readline(int fd)
{
	static char *out;
	static struct {
		int fd, err;
	} failed;
	size_t count = 0;
	char c;

	if (failed.err != 0 && failed.fd == fd) {
		errno = failed.err;
		failed.err = 0;
		return nullptr;
	}
	if (out == nullptr)
		out = static_cast<char *>(xrealloc(nullptr, 16));
	do {
		ssize_t r = readsome(fd, &c, 1);
		if (r <= 0) {
			if (count == 0) {
				errno = r == 0 ? 0 : errno;
				return nullptr;
			}
			// The line goes out now; the failure, if any, on the next call.
			if (r < 0)
				failed = {fd, errno};
			c = '\n';
		}
		put(&out, &count, c);
	} while (c != '\n');
	out[count] = '\0';
	return out;
}

// drainline's state. The bytes from at to len are not handed out yet; scan of
// them hold no "\n". The byte after a line handed out is replaced by the
// line's NUL and kept in saved until the next call.
static struct {
	int fd = -1;
	char *buf;
	size_t cap, len, at, scan;
	char saved;
	bool lent;
	bool ended; // the input ended after the line handed out
	int err;    // and how: 0 or a read's errno
} dr;

static void
drop(int fd)
{
	free(dr.buf);
	dr = {};
	dr.fd = fd;
}

// Reads a block after the bytes not handed out yet, moved to the start.
static ssize_t
fill()
{
	if (dr.at > 0) {
		dr.len -= dr.at;
		memmove(dr.buf, dr.buf + dr.at, dr.len);
		dr.at = 0;
	}
	// Room for a block, then a "\n" for a last line and its NUL.
	if (dr.cap - dr.len < drainsz + 2) {
		dr.cap = dr.len + drainsz + 2 > 2 * dr.cap ? dr.len + drainsz + 2 : 2 * dr.cap;
		dr.buf = static_cast<char *>(xrealloc(dr.buf, dr.cap));
	}
	ssize_t r = readsome(dr.fd, dr.buf + dr.len, drainsz);
	if (r > 0)
		dr.len += r;
	return r;
}

static char *
lend(size_t end)
{
	char *line = dr.buf + dr.at;
	dr.saved = dr.buf[end];
	dr.buf[end] = '\0';
	dr.lent = true;
	dr.at = end;
	dr.scan = 0;
	return line;
}

char *
drainline(int fd)
{
	if (dr.fd != fd)
		drop(fd);
	if (dr.lent) {
		dr.buf[dr.at] = dr.saved;
		dr.lent = false;
	}
	if (dr.ended) {
		int e = dr.err;
		drop(-1);
		errno = e;
		return nullptr;
	}
	for (;;) {
		size_t n = dr.len - dr.at - dr.scan;
		auto nl = n ? static_cast<char *>(memchr(dr.buf + dr.at + dr.scan, '\n', n))
		            : nullptr;
		if (nl != nullptr)
			return lend(nl + 1 - dr.buf);
		dr.scan += n;
		ssize_t r = fill();
		if (r > 0)
			continue;
		int e = r == 0 ? 0 : errno;
		if (dr.len == dr.at) {
			drop(-1);
			errno = e;
			return nullptr;
		}
		dr.buf[dr.len++] = '\n';
		dr.ended = true;
		dr.err = e;
		return lend(dr.len);
	}
}

// Appends seg to the line. The copy stops at a NUL and pads with NULs, so a
// line that holds a NUL reads as ending there, as with the other readers.
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
freadline(int fd, linecb cb)
{
	char block[blocksz];
	char *line = static_cast<char *>(xrealloc(nullptr, 10));
	size_t len = 0;
	ssize_t n;
	int stop = 0, e = 0;

	line[0] = '\0';
	while (!stop) {
		if ((n = readsome(fd, block, sizeof block)) <= 0) {
			e = n < 0 ? errno : 0;
			if (len > 0)
				cb.fn(cb.ctx, line);
			break;
		}
		char *p = block, *end = block + n, *nl;
		while (!stop && (nl = static_cast<char *>(memchr(p, '\n', end - p)))) {
			line = append(line, &len, p, nl + 1 - p);
			p = nl + 1;
			stop = cb.fn(cb.ctx, line);
			len = 0;
		}
		if (!stop)
			line = append(line, &len, p, end - p);
	}
	free(line);
	errno = e;
	return e ? -1 : 0;
}
