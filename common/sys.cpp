#include "sys.h"

static constexpr size_t bufsz = 65536;
// TABs enough for most indents, put in with a few word stores
static constexpr char tabs[] = "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t"
                               "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t";

// Standard output's buffer, with room for all those TABs past its end. tty
// is -1 until the first line end tells.
static struct {
	char buf[bufsz + sizeof tabs];
	size_t len;
	int tty = -1;
} ob;

static void
drain()
{
	xwriteall(1, ob.buf, ob.len);
	ob.len = 0;
}

// Appends what does not fit, with the buffer full in between. Full blocks
// go out as they come; text longer than a block, directly. Out of line, so
// that the common case saves nothing around its call of memcpy.
[[gnu::noinline]] static void
spill(const char *p, size_t n)
{
	size_t room = bufsz - ob.len;

	memcpy(ob.buf + ob.len, p, room);
	ob.len += room;
	drain();
	p += room;
	n -= room;
	if (n >= bufsz)
		xwriteall(1, p, n);
	else
		outs(p, n);
}

void
outs(const char *p, size_t n)
{
	size_t at = ob.len;

	if (n > bufsz - at)
		return spill(p, n);
	ob.len = at + n;
	memcpy(ob.buf + at, p, n);
}

// outln for a line that does not fit, or a terminal, or the first line.
[[gnu::noinline]] static void
spillln(const char *p, size_t n)
{
	if (ob.tty == -1)
		ob.tty = isatty(1);
	outs(p, n);
	if (ob.len == bufsz)
		drain();
	ob.buf[ob.len++] = '\n';
	if (ob.tty)
		drain();
}

void
outln(const char *p, size_t n)
{
	size_t at = ob.len;

	if (ob.tty != 0 || n >= bufsz - at)
		return spillln(p, n);
	ob.buf[at + n] = '\n';
	ob.len = at + n + 1;
	memcpy(ob.buf + at, p, n);
}

[[gnu::noinline]] static void
spilltabs(size_t k)
{
	for (; k > sizeof tabs - 1; k -= sizeof tabs - 1)
		outs(tabs, sizeof tabs - 1);
	outs(tabs, k);
}

// All of tabs goes in, whatever k up to their number is: only k of them
// count.
void
outtabs(size_t k)
{
	size_t at = ob.len;

	if (k > sizeof tabs - 1 || k > bufsz - at)
		return spilltabs(k);
	memcpy(ob.buf + at, tabs, sizeof tabs - 1);
	ob.len = at + k;
}

// A fault writes out what was printed before it.
[[gnu::constructor]] static void
hold()
{
	pending = drain;
}

void
outend(int e)
{
	if (e != 0) {
		errno = e;
		die("read error");
	}
	drain();
}
