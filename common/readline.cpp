#include "readline.h"

#include <err.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

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

char *
readline(int fd)
{
	static char *out;
	size_t count = 0;
	char c;

	if (out == nullptr)
		out = static_cast<char *>(xrealloc(nullptr, 16));
	for (;;) {
		ssize_t r = rd(fd, &c, 1);
		if (r <= 0) {
			int e = r == 0 ? 0 : errno;
			if (count == 0) {
				errno = e;
				return nullptr;
			}
			c = '\n';
		}
		if (++count % 16 == 0)
			out = static_cast<char *>(xrealloc(out, count + 16));
		out[count - 1] = c;
		if (c == '\n') {
			out[count] = '\0';
			return out;
		}
	}
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
