// What only absentees does; what every program does is in every_program_test.cpp.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace
{

// root holds x; dir, inside it, is what the names are looked up in.
std::string root, dir;

void
expect(const run_result &r, const std::string &out, const std::string &err, int status)
{
	EXPECT_EQ(visible(r.out), visible(out));
	EXPECT_EQ(r.err, err);
	EXPECT_EQ(r.status, status);
}

class absentees : public testing::Test
{
      protected:
	static void SetUpTestSuite()
	{
		root = tempdir();
		dir = root + "/d";
		ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
		ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
		for (const char *f : {"/x", "/d/here", "/d/a", "/d/sub/in"})
			putfile(root + f, "");
		ASSERT_EQ(symlink("nowhere", (dir + "/dangling").c_str()), 0);
		ASSERT_EQ(symlink("loop", (dir + "/loop").c_str()), 0);
		// Dated past 2038, which a 32-bit time_t cannot hold.
		putfile(dir + "/future", "");
		ASSERT_EQ(symlink("future", (dir + "/flink").c_str()), 0);
		const struct timespec t[2] = {{2208988800, 0}, {2537049600, 0}};
		for (const char *f : {"/future", "/flink"})
			ASSERT_EQ(utimensat(AT_FDCWD, (dir + f).c_str(), t, AT_SYMLINK_NOFOLLOW),
			          0);
		// Sparse: 3 GiB of size that takes no room.
		putfile(dir + "/big", "");
		ASSERT_EQ(truncate((dir + "/big").c_str(), 3LL << 30), 0);
	}
};

struct tcase {
	const char *name;
	std::string in, out;
};

const tcase cases[] = {
        {"empty_input", "", ""},
        {"exists_and_not", "here\ngone\na\nb\n", "gone\nb\n"},
        {"order_kept", "z\nhere\ny\nx\n", "z\ny\nx\n"},
        {"dangling_link_exists", "dangling\n", ""},
        {"link_loop_is_a_name", "loop\nloop/x\n", "loop/x\n"},
        {"big_file_exists", "big\n", ""},
        {"dated_after_2038", "future\nflink\nmissing\n", "missing\n"},
        {"directory_and_inside", "sub\nsub/in\nsub/out\nsub/\n", "sub/out\n"},
        {"through_a_file", "here/x\n", "here/x\n"},
        {"empty_line_printed", "\nhere\n\n", "\n\n"},
        {"trailing_space_kept", "here \n a\nhere\n", "here \n a\n"},
        {"parent_relative", "../x\n../y\n", "../y\n"},
        {"absolute", "/etc/passwd\n/nonexistent/absentees\n", "/nonexistent/absentees\n"},
        {"too_long", std::string(300, 'n') + "\n", std::string(300, 'n') + "\n"},
        {"too_long_path", std::string(5000, '/') + "gone\n", std::string(5000, '/') + "gone\n"},
        // A last line without a line end is a whole name.
        {"last_line_bare_absent", "here\ngone", "gone\n"},
        {"last_line_bare_present", "gone\nhere", "gone\n"},
        {"one_byte_bare", "q", "q\n"},
        // A NUL ends the name; a NUL first prints nothing.
        {"nul_first", std::string("\0gone\nhere\nb\n", 12), "b\n"},
        {"nul_inside_absent", std::string("gon\0e\n", 6), "gon\n"},
        {"nul_inside_present", std::string("here\0zz\nb\n", 10), "b\n"},
        {"nul_in_bare_last", std::string("b\nc\0d", 5), "b\nc\n"},
        // Each name cut by a NUL is longer than the one before.
        {"nul_names_growing", std::string("gon\0e\ngone\0x\ngone1\0\n", 20), "gon\ngone\ngone1\n"},
        // A name one byte longer than the one before: the line end added to
        // it needs the buffer to grow too. Written past the end, it breaks
        // glibc's heap, which the long names after it bring to light.
        {"nul_names_one_longer",
         std::string(23, 'p') + std::string("\0x\n", 3) + std::string(24, 'q') +
                 std::string("\0y\n", 3) + std::string(100000, 'r') + "\n" +
                 std::string(20000, 's') + std::string("\0z\n", 3),
         std::string(23, 'p') + "\n" + std::string(24, 'q') + "\n" + std::string(100000, 'r') +
                 "\n" + std::string(20000, 's') + "\n"},
        {"long_line", std::string(3000, 'k') + "\nhere\n", std::string(3000, 'k') + "\n"},
};

using ::PrintTo; // rows print, and name their tests, by their name

class absentees_cases : public absentees, public testing::WithParamInterface<tcase>
{
};

TEST_P(absentees_cases, prints_absent_names)
{
	const tcase &c = GetParam();
	run_result r = runtool("absentees", {dir, "ignored"}, c.in);
	expect(r, c.out, "", 0);
}

INSTANTIATE_TEST_SUITE_P(cases, absentees_cases, testing::ValuesIn(cases),
                         testing::PrintToStringParamName());

TEST_F(absentees, without_dir_uses_current)
{
	run_opts o;
	o.cwd = dir;
	run_result r = runtool("absentees", {}, "here\ngone\n", o);
	expect(r, "gone\n", "", 0);
}

TEST_F(absentees, failures)
{
	std::string list = root + "/list";
	putfile(list, "gone\n");
	struct row {
		const char *name;
		std::string arg, err;
		run_opts o;
	} rows[] = {
	        {"dir_missing",
	         dir + "/nope",
	         "absentees: " + dir + "/nope: No such file or directory\n",
	         {}},
	        {"dir_a_file", dir + "/here", "absentees: " + dir + "/here: Not a directory\n", {}},
	        {"dir_empty", "", "absentees: : No such file or directory\n", {}},
	        // The list must not be opened for writing.
	        {"stdout_closed",
	         dir,
	         "absentees: write error: Bad file descriptor\n",
	         {.in_path = list, .close_out = true}},
	};
	for (auto &w : rows) {
		SCOPED_TRACE(w.name);
		run_result r =
		        runtool("absentees", {w.arg}, w.o.in_path.empty() ? "gone\n" : "", w.o);
		expect(r, "", w.err, 1);
	}
	EXPECT_EQ(getfile(list), "gone\n");
}

// Permission bits do not stop root, so as root the program runs as nobody,
// from a copy that nobody can reach.
class absentees_locked : public testing::Test
{
      protected:
	std::string top, d;
	std::vector<std::string> argv;

	void SetUp() override
	{
		top = tempdir();
		d = top + "/d";
		ASSERT_EQ(chmod(top.c_str(), 0755), 0);
		for (const char *s : {"/d", "/d/open", "/d/shut"})
			ASSERT_EQ(mkdir((top + s).c_str(), 0755), 0);
		putfile(d + "/open/f", "");
		putfile(d + "/shut/f", "");
		ASSERT_EQ(chmod((d + "/shut").c_str(), 0600), 0);
		std::string prog = tool("absentees");
		if (geteuid() == 0) {
			if (access("/usr/bin/setpriv", X_OK) != 0 || getpwnam("nobody") == nullptr)
				GTEST_SKIP() << "running as root without setpriv or a nobody user";
			prog = top + "/absentees";
			putfile(prog, getfile(tool("absentees")));
			ASSERT_EQ(chmod(prog.c_str(), 0755), 0);
			argv = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
			        "--clear-groups"};
			run_result t = run({argv[0], argv[1], argv[2], argv[3], "/bin/true"});
			if (t.status != 0)
				GTEST_SKIP() << "cannot become nobody: " << t.err;
		}
		argv.push_back(prog);
	}

	void TearDown() override
	{
		chmod((d + "/shut").c_str(), 0755); // for the harness to remove it
	}

	run_result go(const std::string &arg, const std::string &in)
	{
		std::vector<std::string> a = argv;
		a.push_back(arg);
		run_opts o;
		o.cwd = top;
		o.in = in;
		return run(a, o);
	}
};

TEST_F(absentees_locked, name_in_unsearchable_dir)
{
	run_result r = go(d, "shut/f\nopen/f\nshut/g\nopen/g\n");
	expect(r, "shut/f\nshut/g\nopen/g\n",
	       "absentees: shut/f: Permission denied\n"
	       "absentees: shut/g: Permission denied\n",
	       1);
}

TEST_F(absentees_locked, unsearchable_dir_given)
{
	run_result r = go(d + "/shut", "f\ng\n");
	expect(r, "", "absentees: " + d + "/shut: Permission denied\n", 1);
}

} // namespace
