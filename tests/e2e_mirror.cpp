// The mirror from end to end: trees described as item lists, the console
// described as line tokens, and the resulting destination compared whole
// (check_mirror in the harness).
#include "harness.h"

#include <gtest/gtest.h>

TEST(Mirror, TreePairs)
{
	const Items same = {"f a hello", "d sub", "f sub/b #5000"};
	const Items hsrc = {"d cp", "f cp/n x", "d keep", "f keep/g y", "d new1", "d new2"};
	const Items hdst = {"d cp", "d keep", "f keep/x z"};
	const Items tsrc = {"f equal aaaa 0644 0", "f newer bb 0644 100", "f older cc 0644 0", "f same dd"};
	const Items tdst = {"f equal a 0644 0", "f newer bb 0644 0", "f older c 0644 100", "f same dd"};
	const Items extras = {"f a 1", "f x", "d xd", "f xd/y"};
	const Items csrc = {"f c1 new", "d c2", "f c2/f ff"}, cdst = {"d c1", "f c1/z", "f c2 old"};
	// Names of every script, byte for byte, and look-alikes that must stay two names.
	const Items scripts = {"f café.txt été", "f smile😀.txt x", "d Привет", "f Привет/日本語.txt y", "d 表",
	                       "f 表/機能 zz"};
	// A path of more than 300 characters, directories included.
	const std::string A(100, 'a'), B = A + "/" + std::string(100, 'b'), C = B + "/" + std::string(100, 'c');
	const std::string F(60, 'f');
	const MirrorCase cases[] = {
		{"identical trees", same, same, {}, {"scan S", "scan D", "scan S/sub", "scan D/sub", "sum 2 0 0"},
		 {}, 0, {"=S"}, -1, {".", "sub"}},
		{"extraneous subtree", {}, {"d old", "f old/b", "f old/a", "d old/x", "f old/x/c"}, {},
		 {"scan S", "scan D", "scan D/old", "head S D", "rm D/old/a", "rm D/old/b", "scan D/old/x",
		  "rm D/old/x/c", "rmdir D/old/x", "rmdir D/old", "sum 0 0 3"}, {}, 0, {"=S"}, 0, {}},
		{"empty source", {"d . 0700"}, {"f f1 one", "f f2 two", "d d", "f d/g"}, {},
		 {"scan S", "scan D", "head S D", "rm D/f1", "rm D/f2", "scan D/d", "rm D/d/g", "rmdir D/d",
		  "sum 0 0 3"}, {}, 0, {"=S"}, 0, {}},
		{"headers at -v 2", hsrc, hdst, {},
		 {"scan S", "scan D", "scan S/cp", "scan D/cp", "head S/cp D/cp", "copy n 1 100", "scan S/keep",
		  "scan D/keep", "head S/keep D/keep", "rm D/keep/x", "copy g 1 100", "head S D", "mkdir D/new1",
		  "scan S/new1", "scan D/new1", "mkdir D/new2", "scan S/new2", "scan D/new2", "sum 2 2 1"},
		 {}, 0, {"=S"}, 2, {}},
		{"headers at -v 1", hsrc, hdst, {"-v", "1"},
		 {"scan S", "scan D", "scan S/cp", "scan D/cp", "scan S/keep", "scan D/keep", "head S/keep D/keep",
		  "rm D/keep/x", "scan S/new1", "scan D/new1", "scan S/new2", "scan D/new2", "sum 2 2 1"},
		 {}, 0, {"=S"}, -1, {}},
		{"headers at -v 0", hsrc, hdst, {"-v", "0"}, {}, {}, 0, {"=S"}, -1, {}},
		{"copy mode 0", tsrc, tdst, {}, {"scan S", "scan D", "head S D", "copy equal 4 100",
		 "copy newer 2 100", "copy older 2 100", "sum 4 3 0"}, {}, 0, {"=S"}, 4, {}},
		{"copy mode 1", tsrc, tdst, {"-m", "1"}, {"scan S", "scan D", "head S D", "copy newer 2 100",
		 "sum 4 1 0"}, {}, 0, {"f equal a 0644 0", "f newer bb 0644 100", "f older c 0644 100", "f same dd"},
		 -1, {}},
		{"-r keeps extras", {"f a 1"}, extras, {"-r"}, {"scan S", "scan D", "sum 1 0 0"}, {}, 0, extras, -1,
		 {"."}},
		{"file/dir clash", csrc, cdst, {}, {"scan S", "scan D", "head S D", "rm D/c2", "scan D/c1",
		 "rm D/c1/z", "rmdir D/c1", "copy c1 3 100", "mkdir D/c2", "scan S/c2", "scan D/c2",
		 "head S/c2 D/c2", "copy f 2 100", "sum 2 2 2"}, {}, 0, {"=S"}, 2, {}},
		{"file/dir clash with -r", csrc, cdst, {"-r"}, {"scan S", "scan D", "head S D", "open c1 3",
		 "mkdir D/c2", "scan S/c2", "sum 1 0 0 4"}, {"err unlink D/c1 EISDIR", "err open D/c1 EISDIR",
		 "err mkdir D/c2 EEXIST", "notdir D/c2"}, 2, cdst, -1, {}},
		{"names differing in case", {"f A big", "d Sub", "f Sub/f 1"}, {"f a small", "d sub", "f sub/g 2"},
		 {}, {"scan S", "scan D", "head S D", "rm D/a", "scan D/sub", "rm D/sub/g", "rmdir D/sub",
		 "copy A 3 100", "mkdir D/Sub", "scan S/Sub", "scan D/Sub", "head S/Sub D/Sub", "copy f 1 100",
		 "sum 2 2 2"}, {}, 0, {"=S"}, 2, {}},
		{"buffer-sized and empty files", {"f b #4096", "f c #8192", "f e -"}, {}, {"-b", "4096"},
		 {"scan S", "scan D", "head S D", "copy b 4096 100", "copy c 8192 50,100", "copy e 0", "sum 3 3 0"},
		 {}, 0, {"=S"}, 3, {}},
		{"names of every script", scripts, {}, {},
		 {"scan S", "scan D", "head S D", "copy café.txt 5 100", "copy smile😀.txt 1 100", "mkdir D/Привет",
		  "scan S/Привет", "scan D/Привет", "head S/Привет D/Привет", "copy 日本語.txt 1 100", "mkdir D/表",
		  "scan S/表", "scan D/表", "head S/表 D/表", "copy 機能 2 100", "sum 4 4 0"}, {}, 0, {"=S"}, 4, {}},
		{"look-alike names", {"f Omega.txt latin", "f Ωmega.txt greek"}, {"f Ωmega.txt old 0644 -50"}, {},
		 {"scan S", "scan D", "head S D", "copy Omega.txt 5 100", "copy Ωmega.txt 5 100", "sum 2 2 0"}, {}, 0,
		 {"=S"}, 2, {}},
		{"a path past 300 characters", {"d " + A, "d " + B, "d " + C, "f " + C + "/" + F + " x"}, {}, {},
		 {"scan S", "scan D", "head S D", "mkdir D/" + A, "scan S/" + A, "scan D/" + A, "head S/" + A + " D/" + A,
		  "mkdir D/" + B, "scan S/" + B, "scan D/" + B, "head S/" + B + " D/" + B, "mkdir D/" + C, "scan S/" + C,
		  "scan D/" + C, "head S/" + C + " D/" + C, "copy " + F + " 1 100", "sum 1 1 0"}, {}, 0, {"=S"}, 1, {}},
		{"drifted directory modes", {"d . 0750", "d sub 0700", "f sub/f 1"}, {"d sub 0777", "f sub/f 1"}, {},
		 {"scan S", "scan D", "scan S/sub", "scan D/sub", "sum 1 0 0"}, {}, 0, {"=S"}, 1, {}},
		{"read-only file replaced by uid 65534", {"f f new"}, {"f f old 0444 50"}, {},
		 {"scan S", "scan D", "head S D", "copy f 3 100", "sum 1 1 0"}, {}, 0, {"=S"}, 1, {}, {}, true},
	};
	for (const MirrorCase &c : cases)
		check_mirror(c);
}
