#!/usr/bin/env bash
# about: a small tree mirrored onto exFAT, NTFS and FAT images through FUSE, then run again in both copy modes, about 10 s
# Removable-media stage: mirrors a small tree onto real exFAT, NTFS and FAT
# images (through FUSE, and through the kernel's own drivers where it has
# them), then runs again in both copy modes: the runs after the first must
# copy nothing, remove nothing and report no error, although these file
# systems keep no modes (or only a read-only attribute) and FAT keeps
# times in steps of 2 seconds.  A changed file must still be copied.  Each
# file system this machine cannot mount is left out; with none at all the
# stage skips.
set -uo pipefail
cd "$(dirname "$0")/.."
echo "stage_filesystems: started"
skip() {
	echo "stage_filesystems: skipped, $1"
	exit 0
}
[ "$(id -u)" -eq 0 ] || skip "mounting needs root"

build=${TREEMIR_BUILD:-build}
if [ ! -x "$build/treemir" ]; then
	cmake -S . -B "$build" >/dev/null && cmake --build "$build" --target treemir -j2 >/dev/null ||
		{ echo "stage_filesystems: failed, the program did not build"; exit 1; }
fi
bin=$(cd "$build" && pwd)/treemir

work=$(mktemp -d /tmp/treemir-fs.XXXXXX)
mounted=() loops=()
cleanup() {
	for m in "${mounted[@]}"; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null; done
	for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null; done
	rm -rf "$work"
}
trap cleanup EXIT

# The source: each mode FAT-family file systems keep only in part, and
# odd-second times, some with a fraction of a second that each file system
# keeps in its own steps, or not at all.
S=$work/S
mkdir -p "$S/sub" "$S/ro"
for f in a b c d sub/e ro/f; do printf 'data of %s\n' "$f" >"$S/$f"; done
chmod 0644 "$S/a"; chmod 0600 "$S/b"; chmod 0755 "$S/c"; chmod 0444 "$S/d"
touch -d @1600000001.123456789 "$S/a" "$S/b"
touch -d @1600000001 "$S/sub/e"
touch -d @1600000003.5 "$S/c"
touch -d @1600000003 "$S/d" "$S/ro/f"
chmod 0700 "$S/sub"; chmod 0555 "$S/ro"

# Makes an image of size MiB with the maker's command (the image's path is
# appended) and mounts it on the folder $work/name; fails when this machine
# cannot make or mount it.
attach() { # name size loop(0|1) "mkfs command" mount command...
	local name=$1 size=$2 loop=$3 mkfs=$4
	shift 4
	local img=$work/$name.img dir=$work/$name dev
	command -v "${mkfs%% *}" >/dev/null && command -v "$1" >/dev/null || return 1
	truncate -s "${size}M" "$img" && $mkfs "$img" >/dev/null 2>&1 || return 1
	dev=$img
	if [ "$loop" = 1 ]; then
		dev=$(losetup -f --show "$img" 2>/dev/null) || return 1
		loops+=("$dev")
	fi
	mkdir "$dir"
	timeout 30 "$@" "$dev" "$dir" >/dev/null 2>&1 || return 1
	mounted+=("$dir")
}

fail() {
	echo "stage_filesystems: failed, $1"
	exit 1
}

# One run that must end with status 0, no error line and the given summary.
expect() { # name summary args...
	local name=$1 want=$2 status=0
	shift 2
	# A driver that hangs fails the stage rather than holding it up.
	timeout 60 "$bin" "$@" >"$work/out" 2>"$work/err" || status=$?
	local got
	got=$(tail -n 1 "$work/out" | tr '\r' '\n' | tail -n 1)
	if [ "$status" -ne 0 ] || [ -s "$work/err" ] || [ "${got% in *}" != "$want" ]; then
		cat "$work/err"
		fail "$name: treemir $* ended with $status and '$got', expected '$want'"
	fi
}

# A source file of the given data and time.
put() { printf '%s\n' "$2" >"$S/$1"; touch -d "@$3" "$S/$1"; } # file data seconds

check() { # name folder
	local name=$1 D=$2
	expect "$name, first run" "6 file(s) checked,6 copied,0 deleted" "$S" "$D"
	diff -r "$S" "$D" >/dev/null || fail "$name: the copies differ from the source"
	expect "$name, copy mode 0" "6 file(s) checked,0 copied,0 deleted" -m 0 "$S" "$D"
	expect "$name, copy mode 1" "6 file(s) checked,0 copied,0 deleted" -m 1 "$S" "$D"
	# Where the copies show a fraction of a second, a rewrite of the same
	# size within the same second is seen too.
	if [ "$(stat -c %y "$D/b" | sed 's/^[^.]*\.\([0-9]*\).*/\1/')" != 000000000 ]; then
		put b 'DATA of b' 1600000001.623456789
		expect "$name, a rewrite within the second" "6 file(s) checked,1 copied,0 deleted" "$S" "$D"
		cmp -s "$S/b" "$D/b" || fail "$name: the rewritten file was not copied"
		put b 'data of b' 1600000001.123456789
		expect "$name, the rewrite undone" "6 file(s) checked,1 copied,0 deleted" "$S" "$D"
	fi
	# A change of the same size, a few seconds on, is still seen.
	put a 'DATA of a' 1600000011
	expect "$name, a changed file" "6 file(s) checked,1 copied,0 deleted" "$S" "$D"
	cmp -s "$S/a" "$D/a" || fail "$name: the changed file was not copied"
	put a 'data of a' 1600000001.123456789
	passed+=("$name")
}

passed=() missing=()
try() { # name size loop mkfs mount...
	if attach "$@"; then
		check "$1" "$work/$1"
	else
		missing+=("$1")
	fi
}
if [ -c /dev/fuse ]; then
	try exfat-fuse 64 1 "mkfs.exfat" mount.exfat-fuse
	try ntfs-3g 32 0 "mkntfs -F -Q" ntfs-3g
	try fusefat 64 0 "mkfs.vfat" fusefat -o rw+
else
	missing+=("FUSE (no /dev/fuse)")
fi
try "kernel exfat" 64 1 "mkfs.exfat" mount -t exfat
try "kernel ntfs3" 32 1 "mkntfs -F -Q" mount -t ntfs3
try "kernel vfat" 64 1 "mkfs.vfat" mount -t vfat

[ "${#passed[@]}" -gt 0 ] || skip "no test file system could be made or mounted (${missing[*]})"
summary=$(IFS=,; echo "${passed[*]}")
others=$(IFS=,; echo "${missing[*]}")
echo "stage_filesystems: passed on $summary${others:+; not mountable here: $others}"
