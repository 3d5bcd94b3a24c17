// The command line through the binary: every text, stream and exit status.
#include "harness.h"

#include <gtest/gtest.h>
#include <cerrno>

TEST(Cli, CommandLinesGiveExactOutputAndStatus)
{
	std::string top = make_temp_dir("cli");
	const std::string S = top + "/S", D = top + "/D", M = top + "/missing";
	const std::string F = top + "/F", E = top + "/E"; // one file, copied by the one row that mirrors F
	for (const std::string &dir : {S, D, F, E})
		make_dirs(dir);
	write_file(top + "/file", "x");
	write_file(F + "/f", "x");
	const std::string bin = program_name();
	const std::string operands = "treemir: source and destination not specified\n"
	                             "please try treemir -h for usage\n";
	const std::string scans = scan_line(S) + scan_line(D), none = summary(0, 0, 0);
	const std::string no_source = error_line("stat", M, ENOENT), no_argument = " : option requires an argument --  ";
	const std::string bad_patterns = error_line("regex", "\\(\\(\\(a*\\)*\\)*b", EINVAL) +
		error_line("regex", "[", EINVAL) + error_line("regex", "a\\{1", EINVAL) + error_line("regex", "", EINVAL) +
		error_line("regex", "x\\{99999\\}", EINVAL);
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
		{{"-m"}, USAGE, bin + no_argument + "m\n", 2}, {{"-v"}, USAGE, bin + no_argument + "v\n", 2},
		{{"-x"}, USAGE, bin + no_argument + "x\n", 2}, {{"-X"}, USAGE, bin + no_argument + "X\n", 2},
		{{"-b"}, USAGE, bin + no_argument + "b\n", 2}, {{"-e"}, USAGE, bin + no_argument + "e\n", 2},
		{{"-b", "0", S, D}, "treemir: invalid -b 0\n" + USAGE, "", 2},
		{{"-b", "-5", S, D}, "treemir: invalid -b -5\n" + USAGE, "", 2},
		{{"-b", "-99999999999", S, D}, "treemir: invalid -b -2147483648\n" + USAGE, "", 2},
		{{"-b", "1", S, D}, scans + none, "", 0},
		{{"-q", S, D}, "", "", 0}, {{"-v", "3", "-q", S, D}, "", "", 0},
		{{"-q", "-v", "3", S, D}, scans + none, "", 0},
		{{"-v", "12", S, D}, scans + none, "", 0}, {{"-v", "1", S, D}, scans + none, "", 0},
		{{"-v", "-1", S, D}, none, "", 0}, {{"-v", "-99999999999", F, E}, summary(1, 1, 0), "", 0},
		{{"-e", "\\(\\(\\(a*\\)*\\)*b", "-e", "[", "-e", "a\\{1", "-e", "", "-e", "x\\{99999\\}", S, D},
		 scans + summary(0, 0, 0, 5), bad_patterns, 2},
		{{"-x", "@" + M, S, D}, "", error_line("fopen", M, ENOENT), 1},
		{{"-e", "@", S, D}, "", error_line("fopen", "", ENOENT), 1},
		{{"-", D}, summary(0, 0, 0, 1), error_line("stat", "-", ENOENT), 2},
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
