// Helpers for the end-to-end tests: run the built binary, build trees on
// tmpfs, and spell out the exact console texts the program prints.
#ifndef TREEMIR_HARNESS_H
#define TREEMIR_HARNESS_H

#include <string>
#include <vector>
#include <sys/types.h>

struct RunResult {
	std::string out;
	std::string err;
	int status; // exit status, or 128 + signal
};

// Runs the binary with args in cwd (empty: the current folder).  With
// as_nobody the binary runs as uid/gid 65534 through setpriv, from a
// reachable copy (see reachable_copy), in that copy's folder unless cwd
// names another.
RunResult run_treemir(const std::vector<std::string> &args, const std::string &cwd = "",
                      bool as_nobody = false);

// A copy of file, made once per process, in a folder of the harness's own
// under /tmp (mode 755, removed at exit): uid 65534 may not reach a build
// folder inside a private home, and the loader splits LD_PRELOAD at spaces.
// Runs as uid 65534 use a copy of the binary.
std::string reachable_copy(const std::string &file);

// Windows mode: with TREEMIR_EXE naming a Windows build and TREEMIR_RUNNER
// its runner (wine), run_treemir runs that instead.  It hands over every
// absolute path argument (and "@path") in Windows form, Z: plus the path
// with backslashes, leaves the argument after -e alone, and gives back the
// output with the runtime's "\r\n" line ends as "\n".  Runs as uid 65534
// use the prefix in TREEMIR_WINEPREFIX_NOBODY.
bool windows_mode();
// The separator the program prints, and the way a pattern spells it.
extern const std::string SEP;
extern const std::string RE_SEP;
// A path as the program prints it: itself, or in Windows mode in Windows
// form (absolute paths on drive Z:).  scan_line, header_lines and
// error_line apply it themselves.
std::string native(const std::string &path);
// A pattern with each '/' spelled as the separator.
std::string native_re(const std::string &pattern);
// The program's name as its option scanner prints it (argv[0]).
std::string program_name();
// Windows mode: dir as the root of a drive of its own, T:\, until
// unmap_drive; "" without drive letters.
std::string map_drive(const std::string &dir);
void unmap_drive();

// A fresh empty folder on tmpfs; removed again by remove_tree_all.
std::string make_temp_dir(const std::string &tag);
void remove_tree_all(const std::string &path);

void write_file(const std::string &path, const std::string &data);
void write_file_at(const std::string &path, const std::string &data, time_t mtime);
std::string read_file(const std::string &path);
void make_dirs(const std::string &path);
void set_mtime(const std::string &path, time_t mtime);
bool exists(const std::string &path);
// Gives a whole tree to uid/gid 65534 so that the unprivileged runs can use it.
void give_to_nobody(const std::string &path);
bool can_run_as_nobody();

// One line per item of the tree, root first, the rest sorted: relative
// path, type, mode, and for files size, mtime seconds and content hash; for
// links the target.  With follow, links are seen through and what the
// program leaves out of a source is left out; the directory skip (a
// destination inside the source) is always left out.
std::string fingerprint(const std::string &root, bool follow = false, const std::string &skip = "");
// Permission bits as the platform keeps them: in Windows mode only the
// read-only attribute of files (0444 or 0666; directories 0777).
unsigned shown_mode(unsigned mode);

// The exact texts of the program.
extern const std::string BANNER;
extern const std::string USAGE;
std::string scan_line(const std::string &path);
std::string header_lines(const std::string &src, const std::string &dst);
std::string copy_line(const std::string &name, long long size,
                      const std::vector<int> &percents);
std::string summary(long long checked, long long copied, long long deleted,
                    long long errors = 0);
std::string error_line(const std::string &op, const std::string &path, int err);

// Replaces "in N second(s)" by "in 0 second(s)", so runs that straddle a
// second boundary compare alike.
std::string zero_seconds(const std::string &out);

#endif
