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
// names another.  With one_worker, or for every run when the tests run
// with TREEMIR_TEST_ONE_WORKER=1, it runs under prlimit with an open-files
// limit of 192, soft and hard, from which the program takes one worker.
RunResult run_treemir(const std::vector<std::string> &args, const std::string &cwd = "",
                      bool as_nobody = false, bool one_worker = false);
// The words run_treemir runs.
std::vector<std::string> command_line(const std::vector<std::string> &args, bool as_nobody = false,
                                      bool one_worker = false);

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
// The separator the program prints.
extern const std::string SEP;
// A path as the program prints it: itself, or in Windows mode in Windows
// form (absolute paths on drive Z:).  scan_line, header_lines and
// error_line apply it themselves.
std::string native(const std::string &path);
// A pattern with each '/' spelled as the separator.
std::string native_re(const std::string &pattern);
// The program's name as its option scanner prints it (argv[0]).
std::string program_name();
// Windows mode: dir as the root of a drive of its own, T:\ (or the
// letter given), until unmap_drive; "" without drive letters.  Under the
// Windows stage T: is a network drive, the others local disks.
std::string map_drive(const std::string &dir, char letter = 't');
void unmap_drive(char letter = 't');

// A fresh empty folder on tmpfs; removed again by remove_tree_all.
std::string make_temp_dir(const std::string &tag);
void remove_tree_all(const std::string &path);

void write_file(const std::string &path, const std::string &data);
void write_file_at(const std::string &path, const std::string &data, time_t mtime);
std::string read_file(const std::string &path);
void make_dirs(const std::string &path);
bool exists(const std::string &path);
// Runs a shell command that must succeed.
void shell(const std::string &command);
// Gives a whole tree to uid/gid 65534 so that the unprivileged runs can use it.
void give_to_nobody(const std::string &path);
bool can_run_as_nobody();

// One line per item of the tree, root first, the rest sorted: relative
// path, type, mode, and for files size, mtime seconds and content hash; for
// links the target.  With follow, links are seen through and what the
// program leaves out of a source is left out; the directory skip (a
// destination inside the source) is always left out.
std::string fingerprint(const std::string &root, bool follow = false, const std::string &skip = "");

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

// Trees and the console, described in words.
using Items = std::vector<std::string>;
// The modification time of built files.
const time_t T0 = 1600000000;

// The folders of one case: the top folder T, the source S and the
// destination D in it, and a folder O beside them that no run may change.
struct Places {
	std::string T, S, D, O;
};
Places places_in(const std::string &top);
// s with $T, $S, $D and $O replaced by the places, quoted for a regular
// expression with regex.
std::string expand_places(std::string s, const Places &places, bool regex = false);

// Builds or changes the tree at root from items "OP PATH [ARG..]", words
// split at single spaces, PATH relative to root ("." is root itself), and
// $T $S $D $O in the arguments standing for places:
//   d PATH [MODE]                   a directory, mode 0755 by default
//   D PATH [MODE]                   the same, and it becomes places->D
//   f PATH [DATA [MODE [SECONDS]]]  a file of DATA ("data" by default, "-"
//                                   empty, "#N" N bytes 'x', "#N.K" N
//                                   bytes of pattern K), MODE 0644, made
//                                   at T0 + SECONDS
//   l PATH TARGET   a symbolic link     h PATH OTHER  a hard link to root/OTHER
//   p PATH, s PATH  a FIFO, a socket    c PATH, b PATH  the devices 1,3 and 7,0
//   m PATH MODE     chmod               t PATH SECONDS  the modification time
//   o PATH          all of it to root   N               all of root to uid 65534
//   x PATH          removed
void build_tree(const std::string &root, const Items &items, Places *places = nullptr);

// The console text of line tokens, paths relative to top: "scan P",
// "head P Q", "rm P", "rmdir P", "mkdir P", "copy NAME SIZE [P1,P2..]",
// "open NAME SIZE" (a COPY line left open), "sum CHECKED COPIED DELETED
// [ERRORS]", "err OP P ERRNO", "notdir P", "fifo NAME P".
std::string console_text(const Items &tokens, const std::string &top);

// One mirror: S, D and O built in a fresh top folder from the items, the
// program run with opts on S and D, and checked: stdout and stderr (line
// tokens), the status, the destination against want ({"=S"}: the source's
// items), S and O unchanged, and the folders of D named in calm with their
// status change time kept (nothing was chmod-ed there).  With rerun >= 0 a
// second run must check that many files and change nothing.  A case run
// as uid 65534 is left out where that cannot be.
struct MirrorCase {
	std::string name;
	Items src, dst, opts, out, err;
	int status;
	Items want;
	int rerun = -1;
	Items calm = {};
	Items outside = {};
	bool nobody = false;
};
void check_mirror(const MirrorCase &c);

// Replaces "in N second(s)" by "in 0 second(s)", so runs that straddle a
// second boundary compare alike.
std::string zero_seconds(const std::string &out);

#endif
