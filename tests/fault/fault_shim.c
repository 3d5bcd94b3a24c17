// Preloaded into the program by the fault tests: when the call FAULT_CALL
// reaches a path that FAULT_PATH matches (a shell pattern; for fstatat the
// entry name, for a descriptor call the descriptor's file), it acts as
// FAULT_DO says:
//   "sh:COMMAND"  runs the command once, before the call goes through;
//   "errno:N"     fails the call with error N, every time;
//   "sleep:N"     sleeps N microseconds before every such call, as it would
//                 wait on a cold disk;
//   "kill:N"      kills the process at the Nth such call, before it is made,
//                 as a power cut or the out-of-memory killer would;
//   "fat"         makes every call on a path below FAULT_PATH, whatever
//                 FAULT_CALL names, act as on a FAT file system: its type
//                 answers MSDOS_SUPER_MAGIC, times are kept cut down to
//                 even seconds, and a mode change of any bit but the write
//                 bits fails with EPERM;
//   "stdout"      (with FAULT_CALL "stdout") sends standard output to the
//                 file FAULT_PATH from the start, such as /dev/full.
// With FAULT_DISK set, a tmpfs tells itself a disk (ext4), so that copies
// there wait for their barrier as on one (but for FAULT_DISK=cold), and
// (but for FAULT_DISK=warm) no data can be read without waiting for it, so
// that workers copy; "syncfs" is the barrier.
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

static int armed(const char *call)
{
	const char *c = getenv("FAULT_CALL");
	return c != NULL && strcmp(c, call) == 0;
}

// The C library writes its streams past the calls below.
__attribute__((constructor)) static void redirect_stdout(void)
{
	const char *p = getenv("FAULT_PATH"), *d = getenv("FAULT_DO");
	int fd = armed("stdout") && p && d && strcmp(d, "stdout") == 0 ? open(p, O_WRONLY) : -1;
	if (fd >= 0 && fd != 1) {
		dup2(fd, 1);
		close(fd);
	}
}

// Answers 1, with errno set, when the call must fail.
static int fault(const char *call, const char *path)
{
	static int fired;
	const char *p = getenv("FAULT_PATH"), *d = getenv("FAULT_DO");
	if (!armed(call) || !p || !d || !path || fnmatch(p, path, 0) != 0)
		return 0;
	if (strncmp(d, "kill:", 5) == 0) {
		static int calls;
		if (++calls == atoi(d + 5))
			raise(SIGKILL);
		return 0;
	}
	if (strncmp(d, "sleep:", 6) == 0) {
		struct timespec t = {0, atol(d + 6) * 1000L};
		nanosleep(&t, NULL);
		return 0;
	}
	if (strncmp(d, "errno:", 6) == 0) {
		errno = atoi(d + 6);
		return 1;
	}
	if (!fired && strncmp(d, "sh:", 3) == 0) {
		fired = 1;
		unsetenv("LD_PRELOAD");
		if (system(d + 3) != 0)
			fprintf(stderr, "fault_shim: '%s' failed\n", d + 3);
	}
	return 0;
}

// The full path of name relative to the open directory dir.
static const char *at_path(int dir, const char *name, char *buf, size_t size)
{
	char link[64], base[4096];
	if (dir == AT_FDCWD || name[0] == '/')
		return name;
	snprintf(link, sizeof link, "/proc/self/fd/%d", dir);
	ssize_t n = readlink(link, base, sizeof base - 1);
	base[n < 0 ? 0 : n] = '\0';
	snprintf(buf, size, "%s/%s", base, name);
	return buf;
}

static const char *fd_path(int fd, char *buf, size_t size)
{
	char link[64];
	snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
	ssize_t n = readlink(link, buf, size - 1);
	buf[n < 0 ? 0 : n] = '\0';
	return buf;
}

static int fat_armed(void)
{
	const char *d = getenv("FAULT_DO");
	return d != NULL && strcmp(d, "fat") == 0;
}

static int on_fat(const char *path)
{
	const char *p = getenv("FAULT_PATH");
	size_t n = p ? strlen(p) : 0;
	return fat_armed() && n && path && strncmp(path, p, n) == 0 && (path[n] == '/' || path[n] == '\0');
}

static int fat_at(int dir, const char *name)
{
	char buf[8192];
	return fat_armed() && on_fat(at_path(dir, name, buf, sizeof buf));
}

static int fat_fd(int fd)
{
	char buf[4096];
	return fat_armed() && on_fat(fd_path(fd, buf, sizeof buf));
}

// The times FAT keeps of t (null: now), in out; answers out.
static const struct timespec *fat_times(const struct timespec t[2], struct timespec out[2])
{
	for (int i = 0; i < 2; i++) {
		if (t == NULL || t[i].tv_nsec == UTIME_NOW)
			clock_gettime(CLOCK_REALTIME, &out[i]);
		else
			out[i] = t[i];
		if (out[i].tv_nsec != UTIME_OMIT) {
			out[i].tv_sec &= ~(time_t)1;
			out[i].tv_nsec = 0;
		}
	}
	return out;
}

// A mode change that FAT refuses: any bit but the write bits.
static int fat_refuses(mode_t mode, const struct stat *now)
{
	if (((mode ^ now->st_mode) & 07555) == 0)
		return 0;
	errno = EPERM;
	return 1;
}

static int fault_at(const char *call, int dir, const char *name)
{
	char buf[8192];
	return armed(call) && fault(call, at_path(dir, name, buf, sizeof buf));
}

static int fault_fd(const char *call, int fd)
{
	char path[4096];
	return armed(call) && fault(call, fd_path(fd, path, sizeof path));
}

// A call and its descriptor twin go by one name: "utime" is utimensat and
// futimens, "chmod" is chmod and fchmod; the others go by their own.
#define NEXT(f) static __typeof__(f) *next; if (!next) next = (__typeof__(f) *)dlsym(RTLD_NEXT, #f)
#define PATH_CALL(ret, f, op, fail, params, path, args) \
	ret f params { NEXT(f); return fault(op, path) ? fail : next args; }
#define FD_CALL(ret, f, op, params, fd, args) \
	ret f params { NEXT(f); return fault_fd(op, fd) ? -1 : next args; }

int open(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	int mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(ap, int) : 0;
	va_end(ap);
	NEXT(open);
	return fault("open", path) ? -1 : next(path, flags, mode);
}

PATH_CALL(int, stat, "stat", -1, (const char *p, struct stat *s), p, (p, s))
PATH_CALL(int, fstatat, "fstatat", -1, (int d, const char *p, struct stat *s, int f), p, (d, p, s, f))
PATH_CALL(DIR *, opendir, "opendir", NULL, (const char *p), p, (p))
PATH_CALL(int, mkdir, "mkdir", -1, (const char *p, mode_t m), p, (p, m))
PATH_CALL(int, unlink, "unlink", -1, (const char *p), p, (p))
PATH_CALL(int, rmdir, "rmdir", -1, (const char *p), p, (p))
FD_CALL(ssize_t, copy_file_range, "copy_file_range", (int i, off_t *ip, int o, off_t *op, size_t n, unsigned f), i,
        (i, ip, o, op, n, f))
FD_CALL(ssize_t, read, "read", (int fd, void *b, size_t n), fd, (fd, b, n))
FD_CALL(ssize_t, write, "write", (int fd, const void *b, size_t n), fd, (fd, b, n))
FD_CALL(int, close, "close", (int fd), fd, (fd))
FD_CALL(off_t, lseek, "lseek", (int fd, off_t at, int whence), fd, (fd, at, whence))
FD_CALL(int, ftruncate, "ftruncate", (int fd, off_t length), fd, (fd, length))

int chmod(const char *p, mode_t m)
{
	struct stat st;
	NEXT(chmod);
	if (on_fat(p) && stat(p, &st) == 0 && fat_refuses(m, &st))
		return -1;
	return fault("chmod", p) ? -1 : next(p, m);
}

int fchmod(int fd, mode_t m)
{
	struct stat st;
	NEXT(fchmod);
	if (fat_fd(fd) && fstat(fd, &st) == 0 && fat_refuses(m, &st))
		return -1;
	return fault_fd("chmod", fd) ? -1 : next(fd, m);
}

int utimensat(int d, const char *p, const struct timespec t[2], int f)
{
	struct timespec kept[2];
	NEXT(utimensat);
	if (fat_at(d, p))
		t = fat_times(t, kept);
	return fault("utime", p) ? -1 : next(d, p, t, f);
}

int futimens(int fd, const struct timespec t[2])
{
	struct timespec kept[2];
	NEXT(futimens);
	if (fat_fd(fd))
		t = fat_times(t, kept);
	return fault_fd("utime", fd) ? -1 : next(fd, t);
}

int statfs(const char *p, struct statfs *buf)
{
	NEXT(statfs);
	int r = next(p, buf);
	if (r == 0 && on_fat(p))
		buf->f_type = 0x4d44;
	return r;
}

int fstatfs(int fd, struct statfs *buf)
{
	NEXT(fstatfs);
	int r = next(fd, buf);
	if (r == 0 && fat_fd(fd))
		buf->f_type = 0x4d44;
	else if (r == 0 && getenv("FAULT_DISK") && strcmp(getenv("FAULT_DISK"), "cold") != 0 &&
	         buf->f_type == 0x01021994)
		buf->f_type = 0xEF53;
	return r;
}

FD_CALL(int, syncfs, "syncfs", (int fd), fd, (fd))

ssize_t preadv2(int fd, const struct iovec *iov, int count, off_t at, int flags)
{
	NEXT(preadv2);
	const char *disk = getenv("FAULT_DISK");
	if (disk && strcmp(disk, "warm") != 0 && (flags & RWF_NOWAIT)) {
		errno = EAGAIN;
		return -1;
	}
	return next(fd, iov, count, at, flags);
}

// The calls relative to an open directory go by the names of their path
// twins: a directory opened with openat is "opendir".
int openat(int dir, const char *name, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	int mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(ap, int) : 0;
	va_end(ap);
	NEXT(openat);
	int unnamed = (flags & O_TMPFILE) == O_TMPFILE;
	if (unnamed && fat_at(dir, name)) { // FAT has no unnamed files
		errno = EOPNOTSUPP;
		return -1;
	}
	const char *call = !unnamed && (flags & O_DIRECTORY) ? "opendir" : "open";
	return fault_at(call, dir, name) ? -1 : next(dir, name, flags, mode);
}

int unlinkat(int dir, const char *name, int flags)
{
	NEXT(unlinkat);
	return fault_at(flags & AT_REMOVEDIR ? "rmdir" : "unlink", dir, name) ? -1 : next(dir, name, flags);
}

int linkat(int from_dir, const char *from, int dir, const char *name, int flags)
{
	NEXT(linkat);
	return fault_at("link", dir, name) ? -1 : next(from_dir, from, dir, name, flags);
}

int renameat(int from_dir, const char *from, int dir, const char *name)
{
	NEXT(renameat);
	return fault_at("rename", dir, name) ? -1 : next(from_dir, from, dir, name);
}

int mkdirat(int dir, const char *name, mode_t mode)
{
	NEXT(mkdirat);
	return fault_at("mkdir", dir, name) ? -1 : next(dir, name, mode);
}

int fchmodat(int dir, const char *name, mode_t mode, int flags)
{
	struct stat st;
	NEXT(fchmodat);
	if (fat_at(dir, name) && fstatat(dir, name, &st, flags) == 0 && fat_refuses(mode, &st))
		return -1;
	return fault_at("chmod", dir, name) ? -1 : next(dir, name, mode, flags);
}
