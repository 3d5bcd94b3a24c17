#!/usr/bin/env bash
# about: treemir.exe cross-built and its end-to-end tests under wine, about 1 min
# Windows stage: cross-compiles treemir.exe with mingw-w64 through the
# toolchain file, then runs the end-to-end tests against it under wine,
# with Windows paths (Z:\...) and '\' in every expected line; the tests
# that cannot hold on Windows (POSIX modes beyond the read-only attribute,
# FIFOs, sockets and devices, symbolic links, a second file system) skip
# themselves.  Skips when wine or the cross compiler is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
# The build folders: the Windows one, and the Linux one whose e2e tests run.
win=${TREEMIR_WIN_BUILD:-build-win}
linux=${TREEMIR_BUILD:-build}

for tool in wine wineboot wineserver x86_64-w64-mingw32-g++-posix; do
	if ! command -v "$tool" >/dev/null 2>&1; then
		echo "stage_wine: skipped, $tool is not installed"
		exit 0
	fi
done

cmake -S . -B "$win" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build "$win" -j"$jobs"
if [ ! -x "$linux/tests/e2e_tests" ]; then
	cmake -S . -B "$linux" -DTREEMIR_TESTS=ON >/dev/null
	cmake --build "$linux" -j"$jobs" --target e2e_tests
fi

work=$(mktemp -d /tmp/treemir-wine.XXXXXX)
chmod 755 "$work"
# A UTF-8 locale: wine makes the program's command line from the bytes of
# the arguments through it.
export LANG=C.UTF-8 LC_ALL=C.UTF-8
export WINEDEBUG=-all WINEPREFIX="$work/prefix" WINEDLLOVERRIDES="mscoree,mshtml="
nobody=()
cleanup() {
	wineserver -k >/dev/null 2>&1 || true
	if [ "${#nobody[@]}" -gt 0 ]; then
		"${nobody[@]}" wineserver -k >/dev/null 2>&1 || true
	fi
	rm -rf "$work"
}
trap cleanup EXIT

# A fresh prefix; its first start is the slow part, done once here.
start=$(date +%s)
wineboot -i >"$work/boot.log" 2>&1 || { cat "$work/boot.log" >&2; exit 1; }
echo "stage_wine: wine prefix ready in $(( $(date +%s) - start ))s"

# Runs as uid 65534 need a prefix of that user's own.
if [ "$(id -u)" -eq 0 ] && setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; then
	mkdir "$work/nobody"
	chown 65534:65534 "$work/nobody"
	nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups
	        env WINEPREFIX="$work/nobody" HOME="$work/nobody")
	start=$(date +%s)
	if "${nobody[@]}" wineboot -i >"$work/boot.log" 2>&1; then
		echo "stage_wine: wine prefix of uid 65534 ready in $(( $(date +%s) - start ))s"
		export TREEMIR_WINEPREFIX_NOBODY="$work/nobody"
	else
		echo "stage_wine: no wine prefix for uid 65534; its tests skip"
	fi
fi

# Drive T:, which tests map to a folder of their own, is a network drive
# in both prefixes: every copy there is a round trip, and goes to the
# workers.  A drive's type is read as the prefix starts.
drive_type() { # drive, type
	wine reg add 'HKLM\Software\Wine\Drives' /v "$1" /d "$2" /f >/dev/null 2>&1
	wineserver -k >/dev/null 2>&1 || true
	if [ -n "${TREEMIR_WINEPREFIX_NOBODY:-}" ]; then
		"${nobody[@]}" wine reg add 'HKLM\Software\Wine\Drives' /v "$1" /d "$2" /f >/dev/null 2>&1
		"${nobody[@]}" wineserver -k >/dev/null 2>&1 || true
	fi
}
drive_type t: network

export TREEMIR_EXE="$(cd "$win" && pwd)/treemir.exe" TREEMIR_RUNNER=wine
# Every end-to-end test; those that cannot hold on Windows skip themselves.
# First on drive Z: as the local disk it is, where the walk copies alone
# (no read is seen to wait and no copy makes a round trip), then with Z:
# a network drive, where the workers make the copies: the same tables
# hold every byte of the output in both.
echo "stage_wine: the end-to-end tests, copies by the walk alone"
"$linux/tests/e2e_tests" --gtest_brief=1
drive_type z: network
echo "stage_wine: the end-to-end tests again, every copy a round trip, by the workers"
"$linux/tests/e2e_tests" --gtest_brief=1
