// What a destination file system keeps of a status.  Found once per
// device: from its type where that tells, else from a file of its own
// given a mode and odd times and read back, else from the first copy.
// Every comparison of modes and times, and every status change, asks here
// for what the file system can hold, so that a second run over FAT, exFAT
// or NTFS finds nothing to do and no change it cannot make is tried.
//
// Invariants:
//  - what is learnt can only make comparisons coarser, never finer than
//    the file system shows, so no mirror is copied again and again;
//  - a copy never gets a set-ID bit of another owner.
#include "fscaps.h"
#include "console.h"

// The permission bits a copy receives.  A copy belongs to whoever runs the
// mirror, so a set-user-ID or set-group-ID bit is kept only where that
// owner or group is the source file's own: otherwise root mirroring another
// user's tree would hand out programs that run as root.
mode_t copy_permissions(const FileStatus *status)
{
	mode_t mode = status->st_mode & 07777;
	if (S_ISREG(status->st_mode)) {
		if (status->st_uid != run.user)
			mode &= ~(mode_t)S_ISUID;
		if (status->st_gid != run.group)
			mode &= ~(mode_t)S_ISGID;
	}
	return mode;
}

enum { FS_CACHE = 32, PROBE_TIME = 1000000001, PROBE_NANOS = 123456789 };

static FsCaps fs_cache[FS_CACHE];
static int fs_cached;
// Assumed where nothing is known: every bit kept, whole seconds.
static FsCaps keeps_all = {0, {KEEPS_MODES, KEEPS_MODES, 1, 0, 0, WHOLE_SECONDS, 0, 1, 0, 0}, 1, 0, 0, -1, nullptr, 1, 1, 0, 0, 0, 0};

// The file system of a device met before, or the assumption.
FsCaps *fs_of(file_dev_t dev)
{
	for (int i = 0; i < fs_cached; i++)
		if (fs_cache[i].dev == dev)
			return &fs_cache[i];
	return &keeps_all;
}

int modes_kept(const FsCaps *fs, const FileStatus *status)
{
	return S_ISDIR(status->st_mode) ? fs->kind.dir_modes : fs->kind.file_modes;
}

// A modification time in whole seconds as the file system stores it.
static int64_t kept_time(const FsCaps *fs, int64_t t)
{
	if (fs->kind.time_step != 2)
		return t;
	return fs->kind.round_up ? t + (t & 1) : t - (t & 1);
}

// Whether the destination shows the permission bits that the source's
// would become there.
int same_mode(const FsCaps *fs, const FileStatus *src, const FileStatus *dst)
{
	switch (modes_kept(fs, src)) {
	case KEEPS_NO_MODES:
		return 1;
	case KEEPS_WRITE_BIT:
		return !(src->st_mode & S_IWUSR) == !(dst->st_mode & S_IWUSR);
	default:
		return copy_permissions(src) == (dst->st_mode & 07777);
	}
}

// The mode to ask for so that an item, as it stands now, gets what the
// file system keeps of want; 0 when it keeps nothing and no change is to
// be asked for.  With the read-only attribute alone only the write bits
// may change: the others stay as the file system shows them, or the
// change is refused.
int mode_to_set(const FsCaps *fs, const FileStatus *now, mode_t want, mode_t *mode)
{
	switch (modes_kept(fs, now)) {
	case KEEPS_NO_MODES:
		return 0;
	case KEEPS_WRITE_BIT:
		*mode = (now->st_mode & 0555) | (want & S_IWUSR ? 0222 : 0);
		return 1;
	default:
		*mode = want;
		return 1;
	}
}

// How far b's modification time lies after a's, in nanoseconds, held to
// a few seconds either way.
static int64_t nanos_after(const FileStatus *a, const FileStatus *b)
{
	int64_t seconds = (int64_t)b->st_mtime - (int64_t)a->st_mtime;
	if (seconds > 4 || seconds < -4)
		seconds = seconds > 0 ? 4 : -4;
	return seconds * WHOLE_SECONDS + mtime_nanos(b) - mtime_nanos(a);
}

// The step of the fraction of a second that a file system keeps, from a
// time set and the time got back: the coarsest power of ten that the time
// got is a multiple of and that lies within a step of the time set (cut
// down or rounded).  Never finer than the truth; coarser only where the
// time set had few digits, as a first copy's may.
static int32_t nanos_kept(const FileStatus *set, const FileStatus *got)
{
	int64_t off = nanos_after(set, got);
	if (off < 0)
		off = -off;
	int32_t step = WHOLE_SECONDS;
	while (step > 1 && (mtime_nanos(got) % step != 0 || off >= step))
		step /= 10;
	return step;
}

// How far the source's modification time lies after the destination's, in
// the finest step that both the destination's file system and its stored
// time show: in nanoseconds (within the file system's step, which cuts or
// rounds) where the stored time has a fraction, else in whole seconds as
// the file system stores them, as copies made in whole seconds carry.
int64_t time_after(const FsCaps *fs, const FileStatus *src, const FileStatus *dst)
{
	if (mtime_nanos(dst) != 0 && fs->kind.time_nanos < WHOLE_SECONDS) {
		int64_t off = nanos_after(dst, src);
		return off >= fs->kind.time_nanos || off <= -fs->kind.time_nanos ? off : 0;
	}
	int64_t src_time = kept_time(fs, src->st_mtime), dst_time = kept_time(fs, dst->st_mtime);
	return (uint64_t)src_time > (uint64_t)dst_time ? 1 : src_time != dst_time ? -1 : 0;
}

// Learns what the file system keeps from a file given the mode set and,
// where times_set is not null, its times: got is what it shows.  An odd
// second tells a step of two seconds.
void learn_fs(FsCaps *fs, mode_t set, const FileStatus *times_set, const FileStatus *got)
{
	int64_t t = got->st_mtime, time_set = times_set != nullptr ? times_set->st_mtime : 0;
	if (time_set & 1) {
		fs->kind.time_step = t == time_set - 1 || t == time_set + 1 ? 2 : 1;
		fs->kind.round_up = t == time_set + 1;
	}
	if (times_set != nullptr)
		fs->kind.time_nanos = fs->kind.time_step == 2 ? WHOLE_SECONDS : nanos_kept(times_set, got);
	int keeps = KEEPS_NO_MODES;
	if ((got->st_mode & 0777) == (set & 0777))
		keeps = KEEPS_MODES;
	else if (!(set & 0222) && !(got->st_mode & 0222))
		keeps = KEEPS_WRITE_BIT;
	fs->kind.file_modes = keeps;
	fs->kind.dir_modes = keeps == KEEPS_MODES ? KEEPS_MODES : KEEPS_NO_MODES;
	fs->settled = 1;
}

// Whether the probe file, renamed, shows another time than before: one
// FUSE driver of FAT gives a renamed file the current time, so a copy
// there gets its times again once it has its name.  The probe keeps the
// new name, in name and path.
static int renamed_in_time(int dir_fd, char *name, char *path, time_t before)
{
	size_t len = strlen(path);
	if (len + 2 > PATH_BUF)
		return 0;
	char moved_path[PATH_BUF];
	memcpy(moved_path, path, len);
	memcpy(moved_path + len, "m", 2);
	const char *moved = moved_path + (len - strlen(name));
	FileStatus st;
	if (rename_at(dir_fd, name, path, moved, moved_path) != 0)
		return 0;
	strcat(name, "m");
	strcat(path, "m");
	return lstat_at(dir_fd, name, path, &st) == 0 && st.st_mtime != before;
}

// Finds out on a new file of its own in the directory, removed again:
// a mode without write bits, and where that does not hold, the same bits
// as shown less the write bits, which a read-only attribute can take.  A
// directory where no file can be made leaves the question to the next one,
// or to the first copy; once a file was made, the question is closed.
static void probe_fs(FsCaps *fs, int dir_fd, const char *dir)
{
	char name[48], path[PATH_BUF];
	snprintf(name, sizeof name, TEMP_PREFIX "probe-%ld", (long)getpid());
	if (join_path(path, PATH_BUF, dir, name) == nullptr)
		return;
	int fd = open_temp_at(dir_fd, name, path, S_IRUSR | S_IWUSR);
	if (fd < 0)
		return;
	fs->settled = 1;
	FileStatus set, got;
	memset(&set, 0, sizeof set);
	set.st_atime = set.st_mtime = PROBE_TIME;
	set_nanos(&set, PROBE_NANOS);
	set.st_mode = S_IFREG | 0551;
	int timed = set_times(fd, path, &set) == 0;
	mode_t tried = 0551;
	set_mode(fd, path, tried);
	int seen = fd_status(fd, path, &got) == 0;
	if (seen && (got.st_mode & 0777) != tried) {
		tried = got.st_mode & 0555;
		set_mode(fd, path, tried);
		seen = fd_status(fd, path, &got) == 0;
	}
	// Learnt against the first mode asked for: one that shows only after a
	// second try (0555 for 0551 on a share) is a read-only attribute.
	if (seen)
		learn_fs(fs, 0551, timed ? &set : nullptr, &got);
	set_mode(fd, path, S_IRUSR | S_IWUSR | 0222); // some will not unlink a read-only file
	close(fd);
	if (seen && timed)
		fs->kind.renames_touch = renamed_in_time(dir_fd, name, path, got.st_mtime);
	if (unlink_at(dir_fd, name, path) != 0)
		report_error("unlink", path);
}

// What the file system of a destination directory keeps as far as its
// type tells, found the first time one of its directories is met; nothing
// is written there.
FsCaps *known_fs(int dir_fd, const char *dir, file_dev_t dev)
{
	FsCaps *fs = fs_of(dev);
	if (fs == &keeps_all) {
		if (fs_cached == FS_CACHE)
			return fs; // a tree over this many file systems assumes
		fs = &fs_cache[fs_cached++];
		fs->dev = dev;
		fs->settled = volume_kind(dir_fd, dir, &fs->kind);
		fs->flush_fd = keep_dir(dir_fd);
		fs->flush_kept = fs->flush_fd >= 0;
		if (fs->flush_kept) {
			size_t len = strlen(dir) + 1;
			fs->flush_path = (char *)xmalloc(len);
			memcpy(fs->flush_path, dir, len);
		}
	}
	return fs;
}

// What the file system of a destination directory keeps: by its type, or
// else found out on a file of its own.
OFF_THE_WALK FsCaps *find_fs(int dir_fd, const char *dir, file_dev_t dev)
{
	FsCaps *fs = known_fs(dir_fd, dir, dev);
	if (!fs->settled)
		probe_fs(fs, dir_fd, dir);
	return fs;
}

// The copy rule on two snapshots, as far as the destination's file system
// keeps a status: in mode 0 a copy whose permission bits drifted differs
// as much as one whose data did; in mode 1 only a newer source counts.
int files_differ(const FsCaps *fs, const FileStatus *src, const FileStatus *dst)
{
	int64_t after = time_after(fs, src, dst);
	if (run.copy_mode == 0)
		return src->st_size != dst->st_size || after != 0 || !same_mode(fs, src, dst);
	return after > 0;
}

// A file of its own made in the directory and looked up under its name in
// capitals: found, the file system folds case.  Where no file can be made,
// the next directory asks again, and until then the answer is yes.
int folds_case(FsCaps *fs, int dir_fd, const char *dir)
{
	if (fs->case_known)
		return fs->folds_case;
	char name[48], upper[48], path[PATH_BUF], upper_path[PATH_BUF];
	snprintf(name, sizeof name, TEMP_PREFIX "case-%ld", (long)getpid());
	size_t i = 0;
	for (; name[i] != '\0'; i++)
		upper[i] = name[i] >= 'a' && name[i] <= 'z' ? (char)(name[i] - 'a' + 'A') : name[i];
	upper[i] = '\0';
	if (join_path(path, PATH_BUF, dir, name) == nullptr || join_path(upper_path, PATH_BUF, dir, upper) == nullptr)
		return 1;
	int fd = open_temp_at(dir_fd, name, path, S_IRUSR | S_IWUSR);
	if (fd < 0)
		return 1;
	close(fd);
	FileStatus st;
	errno = 0;
	// Only a plain "no such name" says the names are told apart.
	fs->folds_case = lstat_at(dir_fd, upper, upper_path, &st) == 0 || errno != ENOENT;
	fs->case_known = 1;
	if (unlink_at(dir_fd, name, path) != 0)
		report_error("unlink", path);
	return fs->folds_case;
}

FsCaps *fs_assumed(void)
{
	return &keeps_all;
}

// Each destination file system the run changed, flushed once more.
void flush_changed_fs(void)
{
	for (int i = 0; i < fs_cached; i++)
		if (fs_cache[i].written && fs_cache[i].flush_kept && flush_fs(fs_cache[i].flush_fd) != 0)
			report_error("syncfs", fs_cache[i].flush_path);
}
