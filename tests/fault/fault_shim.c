// Preloaded into the program by the fault tests: when the call FAULT_CALL
// reaches a path that FAULT_PATH matches (a shell pattern; for fstatat the
// entry name, for a descriptor call the descriptor's file), it acts as
// FAULT_DO says:
//   "sh:COMMAND"  runs the command once, before the call goes through;
//   "errno:N"     fails the call with error N, every time;
//   "kill:N"      kills the process at the Nth such call, before it is made,
//                 as a power cut or the out-of-memory killer would.
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
#include <unistd.h>

static int armed(const char *call)
{
	const char *c = getenv("FAULT_CALL");
	return c != NULL && strcmp(c, call) == 0;
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

static int fault_at(const char *call, int dir, const char *name)
{
	char buf[8192];
	return armed(call) && fault(call, at_path(dir, name, buf, sizeof buf));
}

static int fault_fd(const char *call, int fd)
{
	char link[64], path[4096];
	if (!armed(call))
		return 0;
	snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
	ssize_t n = readlink(link, path, sizeof path - 1);
	path[n < 0 ? 0 : n] = '\0';
	return fault(call, path);
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
PATH_CALL(int, chmod, "chmod", -1, (const char *p, mode_t m), p, (p, m))
PATH_CALL(int, utimensat, "utime", -1, (int d, const char *p, const struct timespec t[2], int f), p, (d, p, t, f))
FD_CALL(int, fchmod, "chmod", (int fd, mode_t m), fd, (fd, m))
FD_CALL(int, futimens, "utime", (int fd, const struct timespec t[2]), fd, (fd, t))
FD_CALL(ssize_t, copy_file_range, "copy_file_range", (int i, off_t *ip, int o, off_t *op, size_t n, unsigned f), i,
        (i, ip, o, op, n, f))
FD_CALL(ssize_t, read, "read", (int fd, void *b, size_t n), fd, (fd, b, n))
FD_CALL(ssize_t, write, "write", (int fd, const void *b, size_t n), fd, (fd, b, n))
FD_CALL(int, close, "close", (int fd), fd, (fd))

// The calls relative to an open directory go by the names of their path
// twins: a directory opened with openat is "opendir".
int openat(int dir, const char *name, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	int mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(ap, int) : 0;
	va_end(ap);
	NEXT(openat);
	return fault_at(flags & O_DIRECTORY ? "opendir" : "open", dir, name) ? -1 : next(dir, name, flags, mode);
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
	NEXT(fchmodat);
	return fault_at("chmod", dir, name) ? -1 : next(dir, name, mode, flags);
}
