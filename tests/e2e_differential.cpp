// The mirror against a yardstick: on seeded random trees the destination must
// end exactly as rsync -rt --perms --delete leaves a copy of it.
#include "harness.h"

#include <gtest/gtest.h>
#include <random>

namespace {

const unsigned FILE_MODES[] = {0644, 0600, 0755, 0444, 0640};
const unsigned DIR_MODES[] = {0755, 0700, 0750, 0555, 0775};
const int SIZES[] = {0, 1, 100, 4096, 5000};

struct Generator {
	std::mt19937 rng;
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
		for (int i = 0, n = 2 + pick(4); i < n; i++) {
			std::string rel = at + "abAB"[pick(4)] + std::to_string(i);
			int size = SIZES[pick(5)], t = pick(1000);
			unsigned mode = FILE_MODES[pick(5)];
			if (depth < 3 && pick(5) < 2) {
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
			if (depth < 3 && pick(2)) {
				dst.push_back(dir(rel));
				tree(rel + "/", depth + 1, false, true);
			} else {
				dst.push_back(file(rel, SIZES[pick(5)], 6, FILE_MODES[pick(5)], pick(1000)));
			}
		}
	}
};

} // namespace

TEST(Differential, MirrorEqualsRsyncOnGeneratedTrees)
{
	if (system("rsync --version >/dev/null 2>&1") != 0)
		GTEST_SKIP() << "rsync is not installed";
	for (unsigned seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
		SCOPED_TRACE("seed " + std::to_string(seed));
		Generator g{std::mt19937(seed), {}, {}};
		g.src.push_back(g.dir("."));
		g.dst.push_back(g.dir("."));
		g.tree("", 0, true, true);
		std::string top = make_temp_dir("diff"), S = top + "/S", D = top + "/D", R = top + "/R";
		build_tree(S, g.src);
		build_tree(D, g.dst);
		build_tree(R, g.dst);
		ASSERT_EQ(fingerprint(D), fingerprint(R));
		RunResult r = run_treemir({"-q", S, D});
		EXPECT_EQ(r.out, BANNER);
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(r.status, 0);
		ASSERT_EQ(system(("rsync -rt --perms --delete '" + S + "/' '" + R + "/'").c_str()), 0);
		EXPECT_EQ(fingerprint(D), fingerprint(R));
		remove_tree_all(top);
	}
}
