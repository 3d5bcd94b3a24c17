// The command line through the binary: every text, stream and exit status.
#include "harness.h"

#include <gtest/gtest.h>
#include <cerrno>

TEST(Cli, CommandLinesGiveExactOutputAndStatus)
{
	std::string top = make_temp_dir("cli");
	const std::string S = top + "/S", D = top + "/D", M = top + "/missing";
	make_dirs(S);
	make_dirs(D);
	write_file(top + "/file", "x");
	const std::string bin = program_name();
	const std::string operands = "treemir: source and destination not specified\n"
	                             "please try treemir -h for usage\n";
	const std::string scans = scan_line(S) + scan_line(D), none = summary(0, 0, 0);
	const std::string no_source = error_line("stat", M, ENOENT);
	struct Case { std::vector<std::string> args; std::string out, err; int status; } cases[] = {
		{{}, operands, "", 1}, {{S}, operands, "", 1}, {{S, D, D}, operands, "", 1},
		{{S, "-q", D}, operands, "", 1}, {{S, D, "-m"}, operands, "", 1},
		{{S, D}, scans + none, "", 0}, {{"--", S, D}, scans + none, "", 0},
		{{"-h", S, D}, USAGE, "", 2},
		{{"-v", "5", "-h", S, D}, USAGE, "", 2},
		{{"-m", "2", S, D}, "treemir: invalid -m 2\n" + USAGE, "", 2},
		{{"-m", "-1", S, D}, "treemir: invalid -m -1\n" + USAGE, "", 2},
		{{"-m", "99999999999", S, D}, "treemir: invalid -m 2147483647\n" + USAGE, "", 2},
		{{"-m", "x", S, D}, scans + none, "", 0},
		{{"-m1", "-r", S, D}, scans + none, "", 0},
		{{"-z", S, D}, USAGE, bin + " : illegal option --  z\n", 2},
		{{"-zq", S, D}, USAGE, bin + " : illegal option --  z\n", 2},
		{{"-m"}, USAGE, bin + " : option requires an argument --  m\n", 2},
		{{"-b", "0", S, D}, "treemir: invalid -b 0\n" + USAGE, "", 2},
		{{"-b", "-5", S, D}, "treemir: invalid -b -5\n" + USAGE, "", 2},
		{{"-b", "1", S, D}, scans + none, "", 0},
		{{"-q", S, D}, "", "", 0}, {{"-v", "3", "-q", S, D}, "", "", 0},
		{{"-q", "-v", "3", S, D}, scans + none, "", 0},
		{{"-v", "12", S, D}, scans + none, "", 0}, {{"-v", "1", S, D}, scans + none, "", 0},
		{{"-v", "-1", S, D}, none, "", 0},
		{{M, D}, summary(0, 0, 0, 1), no_source, 2},
		{{"-q", M, D}, "", no_source, 2},
		{{"-v", "-1", M, D}, summary(0, 0, 0, 1), no_source, 2},
		{{top + "/file", D}, summary(0, 0, 0, 1), "\ntreemir: " + native(top + "/file") + " is not a directory\n", 2},
	};
	for (const Case &c : cases) {
		std::string line;
		for (const std::string &a : c.args)
			line += " " + a;
		RunResult r = run_treemir(c.args);
		EXPECT_EQ(zero_seconds(r.out), BANNER + c.out) << line;
		EXPECT_EQ(r.err, c.err) << line;
		EXPECT_EQ(r.status, c.status) << line;
	}
	remove_tree_all(top);
}
