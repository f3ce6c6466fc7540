// Line readers shared by the line-oriented programs.
#ifndef READLINE_H
#define READLINE_H

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

#endif
