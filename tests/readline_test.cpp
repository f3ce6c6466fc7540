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
// a child in pieces of the given size, pausing between them.
struct source {
	int fd = -1;
	pid_t writer = -1;
};

source
fromfile(const std::string &bytes)
{
	std::string dir = tempdir();
	putfile(dir + "/in", bytes);
	source s;
	s.fd = open((dir + "/in").c_str(), O_RDONLY);
	return s;
}

source
frompipe(const std::string &bytes, size_t piece = 0, int pause_us = 0)
{
	int p[2];
	source s;
	if (pipe(p) != 0)
		return s;
	if ((s.writer = fork()) == 0) {
		close(p[0]);
		size_t step = piece ? piece : bytes.size();
		for (size_t off = 0; off < bytes.size(); off += step) {
			if (pause_us)
				usleep(pause_us);
			size_t n = std::min(step, bytes.size() - off);
			if (write(p[1], bytes.data() + off, n) != static_cast<ssize_t>(n))
				_exit(1);
		}
		_exit(0);
	}
	close(p[1]);
	s.fd = p[0];
	return s;
}

void
finish(source &s)
{
	close(s.fd);
	if (s.writer > 0)
		reap_within(s.writer, 30);
}

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
std::vector<std::string>
pull(int fd, reader_fn reader = readline)
{
	std::vector<std::string> v;
	char *l;
	while ((errno = EDOM, l = next(fd, reader)) != nullptr)
		v.push_back(l);
	return v;
}

std::vector<std::string>
push(int fd, int stop_after = 0, int *ret = nullptr)
{
	std::vector<std::string> v;
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

using lines = std::vector<std::string>;

struct lcase {
	const char *name;
	std::string in;
	lines pulled, pushed;
};

const std::string big(10000, 'x');
const std::string block_end = std::string(999, 'b') + "\n";
// Lines across and longer than drainline's 64 KiB blocks.
const std::string wide = std::string(65530, 'p') + "\n", wider = std::string(140000, 'q');

const lcase lcases[] = {
        {"empty", "", {}, {}},
        {"no_final_newline", "abc", {"abc\n"}, {"abc"}},
        {"newline_only", "\n", {"\n"}, {"\n"}},
        {"two_lines", "a\nb\n", {"a\n", "b\n"}, {"a\n", "b\n"}},
        {"long_line", big + "\nz\n", {big + "\n", "z\n"}, {big + "\n", "z\n"}},
        {"long_last_line", big, {big + "\n"}, {big}},
        {"ends_at_block_end", block_end + "next\n", {block_end, "next\n"}, {block_end, "next\n"}},
        {"split_over_blocks",
         std::string(998, 'c') + "\nde\n" + std::string(1500, 'f') + "\n",
         {std::string(998, 'c') + "\n", "de\n", std::string(1500, 'f') + "\n"},
         {std::string(998, 'c') + "\n", "de\n", std::string(1500, 'f') + "\n"}},
        {"nul_inside", std::string("a\0b\nx\n", 6), {"a", "x\n"}, {"a", "x\n"}},
        {"nul_first", std::string("\0b\nx\n", 5), {"", "x\n"}, {"", "x\n"}},
        {"nul_in_last", std::string("a\0b", 3), {"a"}, {"a"}},
        // On a pipe, a line read in pieces, the NUL in the first.
        {"nul_before_a_piece",
         std::string("ab\0", 3) + std::string(400, 'c') + "\nx\n",
         {"ab", "x\n"},
         {"ab", "x\n"}},
        {"buffer_sizes",
         "123456789012345\n1234567890123456\n12345678901234567\n" + big + "\nq\n",
         {"123456789012345\n", "1234567890123456\n", "12345678901234567\n", big + "\n", "q\n"},
         {"123456789012345\n", "1234567890123456\n", "12345678901234567\n", big + "\n", "q\n"}},
        // A NUL byte read before the line's start moves to the buffer's start.
        {"nul_past_a_block",
         "x\n" + std::string("a\0", 2) + wider + "\n",
         {"x\n", "a"},
         {"x\n", "a"}},
        {"past_a_block",
         wide + wider + "\nr\n" + wider,
         {wide, wider + "\n", "r\n", wider + "\n"},
         {wide, wider + "\n", "r\n", wider}},
};

using ::PrintTo; // rows print, and name their tests, by their name

class readers : public testing::TestWithParam<lcase>
{
};

TEST_P(readers, readline_on_file)
{
	source s = fromfile(GetParam().in);
	EXPECT_EQ(pull(s.fd), GetParam().pulled);
	EXPECT_EQ(errno, 0);
	finish(s);
}

// Small pieces, and pieces that do not divide a block for the long rows.
size_t
piece(const std::string &in)
{
	return in.size() > 20000 ? 4099 : 7;
}

TEST_P(readers, readline_on_pipe_in_pieces)
{
	source s = frompipe(GetParam().in, piece(GetParam().in), 100);
	EXPECT_EQ(pull(s.fd), GetParam().pulled);
	finish(s);
}

TEST_P(readers, drainline_on_file)
{
	source s = fromfile(GetParam().in);
	EXPECT_EQ(pull(s.fd, drainline), GetParam().pulled);
	EXPECT_EQ(errno, 0);
	finish(s);
}

TEST_P(readers, drainline_on_pipe_in_pieces)
{
	source s = frompipe(GetParam().in, piece(GetParam().in), 100);
	EXPECT_EQ(pull(s.fd, drainline), GetParam().pulled);
	EXPECT_EQ(errno, 0);
	finish(s);
}

TEST_P(readers, freadline_on_file)
{
	source s = fromfile(GetParam().in);
	int ret = -2;
	EXPECT_EQ(push(s.fd, 0, &ret), GetParam().pushed);
	EXPECT_EQ(ret, 0);
	finish(s);
}

TEST_P(readers, freadline_on_pipe_in_pieces)
{
	source s = frompipe(GetParam().in, 333, 100);
	EXPECT_EQ(push(s.fd), GetParam().pushed);
	finish(s);
}

INSTANTIATE_TEST_SUITE_P(cases, readers, testing::ValuesIn(lcases),
                         testing::PrintToStringParamName());

// readline must leave every byte after the returned line in the descriptor.
const std::string text = "one\ntwo\n" + big + "\nthree\nfour\nfive";

TEST(readline_position, file)
{
	source s = fromfile(text);
	EXPECT_STREQ(next(s.fd), "one\n");
	EXPECT_EQ(lseek(s.fd, 0, SEEK_CUR), 4);
	EXPECT_STREQ(next(s.fd), "two\n");
	EXPECT_EQ(next(s.fd), big + "\n");
	EXPECT_EQ(rest(s.fd), "three\nfour\nfive");
	finish(s);
}

TEST(readline_position, pipe_in_small_pieces)
{
	source s = frompipe(text, 3, 200);
	EXPECT_STREQ(next(s.fd), "one\n");
	EXPECT_STREQ(next(s.fd), "two\n");
	EXPECT_EQ(next(s.fd), big + "\n");
	EXPECT_STREQ(next(s.fd), "three\n");
	EXPECT_EQ(rest(s.fd), "four\nfive");
	finish(s);
}

TEST(readline_position, nul_line_taken_whole)
{
	source s = frompipe(std::string("a\0b\nx\n", 6));
	EXPECT_STREQ(next(s.fd), "a");
	EXPECT_EQ(rest(s.fd), "x\n");
	finish(s);
}

TEST(readline_state, reads_again_after_end)
{
	for (reader_fn reader : {readline, drainline}) {
		int p[2];
		ASSERT_EQ(pipe(p), 0);
		ASSERT_EQ(write(p[1], "a\n", 2), 2);
		int dup1 = dup(p[1]);
		close(p[1]);
		EXPECT_STREQ(next(p[0], reader), "a\n");
		// The write end is still open through dup1: write more, then close.
		ASSERT_EQ(write(dup1, "b", 1), 1);
		close(dup1);
		EXPECT_STREQ(next(p[0], reader), "b\n");
		EXPECT_EQ(next(p[0], reader), nullptr);
		EXPECT_EQ(errno, 0);
		EXPECT_EQ(next(p[0], reader), nullptr);
		EXPECT_EQ(errno, 0);
		close(p[0]);
	}
}

TEST(freadline_stop, callback_stops_on_first_line)
{
	source s = fromfile("a\nb\nc\n");
	int ret = -2;
	EXPECT_EQ(push(s.fd, 1, &ret), lines{"a\n"});
	EXPECT_EQ(ret, 0);
	// The rest of the block already read is dropped, not left in fd.
	EXPECT_EQ(rest(s.fd), "");
	finish(s);
}

TEST(freadline_stop, callback_may_change_the_line)
{
	source s = fromfile("ab\ncd\n");
	lines seen;
	auto cb = [&](char *l, size_t) {
		l[0] = 'X';
		l[strlen(l) - 1] = '\0';
		seen.push_back(l);
		return 0;
	};
	freadline(s.fd, tocb(cb));
	EXPECT_EQ(seen, (lines{"Xb", "Xd"}));
	finish(s);
}

// Failed reads: the callers can tell them from the end of input. freadline's
// and drainline's show in every program's read errors.
TEST(read_failure, readline_on_directory)
{
	int fd = open("/", O_RDONLY | O_DIRECTORY);
	errno = 0;
	EXPECT_EQ(next(fd), nullptr);
	EXPECT_EQ(errno, EISDIR);
	close(fd);
}

TEST(read_failure, bad_descriptor)
{
	EXPECT_EQ(next(-1), nullptr);
	EXPECT_EQ(errno, EBADF);
}

// A descriptor left non-blocking, empty at first, is waited on.
TEST(nonblocking, both_readers_wait)
{
	source s = frompipe("late\nline", 4, 20000);
	fcntl(s.fd, F_SETFL, O_NONBLOCK);
	EXPECT_STREQ(next(s.fd), "late\n");
	EXPECT_EQ(push(s.fd), lines{"line"});
	finish(s);
}

// A signal that interrupts a blocked read must not end the input.
int hits;
void
onsig(int)
{
	hits++;
}

TEST(eintr, both_readers_retry)
{
	struct sigaction sa = {}, old;
	sa.sa_handler = onsig; // no SA_RESTART: the read fails with EINTR
	sigaction(SIGUSR1, &sa, &old);
	for (int reader = 0; reader < 2; reader++) {
		int p[2];
		ASSERT_EQ(pipe(p), 0);
		pid_t parent = getpid(), c = fork();
		if (c == 0) {
			for (int i = 0; i < 5; i++) {
				usleep(20000);
				kill(parent, SIGUSR1);
			}
			usleep(20000);
			_exit(write(p[1], "x\ny\n", 4) == 4 ? 0 : 1);
		}
		close(p[1]);
		hits = 0;
		if (reader == 0) {
			EXPECT_STREQ(next(p[0]), "x\n");
			EXPECT_STREQ(next(p[0]), "y\n");
		} else {
			EXPECT_EQ(push(p[0]), (lines{"x\n", "y\n"}));
		}
		EXPECT_GE(hits, 1);
		close(p[0]);
		reap_within(c, 30);
	}
	sigaction(SIGUSR1, &old, nullptr);
}

// A failure that a descriptor reports once, in the middle of a line, comes
// after that line, even though the descriptor then reads as its end: a
// socket whose peer closes with bytes of ours unread is reset.
TEST(read_failure, reset_mid_line_is_kept)
{
	for (int reader = 0; reader < 3; reader++) {
		int sv[2];
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
		ASSERT_EQ(write(sv[1], "a\nbc", 4), 4);
		ASSERT_EQ(write(sv[0], "unread", 6), 6);
		close(sv[1]);
		lines got;
		int ret = 0;
		if (reader == 2)
			got = push(sv[0], 0, &ret);
		else
			got = pull(sv[0], reader == 0 ? readline : drainline);
		int e = errno;
		EXPECT_EQ(got, (lines{"a\n", reader == 2 ? "bc" : "bc\n"})) << reader;
		EXPECT_EQ(e, ECONNRESET) << reader;
		// The failure comes once; then the descriptor reads as it does.
		if (reader < 2) {
			EXPECT_EQ(pull(sv[0], reader == 0 ? readline : drainline), lines{})
			        << reader;
			EXPECT_EQ(errno, 0) << reader;
		}
		close(sv[0]);
	}
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
