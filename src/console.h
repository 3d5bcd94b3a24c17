// The console: every byte of output, written at once on the walk's thread
// or recorded on a worker for the walk to write out in its place.
#ifndef TREEMIR_CONSOLE_H
#define TREEMIR_CONSOLE_H

#include "treemir.h"

// One piece of output; flush where it leaves a line open.
void put_text(FILE *f, const char *text, int flush);
void put_format(FILE *f, int flush, const char *format, ...) __attribute__((format(printf, 3, 4)));
// The counters the acts keep, counted where the act's lines land.
void count_copied(void);
void count_deleted(void);
// This thread's output goes into r from now on; null: to the streams.
void record_into(Recording *r);
int recording_here(void);
// Whether a name joined to dir (len bytes) needs a separator between.
int needs_separator(const char *dir, size_t len);
// At the end of the run: output that could not be written is reported and
// counted; answers 1 when a stream failed.
int check_output(void);

#endif
