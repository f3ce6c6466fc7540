// absentees: print the names, read one per line, that do not exist in a
// directory.

#include <sys/stat.h>

#include <err.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "readline.h"
#include "sys.h"

// What the line callback works on for the whole run.
struct state {
	struct stat sb; // filled by each lookup; only success matters
	int out;        // shares standard output
	size_t len;     // the current line's length, up to its first NUL
	char *buf;      // a name that came without a line end, with one added
	size_t cap;     // the size of buf
	int status;     // 1 once a lookup failed for another reason than absence
};

// Prints a name that came without a line end with one added, still in one
// write.
static void
putnl(state &st, const char *name)
{
	st.buf = static_cast<char *>(xgrow(st.buf, &st.cap, st.len + 1));
	memcpy(st.buf, name, st.len);
	st.buf[st.len] = '\n';
	xwriteall(st.out, st.buf, st.len + 1);
}

// True when the lookup fails. Failures other than absence say nothing about
// the name: the name is still printed, but the failure is reported too.
static bool
absent(state &st, const char *name)
{
	if (lstat(name, &st.sb) == 0)
		return false;
	if (errno != ENOENT && errno != ENOTDIR && errno != ENAMETOOLONG && errno != ELOOP) {
		warn("%s", name);
		st.status = 1;
	}
	return true;
}

int
main(int argc, char *argv[])
{
	state st = {};
	int in = share(0);

	st.out = share(1);
	// Answering for another directory than the one asked about is wrong.
	if (argc > 1 && chdir(argv[1]) == -1)
		die("%s", argv[1]);

	// The last line of an input without a final line end, and a line cut
	// short by a NUL, are names with all their text.
	auto af = [&st](char *line, size_t len) {
		if ((st.len = len) == 0)
			return 0;
		if (line[st.len - 1] != '\n') {
			if (absent(st, line))
				putnl(st, line);
			return 0;
		}
		line[st.len - 1] = '\0';
		if (absent(st, line)) {
			line[st.len - 1] = '\n';
			xwriteall(st.out, line, st.len);
		}
		return 0;
	};
	if (freadline(in, tocb(af)) == -1)
		die("read error");
	free(st.buf);
	return st.status;
}
