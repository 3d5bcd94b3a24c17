// Destination removals and directory creation: the RM, RMDIR and MKDIR
// acts.  A subtree goes depth-first, each directory entered through a
// descriptor that follows no link, so one swapped for a link midway is not
// emptied through it.  A mount root or a source directory being walked is
// never emptied (EBUSY).  Every file removal tried counts in
// deleted_count, whether it succeeded or not.
#include "treemir.h"
#include "console.h"
#include "fscaps.h"
#include "guards.h"

// Every act takes its item whole: the open directory it stands in, its
// name there, and its full path for the lines and reports.

// Adds the owner's bits to an item's mode.  A link is left alone: its mode
// would be its target's.
static void make_writable(const Item *it, mode_t bits)
{
	FileStatus st;
	mode_t mode;
	if (lstat_at(it->dir, it->name, it->path, &st) == 0 && !S_ISLNK(st.st_mode) &&
	    mode_to_set(fs_of(st.st_dev), &st, (st.st_mode & 07777) | bits, &mode))
		chmod_at(it->dir, it->name, it->path, mode);
}

int remove_path(const Item *it)
{
	if (unlink_at(it->dir, it->name, it->path) == 0)
		return 0;
	make_writable(it, S_IWUSR);
	if (unlink_at(it->dir, it->name, it->path) == 0)
		return 0;
	int err = errno;
	report_errno("unlink", it->path, err);
	errno = err; // for the report of what could not follow
	return 1;
}

static void print_action(char *header, int level, const char *label, const char *path)
{
	if (run.verbose >= level) {
		flush_header(header);
		put_format(stdout, 0, "%s%s\n", label, out_text(path));
	}
}

void remove_file(char *header, const Item *it)
{
	count_deleted();
	print_action(header, 1, "RM     ", it->path);
	remove_path(it);
}

void remove_dir(char *header, const Item *it)
{
	print_action(header, 1, "RMDIR  ", it->path);
	if (rmdir_at(it->dir, it->name, it->path) == 0)
		return;
	make_writable(it, S_IRWXU);
	if (rmdir_at(it->dir, it->name, it->path) != 0)
		report_error("rmdir", it->path);
}

// A link that stands in the destination as a directory goes as one, with
// its RMDIR line; the link alone is removed.
void remove_link(char *header, const Item *it)
{
	print_action(header, 1, "RMDIR  ", it->path);
	if (unlink_link_at(it->dir, it->name, it->path) != 0)
		report_error("unlink", it->path);
}

// A directory the walk must never empty: the root of a mount, which may
// show another file system or, bound there, the source itself; or a source
// directory being walked, reached some other way.  Refused with EBUSY, as
// the system refuses to remove a mount point.
static int must_keep(const Item *it, const FileStatus *st, file_dev_t parent_dev)
{
	if (!is_mount_root(it->dir, it->name, it->path, st, parent_dev) && !on_walk_path(st->st_dev, st->st_ino))
		return 0;
	report_errno("rmdir", it->path, EBUSY);
	return 1;
}

// Removes the listed subdirectory d, the item it of a directory on the
// device parent_dev, with everything below it, unless it must be kept.
// Answers 1 when it or a directory below it was kept.
int remove_subtree(char *header, const Item *it, const EntryNode *d, file_dev_t parent_dev)
{
	FileStatus st = entry_view(d);
	if (must_keep(it, &st, parent_dev))
		return 1;
	return remove_tree(header, it);
}

// The entries of an opened subtree go depth-first, each named as an item
// of the subtree's own open directory.  Answers 1 when a directory below
// was kept.
static int empty_tree(char *header, const Side *tree)
{
	char *path = (char *)xmalloc(PATH_BUF); // the recursion is as deep as the tree
	Item it = {tree->fd, nullptr, path};
	int kept = 0;
	for (int32_t i = 0; i < tree->list.files.count; i++) {
		it.name = tree->list.files.index[i]->name;
		if (item_path(path, tree->path, it.name, "unlink") == 0)
			remove_file(header, &it);
	}
	for (int32_t i = 0; i < tree->list.dirs.count; i++) {
		const EntryNode *d = tree->list.dirs.index[i];
		it.name = d->name;
		if (item_path(path, tree->path, d->name, d->is_link ? "unlink" : "rmdir"))
			continue;
		if (d->is_link)
			remove_link(header, &it);
		else
			kept |= remove_subtree(header, &it, d, tree->status.st_dev);
	}
	free(path);
	return kept;
}

// The subtree is entered through descriptors that never follow a link, so
// a directory swapped for one midway is not emptied through it.  A
// directory that holds one that must be kept stays, without a line of its
// own: the kept one was reported.  Answers 1 then.
int remove_tree(char *header, const Item *it)
{
	Side tree;
	if (scan_dest(it, 0, &tree, nullptr) != 0)
		return 0;
	int kept = empty_tree(header, &tree);
	close_side(&tree);
	if (!kept)
		remove_dir(header, it);
	return kept;
}

int make_dir(char *header, const Item *it)
{
	print_action(header, 2, "MKDIR  ", it->path);
	if (mkdir_at(it->dir, it->name, it->path) == 0)
		return 0;
	report_error("mkdir", it->path);
	return 1;
}
