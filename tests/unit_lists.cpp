// Entry lists: adding, sorting by name, lookup and release.
#include "treemir.h"

#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>

TEST(EntryLists, SortsByUnsignedBytesAndFindsExactNames)
{
	EntryList list;
	auto find = [&list](const char *name) {
		ListCursor c = {&list, 0};
		return seek_entry(&c, name);
	};
	init_list(&list);
	sort_list(&list); // an empty list has no index and finds nothing
	EXPECT_EQ(list.count, 0);
	EXPECT_EQ(list.index, nullptr);
	EXPECT_EQ(find("x"), nullptr);
	free_list(&list);

	init_list(&list);
	// Added in no useful order; bytes above 127 must sort after ASCII.
	// Names that share their first eight or sixteen bytes order by the rest.
	const char *names[] = {"b", "\xff", "a1", "B", "~", "\xc3\xa9", "_", "a", "Z", "\x80x", "A",
	                       "prefix12", "prefix12\xff", "prefix1", "prefix12A", "prefix123", "prefix12A0",
	                       "prefix12A0bcdefgh~", "prefix12A0bcdefgh", "prefix12A0bcdefgh~~", "prefix12A0bcdefg"};
	auto tag = [](const char *n) { return (off_t)((unsigned char)n[0] * 100 + strlen(n)); };
	struct stat st = {};
	for (const char *n : names) {
		st.st_size = tag(n); // tells each node's snapshot apart
		add_entry(&list, n, &st);
	}
	sort_list(&list);
	ASSERT_EQ(list.count, 21);
	std::vector<std::string> sorted;
	for (int32_t i = 0; i < list.count; i++)
		sorted.push_back(list.index[i]->name);
	EXPECT_EQ(sorted, (std::vector<std::string>{"A", "B", "Z", "_", "a", "a1", "b", "prefix1", "prefix12",
	                                             "prefix123", "prefix12A", "prefix12A0", "prefix12A0bcdefg",
	                                             "prefix12A0bcdefgh", "prefix12A0bcdefgh~", "prefix12A0bcdefgh~~",
	                                             "prefix12\xff", "~",
	                                             "\x80x", "\xc3\xa9", "\xff"}));

	struct Probe { const char *name; bool hit; } probes[] = {
		{"A", true}, {"a", true}, {"a1", true}, {"\xff", true}, {"\x80x", true}, {"~", true},
		{"", false}, {"AA", false}, {"c", false}, {"a2", false}, {"\x80", false},
		{"\xc3", false}, {"b ", false}, {"prefix12A", true}, {"prefix12\xff", true}, {"prefix12B", false},
		{"prefix12A0bcdefgh~", true}, {"prefix12A0bcdefgh~~~", false}, {"prefix12A0bcdefgi", false},
	};
	// The table of names finds what the sorted walk finds, at the same place.
	NameTable table;
	build_table(&table, &list);
	for (const Probe &p : probes) {
		EntryNode *hit = find(p.name);
		ASSERT_EQ(hit != nullptr, p.hit) << p.name;
		int32_t at = table_find(&table, table_hint(&table, p.name), p.name);
		ASSERT_EQ(at >= 0 ? list.index[at] : nullptr, hit) << p.name;
		if (hit) {
			EXPECT_STREQ(hit->name, p.name);
			EXPECT_EQ(hit->status.size, tag(p.name));
		}
	}
	free_table(&table);
	free_list(&list);
}
