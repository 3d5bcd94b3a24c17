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
	list->names = nullptr;
}

enum { FIRST_CHUNK = 1024, LAST_CHUNK = 1 << 20 };

// size bytes from the chunks, a new one when the last is full, each twice
// the one before up to a megabyte: a small directory costs little, and a
// large one wastes at most its last chunk's room.  Nodes have chunks of
// their own, so every node stays aligned; names need no alignment.
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

EntryNode *add_entry(EntryList *list, const char *name, const FileStatus *status)
{
	size_t len = strlen(name);
	EntryNode *node = (EntryNode *)carve(&list->nodes, sizeof *node);
	node->name = (char *)carve(&list->names, len + 1);
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

// A name's first eight bytes as one number that orders as the bytes do
// (a name shorter than eight bytes padded with NULs, as strcmp sees it),
// so that most comparisons of a sort are one of two numbers in the array
// being sorted, without reading the names.
struct SortKey {
	uint64_t prefix;
	EntryNode *node;
};

static uint64_t name_prefix(const char *name)
{
	uint64_t key = 0;
	for (int i = 0; i < 8 && name[i] != '\0'; i++)
		key |= (uint64_t)(unsigned char)name[i] << (56 - 8 * i);
	return key;
}

static bool key_before(const SortKey &a, const SortKey &b)
{
	if (a.prefix != b.prefix)
		return a.prefix < b.prefix;
	// Equal prefixes with a NUL in them are equal names; only longer
	// ones differ past the eighth byte.
	if ((a.prefix & 0xff) == 0)
		return false;
	return strcmp(a.node->name + 8, b.node->name + 8) < 0;
}

void sort_list(EntryList *list)
{
	int32_t count = 0;
	for (EntryNode *n = list->next; n != list_end(list); n = n->next)
		count++;
	list->count = count;
	list->index = (EntryNode **)xmalloc((size_t)count * sizeof(EntryNode *));
	if (count < 2) {
		if (count == 1)
			list->index[0] = list->next;
		return;
	}
	SortKey *keys = (SortKey *)xmalloc((size_t)count * sizeof *keys);
	int32_t i = 0;
	for (EntryNode *n = list->next; n != list_end(list); n = n->next)
		keys[i++] = {name_prefix(n->name), n};
	std::sort(keys, keys + count, key_before);
	for (i = 0; i < count; i++)
		list->index[i] = keys[i].node;
	free(keys);
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
	free_chunks(list->names);
	free(list->index);
}

void free_listing(DirListing *listing)
{
	free_list(&listing->files);
	free_list(&listing->dirs);
}
