// treemir: makes the destination directory tree an exact one-way mirror of
// the source tree.
//
// The walk takes one directory pair at a time.  Both directories are opened
// and read once, source first, into name-sorted listings whose entries
// carry the status taken while reading; every decision is made on those
// snapshots.  Each side (Side) stays open while its pair is worked on: its
// entries are read, opened and acted on relative to it, and every act on
// the destination takes its item (Item) whole.
// Four passes then run strictly in order and each in name order: remove the
// destination files the source lacks, remove the destination subtrees the
// source lacks, copy the source files that are missing or differ, and
// create each missing subdirectory and descend into it.
//
// Invariants:
//  - nothing is ever written to the source tree;
//  - nothing in the destination is written, removed or entered through a
//    symbolic link: a link standing where a file or directory belongs is
//    replaced, never followed, and below the destination operand every act
//    names its item relative to an open directory reached without links;
//  - a failed file-system call is reported once, and every counted line
//    goes through report_line; the walk goes on, and the count decides the
//    exit status;
//  - every path is built in a buffer of PATH_BUF bytes; a path that would
//    not fit is reported with ENAMETOOLONG and its item skipped;
//  - the FROM/TO header of a pair is printed at most once, just before the
//    first action line the pair actually prints;
//  - a copy takes its name only once it is complete, with its times and
//    mode: until then it is an unnamed file or a temporary (TEMP_PREFIX),
//    so a run cut short leaves every file whole, old or new;
//  - no directory is emptied or removed that is the root of a mount below
//    the destination, or a source directory on the walk path;
//  - names reach a terminal with their control bytes escaped;
//  - a destination is compared with its source, and given its source's
//    status, only as far as its file system keeps a status: the permission
//    bits, the read-only attribute alone or no mode at all, and times in
//    its own steps.
#include "treemir.h"
#include "getopt.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <condition_variable>
#include <mutex>
#include <thread>

// A helper with a path buffer that the walk calls once per directory but
// that returns before the walk descends: kept out of the walk's own frame,
// which the stack holds once per level of the tree.
#define OFF_THE_WALK __attribute__((noinline))

RunState run = {
	DEFAULT_VERBOSE, 0, 0, DEFAULT_BUFFER_SIZE, nullptr,
	0, 0, 0, 0,
	{nullptr, 0, nullptr}, {nullptr, 0, nullptr}, {nullptr},
	0, 0, 0, nullptr, 0, 0, 0, 0, 0, 1,
};

// ---------------------------------------------------------------------
// Run state and console reporting
// ---------------------------------------------------------------------

// Every piece of console output goes through put_text.  On the walk's
// own thread it is written at once; on a worker it is recorded, and the
// walk replays the recording where the act stands in today's order, so
// that both streams get the same bytes, flushed at the same points, with
// one worker or many.
enum { PUT_OUT, PUT_OUT_FLUSH, PUT_ERR, PUT_ERR_COUNTED, PUT_HEADER, PUT_COPIED };

static thread_local Recording *recording;
static int out_errno; // why standard output first failed; the walk's thread only

static void record(int kind, const char *text)
{
	Recording *r = recording;
	size_t len = strlen(text) + 2; // its kind, its text, a NUL
	if (r->len + len > r->cap) {
		size_t cap = r->cap ? r->cap : 256;
		while (cap < r->len + len)
			cap *= 2;
		char *grown = (char *)realloc(r->data, cap);
		if (grown == nullptr)
			out_of_memory();
		r->data = grown;
		r->cap = cap;
	}
	r->data[r->len] = (char)kind;
	memcpy(r->data + r->len + 1, text, len - 1);
	r->len += len;
}

// Writes one piece of output of its kind, or records it on a worker.
static void emit(int kind, const char *text)
{
	if (recording != nullptr) {
		record(kind, text);
		return;
	}
	fputs(text, kind <= PUT_OUT_FLUSH ? stdout : stderr);
	if (kind == PUT_OUT_FLUSH)
		fflush(stdout);
	if (out_errno == 0 && ferror(stdout))
		out_errno = errno != 0 ? errno : EIO;
	if (kind == PUT_ERR_COUNTED)
		run.error_count++;
}

static void put_text(FILE *f, const char *text, int flush)
{
	emit(f == stdout ? (flush ? PUT_OUT_FLUSH : PUT_OUT) : PUT_ERR, text);
}

// Formats after the at bytes already in small (cap bytes), on the heap
// where it does not fit; the caller frees what is not small.
static char *vformat(char *small, size_t cap, size_t at, const char *format, va_list ap)
{
	va_list again;
	va_copy(again, ap);
	int len = vsnprintf(small + at, cap - at, format, ap);
	char *text = small;
	if ((size_t)len >= cap - at) {
		text = (char *)xmalloc(at + (size_t)len + 1);
		memcpy(text, small, at);
		vsnprintf(text + at, (size_t)len + 1, format, again);
	}
	va_end(again);
	return text;
}

static void put_format(FILE *f, int flush, const char *format, ...)
{
	char small[256];
	va_list ap;
	va_start(ap, format);
	char *text = vformat(small, sizeof small, 0, format, ap);
	va_end(ap);
	put_text(f, text, flush);
	if (text != small)
		free(text);
}

// Every counted line goes out here, on standard error, after a line end so
// that it starts on a fresh line while a progress line is still open.
void report_line(const char *format, ...)
{
	char small[256] = "\n";
	va_list ap;
	va_start(ap, format);
	char *line = vformat(small, sizeof small, 1, format, ap);
	va_end(ap);
	emit(PUT_ERR_COUNTED, line);
	if (line != small)
		free(line);
}

static void count_copied(void)
{
	if (recording != nullptr)
		record(PUT_COPIED, "");
	else
		run.copied_count++;
}

// Writes out what a worker recorded, as the walk's own acts would have;
// header is the pair's, printed where the act printed it.
void replay(Recording *r, char *header)
{
	for (size_t at = 0; at < r->len;) {
		int kind = r->data[at];
		const char *text = r->data + at + 1;
		at += strlen(text) + 2;
		if (kind == PUT_HEADER)
			flush_header(header);
		else if (kind == PUT_COPIED)
			run.copied_count++;
		else
			emit(kind, text);
	}
	free_recording(r);
}

void free_recording(Recording *r)
{
	free(r->data);
	*r = {nullptr, 0, 0};
}

// A failed call: its operation word, the path it concerned, the error,
// which errno holds again afterwards for the caller to act on.
void report_errno(const char *op, const char *path, int err)
{
	report_line("treemir: %s (%s) %s (%d)\n", op, err_text(path), strerror(err), err);
	errno = err;
}

void report_error(const char *op, const char *path)
{
	report_errno(op, path, errno);
}

// Output that could not be written is lost: that is said on standard error
// and counted, so that the run cannot end with status 0.  Standard error
// itself can only change the status.  Answers 1 when either failed.
int check_output(void)
{
	errno = 0;
	int failed = fflush(stdout) != 0 || ferror(stdout);
	if (failed)
		report_errno("write", "standard output", out_errno != 0 ? out_errno : errno != 0 ? errno : EIO);
	return (fflush(stderr) != 0 || ferror(stderr)) | failed;
}

void out_of_memory(void)
{
	fputs("\ntreemir: Out of memory\n", stderr);
	exit(1);
}

void *xmalloc(size_t size)
{
	if (size == 0)
		return nullptr;
	void *p = malloc(size);
	if (p == nullptr)
		out_of_memory();
	return p;
}

// A name joined to dir needs a separator unless dir ends in one (on
// Windows '/' is one too).
static int needs_separator(const char *dir, size_t len)
{
	return len == 0 || !is_separator((unsigned char)dir[len - 1]);
}

// Builds dir, a separator where needed and name in out, a buffer of cap
// bytes.  Answers null, with errno ENAMETOOLONG and out untouched, when the
// path would not fit.
char *join_path(char *out, size_t cap, const char *dir, const char *name)
{
	size_t dlen = strlen(dir), nlen = strlen(name);
	int sep = needs_separator(dir, dlen);
	if (dlen + (size_t)sep + nlen >= cap) {
		errno = ENAMETOOLONG;
		return nullptr;
	}
	memmove(out, dir, dlen);
	if (sep)
		out[dlen++] = SEPARATOR;
	memcpy(out + dlen, name, nlen + 1);
	return out;
}

// Reports an act whose path does not fit a path buffer.  The path is shown
// whole, built on the heap for the message alone.
void report_too_long(const char *op, const char *dir, const char *name)
{
	size_t cap = strlen(dir) + strlen(name) + 2;
	char *full = (char *)xmalloc(cap);
	report_errno(op, join_path(full, cap, dir, name), ENAMETOOLONG);
	free(full);
}

// Builds an item's path in out, a buffer of PATH_BUF bytes; answers 1 after
// reporting, with the word of the act it was for, a path that does not fit.
int item_path(char *out, const char *dir, const char *name, const char *op)
{
	if (join_path(out, PATH_BUF, dir, name) != nullptr)
		return 0;
	report_too_long(op, dir, name);
	return 1;
}

void flush_header(char *header)
{
	if (recording != nullptr)
		record(PUT_HEADER, "");
	else if (header[0] != '\0') {
		fputs(header, stdout);
		header[0] = '\0';
	}
}

static int is_control(unsigned char c)
{
	return c < 0x20 || c == 0x7f;
}

// Writes the escape of one control byte: the usual letter where there is
// one, else three octal digits.
static char *escape_byte(char *out, unsigned char c)
{
	static const char letters[] = "\\a\\b\\t\\n\\v\\f\\r";
	const char *hit = c >= '\a' && c <= '\r' ? letters + (c - '\a') * 2 : nullptr;
	if (hit != nullptr)
		return out + sprintf(out, "%.2s", hit);
	return out + sprintf(out, "\\%03o", c);
}

// A name bound for a terminal, with its control bytes escaped: a name is
// data, and must not move the cursor, recolour the screen or split a line.
// The text itself when it holds none or goes to a file or pipe.  A line
// may show three names, each in a buffer of its own.
const char *shown(const char *text, int to_terminal)
{
	static thread_local char *slot[3];
	static thread_local size_t cap[3];
	static thread_local int next;
	const char *p = text;
	while (to_terminal && *p != '\0' && !is_control((unsigned char)*p))
		p++;
	if (!to_terminal || *p == '\0')
		return text;
	size_t need = strlen(text) * 4 + 1;
	int i = next;
	next = (next + 1) % 3;
	if (cap[i] < need) {
		free(slot[i]);
		slot[i] = (char *)xmalloc(need);
		cap[i] = need;
	}
	char *out = slot[i];
	for (p = text; *p != '\0'; p++)
		if (is_control((unsigned char)*p))
			out = escape_byte(out, (unsigned char)*p);
		else
			*out++ = *p;
	*out = '\0';
	return slot[i];
}

const char *out_text(const char *text)
{
	return shown(text, run.out_terminal);
}

const char *err_text(const char *text)
{
	return shown(text, run.err_terminal);
}

// ---------------------------------------------------------------------
// Exclusion rules
// ---------------------------------------------------------------------

static int is_blank(int c)
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
	fprintf(stderr, "\ntreemir: list %s %s\n", path, why);
	exit(1);
}

static void hold(ListFile *l, int c)
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
			hold(l, c0);
			hold(l, c1);
			hold(l, c2);
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
		hold(l, (int)u);
	} else if (u < 0x800) {
		hold(l, (int)(0xc0 | u >> 6));
		hold(l, (int)(0x80 | (u & 0x3f)));
	} else if (u < 0x10000) {
		hold(l, (int)(0xe0 | u >> 12));
		hold(l, (int)(0x80 | (u >> 6 & 0x3f)));
		hold(l, (int)(0x80 | (u & 0x3f)));
	} else {
		hold(l, (int)(0xf0 | u >> 18));
		hold(l, (int)(0x80 | (u >> 12 & 0x3f)));
		hold(l, (int)(0x80 | (u >> 6 & 0x3f)));
		hold(l, (int)(0x80 | (u & 0x3f)));
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

static EntryNode *list_end(EntryList *list)
{
	// The head stands in the chain as its terminator; it is compared
	// against, never read through.
	return reinterpret_cast<EntryNode *>(list);
}

EntryNode *find_name(EntryList *list, const char *name)
{
	for (EntryNode *n = list->next; n != list_end(list); n = n->next)
		if (strcmp(n->name, name) == 0)
			return n;
	return nullptr;
}

int match_pattern(PatternList *list, const char *path)
{
	for (PatternNode *p = list->next; p != pattern_end(list); p = p->next) {
		if (regexec(&p->compiled, path, 0, nullptr, 0) == 0) {
			put_format(stdout, 0, "%s matched by %s \n", out_text(path), out_text(p->pattern_text));
			return 1;
		}
	}
	return 0;
}

// ---------------------------------------------------------------------
// Directory listing
// ---------------------------------------------------------------------

void init_list(EntryList *list)
{
	list->next = list_end(list);
	list->count = 0;
	list->index = nullptr;
}

EntryNode *add_entry(EntryList *list, const char *name, const FileStatus *status)
{
	// The name lives in the node's own block: one allocation an entry.
	size_t len = strlen(name);
	EntryNode *node = (EntryNode *)xmalloc(sizeof *node + len + 1);
	node->name = (char *)(node + 1);
	memcpy(node->name, name, len + 1);
	if (status != nullptr)
		node->status = *status;
	node->is_link = 0;
	node->next = list->next;
	list->next = node;
	return node;
}

int compare_entries(const void *a, const void *b)
{
	const EntryNode *x = *(const EntryNode *const *)a;
	const EntryNode *y = *(const EntryNode *const *)b;
	return strcmp(x->name, y->name); // compares bytes as unsigned char
}

void sort_list(EntryList *list)
{
	int32_t count = 0;
	for (EntryNode *n = list->next; n != list_end(list); n = n->next)
		count++;
	list->count = count;
	list->index = (EntryNode **)xmalloc((size_t)count * sizeof(EntryNode *));
	int32_t i = 0;
	for (EntryNode *n = list->next; n != list_end(list); n = n->next)
		list->index[i++] = n;
	if (count > 1)
		qsort(list->index, (size_t)count, sizeof(EntryNode *), compare_entries);
}

EntryNode *find_entry(EntryList *list, const EntryNode *entry)
{
	if (list->count == 0)
		return nullptr;
	void *hit = bsearch(&entry, list->index, (size_t)list->count,
	                    sizeof(EntryNode *), compare_entries);
	return hit ? *(EntryNode **)hit : nullptr;
}

void free_list(EntryList *list)
{
	for (int32_t i = 0; i < list->count; i++)
		free(list->index[i]);
	free(list->index);
}

void free_listing(DirListing *listing)
{
	free_list(&listing->files);
	free_list(&listing->dirs);
}

static void show_progress(const char *text)
{
	if (run.verbose >= 1)
		put_text(stdout, text, 1);
}

// Files one entry into the listing by its type, or leaves it out with the
// notice its type calls for.
static void file_entry(DirListing *listing, const char *dir, const char *name,
                       const FileStatus *st, int is_link)
{
	EntryNode *node = nullptr;
	switch (st->st_mode & S_IFMT) {
	case S_IFIFO:
		put_format(stderr, 0, "\ntreemir: Ignored fifo %s in %s\n", err_text(name), err_text(dir));
		return;
	case S_IFCHR:
		put_format(stderr, 0, "\ntreemir: Ignored char device %s in %s\n", err_text(name), err_text(dir));
		return;
	case S_IFDIR:
		if (find_name(&run.exclude_dirs, name) == nullptr)
			node = add_entry(&listing->dirs, name, st);
		break;
	case S_IFREG:
		if (find_name(&run.exclude_files, name) == nullptr)
			node = add_entry(&listing->files, name, st);
		break;
	default:
		put_format(stderr, 0, "\ntreemir: Ignored unknown  %s in directory %s\n", err_text(name),
		        err_text(dir));
		return;
	}
	if (node != nullptr)
		node->is_link = is_link;
}

// In the destination, a link whose target cannot be listed (dangling, a
// loop, a FIFO, a device) is an item like any other: it is listed as a file
// that is a link, so that the walk removes or replaces it instead of
// reporting it on every run.  Answers 1 when the entry is no link.
static int list_bare_link(int dir, const struct dirent *e, const char *full, DirListing *listing)
{
	FileStatus st;
	if (!entry_is_link(dir, e, full) || lstat_entry(dir, e->d_name, full, &st) != 0)
		return 1;
	if (find_name(&run.exclude_files, e->d_name) == nullptr)
		add_entry(&listing->files, e->d_name, &st)->is_link = 1;
	return 0;
}

static int is_dot_or_dot_dot(const char *name)
{
	return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Reads every entry of an opened directory.  Patterns see the full path,
// built once per entry on a prefix that is copied once per directory.
OFF_THE_WALK static void read_entries(DirReader *reader, int dir, const char *path, DirListing *listing,
                                      int dest_side)
{
	char full[PATH_BUF];
	size_t plen = strlen(path);
	memcpy(full, path, plen);
	if (needs_separator(path, plen))
		full[plen++] = SEPARATOR;

	const struct dirent *e;
	int searchable = 0;
	// A read error must not pass for the end of the directory: the entries
	// not read would count as missing on this side.
	while ((errno = 0, e = read_entry(reader)) != nullptr || errno != 0) {
		if (e == nullptr) {
			int err = errno;
			report_errno("readdir", path, err);
			if (err == EILSEQ)
				continue; // a name with no UTF-8 form; the rest can be read
			break;
		}
		size_t nlen = strlen(e->d_name);
		if (plen + nlen >= PATH_BUF) {
			report_too_long("stat", path, e->d_name);
			continue;
		}
		memcpy(full + plen, e->d_name, nlen + 1);
		if (match_pattern(&run.exclude_patterns, full))
			continue;
		// "." and ".." are never listed; their status can only fail where
		// the directory cannot be searched, which a status read already
		// disproved.
		if (searchable && is_dot_or_dot_dot(e->d_name))
			continue;
		FileStatus st;
		int err = stat_entry(dir, e->d_name, full, &st) != 0 ? errno : 0;
		searchable |= err == 0;
		if (dest_side && (err != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) &&
		    list_bare_link(dir, e, full, listing) == 0)
			continue;
		if (err != 0) {
			report_errno("stat", full, err);
			continue;
		}
		file_entry(listing, path, e->d_name, &st, entry_is_link(dir, e, full));
	}
}

static void show_scan(const char *path)
{
	if (run.verbose >= 1) {
		put_format(stdout, 1, "SCAN   %-60.60s  ", out_text(path));
	}
}

// The status checks before a directory is opened; on success the SCAN line
// is out.  Answers 1 after reporting why the path cannot be read.
static int check_dir(const char *path, FileStatus *dir_status)
{
	if (file_status(path, dir_status) != 0) {
		report_error("stat", path);
		return 1;
	}
	if (!S_ISDIR(dir_status->st_mode)) {
		report_line("treemir: %s is not a directory\n", err_text(path));
		return 1;
	}
	show_scan(path);
	return 0;
}

// The sides of a pair; a destination directory the walk has just made is
// empty, and its entries are not read.
enum { SIDE_SOURCE, SIDE_DEST, SIDE_DEST_MADE };

// Lists the open directory of a side, then sorts the listing.
static int list_dir(Side *side, int dest_side)
{
	if (dest_side == SIDE_DEST_MADE) {
		show_progress("*");
		show_progress("\b \b\r");
		return 0;
	}
	DirReader *reader = (DirReader *)xmalloc(sizeof *reader);
	int failed = open_reader(reader, side->fd, side->path);
	if (failed) {
		report_error("opendir", side->path);
	} else {
		read_entries(reader, side->fd, side->path, &side->list, dest_side);
		close_reader(reader);
		show_progress("*");
		sort_list(&side->list.files);
		sort_list(&side->list.dirs);
		show_progress("\b \b\r");
	}
	free(reader);
	return failed;
}

static void init_side(Side *side, const char *path)
{
	init_list(&side->list.files);
	init_list(&side->list.dirs);
	side->path = path;
	side->default_acl = 1; // until asked
	side->fs = nullptr;    // until the walk knows it
	side->waited = 0;
}

// Lists a side whose directory is open in side->fd, after its status and
// its SCAN line.  Answers 1, the directory closed, after reporting why it
// cannot be read.
static int list_side(Side *side, int dest_side)
{
	if (stat_dir(side->fd, side->path, &side->status) != 0) {
		report_error("stat", side->path);
	} else {
		show_scan(side->path);
		if (list_dir(side, dest_side) == 0)
			return 0;
	}
	close_dir(side->fd);
	return 1;
}

// Reads a directory, the item it, through a descriptor opened relative to
// its parent's, without following a link unless follow is set (for the
// operands the user named, and on the source side, where links are
// followed).  The descriptor stays open in side->fd for the acts of the
// pair, until close_side.  In the destination (dest_side) a link that
// leads nowhere is listed as an item.  Answers 1 after reporting why the
// directory cannot be read.
static int shed_read_ahead(void);
static int shed_held_dirs(void);

static int scan_at(const Item *it, int follow, int dest_side, Side *side)
{
	init_side(side, it->path);
	side->fd = open_dir_at(it->dir, it->name, it->path, follow);
	if (side->fd < 0 && (errno == EMFILE || errno == ENFILE) && (shed_read_ahead() | shed_held_dirs()))
		side->fd = open_dir_at(it->dir, it->name, it->path, follow);
	if (side->fd < 0) {
		// Tell why in the words of a scan by path: no such entry, not a
		// directory, or a directory that cannot be opened here.
		int err = errno;
		if (check_dir(it->path, &side->status) == 0)
			report_errno("opendir", it->path, err);
		return 1;
	}
	return list_side(side, dest_side);
}

int scan_dir(Side *side)
{
	Item it = {CURRENT_DIR, side->path, side->path};
	return scan_at(&it, 1, 0, side);
}

int scan_dest(const Item *it, int follow, Side *side)
{
	return scan_at(it, follow, SIDE_DEST, side);
}

static int scan_made(const Item *it, Side *side)
{
	return scan_at(it, 0, SIDE_DEST_MADE, side);
}

void close_side(Side *side)
{
	if (side->fd >= 0)
		close_dir(side->fd);
	free_listing(&side->list);
}

// ---------------------------------------------------------------------
// Destination file systems
// ---------------------------------------------------------------------

// The permission bits a copy receives.  A copy belongs to whoever runs the
// mirror, so a set-user-ID or set-group-ID bit is kept only where that
// owner or group is the source file's own: otherwise root mirroring another
// user's tree would hand out programs that run as root.
static mode_t copy_mode_bits(const FileStatus *status)
{
	mode_t mode = status->st_mode & 07777;
	if (S_ISREG(status->st_mode)) {
		if (status->st_uid != run.user)
			mode &= ~(mode_t)S_ISUID;
		if (status->st_gid != run.group)
			mode &= ~(mode_t)S_ISGID;
	}
	return mode;
}

// What each destination file system keeps of a status, found once per
// device: from its type where that tells, else by giving a new file of its
// own a mode and an odd-second time and reading them back, else from the
// first copy made there.  Comparisons and status changes then ask only for
// what it can hold, so a second run over FAT, exFAT or NTFS finds nothing
// to do and no mode change it cannot make is tried.
struct FsCaps {
	file_dev_t dev;
	VolumeKind kind;
	int settled;    // known, not assumed
	int written;    // the run changed something there
	int flush_kept; // flush_fd, a directory there, is kept for the end of the run
	int flush_fd;
	char *flush_path;
};

enum { FS_CACHE = 32, PROBE_TIME = 1000000001, PROBE_NANOS = 123456789 };

static FsCaps fs_cache[FS_CACHE];
static int fs_cached;
// Assumed where nothing is known: every bit kept, whole seconds.
static FsCaps keeps_all = {0, {KEEPS_MODES, KEEPS_MODES, 1, 0, 0, WHOLE_SECONDS, 0}, 1, 0, 0, -1, nullptr};

// The file system of a device met before, or the assumption.
static FsCaps *fs_of(file_dev_t dev)
{
	for (int i = 0; i < fs_cached; i++)
		if (fs_cache[i].dev == dev)
			return &fs_cache[i];
	return &keeps_all;
}

static int modes_kept(const FsCaps *fs, const FileStatus *status)
{
	return S_ISDIR(status->st_mode) ? fs->kind.dir_modes : fs->kind.file_modes;
}

// A modification time in whole seconds as the file system stores it.
static int64_t kept_time(const FsCaps *fs, int64_t t)
{
	if (fs->kind.time_step != 2)
		return t;
	return fs->kind.round_up ? t + (t & 1) : t - (t & 1);
}

// Whether the destination shows the permission bits that the source's
// would become there.
static int same_mode(const FsCaps *fs, const FileStatus *src, const FileStatus *dst)
{
	switch (modes_kept(fs, src)) {
	case KEEPS_NO_MODES:
		return 1;
	case KEEPS_WRITE_BIT:
		return !(src->st_mode & S_IWUSR) == !(dst->st_mode & S_IWUSR);
	default:
		return copy_mode_bits(src) == (dst->st_mode & 07777);
	}
}

// The mode to ask for so that an item, as it stands now, gets what the
// file system keeps of want; 0 when it keeps nothing and no change is to
// be asked for.  With the read-only attribute alone only the write bits
// may change: the others stay as the file system shows them, or the
// change is refused.
static int mode_to_set(const FsCaps *fs, const FileStatus *now, mode_t want, mode_t *mode)
{
	switch (modes_kept(fs, now)) {
	case KEEPS_NO_MODES:
		return 0;
	case KEEPS_WRITE_BIT:
		*mode = (now->st_mode & 0555) | (want & S_IWUSR ? 0222 : 0);
		return 1;
	default:
		*mode = want;
		return 1;
	}
}

// How far b's modification time lies after a's, in nanoseconds, held to
// a few seconds either way.
static int64_t nanos_after(const FileStatus *a, const FileStatus *b)
{
	int64_t seconds = (int64_t)b->st_mtime - (int64_t)a->st_mtime;
	if (seconds > 4 || seconds < -4)
		seconds = seconds > 0 ? 4 : -4;
	return seconds * WHOLE_SECONDS + mtime_nanos(b) - mtime_nanos(a);
}

// The step of the fraction of a second that a file system keeps, from a
// time set and the time got back: the coarsest power of ten that the time
// got is a multiple of and that lies within a step of the time set (cut
// down or rounded).  Never finer than the truth; coarser only where the
// time set had few digits, as a first copy's may.
static int32_t nanos_kept(const FileStatus *set, const FileStatus *got)
{
	int64_t off = nanos_after(set, got);
	if (off < 0)
		off = -off;
	int32_t step = WHOLE_SECONDS;
	while (step > 1 && (mtime_nanos(got) % step != 0 || off >= step))
		step /= 10;
	return step;
}

// Learns what the file system keeps from a file given the mode set and,
// where times_set is not null, its times: got is what it shows.  An odd
// second tells a step of two seconds.
static void learn_fs(FsCaps *fs, mode_t set, const FileStatus *times_set, const FileStatus *got)
{
	int64_t t = got->st_mtime, time_set = times_set != nullptr ? times_set->st_mtime : 0;
	if (time_set & 1) {
		fs->kind.time_step = t == time_set - 1 || t == time_set + 1 ? 2 : 1;
		fs->kind.round_up = t == time_set + 1;
	}
	if (times_set != nullptr)
		fs->kind.time_nanos = fs->kind.time_step == 2 ? WHOLE_SECONDS : nanos_kept(times_set, got);
	int keeps = KEEPS_NO_MODES;
	if ((got->st_mode & 0777) == (set & 0777))
		keeps = KEEPS_MODES;
	else if (!(set & 0222) && !(got->st_mode & 0222))
		keeps = KEEPS_WRITE_BIT;
	fs->kind.file_modes = keeps;
	fs->kind.dir_modes = keeps == KEEPS_MODES ? KEEPS_MODES : KEEPS_NO_MODES;
	fs->settled = 1;
}

// Whether the probe file, renamed, shows another time than before: one
// FUSE driver of FAT gives a renamed file the current time, so a copy
// there gets its times again once it has its name.  The probe keeps the
// new name, in name and path.
static int renamed_in_time(int dir_fd, char *name, char *path, time_t before)
{
	size_t len = strlen(path);
	if (len + 2 > PATH_BUF)
		return 0;
	char moved_path[PATH_BUF];
	memcpy(moved_path, path, len);
	memcpy(moved_path + len, "m", 2);
	const char *moved = moved_path + (len - strlen(name));
	FileStatus st;
	if (rename_at(dir_fd, name, path, moved, moved_path) != 0)
		return 0;
	strcat(name, "m");
	strcat(path, "m");
	return lstat_at(dir_fd, name, path, &st) == 0 && st.st_mtime != before;
}

// Finds out on a new file of its own in the directory, removed again:
// a mode without write bits, and where that does not hold, the same bits
// as shown less the write bits, which a read-only attribute can take.  A
// directory where no file can be made leaves the question to the next one,
// or to the first copy; once a file was made, the question is closed.
static void probe_fs(FsCaps *fs, int dir_fd, const char *dir)
{
	char name[48], path[PATH_BUF];
	snprintf(name, sizeof name, TEMP_PREFIX "probe-%ld", (long)getpid());
	if (join_path(path, PATH_BUF, dir, name) == nullptr)
		return;
	int fd = open_temp_at(dir_fd, name, path, S_IRUSR | S_IWUSR);
	if (fd < 0)
		return;
	fs->settled = 1;
	FileStatus set, got;
	memset(&set, 0, sizeof set);
	set.st_atime = set.st_mtime = PROBE_TIME;
	set_nanos(&set, PROBE_NANOS);
	set.st_mode = S_IFREG | 0551;
	int timed = set_times(fd, path, &set) == 0;
	mode_t tried = 0551;
	set_mode(fd, path, tried);
	int seen = stat_dir(fd, path, &got) == 0;
	if (seen && (got.st_mode & 0777) != tried) {
		tried = got.st_mode & 0555;
		set_mode(fd, path, tried);
		seen = stat_dir(fd, path, &got) == 0;
	}
	// Learnt against the first mode asked for: one that shows only after a
	// second try (0555 for 0551 on a share) is a read-only attribute.
	if (seen)
		learn_fs(fs, 0551, timed ? &set : nullptr, &got);
	set_mode(fd, path, S_IRUSR | S_IWUSR | 0222); // some will not unlink a read-only file
	close(fd);
	if (seen && timed)
		fs->kind.renames_touch = renamed_in_time(dir_fd, name, path, got.st_mtime);
	if (unlink_at(dir_fd, name, path) != 0)
		report_error("unlink", path);
}

// What the file system of a destination directory keeps, found the first
// time one of its directories is met.
OFF_THE_WALK static FsCaps *find_fs(int dir_fd, const char *dir, file_dev_t dev)
{
	FsCaps *fs = fs_of(dev);
	if (fs == &keeps_all) {
		if (fs_cached == FS_CACHE)
			return fs; // a tree over this many file systems assumes
		fs = &fs_cache[fs_cached++];
		fs->dev = dev;
		fs->settled = volume_kind(dir_fd, dir, &fs->kind);
		fs->flush_fd = keep_dir(dir_fd);
		fs->flush_kept = fs->flush_fd >= 0;
		if (fs->flush_kept) {
			size_t len = strlen(dir) + 1;
			fs->flush_path = (char *)xmalloc(len);
			memcpy(fs->flush_path, dir, len);
		}
	}
	if (!fs->settled)
		probe_fs(fs, dir_fd, dir);
	return fs;
}

// ---------------------------------------------------------------------
// Overlap and loop guards
// ---------------------------------------------------------------------

static int same_file(const FileStatus *a, const FileStatus *b)
{
	return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

// Whether path, its links resolved, is the destination root or lies below
// it: walks up the resolved path comparing each directory with the root.
static int lies_inside(const char *path)
{
	char *real = run.dest_known ? full_path(path) : nullptr;
	if (real == nullptr)
		return 0;
	size_t root = root_length(real);
	int inside = 0;
	for (;;) {
		FileStatus st;
		inside = file_status(real, &st) == 0 && st.st_dev == run.dest_dev && st.st_ino == run.dest_ino;
		char *cut = strrchr(real, SEPARATOR);
		if (inside || cut == nullptr || strlen(real) <= root)
			break;
		if ((size_t)(cut - real) < root)
			real[root] = '\0'; // the root keeps its separator
		else
			*cut = '\0';
	}
	free(real);
	return inside;
}

// Refuses a source that lies inside the destination, which the walk would
// delete as extraneous; notes the destination root, which the walk keeps
// out of the source.  Answers 1 to refuse the run.
int check_operands(const char *source, const char *dest)
{
	FileStatus dst, st;
	if (file_status(dest, &dst) != 0 || !S_ISDIR(dst.st_mode))
		return 0;
	run.dest_known = 1;
	run.dest_dev = dst.st_dev;
	run.dest_ino = dst.st_ino;
	if (file_status(source, &st) == 0 && same_file(&st, &dst))
		return 0; // one directory: nothing can differ
	if (!lies_inside(source))
		return 0;
	fprintf(stderr, "\ntreemir: source %s lies inside destination %s\n", err_text(source), err_text(dest));
	return 1;
}

// The destination root seen from inside the source: never mirrored into
// itself.
static int is_dest_root(const EntryNode *s)
{
	return run.dest_known && s->status.st_dev == run.dest_dev &&
	       s->status.st_ino == run.dest_ino;
}

// Whether a source directory is one the walk is inside: a link back to
// it would loop.
static int on_walk_path(const FileStatus *st)
{
	for (const WalkFrame *f = run.walk_path; f != nullptr; f = f->parent)
		if (f->dev == st->st_dev && f->ino == st->st_ino)
			return 1;
	return 0;
}

// ---------------------------------------------------------------------
// Workers
// ---------------------------------------------------------------------

// Workers read directory pairs ahead of the walk and copy small files, so
// that a cold disk has many requests in flight.  They decide nothing,
// remove and create nothing, and print nothing: a job records its output
// (put_text), and the walk takes the jobs in its own order and replays
// them where its own acts would have printed.  A job that no worker has
// started when the walk needs it is run by the walk itself, so the walk
// never waits for work nobody does.  Jobs are made and freed by the walk,
// except that a worker reading a pair ahead queues that pair's
// subdirectories below it (Listed.kids), up to listed_cap pairs in all.
//
// A pair read ahead is used only where it was read whole: a side that
// could not be opened or read is read again by the walk, with today's
// words, so a worker's own want of descriptors never shows.  The
// destination side is read relative to the parent's open directory and
// without following links, and it is used only if it is the very
// directory the parent's listing showed; the walk changes nothing in a
// subdirectory before it descends into it.  The listings are snapshots in
// any case: they are only taken a little earlier.
enum { JOB_QUEUED, JOB_RUNNING, JOB_DONE };
enum { JOB_LIST, JOB_COPY, JOB_FLUSH };
enum {
	MAX_WORKERS = 16,
	RESERVED_FDS = 128,   // for the walk's own directories, one per level
	FDS_PER_WORKER = 64,  // two per pair read ahead, two per copy
	AHEAD_PER_WORKER = 8,
	AHEAD_ENTRIES = 8192, // entries in the pairs read ahead: about 2 MiB
	COPY_WINDOW = 64,     // the most copies queued ahead of the one the walk takes
};

struct Job {
	Job *next; // circular, through its queue's head, while queued
	Job *prev;
	int kind;
	int state; // under pool.lock
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
	int64_t entries;    // counted in pool.entries until it is freed
};

// A file a worker copies, its output kept for the walk.
struct CopyJob {
	Job job;
	char *header;
	const Side *src, *dst;
	const EntryNode *entry;
	int held;
	Recording out;
	CopyResult result;
};

static struct {
	std::mutex lock;
	std::condition_variable work; // a job was queued, or the pool stops
	std::condition_variable done; // the job the walk waits for ended
	Job *awaited;
	Job flushes;                  // barriers of sealed batches, taken first
	Job copies;                   // first in, first out
	Job listings;                 // last in, first out: the nearest pairs
	int stopping;
	int listed;                   // pairs read ahead, not yet freed
	int listed_cap;
	int64_t entries;              // their entries, both sides
	int32_t copy_window;          // copies queued at once
	int64_t fd_limit;
	int32_t walk_depth;           // pairs the walk holds open
	int32_t reading;              // pairs workers are reading
	int64_t pairs_read, entries_read;
	std::thread *threads;
	int count;
} pool;

static thread_local char *own_buffer; // a worker's copy buffer

static void queue_job(Job *head, Job *job, int at_front)
{
	Job *after = at_front ? head : head->prev;
	job->state = JOB_QUEUED;
	job->prev = after;
	job->next = after->next;
	after->next->prev = job;
	after->next = job;
}

static void unqueue_job(Job *job)
{
	job->prev->next = job->next;
	job->next->prev = job->prev;
}

// Whether one more pair may be read ahead: the pairs read and being read
// (at the average size so far) must hold fewer than AHEAD_ENTRIES entries.
static int room_to_read(void)
{
	if (pool.pairs_read == 0)
		return pool.reading == 0; // the size of a pair is not known yet
	int64_t average = pool.entries_read / pool.pairs_read;
	return pool.entries + (pool.reading + 1) * average < AHEAD_ENTRIES;
}

// The next job for a worker: a barrier, a copy, else a pair to read while
// there is room.
static Job *next_job(void)
{
	Job *head = pool.flushes.next != &pool.flushes ? &pool.flushes
	            : pool.copies.next != &pool.copies ? &pool.copies : &pool.listings;
	Job *job = head->next;
	if (job == head || (head == &pool.listings && !room_to_read()))
		return nullptr;
	unqueue_job(job);
	return job;
}

static void read_ahead(Listed *l);
struct Batch;
static void run_barrier(Batch *b);

static void run_job(Job *job)
{
	if (job->kind == JOB_LIST) {
		read_ahead((Listed *)job);
		return;
	}
	if (job->kind == JOB_FLUSH) {
		run_barrier((Batch *)job);
		return;
	}
	CopyJob *c = (CopyJob *)job;
	recording = &c->out;
	copy_file(c->header, c->src, c->dst, c->entry, c->held, &c->result);
	recording = nullptr;
}

static void work(void)
{
	std::unique_lock<std::mutex> hold(pool.lock);
	for (;;) {
		Job *job = next_job();
		if (job == nullptr && pool.stopping)
			break;
		if (job == nullptr) {
			pool.work.wait(hold);
			continue;
		}
		job->state = JOB_RUNNING;
		pool.reading += job->kind == JOB_LIST;
		hold.unlock();
		run_job(job);
		hold.lock();
		pool.reading -= job->kind == JOB_LIST;
		job->state = JOB_DONE;
		if (job == pool.awaited)
			pool.done.notify_one();
	}
	hold.unlock();
	free(own_buffer);
}

// Runs a queued job on the walk's own thread.
static void run_here(Job *job, std::unique_lock<std::mutex> &hold)
{
	unqueue_job(job);
	job->state = JOB_RUNNING;
	hold.unlock();
	run_job(job);
	hold.lock();
	job->state = JOB_DONE;
}

// Waits for a job a worker runs.  While a copy is awaited, the walk takes
// the next queued copy itself (it needs them all, and soon) instead of
// sleeping: a thread woken for every small file costs more than the file.
static void await_job(Job *job, std::unique_lock<std::mutex> &hold)
{
	while (job->state != JOB_DONE) {
		if (job->kind == JOB_COPY && pool.copies.next != &pool.copies) {
			run_here(pool.copies.next, hold);
			continue;
		}
		pool.awaited = job;
		pool.done.wait(hold);
		pool.awaited = nullptr;
	}
}

// Waits for a job the walk needs, running it itself if no worker has.
static void finish_job(Job *job)
{
	std::unique_lock<std::mutex> hold(pool.lock);
	if (job->state == JOB_QUEUED)
		run_here(job, hold);
	else
		await_job(job, hold);
}

// Takes back a job the walk no longer needs; answers 1 if it never ran.
static int cancel_job(Job *job)
{
	std::unique_lock<std::mutex> hold(pool.lock);
	if (job->state == JOB_QUEUED) {
		unqueue_job(job);
		return 1;
	}
	await_job(job, hold);
	return 0;
}

// The workers the run can afford: each holds descriptors of its own, and
// the walk keeps RESERVED_FDS for its own directories.  One worker is the
// walk alone.  Their threads start only once the walk is seen to wait.
void start_workers(int64_t fd_limit)
{
	int64_t n = (fd_limit - RESERVED_FDS) / FDS_PER_WORKER;
	run.workers = n < 1 ? 1 : n > MAX_WORKERS ? MAX_WORKERS : (int32_t)n;
	pool.flushes.next = pool.flushes.prev = &pool.flushes;
	pool.copies.next = pool.copies.prev = &pool.copies;
	pool.listings.next = pool.listings.prev = &pool.listings;
	own_buffer = run.copy_buffer;
	if (run.workers == 1)
		return;
	share_heap();
	pool.listed_cap = run.workers * AHEAD_PER_WORKER;
	pool.fd_limit = fd_limit;
	// Reading ahead waits on the disk, and gains from every request in
	// flight; copying spends processor time in the kernel, and more
	// copies than processors only contend for them.
	unsigned cores = std::thread::hardware_concurrency();
	pool.copy_window = cores == 0 || cores >= COPY_WINDOW / 2 ? COPY_WINDOW : 2 * (int32_t)cores;
}

// Starts the workers' threads, the first time a read or a copy would wait
// on a disk.  Where all is in memory the walk is faster alone: handing
// work over costs more than doing it.  On the walk's thread.
static void start_threads(void)
{
	if (pool.count > 0 || run.workers == 1)
		return;
	pool.threads = new std::thread[run.workers];
	for (pool.count = 0; pool.count < run.workers; pool.count++)
		pool.threads[pool.count] = std::thread(work);
}

void stop_workers(void)
{
	if (pool.count == 0)
		return;
	{
		std::lock_guard<std::mutex> hold(pool.lock);
		pool.stopping = 1;
	}
	pool.work.notify_all();
	for (int i = 0; i < pool.count; i++)
		pool.threads[i].join();
	delete[] pool.threads;
	pool.count = 0;
}

// The copy buffer of the thread that copies.
static char *copy_buffer(void)
{
	if (own_buffer == nullptr)
		own_buffer = (char *)xmalloc((size_t)run.buffer_size);
	return own_buffer;
}

// How many more pairs may be read ahead: each holds two descriptors, which
// the walk, two a level, must never run short of; together they hold no
// more than an eighth of the limit.  Under pool.lock.
static int32_t ahead_room(void)
{
	int64_t spare = pool.fd_limit - RESERVED_FDS / 2 - 2 * (int64_t)pool.walk_depth - 4 * (int64_t)pool.count;
	int64_t fds = spare < pool.fd_limit / 8 ? spare : pool.fd_limit / 8;
	int64_t room = fds / 2 - pool.listed;
	if (pool.listed_cap - pool.listed < room)
		room = pool.listed_cap - pool.listed;
	return room > 0 ? (int32_t)room : 0;
}

// Queues a pair read ahead of the walk for each subdirectory of a pair
// whose destination directory is open in dst_fd and that has none yet,
// the last first, so that the first is the next taken; within the caps on
// what is read ahead.  Only below a pair whose reading waited: where it
// did not, the tree is in memory, and the walk reads it faster itself.
static void queue_kids(const Side *src, int dst_fd, const char *dst_path, Listed ***kids,
                       int32_t *count)
{
	if (!src->waited)
		return;
	const EntryList *dirs = &src->list.dirs;
	if (*kids == nullptr && (*kids = (Listed **)calloc((size_t)dirs->count, sizeof **kids)) == nullptr)
		return;
	*count = dirs->count;
	std::unique_lock<std::mutex> hold(pool.lock);
	int32_t room = ahead_room(), last = -1, queued = 0;
	for (int32_t i = 0; i < dirs->count && room > 0; i++)
		if ((*kids)[i] == nullptr)
			last = i, room--;
	for (int32_t i = last; i >= 0; i--) {
		if ((*kids)[i] != nullptr)
			continue;
		const char *name = dirs->index[i]->name;
		size_t slen = strlen(src->path) + strlen(name) + 2, dlen = strlen(dst_path) + strlen(name) + 2;
		if (slen > PATH_BUF || dlen > PATH_BUF)
			continue; // the walk reports it
		Listed *l = (Listed *)calloc(1, sizeof *l);
		if (l == nullptr)
			break;
		l->src_path = (char *)xmalloc(slen);
		l->dst_path = (char *)xmalloc(dlen);
		join_path(l->src_path, slen, src->path, name);
		join_path(l->dst_path, dlen, dst_path, name);
		l->parent = dst_fd;
		l->name = name;
		l->job.kind = JOB_LIST;
		queue_job(&pool.listings, &l->job, 1);
		pool.listed++;
		queued++;
		(*kids)[i] = l;
	}
	hold.unlock();
	// As many workers woken as there are pairs: waking all of them for
	// one would cost more than the pair.
	for (int32_t i = 0; i < queued && i < pool.count; i++)
		pool.work.notify_one();
}

// A worker's reading of a pair: the source by its path, as the walk reads
// it, then the destination relative to its parent; each side's output
// kept for the walk.
static void read_ahead(Listed *l)
{
	Item src = {CURRENT_DIR, l->src_path, l->src_path};
	int64_t waits = times_waited();
	recording = &l->src_out;
	l->src_ok = scan_at(&src, 1, 0, &l->src) == 0;
	recording = &l->dst_out;
	if (l->src_ok) {
		init_side(&l->dst, l->dst_path);
		l->dst.fd = open_dir_at(l->parent, l->name, l->dst_path, 0);
		l->dst_ok = l->dst.fd >= 0 && list_side(&l->dst, 1) == 0;
	}
	recording = nullptr;
	l->src.waited = times_waited() != waits;
	l->entries = (int64_t)l->src.list.files.count + l->src.list.dirs.count;
	if (l->dst_ok)
		l->entries += (int64_t)l->dst.list.files.count + l->dst.list.dirs.count;
	{
		std::lock_guard<std::mutex> hold(pool.lock);
		pool.entries += l->entries;
		pool.entries_read += l->entries;
		pool.pairs_read++;
	}
	if (l->dst_ok)
		queue_kids(&l->src, l->dst.fd, l->dst_path, &l->kids, &l->kid_count);
}

static void drop_listed(Listed *l);

static void drop_kids(Listed ***kids, int32_t *count)
{
	for (int32_t i = 0; i < *count; i++)
		drop_listed((*kids)[i]);
	free(*kids);
	*kids = nullptr;
	*count = 0;
}

// Gives up the destination side of a pair read ahead, and all that was
// read below it, relative to it.
static void drop_dest(Listed *l)
{
	drop_kids(&l->kids, &l->kid_count);
	if (l->dst_ok)
		close_side(&l->dst);
	l->dst_ok = 0;
	free_recording(&l->dst_out);
}

// Frees a pair read ahead, with whatever of it the walk did not take.
static void drop_listed(Listed *l)
{
	if (l == nullptr)
		return;
	cancel_job(&l->job);
	drop_dest(l);
	if (l->src_ok)
		close_side(&l->src);
	free_recording(&l->src_out);
	free(l->src_path);
	free(l->dst_path);
	std::lock_guard<std::mutex> hold(pool.lock);
	pool.listed--;
	pool.entries -= l->entries;
	free(l);
	if (pool.listings.next != &pool.listings)
		pool.work.notify_one(); // a pair held back by the cap may be read now
}

// ---------------------------------------------------------------------
// Placing copies
// ---------------------------------------------------------------------

// A copy takes its name only once its data is on the disk.  A finished
// copy waits under its temporary's name in its directory, held in the
// open batch, in the walk's order.  A full batch is sealed and its barrier
// started: one flush of each file system it wrote to, run by a worker
// while the walk goes on.  When the next batch is sealed, or the run ends,
// the walk waits for that barrier and gives the sealed batch's copies
// their names, in the order they were made.  After a power cut every name
// then holds its old file or the whole new one: no name is ever given to
// data that had not reached the disk, and no old file is gone before its
// replacement is there.  A batch of many small copies costs one barrier,
// not one per file; one of large copies is placed at once, so that the
// old files it replaces do not hold their room while the next batch is
// written.
//
// Batches are sealed, and copies placed, at points that follow the walk's
// order alone (counts, sizes, the room measured before a pair's copies,
// the walk's own descriptors), so one worker and many give the same names
// at the same points, with the same lines.
//
// A directory that holds waiting copies is kept open for them (HeldDir,
// counted): its pair may end first.
enum {
	BATCH_COPIES = 1024,        // copies in one batch
	BATCH_BYTES = 64 << 20,     // their data, at most; less on a fuller disk
	BATCH_ROOM_SHARE = 8,       // a batch holds at most this part of the free room
};

struct HeldDir {
	int fd;
	int refs;        // its pair while that is open, and each group of copies
	int pair_ended;  // the descriptor is the groups' alone
	char *path;
	FsCaps *fs;
	file_dev_t dev;
};

struct Placement {
	Placement *next;    // circular, through its group's head
	char *name;
	unsigned serial;    // its temporary
	FileStatus status;  // the times, given again where a rename touches them
};

// The copies of one directory in one batch, in the order they were made.
struct PlaceGroup {
	PlaceGroup *next;   // circular, through the batch's head
	HeldDir *dir;
	Placement head;
	Placement *last;
	int err;            // the barrier's failure on its file system, or 0
	int flushed;        // the barrier flushed its file system through it
};

struct Batch {
	Job job;            // its barrier, first in, first out
	PlaceGroup head;
	PlaceGroup *last;
	int64_t count;
	int64_t bytes;
};

static Batch batches[2];
static Batch *open_batch = &batches[0], *sealed_batch = nullptr;
static int64_t batch_bytes = BATCH_BYTES; // for the pair being copied
static int32_t held_dirs;                  // ended pairs kept open for copies
static int32_t held_dirs_cap = 16;

static void init_batch(Batch *b)
{
	b->head.next = &b->head;
	b->last = &b->head;
	b->count = 0;
	b->bytes = 0;
}

static int batch_empty(const Batch *b)
{
	return b->head.next == &b->head;
}

static void release_dir(HeldDir *d)
{
	if (--d->refs > 0)
		return;
	if (d->pair_ended) {
		close_dir(d->fd);
		held_dirs--;
	}
	free(d->path);
	free(d);
}

// The barrier: each file system of the batch flushed once.  Records
// nothing; the walk reports a failure when it places the batch.
static void run_barrier(Batch *b)
{
	for (PlaceGroup *g = b->head.next; g != &b->head; g = g->next) {
		PlaceGroup *seen = b->head.next;
		while (seen != g && seen->dir->dev != g->dir->dev)
			seen = seen->next;
		g->flushed = seen == g;
		g->err = !g->flushed ? seen->err : flush_fs(g->dir->fd) != 0 ? errno : 0;
	}
}

static void start_barrier(Batch *b)
{
	b->job.kind = JOB_FLUSH;
	if (pool.count == 0) {
		run_barrier(b);
		return;
	}
	{
		std::lock_guard<std::mutex> hold(pool.lock);
		queue_job(&pool.flushes, &b->job, 0);
	}
	pool.work.notify_one();
}

// Gives one waiting copy its name; a copy whose data may not be on the
// disk goes, and the old file stays.
OFF_THE_WALK static void place_one(const PlaceGroup *g, const Placement *p)
{
	char temp[40], path[PATH_BUF], temp_path[PATH_BUF + 40];
	snprintf(temp, sizeof temp, TEMP_PREFIX "%u", p->serial);
	join_path(path, sizeof path, g->dir->path, p->name); // it fit when the copy was made
	join_path(temp_path, sizeof temp_path, g->dir->path, temp);
	if (g->err == 0) {
		if (rename_at(g->dir->fd, temp, temp_path, p->name, path) != 0) {
			report_error("rename", path);
		} else {
			if (g->dir->fs->kind.renames_touch &&
			    set_times_at(g->dir->fd, p->name, path, &p->status) != 0)
				report_error("utime", path);
			return;
		}
	}
	// A temporary already gone went with its directory.
	if (unlink_at(g->dir->fd, temp, temp_path) != 0 && errno != ENOENT)
		report_error("unlink", path);
}

// Waits for the sealed batch's barrier and places its copies in order.
static void place_sealed(void)
{
	Batch *b = sealed_batch;
	if (b == nullptr)
		return;
	if (pool.count > 0)
		finish_job(&b->job);
	sealed_batch = nullptr;
	for (PlaceGroup *g = b->head.next, *next; g != &b->head; g = next) {
		next = g->next;
		if (g->err != 0 && g->flushed)
			report_errno("syncfs", g->dir->path, g->err);
		for (Placement *p = g->head.next, *after; p != &g->head; p = after) {
			after = p->next;
			place_one(g, p);
			free(p->name);
			free(p);
		}
		release_dir(g->dir);
		free(g);
	}
	init_batch(b);
}

// Places what was sealed before, then seals the open batch.
static void seal_batch(void)
{
	place_sealed();
	if (batch_empty(open_batch))
		return;
	sealed_batch = open_batch;
	open_batch = open_batch == &batches[0] ? &batches[1] : &batches[0];
	init_batch(open_batch);
	start_barrier(sealed_batch);
}

// Every waiting copy placed now: before a directory holding some is made
// read-only, where the walk runs short of descriptors or room, and at the
// end of the run.  On the walk's thread only.
static void place_copies(void)
{
	seal_batch();
	place_sealed();
}

static HeldDir *hold_dir(const Side *dst)
{
	HeldDir *d = (HeldDir *)xmalloc(sizeof *d);
	size_t len = strlen(dst->path) + 1;
	d->path = (char *)xmalloc(len);
	memcpy(d->path, dst->path, len);
	d->fd = dst->fd;
	d->refs = 1;
	d->pair_ended = 0;
	d->fs = dst->fs;
	d->dev = dst->status.st_dev;
	return d;
}

// Holds a finished copy of the pair whose destination is dst (held for it
// in *dir) in the open batch, and seals the batch once it is full.  A copy
// of many bytes, and a full batch of them, is placed at once.
static void hold_copy(HeldDir **dir, const Side *dst, const EntryNode *s, const CopyResult *r)
{
	if (!r->waiting)
		return;
	if (*dir == nullptr)
		*dir = hold_dir(dst);
	Batch *b = open_batch;
	PlaceGroup *g = b->last;
	if (g == &b->head || g->dir != *dir) {
		g = (PlaceGroup *)xmalloc(sizeof *g);
		g->dir = *dir;
		(*dir)->refs++;
		g->head.next = &g->head;
		g->last = &g->head;
		g->err = 0;
		g->flushed = 0;
		g->next = &b->head;
		b->last->next = g;
		b->last = g;
	}
	Placement *p = (Placement *)xmalloc(sizeof *p);
	size_t len = strlen(s->name) + 1;
	p->name = (char *)xmalloc(len);
	memcpy(p->name, s->name, len);
	p->serial = r->serial;
	p->status = s->status;
	p->next = &g->head;
	g->last->next = p;
	g->last = p;
	b->count++;
	b->bytes += s->status.st_size;
	if (b->bytes >= batch_bytes)
		place_copies();
	else if (b->count >= BATCH_COPIES || held_dirs >= held_dirs_cap)
		seal_batch();
}

// A pair ends: a directory that still holds waiting copies stays open for
// them; answers 1 when its descriptor is theirs now.
static int release_pair_dir(HeldDir **dir)
{
	HeldDir *d = *dir;
	*dir = nullptr;
	if (d == nullptr)
		return 0;
	if (d->refs == 1) {
		release_dir(d);
		return 0;
	}
	d->pair_ended = 1;
	d->refs--;
	if (++held_dirs >= held_dirs_cap)
		seal_batch();
	return 1;
}

// Before a pair's copies: a batch holds at most a part of the room left,
// so that the old files it replaces, which keep theirs until it is
// placed, never crowd out the copies after them.
static void measure_room(int dst_fd)
{
	int64_t room = free_bytes(dst_fd);
	batch_bytes = BATCH_BYTES;
	if (room >= 0 && room / BATCH_ROOM_SHARE < batch_bytes)
		batch_bytes = room / BATCH_ROOM_SHARE;
}

// Unmakes a finished copy that will not be placed.
OFF_THE_WALK static void discard_copy(const Side *dst, const CopyResult *r)
{
	char temp[40], path[PATH_BUF + 40];
	if (!r->waiting)
		return;
	snprintf(temp, sizeof temp, TEMP_PREFIX "%u", r->serial);
	if (join_path(path, sizeof path, dst->path, temp) != nullptr && unlink_at(dst->fd, temp, path) != 0)
		report_error("unlink", path);
}

// The end of the run: every copy placed, and each destination file system
// the run changed flushed, so that a run that has printed its summary has
// its copies, their names and its removals on the disk.
void finish_placing(void)
{
	place_copies();
	for (int i = 0; i < fs_cached; i++)
		if (fs_cache[i].written && fs_cache[i].flush_kept && flush_fs(fs_cache[i].flush_fd) != 0)
			report_error("syncfs", fs_cache[i].flush_path);
}

// The walk ran out of descriptors: the directories kept open for waiting
// copies are given back, their copies placed.  Answers 1 when some were.
static int shed_held_dirs(void)
{
	if (recording != nullptr || held_dirs == 0)
		return 0;
	place_copies();
	return 1;
}

void init_placing(int64_t fd_limit)
{
	init_batch(&batches[0]);
	init_batch(&batches[1]);
	int64_t cap = fd_limit / 32;
	held_dirs_cap = cap < 4 ? 4 : cap > 64 ? 64 : (int32_t)cap;
}

// ---------------------------------------------------------------------
// Pair walk
// ---------------------------------------------------------------------

// One directory pair in hand.
struct PairWalk {
	char header[HEADER_BUF];
	Side src;
	Side dst;
	Item at;             // the destination directory, in its parent
	Listed *ahead;       // the pair as a worker read it, or null
	Listed **kids;       // the subdirectory pairs read ahead, by index
	int32_t kid_count;
	PairWalk *parent;    // the pair it lies in
	int changed;         // something was removed or copied here
	int source_complete; // every source entry's status could be read
	int same_dir;        // source and destination are one directory
	int temp_names;      // a source file bears a temporary's name
	HeldDir *held;       // the destination, kept for copies waiting there
};

static int sync_pair(const char *source, const Item *dest, Listed *ahead);

static PairWalk *innermost; // the pair the walk is in
static int dir_made;         // the directory the walk enters next was just made

// Makes the destination writable before its first removal or copy.  Only
// the owner's bits are added: nothing is ever made writable for others.
static void ready_for_change(PairWalk *w)
{
	if (w->changed)
		return;
	w->changed = 1;
	w->dst.fs->written = 1;
	w->dst.default_acl = has_default_acl(w->dst.fd);
	mode_t mode;
	if ((w->dst.status.st_mode & S_IRWXU) != S_IRWXU &&
	    mode_to_set(w->dst.fs, &w->dst.status, (w->dst.status.st_mode & 07777) | S_IRWXU, &mode))
		set_mode(w->dst.fd, w->dst.path, mode);
}

// Names the destination entry name as an item of the pair, its path built
// in buf (PATH_BUF bytes); answers 1 after reporting a path too long for
// the act op.
static int dest_item(PairWalk *w, Item *it, char *buf, const char *name, const char *op)
{
	it->dir = w->dst.fd;
	it->name = name;
	it->path = buf;
	return item_path(buf, w->dst.path, name, op);
}

// A temporary that a run cut short left behind: never part of the mirror.
static int is_leftover(const EntryNode *d)
{
	return !d->is_link && S_ISREG(d->status.st_mode) &&
	       strncmp(d->name, TEMP_PREFIX, sizeof TEMP_PREFIX - 1) == 0;
}

// Removes the destination files the source lacks, and without a line, also
// with -r, the temporaries of an interrupted run.
OFF_THE_WALK static void remove_extra_files(PairWalk *w, int remove_missing)
{
	EntryList *files = &w->dst.list.files;
	char path[PATH_BUF];
	Item it;
	for (int32_t i = 0; i < files->count; i++) {
		const EntryNode *d = files->index[i];
		int leftover = is_leftover(d);
		if (find_entry(&w->src.list.files, d) != nullptr || !(leftover || remove_missing) ||
		    dest_item(w, &it, path, d->name, "unlink"))
			continue;
		ready_for_change(w);
		if (leftover)
			remove_path(&it);
		else
			remove_file(w->header, &it);
	}
}

// Whether a source directory of the pair is this destination directory,
// reached through a link: what the source shows is never removed.
static int seen_in_source(PairWalk *w, const EntryNode *d)
{
	EntryList *dirs = &w->src.list.dirs;
	for (int32_t i = 0; i < dirs->count; i++)
		if (same_file(&dirs->index[i]->status, &d->status))
			return 1;
	return 0;
}

// Whether a destination subdirectory goes: the source lacks it (where the
// pair removes at all), or it is a link standing where the source has a
// directory.
static int dir_goes(PairWalk *w, const EntryNode *d, int remove_missing)
{
	if (find_entry(&w->src.list.dirs, d) != nullptr)
		return d->is_link;
	return remove_missing && (d->is_link || !seen_in_source(w, d));
}

// Removes the destination subtrees the source lacks, and the links that
// stand where the source has a directory: a link is removed itself, its
// target never entered.
OFF_THE_WALK static void remove_extra_dirs(PairWalk *w, int remove_missing)
{
	char path[PATH_BUF];
	Item it;
	for (int32_t i = 0; i < w->dst.list.dirs.count; i++) {
		const EntryNode *d = w->dst.list.dirs.index[i];
		if (!dir_goes(w, d, remove_missing) ||
		    dest_item(w, &it, path, d->name, d->is_link ? "unlink" : "rmdir"))
			continue;
		ready_for_change(w);
		if (d->is_link)
			remove_link(w->header, &it);
		else
			remove_subtree(w->header, &it, d, w->dst.status.st_dev);
	}
}

// How far the source's modification time lies after the destination's, in
// the finest step that both the destination's file system and its stored
// time show: in nanoseconds (within the file system's step, which cuts or
// rounds) where the stored time has a fraction, else in whole seconds as
// the file system stores them, as copies made in whole seconds carry.
static int64_t time_after(const FsCaps *fs, const FileStatus *src, const FileStatus *dst)
{
	if (mtime_nanos(dst) != 0 && fs->kind.time_nanos < WHOLE_SECONDS) {
		int64_t off = nanos_after(dst, src);
		return off >= fs->kind.time_nanos || off <= -fs->kind.time_nanos ? off : 0;
	}
	int64_t src_time = kept_time(fs, src->st_mtime), dst_time = kept_time(fs, dst->st_mtime);
	return (uint64_t)src_time > (uint64_t)dst_time ? 1 : src_time != dst_time ? -1 : 0;
}

// The copy rule, decided on the snapshots of both listings and on what the
// destination's file system keeps: times compare as it stores them.  A
// link in the destination is never taken for the file it points at, and in
// mode 0 a copy whose permission bits drifted differs as much as one whose
// data did.
static int needs_copy(const FsCaps *fs, const EntryNode *s, const EntryNode *d)
{
	if (d == nullptr || d->is_link)
		return 1;
	int64_t after = time_after(fs, &s->status, &d->status);
	if (run.copy_mode == 0)
		return s->status.st_size != d->status.st_size || after != 0 || !same_mode(fs, &s->status, &d->status);
	return after > 0;
}

// What holds a copy's name in the destination.  A file with other names
// may be one of them outside the destination, or in the source: it is
// replaced, never rewritten.  A directory (kept with -r) is never replaced.
static int name_held(PairWalk *w, const EntryNode *s, const EntryNode *d)
{
	if (d != nullptr)
		return !d->is_link && d->status.st_nlink > 1 ? NAME_SHARED : NAME_TAKEN;
	return find_entry(&w->dst.list.dirs, s) != nullptr ? NAME_DIR : NAME_FREE;
}

// Whether the pair's copies may be made side by side, so that their order
// cannot matter: on a file system whose ways are known (a first copy there
// teaches them) and that keeps every mode, as native ones do, which also
// tell names apart by case (on one that folds case, two source names may
// be one file there, and the later copy must win); and where no source
// file bears a temporary's name, which a copy beside it may be using.
static int copies_side_by_side(PairWalk *w)
{
	return run.workers > 1 && w->dst.fs->settled && w->dst.fs->kind.file_modes == KEEPS_MODES &&
	       !w->temp_names;
}

// Whether a source file of the pair bears a temporary's name.
static int holds_temp_names(PairWalk *w)
{
	EntryList *files = &w->src.list.files;
	for (int32_t i = 0; i < files->count; i++)
		if (strncmp(files->index[i]->name, TEMP_PREFIX, sizeof TEMP_PREFIX - 1) == 0)
			return 1;
	return 0;
}

// A copy a worker may make: a file that fits one buffer (its percentage is
// one step, so nothing is lost by showing it at once), into a name no
// directory holds.
static int worker_may_copy(const EntryNode *s, int held)
{
	return held != NAME_DIR && (uint64_t)s->status.st_size <= (uint64_t)run.buffer_size;
}

// Whether the pair's copies go to workers: only where the source's data
// must come from its disk, as the first such file's tells.  Data in memory
// is copied faster by the walk alone: copies in parallel only contend for
// the processors in the kernel.
static int copies_wait_for_disk(PairWalk *w, const EntryNode *s, int *asked)
{
	if (*asked == 0) {
		*asked = data_in_memory(w->src.fd, s->name) ? 1 : 2;
		if (*asked == 2)
			start_threads();
	}
	return *asked == 2;
}

enum { COPY_NONE, COPY_BY_WALK, COPY_BY_WORKER };

struct CopyPlan {
	unsigned char how;
	unsigned char held;
};

// Decides every copy of the pair, in name order, on the snapshots.
static CopyPlan *plan_copies(PairWalk *w)
{
	EntryList *files = &w->src.list.files;
	CopyPlan *plan = (CopyPlan *)xmalloc((size_t)files->count * sizeof *plan);
	int asked = 0, side_by_side = -1;
	w->temp_names = holds_temp_names(w);
	for (int32_t i = 0; i < files->count; i++) {
		const EntryNode *s = files->index[i];
		run.checked_count++;
		const EntryNode *d = find_entry(&w->dst.list.files, s);
		plan[i].how = COPY_NONE;
		if (w->same_dir || !needs_copy(w->dst.fs, s, d))
			continue;
		ready_for_change(w);
		plan[i].held = (unsigned char)name_held(w, s, d);
		if (side_by_side < 0)
			side_by_side = copies_side_by_side(w);
		plan[i].how = side_by_side && worker_may_copy(s, plan[i].held) && copies_wait_for_disk(w, s, &asked)
		                  ? COPY_BY_WORKER
		                  : COPY_BY_WALK;
	}
	return plan;
}

static void queue_copy(CopyJob *c, PairWalk *w, const EntryNode *s, int held)
{
	*c = {{nullptr, nullptr, JOB_COPY, JOB_QUEUED}, w->header, &w->src, &w->dst, s, held, {nullptr, 0, 0},
	      {0, 0, 0}};
	{
		std::lock_guard<std::mutex> hold(pool.lock);
		queue_job(&pool.copies, &c->job, 0);
	}
	pool.work.notify_one();
}

// Holds a finished copy of the pair for placing.  Where a source file
// bears a temporary's name, which a waiting copy may be using, every copy
// of the pair is placed at once.
static void hold_pair_copy(PairWalk *w, const EntryNode *s, const CopyResult *r)
{
	hold_copy(&w->held, &w->dst, s, r);
	if (w->temp_names)
		place_copies();
}

static void copy_here(PairWalk *w, const EntryNode *s, int held)
{
	CopyResult r;
	copy_file(w->header, &w->src, &w->dst, s, held, &r);
	hold_pair_copy(w, s, &r);
}

// A worker's copy that ran short of room may have lost it to copies
// after it, made side by side: those are taken back, their temporaries
// removed and their lines never shown, and the walk makes the rest of the
// pair's copies itself from this one on, in name order, as one thread
// would have.
static void take_back_copies(PairWalk *w, CopyJob *ring, int32_t window, int32_t from, int32_t to,
                             CopyPlan *plan, int32_t count)
{
	for (int32_t j = from; j < to; j++) {
		CopyJob *c = &ring[j % window];
		if (plan[j].how != COPY_BY_WORKER || cancel_job(&c->job))
			continue;
		discard_copy(&w->dst, &c->result);
		free_recording(&c->out);
	}
	for (int32_t j = from; j < count; j++)
		if (plan[j].how == COPY_BY_WORKER)
			plan[j].how = COPY_BY_WALK;
}

// Copies in name order.  Workers take the small files up to copy_window
// ahead of the walk, which copies the rest itself and writes out every
// copy's lines in turn.
OFF_THE_WALK static void copy_changed_files(PairWalk *w)
{
	EntryList *files = &w->src.list.files;
	if (files->count == 0)
		return;
	CopyPlan *plan = plan_copies(w);
	if (w->changed && !w->dst.fs->kind.in_memory)
		measure_room(w->dst.fd);
	int32_t window = pool.copy_window;
	CopyJob *ring = pool.count > 0 ? (CopyJob *)xmalloc((size_t)window * sizeof *ring) : nullptr;
	for (int32_t i = 0, queued = 0; i < files->count; i++) {
		// Nothing is copied ahead of a copy the walk makes itself, so that
		// a disk filling up meets the copies in name order.
		for (; ring != nullptr && queued < files->count && queued < i + window &&
		       (queued == i || plan[queued - 1].how != COPY_BY_WALK);
		     queued++)
			if (plan[queued].how == COPY_BY_WORKER)
				queue_copy(&ring[queued % window], w, files->index[queued], plan[queued].held);
		if (plan[i].how == COPY_BY_WORKER) {
			CopyJob *c = &ring[i % window];
			finish_job(&c->job);
			if (c->result.short_of_room) {
				free_recording(&c->out);
				take_back_copies(w, ring, window, i + 1, queued, plan, files->count);
				queued = files->count;
				copy_here(w, files->index[i], plan[i].held);
				continue;
			}
			replay(&c->out, w->header);
			hold_pair_copy(w, files->index[i], &c->result);
		} else if (plan[i].how == COPY_BY_WALK) {
			copy_here(w, files->index[i], plan[i].held);
		}
	}
	free(ring);
	free(plan);
}

// A link, FIFO, socket or device may stand where the source has a
// directory; it goes like any file the source lacks, also with -r, which
// keeps only real files and directories.
static void clear_special(PairWalk *w, const Item *it)
{
	FileStatus st;
	if (lstat_at(it->dir, it->name, it->path, &st) == 0 && !S_ISDIR(st.st_mode) &&
	    !S_ISREG(st.st_mode)) {
		ready_for_change(w);
		remove_file(w->header, it);
	}
}

// Takes the i-th subdirectory pair as a worker read it, if one did.  Its
// destination side stands only if it is the directory the parent's
// listing showed, d, and the walk left it in place.
static Listed *take_kid(PairWalk *w, int32_t i, const EntryNode *d)
{
	Listed *l = w->kids != nullptr ? w->kids[i] : nullptr;
	if (l == nullptr)
		return nullptr;
	w->kids[i] = nullptr;
	finish_job(&l->job);
	if (d == nullptr || d->is_link || !l->dst_ok || !same_file(&l->dst.status, &d->status))
		drop_dest(l);
	return l;
}

// Creates what is missing of the i-th source subdirectory's counterpart
// and descends into the pair.
static void descend(PairWalk *w, int32_t i, char *sub_src, char *sub_dst)
{
	const EntryNode *s = w->src.list.dirs.index[i];
	Item sub;
	if (item_path(sub_src, w->src.path, s->name, "opendir") || dest_item(w, &sub, sub_dst, s->name, "mkdir"))
		return;
	if (on_walk_path(&s->status)) {
		report_errno("opendir", sub_src, ELOOP); // a link back to a directory being walked
		return;
	}
	if (s->is_link && lies_inside(sub_src)) {
		report_line("treemir: source %s lies inside destination\n", err_text(sub_src));
		return;
	}
	const EntryNode *d = find_entry(&w->dst.list.dirs, s);
	if (d == nullptr)
		clear_special(w, &sub);
	if (d == nullptr || (d->is_link && !w->same_dir)) {
		// A directory its owner cannot write takes no new entry.
		if (!(w->dst.status.st_mode & S_IWUSR))
			ready_for_change(w);
		w->dst.fs->written = 1;
		make_dir(w->header, &sub);
	}
	sync_pair(sub_src, &sub, take_kid(w, i, d));
}

static void sync_subdirs(PairWalk *w)
{
	EntryList *dirs = &w->src.list.dirs;
	if (dirs->count == 0)
		return;
	if (pool.count > 0)
		queue_kids(&w->src, w->dst.fd, w->dst.path, &w->kids, &w->kid_count);
	// On the heap: the recursion is as deep as the tree.
	char *paths = (char *)xmalloc(2 * (size_t)PATH_BUF);
	for (int32_t i = 0; i < dirs->count; i++)
		if (!is_dest_root(dirs->index[i]))
			descend(w, i, paths, paths + PATH_BUF);
	free(paths);
	drop_kids(&w->kids, &w->kid_count);
}

// Each side as a worker read it, its output written out now, or read here.
// Where the walk reads a side itself, it notes whether it had to wait, and
// once it did, the workers start and read ahead below the pair.
static int64_t waits_before; // the walk's, as it began to read the pair

static int take_source(PairWalk *w)
{
	Listed *l = w->ahead;
	if (run.workers > 1 && (l == nullptr || !l->dst_ok))
		waits_before = times_waited();
	if (l == nullptr || !l->src_ok) {
		int failed = scan_dir(&w->src);
		if (failed)
			dir_made = 0; // the pair ends here
		return failed;
	}
	replay(&l->src_out, w->header);
	w->src = l->src;
	l->src_ok = 0;
	return 0;
}

static void note_waits(PairWalk *w)
{
	if (run.workers > 1 && times_waited() != waits_before) {
		w->src.waited = 1;
		start_threads();
	}
}

static int take_dest(PairWalk *w, int follow)
{
	Listed *l = w->ahead;
	int made = dir_made;
	dir_made = 0;
	if (l == nullptr || !l->dst_ok) {
		if (made ? scan_made(&w->at, &w->dst) : scan_dest(&w->at, follow, &w->dst))
			return 1;
		note_waits(w);
		return 0;
	}
	replay(&l->dst_out, w->header);
	w->dst = l->dst;
	l->dst_ok = 0;
	w->kids = l->kids;
	w->kid_count = l->kid_count;
	l->kids = nullptr;
	l->kid_count = 0;
	return 0;
}

// The walk ran out of descriptors: the pairs read ahead give theirs back,
// and no more are read ahead, so that a tree as deep as the limit allows
// is walked as it would be alone.  On the walk's thread only; answers 1
// when descriptors were given back.
static int shed_read_ahead(void)
{
	if (pool.count == 0 || recording != nullptr)
		return 0;
	{
		std::lock_guard<std::mutex> hold(pool.lock);
		if (pool.listed == 0)
			return 0;
		pool.listed_cap = 0;
	}
	for (PairWalk *p = innermost; p != nullptr; p = p->parent)
		drop_kids(&p->kids, &p->kid_count);
	return 1;
}

static void count_walk_depth(int step)
{
	if (run.workers == 1)
		return;
	std::lock_guard<std::mutex> hold(pool.lock);
	pool.walk_depth += step;
}

// Closes both sides, once nothing read below them is left; a destination
// that holds waiting copies stays open for them.
static void end_pair(PairWalk *w)
{
	drop_kids(&w->kids, &w->kid_count);
	if (release_pair_dir(&w->held))
		w->dst.fd = -1;
	close_side(&w->dst);
	close_side(&w->src);
}

static int walk_pair(PairWalk *w)
{
	int64_t errors = run.error_count;
	if (take_source(w))
		return 1;
	w->source_complete = run.error_count == errors;
	int follow = w->at.dir == CURRENT_DIR; // the operand may be a link
	if (take_dest(w, follow)) {
		close_side(&w->src);
		return 1;
	}
	w->same_dir = same_file(&w->src.status, &w->dst.status);
	if (!w->same_dir && on_walk_path(&w->dst.status)) {
		// A source directory mounted into the destination: the pair would
		// remove from and copy into the source.
		report_errno("opendir", w->dst.path, EBUSY);
		end_pair(w);
		return 1;
	}
	w->dst.fs = w->same_dir ? &keeps_all : find_fs(w->dst.fd, w->dst.path, w->dst.status.st_dev);
	WalkFrame frame = {w->src.status.st_dev, w->src.status.st_ino, run.walk_path};
	run.walk_path = &frame;
	count_walk_depth(1);

	if (!w->same_dir) {
		// An unreadable source entry must never cost the destination
		// its copy: such a pair removes nothing.
		int remove_missing = !run.keep_extra && w->source_complete;
		remove_extra_files(w, remove_missing);
		remove_extra_dirs(w, remove_missing);
	}
	copy_changed_files(w);
	// The source's directory served the copies alone (the levels below are
	// read by path): closed now, a tree's depth costs one descriptor a level.
	close_dir(w->src.fd);
	w->src.fd = -1;
	sync_subdirs(w);
	// A mode that drifted is put right too, but not from a source
	// directory that could not be read whole: its mode may be the fault.
	int drifted = !same_mode(w->dst.fs, &w->src.status, &w->dst.status);
	if (!w->same_dir && (w->changed || (drifted && w->source_complete))) {
		// A directory its owner may not write takes no more names.
		if (w->held != nullptr && !(w->src.status.st_mode & S_IWUSR))
			place_copies();
		apply_status(w->dst.fs, w->dst.fd, w->dst.path, &w->src.status);
	}

	run.walk_path = frame.parent;
	count_walk_depth(-1);
	end_pair(w);
	return 0;
}

static int sync_pair(const char *source, const Item *dest, Listed *ahead)
{
	PairWalk w;
	snprintf(w.header, sizeof w.header, "FROM   %-70.70s\nTO     %-70.70s\n", out_text(source),
	         out_text(dest->path));
	w.src.path = source;
	w.at = *dest;
	w.changed = 0;
	w.ahead = ahead;
	w.kids = nullptr;
	w.kid_count = 0;
	w.temp_names = 0;
	w.held = nullptr;
	w.parent = innermost;
	innermost = &w;
	int failed = walk_pair(&w);
	innermost = w.parent;
	drop_listed(ahead); // what the walk did not take of it
	return failed;
}

int sync_dirs(const char *source, const char *dest)
{
	Item top = {CURRENT_DIR, dest, dest};
	return sync_pair(source, &top, nullptr);
}

// ---------------------------------------------------------------------
// File copy
// ---------------------------------------------------------------------

// The time a file written in place carries until its data is complete:
// older than any source's, so a copy cut short differs in both copy modes.
static const FileStatus no_source_time = {};

static void show_percent(uint64_t written, uint64_t size, unsigned *last_shown)
{
	unsigned pct;
	if (written >= size) // also a file that grew from empty since the scan
		pct = 100;
	else
		pct = (unsigned)(written * 100 / size);
	if (pct != *last_shown) {
		put_format(stdout, 1, "%%%03u\b\b\b\b", pct);
		*last_shown = pct;
	}
}

// Writes all n bytes; a short write is continued, so that a real failure
// is reported with its own error number.
static int write_all(int fd, const char *buf, size_t n)
{
	while (n > 0) {
		ssize_t w = write(fd, buf, n);
		if (w <= 0) {
			if (w == 0)
				errno = ENOSPC;
			return 1;
		}
		buf += w;
		n -= (size_t)w;
	}
	return 0;
}

// Moves up to want bytes.  The kernel copies them where it can; once it
// cannot, the read/write loop takes over from the same offsets and names
// the failing side.  Answers the byte count, 0 at the end, -1 on failure.
static ssize_t copy_chunk(int in, int out, const char *src, const char *dst,
                          int *in_kernel, uint64_t written, uint64_t size, size_t want)
{
	if (*in_kernel) {
		ssize_t n = kernel_copy(in, out, want);
		// Some files claim a size yet give the kernel copy nothing.
		if (n > 0 || (n == 0 && (written > 0 || size == 0)))
			return n;
		*in_kernel = 0;
	}
	char *buffer = copy_buffer();
	ssize_t n = read(in, buffer, want);
	if (n < 0) {
		report_error("read", src);
		return -1;
	}
	if (n > 0 && write_all(out, buffer, (size_t)n)) {
		report_error("write", dst);
		return -1;
	}
	return n;
}

// Shows the percentage after each buffer's worth of bytes past from, up
// to to, as a copy of every byte would: the buffers in between whose value
// would not change are passed over at once.
static void show_steps(uint64_t from, uint64_t to, uint64_t size, unsigned *last_shown)
{
	uint64_t step = (uint64_t)run.buffer_size;
	for (uint64_t at = from - from % step + step; at <= to && at > from;) {
		show_percent(at, size, last_shown);
		if (at >= size)
			return; // 100 from here on
		// The first byte count whose percentage is higher, on a step.
		uint64_t higher = ((uint64_t)*last_shown + 1) * size;
		uint64_t next = higher / 100 + (higher % 100 != 0);
		next += (step - next % step) % step;
		at = next > at ? next : at + step;
	}
}

// Moves both files past the hole at *at to the source's next data, whose
// end goes to *stop; the copy's hole is left unwritten.  Where only a hole
// is left, the copy is given the source's whole length, which goes to *at,
// and 1 answered.  Answers -1, both files where they were, where the file
// system cannot tell; -2 after a failure is reported.
static int skip_hole(int in, int out, const char *src, const char *dst, uint64_t *at, uint64_t *stop)
{
	int64_t start, end;
	int found = next_data(in, (int64_t)*at, &start, &end);
	if (found < 0)
		return -1;
	if (found == 0) {
		if (seek_to(out, start) != 0) {
			report_error("write", dst);
			return -2;
		}
		*at = (uint64_t)start;
		*stop = end > start ? (uint64_t)end : UINT64_MAX; // a file changing under the copy
		return 0;
	}
	int64_t length = file_length(in);
	if (length < 0) {
		report_error("read", src);
		return -2;
	}
	// A copy that ends in data has its length already.
	if ((uint64_t)length != *at && truncate_to(out, length) != 0) {
		report_error("write", dst);
		return -2;
	}
	*at = (uint64_t)length;
	return 1;
}

// Every write, even a failed one, gives a file the current time: one
// written in place (stamped) is given back no_source_time after each, so
// that a copy cut short never looks newer than its source.
static void restamp(int out, const char *dst, int stamped)
{
	if (stamped)
		set_times(out, dst, &no_source_time);
}

// Copies the data; answers 1 when a read or write failure cut it short.
// The file is taken in steps of a buffer from its start, and the
// percentage shown after each, so that its sequence never depends on
// where the data lies.  Within a step, a file with holes has only its data
// copied, so that its copy takes no more room than it does.
static int copy_data(int in, int out, const char *src, const char *dst, const FileStatus *st, int stamped)
{
	unsigned last_shown = 101;
	uint64_t size = (uint64_t)st->st_size, step = (uint64_t)run.buffer_size, at = 0;
	uint64_t stop = may_have_holes(st) ? 0 : UINT64_MAX; // the end of the data in hand
	int in_kernel = 1, verbose = run.verbose >= 2;
	for (;;) {
		if (at >= stop) {
			uint64_t from = at;
			int found = skip_hole(in, out, src, dst, &at, &stop);
			restamp(out, dst, stamped);
			if (found == -2)
				return 1;
			if (found == -1)
				stop = UINT64_MAX; // dense from here on
			if (found == 1 && at < from)
				return 0; // it shrank: the copy has its length, the percentage stays
			if (verbose)
				show_steps(from, at, size, &last_shown);
			if (found == 1)
				break;
			continue;
		}
		uint64_t step_end = at - at % step + step;
		uint64_t end = stop < step_end ? stop : step_end;
		size_t want = (size_t)(end - at);
		ssize_t n = copy_chunk(in, out, src, dst, &in_kernel, at, size, want);
		restamp(out, dst, stamped);
		if (n < 0)
			return 1;
		if (n == 0)
			break;
		at += (uint64_t)n;
		if (verbose && at == step_end)
			show_percent(at, size, &last_shown);
		// The kernel copies all there is: less than asked for, once the
		// size seen is reached, is the end, and asking again would only
		// hear so.  Data added since is newer than the copy's time says,
		// and the next run copies it.
		if (in_kernel && (size_t)n < want && at >= size)
			break;
	}
	// The last step, cut short by the end of the file.
	if (verbose && at % step != 0)
		show_percent(at, size, &last_shown);
	return 0;
}

// Give the item at path (through fd when it is open) the snapshot's times,
// for a regular file, and then what its file system fs keeps of its mode;
// where that is not known yet, the first copy's status, read back, tells.
// Failures name shown, the path of the item as the user knows it.
static void apply_times(int fd, const char *path, const char *shown, const FileStatus *status)
{
	if (S_ISREG(status->st_mode) && set_times(fd, path, status) != 0)
		report_error("utime", shown);
}

static void apply_status_as(FsCaps *fs, int fd, const char *path, const char *shown,
                            const FileStatus *status)
{
	apply_times(fd, path, shown, status);
	FileStatus now = *status;
	if (modes_kept(fs, status) == KEEPS_WRITE_BIT && stat_dir(fd, path, &now) != 0) {
		report_error("stat", shown);
		return;
	}
	mode_t mode;
	if (!mode_to_set(fs, &now, copy_mode_bits(status), &mode))
		return;
	if (set_mode(fd, path, mode) != 0)
		report_error("chmod", shown);
	else if (!fs->settled && S_ISREG(status->st_mode) && stat_dir(fd, path, &now) == 0)
		learn_fs(fs, mode, status, &now);
}

void apply_status(FsCaps *fs, int fd, const char *path, const FileStatus *status)
{
	apply_status_as(fs, fd, path, path, status);
}

// The mode a copy is made with: its own, where the umask leaves that whole,
// the file system is known to keep it and the directory gives new files no
// default ACL, so that no mode change follows (answers 1); else readable
// and writable by its owner alone, until apply_status gives it its mode
// once its data is complete.
static int birth_mode(const Side *dir, const FileStatus *status, unsigned *mode)
{
	unsigned want = (unsigned)copy_mode_bits(status);
	int whole = dir->fs->settled && modes_kept(dir->fs, status) == KEEPS_MODES && !dir->default_acl &&
	            (want & ~0777u) == 0 && (want & run.umask_bits) == 0;
	*mode = whole ? want : S_IRUSR | S_IWUSR;
	return whole;
}

// Whether removing what holds the name can let the open succeed: a file
// the user may not write, a link, a directory, a FIFO, socket or device, a
// program being run.  Never a want of descriptors, room or memory, nor a
// failing disk: then the old file must stay.
static int removal_may_help(int err)
{
	switch (err) {
	case EACCES: case EPERM: case ELOOP: case EMLINK: case EISDIR: case ETXTBSY: case ENXIO:
	case EOPNOTSUPP:
		return 1;
	default:
		return 0;
	}
}

// A file written in place is created readable by its owner alone;
// apply_status gives it the source's mode once its data is complete.  One
// with other names is never rewritten: where it cannot be unlinked,
// nothing is opened.
static int open_dest_file(const Item *it, int unlink_first)
{
	if (unlink_first && remove_path(it) != 0)
		return -1;
	int fd = open_dest_at(it->dir, it->name, it->path);
	if (fd >= 0 || !removal_may_help(errno))
		return fd;
	// A read-only file, a link or anything else in the way is removed
	// and the open tried once more.
	remove_path(it);
	return open_dest_at(it->dir, it->name, it->path);
}

// Whether a copy that could have neither an unnamed file nor a temporary
// may be written over the file itself: only in a directory the user may
// not write.  Where room, inodes or descriptors ran out, the old file is
// all there is, and it stays.
static int may_write_in_place(int err)
{
	return err == EACCES || err == EPERM || err == EROFS;
}

// What a copy is written to, and how it takes its name.
enum { TARGET_IN_PLACE, TARGET_UNNAMED, TARGET_NAMED };

struct CopyTarget {
	int fd;
	int kind;
	Item dst;              // the copy: every report names its path
	FsCaps *fs;            // what the file system it is made on keeps
	Item temp;             // a named temporary beside it
	char temp_path[PATH_BUF + 40]; // room for the temporary's name past a full path
	unsigned mode;         // what it is made with, birth_mode
	int mode_done;         // that is the source's own mode
	int defer;             // it waits under its temporary for the walk to place it
	unsigned serial;       // the temporary's
	int stamped;           // written in place, carrying no_source_time
};

// Gives the temporary a fresh name beside the copy's, by the act given
// (a named file is made, or an unnamed one linked).  Answers 1 when no
// name could be had.
static int name_temp(CopyTarget *t, const char *dst_dir, int (*make)(CopyTarget *))
{
	static std::atomic<unsigned> serial; // every copying thread's
	char name[40];
	for (int tries = 0; tries < 16; tries++) {
		t->serial = serial++;
		snprintf(name, sizeof name, TEMP_PREFIX "%u", t->serial);
		if (join_path(t->temp_path, sizeof t->temp_path, dst_dir, name) == nullptr)
			return 1;
		t->temp = {t->dst.dir, t->temp_path + strlen(t->temp_path) - strlen(name), t->temp_path};
		if (make(t) == 0)
			return 0;
		if (errno != EEXIST)
			return 1;
	}
	return 1;
}

static int make_named(CopyTarget *t)
{
	t->fd = open_temp_at(t->temp.dir, t->temp.name, t->temp.path, t->mode);
	return t->fd < 0;
}

static int link_named(CopyTarget *t)
{
	return link_unnamed_at(t->fd, t->temp.dir, t->temp.name) != 0;
}

// Opens what the copy is written to: an unnamed file in the directory, else
// a named temporary, else, where no temporary can be made, the file itself.
// A copy that will wait for its data to reach the disk waits under a
// temporary's name: it is made under that name at once, which costs one
// call less than an unnamed file linked in.
static int open_target(CopyTarget *t, const char *dst_dir, int in_place, int unlink_first)
{
	t->stamped = 0;
	if (!in_place) {
		t->kind = TARGET_UNNAMED;
		if (!t->defer && (t->fd = open_unnamed_at(t->dst.dir, t->mode)) >= 0)
			return 0;
		t->kind = TARGET_NAMED;
		if (name_temp(t, dst_dir, make_named) == 0)
			return 0;
		if (!may_write_in_place(errno))
			return 1;
	}
	t->kind = TARGET_IN_PLACE;
	t->mode_done = 0;
	t->fd = open_dest_file(&t->dst, unlink_first);
	if (t->fd < 0)
		return 1;
	// Before any byte is written: the truncation gave it the current time.
	t->stamped = set_times(t->fd, t->dst.path, &no_source_time) == 0;
	return 0;
}

// Links the finished unnamed file in while its descriptor is open: under
// the copy's own name when that is free and it need not wait for its data
// to reach the disk, else under a temporary name that then replaces what
// holds it.
static int link_target(CopyTarget *t, const char *dst_dir, int replace)
{
	if (!replace && !t->defer) {
		if (link_unnamed_at(t->fd, t->dst.dir, t->dst.name) == 0) {
			t->kind = TARGET_IN_PLACE; // it stands under its name now
			return 0;
		}
		if (errno != EEXIST) {
			report_error("open", t->dst.path);
			return 1;
		}
	}
	if (name_temp(t, dst_dir, link_named) != 0) {
		report_error("open", t->dst.path);
		return 1;
	}
	t->kind = TARGET_NAMED;
	return 0;
}

// Puts a finished, closed temporary in the place of the copy's name.
static int place_target(CopyTarget *t)
{
	if (t->kind != TARGET_NAMED ||
	    rename_at(t->dst.dir, t->temp.name, t->temp.path, t->dst.name, t->dst.path) == 0)
		return 0;
	report_error("rename", t->dst.path);
	return 1;
}

// A cut-short copy must not stay behind looking up to date: a temporary
// goes.  A file written in place, whose old data is gone already, stays
// with no_source_time (given again: its times may have been set before a
// failed close), so the next run copies it again; where that time cannot
// be given, it goes.  Whatever held the name of a temporary stays as it
// was.
static void discard_target(CopyTarget *t)
{
	if (t->stamped && set_times_at(t->dst.dir, t->dst.name, t->dst.path, &no_source_time) == 0)
		return;
	if (t->kind == TARGET_IN_PLACE)
		remove_path(&t->dst);
	else if (t->kind == TARGET_NAMED && unlink_at(t->temp.dir, t->temp.name, t->temp.path) != 0)
		report_error("unlink", t->dst.path);
}

// Closes the copy once its data is in: it gets the source's times and
// mode, then its name.  Answers 1 when it had to be discarded.
static int finish_target(CopyTarget *t, const char *dst_dir, const EntryNode *entry,
                         int failed, int replace)
{
	// No path lookup; and no mode change where the copy was made with it.
	if (!failed && STATUS_ON_DESCRIPTOR && t->mode_done)
		apply_times(t->fd, t->dst.path, t->dst.path, &entry->status);
	else if (!failed && STATUS_ON_DESCRIPTOR)
		apply_status(t->fs, t->fd, t->dst.path, &entry->status);
	if (!failed && t->kind != TARGET_IN_PLACE && flush_file(t->fd) != 0) {
		report_error("write", t->dst.path);
		failed = 1;
	}
	if (!failed && t->kind == TARGET_UNNAMED)
		failed = link_target(t, dst_dir, replace);
	if (close(t->fd) != 0) {
		report_error("close", t->dst.path);
		failed = 1;
	}
	// Where the status goes by path, the closed temporary gets it before
	// it takes the name.
	if (!failed && !STATUS_ON_DESCRIPTOR)
		apply_status_as(t->fs, -1, t->kind == TARGET_NAMED ? t->temp.path : t->dst.path, t->dst.path,
		                &entry->status);
	if (!failed && t->defer && t->kind == TARGET_NAMED)
		return 0; // the walk places it, once its data is on the disk
	if (!failed)
		failed = place_target(t);
	if (failed)
		discard_target(t);
	else if (t->kind == TARGET_NAMED && t->fs->kind.renames_touch &&
	         set_times_at(t->dst.dir, t->dst.name, t->dst.path, &entry->status) != 0)
		report_error("utime", t->dst.path);
	return failed;
}

static int is_short_of_room(int err)
{
	return err == ENOSPC || err == EDQUOT;
}

// The one act that builds its item's path itself: its line comes first,
// and a path too long for it is reported after the line.  A finished copy
// is left waiting under its temporary's name, told in result, for the
// walk to place (place_copies).
void copy_file(char *header, const Side *src_dir, const Side *dst_dir, const EntryNode *entry, int held,
               CopyResult *result)
{
	*result = {0, 0, 0};
	if (run.verbose >= 2) {
		flush_header(header);
		put_format(stdout, 1, "COPY   %-50.50s %10lld Byte ", out_text(entry->name),
		           (long long)entry->status.st_size);
	}
	CopyTarget t;
	char src[PATH_BUF], dst[PATH_BUF];
	if (item_path(src, src_dir->path, entry->name, "open") ||
	    item_path(dst, dst_dir->path, entry->name, "open"))
		return;
	int in = open_source_at(src_dir->fd, entry->name, src);
	if (in < 0) {
		report_error("open", src);
		return;
	}
	t.dst = {dst_dir->fd, entry->name, dst};
	t.fs = dst_dir->fs;
	t.mode_done = birth_mode(dst_dir, &entry->status, &t.mode);
	t.defer = !dst_dir->fs->kind.in_memory;
	if (open_target(&t, dst_dir->path, held == NAME_DIR, held == NAME_SHARED) != 0) {
		report_error("open", dst);
		result->short_of_room = is_short_of_room(errno);
		close(in);
		return;
	}
	int failed = copy_data(in, t.fd, src, dst, &entry->status, t.stamped);
	int err = errno;
	if (close(in) != 0)
		report_error("close", src);
	if (finish_target(&t, dst_dir->path, entry, failed, held != NAME_FREE) && !failed) {
		failed = 1;
		err = errno;
	}
	if (failed)
		result->short_of_room = is_short_of_room(err);
	else if (t.defer && t.kind == TARGET_NAMED)
		*result = {1, t.serial, 0};
	if (run.verbose >= 2)
		put_text(stdout, "\n", 0);
	count_copied();
}

// ---------------------------------------------------------------------
// Destination removals and directory creation
// ---------------------------------------------------------------------

// Every act takes its item whole: the open directory it stands in, its
// name there, and its full path for the lines and reports.

// Adds the owner's bits to an item's mode.  A link is left alone: its mode
// would be its target's.
static void make_writable(const Item *it, mode_t bits)
{
	FileStatus st;
	mode_t mode;
	if (lstat_at(it->dir, it->name, it->path, &st) == 0 && !S_ISLNK(st.st_mode) &&
	    mode_to_set(fs_of(st.st_dev), &st, (st.st_mode & 07777) | bits, &mode))
		chmod_at(it->dir, it->name, it->path, mode);
}

int remove_path(const Item *it)
{
	if (unlink_at(it->dir, it->name, it->path) == 0)
		return 0;
	make_writable(it, S_IWUSR);
	if (unlink_at(it->dir, it->name, it->path) == 0)
		return 0;
	int err = errno;
	report_errno("unlink", it->path, err);
	errno = err; // for the report of what could not follow
	return 1;
}

static void print_action(char *header, int level, const char *label, const char *path)
{
	if (run.verbose >= level) {
		flush_header(header);
		printf("%s%s\n", label, out_text(path));
	}
}

void remove_file(char *header, const Item *it)
{
	run.deleted_count++;
	print_action(header, 1, "RM     ", it->path);
	remove_path(it);
}

void remove_dir(char *header, const Item *it)
{
	print_action(header, 1, "RMDIR  ", it->path);
	if (rmdir_at(it->dir, it->name, it->path) == 0)
		return;
	make_writable(it, S_IRWXU);
	if (rmdir_at(it->dir, it->name, it->path) != 0)
		report_error("rmdir", it->path);
}

// A link that stands in the destination as a directory goes as one, with
// its RMDIR line; the link alone is removed.
void remove_link(char *header, const Item *it)
{
	print_action(header, 1, "RMDIR  ", it->path);
	if (unlink_link_at(it->dir, it->name, it->path) != 0)
		report_error("unlink", it->path);
}

// A directory the walk must never empty: the root of a mount, which may
// show another file system or, bound there, the source itself; or a source
// directory being walked, reached some other way.  Refused with EBUSY, as
// the system refuses to remove a mount point.
static int must_keep(const Item *it, const FileStatus *st, file_dev_t parent_dev)
{
	if (!is_mount_root(it->dir, it->name, it->path, st, parent_dev) && !on_walk_path(st))
		return 0;
	report_errno("rmdir", it->path, EBUSY);
	return 1;
}

// Removes the listed subdirectory d, the item it of a directory on the
// device parent_dev, with everything below it, unless it must be kept.
// Answers 1 when it or a directory below it was kept.
int remove_subtree(char *header, const Item *it, const EntryNode *d, file_dev_t parent_dev)
{
	if (must_keep(it, &d->status, parent_dev))
		return 1;
	return remove_tree(header, it);
}

// The entries of an opened subtree go depth-first, each named as an item
// of the subtree's own open directory.  Answers 1 when a directory below
// was kept.
static int empty_tree(char *header, const Side *tree)
{
	char *path = (char *)xmalloc(PATH_BUF); // the recursion is as deep as the tree
	Item it = {tree->fd, nullptr, path};
	int kept = 0;
	for (int32_t i = 0; i < tree->list.files.count; i++) {
		it.name = tree->list.files.index[i]->name;
		if (item_path(path, tree->path, it.name, "unlink") == 0)
			remove_file(header, &it);
	}
	for (int32_t i = 0; i < tree->list.dirs.count; i++) {
		const EntryNode *d = tree->list.dirs.index[i];
		it.name = d->name;
		if (item_path(path, tree->path, d->name, d->is_link ? "unlink" : "rmdir"))
			continue;
		if (d->is_link)
			remove_link(header, &it);
		else
			kept |= remove_subtree(header, &it, d, tree->status.st_dev);
	}
	free(path);
	return kept;
}

// The subtree is entered through descriptors that never follow a link, so
// a directory swapped for one midway is not emptied through it.  A
// directory that holds one that must be kept stays, without a line of its
// own: the kept one was reported.  Answers 1 then.
int remove_tree(char *header, const Item *it)
{
	Side tree;
	if (scan_dest(it, 0, &tree) != 0)
		return 0;
	int kept = empty_tree(header, &tree);
	close_side(&tree);
	if (!kept)
		remove_dir(header, it);
	return kept;
}

void make_dir(char *header, const Item *it)
{
	print_action(header, 2, "MKDIR  ", it->path);
	if (mkdir_at(it->dir, it->name, it->path) != 0)
		report_error("mkdir", it->path);
	else
		dir_made = 1;
}

// ---------------------------------------------------------------------
// Run driver
// ---------------------------------------------------------------------

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
			printf(usage_lines[i], DEFAULT_VERBOSE);
		else if (i == 9)
			printf(usage_lines[i], DEFAULT_BUFFER_SIZE);
		else
			fputs(usage_lines[i], stdout);
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

#ifndef TREEMIR_NO_MAIN
// Applies one option; answers -1 to go on, or the exit status to end with.
static int apply_option(int c, const char *arg)
{
	switch (c) {
	case 'q': run.verbose = 0; break;
	case 'h': print_usage(); return 2;
	case 'v': run.verbose = to_int(arg); break;
	case 'x': add_name(&run.exclude_files, arg); break;
	case 'X': add_name(&run.exclude_dirs, arg); break;
	case 'b':
		run.buffer_size = to_int(arg);
		if (run.buffer_size < 1) {
			printf("treemir: invalid -b %d\n", run.buffer_size);
			print_usage();
			return 2;
		}
		break;
	case 'm':
		run.copy_mode = to_int(arg);
		if (run.copy_mode < 0 || run.copy_mode > 1) {
			printf("treemir: invalid -m %d\n", run.copy_mode);
			print_usage();
			return 2;
		}
		break;
	case 'r': run.keep_extra = 1; break;
	case 'e': add_pattern(&run.exclude_patterns, arg); break;
	case '?': print_usage(); return 2;
	default: break;
	}
	return -1;
}

int main(int argc, char **argv)
{
	console_utf8();
	int unreadable = platform_args(&argc, &argv);
	fputs("TreeMir " TREEMIR_VERSION " one-way directory tree mirror\n\n", stdout);
	run.umask_bits = current_umask();
	run.user = geteuid();
	run.group = getegid();
	run.out_terminal = is_terminal(1);
	run.err_terminal = is_terminal(2);
	if (unreadable) {
		fprintf(stderr, "\ntreemir: argument %d is not valid Unicode\n", unreadable - 1);
		return 1;
	}
	init_list(&run.exclude_dirs);
	init_list(&run.exclude_files);
	init_patterns(&run.exclude_patterns);
	add_entry(&run.exclude_dirs, ".", nullptr);
	add_entry(&run.exclude_dirs, "..", nullptr);

	int c;
	while ((c = treemir::getopt(argc, argv, "qhv:x:X:b:m:re:")) != -1) {
		int status = apply_option(c, treemir::optarg);
		if (status >= 0)
			return status;
	}
	if (treemir::optind + 2 != argc) {
		fputs("treemir: source and destination not specified\n"
		      "please try treemir -h for usage\n", stdout);
		return 1;
	}
	run.copy_buffer = (char *)xmalloc((size_t)run.buffer_size);
	int64_t fd_limit = raise_descriptor_limit();
	time_t start = time(nullptr);
	char *source = argv[treemir::optind];
	char *dest = argv[treemir::optind + 1];
	trim_separator(source);
	trim_separator(dest);
	if (check_operands(source, dest))
		return 1;
	start_workers(fd_limit);
	init_placing(fd_limit);
	sync_dirs(source, dest);
	finish_placing();
	stop_workers();
	time_t end = time(nullptr);
	if (run.verbose != 0) {
		printf("%lld file(s) checked,%lld copied,%lld deleted in %lld second(s)",
		       (long long)run.checked_count, (long long)run.copied_count,
		       (long long)run.deleted_count, (long long)(end - start));
		if (run.error_count != 0)
			printf(",%lld error(s)", (long long)run.error_count);
		putchar('\n');
	}
	if (check_output())
		return 2;
	return run.error_count != 0 ? 2 : 0;
}
#endif
