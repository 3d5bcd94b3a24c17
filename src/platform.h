// The platform seam: the separator, the regular expressions, and the few
// file-system calls whose form differs between POSIX systems and Windows,
// under one set of names.  Everything else the walk uses (read, write,
// close, readdir, closedir, stat) has the same name and meaning on both.
//
// Names are UTF-8 inside the program on both.  On Windows every name
// crosses the seam as UTF-16 through the wide calls, converted exactly or
// refused (EILSEQ), never mapped to a look-alike, and every path is handed
// to the system in its long form (\\?\), so that paths are not limited to
// 259 characters.
#ifndef TREEMIR_PLATFORM_H
#define TREEMIR_PLATFORM_H

// The system headers come first: on Windows, stat is renamed below.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#ifndef PATH_MAX
#define PATH_MAX 4096
#endif

#ifdef _WIN32

#include "bre.h"
using treemir::regex_t;
using treemir::regcomp;
using treemir::regexec;
#define REG_NOSUB treemir::RE_NOSUB

enum { PATH_SEPARATOR = '\\' };
// The longest path the program builds, in UTF-8 bytes: the system takes
// 32767 UTF-16 units in the long form.
enum { PATH_LIMIT = 32768 };
#define HAVE_COPY_FILE_RANGE 0
// Both count as separators in what the user types.
inline int is_separator(int c) { return c == '\\' || c == '/'; }

// A UTF-8 path as the system takes it: allocated (free), absolute, in the
// long form (\\?\C:\..., \\?\UNC\server\share\...), "/" read as "\" and
// "." and ".." resolved by name; other names are kept exactly, trailing
// dots and blanks included.  Null with errno EILSEQ (not valid UTF-8),
// ENAMETOOLONG (beyond the system's limit) or ENOENT (empty).
wchar_t *wide_path(const char *path);
// The command line from the system, each argument UTF-8 (argv is replaced,
// allocated for the run).  Answers 0, or the number (1 for the program's
// own name) of an argument that is not valid UTF-16.
int platform_args(int *argc, char ***argv);
// On a console, UTF-8 output for the run; the console's own code page
// comes back at exit.  Files and pipes take the bytes as they are.
void console_utf8(void);
// Output to a console goes whole, as UTF-16, past the C runtime, which would
// take the bytes for the ANSI code page or hand them over one at a time,
// tearing every character apart; to a file or a pipe it goes as it is.
int tm_printf(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));
int tm_fprintf(FILE *f, const char *format, ...) __attribute__((format(gnu_printf, 2, 3)));
int tm_fputs(const char *text, FILE *f);
int tm_putchar(int c);
#define printf tm_printf
#define fprintf tm_fprintf
#define fputs tm_fputs
#define putchar tm_putchar
FILE *open_list(const char *path);
// Whether an opened list file is a device (a console, NUL, a port).
int list_is_device(FILE *f);

// The C runtime's status record has no file identity (its st_ino is always
// 0), which the walk needs to know directories apart.  The program's own
// record takes the runtime's fields and adds, for a directory, the volume
// serial and file index; a record without them matches no other.
#undef stat
struct tm_stat {
	uint64_t st_dev;
	uint64_t st_ino;
	unsigned st_mode;
	int64_t st_size;
	time_t st_atime;
	time_t st_mtime;
	time_t st_ctime;
	unsigned st_nlink;
	int st_uid; // one owner for all: whoever runs the program
	int st_gid;
};
#define stat tm_stat
typedef uint64_t file_dev_t;
typedef uint64_t file_ino_t;
int tm_stat(const char *path, struct tm_stat *st);
// A symbolic link or junction answers S_IFLNK, anything else its stat.
int lstat(const char *path, struct tm_stat *st);
#define S_ISUID 0 // no set-ID bits
#define S_ISGID 0
inline int geteuid(void) { return 0; }
inline int getegid(void) { return 0; }
#define S_IFLNK 0120000
#define S_ISLNK(m) (((m) & S_IFMT) == S_IFLNK)

// Directory enumeration of the program's own: names come as UTF-8, and a
// name that has no UTF-8 form ends readdir with errno EILSEQ, after which
// the enumeration goes on with the next name.
struct dirent {
	char d_name[4 * 260]; // 259 UTF-16 units at most 3 bytes each
};
typedef struct tm_dir DIR;
// A directory that cannot be listed fails here, not as an empty listing.
DIR *open_dir(const char *path);
struct dirent *readdir(DIR *dir);
int closedir(DIR *dir);

// Entries by their full path: the system has no calls relative to a
// directory that the program uses.
inline int stat_entry(DIR *, const char *, const char *full, struct stat *st)
{
	return stat(full, st);
}
inline int lstat_entry(DIR *, const char *, const char *full, struct stat *st)
{
	return lstat(full, st);
}
inline int entry_is_link(DIR *, const struct dirent *, const char *full)
{
	struct stat st;
	return lstat(full, &st) == 0 && S_ISLNK(st.st_mode);
}
int open_source(const char *path);
// Never writes through a link: one in the way fails like O_NOFOLLOW.
int open_dest(const char *path);
// Times (whole seconds) and mode by path, once the copy is closed: the
// descriptor is not used there (fd is always -1).
enum { STATUS_ON_DESCRIPTOR = 0 };
int set_times(int fd, const char *path, const struct stat *st);
// Only the owner's write bit counts: it clears or sets the read-only
// attribute.
int path_chmod(const char *path, unsigned mode);
int path_unlink(const char *path);
int path_rmdir(const char *path);
int path_mkdir(const char *path);
inline int set_mode(int, const char *path, unsigned mode) { return path_chmod(path, mode); }
// The absolute path with links resolved, allocated; null on failure.
char *full_path(const char *path);
// The length of the root part of an absolute path: "C:\", "\\server\share\", "\".
size_t root_length(const char *path);

// Acts by the item's full path: the program uses no calls relative to an
// open directory here, so the directory "descriptors" of the walk are tokens.
enum { CURRENT_DIR = -100 };
inline int open_dir_at(int, const char *, const char *path, int follow)
{
	struct stat st;
	if (stat(path, &st) != 0)
		return -1;
	if (!S_ISDIR(st.st_mode)) {
		errno = ENOTDIR;
		return -1;
	}
	if (!follow && lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
		errno = ELOOP;
		return -1;
	}
	return 0;
}
inline int stat_dir(int, const char *path, struct stat *st) { return stat(path, st); }
inline DIR *dir_stream(int, const char *path) { return open_dir(path); }
inline void close_dir(int) {}
inline int open_dest_at(int, const char *, const char *path) { return open_dest(path); }
inline int unlink_at(int, const char *, const char *path) { return path_unlink(path); }
inline int rmdir_at(int, const char *, const char *path) { return path_rmdir(path); }
// A link to a directory goes as a directory does.
inline int unlink_link_at(int, const char *, const char *path) { return path_rmdir(path); }
inline int mkdir_at(int, const char *, const char *path) { return path_mkdir(path); }
inline int lstat_at(int, const char *, const char *path, struct stat *st) { return lstat(path, st); }
inline int chmod_at(int, const char *, const char *path, unsigned mode) { return path_chmod(path, mode); }
inline void raise_descriptor_limit(void) {}

#else // POSIX

#include <dirent.h>
#include <regex.h>
#include <sys/resource.h>

enum { PATH_SEPARATOR = '/' };
enum { PATH_LIMIT = PATH_MAX };
inline int is_separator(int c) { return c == '/'; }
// Arguments and console are the system's bytes as they are.
inline int platform_args(int *, char ***) { return 0; }
inline void console_utf8(void) {}
inline FILE *open_list(const char *path) { return fopen(path, "r"); }
inline int list_is_device(FILE *f)
{
	struct stat st;
	return fstat(fileno(f), &st) == 0 && (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode));
}
typedef dev_t file_dev_t; // a file's identity: device and inode
typedef ino_t file_ino_t;
#if defined(__linux__)
#define HAVE_COPY_FILE_RANGE 1
#else
#define HAVE_COPY_FILE_RANGE 0
#endif

inline DIR *open_dir(const char *path) { return opendir(path); }
// Status relative to the open directory: no second walk down the path.
inline int stat_entry(DIR *dir, const char *name, const char *, struct stat *st)
{
	return fstatat(dirfd(dir), name, st, 0);
}
inline int lstat_entry(DIR *dir, const char *name, const char *, struct stat *st)
{
	return fstatat(dirfd(dir), name, st, AT_SYMLINK_NOFOLLOW);
}
// The stream's type field answers without a system call where the file
// system fills it.
inline int entry_is_link(DIR *dir, const struct dirent *e, const char *)
{
#ifdef DT_LNK
	if (e->d_type != DT_UNKNOWN)
		return e->d_type == DT_LNK;
#endif
	struct stat st;
	return fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}
// Non-blocking, so that a file swapped for a FIFO cannot hang the run.
inline int open_source(const char *path) { return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC); }
// Times (with nanoseconds) and mode, through fd when it is open, else by path.
enum { STATUS_ON_DESCRIPTOR = 1 };
inline int set_times(int fd, const char *path, const struct stat *st)
{
	struct timespec times[2] = {st->st_atim, st->st_mtim};
	return fd >= 0 ? futimens(fd, times) : utimensat(AT_FDCWD, path, times, 0);
}
inline int set_mode(int fd, const char *path, mode_t mode)
{
	return fd >= 0 ? fchmod(fd, mode) : chmod(path, mode);
}
inline char *full_path(const char *path) { return realpath(path, nullptr); }
inline size_t root_length(const char *) { return 1; }

// The destination is walked through open directories: each act names its
// item relative to the directory it stands in, so that a directory swapped
// for a link while the walk is inside it leads the walk nowhere else.  The
// full path names the same item for the reports.
enum { CURRENT_DIR = AT_FDCWD };
inline int open_dir_at(int dir, const char *name, const char *, int follow)
{
	return openat(dir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
}
inline int stat_dir(int fd, const char *, struct stat *st) { return fstat(fd, st); }
inline DIR *dir_stream(int fd, const char *)
{
	int own = dup(fd); // the stream closes its own descriptor
	DIR *d = own < 0 ? nullptr : fdopendir(own);
	if (d == nullptr && own >= 0)
		close(own);
	return d;
}
inline void close_dir(int fd) { close(fd); }
// Created readable and writable by its owner alone; a FIFO or link in the
// way fails the open.
inline int open_dest_at(int dir, const char *name, const char *)
{
	return openat(dir, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
	              S_IRUSR | S_IWUSR);
}
inline int unlink_at(int dir, const char *name, const char *) { return unlinkat(dir, name, 0); }
inline int rmdir_at(int dir, const char *name, const char *) { return unlinkat(dir, name, AT_REMOVEDIR); }
inline int unlink_link_at(int dir, const char *name, const char *) { return unlinkat(dir, name, 0); }
// The umask decides, as for any new directory.
inline int mkdir_at(int dir, const char *name, const char *) { return mkdirat(dir, name, 0777); }
inline int lstat_at(int dir, const char *name, const char *, struct stat *st)
{
	return fstatat(dir, name, st, AT_SYMLINK_NOFOLLOW);
}
inline int chmod_at(int dir, const char *name, const char *, mode_t mode)
{
	return fchmodat(dir, name, mode, 0);
}
// The destination walk holds one open directory per level.
inline void raise_descriptor_limit(void)
{
	struct rlimit limit;
	if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
		limit.rlim_cur = limit.rlim_max;
		setrlimit(RLIMIT_NOFILE, &limit);
	}
}

#endif
#endif
