// The workers, as the walk sees them: jobs it hands them (each run by a
// worker or, when none has started it, by the walk itself), and the
// directory pairs they read ahead of it.
#ifndef TREEMIR_WORKERS_H
#define TREEMIR_WORKERS_H

#include "treemir.h"

enum { JOB_QUEUED, JOB_RUNNING, JOB_DONE };
// A job's kind names its queue: barriers are taken first, then copies
// (which the walk helps with while it waits for one), then pairs to read.
enum { JOB_LIST, JOB_COPY, JOB_FLUSH };

struct Job {
	Job *next; // circular, through its queue's head, while queued
	Job *prev;
	int kind;
	int state; // under the pool's lock
	void (*run)(Job *job);
};

// A subdirectory pair read ahead of the walk.
struct Listed {
	Job job;
	int parent;       // the destination parent's open directory
	const char *name; // in both parents' listings, which outlive it
	char *src_path;
	char *dst_path;
	Side src, dst;
	int src_ok, dst_ok; // read whole, and not yet taken by the walk
	Recording src_out, dst_out;
	Listed **kids;      // by the index of src's subdirectories, or null
	int32_t kid_count;
	int64_t entries;    // counted in the pool's entries until it is freed
};

// Starts the threads, once a read or a copy waits on a disk.
void start_threads(void);
// Threads beside the walk: 0 when the walk is alone.
int32_t worker_count(void);
// The most copies queued ahead of the one the walk takes.
int32_t copy_window(int round_trips);
// Queues a job by its kind and wakes a worker for it.
void submit_job(Job *job);
// Waits for a job the walk needs, running it itself if no worker has.
void finish_job(Job *job);
// Takes back a job the walk no longer needs; answers 1 if it never ran.
int cancel_job(Job *job);
// How many parts a piece of the walk's work is best cut into, to run side
// by side (1: the walk does it alone).
int parts_beside(void);
// Runs fn on each of the n parts (at most parts_beside()), the last on the
// walk's thread and the others beside it; returns once all are done.
void run_beside(void (*fn)(void *part), void **parts, int n);

// Reading ahead.  A pair whose destination directory is open in dst_fd
// has its subdirectories queued (kids, by index) within the caps.
void queue_kids(const Side *src, int dst_fd, const char *dst_path, Listed ***kids, int32_t *count);
void drop_kids(Listed ***kids, int32_t *count);
// Gives up the destination side of a pair read ahead, and all below it.
void drop_dest(Listed *l);
// Frees a pair read ahead, with whatever of it the walk did not take.
void drop_listed(Listed *l);
// No more pairs are read ahead; answers 1 when some hold descriptors,
// which drop_kids then gives back.
int stop_reading_ahead(void);
// The walk holds one more pair open (step 1), or one fewer (-1): the
// pool's own count of the walk's depth, under its lock, for what the
// workers may hold beside it.
void count_walk_depth(int step);

#endif
