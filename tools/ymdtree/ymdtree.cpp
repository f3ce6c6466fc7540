// ymdtree: print lines that begin with a year-month-day date as a tree.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "readline.h"
#include "sys.h"

static constexpr int levels = 3; // year, month, day; level i has i TABs
static char *prev;               // the previous line's date; null before the first

// The n-th field, counted from 1, of text split at every sep, as a new heap
// string; empty when text has fewer than n fields.
static char *
cut(const char *text, int n, char sep)
{
	const char *start = n == 1 ? text : nullptr, *end = nullptr, *p;
	int field = 1;

	for (p = text; *p != '\0'; p++) {
		if (*p != sep)
			continue;
		if (++field == n)
			start = p + 1;
		else if (field == n + 1) {
			end = p;
			break;
		}
	}
	if (field == n)
		end = p;
	if (start == nullptr || end == nullptr)
		return xstrndup("", 0);
	return xstrndup(start, end - start);
}

// Prints the date's levels from the first one that differs from the previous
// date's, then the line's name under the day.
static void
entry(const char *line, const char *date)
{
	bool changed = prev == nullptr;
	// Equal dates have equal parts: nothing to print above the name.
	bool same = !changed && strcmp(prev, date) == 0;

	for (int i = 0; i < levels && !same; i++) {
		char *part = cut(date, i + 1, '-');
		if (!changed) {
			char *old = cut(prev, i + 1, '-');
			changed = strcmp(old, part) != 0;
			free(old);
		}
		if (changed) {
			outtabs(i);
			outs(part, strlen(part));
			outln(i < levels - 1 ? "-" : " ", 1);
		}
		free(part);
	}
	char *name = cut(line, 2, ' ');
	outtabs(levels);
	outln(name, strlen(name));
	free(name);
}

int
main()
{
	char *line;
	size_t len;

	while ((line = drainline(0, &len)) != nullptr) {
		if (len > 0)
			line[len - 1] = '\0';
		char *date = cut(line, 1, ' ');
		entry(line, date);
		free(prev);
		prev = date;
	}
	int e = errno;
	free(prev);
	prev = nullptr;
	outend(e);
	return 0;
}
