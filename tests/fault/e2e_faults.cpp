// The fault matrix: each case builds a source S, a destination D and a
// folder O beside them, runs the program once under a fault (permissions,
// a tree that changes while it is walked, special entries, hostile names,
// overlapping operands, list files), then lifts the fault.  Every
// case checks that the run ended as it should, that every error line was
// counted, that S and O were not changed, and that the next run leaves D an
// exact mirror of S (modes included) and the one after it does nothing.
// A destination that stands on another kind of file system keeps it for
// every run, and is compared as far as that file system keeps a status.
#include "harness.h"

#include <gtest/gtest.h>
#include <dirent.h>
#include <fnmatch.h>
#include <fcntl.h>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>

namespace {

struct Ctx : Places {
	std::string before; // the destination's fingerprint before the first run
};

enum {
	NOBODY = 1,      // runs as uid/gid 65534 on a tree given to that user
	SRC_CHANGES = 2, // the fault itself changes the source
	REFUSED = 4,     // the first run must leave D as it was; the next ones run plainly
	KILLED = 16,     // the first run is killed; the next runs are -m 1, then plain
	TERMINAL = 32,   // the first run writes to a terminal (both streams, in out)
	ON_FAT = 64,     // the fault is a FAT file system under D: it stays for every run
	ON_DISK = 128,   // every run takes the tmpfs for a disk, whose copies wait for a barrier
	WARM = 256,      // with ON_DISK: the source's data reads at once
	COLD = 512,      // with ON_DISK: only the source's data waits; the tmpfs stays one
};

using Step = std::function<void(Ctx &)>;
using Check = std::function<void(Ctx &, const RunResult &)>;

struct Case {
	std::string name;
	Items items;       // the trees, for build_tree() at $T
	std::string args;  // words; $T $S $D $O are expanded; "": $S $D
	std::string fault; // "CALL PATH ACTION" for the shim; "": none
	int status;        // of the first run; -1: any
	std::string err;   // regex that each stderr line must match
	int lines;         // stderr lines expected; -1: any
	int flags = 0;
	Items lift = {};       // build_tree() items that lift the fault
	Step setup = nullptr;  // builds what items cannot
	Check check = nullptr; // more about the first run
	Step lift_fn = nullptr;
};

void put(const std::string &path, const std::string &data = "data")
{
	write_file_at(path, data, T0);
}

std::string level(int i)
{
	return std::string(250, (char)('a' + i));
}

// Levels of directories below root, each made relative to its parent.
// With long names: named by level(), each holding the file f and a file of
// a 200-byte name, so that the paths grow past the system's path limit.
// Without: a chain named d, a file f in every tenth; the deepest tree the
// path limit allows is one of 1-character names.
void descend(const std::string &root, int levels, bool long_names)
{
	mkdir(root.c_str(), 0755);
	int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
	for (int i = 0; i < levels; i++) {
		if (long_names || i % 10 == 0)
			close(openat(fd, "f", O_CREAT | O_WRONLY, 0644));
		if (long_names)
			close(openat(fd, std::string(200, 'g').c_str(), O_CREAT | O_WRONLY, 0644));
		std::string name = long_names ? level(i) : "d";
		mkdirat(fd, name.c_str(), 0755);
		int sub = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
		close(fd);
		fd = sub;
	}
	close(fd);
}

void cut_deep(Ctx &c)
{
	std::string path = c.S;
	for (int i = 0; i < 8; i++)
		path += "/" + level(i);
	shell("rm -rf '" + path + "'");
}

const Step root_owns_sub = [](Ctx &c) { shell("chown 0:0 '" + c.D + "/sub'"); };

void many(const std::string &path, const char *format)
{
	mkdir(path.c_str(), 0755);
	int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
	char name[32];
	for (int i = 0; i < 100000; i++, close(openat(fd, name, O_CREAT | O_WRONLY, 0644)))
		snprintf(name, sizeof name, format, i);
	close(fd);
}

void hostile(Ctx &c)
{
	const std::vector<std::string> names = {"with space", "new\nline", "-rf", "%s%n%x", "back\\slash",
		"\xff\xfe\x80", "caf\xc3\xa9", "d \n%s*/", "d \n%s*/-x", std::string(255, 'L')};
	for (const std::string &n : names)
		n.back() == '/' ? (void)mkdir((c.S + "/" + n).c_str(), 0755) : put(c.S + "/" + n, n);
	for (auto n : {"-f *", "\n", "%n", "?", "* ?/", "* ?/\\"})
		n[strlen(n) - 1] == '/' ? (void)mkdir((c.D + "/" + n).c_str(), 0755) : put(c.D + "/" + n);
}

void expect_out(const RunResult &r, const std::string &text)
{
	EXPECT_NE(r.out.find(text), std::string::npos) << r.out.substr(0, 4000);
}

// A file system mounted in the destination where the source has nothing:
// the source itself bound there, or a tmpfs.  Skipped where mounting is
// not allowed.
void mount_at(const std::string &what, const std::string &where, const char *type)
{
	std::string command = std::string("mount ") + type + " '" + what + "' '" + where + "' 2>/dev/null";
	if (system(command.c_str()) != 0)
		GTEST_SKIP() << "cannot mount here";
}

void unmount(const std::string &where)
{
	shell("umount '" + where + "'");
}

// Runs the program with both streams on a terminal: all of it lands in out.
RunResult run_on_terminal(const std::vector<std::string> &args)
{
	std::string command;
	for (const std::string &a : command_line(args))
		command += " '" + a + "'";
	FILE *p = popen(("script -qec \"" + command + "\" /dev/null </dev/null").c_str(), "r");
	RunResult r{"", "", -1};
	char buf[4096];
	for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;)
		r.out.append(buf, n);
	int status = p != nullptr ? pclose(p) : -1;
	r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
	return r;
}

// Gives new files in dir the default ACL u::rwx,g::r-x,o::---, which takes
// bits from the mode they are made with.  Skipped where the file system
// has no ACLs.
void default_acl(const std::string &dir)
{
	const unsigned char acl[] = {2, 0, 0, 0, 1, 0, 7, 0, 0xff, 0xff, 0xff, 0xff, 4, 0, 5, 0, 0xff, 0xff, 0xff, 0xff,
	                             0x20, 0, 0, 0, 0xff, 0xff, 0xff, 0xff};
	if (setxattr(dir.c_str(), "system.posix_acl_default", acl, sizeof acl, 0) != 0)
		GTEST_SKIP() << "no ACLs here";
}

std::string binary(int size, int step)
{
	std::string b;
	for (int i = 0; i < size; i++)
		b += (char)(i * step % 256);
	return b;
}

const char *const ANY = "[\\s\\S]*";

// A file of size bytes with four bytes of data at each offset given and
// holes between, named sparse+suffix, beside dense+suffix, as long and
// written whole.
void holes_and_dense(Ctx &c, const std::string &suffix, off_t size, std::vector<off_t> data)
{
	std::string sparse = c.S + "/sparse" + suffix, dense = c.S + "/dense" + suffix;
	int fd = open(sparse.c_str(), O_CREAT | O_WRONLY, 0644);
	ASSERT_TRUE(fd >= 0 && ftruncate(fd, size) == 0);
	for (off_t at : data)
		ASSERT_EQ(pwrite(fd, "data", 4, at), 4);
	close(fd);
	shell("head -c " + std::to_string(size) + " /dev/zero >'" + dense + "' && touch -d @1600000000 '" + sparse +
	      "' '" + dense + "'");
}

// Data inside, a hole at the end; and nothing but a hole.
void holes_8m(Ctx &c)
{
	holes_and_dense(c, "", 8 << 20, {1000000, 5000000});
	holes_and_dense(c, "_hole", 1 << 20, {});
}

// Data at the start, in the middle and in the last bytes.
void holes_64m(Ctx &c)
{
	holes_and_dense(c, "", 64 << 20, {0, 32 << 20, (64 << 20) - 4});
}

// Each sparse file's COPY line is its dense twin's, byte for byte, but for
// the name; with kept, its copy takes no more room than it does.
void lines_like_dense(Ctx &c, const RunResult &r, bool kept)
{
	auto line = [&r](const std::string &name) {
		size_t at = r.out.find("COPY   " + name + " "), end = r.out.find('\n', at);
		return at == r.out.npos || end == r.out.npos ? std::string() : r.out.substr(at + 7 + 50, end - at - 57);
	};
	for (const char *suffix : {"", "_hole"}) {
		std::string name = std::string("sparse") + suffix;
		struct stat s, d;
		if (stat((c.S + "/" + name).c_str(), &s) != 0)
			continue;
		EXPECT_NE(line(name), "") << name;
		EXPECT_EQ(line(name), line(std::string("dense") + suffix)) << name;
		EXPECT_TRUE(stat((c.D + "/" + name).c_str(), &d) == 0 && d.st_size == s.st_size &&
		            (!kept || d.st_blocks <= s.st_blocks)) << name;
	}
}

const Check like_dense = [](Ctx &c, const RunResult &r) { lines_like_dense(c, r, true); };


// Odd-second times and modes that FAT keeps only in part.
const std::vector<std::string> fat_tree = {"f S/a", "f S/b", "f S/c", "f S/d", "d S/sub 0700", "f S/sub/e",
	"d S/ro 0555", "f S/ro/f", "m S/b 0600", "m S/c 0755", "m S/d 0444", "t S/a 1600000001", "t S/b 1600000003",
	"t S/c 1600000002", "t S/d 1600000005", "t S/sub/e 1599999999", "t S/ro/f 1600000007"};

// A destination of 1 MiB, which 61 files of 30 kB fill.
void small_room(Ctx &c)
{
	mount_at("tmpfs", c.D, "-t tmpfs -o size=1m");
	shell("cd '" + c.S + "' && for f in $(seq 100 160); do head -c 30000 /dev/zero | tr '\\0' x > f$f; done");
}

void same_as_one_worker(Ctx &c, const RunResult &r)
{
	shell("umount '" + c.D + "'");
	mount_at("tmpfs", c.D, "-t tmpfs -o size=1m");
	RunResult one = run_treemir({c.S, c.D}, "", false, true);
	EXPECT_EQ(zero_seconds(one.out), zero_seconds(r.out));
	EXPECT_EQ(one.err, r.err);
}

const char *const FULL_ROOM_LINE = R"(treemir: (write|open|close|link) \($D/[^\n]*\) No space left on device \(28\))";

// The modification time T0 and nanos nanoseconds.
void at_nanos(const std::string &path, long nanos)
{
	struct timespec ts[2] = {{T0, nanos}, {T0, nanos}};
	utimensat(AT_FDCWD, path.c_str(), ts, 0);
}

const Step rewrite_times = [](Ctx &c) { at_nanos(c.S + "/f", 200000000), at_nanos(c.D + "/f", 100000000); };
const Step whole_times = [](Ctx &c) { at_nanos(c.S + "/f", 500000000); };

// A shell command run in the source.
Step in_source(const std::string &command)
{
	return [=](Ctx &c) { shell("cd '" + c.S + "' && " + command); };
}

// The first run said what it says of the source directory rel's entries
// (a failed status, an ignored FIFO, an exclusion) in the order the
// directory reads them, as one thread does, however many asked: those
// whose names match one of patterns, each once.
Check said_in_read_order(const std::string &rel, const std::vector<std::string> &patterns)
{
	return [=](Ctx &c, const RunResult &r) {
		std::string want, got, dir = c.S + "/" + rel;
		DIR *d = opendir(dir.c_str());
		ASSERT_NE(d, nullptr);
		for (struct dirent *e; (e = readdir(d)) != nullptr;)
			for (const std::string &p : patterns)
				if (fnmatch(p.c_str(), e->d_name, 0) == 0)
					want += std::string(e->d_name) + " ";
		closedir(d);
		std::regex said(R"((?:stat \(|fifo |/)(w\d{4})(?:\) Input| in | matched))");
		std::string both = r.out + r.err;
		for (std::sregex_iterator m(both.begin(), both.end(), said), end; m != end; ++m)
			got += (*m)[1].str() + " ";
		EXPECT_EQ(got, want);
	};
}

// After the first run the destination's file rel holds data.
Check reads(const std::string &rel, const std::string &data)
{
	return [=](Ctx &c, const RunResult &) { EXPECT_EQ(read_file(c.D + "/" + rel), data); };
}

const Items in_sub = {"d S/sub", "f S/sub/f new", "d D/sub", "f D/sub/f stale", "N"};
const std::string CHMOD_SUB = R"(chmod \($D/sub\) Operation not permitted \(1\))";

const Case cases[] = {
	// Permissions, as the unprivileged user.
	{"UnreadableSourceFile", {"f S/a", "f S/secret", "N", "m S/secret 0"}, "", "", 2,
	 R"(treemir: open \($S/secret\) Permission denied \(13\))", 1, NOBODY, {"m S/secret 0640"}},
	{"UnreadableSourceDir", {"d S/locked", "f S/locked/f", "d S/locked/in", "f S/ok", "N", "m S/locked 0"}, "", "", 2,
	 R"(treemir: opendir \($S/locked\) Permission denied \(13\))", 1, NOBODY, {"m S/locked 0750"}},
	{"UnsearchableSourceDir", {"d S/dark", "f S/dark/f1", "f S/dark/f2", "d S/dark/sub", "d D/dark", "f D/dark/extra",
	  "N", "m S/dark 0444"}, "", "", 2, R"(treemir: stat \($S/dark/(\.|\.\.|f1|f2|sub)\) Permission denied \(13\))", 5,
	 NOBODY, {"m S/dark 0755"}, nullptr, [](Ctx &c, const RunResult &) { EXPECT_TRUE(exists(c.D + "/dark/extra")); }},
	{"ReadOnlyDestination", {"f S/ro new", "d S/sub", "f S/sub/x xx", "f S/sub/y", "m S/sub 0555", "f D/ro stale",
	  "d D/sub", "f D/sub/x old", "f D/extra", "N", "m D/ro 0444", "m D/sub/x 0444", "m D/extra 0444", "m D/sub 0555",
	  "m D 0555"}, "", "", 0, "", 0, NOBODY},
	// Directories of an extraneous subtree are made writable only after a
	// removal in them failed: the first run reports, the next one finishes.
	{"ReadOnlyExtraSubtree", {"d D/old", "f D/old/f", "d D/old/deep", "f D/old/deep/g", "N", "m D/old/f 0444",
	  "m D/old/deep/g 0444", "m D/old/deep 0555", "m D/old 0555"}, "", "",
	 2, R"(treemir: (unlink|rmdir) \($D/old[^\n]*\) (Permission denied \(13\)|Directory not empty \(39\)))", 4, NOBODY},
	{"UnwritableDestinationDir", {"d S/sub 0750", "f S/sub/new", "d D/sub", "f D/sub/stale", "N", "o D/sub"}, "", "", 2,
	 R"(treemir: (unlink|open|chmod) \($D/sub(/stale|/new)?\) (Permission denied \(13\))"
	 R"(|No such file or directory \(2\)|Operation not permitted \(1\)))", 4, NOBODY, {"N"}},

	// No temporary can be made where the file may be written but its
	// directory may not: it is rewritten in place.
	{"WritableFileInUnwritableDir", in_sub, "", "", 2, "treemir: " + CHMOD_SUB, 1, NOBODY, {"N"}, root_owns_sub,
	 reads("sub/f", "new")},
	// Written in place, the file itself fails to open: nothing removed.
	{"InPlaceOpenOutOfDescriptors", in_sub, "", "open $D/sub/f errno:24", 2,
	 "treemir: (" + CHMOD_SUB + R"(|open \($D/sub/f\) Too many open files \(24\)))", 2, NOBODY, {"N"}, root_owns_sub,
	 reads("sub/f", "stale")},
	{"InPlaceOpenOutOfRoom", in_sub, "", "open $D/sub/f errno:28", 2,
	 "treemir: (" + CHMOD_SUB + R"(|open \($D/sub/f\) No space left on device \(28\)))", 2, NOBODY, {"N"},
	 root_owns_sub, reads("sub/f", "stale")},
	{"InPlaceOpenOutOfQuota", in_sub, "", "open $D/sub/f errno:122", 2,
	 "treemir: (" + CHMOD_SUB + R"(|open \($D/sub/f\) Disk quota exceeded \(122\)))", 2, NOBODY, {"N"}, root_owns_sub,
	 reads("sub/f", "stale")},
	// A copy in place cut short carries a time older than any source's, so
	// that -m 1 copies it again.
	{"KilledDuringInPlaceCopy", {"d S/sub", "f S/sub/f #20000", "d D/sub", "f D/sub/f stale", "N"}, "-b 4096 $S $D",
	 "copy_file_range $S/sub/f kill:3", -1, ANY, -1, NOBODY | KILLED, {"N"}, root_owns_sub,
	 [](Ctx &c, const RunResult &) {
		 struct stat st;
		 EXPECT_TRUE(stat((c.D + "/sub/f").c_str(), &st) == 0 && st.st_size == 8192 && st.st_mtime == 0)
			 << st.st_size << " bytes, time " << st.st_mtime; }},
	// Neither an unnamed file nor a temporary can be made for want of room,
	// inodes or descriptors: the copy is reported and the old file stays.
	{"TemporariesOutOfRoom", {"f S/f newer", "f D/f old"}, "", "open $D/.* errno:28",
	 2, R"(treemir: open \($D/f\) No space left on device \(28\))", 1, 0, {}, nullptr, reads("f", "old")},
	{"TemporariesOutOfQuota", {"f S/f newer", "f D/f old"}, "", "open $D/.* errno:122",
	 2, R"(treemir: open \($D/f\) Disk quota exceeded \(122\))", 1, 0, {}, nullptr, reads("f", "old")},
	{"TemporariesOutOfDescriptors", {"f S/f newer", "f D/f old"}, "", "open $D/.* errno:24",
	 2, R"(treemir: open \($D/f\) Too many open files \(24\))", 1, 0, {}, nullptr, reads("f", "old")},
	// Output that cannot be written is said on standard error and counted.
	{"OutputOnAFullDevice", {"f S/a", "d S/sub", "f S/sub/b"}, "", "stdout /dev/full stdout",
	 2, R"(treemir: write \(standard output\) No space left on device \(28\))", 1},
	// A rewrite of the same size within the second of the copy's time is
	// copied in both modes; a copy whose time has whole seconds, as older
	// runs made them, is not copied again.
	{"RewriteWithinTheSecond", {"f S/f aaaa", "f D/f bbbb"}, "", "", 0, "", 0, 0, {}, rewrite_times,
	 reads("f", "aaaa")},
	{"RewriteWithinTheSecondNewerOnly", {"f S/f aaaa", "f D/f bbbb"}, "-m 1 $S $D", "", 0, "", 0, 0, {},
	 rewrite_times, reads("f", "aaaa")},
	{"WholeSecondCopyStays", {"f S/f aaaa", "f D/f aaaa"}, "", "", 0, "", 0, 0, {}, whole_times,
	 [](Ctx &, const RunResult &r) { expect_out(r, "1 file(s) checked,0 copied,0 deleted"); }},
	{"WholeSecondCopyStaysNewerOnly", {"f S/f aaaa", "f D/f aaaa"}, "-m 1 $S $D", "", 0, "", 0, 0, {},
	 whole_times, [](Ctx &, const RunResult &r) { expect_out(r, "1 file(s) checked,0 copied,0 deleted"); }},

	// The tree changes while it is walked, or a call fails.
	{"SourceGrowsAfterScan", {"f S/grow #1000"}, "-b 4096 $S $D", "open $S/grow sh:printf %04000d 0 >>$S/grow",
	 0, "", 0, SRC_CHANGES, {}, nullptr, [](Ctx &c, const RunResult &r) {
		 EXPECT_EQ(read_file(c.D + "/grow"), read_file(c.S + "/grow"));
		 EXPECT_EQ(read_file(c.D + "/grow").size(), 5000u);
		 expect_out(r, "%100\b\b\b\b\n"); }},
	{"SourceShrinksAfterScan", {"f S/shrink #5000"}, "", "open $S/shrink sh:truncate -s 1000 $S/shrink", 0, "", 0,
	 SRC_CHANGES, {}, nullptr, reads("shrink", std::string(1000, 'x'))},
	// In a directory large enough that its statuses are asked side by side.
	{"StatFailsAmidALargeDirectory", {"d S/wide"}, "", "fstatat w??77 errno:5",
	 2, R"(treemir: stat \($S/wide/w\d\d77\) Input/output error \(5\))", 30, 0, {},
	 in_source("cd wide && touch $(seq -f w%04g 0 2999)"), said_in_read_order("wide", {"w??77"})},
	// Exclusions said on standard output keep their turn among the notices on
	// standard error (a terminal shows both); the excluded files go before
	// the runs after it, which exclude them too.
	{"IgnoredAndExcludedAmidALargeDirectory", {"d S/wide"}, "-v 1 -e w..66$ $S $D", "", 0, ANY, -1, TERMINAL, {},
	 in_source("cd wide && for i in $(seq -f %04g 0 2999); do case $i in ??55) mkfifo w$i;; *) : >w$i;; esac; done"),
	 said_in_read_order("wide", {"w??55", "w??66"}), in_source("rm wide/w??66")},
	{"EntryVanishesBeforeItsStatus", {"f S/a", "f S/gone", "f S/z", "f D/extra"}, "", "fstatat gone sh:rm $S/gone",
	 2, R"(treemir: stat \($S/gone\) No such file or directory \(2\))", 1, SRC_CHANGES, {}, nullptr,
	 [](Ctx &c, const RunResult &) {
		 EXPECT_TRUE(exists(c.D + "/a") && exists(c.D + "/z") && exists(c.D + "/extra")); }},
	{"DestDirRemovedWhileFilled", {"d S/sub", "f S/sub/a", "f S/sub/b", "f S/sub/c", "d S/sub/deep", "f S/sub/deep/f",
	  "d D/sub"}, "", "open $S/sub/b sh:rm -rf $D/sub",
	 2, R"(treemir: (stat|open|unlink|link|rename|mkdir|chmod) \($D/sub[^\n]*\) No such file or directory \(2\))", -1},
	// Parts of the destination swapped for links to O while the walk is at
	// them: nothing outside may be written, removed or given a mode.
	{"DestDirSwappedForLinkWhileFilled", {"d S/sub 0750", "f S/sub/a", "f S/sub/b", "f S/sub/c", "d D/sub"}, "",
	 "open $D/sub/b sh:rm -rf $D/sub && ln -s $O $D/sub", -1, ANY, -1},
	{"ExtraDirSwappedForLinkBeforeRemoval", {"d D/old", "f D/old/f"}, "",
	 "stat $D/old sh:rm -rf $D/old && ln -s $O $D/old", -1, ANY, -1},
	{"DestFileSwappedForLinkBeforeCopy", {"f S/f new", "f D/f stale"}, "", "open $D/f sh:rm $D/f && ln -s $O/keep $D/f",
	 0, "", 0},
	{"CopySwappedForLinkBeforeTimes", {"f S/f new", "m S/f 0600"}, "", "utime $D/f sh:rm $D/f && ln -s $O/keep $D/f",
	 -1, ANY, -1},
	{"SourceFileBecomesFifo", {"f S/f"}, "", "open $S/f sh:rm $S/f && mkfifo $S/f", 0, "", 0, SRC_CHANGES},
	{"SourceFileBecomesDir", {"f S/f"}, "", "open $S/f sh:rm $S/f && mkdir $S/f",
	 2, R"(treemir: read \($S/f\) Is a directory \(21\))", 1, SRC_CHANGES},
	{"KernelCopyRefused", {"f S/big #300000"}, "-b 4096 $S $D", "copy_file_range $S/big errno:18", 0, "", 0},
	{"TimesCannotBeSet", {"f S/a"}, "", "utime $D/* errno:1",
	 2, R"(treemir: utime \($D/a\) Operation not permitted \(1\))", 1},
	{"DirectoryCannotBeCreated", {"d S/new", "f S/new/f"}, "", "mkdir $D/new errno:28",
	 2, R"(treemir: (mkdir \($D/new\) No space left on device \(28\)|stat \($D/new\) No such file or directory \(2\)))",
	 2},
	{"DestDirCannotBeOpened", {"d S/sub", "f S/sub/f", "d D/sub"}, "", "opendir $D/sub errno:24",
	 2, R"(treemir: opendir \($D/sub\) Too many open files \(24\))", 1},
	{"ExtraFileCannotBeRemoved", {"f D/extra"}, "", "unlink $D/extra errno:16",
	 2, R"(treemir: unlink \($D/extra\) Device or resource busy \(16\))", 1},
	{"ExtraDirCannotBeRemoved", {"d D/old"}, "", "rmdir $D/old errno:16",
	 2, R"(treemir: rmdir \($D/old\) Device or resource busy \(16\))", 1},
	{"DirModeCannotBeSet", {"d S/sub 0750", "f S/sub/f", "d D/sub"}, "", "chmod $D/sub errno:1",
	 2, R"(treemir: chmod \($D/sub\) Operation not permitted \(1\))", 1},
	{"SourceBoundInDest", {"f S/a", "d S/sub", "f S/sub/k", "d D/inner"}, "", "",
	 2, R"(treemir: rmdir \($D/inner\) Device or resource busy \(16\))", 1, 0, {},
	 [](Ctx &c) { mount_at(c.S, c.D + "/inner", "--bind"); }, nullptr, [](Ctx &c) { unmount(c.D + "/inner"); }},
	// The source bound into the destination under a name it has itself.
	{"SourceBoundInDestUnderItsOwnName", {"f S/a", "d S/inner", "f S/inner/b", "d D/inner"}, "", "",
	 2, R"(treemir: opendir \($D/inner\) Device or resource busy \(16\))", 1, 0, {},
	 [](Ctx &c) { mount_at(c.S, c.D + "/inner", "--bind"); }, nullptr, [](Ctx &c) { unmount(c.D + "/inner"); }},
	{"FileSystemMountedInDest", {"f S/a", "d D/mnt", "d D/old", "d D/old/deeper"}, "", "",
	 2, R"(treemir: rmdir \($D/(mnt|old/deeper)\) Device or resource busy \(16\))", 2, 0, {},
	 [](Ctx &c) {
		 mount_at("none", c.D + "/mnt", "-t tmpfs");
		 mount_at("none", c.D + "/old/deeper", "-t tmpfs");
		 put(c.D + "/mnt/m"), put(c.D + "/old/deeper/m");
	 },
	 [](Ctx &c, const RunResult &) { EXPECT_TRUE(exists(c.D + "/mnt/m") && exists(c.D + "/old/deeper/m")); },
	 [](Ctx &c) { unmount(c.D + "/mnt"), unmount(c.D + "/old/deeper"); }},
	// A file with holes takes no more room in the destination, and shows
	// the percentages of a file without: at the start, at the end, in a
	// hole, and by each way of copying.
	{"SparseFilesKeepTheirHoles", {}, "-b 4096 $S $D", "", 0, "", 0, 0, {}, holes_8m, like_dense},
	{"SparseFileAtTheDefaultBuffer", {}, "", "", 0, "", 0, 0, {}, holes_64m, like_dense},
	{"SparseFileAtABufferOf8MiB", {}, "-b 8388608 $S $D", "", 0, "", 0, 0, {}, holes_64m, like_dense},
	{"SparseFileKernelCopyRefused", {}, "-b 4096 $S $D", "copy_file_range $S/sparse* errno:18", 0, "", 0, 0, {},
	 holes_8m, like_dense},
	{"SparseFileHolesUntold", {}, "-b 4096 $S $D", "lseek $S/sparse* errno:22", 0, "", 0, 0, {}, holes_8m,
	 [](Ctx &c, const RunResult &r) { lines_like_dense(c, r, false); }},
	{"SparseFileShrinksAfterScan", {}, "-b 4096 $S $D", "open $S/sparse sh:truncate -s 3000000 $S/sparse", 0, "", 0,
	 SRC_CHANGES, {}, holes_8m, [](Ctx &c, const RunResult &r) {
		 EXPECT_EQ(read_file(c.D + "/sparse"), read_file(c.S + "/sparse"));
		 expect_out(r, "%034\b\b\b\b%035\b\b\b\b\nCOPY   sparse_hole"); }},
	{"SparseFileGrowsAfterScan", {}, "-b 4096 $S $D", "open $S/sparse sh:printf grown >>$S/sparse", 0, "", 0,
	 SRC_CHANGES, {}, holes_8m, [](Ctx &c, const RunResult &r) {
		 EXPECT_EQ(read_file(c.D + "/sparse"), read_file(c.S + "/sparse"));
		 expect_out(r, "%099\b\b\b\b%100\b\b\b\b\nCOPY   sparse_hole"); }},
	{"SparseFileCannotBeLengthened", {}, "", "ftruncate $D/* errno:28",
	 2, R"(treemir: write \($D/sparse(_hole)?\) No space left on device \(28\))", 2, 0, {}, holes_8m},
	// Destination files that share their data with files elsewhere.
	{"DestHardLinkToOutside", {"f S/f new", "h D/f O/keep"}, "", "", 0, "", 0},
	{"DestHardLinkIntoSource", {"f S/a new", "f S/b original", "h D/a S/b"}, "", "", 0, "", 0},
	// A temporary of an interrupted run goes, also with -r; a source file of
	// such a name is mirrored like any other.
	{"LeftoverTemporaryWithKeep", {"f S/a", "f S/.treemir-tmp-9 real", "d S/sub", "f D/.treemir-tmp-7 partial",
	  "d D/sub", "f D/sub/.treemir-tmp-3 partial"}, "-r $S $D", "", 0, "", 0, 0, {}, nullptr,
	 [](Ctx &c, const RunResult &r) {
		 EXPECT_FALSE(exists(c.D + "/.treemir-tmp-7") || exists(c.D + "/sub/.treemir-tmp-3"));
		 EXPECT_EQ(read_file(c.D + "/.treemir-tmp-9"), "real");
		 expect_out(r, "2 file(s) checked,2 copied,0 deleted");
	 }},
	// New files that a default ACL gives other bits still end with their
	// source's mode.
	{"DefaultAclOnDest", {"f S/f", "m S/f 0644", "f S/g", "m S/g 0600", "d S/sub", "f S/sub/h"}, "", "", 0, "", 0, 0,
	 {}, [](Ctx &c) { default_acl(c.D); }},
	// Only the mode of a source file changed since the last run.
	{"FileModeDriftOnly", {"f S/private", "m S/private 0600", "f D/private"}, "", "", 0, "", 0},
	// A FAT destination: no error for the modes it cannot take, and no
	// copy again for a time it keeps a second off, in either copy mode.
	{"FatDestination", fat_tree, "", "fat $D fat", 0, "", 0, ON_FAT},
	{"FatDestinationNewerOnly", fat_tree, "-m 1 $S $D", "fat $D fat", 0, "", 0, ON_FAT},
	// Copies on a disk wait for their barrier: one that fails places none
	// of them, and the old files stay.
	{"BarrierFails", {"f S/old new_version", "f D/old stale", "f S/fresh #3000", "d S/sub", "f S/sub/x #5000"}, "",
	 "syncfs $D* errno:5", 2, R"(treemir: syncfs \($D[^\n]*\) Input/output error \(5\))", -1, ON_DISK, {}, nullptr,
	 reads("old", "stale")},
	// A destination that fills while workers copy, on a disk and in memory:
	// the lines are those of one worker, on a destination of the same room.
	{"FillsWhileWorkersCopy", {}, "", "syncfs /none errno:5", 2, FULL_ROOM_LINE, -1, ON_DISK, {}, small_room,
	 same_as_one_worker, [](Ctx &c) { unmount(c.D); }},
	{"FillsWhileWorkersCopyToMemory", {}, "", "syncfs /none errno:5", 2, FULL_ROOM_LINE, -1, ON_DISK | COLD, {},
	 small_room, same_as_one_worker, [](Ctx &c) { unmount(c.D); }},
	// Batches sealed before the workers start, which a directory that makes
	// its reader wait starts: they are placed as they were sealed.
	{"BatchesSealedBeforeWorkers", {}, "", "opendir $S/z* sleep:2000", 0, "", 0, ON_DISK | WARM, {},
	 in_source("for d in $(seq 70); do mkdir d$d; echo $d > d$d/f; done && mkdir -p z/y/x && "
	           "for d in z z/y z/y/x; do for f in 1 2 3; do echo $d$f > $d/f$f; done; done"),
	 [](Ctx &c, const RunResult &) { EXPECT_EQ(fingerprint(c.D, false, c.D), fingerprint(c.S, true, c.D)); }},
	// Many batches, and more directories holding waiting copies than the
	// walk keeps open: every copy is placed.
	{"DiskDestinationBatches", {}, "", "syncfs /none errno:5", 0, "", 0, ON_DISK, {},
	 in_source("for d in $(seq 80); do mkdir d$d; for f in $(seq 20); do echo $d$f > d$d/f$f; done; done"),
	 [](Ctx &c, const RunResult &) { EXPECT_EQ(fingerprint(c.D, false, c.D), fingerprint(c.S, true, c.D)); }},

	// Special entries.
	{"SourceSpecials", {"f S/a", "p S/pipe", "s S/sock", "c S/null", "b S/blk"}, "", "",
	 0, R"(treemir: Ignored (fifo pipe in $S|char device null in $S|unknown  (sock|blk) in directory $S))", 4},
	{"SourceLinkLoop", {"f S/f", "f D/extra", "l S/a b", "l S/b a"}, "", "",
	 2, R"(treemir: stat \($S/[ab]\) Too many levels of symbolic links \(40\))", 2, 0, {"x S/a", "x S/b"}, nullptr,
	 [](Ctx &c, const RunResult &) { EXPECT_TRUE(exists(c.D + "/extra") && exists(c.D + "/f")); }},
	// What a source link shows inside the destination is part of the source.
	{"SourceLinkIntoDest", {"d D/inner", "f D/inner/x", "l S/sub $D/inner"}, "", "", -1, ANY, -1, 0, {"x S/sub"}},
	{"SourceLinksLeadOutside", {"l S/ext $O", "l S/kf $O/keep"}, "", "", 0, "", 0, 0, {}, nullptr,
	 reads("ext/sub/k2", "k2")},
	{"DestSpecialsInPlaceOfFiles", {"f S/x", "f S/s", "p D/x", "s D/s"}, "", "",
	 0, R"(treemir: Ignored (fifo x in $D|unknown  s in directory $D))", 2},
	// A special file where the source has a directory must not block every run.
	{"DestFifoInPlaceOfDir", {"d S/sub", "f S/sub/f", "p D/sub"}, "", "", -1, ANY, -1},

	// Hostile names, deep paths and a large directory.
	{"HostileNames", {}, "", "", 0, "", 0, 0, {}, hostile,
	 [](Ctx &, const RunResult &r) { expect_out(r, "COPY   %s%n%x "), expect_out(r, "COPY   new\nline "); }},
	// On a terminal a name cannot recolour the screen or split a line.
	{"HostileNamesOnATerminal", {"f S/esc\033[31mred", "f S/new\nline", "d S/tab\tdir", "f S/tab\tdir/\177"}, "", "",
	 0, "", 0, TERMINAL, {}, nullptr, [](Ctx &c, const RunResult &r) {
		 expect_out(r, "COPY   esc\\033[31mred "), expect_out(r, "COPY   new\\nline ");
		 expect_out(r, "MKDIR  " + c.D + "/tab\\tdir\r\n"), expect_out(r, "COPY   \\177 ");
		 EXPECT_EQ(r.out.find('\033'), r.out.npos) << r.out; }},
	{"PathsPastPathMax", {}, "", "", 2, R"(treemir: stat \($S/[^\n]*\) File name too long \(36\))", 2, 0, {},
	 [](Ctx &c) { descend(c.S, 20, true); }, nullptr, cut_deep},
	{"DestPathsPastPathMax", {"D D" + std::string(121, 'd')}, "", "",
	 2, R"(treemir: (mkdir|open) \($D/[^\n]*\) File name too long \(36\))", 2, 0, {},
	 [](Ctx &c) { descend(c.S, 17, true); }, nullptr, cut_deep},
	// The deepest tree a path allows, copied, and removed from the destination.
	{"TwoThousandLevels", {}, "-v 1 $S $D", "", 0, "", 0, 0, {},
	 [](Ctx &c) {
		 // One open directory a level: more than the one-worker runs' 192.
		 if (strcmp(getenv("TREEMIR_TEST_ONE_WORKER") ?: "", "1") == 0)
			 GTEST_SKIP() << "the runs are held to 192 open files";
		 descend(c.S + "/d", 2000, false), descend(c.D + "/x", 2000, false);
	 },
	 [](Ctx &, const RunResult &r) { expect_out(r, "200 file(s) checked,200 copied,200 deleted"); }},
	{"HundredThousandEntries", {}, "-v 1 $S $D", "", 0, "", 0, 0, {},
	 [](Ctx &c) { many(c.S + "/many", "f%06d"); many(c.D + "/many", "g%06d"); },
	 [](Ctx &, const RunResult &r) { expect_out(r, "100000 file(s) checked,100000 copied,100000 deleted"); }},

	// Overlapping operands.
	{"DestInsideSource", {"f S/top", "d S/a", "d S/a/b", "f S/a/b/f", "D S/a/b/mirror", "f S/a/b/mirror/extra"}, "", "",
	 0, "", 0},
	{"DestLinkInsideSource", {"f S/top", "d S/a", "D S/a/m", "l L $D"}, "$S $T/L", "", 0, "", 0},
	{"SameDirTwice", {"f S/f", "d S/sub 0700", "f S/sub/g", "D S"}, "$S/ $S/.", "", 0, "", 0, 0, {}, nullptr,
	 [](Ctx &, const RunResult &r) { expect_out(r, "2 file(s) checked,0 copied,0 deleted"); }},
	{"SameDirThroughLink", {"f S/f", "d S/sub", "D S", "l L $S"}, "$T/L $S", "", 0, "", 0, 0, {}, nullptr,
	 [](Ctx &, const RunResult &r) { expect_out(r, "1 file(s) checked,0 copied,0 deleted"); }},

	// A huge buffer, and list files.
	{"BufferHuge", {"f S/f 0123456789"}, "-b 99999999999 $S $D", "", 0, "", 0},
	// A list that cannot be read must not pass for an empty one.
	{"ListIsADirectory", {"f S/f"}, "-X @$T $S $D", "", 1, R"(treemir: [a-z]+ \($T\) Is a directory \(21\))", 1,
	 REFUSED},
	{"ListsEmpty", {"f empty", "f S/f"}, "-x @$T/empty -e @$T/empty $S $D", "", 0, "", 0},
	// A list that is no list of words is refused whole, at once.
	{"ListBinaryNames", {"f S/f"}, "-x @$T/bin -X @$T/bin $S $D", "", 1, R"(treemir: list $T/bin holds a NUL byte)", 1,
	 REFUSED, {}, [](Ctx &c) { put(c.T + "/bin", binary(1024, 7)); }},
	{"ListBinaryPatterns", {"f S/f"}, "-e @$T/bin $S $D", "", 1, R"(treemir: list $T/bin holds a NUL byte)", 1, REFUSED,
	 {}, [](Ctx &c) { put(c.T + "/bin", binary(256, 1)); }},
	{"ListOneHugeName", {"f S/f", "f huge #5242880"}, "-x @$T/huge $S $D", "",
	 1, R"(treemir: list $T/huge holds a word longer than 4095 bytes)", 1, REFUSED},
	{"ListOneHugePattern", {"f S/f", "f huge #1048576"}, "-e @$T/huge $S $D", "",
	 1, R"(treemir: list $T/huge holds a word longer than 65536 bytes)", 1, REFUSED},
	{"ListIsACharDevice", {"f S/f"}, "-x @/dev/zero $S $D", "", 1, R"(treemir: list /dev/zero is a device)", 1,
	 REFUSED},
	{"ListIsABlockDevice", {"f S/f", "b blk"}, "-e @$T/blk $S $D", "", 1, R"(treemir: list $T/blk is a device)", 1,
	 REFUSED},
	{"PathologicalPatternsOnLongNames", {"f S/" + std::string(250, 'a'), "d S/" + std::string(200, 'a'),
	  "f S/" + std::string(200, 'a') + "/" + std::string(250, 'a')},
	 R"(-e \(\(\(a*\)*\)*\)*b$ -e \(.*\)*\(.*\)*\(.*\)*c$ -e \(a\|aa\)*\(a\|aa\)*d$ -e \(a*\)\{1,200\}e$ $S $D)", "",
	 0, "", 0},
};

// The crash matrix: one run over a mixed tree (fresh copies, a new
// directory, copies that replace older files, a read-only one and one with
// another name outside, removals) killed at the Nth call of one kind.
// Every file then under a real name must be whole: its old version or its
// new one, times and mode included.
const std::vector<std::string> mixed = {"f S/fresh #3000", "d S/newdir", "f S/newdir/fresh2 #5000",
	"f S/big #20000", "f S/old new_version", "f D/old stale", "f S/ro new", "f D/ro old", "m D/ro 0444",
	"f S/h hardnew", "h D/h O/keep", "f D/extra", "d D/gone", "f D/gone/x"};

std::vector<std::string> file_lines(const std::string &fingerprint)
{
	std::vector<std::string> lines;
	std::istringstream in(fingerprint);
	for (std::string l; std::getline(in, l);)
		if (l.find(" file ") != l.npos && l.find("/.treemir-tmp-") == l.npos)
			lines.push_back(l);
	return lines;
}

void whole_files(Ctx &c, const RunResult &)
{
	std::vector<std::string> old = file_lines(c.before), now = file_lines(fingerprint(c.S, true, c.D));
	for (const std::string &l : file_lines(fingerprint(c.D)))
		EXPECT_TRUE(std::count(old.begin(), old.end(), l) + std::count(now.begin(), now.end(), l) > 0)
			<< "a damaged file: " << l;
}

std::vector<Case> all_cases()
{
	std::vector<Case> all(std::begin(cases), std::end(cases));
	const struct { const char *point; int count, flags; } points[] = {{"open $S/*", 6, 0},
		{"copy_file_range $S/*", 12, 0}, {"utime $D/*", 6, 0}, {"link $D/*", 6, 0}, {"rename $D/*", 3, 0},
		{"close $D/*", 8, 0}, {"unlink $D/*", 2, 0}, {"rmdir $D/*", 1, 0}, {"mkdir $D/*", 1, 0},
		{"copy_file_range $S/*", 6, ON_DISK}, {"link $D/*", 6, ON_DISK}, {"rename $D/*", 6, ON_DISK},
		{"syncfs $D*", 2, ON_DISK}};
	for (auto [point, count, flags] : points) {
		for (int n = 1; n <= count; n++) {
			std::string call(point, strchr(point, ' '));
			all.push_back({(flags & ON_DISK ? "KilledOnDiskAt_" : "KilledAt_") + call + "_" + std::to_string(n), mixed,
			               "-b 4096 $S $D", point + (" kill:" + std::to_string(n)), -1, "", 0, KILLED | flags, {},
			               in_source("find . -type f -exec touch -d @1700000000 {} +"), whole_files});
		}
	}
	return all;
}

void PrintTo(const Case &c, std::ostream *os)
{
	*os << c.name;
}

class Matrix : public testing::TestWithParam<Case> {};

std::vector<std::string> operands(const std::string &args, const Ctx &c)
{
	std::vector<std::string> out;
	std::istringstream in(args.empty() ? "$S $D" : args);
	for (std::string a; in >> a;)
		out.push_back(expand_places(a, c, false));
	return out;
}

// What FAT keeps of a fingerprint: no directory mode, of a file's mode the
// owner-write bit, and times cut down to even seconds.
std::string fat_view(const std::string &print)
{
	static const std::regex dir(R"( dir [0-7]{4}$)"), file(R"( file ([0-7]{4}) (size=\d+) mtime=(-?\d+) )");
	std::string out, line;
	for (size_t at = 0, end; at < print.size(); at = end + 1) {
		end = print.find('\n', at);
		line = std::regex_replace(print.substr(at, end - at), dir, " dir");
		std::smatch m;
		if (std::regex_search(line, m, file)) {
			long long t = std::stoll(m[3]);
			line = m.prefix().str() + (std::stoul(m[1], nullptr, 8) & S_IWUSR ? " file w " : " file r ") +
			       m[2].str() + " mtime=" + std::to_string(t - (t & 1)) + " " + m.suffix().str();
		}
		out += line + "\n";
	}
	return out;
}

// The report lines of stderr, each without its line ends.
std::vector<std::string> error_lines(const std::string &err)
{
	std::vector<std::string> lines;
	for (size_t at = 0, next; at < err.size(); at = next) {
		next = err.find("\ntreemir: ", at + 1);
		std::string line = err.substr(at, next - at);
		size_t from = line[0] == '\n', to = line.size() - (line.back() == '\n');
		lines.push_back(line.substr(from, to - from));
	}
	return lines;
}

TEST_P(Matrix, Run)
{
	const Case &k = GetParam();
	bool nobody = k.flags & NOBODY;
	if (nobody && !can_run_as_nobody())
		GTEST_SKIP() << "cannot run as uid 65534";
	if ((k.flags & TERMINAL) && system("script -qec true /dev/null </dev/null >/dev/null 2>&1") != 0)
		GTEST_SKIP() << "no terminal can be had here";
#ifdef TREEMIR_SANITIZED
	// The shim is preloaded ahead of the sanitizer runtime.
	setenv("ASAN_OPTIONS", (std::string(getenv("ASAN_OPTIONS") ?: "") + ":verify_asan_link_order=0").c_str(), 1);
#endif
	Ctx c{places_in(make_temp_dir("fault")), ""};
	build_tree(c.T, {"d S", "d D", "d O", "d O/sub", "f O/keep keep", "f O/sub/k2 k2"}, &c);
	build_tree(c.T, k.items, &c);
	if (k.setup)
		k.setup(c);
	if (testing::Test::IsSkipped())
		return (void)shell("rm -rf '" + c.T + "'");
	auto source = [&c] { return fingerprint(c.S, false, c.D) + fingerprint(c.S, true, c.D); };
	const std::string src0 = source(), out0 = fingerprint(c.O), dst0 = fingerprint(c.D);
	c.before = dst0;
	if (!k.fault.empty()) {
		std::string f = expand_places(k.fault, c, false);
		size_t sp = f.find(' '), sp2 = f.find(' ', sp + 1);
		setenv("LD_PRELOAD", reachable_copy(FAULT_SHIM).c_str(), 1);
		setenv("FAULT_CALL", f.substr(0, sp).c_str(), 1);
		setenv("FAULT_PATH", f.substr(sp + 1, sp2 - sp - 1).c_str(), 1);
		setenv("FAULT_DO", f.substr(sp2 + 1).c_str(), 1);
	}
	if (k.flags & ON_DISK)
		setenv("FAULT_DISK", k.flags & WARM ? "warm" : k.flags & COLD ? "cold" : "1", 1);
	RunResult r = k.flags & TERMINAL ? run_on_terminal(operands(k.args, c)) : run_treemir(operands(k.args, c), "", nobody);
	if (!(k.flags & (ON_FAT | ON_DISK)))
		unsetenv("LD_PRELOAD");
	if (k.flags & ON_DISK)
		unsetenv("FAULT_CALL"); // the disk stays, the fault goes
	{
		SCOPED_TRACE("stdout: " + r.out.substr(0, 3000) + "\nstderr: " + r.err.substr(0, 3000));
		EXPECT_TRUE(k.status < 0 || r.status == k.status) << "status " << r.status;
		EXPECT_TRUE(r.status < 128 || (k.flags & KILLED)) << "killed by a signal";
		std::vector<std::string> lines = error_lines(r.err);
		EXPECT_TRUE(k.lines < 0 || (int)lines.size() == k.lines) << lines.size() << " lines";
		std::regex line_rx(expand_places(k.err, c, true));
		int counted = 0;
		for (auto &l : lines) {
			EXPECT_TRUE(std::regex_match(l, line_rx)) << "unexpected: " << l;
			counted += l.rfind("treemir: ", 0) == 0 && l.rfind("treemir: Ignored", 0) != 0;
		}
		// The summary is the last line; its error count is the lines' count.
		std::string last = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
		std::smatch m;
		if (std::regex_search(last, m, std::regex(R"(checked,\d+ copied,\d+ deleted in \d+ second\(s\)(,(\d+) error)?)"))) {
			EXPECT_EQ(m[2].matched ? std::stoi(m[2]) : 0, counted) << "errors counted and reported differ";
			EXPECT_EQ(r.status, counted ? 2 : 0);
		}
		EXPECT_TRUE((k.flags & SRC_CHANGES) || source() == src0) << "the source changed";
		EXPECT_EQ(fingerprint(c.O), out0) << "the folder beside the trees changed";
		EXPECT_TRUE(!(k.flags & REFUSED) || fingerprint(c.D) == dst0) << "a refused run changed the destination";
		if (k.check)
			k.check(c, r);
	}
	build_tree(c.T, k.lift, &c);
	if (k.lift_fn)
		k.lift_fn(c);
	std::vector<std::string> again = operands(k.flags & (REFUSED | KILLED) ? "" : k.args, c);
	RunResult r2 = run_treemir(k.flags & KILLED ? operands("-m 1 $S $D", c) : again, "", nobody);
	EXPECT_EQ(r2.status, 0) << r2.err.substr(0, 3000);
	auto kept = [&k](const std::string &print) { return k.flags & ON_FAT ? fat_view(print) : print; };
	EXPECT_EQ(kept(fingerprint(c.D, false, c.D)), kept(fingerprint(c.S, true, c.D))) << "the second run left no exact mirror";
	RunResult r3 = run_treemir(again, "", nobody);
	unsetenv("LD_PRELOAD");
	unsetenv("FAULT_DISK");
	EXPECT_EQ(r3.status, 0) << r3.err.substr(0, 3000);
	EXPECT_TRUE(r3.out.find("checked,") == r3.out.npos || r3.out.find(",0 copied,0 deleted in") != r3.out.npos)
		<< "the third run changed something: " << r3.out.substr(0, 3000);
	EXPECT_EQ(fingerprint(c.O), out0) << "the folder beside the trees changed";
	shell("rm -rf '" + c.T + "'");
}

INSTANTIATE_TEST_SUITE_P(Fault, Matrix, testing::ValuesIn(all_cases()),
                         [](const testing::TestParamInfo<Case> &i) { return i.param.name; });

} // namespace
