// Line readers shared by the line-oriented programs.
#ifndef READLINE_H
#define READLINE_H

#include <functional>

// Called once per line; returns 0 to go on, anything else to stop.
using linecb = std::function<int(char *)>;

// Returns the next line of fd, "\n" included, or null at its end (errno 0)
// or after a failed read (errno set). The line is borrowed: valid until the
// next call. No byte past the line's end is taken from fd, so after a call
// its position lies just after the line. On a pipe, readline remembers the
// bytes it saw waiting there: a program that also reads the pipe itself must
// stop using readline on it from then on.
char *readline(int fd);

// Hands every line of fd to cb until the input ends or cb returns non-zero.
// Returns 0, or -1 when a read failed (errno set).
int freadline(int fd, const linecb &cb);

#endif
