// Entry lists: circular singly linked lists whose head is their own
// sentinel, new nodes at the front, and an index array sorted by name in
// byte order for sorted access and for matching two lists in one pass.  A
// list owns its nodes and its index; each node holds its name and is
// carved from chunks of the list's own.  A table of a sorted list's names
// finds the names of the other side of a pair as they are read, and what
// the destination has of each source file is kept beside the source's
// index (its counterpart), not as an entry.
#include "treemir.h"
#include "console.h"
#include "fscaps.h"

#include <algorithm>

EntryNode *list_end(EntryList *list)
{
	// The head stands in the chain as its terminator; it is compared
	// against, never read through.
	return reinterpret_cast<EntryNode *>(list);
}

void init_list(EntryList *list)
{
	list->next = list_end(list);
	list->count = 0;
	list->index = nullptr;
	list->nodes = nullptr;
}

enum { FIRST_CHUNK = 1024, LAST_CHUNK = 1 << 20 };

// size bytes from the chunks, a new one when the last is full, each twice
// the one before up to a megabyte: a small directory costs little, and a
// large one wastes at most its last chunk's room.
static void *carve(ListChunk **chunks, size_t size)
{
	ListChunk *c = *chunks;
	if (c == nullptr || c->cap - c->used < size) {
		size_t cap = c == nullptr ? (size_t)FIRST_CHUNK : c->cap < LAST_CHUNK ? 2 * c->cap : c->cap;
		if (cap < size)
			cap = size;
		ListChunk *fresh = (ListChunk *)xmalloc(sizeof *fresh + cap);
		*fresh = {c, 0, cap};
		*chunks = c = fresh;
	}
	void *at = (char *)(c + 1) + c->used;
	c->used += size;
	return at;
}

static void free_chunks(ListChunk *c)
{
	while (c != nullptr) {
		ListChunk *prev = c->prev;
		free(c);
		c = prev;
	}
}

// A node and its name in one piece, so that a name is read where its node
// is; the next node starts aligned.
EntryNode *add_entry(EntryList *list, const char *name, const FileStatus *status)
{
	size_t len = strlen(name);
	size_t size = (offsetof(EntryNode, name) + len + 1 + alignof(EntryNode) - 1) & ~(alignof(EntryNode) - 1);
	EntryNode *node = (EntryNode *)carve(&list->nodes, size);
	memcpy(node->name, name, len + 1);
	if (status != nullptr) {
		keep_status(&node->status, status);
		// What is kept of the owner: the set-ID bits its copy may have.
		if (S_ISREG(status->st_mode))
			node->status.mode = (uint16_t)((status->st_mode & S_IFMT) | copy_permissions(status));
	}
	node->is_link = 0;
	node->next = list->next;
	list->next = node;
	return node;
}

// A file's view belongs to whoever runs the mirror: its mode holds no
// set-ID bit its copy may not have.
FileStatus entry_view(const EntryNode *entry)
{
	FileStatus st;
	view_status(&st, &entry->status);
	st.st_uid = run.user;
	st.st_gid = run.group;
	return st;
}

// Eight bytes of a name from its byte at, as one number that orders as
// the bytes do (past its end padded with NULs, as strcmp sees it).  A sort
// compares these numbers in the array being sorted, without reading the
// names: names whose words are equal are sorted again by their next word,
// so that many names sharing a stem cost one more pass, not a comparison
// of strings at every step.
struct SortKey {
	uint64_t word;
	EntryNode *node;
};

static uint64_t name_word(const char *name)
{
	uint64_t key = 0;
	for (int i = 0; i < 8 && name[i] != '\0'; i++)
		key |= (uint64_t)(unsigned char)name[i] << (56 - 8 * i);
	return key;
}

static bool word_before(const SortKey &a, const SortKey &b)
{
	return a.word < b.word;
}

// Sorts keys whose names agree up to the byte at, by their words there.
// A run of equal words without a NUL in them holds names that go on past
// them: it is sorted by the next word.
static void sort_keys(SortKey *keys, int32_t count, size_t at)
{
	std::sort(keys, keys + count, word_before);
	for (int32_t i = 0, j; i < count; i = j) {
		for (j = i + 1; j < count && keys[j].word == keys[i].word; j++)
			;
		if (j - i < 2 || (keys[i].word & 0xff) == 0)
			continue;
		for (int32_t k = i; k < j; k++)
			keys[k].word = name_word(keys[k].node->name + at + 8);
		sort_keys(keys + i, j - i, at + 8);
	}
}

// The index is made in the keys' own array once they are sorted: a sort
// holds no more than the keys.
void sort_list(EntryList *list)
{
	int32_t count = 0;
	for (EntryNode *n = list->next; n != list_end(list); n = n->next)
		count++;
	list->count = count;
	if (count == 0)
		return;
	SortKey *keys = (SortKey *)xmalloc((size_t)count * sizeof *keys);
	int32_t i = 0;
	for (EntryNode *n = list->next; n != list_end(list); n = n->next)
		keys[i++] = {name_word(n->name), n};
	sort_keys(keys, count, 0);
	EntryNode **index = (EntryNode **)keys;
	for (i = 0; i < count; i++)
		index[i] = keys[i].node; // read before index[i] overwrites it
	list->index = (EntryNode **)realloc(keys, (size_t)count * sizeof *index);
	if (list->index == nullptr)
		out_of_memory(); // a block that shrinks
}

EntryNode *seek_entry(ListCursor *c, const char *name)
{
	const EntryList *list = c->list;
	while (c->at < list->count) {
		int order = strcmp(list->index[c->at]->name, name);
		if (order == 0)
			return list->index[c->at];
		if (order > 0)
			return nullptr;
		c->at++;
	}
	return nullptr;
}

void free_list(EntryList *list)
{
	free_chunks(list->nodes);
	free(list->index);
}

void init_listing(DirListing *listing)
{
	init_list(&listing->files);
	init_list(&listing->dirs);
	listing->marks = nullptr;
	listing->matched = nullptr;
}

void free_listing(DirListing *listing)
{
	free_list(&listing->files);
	free_list(&listing->dirs);
	free(listing->marks);
	free(listing->matched);
}

void prefetch_entry(const EntryNode *node)
{
	__builtin_prefetch(node);
	__builtin_prefetch((const char *)node + 64); // the next line, where its name goes on
}

static uint32_t name_hash(const char *name)
{
	uint32_t h = 2166136261u;
	for (const unsigned char *p = (const unsigned char *)name; *p != '\0'; p++)
		h = (h ^ *p) * 16777619u;
	return h;
}

// Open addressing in a table half as large again as the list, so that a
// name is found, or its absence known, after a probe or two.  A hash is
// brought into the table's range by a multiplication, which takes any size.
static uint32_t slot_of(const NameTable *t, uint32_t hash)
{
	return (uint32_t)(((uint64_t)hash * t->size) >> 32);
}

void build_table(NameTable *t, const EntryList *list)
{
	t->list = list;
	t->size = (uint32_t)list->count + (uint32_t)list->count / 2 + 1;
	t->slots = (int32_t *)calloc(t->size, sizeof *t->slots);
	if (t->slots == nullptr)
		out_of_memory();
	// By the index, not the chain, which a listing handed over by value
	// no longer ends at its head; the names are fetched a few ahead.
	enum { AHEAD = 8 };
	for (int32_t i = 0; i < list->count; i++) {
		if (i + AHEAD < list->count)
			prefetch_entry(list->index[i + AHEAD]);
		uint32_t at = slot_of(t, name_hash(list->index[i]->name));
		while (t->slots[at] != 0)
			at = at + 1 == t->size ? 0 : at + 1;
		t->slots[at] = i + 1;
	}
}

uint32_t table_hint(const NameTable *t, const char *name)
{
	uint32_t at = slot_of(t, name_hash(name));
	__builtin_prefetch(&t->slots[at]);
	return at;
}

int32_t table_find(const NameTable *t, uint32_t hint, const char *name)
{
	for (uint32_t at = hint; t->slots[at] != 0; at = at + 1 == t->size ? 0 : at + 1)
		if (strcmp(t->list->index[t->slots[at] - 1]->name, name) == 0)
			return t->slots[at] - 1;
	return -1;
}

void free_table(NameTable *t)
{
	free(t->slots);
	t->slots = nullptr;
}

static void *zeroed(size_t count, size_t size)
{
	void *p = calloc(count, size);
	if (p == nullptr)
		out_of_memory();
	return p;
}

void keep_counterpart(DirListing *listing, int32_t i, int32_t count, const FileStatus *st, unsigned marks)
{
	if (listing->marks == nullptr)
		listing->marks = (unsigned char *)zeroed((size_t)count, 1);
	EntryStatus kept;
	keep_status(&kept, st);
	listing->marks[i] = (unsigned char)(marks | COUNTERPART_FOUND | (kept.shared ? COUNTERPART_SHARED : 0));
	if (marks & COUNTERPART_DECIDED)
		return;
	if (listing->matched == nullptr)
		listing->matched = (Counterpart *)zeroed((size_t)count, sizeof *listing->matched);
	listing->matched[i] = {kept.size, kept.mtime, kept.mtime_nanos, kept.mode};
}

unsigned counterpart_marks(const DirListing *listing, int32_t i)
{
	return listing->marks != nullptr ? listing->marks[i] : 0;
}

FileStatus counterpart_view(const DirListing *listing, int32_t i)
{
	const Counterpart *c = &listing->matched[i];
	EntryStatus kept = {};
	kept.size = c->size;
	kept.mtime = c->mtime;
	kept.mtime_nanos = c->mtime_nanos;
	kept.mode = c->mode;
	kept.shared = (listing->marks[i] & COUNTERPART_SHARED) != 0;
	FileStatus st;
	view_status(&st, &kept);
	return st;
}
