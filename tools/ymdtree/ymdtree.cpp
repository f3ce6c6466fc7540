// ymdtree: print lines that begin with a year-month-day date as a tree.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "readline.h"
#include "sys.h"

static constexpr int levels = 3; // year, month, day; level i has i TABs

// A field: where it starts in its line, and its length.
struct field {
	const char *p;
	size_t n;
};

// The previous line's date, copied, with its levels as positions in the
// copy; set is false before the first line.
static struct {
	char *buf;
	size_t cap, len, at[levels], n[levels];
	bool set;
} prev;

// The n-th field, counted from 1, of the len bytes at text split at every
// sep; empty when there are fewer than n fields.
static field
cut(const char *text, size_t len, int n, char sep)
{
	const char *p = text, *end = text + len, *s;

	for (; n > 1; n--) {
		if ((s = static_cast<const char *>(memchr(p, sep, end - p))) == nullptr)
			return {end, 0};
		p = s + 1;
	}
	s = static_cast<const char *>(memchr(p, sep, end - p));
	return {p, static_cast<size_t>((s != nullptr ? s : end) - p)};
}

static void
remember(field date, const field part[levels])
{
	prev.buf = static_cast<char *>(xgrow(prev.buf, &prev.cap, date.n + 1));
	memcpy(prev.buf, date.p, date.n);
	prev.len = date.n;
	for (int i = 0; i < levels; i++) {
		prev.at[i] = part[i].p - date.p;
		prev.n[i] = part[i].n;
	}
	prev.set = true;
}

// Prints the date's levels from the first one that differs from the previous
// date's, then the line's name under the day. Equal dates have equal levels:
// nothing to print above the name.
static void
entry(field date, field name)
{
	bool changed = !prev.set;
	field part[levels];

	if (changed || date.n != prev.len || memcmp(date.p, prev.buf, date.n) != 0) {
		for (int i = 0; i < levels; i++) {
			part[i] = cut(date.p, date.n, i + 1, '-');
			if (!changed)
				changed = part[i].n != prev.n[i] ||
				          memcmp(part[i].p, prev.buf + prev.at[i], part[i].n) != 0;
			if (changed) {
				outtabs(i);
				outs(part[i].p, part[i].n);
				outln(i < levels - 1 ? "-" : " ", 1);
			}
		}
		remember(date, part);
	}
	outtabs(levels);
	outln(name.p, name.n);
}

int
main()
{
	char *line;
	size_t len;

	while ((line = drainline(0, &len)) != nullptr) {
		if (len > 0)
			len--; // the line end
		entry(cut(line, len, 1, ' '), cut(line, len, 2, ' '));
	}
	outend(errno);
	return 0;
}
