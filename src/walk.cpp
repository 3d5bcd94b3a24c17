// The pair walk: makes the destination directory tree an exact one-way
// mirror of the source tree.
//
// The walk takes one directory pair at a time.  Both directories are opened
// and read once, source first, into name-sorted listings whose entries
// carry the status taken while reading; every decision is made on those
// snapshots.  The destination's files that the source has are read into
// the source's listing as their counterparts (listing.cpp).  Each side (Side) stays open while its pair is worked on: its
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
#include "pair.h"


static int sync_pair(const char *source, const Item *dest, Listed *ahead);

// The pair of a frame on the walk path.
static PairWalk *pair_of(WalkFrame *f)
{
	static_assert(offsetof(PairWalk, frame) == 0, "a pair's frame is its first member");
	return reinterpret_cast<PairWalk *>(f);
}

static int dir_made;         // the directory the walk enters next was just made


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
// with -r, the temporaries of an interrupted run.  The destination was
// listed against the source: its files are those the source lacks.
OFF_THE_WALK static void remove_extra_files(PairWalk *w, int remove_missing)
{
	EntryList *files = &w->dst.list.files;
	char path[PATH_BUF];
	Item it;
	for (int32_t i = 0; i < files->count; i++) {
		const EntryNode *d = files->index[i];
		int leftover = is_leftover(d);
		if (!(leftover || remove_missing) || dest_item(w, &it, path, d->name, "unlink"))
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
		if (dirs->index[i]->status.dir.dev == d->status.dir.dev &&
		    dirs->index[i]->status.dir.ino == d->status.dir.ino)
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
	if (d == nullptr || d->is_link || !l->dst_ok || l->dst.status.st_dev != d->status.dir.dev ||
	    l->dst.status.st_ino != d->status.dir.ino)
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
	if (on_walk_path(s->status.dir.dev, s->status.dir.ino)) {
		report_errno("opendir", sub_src, ELOOP); // a link back to a directory being walked
		return;
	}
	if (s->is_link && lies_inside(sub_src)) {
		report_line("treemir: source %s lies inside destination\n", err_text(sub_src));
		return;
	}
	const EntryNode *d = seek_entry(dest_dirs, s->name);
	if (d == nullptr && !w->dst_made)
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
	w->dst_made = made;
	if (l == nullptr || !l->dst_ok) {
		if (made ? scan_made(&w->at, &w->dst) : scan_dest(&w->at, follow, &w->dst, &w->src))
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
	if (!w->same_dir && on_walk_path(w->dst.status.st_dev, w->dst.status.st_ino)) {
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
	w.dst_made = 0;
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
	on_side_by_side(parts_beside, run_beside);
	Item top = {CURRENT_DIR, dest, dest};
	return sync_pair(source, &top, nullptr);
}
