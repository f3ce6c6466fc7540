// argscrub: print a text cut to a maximum length and, on request, cleaned
// for use as a file name.
#include <err.h>
#include <stdlib.h>
#include <string.h>

#include "sys.h"

static constexpr char permitted[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                    "abcdefghijklmnopqrstuvwxyz"
                                    "0123456789"
                                    " .-+_\r\n";

static bool
isok(unsigned char b)
{
	return b != '\0' && b < 0x80 && strchr(permitted, b) != nullptr;
}

// The number after "max", clamped to the int range; -1 (no limit) when the
// option word is not a "max" option.
static int
getlimit(const char *opt)
{
	return strncmp(opt, "max", 3) == 0 ? intnum(opt + 3, nullptr) : -1;
}

// A heap copy of text; one longer than limit becomes its first limit - 1
// bytes and "_". A limit of 0 leaves nothing to mark the cut, so it gives "".
static char *
clip(const char *text, int limit)
{
	size_t n = strlen(text);
	bool cut = limit >= 0 && n > static_cast<size_t>(limit);

	if (cut)
		n = static_cast<size_t>(limit);
	char *s = static_cast<char *>(xrealloc(nullptr, n + 1));
	memcpy(s, text, n);
	s[n] = '\0';
	if (cut && n > 0)
		s[n - 1] = '_';
	return s;
}

// Replaces every byte not fit for a file name with "_", in place. A run of
// bytes of 128 or more (a multi-byte character) gives one "_", and shares it
// with a non-permitted byte below 128 right before or after the run. It
// takes the string's address, as the result's owner holds it, and keeps the
// string where it is: only its bytes and length change.
static void
filt_filename(char **sp)
{
	char *s = *sp;
	size_t r = 0, w = 0;
	bool afterhigh = false, lastok = true;

	for (; s[r] != '\0'; r++) {
		unsigned char b = s[r];
		bool ok = isok(b);
		if (ok && afterhigh && lastok)
			w++; // keep the "_" of the run that just ended
		afterhigh = b >= 0x80;
		s[w] = ok ? static_cast<char>(b) : '_';
		if (!afterhigh) {
			w++;
			lastok = ok;
		}
	}
	if (afterhigh && lastok)
		w++;
	s[w] = '\0';
}

int
main(int argc, char *argv[])
{
	if (argc < 3)
		return 1;
	int limit = argc > 3 ? getlimit(argv[2]) : -1;
	char *res = clip(argv[argc > 3 ? 3 : 2], limit);
	if (strcmp(argv[1], "filename") == 0)
		filt_filename(&res);
	xwriteall(1, res, strlen(res));
	free(res);
	return 0;
}
