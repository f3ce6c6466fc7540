#include "readline.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "sys.h"

// freadline's reads. A pipe whose writer asked for packets (O_DIRECT) drops
// what a read leaves of a packet, and a packet holds up to PIPE_BUF bytes.
static constexpr size_t blocksz = PIPE_BUF;
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
readline(int fd, size_t *len)
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
	*len = strlen(out); // a byte a call: its cost is in the reads
	return out;
}

// drainline's state. The bytes from at to len are not handed out yet; nul is
// where the first NUL byte among them lies, or none. The byte after a line
// handed out is replaced by the line's NUL and kept in saved until the next
// call.
static constexpr size_t none = SIZE_MAX;
static struct {
	int fd = -1;
	char *buf;
	size_t cap, len, at, nul = none;
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

// Where the first NUL byte from off to len lies, or none.
static size_t
findnul(size_t off)
{
	auto p = static_cast<char *>(memchr(dr.buf + off, '\0', dr.len - off));
	return p != nullptr ? p - dr.buf : none;
}

// Reads a block after the bytes not handed out yet, moved to the start.
static ssize_t
fill()
{
	if (dr.at > 0) {
		dr.len -= dr.at;
		memmove(dr.buf, dr.buf + dr.at, dr.len);
		if (dr.nul != none)
			dr.nul -= dr.at;
		dr.at = 0;
	}
	// Room for a block, then a "\n" for a last line and its NUL.
	dr.buf = static_cast<char *>(xgrow(dr.buf, &dr.cap, dr.len + drainsz + 2));
	ssize_t r = readsome(dr.fd, dr.buf + dr.len, drainsz);
	if (r > 0) {
		size_t from = dr.len;
		dr.len += r;
		if (dr.nul == none)
			dr.nul = findnul(from);
	}
	return r;
}

// The length of a line from at to end that holds a NUL byte: up to it. The
// next one is looked for past the line.
[[gnu::noinline]] static size_t
cutnul(size_t end)
{
	size_t n = dr.nul - dr.at;
	dr.nul = findnul(end);
	return n;
}

// Hands out the bytes from at to end as a line.
static char *
lend(size_t end, size_t *len)
{
	char *line = dr.buf + dr.at;
	*len = dr.nul < end ? cutnul(end) : end - dr.at;
	dr.saved = dr.buf[end];
	dr.buf[end] = '\0';
	dr.lent = true;
	dr.at = end;
	return line;
}

// drainline when the line is not all there yet (the first scan bytes not
// handed out hold no "\n"), or the input ends, or fd is not the one read
// last. Out of line, so that the common case is light.
[[gnu::noinline]] static char *
more(int fd, size_t *len, size_t scan)
{
	size_t end;

	if (dr.fd != fd)
		drop(fd);
	if (dr.lent)
		dr.buf[dr.at] = dr.saved;
	if (dr.ended) {
		int e = dr.err;
		drop(-1);
		errno = e;
		return nullptr;
	}
	for (;;) {
		size_t n = dr.len - dr.at - scan;
		auto nl = n ? static_cast<char *>(memchr(dr.buf + dr.at + scan, '\n', n)) : nullptr;
		if (nl != nullptr) {
			end = nl + 1 - dr.buf;
			break;
		}
		scan += n;
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
		end = dr.len;
		break;
	}
	return lend(end, len);
}

char *
drainline(int fd, size_t *len)
{
	if (!dr.lent || dr.fd != fd || dr.ended)
		return more(fd, len, 0);
	// The saved byte goes back, and again in more, which changes nothing.
	char *line = dr.buf + dr.at;
	*line = dr.saved;
	auto nl = static_cast<char *>(memchr(line, '\n', dr.len - dr.at));
	if (nl == nullptr)
		return more(fd, len, dr.len - dr.at);
	return lend(nl + 1 - dr.buf, len);
}

// freadline's line, when it lies across blocks: len bytes held, the first
// text of them before any NUL byte.
struct held {
	char *buf;
	size_t cap, len, text;
};

// Appends the n bytes at seg, whose first text bytes hold no NUL.
static void
append(held &h, const char *seg, size_t n, size_t text)
{
	h.buf = static_cast<char *>(xgrow(h.buf, &h.cap, h.len + n + 1));
	memcpy(h.buf + h.len, seg, n);
	if (h.text == h.len)
		h.text += text;
	h.len += n;
	h.buf[h.len] = '\0';
}

// Hands the n bytes at p to cb as one line, whose first text bytes hold no
// NUL: in place when no earlier block holds a part of it, with a NUL put
// after it for the call.
static int
deliver(linecb cb, held &h, char *p, size_t n, size_t text)
{
	if (h.len == 0) {
		char c = p[n];
		p[n] = '\0';
		int stop = cb.fn(cb.ctx, p, text);
		p[n] = c;
		return stop;
	}
	append(h, p, n, text);
	text = h.text;
	h.len = h.text = 0;
	return cb.fn(cb.ctx, h.buf, text);
}

// The text bytes of the n at p: those before nul, where the block's next NUL
// lies (or its end).
static size_t
textof(const char *p, size_t n, const char *nul)
{
	return nul < p + n ? nul - p : n;
}

int
freadline(int fd, linecb cb)
{
	char block[blocksz + 1]; // and a NUL after a line at its end
	held h = {};
	ssize_t n;
	int stop = 0, e = 0;

	while (!stop) {
		if ((n = readsome(fd, block, blocksz)) <= 0) {
			e = n < 0 ? errno : 0;
			if (h.len > 0)
				cb.fn(cb.ctx, h.buf, h.text);
			break;
		}
		char *p = block, *end = block + n, *nl;
		auto nul = static_cast<char *>(memchr(block, '\0', n));
		if (nul == nullptr)
			nul = end;
		while (!stop && (nl = static_cast<char *>(memchr(p, '\n', end - p)))) {
			size_t k = nl + 1 - p;
			stop = deliver(cb, h, p, k, textof(p, k, nul));
			p = nl + 1;
			if (nul < p &&
			    (nul = static_cast<char *>(memchr(p, '\0', end - p))) == nullptr)
				nul = end;
		}
		if (!stop)
			append(h, p, end - p, textof(p, end - p, nul));
	}
	free(h.buf);
	errno = e;
	return e ? -1 : 0;
}
