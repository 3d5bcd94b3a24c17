// Entry lists: circular singly linked lists whose head is their own
// sentinel, new nodes at the front, and an index array sorted by name in
// byte order for sorted access and for matching two lists in one pass.  A
// list owns its nodes, their names and its index, the nodes and names
// carved from chunks of its own.
#include "treemir.h"
#include "console.h"

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
	if (status != nullptr)
		keep_status(&node->status, status);
	node->is_link = 0;
	node->next = list->next;
	list->next = node;
	return node;
}

FileStatus entry_view(const EntryNode *entry)
{
	FileStatus st;
	view_status(&st, &entry->status);
	return st;
}

// A name's first sixteen bytes as two numbers that order as the bytes do
// (a name shorter than that padded with NULs, as strcmp sees it), so that
// most comparisons of a sort are of numbers in the array being sorted,
// without reading the names, even where many names share a stem.
struct SortKey {
	uint64_t prefix[2];
	EntryNode *node;
};

static uint64_t name_word(const char *name, size_t *from)
{
	uint64_t key = 0;
	for (int i = 0; i < 8 && name[*from] != '\0'; i++, (*from)++)
		key |= (uint64_t)(unsigned char)name[*from] << (56 - 8 * i);
	return key;
}

static bool key_before(const SortKey &a, const SortKey &b)
{
	if (a.prefix[0] != b.prefix[0])
		return a.prefix[0] < b.prefix[0];
	if (a.prefix[1] != b.prefix[1])
		return a.prefix[1] < b.prefix[1];
	// Equal prefixes with a NUL in them are equal names; only longer
	// ones differ past the sixteenth byte.
	if ((a.prefix[1] & 0xff) == 0)
		return false;
	return strcmp(a.node->name + 16, b.node->name + 16) < 0;
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
	for (EntryNode *n = list->next; n != list_end(list); n = n->next) {
		size_t from = 0;
		uint64_t first = name_word(n->name, &from);
		keys[i++] = {{first, name_word(n->name, &from)}, n};
	}
	std::sort(keys, keys + count, key_before);
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
	listing->matched = nullptr;
}

void free_listing(DirListing *listing)
{
	free_list(&listing->files);
	free_list(&listing->dirs);
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

// Open addressing in a table at least twice the list's size, so that a
// name is found, or its absence known, after a probe or two.
void build_table(NameTable *t, const EntryList *list)
{
	uint32_t size = 16;
	while (size < 2 * (uint32_t)list->count)
		size *= 2;
	t->list = list;
	t->mask = size - 1;
	t->slots = (int32_t *)calloc(size, sizeof *t->slots);
	if (t->slots == nullptr)
		out_of_memory();
	// By the index, not the chain, which a listing handed over by value
	// no longer ends at its head; the names are fetched a few ahead.
	enum { AHEAD = 8 };
	for (int32_t i = 0; i < list->count; i++) {
		if (i + AHEAD < list->count)
			prefetch_entry(list->index[i + AHEAD]);
		EntryNode *n = list->index[i];
		uint32_t at = name_hash(n->name) & t->mask;
		while (t->slots[at] != 0)
			at = (at + 1) & t->mask;
		t->slots[at] = i + 1;
	}
}

uint32_t table_hint(const NameTable *t, const char *name)
{
	uint32_t at = name_hash(name) & t->mask;
	__builtin_prefetch(&t->slots[at]);
	return at;
}

int32_t table_find(const NameTable *t, uint32_t hint, const char *name)
{
	for (uint32_t at = hint; t->slots[at] != 0; at = (at + 1) & t->mask)
		if (strcmp(t->list->index[t->slots[at] - 1]->name, name) == 0)
			return t->slots[at] - 1;
	return -1;
}

void free_table(NameTable *t)
{
	free(t->slots);
	t->slots = nullptr;
}

void keep_counterpart(DirListing *listing, int32_t i, int32_t count, const FileStatus *st, int is_link)
{
	if (listing->matched == nullptr) {
		listing->matched = (Counterpart *)calloc((size_t)count, sizeof *listing->matched);
		if (listing->matched == nullptr)
			out_of_memory();
	}
	EntryStatus kept;
	keep_status(&kept, st);
	Counterpart *c = &listing->matched[i];
	c->size = kept.size;
	c->mtime = kept.mtime;
	c->mtime_nanos = kept.mtime_nanos;
	c->mode = (uint16_t)kept.mode;
	c->flags = COUNTERPART_FOUND | (is_link ? COUNTERPART_LINK : 0) | (kept.shared ? COUNTERPART_SHARED : 0);
}

const Counterpart *counterpart_of(const DirListing *listing, int32_t i)
{
	if (listing->matched == nullptr || !(listing->matched[i].flags & COUNTERPART_FOUND))
		return nullptr;
	return &listing->matched[i];
}

FileStatus counterpart_view(const Counterpart *c)
{
	EntryStatus kept = {};
	kept.size = c->size;
	kept.mtime = c->mtime;
	kept.mtime_nanos = c->mtime_nanos;
	kept.mode = c->mode;
	kept.shared = (c->flags & COUNTERPART_SHARED) != 0;
	FileStatus st;
	view_status(&st, &kept);
	return st;
}
