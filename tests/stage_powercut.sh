#!/usr/bin/env bash
# about: power cuts on ext4 and XFS images after and during runs; every file old or new, reruns converge, about 40 s
# Power-cut stage: mirrors generated trees onto ext4 and XFS images on loop
# devices and cuts the power under them (the shutdown ioctl without a log
# flush, as xfs_io's "shutdown" gives it; ext4 takes it too), then mounts
# the image again and looks at every destination file.  Cases, on each file
# system (the table "cases" below):
#   replaced   a durable mirror of v1, a run to v2, the cut right after it
#              ends, at once or after another program's fsync;
#   new        a durable empty destination, a run that makes every file of
#              v2, the cut the same two ways;
#   during     a durable mirror of a larger v1, a run to its v2 cut at
#              shares of its length, another program's fsyncs going on.
# The other program's fsync commits the journal, and so every name made so
# far, as a live machine does every few seconds; a copy whose name is on
# the disk before its data comes back empty then.  Each file must be whole:
# its old content (absent where it is new) or its new one; leftover
# temporaries (.treemir-tmp-*) are fine, the next run removes them.  A run
# that printed its summary has its copies on the disk, so after "replaced"
# and "new" every file must be new.  Then a run in copy mode 1 must leave an
# exact mirror, and a plain run after it must copy nothing.  The images are
# sparse files in a folder on the disk.  A file system this machine cannot
# make, mount or cut is left out; with neither the stage skips.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
export LC_ALL=C
echo "stage_powercut: started"
skip() {
	echo "stage_powercut: skipped, $1"
	exit 0
}
[ "$(id -u)" -eq 0 ] || skip "loop devices and mounts need root"
for need in losetup:util-linux findmnt:util-linux xfs_io:xfsprogs sha256sum:coreutils diff:diffutils; do
	command -v "${need%%:*}" >/dev/null || skip "no ${need%%:*} (package ${need#*:})"
done

build=${TREEMIR_BUILD:-build}
if [ ! -x "$build/treemir" ]; then
	cmake -S . -B "$build" >/dev/null && cmake --build "$build" --target treemir -j2 >/dev/null ||
		{ echo "stage_powercut: failed, the program did not build"; exit 1; }
fi
bin=$(cd "$build" && pwd)/treemir

# On the disk, not in memory: the trees hold some 190 MB, and the sparse
# images up to as much again.
work=$(mktemp -d /var/tmp/treemir-powercut.XXXXXX)
mounted=() loops=() runner="" helper=""
cleanup() {
	[ -n "$runner" ] && kill "$runner" 2>/dev/null && wait "$runner" 2>/dev/null
	[ -n "$helper" ] && touch "$work/stop" && wait "$helper" 2>/dev/null
	for m in "${mounted[@]}"; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null; done
	for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null; done
	rm -rf "$work"
}
trap cleanup EXIT

# ---- trees ---------------------------------------------------------------

t1=1700000000 t2=1700086400 # the times of v1 and of what v2 changed

# A tree of random files (no two alike, none empty) of 1 to 64 KiB in
# dirs folders, files in each, plus a few of some MiB in big/.
make_v1() { # dir dirs files big-files
	local top=$1 dirs=$2 files=$3 bigs=$4 d f
	for ((d = 0; d < dirs; d++)); do
		mkdir -p "$top/d$d"
		for ((f = 0; f < files; f++)); do
			head -c $((1024 + RANDOM * 2)) /dev/urandom >"$top/d$d/f$f"
		done
	done
	mkdir -p "$top/big"
	for ((f = 0; f < bigs; f++)); do
		head -c $(((2 + f % 3) * 1048576 + RANDOM)) /dev/urandom >"$top/big/b$f"
	done
	find "$top" -type f -exec touch -d "@$t1" {} +
}

# v2 from v1: of each ten files, four rewritten with the same size, two
# with another, one removed, and a new one beside them; the big files all
# rewritten, one of them with another size.  What changed gets a later
# time.
make_v2() { # v1 v2
	local v1=$1 v2=$2 n=0 f size
	cp -a "$v1" "$v2"
	: >"$work/changed"
	while read -r f; do
		size=$(stat -c %s "$v2/$f")
		case $((n++ % 10)) in
		0 | 1 | 2 | 3) head -c "$size" /dev/urandom >"$v2/$f" ;;
		4) head -c $((size / 2 + 1)) /dev/urandom >"$v2/$f" ;;
		5) head -c $((size + 5000)) /dev/urandom >"$v2/$f" ;;
		6) rm "$v2/$f"; continue ;;
		7)
			head -c $((1024 + RANDOM * 2)) /dev/urandom >"$v2/$f.new"
			echo "$v2/$f.new" >>"$work/changed"
			continue
			;;
		*) continue ;;
		esac
		echo "$v2/$f" >>"$work/changed"
	done < <(cd "$v1" && find . -type f ! -path './big/*' | sort)
	for f in "$v2"/big/*; do
		size=$(stat -c %s "$f")
		[ "$f" = "$v2/big/b0" ] && size=$((size + 1048576))
		head -c "$size" /dev/urandom >"$f"
		echo "$f" >>"$work/changed"
	done
	mkdir -p "$v2/fresh/deeper"
	for f in 0 1 2 3 4 5 6 7; do
		head -c $((1024 + RANDOM)) /dev/urandom >"$v2/fresh/deeper/n$f"
		echo "$v2/fresh/deeper/n$f" >>"$work/changed"
	done
	xargs -d '\n' touch -d "@$t2" <"$work/changed"
}

# path<TAB>checksum<TAB>size of every file below a folder.
listing() { # dir
	(cd "$1" && find . -type f -printf '%p\t%s\n' | sort >"$work/sizes" &&
		find . -type f -exec sha256sum {} + | sed 's/^\([0-9a-f]*\)  /\1\t/' | sort -t "$(printf '\t')" -k 2 |
		awk -F '\t' 'NR == FNR { size[$1] = $2; next } { print $2 "\t" $1 "\t" size[$2] }' "$work/sizes" -)
}

echo "stage_powercut: making the trees"
make_v1 "$work/small1" 4 100 2
make_v2 "$work/small1" "$work/small2"
make_v1 "$work/large1" 10 180 4
make_v2 "$work/large1" "$work/large2"
: >"$work/empty.sums"
for t in small1 small2 large1 large2; do listing "$work/$t" >"$work/$t.sums"; done
echo "stage_powercut: trees of $(wc -l <"$work/small2.sums") and $(wc -l <"$work/large2.sums") files," \
	"$(du -sm "$work/small2" | cut -f 1) and $(du -sm "$work/large2" | cut -f 1) MB"

# ---- images --------------------------------------------------------------

# The power cut: no log flush, so what was not committed before is lost.
shut() { # mountpoint
	xfs_io -x -c shutdown "$1" 2>"$work/shut.err" && [ ! -s "$work/shut.err" ]
}

# Makes an image of its file system on a loop device and mounts it on
# $work/name, then checks that it can be cut and mounted again; when it
# cannot, $why tells what failed.
attach() { # name size "mkfs command"
	local name=$1 size=$2 mkfs=$3 img=$work/$1.img dir=$work/$1 dev
	why="no ${mkfs%% *}"
	command -v "${mkfs%% *}" >/dev/null || return 1
	why="${mkfs%% *} failed"
	truncate -s "${size}M" "$img" && $mkfs "$img" >/dev/null 2>&1 || return 1
	why="no loop device"
	dev=$(losetup -f --show "$img" 2>/dev/null) || return 1
	loops+=("$dev")
	why="not mountable"
	mkdir "$dir" && mount -t "$name" "$dev" "$dir" 2>/dev/null || return 1
	mounted+=("$dir")
	echo probe >"$dir/probe" && sync -f "$dir" || return 1
	why="the shutdown ioctl was refused"
	shut "$dir" || return 1
	# Shut down, it must refuse every write.
	! touch "$dir/probe2" 2>/dev/null || return 1
	why="not mountable again after the cut"
	remount "$name" && [ "$(cat "$dir/probe" 2>/dev/null)" = probe ] && rm "$dir/probe"
}

remount() { # name
	local dir=$work/$1 dev
	dev=$(findmnt -n -o SOURCE --target "$dir") || return 1
	umount "$dir" && mount -t "$1" "$dev" "$dir"
}

# ---- runs and checks -------------------------------------------------------

failures=()
fail() {
	echo "  FAIL: $1"
	failures+=("$fs $case_name: $1")
}

# One run of the program; its status is kept in $status, the last part of
# its summary line in $summary.
run() { # args...
	status=0
	timeout 120 "$bin" "$@" >"$work/out" 2>"$work/err" || status=$?
	summary=$(tail -n 1 "$work/out" | tr '\r' '\n' | tail -n 1)
}

# The destination D=$work/$fs/d made a durable copy of a tree (or empty).
prepare() { # tree|""
	rm -rf "$D" && mkdir "$D" || return 1
	if [ -n "$1" ]; then
		run "$work/$1" "$D"
		[ "$status" -eq 0 ] || { cat "$work/err"; return 1; }
		diff -r "$work/$1" "$D" >/dev/null || return 1
	fi
	sync -f "$D"
}

# Every file of the destination against the old and the new tree's
# listings.  A file is new (the new tree's content, or absent when the new
# tree lacks it), old (the same for the old tree), unchanged (both) or bad
# (anything else: empty, cut short, lost, foreign).  With must_be_new, an
# old file fails too.
judge() { # old.sums new.sums must_be_new
	listing "$D" >"$work/got.sums"
	awk -F '\t' -v strict="$3" -v out="$work/bad" '
		FILENAME == ARGV[1] { old[$1] = $2; osize[$1] = $3; all[$1]; next }
		FILENAME == ARGV[2] { new[$1] = $2; nsize[$1] = $3; all[$1]; next }
		{ got[$1] = $2; gsize[$1] = $3; all[$1] }
		function size(p, have, bytes) { return p in have ? bytes[p] " bytes" : "absent" }
		function show(p, why) {
			printf "%-7s %s (here %s, old %s, new %s)\n", why, p, size(p, got, gsize),
				size(p, old, osize), size(p, new, nsize) >out
		}
		END {
			printf "" >out
			for (p in all) {
				n = split(p, part, "/")
				if (part[n] ~ /^\.treemir-tmp-/) { tmp++; continue }
				is_new = (p in got) ? (p in new && got[p] == new[p]) : !(p in new)
				is_old = (p in got) ? (p in old && got[p] == old[p]) : !(p in old)
				if (is_new && is_old) same++
				else if (is_new) fresh++
				else if (is_old) { stale++; if (strict) show(p, "old") }
				else {
					why = !(p in got) ? "lost" : gsize[p] == 0 ? "empty" : "damaged"
					bad++; kind[why]++; show(p, why)
				}
			}
			printf "%d old, %d new, %d bad (%d empty, %d damaged, %d lost), %d unchanged, %d temporaries\n",
				stale, fresh, bad, kind["empty"], kind["damaged"], kind["lost"], same, tmp
		}' "$1" "$2" "$work/got.sums"
}

# After the cut: the verdict on every file, then a run in copy mode 1 must
# leave an exact mirror of the new tree and a plain run must copy nothing.
check() { # old.sums new tree must_be_new
	local counts shown
	counts=$(judge "$1" "$work/$2.sums" "$3") || { fail "the files could not be judged"; return; }
	echo "  $fs, $case_name: $counts"
	if [ -s "$work/bad" ]; then
		fail "$(wc -l <"$work/bad") file(s) $([ "$3" = 1 ] && echo "not new" || echo "neither old nor new") after the cut"
		sort "$work/bad" | head -n 20 | sed 's/^/    /'
		shown=$(wc -l <"$work/bad")
		[ "$shown" -gt 20 ] && echo "    ... and $((shown - 20)) more"
	fi
	run -m 1 "$work/$2" "$D"
	[ "$status" -eq 0 ] || { fail "the run in copy mode 1 ended with $status"; head -n 5 "$work/err" | sed 's/^/    /'; }
	if ! diff -r "$work/$2" "$D" >"$work/diff" 2>&1; then
		fail "the run in copy mode 1 left no exact mirror ($(wc -l <"$work/diff") difference(s))"
		head -n 3 "$work/diff" | sed 's/^/    /'
	elif ! listing "$D" | cmp -s - "$work/$2.sums"; then
		fail "the run in copy mode 1 left files whose listing differs from the source's"
	fi
	run "$work/$2" "$D"
	case $summary in
	*",0 copied,"*) [ "$status" -eq 0 ] || fail "the plain run after it ended with $status" ;;
	*) fail "the plain run after it still copied: '$summary'" ;;
	esac
}

# Another program's fsync of a file of its own on the same file system: it
# commits the journal, and with it every name the run has made so far, but
# writes none of the run's data.  A live machine does as much every few
# seconds.
commit() {
	xfs_io -f -c "pwrite -q 0 4096" -c fsync "$mnt/neighbour" 2>/dev/null
}
neighbour() { # commits until $work/stop is there or the cut
	while [ ! -e "$work/stop" ] && commit; do sleep 0.02; done
}
start_neighbour() { rm -f "$work/stop"; neighbour & helper=$!; }
stop_neighbour() { touch "$work/stop"; wait "$helper"; helper=""; }

# How long the run from the larger v1 to its v2 takes here, with commits
# going on beside it: the cuts during a run come at shares of it.  The
# shorter of two runs, as other work on the machine only makes one longer.
measure() {
	local start took
	span=""
	for _ in 1 2; do
		prepare large1 || return 1
		start_neighbour
		start=$(date +%s%N)
		run "$work/large2" "$D"
		took=$((($(date +%s%N) - start) / 1000000))
		stop_neighbour
		[ "$status" -eq 0 ] || return 1
		[ -n "$span" ] && [ "$span" -le "$took" ] || span=$took
	done
}

# The run cut at a share of its length, commits going on beside it; it is
# left to end by itself, its calls failing after the cut.
during() { # source percent
	local delay
	delay=$(awk -v ms="$span" -v p="$2" 'BEGIN { printf "%.3f", ms * p / 100000 }')
	start_neighbour
	timeout 120 "$bin" "$work/$1" "$D" >"$work/out" 2>"$work/err" &
	runner=$!
	sleep "$delay"
	kill -0 "$runner" 2>/dev/null || case_name="$case_name (the run had ended)"
	shut "$mnt" || fail "the cut was refused"
	wait "$runner"
	runner=""
	stop_neighbour
}

# The cases on each file system:
#   name | the destination before (a tree, or - for empty) | the run's source | the cut
# The cut comes right after the run ends (end), after it ends and another
# file's fsync (commit), or during the run at that many percent of its
# length.  Only a run cut short may leave old files.
cases=(
	"replaced|small1|small2|end"
	"replaced, then a commit|small1|small2|commit"
	"new|-|small2|end"
	"new, then a commit|-|small2|commit"
	"during, at 20%|large1|large2|20"
	"during, at 40%|large1|large2|40"
	"during, at 60%|large1|large2|60"
	"during, at 80%|large1|large2|80"
)

one_case() { # name before source cut
	local before=$2 source=$3 cut=$4 old=$work/empty.sums strict=1
	case_name=$1
	[ "$before" = - ] && before= || old=$work/$before.sums
	prepare "$before" || { fail "the destination could not be made"; return; }
	case $cut in
	end | commit)
		run "$work/$source" "$D"
		[ "$cut" = end ] || commit
		shut "$mnt" || { fail "the cut was refused"; return; }
		[ "$status" -eq 0 ] || fail "the run ended with $status before the cut"
		;;
	*)
		strict=0
		during "$source" "$cut"
		;;
	esac
	remount "$fs" || { fail "the image did not mount again"; return; }
	check "$old" "$source" "$strict"
}

tried=() missing=()
for fs in ext4 xfs; do
	case $fs in
	ext4) attach ext4 512 "mkfs.ext4 -q -F" ;;
	xfs) attach xfs 512 "mkfs.xfs -q -f" ;;
	esac || { missing+=("$fs: $why"); echo "  $fs: left out, $why"; continue; }
	tried+=("$fs")
	mnt=$work/$fs D=$work/$fs/d case_name=setup
	measure || { fail "the uncut run from v1 to v2 ended with $status"; continue; }
	echo "  $fs: the run from v1 to v2 takes $span ms here"
	for row in "${cases[@]}"; do
		IFS='|' read -r name before source cut <<<"$row"
		one_case "$name" "$before" "$source" "$cut"
	done
done

[ "${#tried[@]}" -gt 0 ] || skip "no image could be made, mounted and cut here ($(IFS=';'; echo "${missing[*]}"))"
others=$(IFS=';'; echo "${missing[*]}")
if [ "${#failures[@]}" -gt 0 ]; then
	echo "stage_powercut: failed:"
	printf '  %s\n' "${failures[@]}"
	exit 1
fi
echo "stage_powercut: passed on $(IFS=,; echo "${tried[*]}")${others:+; left out: $others}"
