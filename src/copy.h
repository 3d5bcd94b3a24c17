// File copies, as the threads that make them see them.
#ifndef TREEMIR_COPY_H
#define TREEMIR_COPY_H

#include "treemir.h"

// The calling thread copies through buffer (run.buffer_size bytes) from
// now on; without one, a thread allocates its own at its first copy, and
// gives it back with free_copy_buffer.
void use_copy_buffer(char *buffer);
void free_copy_buffer(void);

#endif
