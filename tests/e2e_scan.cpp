// Reading directories through the binary: the SCAN line, entries that are
// left out with a notice or an error, and the exclusion options.
#include "harness.h"

#include <gtest/gtest.h>
#include <cerrno>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

struct Tree {
	std::string top = make_temp_dir("scan"), S = top + "/S", D = top + "/D";
	Tree() { make_dirs(S); make_dirs(D); }
	~Tree() { remove_tree_all(top); }
};

// The SCAN text of a directory whose reading did not finish.
std::string scan_text(const std::string &path)
{
	std::string line = scan_line(path);
	return line.substr(0, line.size() - 5);
}

} // namespace

TEST(Scan, LinePadsAndCutsThePathAtSixtyCharacters)
{
	Tree t;
	std::string base = t.top + "/";
	for (size_t len : {59, 60, 61, 90}) {
		std::string S = base + std::string(len - base.size(), 's');
		make_dirs(S);
		RunResult r = run_treemir({S, t.D});
		EXPECT_EQ(zero_seconds(r.out), BANNER + scan_line(S) + scan_line(t.D) + summary(0, 0, 0)) << len;
		EXPECT_EQ(r.status, 0);
	}
}

TEST(Scan, UnhandledKindsGiveNoticesWithoutCounting)
{
	if (windows_mode())
		GTEST_SKIP() << "FIFOs, sockets and devices";
	Tree t;
	for (const char *sub : {"/a", "/b", "/c"})
		make_dirs(t.S + sub);
	ASSERT_EQ(mkfifo((t.S + "/a/pipe").c_str(), 0644), 0);
	ASSERT_EQ(mknod((t.S + "/b/sock").c_str(), S_IFSOCK | 0644, 0), 0);
	bool chr = mknod((t.S + "/c/null").c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0;
	RunResult r = run_treemir({"-q", t.S, t.D});
	EXPECT_EQ(r.out, BANNER);
	EXPECT_EQ(r.err, "\ntreemir: Ignored fifo pipe in " + t.S + "/a\n" +
	          "\ntreemir: Ignored unknown  sock in directory " + t.S + "/b\n" +
	          (chr ? "\ntreemir: Ignored char device null in " + t.S + "/c\n" : ""));
	EXPECT_EQ(r.status, 0);
	EXPECT_FALSE(exists(t.D + "/a/pipe") || exists(t.D + "/b/sock") || exists(t.D + "/c/null"));
}

TEST(Scan, DanglingLinkIsAStatErrorUnlessAPatternHidesIt)
{
	if (windows_mode())
		GTEST_SKIP() << "POSIX links";
	Tree t;
	ASSERT_EQ(symlink((t.top + "/nowhere").c_str(), (t.S + "/l").c_str()), 0);
	write_file(t.S + "/f", "data");
	RunResult r = run_treemir({t.S, t.D});
	EXPECT_EQ(r.err, error_line("stat", t.S + "/l", ENOENT));
	EXPECT_EQ(r.status, 2);
	EXPECT_NE(zero_seconds(r.out).find(summary(1, 1, 0, 1)), std::string::npos) << r.out;
	EXPECT_EQ(read_file(t.D + "/f"), "data");

	// Left out before its status is read: only the notice, also at -q.
	r = run_treemir({"-q", "-e", "/l$", t.S, t.D});
	EXPECT_EQ(r.out, BANNER + t.S + "/l matched by /l$ \n");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
}

TEST(Scan, NoticeFollowsTheScanTextAtDefaultLevel)
{
	Tree t;
	write_file(t.D + "/skip.txt", "kept");
	RunResult r = run_treemir({"-e", "skip\\.txt$", t.S, t.D});
	EXPECT_EQ(zero_seconds(r.out), BANNER + scan_line(t.S) + scan_text(t.D) + native(t.D + "/skip.txt") +
	          " matched by skip\\.txt$ \n*\b \b\r" + summary(0, 0, 0));
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(read_file(t.D + "/skip.txt"), "kept");
}

TEST(Scan, UnreadableDirectoryKeepsItsScanText)
{
	if (!can_run_as_nobody())
		GTEST_SKIP() << "no unprivileged user";
	Tree t;
	give_to_nobody(t.top);
	chmod(t.S.c_str(), 0);
	RunResult r = run_treemir({t.S, t.D}, "", true);
	EXPECT_EQ(zero_seconds(r.out), BANNER + scan_text(t.S) + summary(0, 0, 0, 1));
	EXPECT_EQ(r.err, error_line("opendir", t.S, EACCES));
	EXPECT_EQ(r.status, 2);
}

TEST(Scan, NameRulesApplyToTheirOwnKindAtEveryDepth)
{
	Tree t;
	write_file(t.S + "/a", "a");
	make_dirs(t.S + "/b");
	write_file(t.S + "/b/a", "ba");
	make_dirs(t.S + "/Кэш");
	write_file(t.S + "/Кэш/f", "f");
	// Lists as editors write them: UTF-8 with or without a byte-order
	// mark, UTF-16 with one.
	const std::string list = t.top + "/list", bom = t.top + "/bom", utf16 = t.top + "/utf16";
	write_file(list, "Кэш\n");
	write_file(bom, "\xef\xbb\xbfКэш\r\n");
	write_file(utf16, std::string("\xff\xfe\x1a\x04\x4d\x04\x48\x04\r\0\n\0", 12));
	struct Case { std::vector<std::string> opts; bool a, b, ba, k = true; } cases[] = {
		{{"-x", "b", "-X", "a"}, true, true, true}, {{"-x", "a", "-X", "b"}, false, false, false},
		{{"-x", "A", "-X", "B"}, true, true, true}, {{"-x", "a"}, false, true, false},
		{{"-X", "@" + list}, true, true, true, false}, {{"-X", "@" + bom}, true, true, true, false},
		{{"-X", "@" + utf16}, true, true, true, false}, {{"-x", "@" + utf16}, true, true, true, true},
	};
	for (const Case &c : cases) {
		remove_tree_all(t.D);
		make_dirs(t.D);
		std::vector<std::string> args = c.opts;
		args.insert(args.end(), {"-q", t.S, t.D});
		RunResult r = run_treemir(args);
		std::string why = c.opts[0] + " " + c.opts[1];
		EXPECT_EQ(r.status, 0) << why;
		EXPECT_EQ((std::vector<bool>{exists(t.D + "/a"), exists(t.D + "/b"), exists(t.D + "/b/a"),
		                             exists(t.D + "/Кэш/f")}),
		          (std::vector<bool>{c.a, c.b, c.ba, c.k})) << why;
	}
}
