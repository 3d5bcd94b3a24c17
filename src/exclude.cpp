// Exclusion rules: exact names of files (-x) and of directories (-X),
// basic regular expressions matched against full paths (-e), and @list
// files, each of whose white-space separated words is one item.  A list is
// read as bytes, or as UTF-16 where its byte-order mark says so; one that
// cannot be read, a device, or one that holds a NUL or a word longer than
// an item may be is refused, and that ends the run.
#include "treemir.h"
#include "console.h"

int is_blank(int c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A list file, read as UTF-8 bytes.  A UTF-8 byte-order mark at the start
// is skipped; a file that starts with a UTF-16 one (either byte order) is
// converted as it is read.  Bytes read ahead, or the UTF-8 bytes of one
// converted character, wait in held.
struct ListFile {
	FILE *f;
	const char *path;
	int utf16;              // 0: bytes as they are; 1: little-endian; 2: big-endian
	unsigned char held[4];
	int held_count, held_at;
};

// A list that cannot be taken as it stands ends the run: rules half read
// would let the walk touch what they were to keep out.
static void refuse_list(const char *path, const char *why)
{
	put_format(stderr, 0, "\ntreemir: list %s %s\n", path, why);
	exit(1);
}

static void keep_byte(ListFile *l, int c)
{
	if (c != EOF)
		l->held[l->held_count++] = (unsigned char)c;
}

static void read_byte_order_mark(ListFile *l)
{
	int c0 = getc(l->f), c1 = c0 == 0xef || c0 == 0xff || c0 == 0xfe ? getc(l->f) : EOF;
	if (c0 == 0xff && c1 == 0xfe) {
		l->utf16 = 1;
	} else if (c0 == 0xfe && c1 == 0xff) {
		l->utf16 = 2;
	} else {
		int c2 = c0 == 0xef && c1 == 0xbb ? getc(l->f) : EOF;
		if (!(c0 == 0xef && c1 == 0xbb && c2 == 0xbf)) {
			keep_byte(l, c0);
			keep_byte(l, c1);
			keep_byte(l, c2);
		}
	}
}

// The next UTF-16 unit, or EOF at the end (or on a read failure).
static long read_unit(ListFile *l)
{
	int a = getc(l->f);
	if (a == EOF)
		return EOF;
	int b = getc(l->f);
	if (b == EOF) {
		if (ferror(l->f))
			return EOF;
		refuse_list(l->path, "is not valid UTF-16");
	}
	return l->utf16 == 1 ? a | b << 8 : a << 8 | b;
}

// Converts the next UTF-16 character into held; answers 0 at the end.
static int convert_utf16(ListFile *l)
{
	long u = read_unit(l);
	if (u == EOF)
		return 0;
	if (u >= 0xd800 && u <= 0xdfff) {
		long low = u < 0xdc00 ? read_unit(l) : EOF;
		if (low < 0xdc00 || low > 0xdfff)
			refuse_list(l->path, "is not valid UTF-16");
		u = 0x10000 + ((u - 0xd800) << 10) + (low - 0xdc00);
	}
	if (u == 0)
		refuse_list(l->path, "holds a NUL character");
	l->held_count = l->held_at = 0;
	if (u < 0x80) {
		keep_byte(l, (int)u);
	} else if (u < 0x800) {
		keep_byte(l, (int)(0xc0 | u >> 6));
		keep_byte(l, (int)(0x80 | (u & 0x3f)));
	} else if (u < 0x10000) {
		keep_byte(l, (int)(0xe0 | u >> 12));
		keep_byte(l, (int)(0x80 | (u >> 6 & 0x3f)));
		keep_byte(l, (int)(0x80 | (u & 0x3f)));
	} else {
		keep_byte(l, (int)(0xf0 | u >> 18));
		keep_byte(l, (int)(0x80 | (u >> 12 & 0x3f)));
		keep_byte(l, (int)(0x80 | (u >> 6 & 0x3f)));
		keep_byte(l, (int)(0x80 | (u & 0x3f)));
	}
	return 1;
}

// The next UTF-8 byte of the list, or EOF.  A NUL byte means the file is
// no text: it is refused rather than matched as it comes.
static int next_byte(ListFile *l)
{
	int c;
	if (l->held_at < l->held_count)
		c = l->held[l->held_at++];
	else if (l->utf16)
		c = convert_utf16(l) ? l->held[l->held_at++] : EOF;
	else
		c = getc(l->f);
	if (c == '\0')
		refuse_list(l->path, "holds a NUL byte");
	return c;
}

// Reads the next white-space separated word of the list into *word,
// growing it as needed up to limit bytes; a longer word refuses the list,
// so that memory stays bounded.  Answers 1 when a word was read, 0 at the
// end of the file or on a read failure.
static int read_word(ListFile *l, char **word, size_t *cap, size_t limit)
{
	int c;
	while ((c = next_byte(l)) != EOF && is_blank(c))
		;
	size_t len = 0;
	for (; c != EOF && !is_blank(c); c = next_byte(l)) {
		if (len == limit) {
			char why[64];
			snprintf(why, sizeof why, "holds a word longer than %lld bytes", (long long)limit);
			refuse_list(l->path, why);
		}
		if (len + 1 >= *cap) {
			size_t grown = *cap ? *cap * 2 : 256;
			if (grown > limit + 1)
				grown = limit + 1;
			char *bigger = (char *)xmalloc(grown);
			if (len)
				memcpy(bigger, *word, len);
			free(*word);
			*word = bigger;
			*cap = grown;
		}
		(*word)[len++] = (char)c;
	}
	if (len == 0)
		return 0;
	(*word)[len] = '\0';
	return 1;
}

static int is_device(const FileStatus *st)
{
	return S_ISCHR(st->st_mode) || S_ISBLK(st->st_mode);
}

// Hands text, or each word of the list file that "@file" names, to add;
// limit is the longest word the list may hold.  A list file that cannot be
// opened or read, or is refused, ends the process.  A device is refused
// before it is opened (opening one may wait or act) and once more when
// open; a pipe is read like a file.
static void add_items(void *list, const char *text, void (*add)(void *, const char *), size_t limit)
{
	if (text[0] != '@') {
		add(list, text);
		return;
	}
	const char *path = text + 1;
	FileStatus st;
	if (file_status(path, &st) == 0 && is_device(&st))
		refuse_list(path, "is a device");
	ListFile l = {open_list(path), path, 0, {0}, 0, 0};
	if (l.f == nullptr) {
		report_error("fopen", path);
		exit(1);
	}
	if (list_is_device(l.f))
		refuse_list(path, "is a device");
	read_byte_order_mark(&l);
	char *word = nullptr;
	size_t cap = 0;
	while (read_word(&l, &word, &cap, limit))
		add(list, word);
	if (ferror(l.f)) {
		report_error("read", path);
		exit(1);
	}
	free(word);
	fclose(l.f);
}

static void add_name_item(void *list, const char *name)
{
	add_entry((EntryList *)list, name, nullptr);
}

static void add_pattern_item(void *list, const char *text)
{
	compile_pattern((PatternList *)list, text);
}

// A name is at most a path; a pattern may be longer, within reason.
void add_name(EntryList *list, const char *text)
{
	add_items(list, text, add_name_item, PATH_BUF - 1);
}

void add_pattern(PatternList *list, const char *text)
{
	add_items(list, text, add_pattern_item, PATTERN_LIMIT);
}

static PatternNode *pattern_end(PatternList *list)
{
	return reinterpret_cast<PatternNode *>(list);
}

void init_patterns(PatternList *list)
{
	list->next = pattern_end(list);
}

// An empty pattern is refused although the library would take it: it
// matches every path and would hide both trees entirely.
void compile_pattern(PatternList *list, const char *text)
{
	size_t len = strlen(text);
	PatternNode *node = (PatternNode *)xmalloc(sizeof *node);
	node->pattern_text = (char *)xmalloc(len + 1);
	memcpy(node->pattern_text, text, len + 1);
	if (len == 0 || regcomp(&node->compiled, text, REG_NOSUB) != 0) {
		// The compiler says nothing through errno; give the line a
		// truthful number rather than a stale one.
		report_errno("regex", text, EINVAL);
		free(node->pattern_text);
		free(node);
		return;
	}
	node->next = list->next;
	list->next = node;
}


EntryNode *find_name(EntryList *list, const char *name)
{
	for (EntryNode *n = list->next; n != list_end(list); n = n->next)
		if (strcmp(n->name, name) == 0)
			return n;
	return nullptr;
}

const PatternNode *find_pattern(PatternList *list, const char *path)
{
	for (PatternNode *p = list->next; p != pattern_end(list); p = p->next)
		if (regexec(&p->compiled, path, 0, nullptr, 0) == 0)
			return p;
	return nullptr;
}

void show_match(const char *path, const PatternNode *p)
{
	put_format(stdout, 0, "%s matched by %s \n", out_text(path), out_text(p->pattern_text));
}

int match_pattern(PatternList *list, const char *path)
{
	const PatternNode *p = find_pattern(list, path);
	if (p != nullptr)
		show_match(path, p);
	return p != nullptr;
}
