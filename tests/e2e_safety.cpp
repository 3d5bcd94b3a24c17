// What the mirror must never do: follow destination links, widen modes,
// mirror overlapping trees into themselves, leave partial copies behind,
// loop through source links, or delete on an incomplete source listing.
#include "harness.h"

#include <gtest/gtest.h>
#include <cerrno>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

// Links, modes and loops: what Windows has of them differs (wine deletes
// and writes through links where Windows would not; modes come down to the
// read-only attribute; there are no FIFOs).
TEST(Safety, LinksModesAndLoops)
{
	if (windows_mode())
		GTEST_SKIP() << "POSIX links, modes and FIFOs";
	const Items OUTSIDE = {"f t outside 0600 5", "d sub", "f sub/u inner"};
	const MirrorCase cases[] = {
		// Destination links are replaced, never followed.
		{"link to a file outside", {"f t src"}, {"l t $O/t"}, {},
		 {"scan S", "scan D", "head S D", "copy t 3 100", "sum 1 1 0"}, {}, 0, {"=S"}, 1, {}, OUTSIDE},
		{"link to a directory outside", {}, {"l L $O"}, {},
		 {"scan S", "scan D", "head S D", "rmdir D/L", "sum 0 0 0"}, {}, 0, {"=S"}, 0, {}, OUTSIDE},
		{"link where the source has a directory", {"d L", "f L/g gg"}, {"l L $O"}, {},
		 {"scan S", "scan D", "head S D", "rmdir D/L", "mkdir D/L", "scan S/L", "scan D/L",
		  "head S/L D/L", "copy g 2 100", "sum 1 1 0"}, {}, 0, {"=S"}, 1, {}, OUTSIDE},
		{"dangling and looping links", {"f keep k"}, {"l dang nowhere", "l loop loop", "l keep nowhere"}, {},
		 {"scan S", "scan D", "head S D", "rm D/dang", "rm D/loop", "copy keep 1 100", "sum 1 1 2"}, {}, 0,
		 {"=S"}, 1, {}, OUTSIDE},
		{"link inside an extraneous subtree", {}, {"d old", "f old/a", "l old/L $O/sub"}, {},
		 {"scan S", "scan D", "scan D/old", "head S D", "rm D/old/a", "rmdir D/old/L", "rmdir D/old",
		  "sum 0 0 1"}, {}, 0, {"=S"}, 0, {}, OUTSIDE},
		// The destination gets the source's modes; a failed removal shows
		// what "make writable" left: the owner's bits added, never 0777.
		{"read-only destination", {"d . 0750", "f f new"}, {"d . 0555", "f x", "d old 0555", "p old/p"},
		 {}, {"scan S", "scan D", "head S D", "rm D/x", "scan D/old", "rmdir D/old", "copy f 3 100",
		      "sum 1 1 1 1"},
		 {"fifo p D/old", "err rmdir D/old ENOTEMPTY"}, 2, {"d . 0750", "f f new", "d old 0755", "p old/p"}},
		// Source loops and unreadable entries.
		{"link loops in the source", {"d a", "f a/f 1", "l a/self .", "l a/up .."}, {}, {},
		 {"scan S", "scan D", "head S D", "mkdir D/a", "scan S/a", "scan D/a", "head S/a D/a",
		  "copy f 1 100", "sum 1 1 0 2"},
		 {"err opendir S/a/self ELOOP", "err opendir S/a/up ELOOP"}, 2, {"d a", "f a/f 1"}},
		{"dangling link in the source", {"f f 1", "l dang nowhere", "d sub", "f sub/g 2"},
		 {"f x", "d xd", "f xd/y"}, {},
		 {"scan S", "scan D", "head S D", "copy f 1 100", "mkdir D/sub", "scan S/sub", "scan D/sub",
		  "head S/sub D/sub", "copy g 1 100", "sum 2 2 0 1"},
		 {"err stat S/dang ENOENT"}, 2, {"f f 1", "f x", "d xd", "f xd/y", "d sub", "f sub/g 2"}},
		{"percentages per buffer", {"f t #3000", "f u #2500"}, {}, {"-b", "1000"},
		 {"scan S", "scan D", "head S D", "copy t 3000 33,66,100", "copy u 2500 40,80,100", "sum 2 2 0"},
		 {}, 0, {"=S"}, 2},
	};
	for (const MirrorCase &c : cases)
		check_mirror(c);
}

// Operands relative to the top folder, so that the texts show them as typed.
TEST(Safety, SourceInsideDestinationIsRefused)
{
	std::string top = make_temp_dir("overlap"), D = top + "/D";
	build_tree(D, {"f x 1", "d a", "f a/y 2", "d a/b", "f a/b/z 3"});
	ASSERT_EQ(symlink("D/a", (top + "/L").c_str()), 0);
	std::string before = fingerprint(D);
	struct Case { Items args; std::string out, err; int status; } cases[] = {
		{{native("D/a/b"), "D"}, BANNER, "\ntreemir: source " + native("D/a/b") + " lies inside destination D\n", 1},
		{{native("D/a/"), native("D/")}, BANNER, "\ntreemir: source " + native("D/a") + " lies inside destination D\n", 1},
		{{native("L/b"), "D"}, BANNER, "\ntreemir: source " + native("L/b") + " lies inside destination D\n", 1},
		{{"D", "D"}, BANNER + scan_line("D") + scan_line("D") + scan_line("D/a") + scan_line("D/a") +
		 scan_line("D/a/b") + scan_line("D/a/b") + summary(3, 0, 0), "", 0},
	};
	for (const Case &c : cases) {
		RunResult r = run_treemir(c.args, top);
		EXPECT_EQ(zero_seconds(r.out), c.out) << c.args[0];
		EXPECT_EQ(r.err, c.err) << c.args[0];
		EXPECT_EQ(r.status, c.status) << c.args[0];
		EXPECT_EQ(fingerprint(D), before) << c.args[0];
	}
	remove_tree_all(top);
}

// The destination root, met inside the source at any depth, is neither
// descended into nor removed from its own copy.
TEST(Safety, DestinationInsideSourceIsNotMirroredIntoItself)
{
	std::string top = make_temp_dir("inside"), S = top + "/S", D = S + "/x/D";
	build_tree(S, {"f f 1", "d x", "d x/D", "d x/D/x", "d x/D/x/D", "f x/D/x/D/k 2"});
	const Items runs[] = {{"scan S", "scan S/x/D", "head S S/x/D", "copy f 1 100", "scan S/x", "scan S/x/D/x",
	                       "sum 1 1 0"}, {"scan S", "scan S/x/D", "scan S/x", "scan S/x/D/x", "sum 1 0 0"}};
	for (const Items &acts : runs) {
		RunResult r = run_treemir({S, D});
		EXPECT_EQ(zero_seconds(r.out), BANNER + console_text(acts, top));
		EXPECT_EQ(r.err + std::to_string(r.status), "0");
	}
	build_tree(top + "/E", {"f f 1", "d x", "d x/D", "f x/D/k 2"});
	EXPECT_EQ(fingerprint(D), fingerprint(top + "/E"));
	remove_tree_all(top);
}

TEST(Safety, WriteFailureLeavesNoPartialFile)
{
	if (windows_mode())
		GTEST_SKIP() << "a second file system: wine shows two tmpfs as one volume";
	std::string top = make_temp_dir("full"), S = top + "/S", D = top + "/D";
	build_tree(S, {"f a 1", "f big #200000"});
	build_tree(D, {});
	if (system(("mount -t tmpfs -o size=64k tmpfs '" + D + "' 2>/dev/null").c_str()) != 0) {
		remove_tree_all(top);
		GTEST_SKIP() << "cannot mount a tmpfs";
	}
	RunResult r = run_treemir({"-b", "16384", S, D});
	EXPECT_EQ(std::regex_replace(zero_seconds(r.out), std::regex("%0[0-9][0-9]\b\b\b\b"), ""),
	          BANNER + console_text({"scan S", "scan D", "head S D", "copy a 1 100", "copy big 200000", "sum 2 2 0 1"}, top));
	EXPECT_EQ(r.err, error_line("write", D + "/big", ENOSPC));
	EXPECT_EQ(r.status, 2);
	EXPECT_FALSE(exists(D + "/big"));
	EXPECT_EQ(read_file(D + "/a"), "1");
	EXPECT_EQ(system(("umount '" + D + "'").c_str()), 0);
	remove_tree_all(top);
}

// A copy belongs to whoever runs the mirror: another owner's set-ID bits are
// dropped (and that alone never makes the file differ on the next run),
// the runner's own are kept.
TEST(Safety, SetIdBitsOnlyForTheRunnersOwnFiles)
{
	if (windows_mode())
		GTEST_SKIP() << "POSIX modes";
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to own files as another user";
	std::string top = make_temp_dir("setid");
	std::string S = top + "/S", D = top + "/D";
	make_dirs(S);
	make_dirs(D);
	struct { const char *name; uid_t owner; mode_t mode, want; } files[] = {
		{"theirs", 65534, 06755, 0755},
		{"mine", 0, 04755, 04755},
	};
	for (const auto &f : files) {
		write_file_at(S + "/" + f.name, "#!/bin/sh\n", 1600000000);
		ASSERT_EQ(lchown((S + "/" + f.name).c_str(), f.owner, f.owner), 0);
		ASSERT_EQ(chmod((S + "/" + f.name).c_str(), f.mode), 0);
	}
	EXPECT_EQ(run_treemir({"-q", S, D}).status, 0);
	for (const auto &f : files) {
		struct stat st;
		ASSERT_EQ(stat((D + "/" + f.name).c_str(), &st), 0);
		EXPECT_EQ(st.st_mode & 07777, f.want) << f.name;
		EXPECT_EQ(st.st_uid, 0u) << f.name;
	}
	RunResult again = run_treemir({S, D});
	EXPECT_NE(again.out.find("2 file(s) checked,0 copied,0 deleted"), std::string::npos) << again.out;
	remove_tree_all(top);
}
