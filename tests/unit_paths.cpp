// Path building and operand clean-up.
#include "treemir.h"

#include <gtest/gtest.h>
#include <cerrno>
#include <string>

TEST(JoinPath, InsertsExactlyOneSeparator)
{
	struct Case { const char *dir, *name, *want; } cases[] = {
		{"/", "x", "/x"},
		{"/data", "x", "/data/x"},
		{"/data/", "x", "/data/x"},
		{"a", "b c", "a/b c"},
		{"a//", "b", "a//b"},
	};
	for (const Case &c : cases) {
		char out[PATH_BUF];
		ASSERT_NE(join_path(out, PATH_BUF, c.dir, c.name), nullptr) << c.dir;
		EXPECT_STREQ(out, c.want) << c.dir << " + " << c.name;
	}
}

TEST(JoinPath, RefusesWhatDoesNotFitAndWritesNothing)
{
	std::string dir(PATH_BUF - 3, 'd');
	char out[PATH_BUF] = "untouched";
	EXPECT_NE(join_path(out, PATH_BUF, dir.c_str(), "x"), nullptr); // 4093 + '/' + 'x' = 4095 chars
	errno = 0;
	EXPECT_EQ(join_path(out, PATH_BUF, dir.c_str(), "xy"), nullptr);
	EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST(TrimSeparator, RemovesAtMostOneTrailingSeparator)
{
	struct Case { const char *in, *want; } cases[] = {
		{"/", "/"},
		{"", ""},
		{"a", "a"},
		{"a/", "a"},
		{"a//", "a/"},
		{"/data/", "/data"},
		{"//", "/"},
		{"c:/", "c:/"},
	};
	for (const Case &c : cases) {
		std::string s = c.in;
		trim_separator(&s[0]);
		EXPECT_STREQ(s.c_str(), c.want) << "from " << c.in;
	}
}
