// Directory listing, as the walk and the workers read sides: opened
// relative to a parent, or already open, and listed whole.
#ifndef TREEMIR_LISTING_H
#define TREEMIR_LISTING_H

#include "treemir.h"

void init_side(Side *side, const char *path);
// Lists a side whose directory is open in side->fd, after its status and
// its SCAN line.  Answers 1, the directory closed, after reporting why it
// cannot be read.  A destination listed against its source's files
// (the source side, listed; else null) keeps those as their counterparts.
int list_side(Side *side, int dest_side, const Side *source);
// Reads the directory it, through a descriptor opened relative to its
// parent's, following a link only where follow is set; in the destination
// (dest_side) a link that leads nowhere is listed as an item.  Answers 1
// after reporting why it cannot be read.
int scan_at(const Item *it, int follow, int dest_side, Side *side, const Side *source);
// A destination directory the walk has just made: opened and its status
// read, not listed, for it is empty.
int scan_made(const Item *it, Side *side);
// What to do when the walk's own directory cannot be opened for want of
// descriptors: give_back answers 1 when it freed some, and the open is
// tried once more.  Never asked on a worker.
void on_short_of_descriptors(int (*give_back)(void));
// How the walk runs a piece of its work side by side: in parts() parts,
// by run_parts (the workers' parts_beside and run_beside).  Never asked on
// a worker.
void on_side_by_side(int (*parts)(void), void (*run_parts)(void (*fn)(void *part), void **parts, int n));
// The entries a side read on this thread may hold (-1: any number); one
// that would hold more is cut short, and listing_cut tells so.
void cap_listing(int64_t entries);
int listing_cut(void);

#endif
