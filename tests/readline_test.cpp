// What only the shared line readers do; the programs that use them are
// tested through what they print, in every_program_test.cpp and NAME_test.cpp.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"
#include "readline.h"
#include "sys.h"

namespace
{

// A descriptor that yields the given bytes: a regular file, or a pipe fed by
// a child in pieces of the given size (0: all at once), pausing before each.
// Before the first piece, the child sends its parent SIGUSR1 kicks times,
// pausing before each too. Closed, and its child collected, when it goes.
struct source {
	int fd = -1;
	pid_t writer = -1;
	source(const std::string &bytes, bool piped, size_t piece = 0, int pause_us = 0,
	       int kicks = 0)
	{
		int p[2];
		if (!piped) {
			std::string path = tempdir() + "/in";
			putfile(path, bytes);
			fd = open(path.c_str(), O_RDONLY);
		} else if (pipe(p) == 0 && (writer = fork()) == 0) {
			close(p[0]);
			for (int i = 0; i < kicks; i++) {
				usleep(pause_us);
				kill(getppid(), SIGUSR1);
			}
			size_t step = piece ? piece : bytes.size();
			for (size_t off = 0; off < bytes.size(); off += step) {
				usleep(pause_us);
				size_t n = std::min(step, bytes.size() - off);
				if (write(p[1], bytes.data() + off, n) != static_cast<ssize_t>(n))
					_exit(1);
			}
			_exit(0);
		} else if (writer > 0) {
			close(p[1]);
			fd = p[0];
		}
	}
	source(const source &) = delete;
	~source()
	{
		close(fd);
		if (writer > 0)
			reap_within(writer, 30);
	}
};

std::string
rest(int fd)
{
	std::string r;
	char buf[4096];
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		r.append(buf, n);
	return r;
}

using reader_fn = char *(*)(int, size_t *);
using lines = std::vector<std::string>;

// The next line a pull reader returns, whose length must come with it.
char *
next(int fd, reader_fn reader = readline)
{
	size_t len = SIZE_MAX;
	char *l = reader(fd, &len);
	if (l != nullptr) {
		EXPECT_EQ(len, strlen(l));
	}
	return l;
}

// Every line a pull reader returns, as the bytes it reads as (up to a NUL).
// Each call starts with an errno that the reader must not leave in place, as
// a caller's own work between calls would leave it.
lines
pull(int fd, reader_fn reader = readline)
{
	lines v;
	char *l;
	while ((errno = EDOM, l = next(fd, reader)) != nullptr)
		v.push_back(l);
	return v;
}

lines
push(int fd, int stop_after = 0, int *ret = nullptr)
{
	lines v;
	errno = EDOM;
	auto cb = [&](char *l, size_t len) {
		EXPECT_EQ(len, strlen(l));
		v.push_back(l);
		return stop_after && static_cast<int>(v.size()) == stop_after;
	};
	int r = freadline(fd, tocb(cb));
	if (ret)
		*ret = r;
	return v;
}

// The three readers by number, each to the end of fd.
const char *const names[] = {"readline", "drainline", "freadline"};

lines
all(int fd, int reader, int *ret = nullptr)
{
	return reader == 2 ? push(fd, 0, ret) : pull(fd, reader == 0 ? readline : drainline);
}

struct lcase {
	const char *name;
	std::string in;
	lines pulled, pushed;
};

const std::string big(10000, 'x');
const std::string block_end = std::string(999, 'b') + "\n", c998 = std::string(998, 'c') + "\n",
                  f1500 = std::string(1500, 'f') + "\n";
// Lines across and longer than drainline's 64 KiB blocks.
const std::string wide = std::string(65530, 'p') + "\n", wider = std::string(140000, 'q');

// clang-format off
const lcase lcases[] = {
	{"empty", "", {}, {}},
	{"no_final_newline", "abc", {"abc\n"}, {"abc"}},
	{"newline_only", "\n", {"\n"}, {"\n"}},
	{"two_lines", "a\nb\n", {"a\n", "b\n"}, {"a\n", "b\n"}},
	{"long_line", big + "\nz\n", {big + "\n", "z\n"}, {big + "\n", "z\n"}},
	{"long_last_line", big, {big + "\n"}, {big}},
	{"ends_at_block_end", block_end + "next\n", {block_end, "next\n"}, {block_end, "next\n"}},
	{"split_over_blocks", c998 + "de\n" + f1500, {c998, "de\n", f1500}, {c998, "de\n", f1500}},
	{"nul_inside", std::string("a\0b\nx\n", 6), {"a", "x\n"}, {"a", "x\n"}},
	{"nul_first", std::string("\0b\nx\n", 5), {"", "x\n"}, {"", "x\n"}},
	{"nul_in_last", std::string("a\0b", 3), {"a"}, {"a"}},
	// On a pipe, a line read in pieces, the NUL in the first.
	{"nul_before_a_piece", std::string("ab\0", 3) + std::string(400, 'c') + "\nx\n", {"ab", "x\n"}, {"ab", "x\n"}},
	{"buffer_sizes", "123456789012345\n1234567890123456\n12345678901234567\n" + big + "\nq\n", {"123456789012345\n", "1234567890123456\n", "12345678901234567\n", big + "\n", "q\n"}, {"123456789012345\n", "1234567890123456\n", "12345678901234567\n", big + "\n", "q\n"}},
	// A NUL byte read before the line's start moves to the buffer's start.
	{"nul_past_a_block", "x\n" + std::string("a\0", 2) + wider + "\n", {"x\n", "a"}, {"x\n", "a"}},
	{"past_a_block", wide + wider + "\nr\n" + wider, {wide, wider + "\n", "r\n", wider + "\n"}, {wide, wider + "\n", "r\n", wider}},
};
// clang-format on

// Each reader on a file, and on a pipe fed in pieces: small ones, and ones
// that do not divide a block for the long rows. Each ends as the end of
// input: errno 0 or 0 returned.
void
check(const lcase &c)
{
	for (int way = 0; way < 6; way++) {
		int reader = way / 2, ret = 0;
		bool piped = way % 2;
		SCOPED_TRACE(names[reader] + std::string(piped ? " on a pipe" : " on a file"));
		source s(c.in, piped, reader == 2 ? 333 : c.in.size() > 20000 ? 4099 : 7, 100);
		EXPECT_EQ(all(s.fd, reader, &ret), reader == 2 ? c.pushed : c.pulled);
		EXPECT_EQ(reader == 2 ? ret : errno, 0);
	}
}

using ::PrintTo; // a row prints as its name

TABLE(line_readers, lcases, check);

// readline leaves every byte after the returned line in the descriptor, and
// takes a line with a NUL byte whole.
TEST(readline_position, file_and_pipe_in_small_pieces)
{
	const std::string text = "one\ntwo\n" + big + "\nthree\nfour\nfive";
	for (bool piped : {false, true}) {
		source s(text, piped, 3, 200);
		EXPECT_STREQ(next(s.fd), "one\n");
		if (!piped) {
			EXPECT_EQ(lseek(s.fd, 0, SEEK_CUR), 4);
		}
		EXPECT_STREQ(next(s.fd), "two\n");
		EXPECT_EQ(next(s.fd), big + "\n");
		if (piped) {
			EXPECT_STREQ(next(s.fd), "three\n");
		}
		EXPECT_EQ(rest(s.fd), piped ? "four\nfive" : "three\nfour\nfive");
	}
	source s(std::string("a\0b\nx\n", 6), true);
	EXPECT_STREQ(next(s.fd), "a");
	EXPECT_EQ(rest(s.fd), "x\n");
}

// A reader that has handed out a line reads on for what was written after
// it; at the end it returns null, and null again when asked again.
TEST(readline_state, reads_again_after_end)
{
	for (reader_fn reader : {readline, drainline}) {
		int p[2];
		ASSERT_EQ(pipe(p), 0);
		ASSERT_EQ(write(p[1], "a\n", 2), 2);
		EXPECT_STREQ(next(p[0], reader), "a\n");
		// The write end is still open: write more, then close it.
		ASSERT_EQ(write(p[1], "b", 1), 1);
		close(p[1]);
		EXPECT_STREQ(next(p[0], reader), "b\n");
		for (int i = 0; i < 2; i++) {
			EXPECT_EQ(next(p[0], reader), nullptr);
			EXPECT_EQ(errno, 0);
		}
		close(p[0]);
	}
}

TEST(freadline_stop, callback_stops_on_first_line)
{
	source s("a\nb\nc\n", false);
	int ret = -2;
	EXPECT_EQ(push(s.fd, 1, &ret), lines{"a\n"});
	EXPECT_EQ(ret, 0);
	// The rest of the block already read is dropped, not left in fd.
	EXPECT_EQ(rest(s.fd), "");
}

TEST(freadline_stop, callback_may_change_the_line)
{
	source s("ab\ncd\n", false);
	lines seen;
	auto cb = [&](char *l, size_t) {
		l[0] = 'X';
		l[strlen(l) - 1] = '\0';
		seen.push_back(l);
		return 0;
	};
	freadline(s.fd, tocb(cb));
	EXPECT_EQ(seen, (lines{"Xb", "Xd"}));
}

// Failed reads: the callers can tell them from the end of input. freadline's
// and drainline's show in every program's read errors.
TEST(readline_failure, directory_and_bad_descriptor)
{
	int fd = open("/", O_RDONLY | O_DIRECTORY);
	errno = 0;
	EXPECT_EQ(next(fd), nullptr);
	EXPECT_EQ(errno, EISDIR);
	close(fd);
	EXPECT_EQ(next(-1), nullptr);
	EXPECT_EQ(errno, EBADF);
}

// A failure that a descriptor reports once, in the middle of a line, comes
// after that line, even though the descriptor then reads as its end: a
// socket whose peer closes with bytes of ours unread is reset.
TEST(readline_failure, reset_mid_line_is_kept)
{
	for (int reader = 0; reader < 3; reader++) {
		int sv[2];
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
		ASSERT_EQ(write(sv[1], "a\nbc", 4), 4);
		ASSERT_EQ(write(sv[0], "unread", 6), 6);
		close(sv[1]);
		lines got = all(sv[0], reader);
		int e = errno;
		EXPECT_EQ(got, (lines{"a\n", reader == 2 ? "bc" : "bc\n"})) << names[reader];
		EXPECT_EQ(e, ECONNRESET) << names[reader];
		// The failure comes once; then the descriptor reads as it does.
		if (reader < 2) {
			EXPECT_EQ(all(sv[0], reader), lines{}) << names[reader];
			EXPECT_EQ(errno, 0) << names[reader];
		}
		close(sv[0]);
	}
}

// A descriptor left non-blocking, empty at first, is waited on.
TEST(readline_nonblocking, both_readers_wait)
{
	source s("late\nline", true, 4, 20000);
	fcntl(s.fd, F_SETFL, O_NONBLOCK);
	EXPECT_STREQ(next(s.fd), "late\n");
	EXPECT_EQ(push(s.fd), lines{"line"});
}

// A signal that interrupts a blocked read must not end the input.
int hits;
void
onsig(int)
{
	hits++;
}

TEST(readline_eintr, both_readers_retry)
{
	struct sigaction sa = {}, old;
	sa.sa_handler = onsig; // no SA_RESTART: the read fails with EINTR
	sigaction(SIGUSR1, &sa, &old);
	for (int reader : {0, 2}) {
		hits = 0;
		source s("x\ny\n", true, 0, 20000, 5);
		EXPECT_EQ(all(s.fd, reader), (lines{"x\n", "y\n"})) << names[reader];
		EXPECT_GE(hits, 1) << names[reader];
	}
	sigaction(SIGUSR1, &old, nullptr);
}

// A size computed from input that does not fit ends the program as no
// memory does.
TEST(xsize, wrap_is_no_memory)
{
	EXPECT_EQ(xsize(3, 4, 5), 17u);
	EXPECT_EXIT(xsize(SIZE_MAX / 2 + 1, 2, 0), testing::ExitedWithCode(1),
	            ": Cannot allocate memory\n$");
	EXPECT_EXIT(xsize(1, SIZE_MAX, 1), testing::ExitedWithCode(1),
	            ": Cannot allocate memory\n$");
}

} // namespace
