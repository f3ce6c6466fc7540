// dirtree: print a list of paths as an indented tree.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "readline.h"
#include "sys.h"

static char *prefix; // the current directory, with its trailing "/"
static size_t plen;  // its length; 0 while there is none
static char *indent; // one TAB per open level
static size_t depth; // the number of TABs in indent

static void
setdepth(size_t d)
{
	indent = static_cast<char *>(xrealloc(indent, d + 1));
	memset(indent, '\t', d);
	indent[d] = '\0';
	depth = d;
}

// Leaves every directory of prefix that the line does not lie in. Input that
// never opened those levels must not take depth below 0.
static void
leave(const char *line)
{
	size_t m = 0, d = depth;

	while (prefix[m] != '\0' && prefix[m] == line[m])
		m++;
	if (prefix[m] == '\0')
		return;
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
		leave(line);
	if (len > 0 && line[len - 1] == '/') {
		size_t off = plen;
		free(prefix);
		prefix = xstrdup(line);
		plen = len;
		size_t n = off < len - 1 ? len - 1 - off : 0;
		// fwrite, not a precision: a line may be longer than an int counts.
		printf("%s", indent);
		fwrite(line + (off < len ? off : len), 1, n, stdout);
		printf("/\n");
		setdepth(depth + 1);
	} else {
		printf("%s%s\n", indent, line + plen);
	}
}

int
main()
{
	char *line;

	openout();
	setdepth(0);
	while ((line = drainline(0)) != nullptr) {
		size_t len = strlen(line);
		if (len > 0)
			line[--len] = '\0';
		entry(line, len);
		if (ferror(stdout))
			endout(0);
	}
	int e = errno;
	endout(e);
	return 0;
}
