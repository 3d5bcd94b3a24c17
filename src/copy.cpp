// File copy: one source file over its destination name.  Its data is
// written to a file of its own beside the name (unnamed where the file
// system allows, else a temporary), taken in steps of a buffer from the
// start, holes kept, with the percentage shown after each step as a dense
// copy shows it; it then gets the source's times and mode, and takes the
// name only once it is complete, and on a disk only once its data is on
// the disk (the walk places it, place.cpp).
//
// Invariants:
//  - an old file is removed or truncated only where removing can make the
//    open succeed, never for want of room, inodes or descriptors;
//  - a file with other names is replaced, never rewritten;
//  - a file written in place (a directory the user may not write) carries
//    the time 0 until its data is complete;
//  - every failure is reported with the side it concerns (read: source,
//    write: destination).
#include "copy.h"
#include "console.h"
#include "fscaps.h"

// The time a file written in place carries until its data is complete:
// older than any source's, so a copy cut short differs in both copy modes.
static const FileStatus no_source_time = {};

// Each copying thread's buffer: the walk's is the run's, a worker's its
// own, made at its first copy.
static thread_local char *own_buffer;

void use_copy_buffer(char *buffer)
{
	own_buffer = buffer;
}

static char *thread_buffer(void)
{
	if (own_buffer == nullptr)
		own_buffer = (char *)xmalloc((size_t)run.buffer_size);
	return own_buffer;
}

void free_copy_buffer(void)
{
	free(own_buffer);
	own_buffer = nullptr;
}

static void show_percent(uint64_t written, uint64_t size, unsigned *last_shown)
{
	unsigned pct;
	if (written >= size) // also a file that grew from empty since the scan
		pct = 100;
	else
		pct = (unsigned)(written * 100 / size);
	if (pct != *last_shown) {
		put_format(stdout, 1, "%%%03u\b\b\b\b", pct);
		*last_shown = pct;
	}
}

// Writes all n bytes; a short write is continued, so that a real failure
// is reported with its own error number.
static int write_all(int fd, const char *buf, size_t n)
{
	while (n > 0) {
		ssize_t w = write(fd, buf, n);
		if (w <= 0) {
			if (w == 0)
				errno = ENOSPC;
			return 1;
		}
		buf += w;
		n -= (size_t)w;
	}
	return 0;
}

// Moves up to want bytes.  The kernel copies them where it can; once it
// cannot, the read/write loop takes over from the same offsets and names
// the failing side.  Answers the byte count, 0 at the end, -1 on failure.
static ssize_t copy_chunk(int in, int out, const char *src, const char *dst,
                          int *in_kernel, uint64_t written, uint64_t size, size_t want)
{
	if (*in_kernel) {
		ssize_t n = kernel_copy(in, out, want);
		// Some files claim a size yet give the kernel copy nothing.
		if (n > 0 || (n == 0 && (written > 0 || size == 0)))
			return n;
		*in_kernel = 0;
	}
	char *buffer = thread_buffer();
	ssize_t n = read(in, buffer, want);
	if (n < 0) {
		report_error("read", src);
		return -1;
	}
	if (n > 0 && write_all(out, buffer, (size_t)n)) {
		report_error("write", dst);
		return -1;
	}
	return n;
}

// Shows the percentage after each buffer's worth of bytes past from, up
// to to, as a copy of every byte would: the buffers in between whose value
// would not change are passed over at once.
static void show_steps(uint64_t from, uint64_t to, uint64_t size, unsigned *last_shown)
{
	uint64_t step = (uint64_t)run.buffer_size;
	for (uint64_t at = from - from % step + step; at <= to && at > from;) {
		show_percent(at, size, last_shown);
		if (at >= size)
			return; // 100 from here on
		// The first byte count whose percentage is higher, on a step.
		uint64_t higher = ((uint64_t)*last_shown + 1) * size;
		uint64_t next = higher / 100 + (higher % 100 != 0);
		next += (step - next % step) % step;
		at = next > at ? next : at + step;
	}
}

// What lies past a hole: more data, nothing (a hole to the end), or what
// the file system cannot tell.
enum { DATA_NEXT, HOLE_TO_END, HOLES_UNTOLD };

// Moves both files past the hole at *at to the source's next data, whose
// end goes to *stop; the copy's hole is left unwritten.  Where only a hole
// is left, the copy is given the source's whole length, which goes to *at.
// Where the file system cannot tell, both files stay where they were.
// *found tells which; answers 1 after a failure is reported.
static int skip_hole(int in, int out, const char *src, const char *dst, uint64_t *at, uint64_t *stop,
                     int *found)
{
	int64_t start, end;
	int next = next_data(in, (int64_t)*at, &start, &end);
	*found = next < 0 ? HOLES_UNTOLD : next == 0 ? DATA_NEXT : HOLE_TO_END;
	if (*found == HOLES_UNTOLD)
		return 0;
	if (*found == DATA_NEXT) {
		if (seek_to(out, start) != 0) {
			report_error("write", dst);
			return 1;
		}
		*at = (uint64_t)start;
		*stop = end > start ? (uint64_t)end : UINT64_MAX; // a file changing under the copy
		return 0;
	}
	int64_t length = file_length(in);
	if (length < 0) {
		report_error("read", src);
		return 1;
	}
	// A copy that ends in data has its length already.
	if ((uint64_t)length != *at && truncate_to(out, length) != 0) {
		report_error("write", dst);
		return 1;
	}
	*at = (uint64_t)length;
	return 0;
}

// Every write, even a failed one, gives a file the current time: one
// written in place (stamped) is given back no_source_time after each, so
// that a copy cut short never looks newer than its source.
static void restamp(int out, const char *dst, int stamped)
{
	if (stamped)
		set_times(out, dst, &no_source_time);
}

// Copies the data; answers 1 when a read or write failure cut it short.
// The file is taken in steps of a buffer from its start, and the
// percentage shown after each, so that its sequence never depends on
// where the data lies.  Within a step, a file with holes has only its data
// copied, so that its copy takes no more room than it does.
static int copy_data(int in, int out, const char *src, const char *dst, const FileStatus *st, int stamped)
{
	unsigned last_shown = 101;
	uint64_t size = (uint64_t)st->st_size, step = (uint64_t)run.buffer_size, at = 0;
	uint64_t stop = may_have_holes(st) ? 0 : UINT64_MAX; // the end of the data in hand
	int in_kernel = 1, verbose = run.verbose >= 2;
	for (;;) {
		if (at >= stop) {
			uint64_t from = at;
			int found, failed = skip_hole(in, out, src, dst, &at, &stop, &found);
			restamp(out, dst, stamped);
			if (failed)
				return 1;
			if (found == HOLES_UNTOLD)
				stop = UINT64_MAX; // dense from here on
			if (found == HOLE_TO_END && at < from)
				return 0; // it shrank: the copy has its length, the percentage stays
			if (verbose)
				show_steps(from, at, size, &last_shown);
			if (found == HOLE_TO_END)
				break;
			continue;
		}
		uint64_t step_end = at - at % step + step;
		uint64_t end = stop < step_end ? stop : step_end;
		size_t want = (size_t)(end - at);
		ssize_t n = copy_chunk(in, out, src, dst, &in_kernel, at, size, want);
		restamp(out, dst, stamped);
		if (n < 0)
			return 1;
		if (n == 0)
			break;
		at += (uint64_t)n;
		if (verbose && at == step_end)
			show_percent(at, size, &last_shown);
		// The kernel copies all there is: less than asked for, once the
		// size seen is reached, is the end, and asking again would only
		// hear so.  Data added since is newer than the copy's time says,
		// and the next run copies it.
		if (in_kernel && (size_t)n < want && at >= size)
			break;
	}
	// The last step, cut short by the end of the file.
	if (verbose && at % step != 0)
		show_percent(at, size, &last_shown);
	return 0;
}

// Give the item at path (through fd when it is open) the snapshot's times,
// for a regular file, and then what its file system fs keeps of its mode;
// where that is not known yet, the first copy's status, read back, tells.
// Failures name reported, the path of the item as the user knows it.
static void apply_times(int fd, const char *path, const char *reported, const FileStatus *status)
{
	if (S_ISREG(status->st_mode) && set_times(fd, path, status) != 0)
		report_error("utime", reported);
}

static void apply_status_as(FsCaps *fs, int fd, const char *path, const char *reported,
                            const FileStatus *status)
{
	apply_times(fd, path, reported, status);
	FileStatus now = *status;
	if (modes_kept(fs, status) == KEEPS_WRITE_BIT && fd_status(fd, path, &now) != 0) {
		report_error("stat", reported);
		return;
	}
	mode_t mode;
	if (!mode_to_set(fs, &now, copy_permissions(status), &mode))
		return;
	if (set_mode(fd, path, mode) != 0)
		report_error("chmod", reported);
	else if (!fs->settled && S_ISREG(status->st_mode) && fd_status(fd, path, &now) == 0)
		learn_fs(fs, mode, status, &now);
}

void apply_status(FsCaps *fs, int fd, const char *path, const FileStatus *status)
{
	apply_status_as(fs, fd, path, path, status);
}

// The mode a copy is made with: its own, where the umask leaves that whole,
// the file system is known to keep it and the directory gives new files no
// default ACL, so that no mode change follows (answers 1); else readable
// and writable by its owner alone, until apply_status gives it its mode
// once its data is complete.
static int birth_mode(const Side *dir, const FileStatus *status, unsigned *mode)
{
	unsigned want = (unsigned)copy_permissions(status);
	int whole = dir->fs->settled && modes_kept(dir->fs, status) == KEEPS_MODES && !dir->default_acl &&
	            (want & ~0777u) == 0 && (want & run.umask_bits) == 0;
	*mode = whole ? want : S_IRUSR | S_IWUSR;
	return whole;
}

// Whether removing what holds the name can let the open succeed: a file
// the user may not write, a link, a directory, a FIFO, socket or device, a
// program being run.  Never a want of descriptors, room or memory, nor a
// failing disk: then the old file must stay.
static int removal_may_help(int err)
{
	switch (err) {
	case EACCES: case EPERM: case ELOOP: case EMLINK: case EISDIR: case ETXTBSY: case ENXIO:
	case EOPNOTSUPP:
		return 1;
	default:
		return 0;
	}
}

// A file written in place is created readable by its owner alone;
// apply_status gives it the source's mode once its data is complete.  One
// with other names is never rewritten: where it cannot be unlinked,
// nothing is opened.
static int open_dest_file(const Item *it, int unlink_first)
{
	if (unlink_first && remove_path(it) != 0)
		return -1;
	int fd = open_dest_at(it->dir, it->name, it->path);
	if (fd >= 0 || !removal_may_help(errno))
		return fd;
	// A read-only file, a link or anything else in the way is removed
	// and the open tried once more.
	remove_path(it);
	return open_dest_at(it->dir, it->name, it->path);
}

// Whether a copy that could have neither an unnamed file nor a temporary
// may be written over the file itself: only in a directory the user may
// not write.  Where room, inodes or descriptors ran out, the old file is
// all there is, and it stays.
static int may_write_in_place(int err)
{
	return err == EACCES || err == EPERM || err == EROFS;
}

// What a copy is written to, and how it takes its name.
enum { TARGET_IN_PLACE, TARGET_UNNAMED, TARGET_NAMED };

struct CopyTarget {
	int fd;
	int kind;
	Item dst;              // the copy: every report names its path
	FsCaps *fs;            // what the file system it is made on keeps
	Item temp;             // a named temporary beside it
	char temp_path[PATH_BUF + 40]; // room for the temporary's name past a full path
	unsigned mode;         // what it is made with, birth_mode
	int mode_done;         // that is the source's own mode
	int defer;             // it waits under its temporary for the walk to place it
	unsigned serial;       // the temporary's
	int stamped;           // written in place, carrying no_source_time
};

// Gives the temporary a fresh name beside the copy's, by the act given
// (a named file is made, or an unnamed one linked).  Answers 1 when no
// name could be had.
static int name_temp(CopyTarget *t, const char *dst_dir, int (*make)(CopyTarget *))
{
	static std::atomic<unsigned> serial; // every copying thread's
	char name[40];
	for (int tries = 0; tries < 16; tries++) {
		t->serial = serial++;
		snprintf(name, sizeof name, TEMP_PREFIX "%u", t->serial);
		if (join_path(t->temp_path, sizeof t->temp_path, dst_dir, name) == nullptr)
			return 1;
		t->temp = {t->dst.dir, t->temp_path + strlen(t->temp_path) - strlen(name), t->temp_path};
		if (make(t) == 0)
			return 0;
		if (errno != EEXIST)
			return 1;
	}
	return 1;
}

static int make_named(CopyTarget *t)
{
	t->fd = open_temp_at(t->temp.dir, t->temp.name, t->temp.path, t->mode);
	return t->fd < 0;
}

static int link_named(CopyTarget *t)
{
	return link_unnamed_at(t->fd, t->temp.dir, t->temp.name) != 0;
}

// Opens what the copy is written to: an unnamed file in the directory, else
// a named temporary, else, where no temporary can be made, the file itself.
// A copy that will wait for its data to reach the disk waits under a
// temporary's name: it is made under that name at once, which costs one
// call less than an unnamed file linked in.  A name a directory holds
// takes no temporary's place: the copy goes there in place, and fails.
static int open_target(CopyTarget *t, const char *dst_dir, int held)
{
	t->stamped = 0;
	if (held != NAME_DIR) {
		t->kind = TARGET_UNNAMED;
		if (!t->defer && (t->fd = open_unnamed_at(t->dst.dir, t->mode)) >= 0)
			return 0;
		t->kind = TARGET_NAMED;
		if (name_temp(t, dst_dir, make_named) == 0)
			return 0;
		if (!may_write_in_place(errno))
			return 1;
	}
	t->kind = TARGET_IN_PLACE;
	t->mode_done = 0;
	t->fd = open_dest_file(&t->dst, held == NAME_SHARED);
	if (t->fd < 0)
		return 1;
	// Before any byte is written: the truncation gave it the current time.
	t->stamped = set_times(t->fd, t->dst.path, &no_source_time) == 0;
	return 0;
}

// Links the finished unnamed file in while its descriptor is open: under
// the copy's own name when that is free, else under a temporary name that
// then replaces what holds it.  Only a copy that need not wait for its
// data to reach the disk is unnamed.
static int link_target(CopyTarget *t, const char *dst_dir, int replace)
{
	if (!replace) {
		if (link_unnamed_at(t->fd, t->dst.dir, t->dst.name) == 0) {
			t->kind = TARGET_IN_PLACE; // it stands under its name now
			return 0;
		}
		if (errno != EEXIST) {
			report_error("open", t->dst.path);
			return 1;
		}
	}
	if (name_temp(t, dst_dir, link_named) != 0) {
		report_error("open", t->dst.path);
		return 1;
	}
	t->kind = TARGET_NAMED;
	return 0;
}

// Puts a finished, closed temporary in the place of the copy's name.
static int place_target(CopyTarget *t)
{
	if (t->kind != TARGET_NAMED ||
	    rename_at(t->dst.dir, t->temp.name, t->temp.path, t->dst.name, t->dst.path) == 0)
		return 0;
	report_error("rename", t->dst.path);
	return 1;
}

// A cut-short copy must not stay behind looking up to date: a temporary
// goes.  A file written in place, whose old data is gone already, stays
// with no_source_time (given again: its times may have been set before a
// failed close), so the next run copies it again; where that time cannot
// be given, it goes.  Whatever held the name of a temporary stays as it
// was.
static void discard_target(CopyTarget *t)
{
	if (t->stamped && set_times_at(t->dst.dir, t->dst.name, t->dst.path, &no_source_time) == 0)
		return;
	if (t->kind == TARGET_IN_PLACE)
		remove_path(&t->dst);
	else if (t->kind == TARGET_NAMED && unlink_at(t->temp.dir, t->temp.name, t->temp.path) != 0)
		report_error("unlink", t->dst.path);
}

// Closes the copy once its data is in: it gets the source's times and
// mode, then its name.  Answers 1 when it had to be discarded.
static int finish_target(CopyTarget *t, const char *dst_dir, const FileStatus *status, int failed,
                         int held)
{
	// No path lookup; and no mode change where the copy was made with it.
	if (!failed && STATUS_ON_DESCRIPTOR && t->mode_done)
		apply_times(t->fd, t->dst.path, t->dst.path, status);
	else if (!failed && STATUS_ON_DESCRIPTOR)
		apply_status(t->fs, t->fd, t->dst.path, status);
	if (!failed && t->kind != TARGET_IN_PLACE && t->defer && t->fs->kind.flush_each && flush_file(t->fd) != 0) {
		report_error("write", t->dst.path);
		failed = 1;
	}
	if (!failed && t->kind == TARGET_UNNAMED)
		failed = link_target(t, dst_dir, held != NAME_FREE);
	if (close(t->fd) != 0) {
		report_error("close", t->dst.path);
		failed = 1;
	}
	// Where the status goes by path, the closed temporary gets it before
	// it takes the name.
	if (!failed && !STATUS_ON_DESCRIPTOR)
		apply_status_as(t->fs, -1, t->kind == TARGET_NAMED ? t->temp.path : t->dst.path, t->dst.path,
		                status);
	if (!failed && t->defer && t->kind == TARGET_NAMED)
		return 0; // the walk places it, once its data is on the disk
	if (!failed)
		failed = place_target(t);
	if (failed)
		discard_target(t);
	else if (t->kind == TARGET_NAMED && t->fs->kind.renames_touch &&
	         set_times_at(t->dst.dir, t->dst.name, t->dst.path, status) != 0)
		report_error("utime", t->dst.path);
	return failed;
}

static int is_short_of_room(int err)
{
	return err == ENOSPC || err == EDQUOT;
}

// The one act that builds its item's path itself: its line comes first,
// and a path too long for it is reported after the line.  A finished copy
// is left waiting under its temporary's name, told in result, for the
// walk to place (place_copies).
void copy_file(char *header, const Side *src_dir, const Side *dst_dir, const EntryNode *entry, int held,
               CopyResult *result)
{
	*result = {0, 0, 0};
	if (run.verbose >= 2) {
		flush_header(header);
		put_format(stdout, 1, "COPY   %-50.50s %10lld Byte ", out_text(entry->name),
		           (long long)entry->status.size);
	}
	CopyTarget t;
	char src[PATH_BUF], dst[PATH_BUF];
	if (item_path(src, src_dir->path, entry->name, "open") ||
	    item_path(dst, dst_dir->path, entry->name, "open"))
		return;
	int in = open_source_at(src_dir->fd, entry->name, src);
	if (in < 0) {
		report_error("open", src);
		return;
	}
	t.dst = {dst_dir->fd, entry->name, dst};
	t.fs = dst_dir->fs;
	FileStatus status = entry_view(entry);
	t.mode_done = birth_mode(dst_dir, &status, &t.mode);
	// A worker's copy always waits for the walk to name it, in its turn.
	t.defer = !dst_dir->fs->kind.in_memory || recording_here();
	if (open_target(&t, dst_dir->path, held) != 0) {
		report_error("open", dst);
		result->short_of_room = is_short_of_room(errno);
		close(in);
		return;
	}
	int failed = copy_data(in, t.fd, src, dst, &status, t.stamped);
	int err = errno;
	if (close(in) != 0)
		report_error("close", src);
	if (finish_target(&t, dst_dir->path, &status, failed, held) && !failed) {
		failed = 1;
		err = errno;
	}
	if (failed)
		result->short_of_room = is_short_of_room(err);
	else if (t.defer && t.kind == TARGET_NAMED)
		*result = {1, t.serial, 0};
	if (run.verbose >= 2)
		put_text(stdout, "\n", 0);
	count_copied();
}
