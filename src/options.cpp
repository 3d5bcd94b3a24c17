// The command line's words: the usage text, numbers read as atoi reads
// them (but held to the int range), and the one trailing separator an
// operand loses.
#include "treemir.h"
#include "console.h"

static const char *const usage_lines[] = {
	"usage : treemir [option(s)] source dest\n",
	"\tsource\tsoure directory (must exist)\n",
	"\tdest\tdestination directory (must exist)\n",
	"\t-h\tDisplay this message\n",
	"\t-v lvl\tset verbose level (default %d,min 0,max 9)\n",
	"\t-q\tQuiet mode (same result of -v 0)\n",
	"\t-X name\tExclude directory name (1) from scanning (default . ..)\n",
	"\t-x name\tExclude file name (1) from scanning\n",
	"\t-e name\tExclude regular expression name (1) from scanning\n",
	"\t-b size\tSet the read/write buffer size (default %d)\n",
	"\t-m mode\tSet copy file mode,always missing file are copied\n",
	"\t\t0 - Copy file if have different size or date (default)\n",
	"\t\t1 - Copy file if the destination is oldest than source\n",
	"\t-r\tDon't remove file/directory missed in the source\n",
	"\n\t\t(1) If name begin with @ for example @list the names will be\n",
	"\t\tread from a text file named list.\n",
};

void print_usage(void)
{
	for (size_t i = 0; i < sizeof usage_lines / sizeof usage_lines[0]; i++) {
		if (i == 4)
			put_format(stdout, 0, usage_lines[i], DEFAULT_VERBOSE);
		else if (i == 9)
			put_format(stdout, 0, usage_lines[i], DEFAULT_BUFFER_SIZE);
		else
			put_text(stdout, usage_lines[i], 0);
	}
}

// The conversion of atoi (white space, a sign, digits up to the first other
// character), saturated at the int range instead of overflowing.
int32_t to_int(const char *text)
{
	while (is_blank((unsigned char)*text))
		text++;
	int negative = *text == '-';
	if (*text == '-' || *text == '+')
		text++;
	int64_t value = 0;
	for (; *text >= '0' && *text <= '9'; text++) {
		value = value * 10 + (*text - '0');
		if (value > (int64_t)INT32_MAX + 1)
			value = (int64_t)INT32_MAX + 1;
	}
	if (negative)
		value = -value;
	if (value > INT32_MAX)
		value = INT32_MAX;
	return (int32_t)value;
}

void trim_separator(char *arg)
{
	size_t len = strlen(arg);
	if (len >= 2 && is_separator((unsigned char)arg[len - 1]) && arg[len - 2] != ':')
		arg[len - 1] = '\0';
}
