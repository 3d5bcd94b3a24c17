// The platform seam: every difference between Linux (and other POSIX
// systems) and Windows, under one set of names.  This header holds what
// differs in kind, the types and constants of each platform, and then
// declares every call once, with its contract; src/platform_posix.cpp and
// src/platform_win.cpp implement them.  Everything else the program uses
// (read, write, close, the C library's streams) has the same name and
// meaning on both.
//
// Names are UTF-8 inside the program on both.  On Windows every name
// crosses the seam as UTF-16 through the wide calls, converted exactly or
// refused (EILSEQ), never mapped to a look-alike, and every path is handed
// to the system in its long form (\\?\), so that paths are not limited to
// 259 characters.
//
// Items of the destination are named three ways at once: an open directory
// (dir), a name in it, and the full path for the reports.  On POSIX the
// calls act relative to the directory and never follow a link there; on
// Windows, which the program drives by path, the directory descriptors are
// tokens and the calls take the full path.
#ifndef TREEMIR_PLATFORM_H
#define TREEMIR_PLATFORM_H

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
	int flush_each;    // a flush of the file system does not reach the disk: each file is flushed
	int remote;        // every call is a round trip to another process or machine (FUSE, NFS, SMB)
	int named_local;   // a local disk by the system's word, though flushed file by file: the
	                   // walk's copies there are not timed to find out whether they wait
};

#ifdef _WIN32

// The C runtime has no regular expressions: the program's own.
#include "bre.h"
using treemir::regex_t;
using treemir::regcomp;
using treemir::regexec;
#define REG_NOSUB treemir::RE_NOSUB

enum { PATH_SEPARATOR = '\\' };
// The longest path the program builds, in UTF-8 bytes: the system takes
// 32767 UTF-16 units in the long form.
enum { PATH_LIMIT = 32768 };

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
typedef int user_id_t;
typedef int group_id_t;
#define S_ISUID 0 // no set-ID bits
#define S_ISGID 0
#define S_IFLNK 0120000
#define S_ISLNK(m) (((m) & S_IFMT) == S_IFLNK)
#ifndef EDQUOT
#define EDQUOT ENOSPC // no quota of its own: a full disk
#endif

// Directory enumeration of the program's own: names come as UTF-8, and a
// name that has no UTF-8 form ends the read with errno EILSEQ, after which
// the enumeration goes on with the next name.
struct dirent {
	char d_name[4 * 260]; // 259 UTF-16 units at most 3 bytes each
};
struct tm_dir;
// A directory is listed by its path.
struct DirReader {
	tm_dir *dir;
};
// Times (whole seconds) and mode by path, once the copy is closed: the
// descriptor is not used there (fd is always -1).
enum { STATUS_ON_DESCRIPTOR = 0 };
// Acts go by the item's full path: the walk's directory descriptors are
// tokens.
enum { CURRENT_DIR = -100 };
// Every volume folds letter case here, so copies may go side by side onto
// one where the pair's source names cannot fold to one (copies.cpp).
enum { FOLDED_APART_BY_NAMES = 1 };

#else // POSIX

#include <dirent.h>
#include <regex.h>

typedef struct stat FileStatus;
typedef dev_t file_dev_t; // a file's identity: device and inode
typedef ino_t file_ino_t;
typedef uid_t user_id_t;
typedef gid_t group_id_t;
enum { PATH_SEPARATOR = '/' };
enum { PATH_LIMIT = PATH_MAX };
#if defined(__linux__) && defined(__LP64__)
// A directory is read straight from the descriptor the walk holds: no
// second descriptor, no status call of its own.  The kernel's records are
// the C library's struct dirent here.
struct DirReader {
	int fd;
	size_t at, end;
	alignas(8) char buf[32768];
};
#else
// A stream of its own over a second descriptor: the stream closes it.
struct DirReader {
	DIR *dir;
};
#endif
// Times (with nanoseconds) and mode, through fd when it is open, else by path.
enum { STATUS_ON_DESCRIPTOR = 1 };
// Each act names its item relative to the directory it stands in, so that
// a directory swapped for a link while the walk is inside it leads the
// walk nowhere else.
enum { CURRENT_DIR = AT_FDCWD };
// A file system that folds letter case is the exception: it keeps every
// copy with the walk.
enum { FOLDED_APART_BY_NAMES = 0 };

#endif

// ---------------------------------------------------------------------
// The program and its console
// ---------------------------------------------------------------------

// The command line as UTF-8 (on Windows argv is replaced, from the
// system's UTF-16).  Answers 0, or the number (1 for the program's own
// name) of an argument that has no UTF-8 form.
int platform_args(int *argc, char ***argv);
// On a console, UTF-8 output for the run; its own code page comes back at
// exit.  Elsewhere nothing.
void console_utf8(void);
// Writes text to a stream: to a Windows console whole, as UTF-16, so that
// no character is torn apart or read in the ANSI code page; elsewhere the
// bytes as they are.  Answers what fputs answers.
int write_text(FILE *f, const char *text);
int is_terminal(int fd);
// Whether a character separates path components ('\\' and '/' on Windows).
int is_separator(int c);
// The absolute path with links resolved, allocated; null on failure.
char *full_path(const char *path);
// The length of the root part of an absolute path: "/", "C:\",
// "\\server\share\".
size_t root_length(const char *path);
// Who runs the mirror, whose copies are theirs (Windows: one owner, 0).
user_id_t current_user(void);
group_id_t current_group(void);
// The mode bits new files lose (Windows: none).
unsigned current_umask(void);
// Raises the open-files limit as far as allowed; answers the limit it ends
// with (0 where the workers must not run).
int64_t raise_descriptor_limit(void);
// The workers allocate listings that the walk frees: in one shared heap,
// not one each, so that what one frees another reuses.
void share_heap(void);
// How often the calling thread has gone to sleep so far: on a cold disk,
// for its reads.  Where that cannot be told, every ask counts as one;
// where the system counts none (Windows), always 0, so that no read is
// ever seen to wait and pairs are not read ahead.
int64_t times_waited(void);
// The calling thread's time so far, in nanoseconds: on a steady clock
// (wall) and on the processor (cpu); both 0 where they cannot be told.
void thread_clocks(int64_t *wall, int64_t *cpu);
// The system's text for the error err, on any thread: in buf (cap bytes)
// where the platform has no fixed text of its own to answer.
const char *error_text(int err, char *buf, size_t cap);

// ---------------------------------------------------------------------
// List files
// ---------------------------------------------------------------------

// A list file opened for reading its bytes as they are; null with errno.
FILE *open_list(const char *path);
// Whether an opened list file is a device (a terminal, a port, NUL).
int list_is_device(FILE *f);

// ---------------------------------------------------------------------
// Status
// ---------------------------------------------------------------------

// What a listed entry keeps of its status: only the fields the walk, the
// comparisons and the copies read, under a third of the system's record.
// A directory is told by its identity (the loop and mount guards); a file
// by its access time (its copy), which a directory's entry never needs.
// The owner is not kept: it only decides which set-ID bits a copy may
// have, and the listing keeps a file's mode as its copy would receive it.
// Packed to four bytes: a million entries are a million of these.
#define PACKED_4 __attribute__((packed, aligned(4)))
struct PACKED_4 EntryStatus {
	int64_t size;
	int64_t mtime;        // whole seconds
	int32_t mtime_nanos;
	uint16_t mode;        // type and permission bits, which fit in 16
	unsigned char shared; // the file has more than one name
	unsigned char holes;  // fewer blocks than bytes
	union PACKED_4 {
		struct PACKED_4 {
			int64_t atime; // whole seconds
			int32_t atime_nanos;
		} file;
		struct PACKED_4 {
			file_dev_t dev;
			file_ino_t ino;
		} dir;
	};
};
static_assert((S_IFMT | 07777) <= 0xffff, "a mode fits 16 bits");
void keep_status(EntryStatus *kept, const FileStatus *st);
// A system record that holds what kept holds, for the calls that take one.
void view_status(FileStatus *st, const EntryStatus *kept);

// Status of a path, following links.
int file_status(const char *path, FileStatus *st);
// Status of an open descriptor (path for the Windows build, which has
// none for directories).
int fd_status(int fd, const char *path, FileStatus *st);
// Status of the entry name of the open directory dir (full is its path),
// following a link, and not following one.
int stat_entry(int dir, const char *name, const char *full, FileStatus *st);
int lstat_entry(int dir, const char *name, const char *full, FileStatus *st);
int lstat_at(int dir, const char *name, const char *path, FileStatus *st);
// Whether a listed entry is itself a symbolic link (or junction); the
// entry's type field answers without a call where the file system fills it.
int entry_is_link(int dir, const struct dirent *e, const char *full);
// The fraction of a second of the modification time (Windows: 0), and
// both times' fraction set.
int32_t mtime_nanos(const FileStatus *st);
void set_nanos(FileStatus *st, int32_t nanos);
// Fewer blocks than bytes: a file with holes, copied stretch by stretch.
int may_have_holes(const FileStatus *st);

// ---------------------------------------------------------------------
// Directories
// ---------------------------------------------------------------------

// Opens the directory name in dir (path), following a link only where
// follow is set; answers a descriptor (a token on Windows) or -1 with
// errno.  Reading leaves access times alone where the system lets it.
int open_dir_at(int dir, const char *name, const char *path, int follow);
void close_dir(int fd);
// Lists the open directory fd (path): open_reader answers 1 on failure;
// read_entry answers the next entry, or null at the end or, with errno
// set, when the read failed.
int open_reader(DirReader *r, int fd, const char *path);
const struct dirent *read_entry(DirReader *r);
void close_reader(DirReader *r);
// Makes the directory name in dir; the umask decides its mode, as for any
// new directory.
int mkdir_at(int dir, const char *name, const char *path);
int rmdir_at(int dir, const char *name, const char *path);
// Whether the directory name in dir is the root of a mount: another file
// system, or a bind mount that may show anything, the source included.
// Where the system cannot tell, a device of its own gives it away.
int is_mount_root(int dir, const char *name, const char *path, const FileStatus *st, file_dev_t parent_dev);
// Whether new files in the open directory dir may take a default ACL,
// which may change the mode they are made with.  In doubt, yes.
int has_default_acl(int dir);
// fills *kind with what the type of the file system holding the open
// directory fd (path) tells, and answers 1 when that is all there is to
// know; 0 when the rest must be found out by trying.
int volume_kind(int fd, const char *path, VolumeKind *kind);

// ---------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------

// The source file name in dir, for reading: non-blocking, so that a file
// swapped for a FIFO cannot hang the run; access times left alone where
// the system lets it.
int open_source_at(int dir, const char *name, const char *path);
// Whether a file's first byte can be read without waiting for its disk;
// 1 as well where the file system cannot tell.  Asking starts the read.
int data_in_memory(int dir, const char *name);
// The destination file name in dir, written in place: created readable and
// writable by its owner alone, truncated; a link or FIFO in the way fails.
int open_dest_at(int dir, const char *name, const char *path);
// An unnamed file in the directory dir, where the file system has them;
// -1 with errno where it has not.
int open_unnamed_at(int dir, unsigned mode);
// Names the unnamed file of fd in dir; EEXIST when the name is taken.
int link_unnamed_at(int fd, int dir, const char *name);
// A named temporary, made afresh with mode: an item of the name fails it
// (EEXIST).  On Windows writable until its mode is given.
int open_temp_at(int dir, const char *name, const char *path, unsigned mode);
// Puts from in the place of to in dir, in one step, replacing whatever
// non-directory was there (made writable first where it is read-only).
int rename_at(int dir, const char *from, const char *from_path, const char *to, const char *to_path);
int unlink_at(int dir, const char *name, const char *path);
// A link that stands where a directory belongs goes as the system removes
// such a link (on Windows a junction is a directory).
int unlink_link_at(int dir, const char *name, const char *path);
// Times (to the fraction the platform keeps) through fd when it is open
// (fd -1: by path); and of the item name in dir, never through a link.
int set_times(int fd, const char *path, const FileStatus *st);
int set_times_at(int dir, const char *name, const char *path, const FileStatus *st);
// The permission bits, through fd when it is open (fd -1: by path); and of
// the item name in dir.  On Windows only the owner's write bit counts: it
// clears or sets the read-only attribute.
int set_mode(int fd, const char *path, unsigned mode);
int chmod_at(int dir, const char *name, const char *path, unsigned mode);
// The kernel copies up to n bytes between the files' offsets; -1 with
// ENOSYS where it cannot.
ssize_t kernel_copy(int in, int out, size_t n);
// The next data at or after from, with the hole that ends it, fd left at
// its start.  Answers 1 when only a hole is left, -1, fd where it was,
// where the file system cannot tell.
int next_data(int fd, int64_t from, int64_t *start, int64_t *end);
// Answer 0, or 1 (seek_to, truncate_to) or -1 (file_length) on failure.
int seek_to(int fd, int64_t at);
int64_t file_length(int fd);
int truncate_to(int fd, int64_t length);

// ---------------------------------------------------------------------
// Durability
// ---------------------------------------------------------------------

// A copy's data reaches the disk before it takes its name.  flush_fs,
// through any descriptor on a file system, puts the data of every file
// written there on the disk: one call for a batch of copies.  Where it
// cannot (kind.flush_each: FUSE, network and unknown file systems, systems
// without such a call, and Windows, which flushes files, not volumes, for
// a user), flush_file is called on each finished copy before it is
// closed.  Both answer 0, or -1 with errno.
int flush_file(int fd);
int flush_fs(int fd);
// A second descriptor of the open directory fd, for a flush of its file
// system at the end of the run; -1 when none can be had (or is needed).
int keep_dir(int fd);
// The open directory fd opened once more, as a file of its own, or -1:
// threads asking through one descriptor each do not contend for one
// file's count (Windows: fd itself, a token).
int reopen_dir(int fd);
// What the running user may still write on the file system of fd, in
// bytes; -1 where it cannot be told.
int64_t free_bytes(int fd);

#endif
