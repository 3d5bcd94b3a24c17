// treemir: makes a destination directory tree an exact one-way mirror of a
// source tree.  Shared records and the operations of the program.
#ifndef TREEMIR_H
#define TREEMIR_H

#include "platform.h"

enum {
	SEPARATOR = PATH_SEPARATOR,
	PATH_BUF = PATH_LIMIT,  // every path the program builds fits in this
	PATTERN_LIMIT = 65536,  // the longest pattern a list file may hold
	HEADER_BUF = 157,       // "FROM ...\nTO ...\n": 2 x 78 characters + NUL
	DEFAULT_VERBOSE = 2,
	DEFAULT_BUFFER_SIZE = 1048576,
};

// A helper with a path buffer that the walk calls once per directory but
// that returns before the walk descends: kept out of the walk's own frame,
// which the stack holds once per level of the tree.
#define OFF_THE_WALK __attribute__((noinline))

// The name a copy has while it is written, where the file system gives it
// no unnamed file.  One left by a run that was cut short is removed by the
// next run in that directory.
#define TEMP_PREFIX ".treemir-tmp-"

// One named item of a list.  Lists are circular and singly linked; the
// head is the list record itself and ends every walk.
// Packed to four bytes, as its status is: a node with its name wastes no
// more than three bytes before the next.
struct PACKED_4 EntryNode {
	EntryNode *next;
	EntryStatus status;   // snapshot taken while the directory was read
	unsigned char is_link; // the entry itself is a symbolic link
	char name[];           // in the node's own room
};

// Storage a list carves its nodes, or their names, from: a list of a
// million entries makes a few dozen allocations, not two million.
struct ListChunk {
	ListChunk *prev;
	size_t used, cap; // bytes of the chunk's data, which follows it
};

// A list head with a sorted index.  The name lists of the exclusion rules
// use the head alone (next), without count and index.
struct EntryList {
	EntryNode *next;
	int32_t count;     // valid after sort_list
	EntryNode **index; // count nodes ascending by name; null when empty
	ListChunk *nodes;  // the nodes, each with its name
};

// A destination file whose name a source file of the pair bears.  A
// destination listed against its source keeps its files this way, by the
// source file's place in the source's index; only the files the source
// lacks become entries of their own.  Where the destination's file system
// is known for good as it is read, the copy rule is decided then, and a
// file costs a byte (its mark); else its snapshot is kept for the rule.
enum {
	COUNTERPART_FOUND = 1,
	COUNTERPART_LINK = 2,    // a link, never taken for what it points at
	COUNTERPART_SHARED = 4,  // a file with other names
	COUNTERPART_DECIDED = 8, // the copy rule was asked as it was read
	COUNTERPART_DIFFERS = 16 // and it answered: copy
};
struct Counterpart {
	int64_t size;
	int64_t mtime;
	int32_t mtime_nanos;
	uint16_t mode; // type and permission bits, which fit in 16 bits
};

struct DirListing {
	EntryList files;
	EntryList dirs;
	unsigned char *marks; // destination: COUNTERPART_* by source index, or null
	Counterpart *matched; // their snapshots where undecided, or null
};

struct PatternNode {
	PatternNode *next;
	regex_t compiled;
	char *pattern_text;
};

struct PatternList {
	PatternNode *next;
};

// A pair on the current walk path, innermost first: its source directory
// once read (known), for the loop guard.  The walk keeps its depth here
// alone; each frame is the first member of its pair's record.
struct WalkFrame {
	file_dev_t dev;
	file_ino_t ino;
	int known;
	WalkFrame *parent;
};

// Fields left without a value start at zero.
struct RunState {
	int32_t verbose = DEFAULT_VERBOSE;
	int32_t copy_mode;
	int32_t keep_extra;
	int32_t buffer_size = DEFAULT_BUFFER_SIZE;
	char *copy_buffer;  // the walk's own; each worker has one of its own
	int64_t checked_count;
	int64_t copied_count;
	int64_t deleted_count;
	int64_t error_count;
	EntryList exclude_dirs;
	EntryList exclude_files;
	PatternList exclude_patterns;
	int dest_known;     // dest_dev and dest_ino hold the destination root
	file_dev_t dest_dev;
	file_ino_t dest_ino;
	WalkFrame *walk_path;       // the pair the walk is in
	int out_terminal;           // standard output is a terminal
	int err_terminal;           // standard error is a terminal
	unsigned umask_bits;        // the process's umask: what new files lose
	user_id_t user;             // who runs the mirror: copies are theirs
	group_id_t group;
	int32_t workers = 1;        // threads that read and copy, the walk's included
};

extern RunState run;

// Console output a worker made, kept for the walk to write out in its
// place: a run of (kind, text, NUL) records.
struct Recording {
	char *data;
	size_t len;
	size_t cap;
};

// Run state and console reporting.
// Every counted error line goes through report_line.
void report_line(const char *format, ...);
void report_errno(const char *op, const char *path, int err);
// Reports output lost on a stream that could not be written; 1 if any was.
int check_output(void);
void report_error(const char *op, const char *path); // with errno
void report_too_long(const char *op, const char *dir, const char *name);
void out_of_memory(void); // ends the run
void *xmalloc(size_t size);
// Joins into a buffer of cap bytes; null when the path would not fit.
char *join_path(char *out, size_t cap, const char *dir, const char *name);
// Joins into a buffer of PATH_BUF bytes, or reports with op and answers 1.
int item_path(char *out, const char *dir, const char *name, const char *op);
void flush_header(char *header);
// Writes out a recording on the walk's thread, then empties it.
void replay(Recording *r, char *header);
void free_recording(Recording *r);
// Text for a terminal: control bytes in names shown escaped.
const char *shown(const char *text, int to_terminal);
const char *out_text(const char *text);
const char *err_text(const char *text);

// Run driver.
void print_usage(void);
void trim_separator(char *arg);
int32_t to_int(const char *text);
// White space as the list files and the number options read it.
int is_blank(int c);
int check_operands(const char *source, const char *dest);

// Exclusion rules.
void add_name(EntryList *list, const char *text);
void add_pattern(PatternList *list, const char *text);
void compile_pattern(PatternList *list, const char *text);
EntryNode *find_name(EntryList *list, const char *name);
int match_pattern(PatternList *list, const char *path); // said on standard output
// The same in two steps: the first pattern path matches, or null, and the
// line that says so.
const PatternNode *find_pattern(PatternList *list, const char *path);
void show_match(const char *path, const PatternNode *p);

// Directory listing.
// The head of a list, as it stands in the chain: its terminator.
EntryNode *list_end(EntryList *list);
void init_list(EntryList *list);
void init_patterns(PatternList *list);
EntryNode *add_entry(EntryList *list, const char *name, const FileStatus *status);
// What the walk reads of the status of a listed entry, as the system's
// record, for the calls that take one.
FileStatus entry_view(const EntryNode *entry);
void sort_list(EntryList *list);
// Asks for a node and its name to be read, ahead of a pass in index order
// that would otherwise wait for each.
void prefetch_entry(const EntryNode *node);
// A place in a sorted list, for matching another list's entries against
// it in name order: each is found in one pass over both.
struct ListCursor {
	const EntryList *list;
	int32_t at;
};
// The entry named name, or null; names are asked in ascending order.
EntryNode *seek_entry(ListCursor *c, const char *name);
void free_list(EntryList *list);
void init_listing(DirListing *listing);
void free_listing(DirListing *listing);
// The names of a sorted list by a hash of each, for finding the names of
// the other side of a pair as they are read, in no order.
struct NameTable {
	const EntryList *list;
	int32_t *slots; // index position + 1; 0: free
	uint32_t size;
};
void build_table(NameTable *t, const EntryList *list);
// Where name would be, asked ahead of table_find so that its slot is read
// by then.
uint32_t table_hint(const NameTable *t, const char *name);
// The index position of name in the list, or -1.
int32_t table_find(const NameTable *t, uint32_t hint, const char *name);
void free_table(NameTable *t);
// What a listing keeps of a destination file for the i-th source file of
// count: its marks, and its snapshot st unless the copy rule is decided.
void keep_counterpart(DirListing *listing, int32_t i, int32_t count, const FileStatus *st, unsigned marks);
// The marks of the destination file of the i-th source file (0: none),
// and its snapshot where it was kept.
unsigned counterpart_marks(const DirListing *listing, int32_t i);
FileStatus counterpart_view(const DirListing *listing, int32_t i);
// What a destination file system keeps of a status (modes, time steps).
struct FsCaps;

// One side of a directory pair: its path, its listing, its status and
// its open directory, through which its entries are read and acted on.
struct Side {
	const char *path;
	DirListing list;
	FileStatus status;
	int fd;
	int default_acl; // new files there may take a default ACL
	FsCaps *fs;      // destination: what its file system keeps
	int waited;      // reading the pair went to sleep: its disk is cold
};

// A destination item as every act names it: the open directory it stands
// in, its name there, and its full path for the lines and reports.  Built
// once, so the three cannot disagree.
struct Item {
	int dir;
	const char *name;
	const char *path;
};

// A source directory by its path; a destination directory, the item it,
// relative to its parent's open descriptor, where links are items, its
// files matched against its source side's (null: none).
int scan_dir(Side *side);
int scan_dest(const Item *it, int follow, Side *side, const Side *source);
// Closes what scan_dir or scan_dest left open and releases the listing.
void close_side(Side *side);

// Workers, as many as fd_limit open files allow (one: the walk alone).
void start_workers(int64_t fd_limit);
void stop_workers(void);
// Copies take their names once their data is on the disk: in batches,
// the last of them at the end of the run, with every file system flushed.
void init_placing(int64_t fd_limit);
void finish_placing(void);

// Pair walk and its acts.
int sync_dirs(const char *source, const char *dest);
// held tells what holds the copy's name in the destination: nothing, a
// file or link, a file with other names, or a directory (which no
// temporary can replace: the file is then written in place).
enum { NAME_FREE, NAME_TAKEN, NAME_SHARED, NAME_DIR };
// What a copy leaves for the walk: a finished copy waiting under the name
// of a temporary for the barrier that puts its data on the disk, and
// whether it failed for want of room.
struct CopyResult {
	int waiting;        // TEMP_PREFIX serial holds the finished copy
	unsigned serial;
	int short_of_room;  // it failed with ENOSPC or EDQUOT
};
void copy_file(char *header, const Side *src_dir, const Side *dst_dir, const EntryNode *entry, int held,
               CopyResult *result);
// Through fd when it is open (else -1: by path), as far as fs keeps it.
void apply_status(FsCaps *fs, int fd, const char *path, const FileStatus *status);
int remove_path(const Item *it); // 1 when it could not be removed
void remove_file(char *header, const Item *it);
void remove_dir(char *header, const Item *it);
void remove_link(char *header, const Item *it);
// Both answer 1 when a directory that must stay (a mount) was kept;
// parent_dev is the device of the directory it->dir, to tell a mount.
int remove_tree(char *header, const Item *it);
int remove_subtree(char *header, const Item *it, const EntryNode *d, file_dev_t parent_dev);
// Answers 0 when the directory was made.
int make_dir(char *header, const Item *it);

#endif
