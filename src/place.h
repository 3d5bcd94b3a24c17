// Placing copies: a finished copy takes its name once its data is on the
// disk, in batches behind one flush each.  The walk's thread only.
#ifndef TREEMIR_PLACE_H
#define TREEMIR_PLACE_H

#include "treemir.h"

// A destination directory kept open for the copies waiting in it.
struct HeldDir;

// Holds a finished copy of the pair whose destination is dst (held for it
// in *dir) for placing, in the order of the calls.
void hold_copy(HeldDir **dir, const Side *dst, const EntryNode *s, const CopyResult *r);
// A pair ends: answers 1 when its destination's descriptor now belongs to
// the copies still waiting there.
int release_pair_dir(HeldDir **dir);
// Every waiting copy placed now.
void place_copies(void);
// Before a pair's copies: how much a batch may hold follows the room left.
void measure_room(int dst_fd);
// Unmakes a finished copy of s that will not be placed.
void discard_copy(const Side *dst, const EntryNode *s, const CopyResult *r);
// Before a copy of size bytes into dst_fd: what waits is placed first where
// the copy may not fit beside it.
void make_room(int dst_fd, int64_t size);
// Places what waits in the destination directory dir, met again.
void place_copies_in(const FileStatus *dir);
// The walk ran short of descriptors: those kept for waiting copies are
// given back; answers 1 when some were.
int shed_held_dirs(void);

#endif
