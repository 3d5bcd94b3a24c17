#!/usr/bin/env bash
# about: manual page, install and Debian package, and the packaged program mirroring a tree, about 10 s
# Install and package stage: the manual page renders without warnings and
# names the same options as the program; an install into a scratch prefix
# and the Debian package carry the program and its page, with the right
# package metadata; the packaged program prints its usage and mirrors a tree.
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
top=$PWD

missing=()
for tool in cmake cpack groff dpkg dpkg-deb diff gzip; do
	command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
if [ "${#missing[@]}" -gt 0 ]; then
	echo "stage_package: skipped, missing: ${missing[*]}"
	exit 0
fi

work=$(mktemp -d /tmp/treemir-pkg.XXXXXX)
trees=$(mktemp -d /dev/shm/treemir-pkg.XXXXXX)
trap 'rm -rf "$work" "$trees"' EXIT

fail() {
	echo "stage_package: FAIL: $*" >&2
	exit 1
}
# Runs a command quietly; shows its output when it fails.
quiet() {
	"$@" >"$work/log" 2>&1 || { cat "$work/log" >&2; fail "$*"; }
}

version=$(sed -n 's/^project(treemir VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no project version in CMakeLists.txt"

# --- the manual page on its own
warnings=$(groff -man -ww -z man/treemir.1 2>&1) || fail "groff failed: $warnings"
[ -z "$warnings" ] || fail "groff warns about man/treemir.1:"$'\n'"$warnings"
grep -q "^\.TH TREEMIR 1 [^ ]* \"treemir $version\"" man/treemir.1 ||
	fail "the manual's title line does not name version $version"
# The page is written by hand: every version it quotes must be the project's.
others=$(grep -o 'TreeMir [0-9][0-9.]*' man/treemir.1 | grep -vx "TreeMir $version" || true)
[ -z "$others" ] || fail "the manual quotes another version: $others"

# --- scratch build and install
quiet cmake -S "$top" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DTREEMIR_TESTS=OFF
quiet cmake --build "$work/build" -j2
quiet cmake --install "$work/build" --prefix "$work/prefix"
installed=$(cd "$work/prefix" && find . -type f | sort | tr '\n' ' ')
[ "$installed" = "./bin/treemir ./share/man/man1/treemir.1 " ] ||
	fail "installed files: $installed"
[ -x "$work/prefix/bin/treemir" ] || fail "installed treemir is not executable"
cmp -s "$work/prefix/share/man/man1/treemir.1" man/treemir.1 || fail "installed manual page differs"

# --- the manual's OPTIONS, the usage text and the option string agree:
# each gives its option letters, a ':' after those that take an argument.
status=0
"$work/build/treemir" -h >"$work/usage" 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "treemir -h exited with $status"
from_usage=$(sed -n 's/^\t-\([A-Za-z]\)\( [a-z]*\)\{0,1\}\t.*/\1\2/p' "$work/usage" |
	sed 's/ .*/:/' | sort | tr '\n' ' ')
from_manual=$(awk '/^\.SH /{in_opts = ($2 == "OPTIONS")}
	in_opts && prev == ".TP" && /^\.BI? \\-[A-Za-z]/ {
		letter = substr($2, 3, 1); print letter (NF > 2 ? ":" : "") }
	{prev = $0}' man/treemir.1 | sort | tr '\n' ' ')
optstring=$(sed -n 's/.*getopt(argc, argv, "\([^"]*\)").*/\1/p' src/main.cpp)
from_code=$(grep -o '[A-Za-z]:\{0,1\}' <<<"$optstring" | sort | tr '\n' ' ')
[ -n "$from_code" ] || fail "no option string found in src/main.cpp"
[ "$from_usage" = "$from_code" ] || fail "usage text options '$from_usage' != program '$from_code'"
[ "$from_manual" = "$from_code" ] || fail "manual options '$from_manual' != program '$from_code'"

# --- the Debian package
(cd "$work/build" && quiet cpack -G DEB)
arch=$(dpkg --print-architecture)
deb="$work/build/treemir_${version}-1_${arch}.deb"
[ -f "$deb" ] || fail "no package $deb; made: $(ls "$work/build"/*.deb 2>/dev/null || true)"
quiet dpkg-deb --info "$deb"
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = treemir ] || fail "Package: $(field Package)"
[ "$(field Version)" = "${version}-1" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
grep -Eqx '[^<>]+ <[^ <>@]+@[^ <>@]+>' <<<"$(field Maintainer)" || fail "Maintainer: $(field Maintainer)"
description=$(field Description)
[ "$(wc -l <<<"$description")" -ge 3 ] && [ -n "${description%%$'\n'*}" ] ||
	fail "Description lacks a summary or a long text"
grep -Eqx 'libc6( \(>= [0-9][^)]*\))?' <<<"$(field Depends)" ||
	fail "Depends must name the C library alone: $(field Depends)"
packed=$(dpkg-deb --contents "$deb" | awk '/^-/{print $1, $2, $NF}' | sort | tr '\n' ' ')
[ "$packed" = "-rw-r--r-- root/root ./usr/share/man/man1/treemir.1.gz -rwxr-xr-x root/root ./usr/bin/treemir " ] ||
	fail "package files: $packed"

dpkg -x "$deb" "$work/root"
bin="$work/root/usr/bin/treemir"
gzip -dc "$work/root/usr/share/man/man1/treemir.1.gz" | cmp -s - man/treemir.1 ||
	fail "packaged manual page differs"
if command -v objdump >/dev/null 2>&1; then
	needed=$(objdump -p "$bin" | awk '$1 == "NEEDED" {print $2}' | tr '\n' ' ')
	# The C library, and its loader where the threads' storage is asked of it.
	grep -Eqx 'libc\.so\.[0-9.]+ (ld-linux[-a-z0-9_]*\.so\.[0-9.]+ )?' <<<"$needed" ||
		fail "packaged binary needs: $needed"
fi

# --- the packaged program: usage text
status=0
"$bin" -h >"$work/h.out" 2>"$work/h.err" || status=$?
[ "$status" -eq 2 ] || fail "packaged treemir -h exited with $status"
[ ! -s "$work/h.err" ] || fail "packaged treemir -h wrote to stderr: $(cat "$work/h.err")"
printf '%s\n' "TreeMir $version one-way directory tree mirror" "" \
	"usage : treemir [option(s)] source dest" \
	$'\tsource\tsoure directory (must exist)' \
	$'\tdest\tdestination directory (must exist)' \
	$'\t-h\tDisplay this message' \
	$'\t-v lvl\tset verbose level (default 2,min 0,max 9)' \
	$'\t-q\tQuiet mode (same result of -v 0)' \
	$'\t-X name\tExclude directory name (1) from scanning (default . ..)' \
	$'\t-x name\tExclude file name (1) from scanning' \
	$'\t-e name\tExclude regular expression name (1) from scanning' \
	$'\t-b size\tSet the read/write buffer size (default 1048576)' \
	$'\t-m mode\tSet copy file mode,always missing file are copied' \
	$'\t\t0 - Copy file if have different size or date (default)' \
	$'\t\t1 - Copy file if the destination is oldest than source' \
	$'\t-r\tDon\'t remove file/directory missed in the source' \
	"" $'\t\t(1) If name begin with @ for example @list the names will be' \
	$'\t\tread from a text file named list.' >"$work/h.expected"
diff -u "$work/h.expected" "$work/h.out" >&2 || fail "packaged treemir -h text"

# --- the packaged program: one real mirror, then a run with nothing to do
src=$trees/src dst=$trees/dst
mkdir -p "$src/sub/deeper" "$src/empty dir" "$dst/sub/deeper" "$dst/old/inner"
printf 'new text\n' >"$src/a.txt"
printf 'spaced\n' >"$src/with space.txt"
: >"$src/empty"
head -c 3145728 /dev/urandom >"$src/big.bin"
printf '#!/bin/sh\n' >"$src/run.sh" && chmod 755 "$src/run.sh"
printf 'secret\n' >"$src/secret" && chmod 640 "$src/secret"
printf 'deep\n' >"$src/sub/deeper/file"
chmod 750 "$src/sub"
printf 'old\n' >"$dst/a.txt"
printf 'stale, longer\n' >"$dst/sub/deeper/file"
printf 'x\n' >"$dst/extra"
printf 'y\n' >"$dst/old/f" && printf 'z\n' >"$dst/old/inner/g"

snapshot() {
	(cd "$1" && find . -mindepth 1 -printf '%p %y %m\n' && find . -type f -printf '%p %s %T@\n') | sort
}
mirror() {
	status=0
	"$bin" "$src" "$dst" >"$work/m.out" 2>"$work/m.err" || status=$?
	[ "$status" -eq 0 ] || fail "mirror exited with $status: $(cat "$work/m.err")"
	[ ! -s "$work/m.err" ] || fail "mirror wrote to stderr: $(cat "$work/m.err")"
	diff -r "$src" "$dst" >&2 || fail "trees differ after the mirror"
	diff -u <(snapshot "$src") <(snapshot "$dst") >&2 || fail "modes or times differ after the mirror"
	# The summary follows the last progress line's carriage return.
	local last
	last=$(tr '\r' '\n' <"$work/m.out" | tail -n 1)
	grep -Eqx "$1 in [0-9]+ second\(s\)" <<<"$last" || fail "summary '$last', wanted '$1'"
}
mirror '7 file\(s\) checked,7 copied,3 deleted'
mirror '7 file\(s\) checked,0 copied,0 deleted'

echo "stage_package: passed (package $(basename "$deb"))"
