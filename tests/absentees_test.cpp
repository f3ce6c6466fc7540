// What only absentees does; what every program does is in every_program_test.cpp.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace
{

// The world the rows run in, made once: its root holds x, a list of names,
// and d, the folder that the names are looked up in.
const std::string &
world()
{
	static const std::string root = [] {
		std::string r = tempdir(), d = r + "/d";
		EXPECT_EQ(chmod(r.c_str(), 0755), 0); // for nobody, below
		for (const char *s : {"/d", "/d/sub", "/d/open", "/d/shut"})
			EXPECT_EQ(mkdir((r + s).c_str(), 0755), 0);
		for (const char *f : {"/x", "/d/here", "/d/a", "/d/sub/in", "/d/open/f",
		                      "/d/shut/f", "/d/future", "/d/big"})
			putfile(r + f, "");
		putfile(r + "/list", "gone\n");
		EXPECT_EQ(symlink("nowhere", (d + "/dangling").c_str()), 0);
		EXPECT_EQ(symlink("loop", (d + "/loop").c_str()), 0);
		EXPECT_EQ(symlink("future", (d + "/flink").c_str()), 0);
		// Dated past 2038, which a 32-bit time_t cannot hold.
		const struct timespec t[2] = {{2208988800, 0}, {2537049600, 0}};
		for (const char *f : {"/future", "/flink"})
			EXPECT_EQ(utimensat(AT_FDCWD, (d + f).c_str(), t, AT_SYMLINK_NOFOLLOW), 0);
		// Sparse: 3 GiB of size that takes no room.
		EXPECT_EQ(truncate((d + "/big").c_str(), 3LL << 30), 0);
		return r;
	}();
	return root;
}

// How a row runs: as it is; in d; with standard input from the list and
// standard output closed; or where d/shut cannot be searched.
enum way { given, in_d, listed, locked };

// In a row's arguments and message, "@" stands for d.
struct arow : row {
	way how = given;
};

// Permission bits do not stop root, so as root the program runs as nobody,
// from a copy that nobody can reach.
void
unsearchable(const arow &r, const std::string &root)
{
	std::vector<std::string> argv = {tool("absentees")};
	if (geteuid() == 0) {
		if (access("/usr/bin/setpriv", X_OK) != 0 || getpwnam("nobody") == nullptr)
			GTEST_SKIP() << "running as root without setpriv or a nobody user";
		argv = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
		        "/bin/true"};
		run_result t = run(argv);
		if (t.status != 0)
			GTEST_SKIP() << "cannot become nobody: " << t.err;
		argv.back() = root + "/absentees";
		putfile(argv.back(), getfile(tool("absentees")));
		ASSERT_EQ(chmod(argv.back().c_str(), 0755), 0);
	}
	argv.insert(argv.end(), r.args.begin(), r.args.end());
	ASSERT_EQ(chmod((root + "/d/shut").c_str(), 0600), 0);
	run_result got = run(argv, {.in = r.in, .cwd = root});
	chmod((root + "/d/shut").c_str(), 0755); // for the other rows, and the harness to remove it
	EXPECT_EQ(visible(got.out), visible(r.out)) << r.name;
	EXPECT_EQ(got.err, r.err) << r.name;
	EXPECT_EQ(got.status, r.status) << r.name;
}

// s with d for each "@".
std::string
at(const std::string &s, const std::string &d)
{
	std::string t;
	for (char c : s)
		t += c == '@' ? d : std::string(1, c);
	return t;
}

void
check(arow r)
{
	const std::string root = world(), d = root + "/d";
	r.err = at(r.err, d);
	for (auto &a : r.args)
		a = at(a, d);
	if (r.how == locked)
		return unsearchable(r, root);
	expect("absentees", r,
	       r.how == in_d     ? run_opts{.cwd = d}
	       : r.how == listed ? run_opts{.in_path = root + "/list", .close_out = true}
	                         : run_opts{});
	// The list must not be opened for writing.
	EXPECT_EQ(getfile(root + "/list"), "gone\n") << r.name;
}

// clang-format off
const arow rows[] = {
	{{"empty_input", {"@", "ignored"}, "", ""}},
	{{"exists_and_not", {"@", "ignored"}, "here\ngone\na\nb\n", "gone\nb\n"}},
	{{"order_kept", {"@", "ignored"}, "z\nhere\ny\nx\n", "z\ny\nx\n"}},
	{{"dangling_link_exists", {"@", "ignored"}, "dangling\n", ""}},
	{{"link_loop_is_a_name", {"@", "ignored"}, "loop\nloop/x\n", "loop/x\n"}},
	{{"big_file_exists", {"@", "ignored"}, "big\n", ""}},
	{{"dated_after_2038", {"@", "ignored"}, "future\nflink\nmissing\n", "missing\n"}},
	{{"directory_and_inside", {"@", "ignored"}, "sub\nsub/in\nsub/out\nsub/\n", "sub/out\n"}},
	{{"through_a_file", {"@", "ignored"}, "here/x\n", "here/x\n"}},
	{{"empty_line_printed", {"@", "ignored"}, "\nhere\n\n", "\n\n"}},
	{{"trailing_space_kept", {"@", "ignored"}, "here \n a\nhere\n", "here \n a\n"}},
	{{"parent_relative", {"@", "ignored"}, "../x\n../y\n", "../y\n"}},
	{{"absolute", {"@", "ignored"}, "/etc/passwd\n/nonexistent/absentees\n", "/nonexistent/absentees\n"}},
	{{"too_long", {"@", "ignored"}, std::string(300, 'n') + "\n", std::string(300, 'n') + "\n"}},
	{{"too_long_path", {"@", "ignored"}, std::string(5000, '/') + "gone\n", std::string(5000, '/') + "gone\n"}},
	// A last line without a line end is a whole name.
	{{"last_line_bare_absent", {"@", "ignored"}, "here\ngone", "gone\n"}},
	{{"last_line_bare_present", {"@", "ignored"}, "gone\nhere", "gone\n"}},
	{{"one_byte_bare", {"@", "ignored"}, "q", "q\n"}},
	// A NUL ends the name; a NUL first prints nothing.
	{{"nul_first", {"@", "ignored"}, std::string("\0gone\nhere\nb\n", 12), "b\n"}},
	{{"nul_inside_absent", {"@", "ignored"}, std::string("gon\0e\n", 6), "gon\n"}},
	{{"nul_inside_present", {"@", "ignored"}, std::string("here\0zz\nb\n", 10), "b\n"}},
	{{"nul_in_bare_last", {"@", "ignored"}, std::string("b\nc\0d", 5), "b\nc\n"}},
	// Each name cut by a NUL is longer than the one before.
	{{"nul_names_growing", {"@", "ignored"}, std::string("gon\0e\ngone\0x\ngone1\0\n", 20), "gon\ngone\ngone1\n"}},
	// A name one byte longer than the one before: the line end added to
	// it needs the buffer to grow too. Written past the end, it breaks
	// glibc's heap, which the long names after it bring to light.
	{{"nul_names_one_longer", {"@", "ignored"}, std::string(23, 'p') + std::string("\0x\n", 3) + std::string(24, 'q') + std::string("\0y\n", 3) + std::string(100000, 'r') + "\n" + std::string(20000, 's') + std::string("\0z\n", 3), std::string(23, 'p') + "\n" + std::string(24, 'q') + "\n" + std::string(100000, 'r') + "\n" + std::string(20000, 's') + "\n"}},
	{{"long_line", {"@", "ignored"}, std::string(3000, 'k') + "\nhere\n", std::string(3000, 'k') + "\n"}},
	{{"without_dir_uses_current", {}, "here\ngone\n", "gone\n"}, in_d},
	{{"dir_missing", {"@/nope"}, "gone\n", "", "absentees: @/nope: No such file or directory\n", 1}},
	{{"dir_a_file", {"@/here"}, "gone\n", "", "absentees: @/here: Not a directory\n", 1}},
	{{"dir_empty", {""}, "gone\n", "", "absentees: : No such file or directory\n", 1}},
	{{"stdout_closed", {"@"}, "", "", "absentees: write error: Bad file descriptor\n", 1}, listed},
	{{"name_in_unsearchable_dir", {"@"}, "shut/f\nopen/f\nshut/g\nopen/g\n", "shut/f\nshut/g\nopen/g\n", "absentees: shut/f: Permission denied\nabsentees: shut/g: Permission denied\n", 1}, locked},
	{{"unsearchable_dir_given", {"@/shut"}, "f\ng\n", "", "absentees: @/shut: Permission denied\n", 1}, locked},
};
// clang-format on

TABLE(absentees, rows, check);

} // namespace
