#!/usr/bin/env bash
# about: whole mirrors of a debug build under valgrind's memory checker, about 10 s
# Runs whole mirrors under valgrind's memory checker with a plain build of
# its own: a first mirror of a few hundred files (copies, removals of files
# and subtrees, directory creation), a second one with exclusions from list
# files, a small buffer and changed files, and one with errors to report.
# Any invalid read, write or use of uninitialised memory fails the stage;
# memory kept until the end of the process is fine.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v valgrind >/dev/null; then
	echo "stage_valgrind: skipped, valgrind is not installed"
	exit 0
fi
out=${VALGRIND_BUILD:-build-valgrind}
cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=Debug -DTREEMIR_TESTS=OFF -DTREEMIR_SANITIZE=OFF >/dev/null
cmake --build "$out" --target treemir -j2 >/dev/null
bin=$(cd "$out" && pwd)/treemir

top=$(mktemp -d /dev/shm/treemir-valgrind-XXXXXX)
trap 'rm -rf "$top"' EXIT
S=$top/S D=$top/D
for d in 1 2 3 4; do
	for s in a b c; do
		mkdir -p "$S/d$d/$s" "$D/d$d/$s"
		for f in $(seq 1 25); do
			printf 'file %s %s %s\n' "$d" "$s" "$f" >"$S/d$d/$s/f$f.txt"
		done
	done
done
head -c 3000000 /dev/zero >"$S/big.bin"
mkdir -p "$S/new/deeper" "$D/old/older" "$D/d1/gone"
echo new >"$S/new/deeper/n.txt"
cp -a "$S/d1/." "$D/d1/"                      # identical: nothing to do there
echo changed >"$D/d2/a/f1.txt"                # changed: copied again
for f in $(seq 1 30); do echo x >"$D/d3/b/extra$f"; done
echo old >"$D/old/older/o.txt"
echo gone >"$D/d1/gone/g.txt"
printf 'f5.txt\nf6.txt\n' >"$top/names"
printf 'big\\.bin$\n' >"$top/patterns"

check() {
	local want=$1
	shift
	local status=0
	valgrind -q --error-exitcode=1 --leak-check=no "$bin" "$@" >"$top/out" 2>"$top/err" || status=$?
	if [ "$status" -ne "$want" ]; then
		echo "stage_valgrind: treemir $* ended with $status, expected $want"
		cat "$top/err"
		exit 1
	fi
}

echo "== mirror under valgrind"
check 0 "$S" "$D"
diff -r "$S" "$D"
# Same size: only the time tells the change, so give it one the copy cannot
# share, even when the first mirror ended within the second it began.
sed -i 's/file/FILE/' "$S/d4/c/f3.txt" "$S/d2/b/f5.txt"
touch -d '2002-02-02' "$S/d4/c/f3.txt" "$S/d2/b/f5.txt"
touch -d '2001-01-01' "$S/d4/a/f1.txt"
rm -rf "$S/d3"
check 0 -v 1 -b 7 -m 1 -x "@$top/names" -e "@$top/patterns" -X c -r "$S" "$D"
check 0 -q -b 4096 "$S" "$D"
diff -r "$S" "$D"
ln -s nowhere "$S/dangling"
check 2 -e '\(' "$S" "$D"
echo "stage_valgrind: clean"
