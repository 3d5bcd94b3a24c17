// Paths as the program is given them: operands, where a trailing separator
// is dropped, a drive root keeps its own and no joined path doubles the
// separator; list files; patterns that spell the separator.
#include "harness.h"

#include <gtest/gtest.h>
#include <cerrno>

TEST(Operands, TrailingSeparatorsAndDriveRoots)
{
	std::string top = make_temp_dir("operands");
	const std::string S = top + "/S", Dl = top + "/Ωbackup";
	// Beside the look-alike destination: no operand may be mapped onto it.
	make_dirs(top + "/Obackup");
	write_file(top + "/Obackup/precious.txt", "precious");
	const std::string beside = fingerprint(top + "/Obackup");
	struct Case {
		const char *name;
		std::string src, dst;           // the operands; "S:" or "D:" maps that tree to a drive
		std::string src_shown, dst_shown; // as the program prints them
		std::string cwd;
		std::string D = "D";            // the destination directory, in top
	} cases[] = {
		{"trailing separators", S + "/", top + "/D/", S, top + "/D", ""},
		{"relative, trailing separators", "S" + SEP, "D" + SEP, "S", "D", top},
		{"relative, trailing slashes", "S/", "D/", "S", "D", top},
		{"trailing slash after the platform's own path", native(S) + "/", native(top + "/D") + "/", S,
		 top + "/D", ""},
		{"source drive root", "S:", top + "/D", "T:\\", top + "/D", ""},
		{"destination drive root", S, "D:", S, "T:\\", ""},
		{"two trailing separators keep one", S + "//", top + "/D//", S + "/", top + "/D/", ""},
		{"look-alike destination", S, Dl, S, Dl, "", "Ωbackup"},
		{"relative look-alike destination", "S", "Ωbackup", "S", "Ωbackup", top, "Ωbackup"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		std::string src = c.src, dst = c.dst, D = top + "/" + c.D;
		if (src == "S:" || dst == "D:") {
			std::string root = map_drive(src == "S:" ? S : D);
			if (root.empty())
				continue; // no drive letters here
			(src == "S:" ? src : dst) = root;
		}
		make_dirs(S + "/sub");
		make_dirs(D);
		write_file_at(S + "/a", "aa", 1600000000);
		write_file_at(S + "/sub/b", "b", 1600000000);
		write_file(D + "/x", "x");
		RunResult r = run_treemir({src, dst}, c.cwd);
		unmap_drive();
		// Every joined path has exactly one separator before the name.
		auto in = [](const std::string &dir, const std::string &name) {
			std::string d = native(dir);
			return d.back() == SEP[0] ? d + name : d + SEP + name;
		};
		const std::string ss = c.src_shown, ds = c.dst_shown;
		EXPECT_EQ(zero_seconds(r.out), BANNER + scan_line(ss) + scan_line(ds) + header_lines(ss, ds) +
			"RM     " + in(ds, "x") + "\n" + copy_line("a", 2, {100}) + "MKDIR  " + in(ds, "sub") + "\n" +
			scan_line(in(ss, "sub")) + scan_line(in(ds, "sub")) + header_lines(in(ss, "sub"), in(ds, "sub")) +
			copy_line("b", 1, {100}) + summary(2, 2, 1));
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(fingerprint(D), fingerprint(S));
		remove_tree_all(D);
	}
	EXPECT_EQ(fingerprint(top + "/Obackup"), beside);
	remove_tree_all(top);
}

// List files named by absolute paths, with line ends of either platform,
// and a pattern that spells the separator.
TEST(Operands, ListFilesAndPatterns)
{
	std::string top = make_temp_dir("lists");
	const std::string S = top + "/S", D = top + "/D", names = top + "/names", dirs = top + "/dirs",
	                  patterns = top + "/patterns", pattern = native_re("sub/a\\.log$");
	write_file(names, "skip.tmp\r\nnothing\n");
	write_file(dirs, " cache ");
	write_file(patterns, "\\(\n" + pattern + "\r\n");
	make_dirs(S + "/cache");
	make_dirs(S + "/sub");
	make_dirs(D);
	for (const char *f : {"/keep.txt", "/skip.tmp", "/cache/f", "/sub/a.log", "/sub/b.txt"})
		write_file_at(S + f, "x", 1600000000);
	std::string scan_sub = scan_line(S + "/sub");
	scan_sub.insert(scan_sub.size() - 5, native(S + "/sub/a.log") + " matched by " + pattern + " \n");
	RunResult r = run_treemir({"-x", "@" + names, "-X", "@" + dirs, "-e", "@" + patterns, S, D});
	EXPECT_EQ(zero_seconds(r.out), BANNER + scan_line(S) + scan_line(D) + header_lines(S, D) +
		copy_line("keep.txt", 1, {100}) + "MKDIR  " + native(D + "/sub") + "\n" + scan_sub +
		scan_line(D + "/sub") + header_lines(S + "/sub", D + "/sub") + copy_line("b.txt", 1, {100}) +
		summary(2, 2, 0, 1));
	EXPECT_EQ(r.err, error_line("regex", "\\(", EINVAL));
	EXPECT_EQ(r.status, 2);
	EXPECT_EQ((std::vector<bool>{exists(D + "/keep.txt"), exists(D + "/skip.tmp"), exists(D + "/cache"),
	                             exists(D + "/sub/a.log"), exists(D + "/sub/b.txt")}),
	          (std::vector<bool>{true, false, false, false, true}));
	remove_tree_all(top);
}
