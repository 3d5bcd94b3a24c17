// Placing copies.
//
// A copy takes its name only once its data is on the disk.  A finished
// copy waits under its temporary's name in its directory, held in the
// open batch, in the walk's order.  A full batch is sealed and its barrier
// started: one flush of each file system it wrote to, run by a worker
// while the walk goes on.  When the next batch is sealed, or the run ends,
// the walk waits for that barrier and gives the sealed batch's copies
// their names, in the order they were made.  After a power cut every name
// then holds its old file or the whole new one: no name is ever given to
// data that had not reached the disk, and no old file is gone before its
// replacement is there.  A batch of many small copies costs one barrier,
// not one per file; one of large copies is placed at once, so that the
// old files it replaces do not hold their room while the next batch is
// written.
//
// Batches are sealed, and copies placed, at points that follow the walk's
// order alone (counts, sizes, the room measured before a pair's copies,
// the walk's own descriptors), so one worker and many give the same names
// at the same points, with the same lines.
//
// A directory that holds waiting copies is kept open for them (HeldDir,
// counted): its pair may end first.
#include "place.h"
#include "console.h"
#include "fscaps.h"
#include "workers.h"

enum {
	BATCH_COPIES = 1024,        // copies in one batch
	BATCH_BYTES = 64 << 20,     // their data, at most; less on a fuller disk
	BATCH_ROOM_SHARE = 8,       // a batch holds at most this part of the free room
};

struct HeldDir {
	int fd;
	int refs;        // its pair while that is open, and each group of copies
	int pair_ended;  // the descriptor is the groups' alone
	char *path;
	FsCaps *fs;
	file_dev_t dev;
	file_ino_t ino;
};

struct Placement {
	Placement *next;    // circular, through its group's head
	char *name;         // in the same allocation
	unsigned serial;    // its temporary
	EntryStatus status; // the times, given again where a rename touches them
};

// The copies of one directory in one batch, in the order they were made.
struct PlaceGroup {
	PlaceGroup *next;   // circular, through the batch's head
	HeldDir *dir;
	Placement head;
	Placement *last;
	int err;            // the barrier's failure on its file system, or 0
	int flushed;        // the barrier flushed its file system through it
};

struct Batch {
	Job job;            // its barrier, first in, first out
	PlaceGroup head;
	PlaceGroup *last;
	int64_t count;
	int64_t bytes;
	int submitted;      // its barrier went to the workers (else it ran here)
};

static Batch batches[2];
static Batch *open_batch = &batches[0], *sealed_batch = nullptr;
static int64_t batch_bytes = BATCH_BYTES; // for the pair being copied
static int32_t held_dirs;                  // ended pairs kept open for copies
static int32_t held_dirs_cap = 16;

static void init_batch(Batch *b)
{
	b->head.next = &b->head;
	b->last = &b->head;
	b->count = 0;
	b->bytes = 0;
}

static int batch_empty(const Batch *b)
{
	return b->head.next == &b->head;
}

static void release_dir(HeldDir *d)
{
	if (--d->refs > 0)
		return;
	if (d->pair_ended) {
		close_dir(d->fd);
		held_dirs--;
	}
	free(d->path);
	free(d);
}

// The barrier: each file system of the batch flushed once, but those whose
// copies were flushed one by one as they were made.  Records nothing; the
// walk reports a failure when it places the batch.
static void run_barrier(Job *job)
{
	Batch *b = (Batch *)job;
	for (PlaceGroup *g = b->head.next; g != &b->head; g = g->next) {
		PlaceGroup *seen = b->head.next;
		while (seen != g && seen->dir->dev != g->dir->dev)
			seen = seen->next;
		g->flushed = seen == g && !g->dir->fs->kind.flush_each;
		g->err = seen != g ? seen->err : g->flushed && flush_fs(g->dir->fd) != 0 ? errno : 0;
	}
}

static void start_barrier(Batch *b)
{
	b->job.kind = JOB_FLUSH;
	b->job.run = run_barrier;
	// The threads may start later, while the batch waits: it is asked for
	// as it was handed over.
	b->submitted = worker_count() > 0;
	if (b->submitted)
		submit_job(&b->job);
	else
		run_barrier(&b->job);
}

// Gives the copy waiting under the temporary serial in the directory fd
// (dir, on fs) its name; after a failed barrier (err), or where the name
// cannot be given, the copy goes and the old file stays.  Reports name the
// copy's own path.
OFF_THE_WALK static void place_named(int fd, const char *dir, const FsCaps *fs, const char *name,
                                     unsigned serial, const EntryStatus *status, int err)
{
	char temp[40], path[PATH_BUF], temp_path[PATH_BUF + 40];
	snprintf(temp, sizeof temp, TEMP_PREFIX "%u", serial);
	join_path(path, sizeof path, dir, name); // it fit when the copy was made
	join_path(temp_path, sizeof temp_path, dir, temp);
	if (err == 0) {
		if (rename_at(fd, temp, temp_path, name, path) != 0) {
			report_error("rename", path);
		} else {
			if (fs->kind.renames_touch) {
				FileStatus times;
				view_status(&times, status);
				if (set_times_at(fd, name, path, &times) != 0)
					report_error("utime", path);
			}
			return;
		}
	}
	// A temporary already gone went with its directory.
	if (unlink_at(fd, temp, temp_path) != 0 && errno != ENOENT)
		report_error("unlink", path);
}

static void place_one(const PlaceGroup *g, const Placement *p)
{
	place_named(g->dir->fd, g->dir->path, g->dir->fs, p->name, p->serial, &p->status, g->err);
}

// Waits for the sealed batch's barrier and places its copies in order.
static void place_sealed(void)
{
	Batch *b = sealed_batch;
	if (b == nullptr)
		return;
	if (b->submitted)
		finish_job(&b->job);
	sealed_batch = nullptr;
	for (PlaceGroup *g = b->head.next, *next; g != &b->head; g = next) {
		next = g->next;
		if (g->err != 0 && g->flushed)
			report_errno("syncfs", g->dir->path, g->err);
		for (Placement *p = g->head.next, *after; p != &g->head; p = after) {
			after = p->next;
			place_one(g, p);
			free(p);
		}
		release_dir(g->dir);
		free(g);
	}
	init_batch(b);
}

// Places what was sealed before, then seals the open batch.
static void seal_batch(void)
{
	place_sealed();
	if (batch_empty(open_batch))
		return;
	sealed_batch = open_batch;
	open_batch = open_batch == &batches[0] ? &batches[1] : &batches[0];
	init_batch(open_batch);
	start_barrier(sealed_batch);
}

// Every waiting copy placed now: before a directory holding some is made
// read-only, where the walk runs short of descriptors or room, and at the
// end of the run.  On the walk's thread only.
void place_copies(void)
{
	seal_batch();
	place_sealed();
}

static HeldDir *hold_dir(const Side *dst)
{
	HeldDir *d = (HeldDir *)xmalloc(sizeof *d);
	size_t len = strlen(dst->path) + 1;
	d->path = (char *)xmalloc(len);
	memcpy(d->path, dst->path, len);
	d->fd = dst->fd;
	d->refs = 1;
	d->pair_ended = 0;
	d->fs = dst->fs;
	d->dev = dst->status.st_dev;
	d->ino = dst->status.st_ino;
	return d;
}

// Holds a finished copy of the pair whose destination is dst (held for it
// in *dir) in the open batch, and seals the batch once it is full.  A copy
// of many bytes, and a full batch of them, is placed at once.
void hold_copy(HeldDir **dir, const Side *dst, const EntryNode *s, const CopyResult *r)
{
	if (!r->waiting)
		return;
	// Nothing there to wait for: a worker's copy waits only for the walk
	// to name it in its turn.
	if (dst->fs->kind.in_memory) {
		place_named(dst->fd, dst->path, dst->fs, s->name, r->serial, &s->status, 0);
		return;
	}
	if (*dir == nullptr)
		*dir = hold_dir(dst);
	Batch *b = open_batch;
	PlaceGroup *g = b->last;
	if (g == &b->head || g->dir != *dir) {
		g = (PlaceGroup *)xmalloc(sizeof *g);
		g->dir = *dir;
		(*dir)->refs++;
		g->head.next = &g->head;
		g->last = &g->head;
		g->err = 0;
		g->flushed = 0;
		g->next = &b->head;
		b->last->next = g;
		b->last = g;
	}
	size_t len = strlen(s->name) + 1;
	Placement *p = (Placement *)xmalloc(sizeof *p + len);
	p->name = (char *)(p + 1);
	memcpy(p->name, s->name, len);
	p->serial = r->serial;
	p->status = s->status;
	p->next = &g->head;
	g->last->next = p;
	g->last = p;
	b->count++;
	b->bytes += s->status.size;
	if (b->bytes >= batch_bytes)
		place_copies();
	else if (b->count >= BATCH_COPIES || held_dirs >= held_dirs_cap)
		seal_batch();
}

// A pair ends: a directory that still holds waiting copies stays open for
// them; answers 1 when its descriptor is theirs now.
int release_pair_dir(HeldDir **dir)
{
	HeldDir *d = *dir;
	*dir = nullptr;
	if (d == nullptr)
		return 0;
	if (d->refs == 1) {
		release_dir(d);
		return 0;
	}
	d->pair_ended = 1;
	d->refs--;
	if (++held_dirs >= held_dirs_cap)
		seal_batch();
	return 1;
}

// Before a pair's copies: a batch holds at most a part of the room left,
// so that the old files it replaces, which keep theirs until it is
// placed, never crowd out the copies after them.
void measure_room(int dst_fd)
{
	int64_t room = free_bytes(dst_fd);
	batch_bytes = BATCH_BYTES;
	if (room >= 0 && room / BATCH_ROOM_SHARE < batch_bytes)
		batch_bytes = room / BATCH_ROOM_SHARE;
}

// Unmakes a finished copy that will not be placed.
void discard_copy(const Side *dst, const EntryNode *s, const CopyResult *r)
{
	if (r->waiting)
		place_named(dst->fd, dst->path, dst->fs, s->name, r->serial, &s->status, ECANCELED);
}

// Before a copy of size bytes: where it may not fit beside the copies that
// wait, which keep the room of the old files they replace, those are
// placed first.
void make_room(int dst_fd, int64_t size)
{
	if (batch_empty(open_batch) && sealed_batch == nullptr)
		return;
	int64_t room = free_bytes(dst_fd);
	if (room >= 0 && size + size / 8 > room)
		place_copies();
}

// A directory met again (on a file system that folds case, two source
// names may be one directory): its waiting copies are placed before its
// pair removes what it takes for leftovers of an earlier run.
void place_copies_in(const FileStatus *dir)
{
	for (Batch *b = open_batch; b != nullptr; b = b == open_batch ? sealed_batch : nullptr)
		for (PlaceGroup *g = b->head.next; g != &b->head; g = g->next)
			if (g->dir->dev == dir->st_dev && g->dir->ino == dir->st_ino) {
				place_copies();
				return;
			}
}

// The end of the run: every copy placed, and each destination file system
// the run changed flushed, so that a run that has printed its summary has
// its copies, their names and its removals on the disk.
void finish_placing(void)
{
	place_copies();
	flush_changed_fs();
}

// The walk ran out of descriptors: the directories kept open for waiting
// copies are given back, their copies placed.  Answers 1 when some were.
int shed_held_dirs(void)
{
	if (recording_here() || held_dirs == 0)
		return 0;
	place_copies();
	return 1;
}

void init_placing(int64_t fd_limit)
{
	init_batch(&batches[0]);
	init_batch(&batches[1]);
	int64_t cap = fd_limit / 32;
	held_dirs_cap = cap < 4 ? 4 : cap > 64 ? 64 : (int32_t)cap;
}
