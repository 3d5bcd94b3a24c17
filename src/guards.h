// The overlap and loop guards: what the walk must never enter, empty or
// mirror into itself.
#ifndef TREEMIR_GUARDS_H
#define TREEMIR_GUARDS_H

#include "treemir.h"

int same_file(const FileStatus *a, const FileStatus *b);
// Whether path, its links resolved, is the destination root or below it.
int lies_inside(const char *path);
// The destination root seen from inside the source.
int is_dest_root(const EntryNode *s);
// Whether a source directory is one the walk is inside.
int on_walk_path(file_dev_t dev, file_ino_t ino);

#endif
