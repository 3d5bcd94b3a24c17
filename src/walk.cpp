// The pair walk: makes the destination directory tree an exact one-way
// mirror of the source tree.
//
// The walk takes one directory pair at a time.  Both directories are opened
// and read once, source first, into name-sorted listings whose entries
// carry the status taken while reading; every decision is made on those
// snapshots.  Each side (Side) stays open while its pair is worked on: its
// entries are read, opened and acted on relative to it, and every act on
// the destination takes its item (Item) whole.
// Four passes then run strictly in order and each in name order: remove the
// destination files the source lacks, remove the destination subtrees the
// source lacks, copy the source files that are missing or differ, and
// create each missing subdirectory and descend into it.
//
// Invariants:
//  - nothing is ever written to the source tree;
//  - nothing in the destination is written, removed or entered through a
//    symbolic link: a link standing where a file or directory belongs is
//    replaced, never followed, and below the destination operand every act
//    names its item relative to an open directory reached without links;
//  - a failed file-system call is reported once, and every counted line
//    goes through report_line; the walk goes on, and the count decides the
//    exit status;
//  - every path is built in a buffer of PATH_BUF bytes; a path that would
//    not fit is reported with ENAMETOOLONG and its item skipped;
//  - the FROM/TO header of a pair is printed at most once, just before the
//    first action line the pair actually prints;
//  - a copy takes its name only once it is complete, with its times and
//    mode: until then it is an unnamed file or a temporary (TEMP_PREFIX),
//    so a run cut short leaves every file whole, old or new;
//  - no directory is emptied or removed that is the root of a mount below
//    the destination, or a source directory on the walk path;
//  - names reach a terminal with their control bytes escaped;
//  - a destination is compared with its source, and given its source's
//    status, only as far as its file system keeps a status: the permission
//    bits, the read-only attribute alone or no mode at all, and times in
//    its own steps.
#include "treemir.h"
#include "console.h"
#include "copy.h"
#include "fscaps.h"
#include "guards.h"
#include "listing.h"
#include "place.h"
#include "workers.h"

// One directory pair in hand.
struct PairWalk {
	WalkFrame frame;     // first: the walk path is the chain of pairs
	char header[HEADER_BUF];
	Side src;
	Side dst;
	Item at;             // the destination directory, in its parent
	Listed *ahead;       // the pair as a worker read it, or null
	Listed **kids;       // the subdirectory pairs read ahead, by index
	int32_t kid_count;
	int changed;         // something was removed or copied here
	int source_complete; // every source entry's status could be read
	int same_dir;        // source and destination are one directory
	int temp_names;      // a source file bears a temporary's name
	HeldDir *held;       // the destination, kept for copies waiting there
};

static int sync_pair(const char *source, const Item *dest, Listed *ahead);

// The pair of a frame on the walk path.
static PairWalk *pair_of(WalkFrame *f)
{
	static_assert(offsetof(PairWalk, frame) == 0, "a pair's frame is its first member");
	return reinterpret_cast<PairWalk *>(f);
}

static int dir_made;         // the directory the walk enters next was just made

// Makes the destination writable before its first removal or copy.  Only
// the owner's bits are added: nothing is ever made writable for others.
static void ready_for_change(PairWalk *w)
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

// Names the destination entry name as an item of the pair, its path built
// in buf (PATH_BUF bytes); answers 1 after reporting a path too long for
// the act op.
static int dest_item(PairWalk *w, Item *it, char *buf, const char *name, const char *op)
{
	it->dir = w->dst.fd;
	it->name = name;
	it->path = buf;
	return item_path(buf, w->dst.path, name, op);
}

// A temporary that a run cut short left behind: never part of the mirror.
static int is_leftover(const EntryNode *d)
{
	return !d->is_link && S_ISREG(d->status.mode) &&
	       strncmp(d->name, TEMP_PREFIX, sizeof TEMP_PREFIX - 1) == 0;
}

// Removes the destination files the source lacks, and without a line, also
// with -r, the temporaries of an interrupted run.
OFF_THE_WALK static void remove_extra_files(PairWalk *w, int remove_missing)
{
	EntryList *files = &w->dst.list.files;
	char path[PATH_BUF];
	Item it;
	ListCursor in_source = {&w->src.list.files, 0};
	for (int32_t i = 0; i < files->count; i++) {
		const EntryNode *d = files->index[i];
		int leftover = is_leftover(d);
		if (seek_entry(&in_source, d->name) != nullptr || !(leftover || remove_missing) ||
		    dest_item(w, &it, path, d->name, "unlink"))
			continue;
		ready_for_change(w);
		if (leftover)
			remove_path(&it);
		else
			remove_file(w->header, &it);
	}
}

// Whether a source directory of the pair is this destination directory,
// reached through a link: what the source shows is never removed.
static int seen_in_source(PairWalk *w, const EntryNode *d)
{
	EntryList *dirs = &w->src.list.dirs;
	for (int32_t i = 0; i < dirs->count; i++)
		if (dirs->index[i]->status.dev == d->status.dev && dirs->index[i]->status.ino == d->status.ino)
			return 1;
	return 0;
}

// Whether a destination subdirectory goes: the source lacks it (where the
// pair removes at all), or it is a link standing where the source has a
// directory.
static int dir_goes(PairWalk *w, ListCursor *in_source, const EntryNode *d, int remove_missing)
{
	if (seek_entry(in_source, d->name) != nullptr)
		return d->is_link;
	return remove_missing && (d->is_link || !seen_in_source(w, d));
}

// Removes the destination subtrees the source lacks, and the links that
// stand where the source has a directory: a link is removed itself, its
// target never entered.
OFF_THE_WALK static void remove_extra_dirs(PairWalk *w, int remove_missing)
{
	char path[PATH_BUF];
	Item it;
	ListCursor in_source = {&w->src.list.dirs, 0};
	for (int32_t i = 0; i < w->dst.list.dirs.count; i++) {
		const EntryNode *d = w->dst.list.dirs.index[i];
		if (!dir_goes(w, &in_source, d, remove_missing) ||
		    dest_item(w, &it, path, d->name, d->is_link ? "unlink" : "rmdir"))
			continue;
		ready_for_change(w);
		if (d->is_link)
			remove_link(w->header, &it);
		else
			remove_subtree(w->header, &it, d, w->dst.status.st_dev);
	}
}

// The copy rule, decided on the snapshots of both listings and on what the
// destination's file system keeps: times compare as it stores them.  A
// link in the destination is never taken for the file it points at, and in
// mode 0 a copy whose permission bits drifted differs as much as one whose
// data did.
static int needs_copy(const FsCaps *fs, const EntryNode *s, const EntryNode *d)
{
	if (d == nullptr || d->is_link)
		return 1;
	FileStatus src = entry_view(s), dst = entry_view(d);
	int64_t after = time_after(fs, &src, &dst);
	if (run.copy_mode == 0)
		return s->status.size != d->status.size || after != 0 || !same_mode(fs, &src, &dst);
	return after > 0;
}

// What holds a copy's name in the destination.  A file with other names
// may be one of them outside the destination, or in the source: it is
// replaced, never rewritten.  A directory (kept with -r) is never replaced.
static int name_held(ListCursor *dest_dirs, const EntryNode *s, const EntryNode *d)
{
	if (d != nullptr)
		return !d->is_link && d->status.shared ? NAME_SHARED : NAME_TAKEN;
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

// Whether two source names of the pair can never be one file in the
// destination.  Where its file system folds case they may, and then the
// later in name order must win, as with one worker: no copy there goes
// side by side at all.
static int names_apart(PairWalk *w)
{
	return !folds_case(w->dst.fs, w->dst.fd, w->dst.path);
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
	return run.workers > 1 && fs->kind.flush_each && !fs->kind.remote && !fs->copies_wait &&
	       fs != fs_assumed();
}

enum { COPY_NONE, COPY_BY_WALK, COPY_BY_WORKER };

struct CopyPlan {
	unsigned char how;
	unsigned char held;
};

// Decides every copy of the pair, in name order, on the snapshots.
static CopyPlan *plan_copies(PairWalk *w)
{
	EntryList *files = &w->src.list.files;
	CopyPlan *plan = (CopyPlan *)xmalloc((size_t)files->count * sizeof *plan);
	int hand_over = -1, side_by_side = -1;
	w->temp_names = holds_temp_names(w);
	ListCursor dest_files = {&w->dst.list.files, 0}, dest_dirs = {&w->dst.list.dirs, 0};
	for (int32_t i = 0; i < files->count; i++) {
		const EntryNode *s = files->index[i];
		run.checked_count++;
		const EntryNode *d = seek_entry(&dest_files, s->name);
		plan[i].how = COPY_NONE;
		if (w->same_dir || !needs_copy(w->dst.fs, s, d))
			continue;
		ready_for_change(w);
		plan[i].held = (unsigned char)name_held(&dest_dirs, s, d);
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
	// Nothing of the pair is copied ahead of this one: the room it finds
	// is the room one thread would find.
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
OFF_THE_WALK static void copy_changed_files(PairWalk *w)
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

// A link, FIFO, socket or device may stand where the source has a
// directory; it goes like any file the source lacks, also with -r, which
// keeps only real files and directories.
static void clear_special(PairWalk *w, const Item *it)
{
	FileStatus st;
	if (lstat_at(it->dir, it->name, it->path, &st) == 0 && !S_ISDIR(st.st_mode) &&
	    !S_ISREG(st.st_mode)) {
		ready_for_change(w);
		remove_file(w->header, it);
	}
}

// Takes the i-th subdirectory pair as a worker read it, if one did.  Its
// destination side stands only if it is the directory the parent's
// listing showed, d, and the walk left it in place.
static Listed *take_kid(PairWalk *w, int32_t i, const EntryNode *d)
{
	Listed *l = w->kids != nullptr ? w->kids[i] : nullptr;
	if (l == nullptr)
		return nullptr;
	w->kids[i] = nullptr;
	finish_job(&l->job);
	FileStatus listed = d != nullptr ? entry_view(d) : FileStatus{};
	if (d == nullptr || d->is_link || !l->dst_ok || !same_file(&l->dst.status, &listed))
		drop_dest(l);
	return l;
}

// Creates what is missing of the i-th source subdirectory's counterpart
// and descends into the pair; the subdirectories come in name order and
// are matched in the destination's through dest_dirs.
static void descend(PairWalk *w, ListCursor *dest_dirs, int32_t i, char *sub_src, char *sub_dst)
{
	const EntryNode *s = w->src.list.dirs.index[i];
	Item sub;
	if (item_path(sub_src, w->src.path, s->name, "opendir") || dest_item(w, &sub, sub_dst, s->name, "mkdir"))
		return;
	FileStatus st = entry_view(s);
	if (on_walk_path(&st)) {
		report_errno("opendir", sub_src, ELOOP); // a link back to a directory being walked
		return;
	}
	if (s->is_link && lies_inside(sub_src)) {
		report_line("treemir: source %s lies inside destination\n", err_text(sub_src));
		return;
	}
	const EntryNode *d = seek_entry(dest_dirs, s->name);
	if (d == nullptr)
		clear_special(w, &sub);
	if (d == nullptr || (d->is_link && !w->same_dir)) {
		// A directory its owner cannot write takes no new entry.
		if (!(w->dst.status.st_mode & S_IWUSR))
			ready_for_change(w);
		w->dst.fs->written = 1;
		dir_made = make_dir(w->header, &sub) == 0;
	}
	sync_pair(sub_src, &sub, take_kid(w, i, d));
}

static void sync_subdirs(PairWalk *w)
{
	EntryList *dirs = &w->src.list.dirs;
	if (dirs->count == 0)
		return;
	if (worker_count() > 0)
		queue_kids(&w->src, w->dst.fd, w->dst.path, &w->kids, &w->kid_count);
	// On the heap: the recursion is as deep as the tree.
	char *paths = (char *)xmalloc(2 * (size_t)PATH_BUF);
	ListCursor dest_dirs = {&w->dst.list.dirs, 0};
	for (int32_t i = 0; i < dirs->count; i++)
		if (!is_dest_root(dirs->index[i]))
			descend(w, &dest_dirs, i, paths, paths + PATH_BUF);
	free(paths);
	drop_kids(&w->kids, &w->kid_count);
}

// Each side as a worker read it, its output written out now, or read here.
// Where the walk reads a side itself, it notes whether it had to wait, and
// once it did, the workers start and read ahead below the pair.
static int64_t waits_before; // the walk's, as it began to read the pair

static int take_source(PairWalk *w)
{
	Listed *l = w->ahead;
	if (run.workers > 1 && (l == nullptr || !l->dst_ok))
		waits_before = times_waited();
	if (l == nullptr || !l->src_ok) {
		int failed = scan_dir(&w->src);
		if (failed)
			dir_made = 0; // the pair ends here
		return failed;
	}
	replay(&l->src_out, w->header);
	w->src = l->src;
	l->src_ok = 0;
	return 0;
}

static void note_waits(PairWalk *w)
{
	if (run.workers > 1 && times_waited() != waits_before) {
		w->src.waited = 1;
		start_threads();
	}
}

static int take_dest(PairWalk *w, int follow)
{
	Listed *l = w->ahead;
	int made = dir_made;
	dir_made = 0;
	if (l == nullptr || !l->dst_ok) {
		if (made ? scan_made(&w->at, &w->dst) : scan_dest(&w->at, follow, &w->dst))
			return 1;
		note_waits(w);
		return 0;
	}
	replay(&l->dst_out, w->header);
	w->dst = l->dst;
	l->dst_ok = 0;
	w->kids = l->kids;
	w->kid_count = l->kid_count;
	l->kids = nullptr;
	l->kid_count = 0;
	return 0;
}

// The walk ran out of descriptors: the pairs read ahead give theirs back,
// and no more are read ahead, so that a tree as deep as the limit allows
// is walked as it would be alone.  On the walk's thread only; answers 1
// when descriptors were given back.
static int shed_read_ahead(void)
{
	if (worker_count() == 0 || !stop_reading_ahead())
		return 0;
	for (WalkFrame *f = run.walk_path; f != nullptr; f = f->parent)
		drop_kids(&pair_of(f)->kids, &pair_of(f)->kid_count);
	return 1;
}

// What the listing does when the walk's own directory cannot be opened
// for want of descriptors: those held ahead of the walk or for waiting
// copies are given back.  Answers 1 when some were, and the open is tried
// again.
static int shed_descriptors(void)
{
	return shed_read_ahead() | shed_held_dirs();
}

// Closes both sides, once nothing read below them is left; a destination
// that holds waiting copies stays open for them.
static void end_pair(PairWalk *w)
{
	drop_kids(&w->kids, &w->kid_count);
	if (release_pair_dir(&w->held))
		w->dst.fd = -1;
	close_side(&w->dst);
	close_side(&w->src);
}

static int walk_pair(PairWalk *w)
{
	int64_t errors = run.error_count;
	if (take_source(w))
		return 1;
	w->source_complete = run.error_count == errors;
	int follow = w->at.dir == CURRENT_DIR; // the operand may be a link
	if (take_dest(w, follow)) {
		close_side(&w->src);
		return 1;
	}
	w->same_dir = same_file(&w->src.status, &w->dst.status);
	if (!w->same_dir && on_walk_path(&w->dst.status)) {
		// A source directory mounted into the destination: the pair would
		// remove from and copy into the source.
		report_errno("opendir", w->dst.path, EBUSY);
		end_pair(w);
		return 1;
	}
	w->dst.fs = w->same_dir ? fs_assumed() : find_fs(w->dst.fd, w->dst.path, w->dst.status.st_dev);
	w->frame.dev = w->src.status.st_dev;
	w->frame.ino = w->src.status.st_ino;
	w->frame.known = 1;
	count_walk_depth(1);

	if (!w->same_dir) {
		// An unreadable source entry must never cost the destination
		// its copy: such a pair removes nothing.
		int remove_missing = !run.keep_extra && w->source_complete;
		place_copies_in(&w->dst.status);
		remove_extra_files(w, remove_missing);
		remove_extra_dirs(w, remove_missing);
	}
	copy_changed_files(w);
	// The source's directory served the copies alone (the levels below are
	// read by path): closed now, a tree's depth costs one descriptor a level.
	close_dir(w->src.fd);
	w->src.fd = -1;
	sync_subdirs(w);
	// A mode that drifted is put right too, but not from a source
	// directory that could not be read whole: its mode may be the fault.
	int drifted = !same_mode(w->dst.fs, &w->src.status, &w->dst.status);
	if (!w->same_dir && (w->changed || (drifted && w->source_complete))) {
		// A directory its owner may not write takes no more names.
		if (w->held != nullptr && !(w->src.status.st_mode & S_IWUSR))
			place_copies();
		apply_status(w->dst.fs, w->dst.fd, w->dst.path, &w->src.status);
	}

	w->frame.known = 0;
	count_walk_depth(-1);
	end_pair(w);
	return 0;
}

static int sync_pair(const char *source, const Item *dest, Listed *ahead)
{
	PairWalk w;
	snprintf(w.header, sizeof w.header, "FROM   %-70.70s\nTO     %-70.70s\n", out_text(source),
	         out_text(dest->path));
	w.src.path = source;
	w.at = *dest;
	w.changed = 0;
	w.ahead = ahead;
	w.kids = nullptr;
	w.kid_count = 0;
	w.temp_names = 0;
	w.held = nullptr;
	w.frame = {0, 0, 0, run.walk_path};
	run.walk_path = &w.frame;
	int failed = walk_pair(&w);
	run.walk_path = w.frame.parent;
	drop_listed(ahead); // what the walk did not take of it
	return failed;
}

int sync_dirs(const char *source, const char *dest)
{
	on_short_of_descriptors(shed_descriptors);
	Item top = {CURRENT_DIR, dest, dest};
	return sync_pair(source, &top, nullptr);
}
