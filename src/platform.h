// The platform seam: the separator, the regular expressions, and the few
// file-system calls whose form differs between POSIX systems and Windows,
// under one set of names.  Everything else the walk uses (read, write,
// close) has the same name and meaning on both.
//
// Names are UTF-8 inside the program on both.  On Windows every name
// crosses the seam as UTF-16 through the wide calls, converted exactly or
// refused (EILSEQ), never mapped to a look-alike, and every path is handed
// to the system in its long form (\\?\), so that paths are not limited to
// 259 characters.
#ifndef TREEMIR_PLATFORM_H
#define TREEMIR_PLATFORM_H

// The system headers come first: on Windows, stat is renamed below.
#include <atomic>
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

// What a file system keeps of the status the mirror gives its items: the
// permission bits (all of them, only the owner-write bit as a read-only
// attribute, or none: every item shows one fixed mode), and the step in
// which it keeps modification times, with the way a time between two
// steps is stored; below a second, the step of the fraction it keeps.
enum { KEEPS_MODES = 0, KEEPS_WRITE_BIT = 1, KEEPS_NO_MODES = 2 };
enum { WHOLE_SECONDS = 1000000000 };
struct VolumeKind {
	int file_modes; // KEEPS_*
	int dir_modes;
	int time_step;  // seconds: 1, or 2 on FAT
	int round_up;   // a time between two steps goes to the later one
	int renames_touch; // a renamed file is given the current time
	int32_t time_nanos; // nanoseconds: 1, 100 on NTFS, 10000000 on exFAT; WHOLE_SECONDS
	int in_memory;     // no disk behind it: a power cut leaves nothing to keep
};
// volume_kind (fd, path, kind) fills *kind with what the type of the file
// system holding the open directory fd (path) tells, and answers 1 when
// that is all there is to know; 0 when the rest must be found out by
// trying.

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
typedef struct tm_stat FileStatus;
typedef uint64_t file_dev_t;
typedef uint64_t file_ino_t;
int file_status(const char *path, FileStatus *st);
// A symbolic link or junction answers S_IFLNK, anything else its stat.
int link_status(const char *path, FileStatus *st);
#define S_ISUID 0 // no set-ID bits
#define S_ISGID 0
inline int geteuid(void) { return 0; }
inline int getegid(void) { return 0; }
typedef int user_id_t;
typedef int group_id_t;
// The status record has whole seconds only.
inline int32_t mtime_nanos(const FileStatus *) { return 0; }
inline void set_nanos(FileStatus *, int32_t) {}
// The runtime has no copy of its own between two files.
inline ssize_t kernel_copy(int, int, size_t)
{
	errno = ENOSYS;
	return -1;
}
#define S_IFLNK 0120000
#ifndef EDQUOT
#define EDQUOT ENOSPC // no quota of its own: a full disk
#endif
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
inline int stat_entry(int, const char *, const char *full, FileStatus *st)
{
	return file_status(full, st);
}
inline int lstat_entry(int, const char *, const char *full, FileStatus *st)
{
	return link_status(full, st);
}
inline int entry_is_link(int, const struct dirent *, const char *full)
{
	FileStatus st;
	return link_status(full, &st) == 0 && S_ISLNK(st.st_mode);
}
int open_source(const char *path);
inline int open_source_at(int, const char *, const char *path) { return open_source(path); }
// The walk copies alone here: there are no workers.
inline int data_in_memory(int, const char *) { return 1; }
// Never writes through a link: one in the way fails like O_NOFOLLOW.
int open_dest(const char *path);
// Times (whole seconds) and mode by path, once the copy is closed: the
// descriptor is not used there (fd is always -1).
enum { STATUS_ON_DESCRIPTOR = 0 };
int set_times(int fd, const char *path, const FileStatus *st);
inline int set_times_at(int, const char *, const char *path, const FileStatus *st)
{
	return set_times(-1, path, st);
}
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
	FileStatus st;
	if (file_status(path, &st) != 0)
		return -1;
	if (!S_ISDIR(st.st_mode)) {
		errno = ENOTDIR;
		return -1;
	}
	if (!follow && link_status(path, &st) == 0 && S_ISLNK(st.st_mode)) {
		errno = ELOOP;
		return -1;
	}
	return 0;
}
inline int stat_dir(int, const char *path, FileStatus *st) { return file_status(path, st); }
// A directory is listed by its path: the descriptor is a token.
struct DirReader {
	DIR *dir;
};
inline int open_reader(DirReader *r, int, const char *path)
{
	r->dir = open_dir(path);
	return r->dir == nullptr;
}
inline struct dirent *read_entry(DirReader *r) { return readdir(r->dir); }
inline void close_reader(DirReader *r) { closedir(r->dir); }
inline void close_dir(int) {}
inline int open_dest_at(int, const char *, const char *path) { return open_dest(path); }
inline int unlink_at(int, const char *, const char *path) { return path_unlink(path); }
inline int rmdir_at(int, const char *, const char *path) { return path_rmdir(path); }
// A link to a directory goes as a directory does.
inline int unlink_link_at(int, const char *, const char *path) { return path_rmdir(path); }
inline int mkdir_at(int, const char *, const char *path) { return path_mkdir(path); }
inline int lstat_at(int, const char *, const char *path, FileStatus *st) { return link_status(path, st); }
inline int chmod_at(int, const char *, const char *path, unsigned mode) { return path_chmod(path, mode); }
int volume_kind(int fd, const char *path, VolumeKind *kind);
// One worker, the walk itself: the console's state is shared, and the
// calls here were not made for threads.
inline int64_t raise_descriptor_limit(void) { return 0; }
inline void share_heap(void) {}
inline int64_t times_waited(void) { return 0; }
// A copy is written to a named temporary, closed, then put in place by a
// replacing rename: the system has no unnamed files.
inline int open_unnamed_at(int, unsigned)
{
	errno = EOPNOTSUPP;
	return -1;
}
inline int link_unnamed_at(int, int, const char *)
{
	errno = EOPNOTSUPP;
	return -1;
}
// Made afresh, writable: the read-only attribute comes with the mode, once
// the copy is closed and before it takes its name.
int open_temp_at(int dir, const char *name, const char *path, unsigned mode);
// Replaces the item at to_path, made writable first where it is read-only.
int rename_at(int dir, const char *from, const char *from_path, const char *to, const char *to_path);
// Durability: each copy's data is written through to the disk before it
// is closed (the system flushes one file, not a volume, for a user), so
// the batch's own flush has nothing left to do.
inline int flush_file(int fd) { return _commit(fd); }
inline int flush_fs(int) { return 0; }
// Free room is not asked for: batches are held to their fixed size.
inline int64_t free_bytes(int) { return -1; }
// Nothing is kept for a flush at the end of the run.
inline int keep_dir(int) { return -1; }
inline unsigned current_umask(void) { return 0; }
inline int has_default_acl(int) { return 1; }
// A mounted volume shows another volume serial; a record without one
// tells nothing.
inline int is_mount_root(int, const char *, const char *, const FileStatus *st,
                         file_dev_t parent_dev)
{
	return st->st_dev != 0 && parent_dev != 0 && st->st_dev != parent_dev;
}
inline int is_terminal(int fd) { return isatty(fd); }
// Files are copied whole: the runtime tells nothing of holes.
inline int may_have_holes(const FileStatus *) { return 0; }
inline int next_data(int, int64_t, int64_t *, int64_t *) { return -1; }
inline int seek_to(int, int64_t) { return 1; }
inline int64_t file_length(int) { return -1; }
inline int truncate_to(int, int64_t) { return 1; }

#else // POSIX

#include <dirent.h>
#include <regex.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#if defined(__linux__)
#include <sys/xattr.h>
#endif
typedef struct stat FileStatus;
#if defined(__linux__)
#include <sys/vfs.h>
#endif

enum { PATH_SEPARATOR = '/' };
enum { PATH_LIMIT = PATH_MAX };
inline int is_separator(int c) { return c == '/'; }
// Arguments and console are the system's bytes as they are.
inline int platform_args(int *, char ***) { return 0; }
inline void console_utf8(void) {}
inline FILE *open_list(const char *path) { return fopen(path, "r"); }
inline int list_is_device(FILE *f)
{
	FileStatus st;
	return fstat(fileno(f), &st) == 0 && (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode));
}
typedef dev_t file_dev_t; // a file's identity: device and inode
typedef ino_t file_ino_t;
inline int file_status(const char *path, FileStatus *st) { return stat(path, st); }
typedef uid_t user_id_t;
typedef gid_t group_id_t;
inline int32_t mtime_nanos(const FileStatus *st) { return (int32_t)st->st_mtim.tv_nsec; }
// Both times' fraction of a second.
inline void set_nanos(FileStatus *st, int32_t nanos)
{
	st->st_atim.tv_nsec = st->st_mtim.tv_nsec = nanos;
}
// The kernel copies up to n bytes between the files' offsets; -1 with
// ENOSYS where it cannot here.
inline ssize_t kernel_copy(int in, int out, size_t n)
{
#if defined(__linux__)
	return copy_file_range(in, nullptr, out, nullptr, n, 0);
#else
	(void)in, (void)out, (void)n;
	errno = ENOSYS;
	return -1;
#endif
}

// Status relative to the open directory: no second walk down the path.
inline int stat_entry(int dir, const char *name, const char *, FileStatus *st)
{
	return fstatat(dir, name, st, 0);
}
inline int lstat_entry(int dir, const char *name, const char *, FileStatus *st)
{
	return fstatat(dir, name, st, AT_SYMLINK_NOFOLLOW);
}
// The stream's type field answers without a system call where the file
// system fills it.
inline int entry_is_link(int dir, const struct dirent *e, const char *)
{
#ifdef DT_LNK
	if (e->d_type != DT_UNKNOWN)
		return e->d_type == DT_LNK;
#endif
	FileStatus st;
	return fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}
// Reading leaves access times alone where the system lets it (the owner's
// files, or every file for root): a mirror changes nothing in the source,
// and an access time changed is an inode the flush at the end of a batch
// must write.  Where it is refused once, it is not asked for again.
inline int open_unread(int dir, const char *name, int flags)
{
#ifdef O_NOATIME
	static std::atomic<int> refused;
	if (!refused) {
		int fd = openat(dir, name, flags | O_NOATIME);
		if (fd >= 0 || errno != EPERM)
			return fd;
		refused = 1;
	}
#endif
	return openat(dir, name, flags);
}
// Non-blocking, so that a file swapped for a FIFO cannot hang the run.
inline int open_source_at(int dir, const char *name, const char *)
{
	return open_unread(dir, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}
// Whether a file's first byte can be read without waiting for its disk;
// 1 as well where the file system cannot tell (in memory, as tmpfs, or of
// its own kind).  Asking starts the read.
inline int data_in_memory(int dir, const char *name)
{
#ifdef RWF_NOWAIT
	int fd = open_unread(dir, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return 1;
	char byte;
	struct iovec one = {&byte, 1};
	int waits = preadv2(fd, &one, 1, 0, RWF_NOWAIT) < 0 && errno == EAGAIN;
	close(fd);
	return !waits;
#else
	(void)dir;
	(void)name;
	return 1;
#endif
}
// Times (with nanoseconds) and mode, through fd when it is open, else by path.
enum { STATUS_ON_DESCRIPTOR = 1 };
inline int set_times(int fd, const char *path, const FileStatus *st)
{
	struct timespec times[2] = {st->st_atim, st->st_mtim};
	return fd >= 0 ? futimens(fd, times) : utimensat(AT_FDCWD, path, times, 0);
}
// Times again, of the item name in dir, never through a link.
inline int set_times_at(int dir, const char *name, const char *, const FileStatus *st)
{
	struct timespec times[2] = {st->st_atim, st->st_mtim};
	return utimensat(dir, name, times, AT_SYMLINK_NOFOLLOW);
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
	return open_unread(dir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
}
inline int stat_dir(int fd, const char *, FileStatus *st) { return fstat(fd, st); }
#if defined(__linux__) && defined(__LP64__)
// A directory is read straight from the descriptor the walk holds: no
// second descriptor, no status call of its own.  The kernel's records are
// the C library's struct dirent here.
struct DirReader {
	int fd;
	size_t at, end;
	alignas(8) char buf[32768];
};
static_assert(offsetof(struct dirent, d_name) == 19, "struct dirent is not the kernel's record");
inline int open_reader(DirReader *r, int fd, const char *)
{
	r->fd = fd;
	r->at = r->end = 0;
	return 0;
}
// The next entry; null at the end, or with errno set when the read failed.
inline const struct dirent *read_entry(DirReader *r)
{
	if (r->at >= r->end) {
		ssize_t n = getdents64(r->fd, r->buf, sizeof r->buf);
		if (n <= 0)
			return nullptr;
		r->at = 0;
		r->end = (size_t)n;
	}
	const struct dirent *e = reinterpret_cast<const struct dirent *>(r->buf + r->at);
	r->at += e->d_reclen;
	return e;
}
inline void close_reader(DirReader *) {}
#else
// A stream of its own over a second descriptor: the stream closes it.
struct DirReader {
	DIR *dir;
};
inline int open_reader(DirReader *r, int fd, const char *)
{
	int own = dup(fd);
	r->dir = own < 0 ? nullptr : fdopendir(own);
	if (r->dir == nullptr && own >= 0)
		close(own);
	return r->dir == nullptr;
}
inline const struct dirent *read_entry(DirReader *r) { return readdir(r->dir); }
inline void close_reader(DirReader *r) { closedir(r->dir); }
#endif
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
inline int lstat_at(int dir, const char *name, const char *, FileStatus *st)
{
	return fstatat(dir, name, st, AT_SYMLINK_NOFOLLOW);
}
inline int chmod_at(int dir, const char *name, const char *, mode_t mode)
{
	return fchmodat(dir, name, mode, 0);
}
// A copy is written to a temporary in its directory and takes its name
// only when complete.  An unnamed file, where the file system has them,
// leaves nothing behind when the run is cut short.
inline int open_unnamed_at(int dir, unsigned mode)
{
#ifdef O_TMPFILE
	return openat(dir, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, (mode_t)mode);
#else
	(void)dir;
	(void)mode;
	errno = EOPNOTSUPP;
	return -1;
#endif
}
// Names the unnamed file of fd; EEXIST when the name is taken.  Naming a
// descriptor directly takes a privilege; the descriptor's link under
// /proc serves every user.
inline int link_unnamed_at(int fd, int dir, const char *name)
{
#ifdef AT_EMPTY_PATH
	static std::atomic<int> refused; // asked by every copying thread
	if (!refused) {
		int done = linkat(fd, "", dir, name, AT_EMPTY_PATH);
		if (done == 0 || (errno != ENOENT && errno != EPERM))
			return done;
		refused = 1;
	}
#endif
	char proc[40];
	snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
	return linkat(AT_FDCWD, proc, dir, name, AT_SYMLINK_FOLLOW);
}
// A named temporary, made afresh: an item of the name fails it.
inline int open_temp_at(int dir, const char *name, const char *, unsigned mode)
{
	return openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, (mode_t)mode);
}
// Durability: a copy's data reaches the disk with its batch, one flush of
// each file system the batch wrote to (flush_fs, through any descriptor
// on it), not one per file (flush_file does nothing here).  Answers 0, or
// -1 with errno.
inline int flush_file(int) { return 0; }
inline int flush_fs(int fd)
{
#if defined(__linux__)
	return syncfs(fd);
#else
	(void)fd;
	sync();
	return 0;
#endif
}
// A second descriptor of the open directory fd, for a flush of its file
// system at the end of the run; -1 when none can be had.
inline int keep_dir(int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, 3); }
// What the running user may still write on the file system of fd, in
// bytes; -1 where it cannot be told.
inline int64_t free_bytes(int fd)
{
	struct statvfs vfs;
	if (fstatvfs(fd, &vfs) != 0)
		return -1;
	return (int64_t)vfs.f_bavail * (int64_t)vfs.f_frsize;
}
inline unsigned current_umask(void)
{
	mode_t mask = umask(0);
	umask(mask);
	return (unsigned)mask;
}
// Whether new files in the open directory dir take a default ACL, which
// may change the mode they are made with.  In doubt, yes.
inline int has_default_acl(int dir)
{
#if defined(__linux__)
	if (fgetxattr(dir, "system.posix_acl_default", nullptr, 0) >= 0)
		return 1;
	return errno != ENODATA && errno != ENOTSUP;
#else
	(void)dir;
	return 1;
#endif
}
// Puts from in the place of to, replacing whatever non-directory was there.
inline int rename_at(int dir, const char *from, const char *, const char *to, const char *)
{
	return renameat(dir, from, dir, to);
}
// Whether the directory name in dir is the root of a mount: another file
// system, or a bind mount that may show anything, the source included.
// Where the kernel cannot tell, a device of its own gives it away.
inline int is_mount_root(int dir, const char *name, const char *, const FileStatus *st,
                         file_dev_t parent_dev)
{
#ifdef STATX_ATTR_MOUNT_ROOT
	struct statx sx;
	if (statx(dir, name, AT_SYMLINK_NOFOLLOW, 0, &sx) == 0 &&
	    (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
		return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
#endif
	return st->st_dev != parent_dev;
}
inline int is_terminal(int fd) { return isatty(fd); }
// Holes: fewer blocks than bytes.  Such a file is copied stretch by stretch.
inline int may_have_holes(const FileStatus *st)
{
	return (uint64_t)st->st_blocks * 512 < (uint64_t)st->st_size;
}
// The next data at or after from, with the hole that ends it, fd left at
// its start.  Answers 1 when only a hole is left, -1, fd where it was,
// where the file system cannot tell.
inline int next_data(int fd, int64_t from, int64_t *start, int64_t *end)
{
	off_t data = lseek(fd, (off_t)from, SEEK_DATA);
	if (data < 0)
		return errno == ENXIO ? 1 : -1;
	off_t hole = lseek(fd, data, SEEK_HOLE);
	if (hole < 0 || lseek(fd, data, SEEK_SET) < 0) {
		lseek(fd, (off_t)from, SEEK_SET); // the copy goes on from there
		return -1;
	}
	*start = data;
	*end = hole;
	return 0;
}
inline int seek_to(int fd, int64_t at) { return lseek(fd, (off_t)at, SEEK_SET) < 0; }
inline int64_t file_length(int fd) { return lseek(fd, 0, SEEK_END); }
inline int truncate_to(int fd, int64_t length) { return ftruncate(fd, (off_t)length); }
#if defined(__linux__)
// The kernel's own file systems tell by their type.  FUSE does not: the
// two common FAT-family drivers there leave no subtype in the mount table,
// and what an NTFS driver keeps depends on its mount options.  Network file
// systems keep what the server's file system keeps.  Those are tried.
inline int volume_kind(int fd, const char *, VolumeKind *kind)
{
	struct statfs fs;
	*kind = {KEEPS_MODES, KEEPS_MODES, 1, 0, 0, WHOLE_SECONDS, 0};
	if (fstatfs(fd, &fs) != 0)
		return 0;
	switch ((unsigned long)fs.f_type) {
	case 0x01021994: // tmpfs
	case 0x858458F6: // ramfs
		kind->in_memory = 1;
		kind->time_nanos = 1;
		return 1;
	case 0xEF53:     // ext2, ext3, ext4 (with small inodes: nanoseconds 0)
	case 0x58465342: // xfs
	case 0x9123683E: // btrfs
	case 0xF2F52010: // f2fs
	case 0x3153464A: // jfs
	case 0x2FC12FC1: // zfs
	case 0xCA451A4E: // bcachefs
	case 0x794C7630: // overlay
		kind->time_nanos = 1;
		return 1;
	case 0x52654973: // reiserfs
	case 0x6969:     // nfs: the fraction the server keeps is not known
		return 1;
	case 0x4D44: // vfat, msdos: a read-only attribute on files alone (on
	             // directories only with an option that Windows misreads),
	             // times cut down to even seconds
		*kind = {KEEPS_WRITE_BIT, KEEPS_NO_MODES, 2, 0, 0, WHOLE_SECONDS, 0};
		return 1;
	case 0x2011BAB0: // exfat: as FAT, but times in 10 ms
		*kind = {KEEPS_WRITE_BIT, KEEPS_NO_MODES, 1, 0, 0, 10000000, 0};
		return 1;
	default:
		return 0;
	}
}
#else
inline int volume_kind(int, const char *, VolumeKind *kind)
{
	*kind = {KEEPS_MODES, KEEPS_MODES, 1, 0, 0, WHOLE_SECONDS, 0};
	return 0;
}
#endif
// The workers allocate listings that the walk frees: in one shared heap,
// not one each, so that what one frees another reuses.
inline void share_heap(void)
{
#ifdef M_ARENA_MAX
	mallopt(M_ARENA_MAX, 1);
#endif
}
// How often the calling thread has gone to sleep so far: on a cold disk,
// for its reads.  Where that cannot be told, every ask counts as one.
inline int64_t times_waited(void)
{
#ifdef RUSAGE_THREAD
	struct rusage use;
	if (getrusage(RUSAGE_THREAD, &use) == 0)
		return (int64_t)use.ru_nvcsw;
#endif
	static thread_local int64_t asked;
	return ++asked;
}
// The destination walk holds one open directory per level, and each
// worker a few more.  Answers the limit it ends with.
inline int64_t raise_descriptor_limit(void)
{
	struct rlimit limit;
	if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
		return 0;
	if (limit.rlim_cur < limit.rlim_max) {
		limit.rlim_cur = limit.rlim_max;
		if (setrlimit(RLIMIT_NOFILE, &limit) != 0 && getrlimit(RLIMIT_NOFILE, &limit) != 0)
			return 0;
	}
	return limit.rlim_cur == RLIM_INFINITY ? INT64_MAX : (int64_t)limit.rlim_cur;
}

#endif
#endif
