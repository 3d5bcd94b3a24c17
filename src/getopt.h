// The program's own option scanner.  It lives in its own namespace so that
// it can never be confused with the C library's scanner of the same name,
// whose globals <unistd.h> declares.
#ifndef TREEMIR_GETOPT_H
#define TREEMIR_GETOPT_H

namespace treemir {

extern int optind;   // index of the argument being scanned; then the first operand
extern char *optarg; // argument of the option just returned
extern int opterr;   // diagnostics are written while non-zero
extern int optopt;   // option character examined by the latest call

int getopt(int argc, char *const argv[], const char *optstring);

// Puts the scanner back to its initial state.  The program scans once per
// process and never calls this; the tests scan many command lines.
void reset_getopt(void);

} // namespace treemir

#endif
