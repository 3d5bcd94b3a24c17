// Exclusion rules: name lists, list files and patterns.
#include "treemir.h"

#include <gtest/gtest.h>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char *text(const EntryNode *n) { return n->name; }
const char *text(const PatternNode *p) { return p->pattern_text; }

// The items of a list, newest first.
template <class List> std::vector<std::string> items(List *list)
{
	std::vector<std::string> out;
	for (auto *n = list->next; (void *)n != (void *)list; n = n->next)
		out.push_back(text(n));
	return out;
}

class Exclude : public testing::Test {
protected:
	void SetUp() override
	{
		// Items are never released; earlier items are kept reachable, not freed.
		static auto *retired = new std::vector<void *>; // outlives the exit checks
		retired->insert(retired->end(), {run.exclude_dirs.next, run.exclude_files.next,
		                                 run.exclude_patterns.next});
		init_list(&run.exclude_dirs);
		init_list(&run.exclude_files);
		init_patterns(&run.exclude_patterns);
		errors = run.error_count;
	}
	void TearDown() override { unlink(file.c_str()); }
	// "@FILE" for a list file holding exactly the given bytes.
	std::string list_file(const std::string &content)
	{
		std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
		return "@" + file;
	}
	std::string file = "/dev/shm/treemir-unit-list-" + std::to_string(getpid());
	int64_t errors = 0;
};

} // namespace

TEST_F(Exclude, FindNameIsExactCaseSensitiveAndNewestFirst)
{
	EntryList *list = &run.exclude_files;
	for (const char *n : {"a.txt", "a b", "Dup"})
		add_name(list, n);
	EntryNode *older = find_name(list, "Dup");
	add_name(list, "Dup");
	EXPECT_EQ(find_name(list, "Dup"), list->next);
	EXPECT_NE(find_name(list, "Dup"), older);
	for (const char *hit : {"a.txt", "a b"})
		EXPECT_NE(find_name(list, hit), nullptr) << hit;
	for (const char *miss : {"A.TXT", "a.tx", "a.txt ", "*.txt", "a", "", "dup"})
		EXPECT_EQ(find_name(list, miss), nullptr) << miss;
	EXPECT_EQ(find_name(&run.exclude_dirs, "a.txt"), nullptr);
}

TEST_F(Exclude, ListFileWordsGoInNewestFirstOnTopOfEarlierItems)
{
	const std::string longword(5000, 'w');
	struct Case { std::string content; std::vector<std::string> want; } cases[] = {
		{"one two three", {"three", "two", "one", "old"}},
		{"one\ntwo\nthree\n", {"three", "two", "one", "old"}},
		{"\t a\r\n\vb\fc  ", {"c", "b", "a", "old"}},
		{"", {"old"}},
		{" \t\r\n\v\f \n", {"old"}},
		{"@x #y ;z", {";z", "#y", "@x", "old"}}, // no nesting, no comments
		{"s " + longword + "\n", {longword, "s", "old"}},
	};
	for (const Case &c : cases) {
		SetUp();
		std::string at = list_file(c.content);
		testing::internal::CaptureStderr();
		add_name(&run.exclude_dirs, "old");
		add_name(&run.exclude_dirs, at.c_str());
		add_pattern(&run.exclude_patterns, "old");
		add_pattern(&run.exclude_patterns, at.c_str());
		EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
		EXPECT_EQ(items(&run.exclude_dirs), c.want) << c.content;
		EXPECT_EQ(items(&run.exclude_patterns), c.want) << c.content;
		EXPECT_EQ(run.error_count, errors);
	}
}

TEST_F(Exclude, MissingListFileEndsTheRunWithOneFopenLine)
{
	const std::string missing = "/dev/shm/treemir-unit-no-such-list";
	const std::string line = "\ntreemir: fopen (" + missing + ") " + strerror(ENOENT) + " (2)\n";
	EXPECT_EXIT(add_name(&run.exclude_files, ("@" + missing).c_str()),
	            testing::ExitedWithCode(1), testing::Eq(line));
	EXPECT_EXIT(add_pattern(&run.exclude_patterns, ("@" + missing).c_str()),
	            testing::ExitedWithCode(1), testing::Eq(line));
	EXPECT_EXIT(add_name(&run.exclude_dirs, "@"), testing::ExitedWithCode(1),
	            testing::Eq("\ntreemir: fopen () " + std::string(strerror(ENOENT)) + " (2)\n"));
}

TEST_F(Exclude, BadPatternIsReportedCountedAndLeftOut)
{
	PatternList *list = &run.exclude_patterns;
	compile_pattern(list, "ok");
	int64_t n = 0;
	for (const char *bad : {"\\(", "", "a\\{1", "[a", "\\"}) {
		testing::internal::CaptureStderr();
		errno = 0;
		compile_pattern(list, bad);
		EXPECT_EQ(testing::internal::GetCapturedStderr(),
		          std::string("\ntreemir: regex (") + bad + ") " + strerror(EINVAL) + " (22)\n");
		EXPECT_EQ(run.error_count, errors + ++n) << bad;
		EXPECT_EQ(items(list), std::vector<std::string>{"ok"}) << bad;
	}
	compile_pattern(list, "b");
	EXPECT_EQ(items(list), (std::vector<std::string>{"b", "ok"}));
}

TEST_F(Exclude, MatchPatternNamesTheNewestMatchingPattern)
{
	PatternList *list = &run.exclude_patterns;
	for (const char *p : {"a", "b$", "x", "q+", "^/r"})
		add_pattern(list, p);
	struct Case { const char *path; const char *by; } cases[] = {
		{"/d/ab", "b$"}, {"/d/ax", "x"}, {"/d/ba", "a"}, {"/r/xb", "^/r"},
		{"/d/cc", nullptr}, {"/D/A", nullptr}, {"/d/r", nullptr},
		{"/qq", nullptr}, {"/q+", "q+"}, // basic syntax: '+' is a plain character
	};
	for (const Case &c : cases) {
		testing::internal::CaptureStdout();
		int hit = match_pattern(list, c.path);
		std::string want = c.by ? std::string(c.path) + " matched by " + c.by + " \n" : "";
		EXPECT_EQ(testing::internal::GetCapturedStdout(), want) << c.path;
		EXPECT_EQ(hit, c.by ? 1 : 0) << c.path;
	}
}
