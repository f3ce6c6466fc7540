// Line readers shared by the line-oriented programs.
#ifndef READLINE_H
#define READLINE_H

#include <stddef.h>

#include <functional>

// Called once per line; returns 0 to go on, anything else to stop.
using linecb = std::function<int(char *)>;

// Returns the next line of fd, "\n" included, or null at its end (errno 0)
// or after a failed read (errno set). The line is borrowed: valid until the
// next call. No byte past the line's end is taken from fd, so after a call
// its position lies just after the line, and the caller may read or seek fd
// itself between calls. This holds for readers that take turns with it; a
// process reading the same open file or pipe at the same moment may see the
// position move ahead and back, or take bytes readline has looked at.
char *readline(int fd);

// Hands every line of fd to cb until the input ends or cb returns non-zero.
// Returns 0, or -1 when a read failed (errno set).
int freadline(int fd, const linecb &cb);

// Writes all n bytes to fd, finishing short writes and waiting out EAGAIN on
// a descriptor shared with a caller who left it non-blocking. On any other
// failure the program ends: "NAME: write error: REASON", status 1.
void writeall(int fd, const char *p, size_t n);

// Ends a program that read with readline and printed on standard output:
// flushes it, then reports a write error, or the read error e that
// readline left in errno (0 for none), with status 1.
void endout(int e);

#endif
