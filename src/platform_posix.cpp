// The platform seam's POSIX half, written for Linux: where a call is
// Linux's own (getdents64, copy_file_range, statx, syncfs, O_TMPFILE,
// RWF_NOWAIT, O_NOATIME, RUSAGE_THREAD), other POSIX systems take the
// portable way beside it, which costs more calls but keeps every promise
// of platform.h.  The destination is walked through open directories:
// every act is relative to the directory its item stands in and follows no
// link there.
#include "platform.h"

#include <malloc.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#if defined(__linux__)
#include <sys/vfs.h>
#include <sys/xattr.h>
#endif

int write_text(FILE *f, const char *text)
{
	return fputs(text, f);
}

user_id_t current_user(void)
{
	return geteuid();
}

group_id_t current_group(void)
{
	return getegid();
}

int is_separator(int c) { return c == '/'; }

// Arguments and console are the system's bytes as they are.
int platform_args(int *, char ***) { return 0; }

void console_utf8(void) {}

FILE *open_list(const char *path) { return fopen(path, "r"); }

int list_is_device(FILE *f)
{
	FileStatus st;
	return fstat(fileno(f), &st) == 0 && (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode));
}

int file_status(const char *path, FileStatus *st) { return stat(path, st); }

int32_t mtime_nanos(const FileStatus *st) { return (int32_t)st->st_mtim.tv_nsec; }

// Both times' fraction of a second.
void set_nanos(FileStatus *st, int32_t nanos)
{
	st->st_atim.tv_nsec = st->st_mtim.tv_nsec = nanos;
}

// The kernel copies up to n bytes between the files' offsets; -1 with
// ENOSYS where it cannot here.
ssize_t kernel_copy(int in, int out, size_t n)
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
int stat_entry(int dir, const char *name, const char *, FileStatus *st)
{
	return fstatat(dir, name, st, 0);
}

int lstat_entry(int dir, const char *name, const char *, FileStatus *st)
{
	return fstatat(dir, name, st, AT_SYMLINK_NOFOLLOW);
}

// The stream's type field answers without a system call where the file
// system fills it.
int entry_is_link(int dir, const struct dirent *e, const char *)
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
static int open_unread(int dir, const char *name, int flags)
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
int open_source_at(int dir, const char *name, const char *)
{
	return open_unread(dir, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

// Whether a file's first byte can be read without waiting for its disk;
// 1 as well where the file system cannot tell (in memory, as tmpfs, or of
// its own kind).  Asking starts the read.
int data_in_memory(int dir, const char *name)
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

int set_times(int fd, const char *path, const FileStatus *st)
{
	struct timespec times[2] = {st->st_atim, st->st_mtim};
	return fd >= 0 ? futimens(fd, times) : utimensat(AT_FDCWD, path, times, 0);
}

// Times again, of the item name in dir, never through a link.
int set_times_at(int dir, const char *name, const char *, const FileStatus *st)
{
	struct timespec times[2] = {st->st_atim, st->st_mtim};
	return utimensat(dir, name, times, AT_SYMLINK_NOFOLLOW);
}

int set_mode(int fd, const char *path, unsigned mode)
{
	return fd >= 0 ? fchmod(fd, mode) : chmod(path, mode);
}

char *full_path(const char *path) { return realpath(path, nullptr); }

size_t root_length(const char *) { return 1; }

int open_dir_at(int dir, const char *name, const char *, int follow)
{
	return open_unread(dir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
}

int fd_status(int fd, const char *, FileStatus *st) { return fstat(fd, st); }

void close_dir(int fd) { close(fd); }

// Created readable and writable by its owner alone; a FIFO or link in the
// way fails the open.
int open_dest_at(int dir, const char *name, const char *)
{
	return openat(dir, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
	              S_IRUSR | S_IWUSR);
}

int unlink_at(int dir, const char *name, const char *) { return unlinkat(dir, name, 0); }

int rmdir_at(int dir, const char *name, const char *) { return unlinkat(dir, name, AT_REMOVEDIR); }

int unlink_link_at(int dir, const char *name, const char *) { return unlinkat(dir, name, 0); }

// The umask decides, as for any new directory.
int mkdir_at(int dir, const char *name, const char *) { return mkdirat(dir, name, 0777); }

int lstat_at(int dir, const char *name, const char *, FileStatus *st)
{
	return fstatat(dir, name, st, AT_SYMLINK_NOFOLLOW);
}

int chmod_at(int dir, const char *name, const char *, unsigned mode)
{
	return fchmodat(dir, name, mode, 0);
}

// A copy is written to a temporary in its directory and takes its name
// only when complete.  An unnamed file, where the file system has them,
// leaves nothing behind when the run is cut short.
int open_unnamed_at(int dir, unsigned mode)
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
int link_unnamed_at(int fd, int dir, const char *name)
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
int open_temp_at(int dir, const char *name, const char *, unsigned mode)
{
	return openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, (mode_t)mode);
}

// Durability: one syncfs for a batch where the file system passes it to
// its disk, else each file's own flush.
int flush_file(int fd) { return fdatasync(fd); }

int flush_fs(int fd)
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
int keep_dir(int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, 3); }

int reopen_dir(int fd) { return openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

// What the running user may still write on the file system of fd, in
// bytes; -1 where it cannot be told.
int64_t free_bytes(int fd)
{
	struct statvfs vfs;
	if (fstatvfs(fd, &vfs) != 0)
		return -1;
	return (int64_t)vfs.f_bavail * (int64_t)vfs.f_frsize;
}

unsigned current_umask(void)
{
	mode_t mask = umask(0);
	umask(mask);
	return (unsigned)mask;
}

// Whether new files in the open directory dir take a default ACL, which
// may change the mode they are made with.  In doubt, yes.
int has_default_acl(int dir)
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
int rename_at(int dir, const char *from, const char *, const char *to, const char *)
{
	return renameat(dir, from, dir, to);
}

// Whether the directory name in dir is the root of a mount: another file
// system, or a bind mount that may show anything, the source included.
// Where the kernel cannot tell, a device of its own gives it away.
int is_mount_root(int dir, const char *name, const char *, const FileStatus *st,
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

int is_terminal(int fd) { return isatty(fd); }

// Holes: fewer blocks than bytes.  Such a file is copied stretch by stretch.
int may_have_holes(const FileStatus *st)
{
	return (uint64_t)st->st_blocks * 512 < (uint64_t)st->st_size;
}

void keep_status(EntryStatus *kept, const FileStatus *st)
{
	kept->size = st->st_size;
	kept->mtime = st->st_mtim.tv_sec;
	kept->mtime_nanos = (int32_t)st->st_mtim.tv_nsec;
	kept->mode = (uint16_t)st->st_mode;
	if (S_ISDIR(st->st_mode)) {
		kept->dir.dev = st->st_dev;
		kept->dir.ino = st->st_ino;
	} else {
		kept->file.atime = st->st_atim.tv_sec;
		kept->file.atime_nanos = (int32_t)st->st_atim.tv_nsec;
	}
	kept->shared = st->st_nlink > 1;
	kept->holes = may_have_holes(st);
}

void view_status(FileStatus *st, const EntryStatus *kept)
{
	memset(st, 0, sizeof *st);
	st->st_size = kept->size;
	st->st_mtim.tv_sec = kept->mtime;
	st->st_mtim.tv_nsec = kept->mtime_nanos;
	st->st_mode = kept->mode;
	if (S_ISDIR(kept->mode)) {
		st->st_dev = kept->dir.dev;
		st->st_ino = kept->dir.ino;
	} else {
		st->st_atim.tv_sec = kept->file.atime;
		st->st_atim.tv_nsec = kept->file.atime_nanos;
	}
	st->st_nlink = kept->shared ? 2 : 1;
	// Blocks for every byte, or none: may_have_holes tells as it did.
	st->st_blocks = kept->holes ? 0 : (blkcnt_t)(((uint64_t)kept->size + 511) / 512);
}

// The next data at or after from, with the hole that ends it, fd left at
// its start.  Answers 1 when only a hole is left, -1, fd where it was,
// where the file system cannot tell.
int next_data(int fd, int64_t from, int64_t *start, int64_t *end)
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

int seek_to(int fd, int64_t at) { return lseek(fd, (off_t)at, SEEK_SET) < 0; }

int64_t file_length(int fd) { return lseek(fd, 0, SEEK_END); }

int truncate_to(int fd, int64_t length) { return ftruncate(fd, (off_t)length); }

// The workers allocate listings that the walk frees: in one shared heap,
// not one each, so that what one frees another reuses.
void share_heap(void)
{
#ifdef M_ARENA_MAX
	mallopt(M_ARENA_MAX, 1);
#endif
}

// A copy that waits more than it computes shows it as wall time beyond
// its thread's processor time.
void thread_clocks(int64_t *wall, int64_t *cpu)
{
	struct timespec w, c;
	*wall = *cpu = 0;
	if (clock_gettime(CLOCK_MONOTONIC, &w) != 0 || clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c) != 0)
		return;
	*wall = (int64_t)w.tv_sec * WHOLE_SECONDS + w.tv_nsec;
	*cpu = (int64_t)c.tv_sec * WHOLE_SECONDS + c.tv_nsec;
}

// The C library's texts are fixed strings, and those it makes up for an
// unknown value go to a buffer of the calling thread's own.
const char *error_text(int err, char *, size_t) { return strerror(err); }

// How often the calling thread has gone to sleep so far: on a cold disk,
// for its reads.  Where that cannot be told, every ask counts as one.
int64_t times_waited(void)
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
int64_t raise_descriptor_limit(void)
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

#if defined(__linux__) && defined(__LP64__)
static_assert(offsetof(struct dirent, d_name) == 19, "struct dirent is not the kernel's record");
int open_reader(DirReader *r, int fd, const char *)
{
	r->fd = fd;
	r->at = r->end = 0;
	return 0;
}
// The next entry; null at the end, or with errno set when the read failed.
const struct dirent *read_entry(DirReader *r)
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
void close_reader(DirReader *) {}
#else
int open_reader(DirReader *r, int fd, const char *)
{
	int own = dup(fd);
	r->dir = own < 0 ? nullptr : fdopendir(own);
	if (r->dir == nullptr && own >= 0)
		close(own);
	return r->dir == nullptr;
}
const struct dirent *read_entry(DirReader *r) { return readdir(r->dir); }
void close_reader(DirReader *r) { closedir(r->dir); }
#endif

#if defined(__linux__)
// The kernel's own file systems tell by their type.  FUSE does not: the
// two common FAT-family drivers there leave no subtype in the mount table,
// and what an NTFS driver keeps depends on its mount options.  Network file
// systems keep what the server's file system keeps.  Those are tried.
int volume_kind(int fd, const char *, VolumeKind *kind)
{
	struct statfs fs;
	*kind = {KEEPS_MODES, KEEPS_MODES, 1, 0, 0, WHOLE_SECONDS, 0, 1, 0, 0};
	if (fstatfs(fd, &fs) != 0)
		return 0;
	// The kernel's own disk file systems write out all their files on one
	// syncfs; FUSE passes it to no driver, and NFS commits what a file's
	// own flush asks for.
	kind->flush_each = 0;
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
		return 1;
	case 0x6969: // nfs: the fraction the server keeps is not known
		kind->flush_each = 1;
		kind->remote = 1;
		return 1;
	case 0x517B:     // smb
	case 0xFF534D42: // cifs
	case 0xFE534D42: // smb2
		kind->flush_each = 1;
		kind->remote = 1;
		return 0;
	case 0x4D44: // vfat, msdos: a read-only attribute on files alone (on
	             // directories only with an option that Windows misreads),
	             // times cut down to even seconds
		*kind = {KEEPS_WRITE_BIT, KEEPS_NO_MODES, 2, 0, 0, WHOLE_SECONDS, 0, 0, 0, 0};
		return 1;
	case 0x2011BAB0: // exfat: as FAT, but times in 10 ms
		*kind = {KEEPS_WRITE_BIT, KEEPS_NO_MODES, 1, 0, 0, 10000000, 0, 0, 0, 0};
		return 1;
	case 0x65735546: // fuse: each call goes through its driver's process
		kind->flush_each = 1;
		kind->remote = 1;
		return 0;
	default:
		kind->flush_each = 1;
		return 0;
	}
}
#else
int volume_kind(int, const char *, VolumeKind *kind)
{
	*kind = {KEEPS_MODES, KEEPS_MODES, 1, 0, 0, WHOLE_SECONDS, 0, 1, 0, 0};
	return 0;
}
#endif
