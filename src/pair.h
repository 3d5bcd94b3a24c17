// A directory pair as the walk holds it, shared by the walk and its copy
// pass.
#ifndef TREEMIR_PAIR_H
#define TREEMIR_PAIR_H

#include "treemir.h"
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
	int dst_made;        // the walk made the destination: nothing stands in it
	HeldDir *held;       // the destination, kept for copies waiting there
};

// Makes the destination writable before its first removal or copy.
void ready_for_change(PairWalk *w);
// The pair's third pass: every source file the copy rule selects, copied
// in name order, by the walk or by workers.
void copy_changed_files(PairWalk *w);

#endif
