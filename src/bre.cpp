#include "bre.h"

#include <cctype>
#include <cstring>
#include <regex>
#include <string>

namespace treemir {

// The end of the bracket expression that starts at p ('['), or null when
// it is not closed.  A ']' right after "[" or "[^" is a member, and the
// "[:", "[." and "[=" forms run to their own closing mark.
static const char *bracket_end(const char *p)
{
	const char *q = p + 1;
	if (*q == '^')
		q++;
	if (*q == ']')
		q++;
	while (*q != '\0' && *q != ']') {
		if (*q == '[' && (q[1] == ':' || q[1] == '.' || q[1] == '=')) {
			const char *close = q + 2;
			while (*close != '\0' && !(close[0] == q[1] && close[1] == ']'))
				close++;
			if (*close == '\0')
				return nullptr;
			q = close + 2;
		} else {
			q++;
		}
	}
	return *q == ']' ? q + 1 : nullptr;
}

// Spells out as literals what the basic syntax reads as literals but the
// standard library's basic grammar takes as an operator or refuses: a '*'
// first in the expression or in a group (also after its '^'), a '^' that
// does not start one, a '$' that does not end one, and a backslash before
// a punctuation mark without a meaning of its own ("\/" is "/").  Bracket
// expressions are taken over unchanged; what is left malformed is left for
// the compiler to refuse.
static std::string rewrite(const char *p)
{
	std::string out;
	bool may_anchor = true, star_literal = true;
	while (*p != '\0') {
		bool group = p[0] == '\\' && p[1] == '(';
		if (*p == '[') {
			const char *end = bracket_end(p);
			if (end == nullptr)
				return out + p;
			out.append(p, end);
			p = end;
		} else if (*p == '\\' && p[1] != '\0') {
			if (std::isalnum((unsigned char)p[1]) || std::strchr("(){}.[]*^$\\", p[1]))
				out += '\\';
			out += p[1];
			p += 2;
		} else if (*p == '*' && star_literal) {
			out += "\\*";
			p++;
		} else if (*p == '^') {
			out += may_anchor ? "^" : "\\^";
			p++;
			star_literal = may_anchor;
			may_anchor = false;
			continue;
		} else if (*p == '$') {
			bool ends = p[1] == '\0' || (p[1] == '\\' && p[2] == ')');
			out += ends ? "$" : "\\$";
			p++;
		} else {
			out += *p++;
		}
		may_anchor = star_literal = group;
	}
	return out;
}

int regcomp(regex_t *re, const char *pattern, int flags)
{
	re->compiled = nullptr;
	if ((flags & ~RE_NOSUB) != 0)
		return RE_BADPAT;
	try {
		re->compiled = new std::regex(rewrite(pattern), std::regex::basic);
	} catch (const std::exception &) {
		return RE_BADPAT;
	}
	return 0;
}

int regexec(const regex_t *re, const char *text, size_t, regmatch_t *, int flags)
{
	if (flags != 0 || re->compiled == nullptr)
		return RE_NOMATCH;
	try {
		return std::regex_search(text, *static_cast<const std::regex *>(re->compiled)) ? 0 : RE_NOMATCH;
	} catch (const std::exception &) {
		return RE_NOMATCH; // the matcher gave up: no match
	}
}

void regfree(regex_t *re)
{
	delete static_cast<std::regex *>(re->compiled);
	re->compiled = nullptr;
}

} // namespace treemir
