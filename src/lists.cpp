// Entry lists: circular singly linked lists whose head is their own
// sentinel, new nodes at the front, and an index array sorted by name in
// byte order for sorted access and binary search.  A list owns its nodes,
// their names and its index; a listed entry and its name are one
// allocation.
#include "treemir.h"
#include "console.h"

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
