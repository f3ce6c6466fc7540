// dirtree: print a list of paths as an indented tree.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "readline.h"
#include "sys.h"

static char *prefix; // the current directory, with its trailing "/"
static size_t plen;  // its length; 0 while there is none
static size_t depth; // the number of open levels, each indented by a TAB

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
	depth = d;
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
	outtabs(depth);
	if (len > 0 && line[len - 1] == '/') {
		// The same directory again prints as its "/" alone.
		size_t from = plen < len ? plen : len - 1;
		outln(line + from, len - from);
		prefix = static_cast<char *>(xrealloc(prefix, len + 1));
		memcpy(prefix, line, len + 1);
		plen = len;
		depth++;
	} else {
		outln(line + plen, len - plen);
	}
}

int
main()
{
	char *line;
	size_t len;

	while ((line = drainline(0, &len)) != nullptr) {
		if (len > 0)
			line[--len] = '\0';
		entry(line, len);
	}
	outend(errno);
	return 0;
}
