// dirtree: print a list of paths as an indented tree.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "readline.h"
#include "sys.h"

static char *prefix; // the current directory, with its trailing "/"
static size_t plen;  // its length; 0 while there is none
static char *indent; // TABs, at least one per open level
static size_t depth; // the number of open levels
static FILE *out;    // standard output, from openout

static void
setdepth(size_t d)
{
	static size_t cap;

	if (d >= cap) {
		cap = 2 * d + 16;
		indent = static_cast<char *>(xrealloc(indent, cap));
		memset(indent, '\t', cap);
	}
	depth = d;
}

// Text goes out by its length: printf counts its output in an int, which a
// line of 2 GiB or more would overflow.
static void
put(const char *s, size_t n)
{
	fwrite_unlocked(s, 1, n, out);
}

// Leaves every directory of prefix that the line does not lie in. Input that
// never opened those levels must not take depth below 0.
static void
leave(const char *line, size_t len)
{
	size_t m = 0, d = depth;

	if (len >= plen && memcmp(prefix, line, plen) == 0)
		return;
	// They differ within prefix, so this stops before its end.
	while (prefix[m] == line[m])
		m++;
	for (const char *s = prefix + m; *s != '\0'; s++)
		if (*s == '/' && d > 0)
			d--;
	setdepth(d);
	while (m > 0 && prefix[m - 1] != '/')
		m--;
	prefix[m] = '\0';
	plen = m;
}

static void
entry(char *line, size_t len)
{
	if (plen > 0)
		leave(line, len);
	put(indent, depth);
	if (len > 0 && line[len - 1] == '/') {
		// The same directory again prints as its "/" alone.
		size_t from = plen < len ? plen : len - 1;
		put(line + from, len - from);
		prefix = static_cast<char *>(xrealloc(prefix, len + 1));
		memcpy(prefix, line, len + 1);
		plen = len;
		setdepth(depth + 1);
	} else {
		put(line + plen, len - plen);
	}
	putc_unlocked('\n', out);
}

int
main()
{
	char *line;
	size_t len;

	out = openout();
	setdepth(0);
	while ((line = drainline(0, &len)) != nullptr) {
		if (len > 0)
			line[--len] = '\0';
		entry(line, len);
		if (outfailed())
			endout(out, 0);
	}
	int e = errno;
	endout(out, e);
	return 0;
}
