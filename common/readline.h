// Line readers shared by the line-oriented programs.
//
// Which reader to use:
// - drainline: a program that reads its input to the end. Fast: one read
//   call per 64 KiB. It takes bytes past the line it returns, so the
//   descriptor's position tells nothing.
// - readline: a caller that shares the descriptor and reads or seeks it
//   between calls. Exact: it takes nothing past the line, at the cost of one
//   read call per byte.
// - freadline: a program that wants each line handed to a callback.
//
// All three cut the same lines: each ends with its "\n" (freadline alone
// hands out a last line that lacks one as it is), a NUL byte is kept inside
// a line (which then reads as ending there), EINTR is retried and a
// descriptor left non-blocking is waited on. Each hands out a line's length
// with it, up to its first NUL as strlen would count, so that no caller
// measures it again. A failed read is never lost:
// when it ends a pending line, that line is handed out first and the failure
// comes next.
#ifndef READLINE_H
#define READLINE_H

#include <stddef.h>

// A line callback: fn(ctx, line, len) is called once per line and returns 0
// to go on, anything else to stop. ctx is the state it works on, which the
// caller keeps.
struct linecb {
	int (*fn)(void *ctx, char *line, size_t len);
	void *ctx;
};

// The callback that calls f(line, len), for any callable f, such as a
// lambda with its captures. f is taken by name, never as a temporary, for it
// must outlive the callback. No C++ runtime is needed, and a call costs a function
// pointer's.
template <class F>
linecb
tocb(F &f)
{
	return {[](void *ctx, char *line, size_t len) -> int {
		        return (*static_cast<F *>(ctx))(line, len);
	        },
	        &f};
}

// Returns the next line of fd, "\n" included (one is added to a last line
// that lacks it), or null at its end (errno 0) or after a failed read (errno
// set), with its length in *len. The line is borrowed: valid until the next
// call. No byte past the line's end is taken from fd, so after a call its
// position lies just after the line, and the caller may read or seek fd
// itself between calls.
char *readline(int fd, size_t *len);

// Returns the next line of fd as readline does, but reads fd in 64 KiB
// blocks and keeps what lies past the line for the next call. One descriptor
// at a time: a call for another descriptor drops what was kept. After it has
// returned null, the next call starts afresh.
char *drainline(int fd, size_t *len);

// Hands every line of fd to cb until the input ends or cb returns non-zero.
// A last line that lacks "\n" is handed over without one. Returns 0, or -1
// when a read failed (errno set).
int freadline(int fd, linecb cb);

#endif
