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
	const std::string longword(PATH_BUF - 1, 'w'); // the longest a name may be
	struct Case { std::string content; std::vector<std::string> want; bool through_pipe = false; } cases[] = {
		{"one two three", {"three", "two", "one", "old"}},
		{"one\ntwo\nthree\n", {"three", "two", "one", "old"}},
		{"\t a\r\n\vb\fc  ", {"c", "b", "a", "old"}},
		{"", {"old"}},
		{" \t\r\n\v\f \n", {"old"}},
		{"@x #y ;z", {";z", "#y", "@x", "old"}}, // no nesting, no comments
		{"s " + longword + "\n", {longword, "s", "old"}},
		{"one two", {"two", "one", "old"}, true},
		// Byte-order marks: UTF-8 skipped; UTF-16 in either order converted.
		{"\xef\xbb\xbf" "caf\xc3\xa9 x", {"x", "caf\xc3\xa9", "old"}},
		{"\xef\xbb\xbf", {"old"}},
		{"\xef\xbb" "a b", {"b", "\xef\xbb" "a", "old"}},
		{"\xef\xbb\xbe", {"\xef\xbb\xbe", "old"}},
		{"\xfe" "a", {"\xfe" "a", "old"}},
		{std::string("\xff\xfe" "c\0a\0f\0\xe9\0 \0=\xd8\0\xde\r\0\n\0\x1f\x04", 22),
		 {"\xd0\x9f", "\xf0\x9f\x98\x80", "caf\xc3\xa9", "old"}},
		{std::string("\xfe\xff\0x\0\t\x30\xad\xd8\x3d\xde\0", 12), {"\xe3\x82\xad\xf0\x9f\x98\x80", "x", "old"}},
		{"\xff\xfe", {"old"}},
	};
	// A pipe is read like a file (what a shell's process substitution gives).
	std::vector<int> pipes;
	auto piped = [&pipes](const std::string &content) {
		int fds[2];
		EXPECT_EQ(pipe(fds), 0);
		EXPECT_EQ(write(fds[1], content.data(), content.size()), (ssize_t)content.size());
		close(fds[1]);
		pipes.push_back(fds[0]);
		return "@/dev/fd/" + std::to_string(fds[0]);
	};
	for (const Case &c : cases) {
		SetUp();
		std::string at = list_file(c.content);
		testing::internal::CaptureStderr();
		add_name(&run.exclude_dirs, "old");
		add_name(&run.exclude_dirs, (c.through_pipe ? piped(c.content) : at).c_str());
		add_pattern(&run.exclude_patterns, "old");
		add_pattern(&run.exclude_patterns, (c.through_pipe ? piped(c.content) : at).c_str());
		EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
		EXPECT_EQ(items(&run.exclude_dirs), c.want) << c.content;
		EXPECT_EQ(items(&run.exclude_patterns), c.want) << c.content;
		EXPECT_EQ(run.error_count, errors);
	}
	for (int fd : pipes)
		close(fd);
}

// A list that cannot be opened, or that is no list of words, ends the run
// at once with one line.
TEST_F(Exclude, UnusableListFileEndsTheRunWithOneLine)
{
	const std::string missing = "/dev/shm/treemir-unit-no-such-list";
	const std::string refused = "\ntreemir: list " + file + " ";
	// at: the option's text, or none for the list file of content.
	struct Case { std::string at, content, line; bool names, patterns; } cases[] = {
		{"@" + missing, "", "\ntreemir: fopen (" + missing + ") " + strerror(ENOENT) + " (2)\n", true, true},
		{"@", "", "\ntreemir: fopen () " + std::string(strerror(ENOENT)) + " (2)\n", true, false},
		{"@/dev/zero", "", "\ntreemir: list /dev/zero is a device\n", true, true},
		{"", std::string("a\0b", 3), refused + "holds a NUL byte\n", true, true},
		{"", std::string("\0", 1), refused + "holds a NUL byte\n", true, true},
		{"", std::string("\xff\xfe" "a\0\0\0", 6), refused + "holds a NUL character\n", true, true},
		{"", std::string("\xff\xfe" "a\0b", 5), refused + "is not valid UTF-16\n", true, true},
		{"", std::string("\xff\xfe\0\xd8" "a\0", 6), refused + "is not valid UTF-16\n", true, true},
		{"", std::string("\xfe\xff\xdc\0", 4), refused + "is not valid UTF-16\n", true, true},
		{"", "a " + std::string(PATH_BUF, 'w'),
		 refused + "holds a word longer than " + std::to_string(PATH_BUF - 1) + " bytes\n", true, false},
		{"", std::string(65537, 'w'), refused + "holds a word longer than 65536 bytes\n", false, true},
	};
	for (const Case &c : cases) {
		std::string at = c.at.empty() ? list_file(c.content) : c.at;
		if (c.names) {
			EXPECT_EXIT(add_name(&run.exclude_files, at.c_str()), testing::ExitedWithCode(1),
			            testing::Eq(c.line)) << c.line;
		}
		if (c.patterns) {
			EXPECT_EXIT(add_pattern(&run.exclude_patterns, at.c_str()), testing::ExitedWithCode(1),
			            testing::Eq(c.line)) << c.line;
		}
	}
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
