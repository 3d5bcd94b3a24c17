// The overlap and loop guards: a source inside its destination is refused
// before the walk starts; the destination root, met inside the source, is
// never mirrored into itself; a source link back to a directory being
// walked is not followed; and what the walk may not empty (a directory
// being walked, met another way) is told here.
#include "guards.h"
#include "console.h"

int same_file(const FileStatus *a, const FileStatus *b)
{
	return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

// Whether path, its links resolved, is the destination root or lies below
// it: walks up the resolved path comparing each directory with the root.
int lies_inside(const char *path)
{
	char *real = run.dest_known ? full_path(path) : nullptr;
	if (real == nullptr)
		return 0;
	size_t root = root_length(real);
	int inside = 0;
	for (;;) {
		FileStatus st;
		inside = file_status(real, &st) == 0 && st.st_dev == run.dest_dev && st.st_ino == run.dest_ino;
		char *cut = strrchr(real, SEPARATOR);
		if (inside || cut == nullptr || strlen(real) <= root)
			break;
		if ((size_t)(cut - real) < root)
			real[root] = '\0'; // the root keeps its separator
		else
			*cut = '\0';
	}
	free(real);
	return inside;
}

// Refuses a source that lies inside the destination, which the walk would
// delete as extraneous; notes the destination root, which the walk keeps
// out of the source.  Answers 1 to refuse the run.
int check_operands(const char *source, const char *dest)
{
	FileStatus dst, st;
	if (file_status(dest, &dst) != 0 || !S_ISDIR(dst.st_mode))
		return 0;
	run.dest_known = 1;
	run.dest_dev = dst.st_dev;
	run.dest_ino = dst.st_ino;
	if (file_status(source, &st) == 0 && same_file(&st, &dst))
		return 0; // one directory: nothing can differ
	if (!lies_inside(source))
		return 0;
	put_format(stderr, 0, "\ntreemir: source %s lies inside destination %s\n", err_text(source), err_text(dest));
	return 1;
}

// The destination root seen from inside the source: never mirrored into
// itself.
int is_dest_root(const EntryNode *s)
{
	return run.dest_known && s->status.dir.dev == run.dest_dev && s->status.dir.ino == run.dest_ino;
}

// Whether a source directory is one the walk is inside: a link back to
// it would loop.
int on_walk_path(file_dev_t dev, file_ino_t ino)
{
	for (const WalkFrame *f = run.walk_path; f != nullptr; f = f->parent)
		if (f->known && f->dev == dev && f->ino == ino)
			return 1;
	return 0;
}
