// The option scanner on any command line: the input, split at NUL bytes,
// is the argument vector after the program name.  A scan must end, each
// call examining a new letter; optind must stay within the vector; every
// argument handed out must lie inside it, and its number must convert as
// atoi would, saturated at the int range.
#include "getopt.h"
#include "treemir.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::vector<std::string> words = {"treemir", ""};
	for (size_t i = 0; i < size; i++) {
		if (data[i])
			words.back() += (char)data[i];
		else
			words.emplace_back();
	}
	std::vector<char *> argv;
	for (auto &w : words)
		argv.push_back(&w[0]);
	argv.push_back(nullptr);
	int argc = (int)words.size();
	treemir::reset_getopt();
	treemir::opterr = 0;
	size_t calls = 0;
	for (int c; (c = treemir::getopt(argc, argv.data(), "qhv:x:X:b:m:re:")) != -1;) {
		if (++calls > size + 1 || treemir::optind > argc)
			abort();
		if (c == '?' || !strchr("vxXbme", c))
			continue;
		const char *arg = treemir::optarg;
		bool inside = false;
		for (auto &w : words)
			inside |= arg >= w.data() && arg <= w.data() + w.size();
		long long expected = strtoll(arg, nullptr, 10);
		expected = expected > INT32_MAX ? INT32_MAX : expected < INT32_MIN ? INT32_MIN : expected;
		if (!inside || to_int(arg) != expected)
			abort();
	}
	if (treemir::optind > argc)
		abort();
	return 0;
}
