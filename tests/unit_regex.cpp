// The program's own basic regular expressions (the Windows build's) against
// the C library's, on one table of patterns and paths.
#include "bre.h"

#include <gtest/gtest.h>
#include <regex.h>

namespace {

enum { REFUSED = -1, NO = 0, YES = 1 };

int libc_match(const char *pattern, const char *text)
{
	::regex_t re;
	if (::regcomp(&re, pattern, REG_NOSUB) != 0)
		return REFUSED;
	int hit = ::regexec(&re, text, 0, nullptr, 0) == 0;
	::regfree(&re);
	return hit;
}

int own_match(const char *pattern, const char *text)
{
	treemir::regex_t re;
	if (treemir::regcomp(&re, pattern, treemir::RE_NOSUB) != 0)
		return REFUSED;
	int hit = treemir::regexec(&re, text, 0, nullptr, 0) == 0;
	treemir::regfree(&re);
	return hit;
}

} // namespace

TEST(BasicRegex, MatchesLikeTheCLibrary)
{
	struct Case { const char *pattern, *text; int want; } cases[] = {
		// unanchored search, anchors, case
		{"abc", "/d/xabcx", YES}, {"^abc", "xabc", NO}, {"^abc", "abcx", YES},
		{"abc$", "abcx", NO}, {"abc$", "xabc", YES}, {"ABC", "abc", NO}, {"^$", "", YES},
		// '.', '*', intervals, groups, back-references
		{"a.c", "a/c", YES}, {"a.c", "ac", NO}, {"ba*c", "bc", YES}, {"ba*c", "baaac", YES},
		{"a\\{2\\}", "xax", NO}, {"a\\{2,3\\}b", "aaab", YES}, {"^a\\{2,3\\}b", "aaaab", NO},
		{"a\\{0\\}b", "b", YES}, {"\\(ab\\)*c", "ababc", YES}, {"\\(ab\\)\\{2\\}", "abab", YES},
		{"\\(a\\)\\1", "aa", YES}, {"\\(a\\)\\1", "ab", NO},
		// literals the basic syntax keeps: leading '*', inner '^' and '$', ERE operators
		{"*a", "x*a", YES}, {"*a", "a", NO}, {"^*a", "*a", YES}, {"x\\(*a\\)", "x*a", YES},
		{"\\(^a\\)", "a", YES}, {"a^b", "a^b", YES}, {"a$b", "a$b", YES}, {"\\(a$\\)", "ba", YES},
		{"a+", "aa", NO}, {"a+", "a+", YES}, {"a?", "a?", YES}, {"a|b", "a", NO},
		{"(a)", "(a)", YES}, {"a{2}", "a{2}", YES}, {"\\/sub", "/x/sub", YES},
		{"\\.txt$", "a.txt", YES}, {"\\.txt$", "atxt", NO}, {"\\*", "*", YES},
		// the Windows separator, escaped; bracket expressions
		{"\\\\", "C:\\x", YES}, {"\\\\", "C:/x", NO}, {"[\\]", "\\", YES}, {"[\\]]", "\\]", YES},
		{"[\\]]", "]", NO}, {"[abc]x", "bx", YES}, {"[^abc]x", "bx", NO}, {"[]a]", "]", YES},
		{"[^]a]", "b", YES}, {"[a-]", "-", YES}, {"[.]", "a", NO}, {"[*^$]", "$", YES},
		{"[[:digit:]]", "a1", YES}, {"[[:upper:]]", "a", NO}, {"[[:alnum:]_]x", "_x", YES},
		{"[[.a.]]", "a", YES}, {"[[=a=]]", "a", YES}, {"[]x[]", "[", YES},
		// any byte, and line ends as ordinary characters
		{".", "\xc3\xa9", YES}, {"a.b", "a\nb", YES}, {"^b", "a\nb", NO}, {"a$", "a\nb", NO},
		// refused patterns
		{"\\(", "x", REFUSED}, {"\\)", "x", REFUSED}, {"a\\{", "a", REFUSED}, {"[a", "a", REFUSED},
		{"\\{1\\}", "a", REFUSED}, {"a\\{3,2\\}", "a", REFUSED}, {"\\1", "a", REFUSED},
		{"a\\", "a\\", REFUSED}, {"[[:foo:]]", "a", REFUSED}, {"[z-a]", "b", REFUSED}, {"[[:alpha:]", "a", REFUSED},
	};
	for (const Case &c : cases) {
		EXPECT_EQ(libc_match(c.pattern, c.text), c.want) << "C library: " << c.pattern << " on " << c.text;
		EXPECT_EQ(own_match(c.pattern, c.text), c.want) << "own: " << c.pattern << " on " << c.text;
	}
}

TEST(BasicRegex, TakesOnlyTheNoSubFlag)
{
	treemir::regex_t re;
	EXPECT_NE(treemir::regcomp(&re, "a", 1), 0); // an extended-syntax request
	ASSERT_EQ(treemir::regcomp(&re, "a", 0), 0);
	EXPECT_NE(treemir::regexec(&re, "a", 0, nullptr, 1), 0);
	treemir::regfree(&re);
}
