// The road of one run: a changed file, a new 3 MiB file and a new
// subdirectory, against a destination with one extra file.
#include "harness.h"

#include <gtest/gtest.h>

TEST(Road, OneRunPrintsExactlyTheDocumentedSequence)
{
	std::string top = make_temp_dir("road");
	std::string S = top + "/S", D = top + "/D";
	make_dirs(S + "/sub");
	make_dirs(D);
	write_file_at(S + "/b.txt", "changed, longer", 1600000000);
	write_file_at(D + "/b.txt", "old", 1500000000);
	write_file_at(S + "/n.txt", std::string(3145728, 'n'), 1600000000);
	write_file_at(S + "/sub/f.txt", "f", 1600000000);
	write_file(D + "/x.txt", "extra");

	RunResult r = run_treemir({S, D});
	std::string expected = BANNER + scan_line(S) + scan_line(D) + header_lines(S, D) +
		"RM     " + native(D + "/x.txt") + "\n" +
		copy_line("b.txt", 15, {100}) + copy_line("n.txt", 3145728, {33, 66, 100}) +
		"MKDIR  " + native(D + "/sub") + "\n" +
		scan_line(S + "/sub") + scan_line(D + "/sub") + header_lines(S + "/sub", D + "/sub") +
		copy_line("f.txt", 1, {100}) + summary(3, 3, 1);
	EXPECT_EQ(zero_seconds(r.out), expected);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(fingerprint(S), fingerprint(D));

	RunResult again = run_treemir({S, D});
	EXPECT_EQ(zero_seconds(again.out), BANNER + scan_line(S) + scan_line(D) +
		scan_line(S + "/sub") + scan_line(D + "/sub") + summary(3, 0, 0));
	EXPECT_EQ(again.status, 0);
	remove_tree_all(top);
}
