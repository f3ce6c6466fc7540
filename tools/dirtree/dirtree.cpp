// dirtree: print a list of paths as an indented tree.
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "readline.h"
#include "sys.h"

static char *prefix; // the current directory, with its trailing "/"
static size_t plen;  // its length; 0 while there is none
static size_t pcap;  // the room in prefix
static size_t depth; // the number of open levels, each indented by a TAB

// Where a and b first differ within n bytes, or n; a word at a time, for
// lines share long beginnings.
static size_t
differ(const char *a, const char *b, size_t n)
{
	size_t m = 0;
	uint64_t x, y;

	for (; m + sizeof x <= n; m += sizeof x) {
		memcpy(&x, a + m, sizeof x);
		memcpy(&y, b + m, sizeof y);
		if (x != y)
			break;
	}
	while (m < n && a[m] == b[m])
		m++;
	return m;
}

// Leaves every directory of prefix that the line does not lie in. Input that
// never opened those levels must not take depth below 0.
static void
leave(const char *line, size_t len)
{
	size_t d = depth;

	if (len >= plen && memcmp(prefix, line, plen) == 0)
		return;
	// They differ within prefix: where the line ends, if not before.
	size_t m = differ(prefix, line, len < plen ? len : plen);
	const char *s = prefix + m, *end = prefix + plen;
	for (; (s = static_cast<const char *>(memchr(s, '/', end - s))) != nullptr; s++)
		if (d > 0)
			d--;
	depth = d;
	s = static_cast<const char *>(memrchr(prefix, '/', m));
	plen = s != nullptr ? s + 1 - prefix : 0;
}

static void
entry(const char *line, size_t len)
{
	if (plen > 0)
		leave(line, len);
	outtabs(depth);
	if (len > 0 && line[len - 1] == '/') {
		// The same directory again prints as its "/" alone.
		size_t from = plen < len ? plen : len - 1;
		outln(line + from, len - from);
		prefix = static_cast<char *>(xgrow(prefix, &pcap, len));
		memcpy(prefix, line, len);
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
			len--; // the line end
		entry(line, len);
	}
	outend(errno);
	return 0;
}
