// Directory listing.  A side of a pair, source or destination, is read
// once, through the descriptor the walk holds, into two name-sorted lists
// (files, subdirectories) whose entries carry the status taken while
// reading; the exclusion rules apply as it is read.  The destination is
// read after its source: a file the source has is kept as its counterpart,
// by the source file's place, its copy rule asked at once where the file
// system is known for good; only the files the source lacks are entries.
//
// Invariants:
//  - a read error never passes for the end of a directory: entries not
//    read would count as missing on that side;
//  - "." and ".." are never listed;
//  - in the destination a link that leads nowhere is listed as a file, so
//    that it is removed or replaced instead of reported on every run;
//  - a directory that cannot be read is reported in the words of a read by
//    path, whoever read it.
#include "listing.h"
#include "console.h"
#include "fscaps.h"
#include "guards.h"

static void show_progress(const char *text)
{
	if (run.verbose >= 1)
		put_text(stdout, text, 1);
}

// What a side is read into: its listing and, for a destination read
// against its source, the source's files by name.
struct Into {
	DirListing *listing;
	const EntryList *source; // the source's files; null: every file is an entry
	NameTable table;         // of source, made at the first file read
	int has_table;
	int has_hint;            // hint holds the entry's place in table
	uint32_t hint;
	const FsCaps *rule;      // where known for good: the copy rule is asked now
	int searchable;          // an entry's status was read: "." and ".." are passed over
};

// Files a destination file the source has as its counterpart: nothing
// more of it is kept.  Answers 0 for a file the source lacks.
static int took_counterpart(Into *into, const char *name, const FileStatus *st, int is_link)
{
	if (into->source == nullptr)
		return 0;
	if (!into->has_table) {
		build_table(&into->table, into->source); // not for a destination without files
		into->has_table = 1;
		into->has_hint = 0;
	}
	uint32_t hint = into->has_hint ? into->hint : table_hint(&into->table, name);
	int32_t i = table_find(&into->table, hint, name);
	if (i < 0)
		return 0;
	unsigned marks = is_link ? COUNTERPART_LINK | COUNTERPART_DECIDED : 0;
	if (into->rule != nullptr && !is_link) {
		FileStatus src = entry_view(into->source->index[i]);
		marks = COUNTERPART_DECIDED | (files_differ(into->rule, &src, st) ? COUNTERPART_DIFFERS : 0);
	}
	keep_counterpart(into->listing, i, into->source->count, st, marks);
	return 1;
}

static void file_regular(Into *into, const char *name, const FileStatus *st, int is_link)
{
	if (find_name(&run.exclude_files, name) == nullptr && !took_counterpart(into, name, st, is_link))
		add_entry(&into->listing->files, name, st)->is_link = is_link;
}

// Files one entry into the listing by its type, or leaves it out with the
// notice its type calls for.
static void file_entry(Into *into, const char *dir, const char *name, const FileStatus *st,
                       int is_link)
{
	switch (st->st_mode & S_IFMT) {
	case S_IFIFO:
		put_format(stderr, 0, "\ntreemir: Ignored fifo %s in %s\n", err_text(name), err_text(dir));
		return;
	case S_IFCHR:
		put_format(stderr, 0, "\ntreemir: Ignored char device %s in %s\n", err_text(name), err_text(dir));
		return;
	case S_IFDIR:
		if (find_name(&run.exclude_dirs, name) == nullptr)
			add_entry(&into->listing->dirs, name, st)->is_link = is_link;
		return;
	case S_IFREG:
		file_regular(into, name, st, is_link);
		return;
	default:
		put_format(stderr, 0, "\ntreemir: Ignored unknown  %s in directory %s\n", err_text(name),
		        err_text(dir));
		return;
	}
}

// In the destination, a link whose target cannot be listed (dangling, a
// loop, a FIFO, a device) is an item like any other: it is listed as a file
// that is a link, so that the walk removes or replaces it instead of
// reporting it on every run.  Whether the entry was such a link (listed,
// or left out by name).
static int took_bare_link(int dir, const struct dirent *e, const char *full, Into *into)
{
	FileStatus st;
	if (!entry_is_link(dir, e, full) || lstat_entry(dir, e->d_name, full, &st) != 0)
		return 0;
	file_regular(into, e->d_name, &st, 1);
	return 1;
}

static int is_dot_or_dot_dot(const char *name)
{
	return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// A worker reading ahead of the walk holds no more entries than its share
// of the budget: past that, the walk reads the directory itself.
static thread_local int64_t entry_cap = -1;
static thread_local int cut_short;

void cap_listing(int64_t entries)
{
	entry_cap = entries;
	cut_short = 0;
}

int listing_cut(void)
{
	return cut_short;
}

// What is known of an entry once its status was asked: filed by its type,
// or reported.
static void take_entry(Into *into, int dir, const char *path, const char *full, const struct dirent *e,
                       int err, const FileStatus *st, int dest_side)
{
	if (dest_side && (err != 0 || !(S_ISREG(st->st_mode) || S_ISDIR(st->st_mode))) &&
	    took_bare_link(dir, e, full, into))
		return;
	if (err != 0) {
		report_errno("stat", full, err);
		return;
	}
	file_entry(into, path, e->d_name, st, entry_is_link(dir, e, full));
}

// Set by the walk: how a piece of its work runs side by side.
static int (*beside_parts)(void);
static void (*beside_run)(void (*fn)(void *part), void **parts, int n);

void on_side_by_side(int (*parts)(void), void (*run_parts)(void (*fn)(void *part), void **parts, int n))
{
	beside_parts = parts;
	beside_run = run_parts;
}

// A large directory the walk reads itself has the status of its entries
// asked side by side, a batch at a time, then filed in the order read:
// what it reports and lists is what one thread would.  The first entries
// are read alone, so that a small directory costs no hand-over.
enum { STAT_ALONE = 2048, STAT_BATCH = 2048 };

struct StatSlot {
	const struct dirent *e; // a copy, in the batch's own room
	int err;
	uint32_t hint;
	FileStatus st;
};

struct StatBatch {
	int dir;
	const char *path;
	const NameTable *table; // of the source's files, where made: the parts give hints in it
	int32_t count;
	size_t used;   // of names
	StatSlot slots[STAT_BATCH];
	char names[STAT_BATCH * sizeof(struct dirent)];
};

struct StatPart {
	StatBatch *b;
	int32_t from, to;
};

static void stat_part(void *p)
{
	StatPart *part = (StatPart *)p;
	StatBatch *b = part->b;
	int own = reopen_dir(b->dir), dir = own >= 0 ? own : b->dir;
	char full[PATH_BUF];
	size_t plen = strlen(b->path);
	memcpy(full, b->path, plen);
	if (needs_separator(b->path, plen))
		full[plen++] = SEPARATOR;
	for (int32_t i = part->from; i < part->to; i++) {
		StatSlot *s = &b->slots[i];
		strcpy(full + plen, s->e->d_name); // it fit when it was read
		if (b->table != nullptr)
			s->hint = table_hint(b->table, s->e->d_name);
		s->err = stat_entry(dir, s->e->d_name, full, &s->st) != 0 ? errno : 0;
	}
	if (own >= 0 && own != b->dir)
		close_dir(own);
}

// The room an entry's record takes in a batch: its name may be longer than
// a struct dirent holds (FUSE allows 1,024 bytes).
static size_t record_size(const struct dirent *e)
{
	size_t size = offsetof(struct dirent, d_name) + strlen(e->d_name) + 1;
	return (size + alignof(struct dirent) - 1) & ~(alignof(struct dirent) - 1);
}

static int batch_holds(const StatBatch *b, const struct dirent *e)
{
	return b->count < STAT_BATCH && b->used + record_size(e) <= sizeof b->names;
}

static void add_to_batch(StatBatch *b, const struct dirent *e)
{
	size_t size = record_size(e);
	memcpy(b->names + b->used, e, size);
	b->slots[b->count++].e = (const struct dirent *)(b->names + b->used);
	b->used += size;
}

// Asks the batch's statuses side by side, then files its entries in turn.
static void flush_batch(StatBatch *b, Into *into, char *full, size_t plen, int dest_side)
{
	if (b == nullptr || b->count == 0)
		return;
	StatPart parts[4];
	void *each[4];
	b->table = into->has_table ? &into->table : nullptr; // read by the parts
	int n = beside_parts();
	n = n > 4 ? 4 : n;
	for (int i = 0; i < n; i++) {
		parts[i] = {b, (int32_t)((int64_t)b->count * i / n), (int32_t)((int64_t)b->count * (i + 1) / n)};
		each[i] = &parts[i];
	}
	beside_run(stat_part, each, n);
	for (int32_t i = 0; i < b->count; i++) {
		StatSlot *s = &b->slots[i];
		strcpy(full + plen, s->e->d_name);
		into->hint = s->hint;
		into->has_hint = b->table != nullptr;
		take_entry(into, b->dir, b->path, full, s->e, s->err, &s->st, dest_side);
	}
	b->count = 0;
	b->used = 0;
}

// Whether the entries from here on are asked side by side: on the walk's
// thread, beyond the first entries of a directory whose entries could be
// asked at all (so that "." and ".." are left out, as one thread would).
static StatBatch *batch_for(int searchable, int dir, const char *path)
{
	if (!searchable || entry_cap >= 0 || recording_here() || beside_parts == nullptr ||
	    beside_parts() < 2)
		return nullptr;
	StatBatch *b = (StatBatch *)xmalloc(sizeof *b);
	b->dir = dir;
	b->path = path;
	b->table = nullptr;
	b->count = 0;
	b->used = 0;
	return b;
}

// Reads every entry of an opened directory, or as many as the cap allows.
// Patterns see the full path, built once per entry on a prefix that is
// copied once per directory.
OFF_THE_WALK static void read_entries(DirReader *reader, int dir, const char *path, Into *into,
                                      int dest_side)
{
	char full[PATH_BUF];
	size_t plen = strlen(path);
	memcpy(full, path, plen);
	if (needs_separator(path, plen))
		full[plen++] = SEPARATOR;

	const struct dirent *e;
	int searchable = into->searchable;
	int64_t seen = 0; // entries whose status is asked
	StatBatch *batch = nullptr;
	// A read error must not pass for the end of the directory: the entries
	// not read would count as missing on this side.
	while ((errno = 0, e = read_entry(reader)) != nullptr || errno != 0) {
		if (e == nullptr) {
			int err = errno;
			flush_batch(batch, into, full, plen, dest_side);
			report_errno("readdir", path, err);
			if (err == EILSEQ)
				continue; // a name with no UTF-8 form; the rest can be read
			break;
		}
		size_t nlen = strlen(e->d_name);
		if (plen + nlen >= PATH_BUF) {
			flush_batch(batch, into, full, plen, dest_side);
			report_too_long("stat", path, e->d_name);
			continue;
		}
		memcpy(full + plen, e->d_name, nlen + 1);
		const PatternNode *excluded = find_pattern(&run.exclude_patterns, full);
		if (excluded != nullptr) {
			// Said in its turn, after what the entries before it say.
			flush_batch(batch, into, full, plen, dest_side);
			memcpy(full + plen, e->d_name, nlen + 1);
			show_match(full, excluded);
			continue;
		}
		// "." and ".." are never listed; their status can only fail where
		// the directory cannot be searched, which a status read already
		// disproved.
		if (searchable && is_dot_or_dot_dot(e->d_name))
			continue;
		if (++seen > entry_cap && entry_cap >= 0) {
			cut_short = 1;
			break;
		}
		if (seen == STAT_ALONE + 1)
			batch = batch_for(searchable, dir, path);
		if (batch != nullptr) {
			if (!batch_holds(batch, e))
				flush_batch(batch, into, full, plen, dest_side);
			add_to_batch(batch, e);
			continue;
		}
		into->has_hint = into->has_table;
		if (into->has_table)
			into->hint = table_hint(&into->table, e->d_name);
		FileStatus st;
		int err = stat_entry(dir, e->d_name, full, &st) != 0 ? errno : 0;
		searchable |= err == 0;
		take_entry(into, dir, path, full, e, err, &st, dest_side);
	}
	flush_batch(batch, into, full, plen, dest_side);
	free(batch);
}

static void show_scan(const char *path)
{
	if (run.verbose >= 1) {
		put_format(stdout, 1, "SCAN   %-60.60s  ", out_text(path));
	}
}

// The status checks before a directory is opened; on success the SCAN line
// is out.  Answers 1 after reporting why the path cannot be read.
static int check_dir(const char *path, FileStatus *dir_status)
{
	if (file_status(path, dir_status) != 0) {
		report_error("stat", path);
		return 1;
	}
	if (!S_ISDIR(dir_status->st_mode)) {
		report_line("treemir: %s is not a directory\n", err_text(path));
		return 1;
	}
	show_scan(path);
	return 0;
}

// The destination's file system where its type tells what it keeps: the
// copy rule can then be asked as the destination is read, and its files
// need not be kept.  Only on the walk's thread, which alone learns file
// systems, and only for a pair that will copy: not for one directory on
// both sides, nor for a source directory met again in the destination.
static const FsCaps *rule_known(const Side *side, const Side *source)
{
	if (recording_here() || same_file(&side->status, &source->status) ||
	    on_walk_path(side->status.st_dev, side->status.st_ino))
		return nullptr;
	const FsCaps *fs = known_fs(side->fd, side->path, side->status.st_dev);
	return fs->settled ? fs : nullptr;
}

// The sides of a pair; a destination directory the walk has just made is
// empty, and its entries are not read.
enum { SIDE_SOURCE, SIDE_DEST, SIDE_DEST_MADE };

// Lists the open directory of a side, then sorts the listing.  A
// destination read against its source's files keeps those the source has
// as their counterparts.
static int list_dir(Side *side, int dest_side, const Side *source, int searchable)
{
	if (dest_side == SIDE_DEST_MADE) {
		show_progress("*");
		show_progress("\b \b\r");
		return 0;
	}
	DirReader *reader = (DirReader *)xmalloc(sizeof *reader);
	int failed = open_reader(reader, side->fd, side->path);
	if (failed) {
		report_error("opendir", side->path);
	} else {
		Into into = {&side->list, nullptr, {}, 0, 0, 0, nullptr, searchable};
		if (source != nullptr && source->list.files.count > 0) {
			into.source = &source->list.files;
			into.rule = rule_known(side, source);
		}
		read_entries(reader, side->fd, side->path, &into, dest_side);
		if (into.has_table)
			free_table(&into.table);
		close_reader(reader);
		show_progress("*");
		sort_list(&side->list.files);
		sort_list(&side->list.dirs);
		show_progress("\b \b\r");
	}
	free(reader);
	return failed;
}

void init_side(Side *side, const char *path)
{
	init_listing(&side->list);
	side->path = path;
	side->default_acl = 1; // until asked
	side->fs = nullptr;    // until the walk knows it
	side->waited = 0;
}

// Lists a side whose directory is open in side->fd, after its status and
// its SCAN line.  Answers 1, the directory closed, after reporting why it
// cannot be read.  The status is asked of the directory's "." first: where
// that answers, the directory can be searched, and its "." and ".." need
// not be asked again as entries.
int list_side(Side *side, int dest_side, const Side *source)
{
	int searchable = stat_entry(side->fd, ".", side->path, &side->status) == 0;
	if (!searchable && fd_status(side->fd, side->path, &side->status) != 0) {
		report_error("stat", side->path);
	} else {
		show_scan(side->path);
		if (list_dir(side, dest_side, source, searchable) == 0)
			return 0;
	}
	close_dir(side->fd);
	return 1;
}

// Set by the walk: frees descriptors held ahead of it.
static int (*give_back_descriptors)(void);

void on_short_of_descriptors(int (*give_back)(void))
{
	give_back_descriptors = give_back;
}

// Reads a directory, the item it, through a descriptor opened relative to
// its parent's, without following a link unless follow is set (for the
// operands the user named, and on the source side, where links are
// followed).  The descriptor stays open in side->fd for the acts of the
// pair, until close_side.  In the destination (dest_side) a link that
// leads nowhere is listed as an item.  Answers 1 after reporting why the
// directory cannot be read.
int scan_at(const Item *it, int follow, int dest_side, Side *side, const Side *source)
{
	init_side(side, it->path);
	side->fd = open_dir_at(it->dir, it->name, it->path, follow);
	if (side->fd < 0 && (errno == EMFILE || errno == ENFILE) && give_back_descriptors != nullptr &&
	    !recording_here() && give_back_descriptors())
		side->fd = open_dir_at(it->dir, it->name, it->path, follow);
	if (side->fd < 0) {
		// Tell why in the words of a scan by path: no such entry, not a
		// directory, or a directory that cannot be opened here.
		int err = errno;
		if (check_dir(it->path, &side->status) == 0)
			report_errno("opendir", it->path, err);
		return 1;
	}
	return list_side(side, dest_side, source);
}

int scan_dir(Side *side)
{
	Item it = {CURRENT_DIR, side->path, side->path};
	return scan_at(&it, 1, 0, side, nullptr);
}

int scan_dest(const Item *it, int follow, Side *side, const Side *source)
{
	return scan_at(it, follow, SIDE_DEST, side, source);
}

int scan_made(const Item *it, Side *side)
{
	return scan_at(it, 0, SIDE_DEST_MADE, side, nullptr);
}

void close_side(Side *side)
{
	if (side->fd >= 0)
		close_dir(side->fd);
	free_listing(&side->list);
}
