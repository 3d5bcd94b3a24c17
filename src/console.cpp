// Console output and the run's state.  Every piece of output goes through
// emit: on the walk's thread it is written at once; on a worker it is
// recorded (kind, text) and the walk replays the recording where the act
// stands in its own order, so that both streams get the same bytes,
// flushed at the same points, with one worker or many.  Beside it, what
// every file uses: allocation that ends the run when memory runs out, and
// path building that never cuts a path short.
//
// Invariants:
//  - every counted line is an error line (report_line), counted where it
//    is written, never where it is recorded;
//  - a report starts with a line end, so that it stands on a line of its
//    own while a progress line is open;
//  - a name bound for a terminal has its control bytes escaped;
//  - a stream that could not be written is said at the end (check_output);
//  - a path that would not fit a path buffer is reported, with the word of
//    the act it was for, and its item skipped.
#include "treemir.h"
#include "console.h"

#include <cstdarg>

RunState run;

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
	write_text(kind <= PUT_OUT_FLUSH ? stdout : stderr, text);
	if (kind == PUT_OUT_FLUSH)
		fflush(stdout);
	if (out_errno == 0 && ferror(stdout))
		out_errno = errno != 0 ? errno : EIO;
	if (kind == PUT_ERR_COUNTED)
		run.error_count++;
}

void put_text(FILE *f, const char *text, int flush)
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

void put_format(FILE *f, int flush, const char *format, ...)
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

void count_copied(void)
{
	if (recording != nullptr)
		record(PUT_COPIED, "");
	else
		run.copied_count++;
}

// Removals are the walk's alone.
void count_deleted(void)
{
	run.deleted_count++;
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

// Output of this thread from now on goes into r; null: to the streams.
void record_into(Recording *r)
{
	recording = r;
}

int recording_here(void)
{
	return recording != nullptr;
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
	char text[128];
	report_line("treemir: %s (%s) %s (%d)\n", op, err_text(path), error_text(err, text, sizeof text), err);
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
	write_text(stderr, "\ntreemir: Out of memory\n");
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
int needs_separator(const char *dir, size_t len)
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
		emit(PUT_OUT, header);
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
