// List files with pattern compilation: the input is written to a list file
// and read with "@file" as patterns and as names.  Every white-space
// separated word must become one name (after a UTF-8 byte-order mark); the
// patterns that compiled are tried on a few paths; all is released again,
// so that a leak in the reading shows.  Inputs the program refuses by
// ending the run (a NUL byte, a UTF-16 list, an over-long word) are left
// out here: the unit tests hold those.
#include "treemir.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (memchr(data, 0, size) || (size >= 2 && ((data[0] == 0xff && data[1] == 0xfe) ||
	                                            (data[0] == 0xfe && data[1] == 0xff))))
		return 0;
	static const std::string file = "/dev/shm/treemir-fuzz-list-" + std::to_string(getpid());
	FILE *f = fopen(file.c_str(), "wb");
	fwrite(data, 1, size, f);
	fclose(f);
	std::vector<std::string> words;
	size_t from = size >= 3 && memcmp(data, "\xef\xbb\xbf", 3) == 0 ? 3 : 0;
	for (size_t i = from; i < size; i++) {
		if (strchr(" \t\n\r\v\f", data[i]))
			continue;
		if (i == from || strchr(" \t\n\r\v\f", data[i - 1]))
			words.emplace_back();
		words.back() += (char)data[i];
		if (words.back().size() >= PATH_BUF)
			return 0;
	}

	PatternList patterns;
	EntryList names;
	init_patterns(&patterns);
	init_list(&names);
	add_pattern(&patterns, ("@" + file).c_str());
	add_name(&names, ("@" + file).c_str());
	for (const char *path : {"/src/a.txt", "/src/dir/with space/\xff\x01", "", "/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab"})
		match_pattern(&patterns, path);
	// New names go in at the front: the list holds the words backwards.
	EntryNode *end = reinterpret_cast<EntryNode *>(&names), *n = names.next;
	for (size_t i = words.size(); i-- > 0; n = n->next)
		if (n == end || strcmp(n->name, words[i].c_str()) != 0)
			abort();
	if (n != end)
		abort();
	free_list(&names);
	for (PatternNode *p = patterns.next, *next; p != reinterpret_cast<PatternNode *>(&patterns); p = next) {
		next = p->next;
		regfree(&p->compiled);
		free(p->pattern_text);
		free(p);
	}
	return 0;
}
