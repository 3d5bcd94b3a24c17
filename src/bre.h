// Basic regular expressions for builds whose C library has none (Windows),
// with the regcomp/regexec contract the exclusion rules rely on: basic
// syntax, case-sensitive, and an answer of match or no match only.  Built
// on the standard library's basic grammar; the few places where that
// grammar reads a pattern differently are rewritten first (see bre.cpp).
// In a namespace of its own, so that it can sit beside the C library's
// functions of the same names.
#ifndef TREEMIR_BRE_H
#define TREEMIR_BRE_H

#include <cstddef>

namespace treemir {

struct regex_t {
	void *compiled; // the standard library's expression, owned
};

struct regmatch_t; // never filled: positions are not reported

enum { RE_NOSUB = 8, RE_NOMATCH = 1, RE_BADPAT = 2 };

// Answers 0 when the pattern compiled; flags must be RE_NOSUB or 0.
int regcomp(regex_t *re, const char *pattern, int flags);
// Answers 0 when the expression matches some part of text.
int regexec(const regex_t *re, const char *text, size_t nmatch, regmatch_t *match, int flags);
void regfree(regex_t *re);

} // namespace treemir

#endif
