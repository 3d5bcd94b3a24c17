// Option scanner: splits argv into single-letter options, their arguments
// and the operands after them.
//
// The scanner keeps its place in two numbers: optind, the argument being
// scanned, and optpos, the next letter within it (1 = at an argument
// boundary, position 0 holding the '-').  Every call examines one letter and
// leaves the pair at the next letter or at the next argument boundary.  The
// argument vector is never reordered or written: scanning ends at the first
// argument that is not an option group, at a lone "-", or after "--".
// A ':' at the start of optstring has no special meaning; a missing argument
// is answered with '?' like an unknown letter.
#include "getopt.h"
#include "platform.h" // the diagnostics reach a console as the program's other lines do

#include <cstdio>
#include <cstring>

namespace treemir {

int optind = 1;
char *optarg = nullptr;
int opterr = 1;
int optopt = 0;

static int optpos = 1;

void reset_getopt(void)
{
	optind = 1;
	optarg = nullptr;
	opterr = 1;
	optopt = 0;
	optpos = 1;
}

// Moves past the letter just examined, to the next argument when it was
// the last letter of its group.
static void step_letter(char *const argv[])
{
	optpos++;
	if (argv[optind][optpos] == '\0') {
		optind++;
		optpos = 1;
	}
}

static void diagnose(char *const argv[], const char *message, int c)
{
	if (!opterr)
		return;
	// Through the seam's writer: on Windows the program's name is UTF-8,
	// which a console would take for its code page.
	size_t len = strlen(argv[0]) + strlen(message) + 5;
	char *line = (char *)malloc(len);
	if (line == nullptr)
		return;
	snprintf(line, len, "%s %s %c\n", argv[0], message, c);
	write_text(stderr, line);
	free(line);
}

int getopt(int argc, char *const argv[], const char *optstring)
{
	if (optpos == 1) {
		if (optind >= argc)
			return -1;
		const char *arg = argv[optind];
		if (arg[0] != '-' || arg[1] == '\0')
			return -1;
		if (strcmp(arg, "--") == 0) {
			optind++;
			return -1;
		}
	}

	int c = (unsigned char)argv[optind][optpos];
	optopt = c;
	const char *spec = c == ':' ? nullptr : strchr(optstring, c);
	if (spec == nullptr) {
		diagnose(argv, ": illegal option -- ", c);
		step_letter(argv);
		return '?';
	}

	if (spec[1] != ':') {
		step_letter(argv);
		optarg = nullptr;
		return c;
	}

	if (argv[optind][optpos + 1] != '\0') {
		optarg = &argv[optind][optpos + 1];
		optind++;
	} else {
		optind++;
		if (optind >= argc) {
			diagnose(argv, ": option requires an argument -- ", c);
			optpos = 1;
			return '?';
		}
		optarg = argv[optind];
		optind++;
	}
	optpos = 1;
	return c;
}

} // namespace treemir
