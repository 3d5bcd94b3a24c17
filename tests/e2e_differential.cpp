// The mirror against a yardstick: on seeded random trees the destination must
// end exactly as rsync -rt --perms --delete leaves a copy of it.  A run with
// one worker on another copy must print, end and leave the same as a run
// with many.
#include "harness.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <regex>
#include <cstdlib>

namespace {

const unsigned FILE_MODES[] = {0644, 0600, 0755, 0444, 0640};
const unsigned DIR_MODES[] = {0755, 0700, 0750, 0555, 0775};
const int SIZES[] = {0, 1, 100, 4096, 5000};

// A tree of the seed's: directories nest depth levels below the top, and a
// directory holds 2 to width entries besides extras of the destination's;
// beside them, where wide is set, one directory of 2 to wide files, more
// than a worker may read ahead of the walk.
struct Shape {
	unsigned seed;
	int depth, width, wide;
};

struct Generator {
	std::mt19937 rng;
	Shape shape;
	Items src, dst;

	int pick(int n) { return (int)(rng() % (unsigned)n); }
	static std::string oct(unsigned m)
	{
		return std::to_string(m >> 6) + std::to_string(m >> 3 & 7) + std::to_string(m & 7);
	}
	std::string dir(const std::string &rel) { return "d " + rel + " " + oct(DIR_MODES[pick(5)]); }
	static std::string file(const std::string &rel, int size, int pattern, unsigned mode, int at)
	{
		return "f " + rel + " #" + std::to_string(size) + "." + std::to_string(pattern) + " " + oct(mode) +
		       " " + std::to_string(at);
	}

	// One directory's entries on the sides named.  On both sides an entry is
	// as in the source, missing, stale, newer, of equal size and time, of the
	// other type, or beside an extra whose name differs in case only.
	void tree(const std::string &at, int depth, bool in_src, bool in_dst)
	{
		bool both = in_src && in_dst;
		int width = at == "wide/" ? shape.wide : shape.width;
		for (int i = 0, n = 2 + pick(width - 1); i < n; i++) {
			std::string rel = at + "abAB"[pick(4)] + std::to_string(i);
			int size = SIZES[pick(5)], t = pick(1000);
			unsigned mode = FILE_MODES[pick(5)];
			if (depth < shape.depth && pick(5) < 2) {
				int v = both ? pick(3) : 0; // 0: as in the source, 1: missing, 2: a file instead
				if (in_src)
					src.push_back(dir(rel));
				if (in_dst && v == 0)
					dst.push_back(dir(rel));
				if (v == 2)
					dst.push_back(file(rel, size, 9, mode, t));
				tree(rel + "/", depth + 1, in_src, in_dst && v == 0);
				continue;
			}
			std::string same = file(rel, size, 1, mode, t);
			if (in_src)
				src.push_back(same);
			switch (both ? pick(7) : 1) {
			case 0: break;
			case 1: if (in_dst) dst.push_back(same); break;
			case 2: dst.push_back(file(rel, size + 7, 2, FILE_MODES[pick(5)], t)); break;
			case 3: dst.push_back(file(rel, size, 3, FILE_MODES[pick(5)], t + 500)); break;
			case 4: dst.push_back(file(rel, size, 4, mode, t)); break;
			case 5: dst.push_back(dir(rel)); tree(rel + "/", depth + 1, false, true); break;
			default: rel[at.size()] ^= 0x20; dst.push_back(file(rel, size, 5, mode, t));
			}
		}
		for (int j = both ? pick(3) : 0; j > 0; j--) {
			std::string rel = at + "x" + std::to_string(j);
			if (depth < shape.depth && pick(2)) {
				dst.push_back(dir(rel));
				tree(rel + "/", depth + 1, false, true);
			} else {
				dst.push_back(file(rel, SIZES[pick(5)], 6, FILE_MODES[pick(5)], pick(1000)));
			}
		}
	}
};

// Every directory the program opens takes a tenth of a millisecond, from
// the fault shim preloaded; none where the tests have no shim.
void slow_disk(bool on)
{
#ifdef FAULT_SHIM
	if (windows_mode())
		return;
	if (!on) {
		unsetenv("LD_PRELOAD");
		return;
	}
#ifdef TREEMIR_SANITIZED
	setenv("ASAN_OPTIONS", (std::string(getenv("ASAN_OPTIONS") ?: "") + ":verify_asan_link_order=0").c_str(), 1);
#endif
	setenv("LD_PRELOAD", reachable_copy(FAULT_SHIM).c_str(), 1);
	setenv("FAULT_CALL", "opendir", 1);
	setenv("FAULT_PATH", "*", 1);
	setenv("FAULT_DO", "sleep:100", 1);
#else
	(void)on;
#endif
}

} // namespace

TEST(Differential, MirrorEqualsRsyncOnGeneratedTrees)
{
	if (system("rsync --version >/dev/null 2>&1") != 0)
		GTEST_SKIP() << "rsync is not installed";
	// Only the summary, the last line, holds seconds (and a regular
	// expression over all of a large output takes long).
	auto timeless = [](const std::string &out) {
		size_t at = out.find_last_of("\r\n", out.size() - 2) + 1;
		return out.substr(0, at) + zero_seconds(out.substr(at));
	};
	const Shape rows[] = {{1, 3, 5, 0}, {2, 3, 5, 0},  {3, 3, 5, 0},   {4, 3, 5, 0},  {5, 3, 5, 0},
	                      {6, 3, 5, 0}, {7, 6, 10, 0}, {11, 6, 10, 0}, {13, 2, 5, 60000}};
	for (const Shape &row : rows) {
		SCOPED_TRACE("seed " + std::to_string(row.seed));
		// Under wine a run on a large tree takes a quarter of a minute:
		// there only the small trees are mirrored.
		if (windows_mode() && (row.depth > 3 || row.wide > 0))
			continue;
		Generator g{std::mt19937(row.seed), row, {}, {}};
		g.src.push_back(g.dir("."));
		g.dst.push_back(g.dir("."));
		g.tree("", 0, true, true);
		if (row.wide > 0) {
			g.src.push_back(g.dir("wide"));
			g.dst.push_back(g.dir("wide"));
			g.tree("wide/", row.depth, true, true);
		}
		std::string top = make_temp_dir("diff"), S = top + "/S", D = top + "/D", R = top + "/R";
		build_tree(S, g.src);
		build_tree(D, g.dst);
		build_tree(R, g.dst);
		build_tree(top + "/W", g.dst);
		ASSERT_EQ(fingerprint(D), fingerprint(R));
		// The workers start only once a read is seen to wait: each
		// directory opened waits a little, as on a cold disk.  Under wine,
		// where no read is seen to wait, the trees are reached through
		// drive T:, a network drive there, whose every copy is a round
		// trip, and the one-worker run through U:, a local disk.
		std::string many_at = map_drive(top), one_at = map_drive(top, 'u');
		auto at = [&top](const std::string &drive, const std::string &name) {
			return drive.empty() ? top + "/" + name : drive + name;
		};
		slow_disk(true);
		RunResult many = run_treemir({at(many_at, "S"), at(many_at, "D")});
		slow_disk(false);
		std::string head = BANNER + scan_line(at(many_at, "S")) + scan_line(at(many_at, "D"));
		long long files = std::count_if(g.src.begin(), g.src.end(), [](const std::string &i) { return i[0] == 'f'; });
		std::string last = many.out.substr(many.out.find_last_of("\r\n", many.out.size() - 2) + 1);
		EXPECT_EQ(many.out.substr(0, head.size()), head);
		EXPECT_TRUE(std::regex_match(last, std::regex(std::to_string(files) +
		                                              R"( file\(s\) checked,\d+ copied,\d+ deleted in \d+ second\(s\)\n)")))
			<< last;
		EXPECT_EQ(many.err, "");
		EXPECT_EQ(many.status, 0);
		ASSERT_EQ(system(("rsync -rt --perms --delete '" + S + "/' '" + R + "/'").c_str()), 0);
		EXPECT_EQ(fingerprint(D), fingerprint(R));
		// The copy takes the first one's place, so the two print the same paths.
		ASSERT_EQ(rename(D.c_str(), (top + "/M").c_str()), 0);
		ASSERT_EQ(rename((top + "/W").c_str(), D.c_str()), 0);
		RunResult one = run_treemir({at(one_at, "S"), at(one_at, "D")}, "", false, true);
		// The two drives' paths are as long: only the letter differs.
		for (std::string *text : {&one.out, &one.err})
			for (size_t i = 0; !one_at.empty() && (i = text->find(one_at)) != std::string::npos;)
				text->replace(i, one_at.size(), many_at);
		EXPECT_EQ(timeless(one.out), timeless(many.out));
		EXPECT_EQ(one.err, many.err);
		EXPECT_EQ(one.status, many.status);
		EXPECT_EQ(fingerprint(D), fingerprint(top + "/M"));
		unmap_drive();
		unmap_drive('u');
		remove_tree_all(top);
	}
}
