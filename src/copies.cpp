// The copy pass of a pair: every source file is checked against the copy
// rule on the snapshots of both listings, in name order, and the copies
// are decided first, then made.  Workers may take small copies where a
// copy would wait (the source's data on its disk, a destination whose
// every call is a round trip, or copies seen to wait more than they
// compute) and where side by side they cannot differ in result from one
// thread's (a destination that keeps every mode and folds no case, no
// source name a temporary's); the walk makes the rest, takes the workers'
// copies in name order, replays their lines and hands them to placing.
//
// Invariants:
//  - nothing is copied ahead of a copy the walk makes itself, and no more
//    than the window ahead of the one the walk takes;
//  - a worker's copy that ran short of room is made again by the walk,
//    with every copy of the pair after it, as one thread would have made
//    them;
//  - every line of a copy is written out in name order, whoever made it.
#include "pair.h"
#include "console.h"
#include "copy.h"
#include "fscaps.h"

// Makes the destination writable before its first removal or copy.  Only
// the owner's bits are added: nothing is ever made writable for others.
void ready_for_change(PairWalk *w)
{
	if (w->changed)
		return;
	w->changed = 1;
	w->dst.fs->written = 1;
	w->dst.default_acl = has_default_acl(w->dst.fd);
	mode_t mode;
	if ((w->dst.status.st_mode & S_IRWXU) != S_IRWXU &&
	    mode_to_set(w->dst.fs, &w->dst.status, (w->dst.status.st_mode & 07777) | S_IRWXU, &mode))
		set_mode(w->dst.fd, w->dst.path, mode);
}

// The copy rule for the i-th source file, decided on the snapshots of
// both listings and on what the destination's file system keeps (times
// compare as it stores them), unless it was decided as the destination
// was read.  A link in the destination is never taken for the file it
// points at.
static int needs_copy(const FsCaps *fs, const DirListing *dest, const EntryNode *s, int32_t i)
{
	unsigned marks = counterpart_marks(dest, i);
	if (!(marks & COUNTERPART_FOUND) || (marks & COUNTERPART_LINK))
		return 1;
	if (marks & COUNTERPART_DECIDED)
		return (marks & COUNTERPART_DIFFERS) != 0;
	FileStatus src = entry_view(s), dst = counterpart_view(dest, i);
	return files_differ(fs, &src, &dst);
}

// What holds a copy's name in the destination.  A file with other names
// may be one of them outside the destination, or in the source: it is
// replaced, never rewritten.  A directory (kept with -r) is never replaced.
static int name_held(ListCursor *dest_dirs, const EntryNode *s, unsigned marks)
{
	if (marks & COUNTERPART_FOUND)
		return (marks & (COUNTERPART_LINK | COUNTERPART_SHARED)) == COUNTERPART_SHARED ? NAME_SHARED
		                                                                               : NAME_TAKEN;
	return seek_entry(dest_dirs, s->name) != nullptr ? NAME_DIR : NAME_FREE;
}

// Whether the pair's copies may be made side by side, so that their order
// cannot matter: on a file system whose ways are known (a first copy there
// teaches them) and that keeps every mode; and where no source file bears
// a temporary's name, which a copy beside it may be using.  That the file
// system tells names apart by case is asked last (names_apart), only where
// copies would go to workers.
static int copies_side_by_side(PairWalk *w)
{
	return run.workers > 1 && w->dst.fs->settled && w->dst.fs->kind.file_modes == KEEPS_MODES &&
	       !w->temp_names;
}

static int has_temp_name(const EntryList *list)
{
	for (int32_t i = 0; i < list->count; i++)
		if (strncmp(list->index[i]->name, TEMP_PREFIX, sizeof TEMP_PREFIX - 1) == 0)
			return 1;
	return 0;
}

// Whether a source file or directory of the pair bears a temporary's name,
// which a copy waiting beside it may be using.
static int holds_temp_names(PairWalk *w)
{
	return has_temp_name(&w->src.list.files) || has_temp_name(&w->src.list.dirs);
}

// A copy a worker may make: a file that fits one buffer (its percentage is
// one step, so nothing is lost by showing it at once), into a name no
// directory holds.
static int worker_may_copy(const EntryNode *s, int held)
{
	return held != NAME_DIR && (uint64_t)s->status.size <= (uint64_t)run.buffer_size;
}

// Whether the pair's copies would wait, and so go to workers: where the
// destination's every call is a round trip (FUSE, a network file system),
// where the walk's own copies there were seen to wait more than they
// compute, or where the source's data must come from its disk, as the
// first such file's tells.  Data in memory copied onto a local disk goes
// faster by the walk alone: copies in parallel only contend for the
// processors in the kernel.
static int copies_wait(PairWalk *w, const EntryNode *s)
{
	const FsCaps *fs = w->dst.fs;
	return fs->kind.remote || fs->copies_wait || !data_in_memory(w->src.fd, s->name);
}

// A name whose case every file system that folds case folds alike:
// printable ASCII, with no short alias's tilde or stream's colon, and not
// ending in a dot or a blank, which some drop.
static int plain_name(const char *name)
{
	const unsigned char *p = (const unsigned char *)name;
	for (; *p != '\0'; p++)
		if (*p < ' ' || *p >= '~' || *p == ':') // '~' and beyond: the tilde, DEL, not ASCII
			return 0;
	return p > (const unsigned char *)name && p[-1] != '.' && p[-1] != ' ';
}

static int fold_ascii(unsigned char c)
{
	return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

static int compare_folded(const void *a, const void *b)
{
	const unsigned char *x = *(const unsigned char *const *)a, *y = *(const unsigned char *const *)b;
	for (; fold_ascii(*x) == fold_ascii(*y) && *x != '\0'; x++, y++)
		;
	return fold_ascii(*x) - fold_ascii(*y);
}

// Whether no two source files of the pair can be one file where letter
// case folds: every name plain, and no two the same without case.  Beyond
// ASCII, systems and shares fold differently (some a name's form too), so
// a pair with any other name copies with the walk alone.
static int folded_apart(const EntryList *files)
{
	for (int32_t i = 0; i < files->count; i++)
		if (!plain_name(files->index[i]->name))
			return 0;
	const char **names = (const char **)xmalloc((size_t)files->count * sizeof *names);
	for (int32_t i = 0; i < files->count; i++)
		names[i] = files->index[i]->name;
	qsort(names, (size_t)files->count, sizeof *names, compare_folded);
	int apart = 1;
	for (int32_t i = 1; i < files->count && apart; i++)
		apart = compare_folded(&names[i - 1], &names[i]) != 0;
	free(names);
	return apart;
}

// Whether two source names of the pair can never be one file in the
// destination.  Where its file system folds case they may, and then the
// later in name order must win, as with one worker: no copy there goes
// side by side, unless (where every volume folds) the names themselves
// show that none can meet.
static int names_apart(PairWalk *w)
{
	if (!folds_case(w->dst.fs, w->dst.fd, w->dst.path))
		return 1;
	return FOLDED_APART_BY_NAMES && folded_apart(&w->src.list.files);
}

// Whether a pair's copies go to workers, asked at its first copy a worker
// could make; the threads start with the first pair whose copies do.
static int hand_over_copies(PairWalk *w, const EntryNode *s)
{
	if (!copies_wait(w, s) || !names_apart(w))
		return 0;
	start_threads();
	return 1;
}

enum { WAIT_SAMPLE = 16 }; // copies timed before the walk's are judged

// Times a copy the walk makes itself on a file system whose type tells
// nothing of its calls' cost: once its copies there wait longer than they
// compute, that file system's copies go to workers from the next pair on.
// Local disks of known types are never judged, so that a busy processor
// cannot hand their copies over.
static void time_walk_copy(FsCaps *fs, int64_t wall0, int64_t cpu0)
{
	int64_t wall, cpu;
	thread_clocks(&wall, &cpu);
	fs->walk_copies++;
	fs->walk_wall += wall - wall0;
	fs->walk_cpu += cpu - cpu0;
	if (fs->walk_copies >= WAIT_SAMPLE && fs->walk_wall - fs->walk_cpu > fs->walk_cpu)
		fs->copies_wait = 1;
}

static int judged_by_timing(const FsCaps *fs)
{
	return run.workers > 1 && fs->kind.flush_each && !fs->kind.remote && !fs->kind.named_local &&
	       !fs->copies_wait && fs != fs_assumed();
}

enum { COPY_NONE, COPY_BY_WALK, COPY_BY_WORKER };

struct CopyPlan {
	unsigned char how;
	unsigned char held;
};

enum { PLAN_AHEAD = 8 }; // entries read ahead of the one decided

// Decides every copy of the pair, in name order, on the snapshots.
static CopyPlan *plan_copies(PairWalk *w)
{
	EntryList *files = &w->src.list.files;
	CopyPlan *plan = (CopyPlan *)xmalloc((size_t)files->count * sizeof *plan);
	int hand_over = -1, side_by_side = -1;
	w->temp_names = holds_temp_names(w);
	ListCursor dest_dirs = {&w->dst.list.dirs, 0};
	for (int32_t i = 0; i < files->count; i++) {
		const EntryNode *s = files->index[i];
		if (i + PLAN_AHEAD < files->count)
			prefetch_entry(files->index[i + PLAN_AHEAD]);
		run.checked_count++;
		plan[i].how = COPY_NONE;
		if (w->same_dir || !needs_copy(w->dst.fs, &w->dst.list, s, i))
			continue;
		ready_for_change(w);
		plan[i].held = (unsigned char)name_held(&dest_dirs, s, counterpart_marks(&w->dst.list, i));
		if (side_by_side < 0)
			side_by_side = copies_side_by_side(w);
		int to_worker = side_by_side && worker_may_copy(s, plan[i].held);
		if (to_worker && hand_over < 0)
			hand_over = hand_over_copies(w, s);
		plan[i].how = to_worker && hand_over ? COPY_BY_WORKER : COPY_BY_WALK;
	}
	return plan;
}

// A file a worker copies, its output kept for the walk.
struct CopyJob {
	Job job;
	char *header;
	const Side *src, *dst;
	const EntryNode *entry;
	int held;
	Recording out;
	CopyResult result;
};

static void run_copy(Job *job)
{
	CopyJob *c = (CopyJob *)job;
	record_into(&c->out);
	copy_file(c->header, c->src, c->dst, c->entry, c->held, &c->result);
	record_into(nullptr);
}

static void queue_copy(CopyJob *c, PairWalk *w, const EntryNode *s, int held)
{
	*c = {{nullptr, nullptr, JOB_COPY, JOB_QUEUED, run_copy}, w->header, &w->src, &w->dst, s, held,
	      {nullptr, 0, 0}, {0, 0, 0}};
	submit_job(&c->job);
}

// Holds a finished copy of the pair for placing.  Where a source file
// bears a temporary's name, which a waiting copy may be using, every copy
// of the pair is placed at once.
static void hold_pair_copy(PairWalk *w, const EntryNode *s, const CopyResult *r)
{
	hold_copy(&w->held, &w->dst, s, r);
	if (w->temp_names)
		place_copies();
}

static void copy_here(PairWalk *w, const EntryNode *s, int held)
{
	CopyResult r;
	copy_file(w->header, &w->src, &w->dst, s, held, &r);
	hold_pair_copy(w, s, &r);
}

// A worker's copy that ran short of room may have lost it to copies
// after it, made side by side: those are taken back, their temporaries
// removed and their lines never shown, and the walk makes the rest of the
// pair's copies itself from this one on, in name order, as one thread
// would have.
static void take_back_copies(PairWalk *w, CopyJob *ring, int32_t window, int32_t from, int32_t to,
                             CopyPlan *plan, int32_t count)
{
	for (int32_t j = from; j < to; j++) {
		CopyJob *c = &ring[j % window];
		if (plan[j].how != COPY_BY_WORKER || cancel_job(&c->job))
			continue;
		discard_copy(&w->dst, c->entry, &c->result);
		free_recording(&c->out);
	}
	for (int32_t j = from; j < count; j++)
		if (plan[j].how == COPY_BY_WORKER)
			plan[j].how = COPY_BY_WALK;
}

// A copy the walk makes in its turn.  Nothing of the pair is copied ahead
// of it: the room it finds is the room one thread would find.
static void copy_by_walk(PairWalk *w, const EntryNode *s, int held)
{
	if (s->status.size >= run.buffer_size && !w->dst.fs->kind.in_memory)
		make_room(w->dst.fd, s->status.size);
	int64_t wall = 0, cpu = 0;
	int timed = judged_by_timing(w->dst.fs);
	if (timed)
		thread_clocks(&wall, &cpu);
	copy_here(w, s, held);
	if (timed)
		time_walk_copy(w->dst.fs, wall, cpu);
}

// Copies in name order.  Workers take the small files up to copy_window
// ahead of the walk, which copies the rest itself and writes out every
// copy's lines in turn.
OFF_THE_WALK void copy_changed_files(PairWalk *w)
{
	EntryList *files = &w->src.list.files;
	if (files->count == 0)
		return;
	CopyPlan *plan = plan_copies(w);
	if (w->changed && !w->dst.fs->kind.in_memory)
		measure_room(w->dst.fd);
	int32_t window = copy_window(w->dst.fs->kind.remote || w->dst.fs->copies_wait);
	CopyJob *ring = worker_count() > 0 ? (CopyJob *)xmalloc((size_t)window * sizeof *ring) : nullptr;
	for (int32_t i = 0, queued = 0; i < files->count; i++) {
		if (i + 1 < files->count)
			prefetch_entry(files->index[i + 1]); // read while this one is copied
		// Nothing is copied ahead of a copy the walk makes itself, so that
		// a disk filling up meets the copies in name order.
		for (; ring != nullptr && queued < files->count && queued < i + window &&
		       (queued == i || plan[queued - 1].how != COPY_BY_WALK);
		     queued++)
			if (plan[queued].how == COPY_BY_WORKER)
				queue_copy(&ring[queued % window], w, files->index[queued], plan[queued].held);
		if (plan[i].how == COPY_BY_WORKER) {
			CopyJob *c = &ring[i % window];
			finish_job(&c->job);
			if (c->result.short_of_room) {
				free_recording(&c->out);
				take_back_copies(w, ring, window, i + 1, queued, plan, files->count);
				queued = files->count;
				copy_here(w, files->index[i], plan[i].held);
				continue;
			}
			replay(&c->out, w->header);
			hold_pair_copy(w, files->index[i], &c->result);
		} else if (plan[i].how == COPY_BY_WALK) {
			copy_by_walk(w, files->index[i], plan[i].held);
		}
	}
	free(ring);
	free(plan);
}

