#!/usr/bin/env bash
# about: a clone of this commit in a private folder with spaces in a long path builds there and passes the end-to-end, fault-matrix and Windows tests, about 2-3 min
# The committed state (HEAD; changes not yet committed are not in it) is
# cloned into a folder of mode 700 whose path holds spaces and is longer
# than 100 characters, as a checkout in a private home may be.  Its own
# build of the end-to-end tests and the fault matrix (and treemir.exe with
# the Windows stage) runs from there, as root and as uid 65534, so every
# path the tests bake in or hand to the unprivileged user lies where that
# user cannot go.  Skips unless it runs as root and can run as uid 65534.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
jobs=$(nproc 2>/dev/null || echo 2)

if [ "$(id -u)" -ne 0 ] || ! setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; then
	echo "stage_checkout: skipped, it needs root and setpriv to run tests as uid 65534"
	exit 0
fi
if ! commit=$(git -C "$top" rev-parse --verify -q HEAD 2>/dev/null); then
	echo "stage_checkout: skipped, this is not a git checkout"
	exit 0
fi

work=$(mktemp -d /tmp/treemir-checkout.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 700 "$work"
clone="$work/a private home/with a folder name long enough to take the whole path past a hundred characters/treemir"
git clone -q --no-checkout "$top" "$clone"
git -C "$clone" checkout -q --detach "$commit"
echo "stage_checkout: commit $commit in $clone (${#clone} characters)"

# A build without optimisation or debug information compiles the tests
# fastest; the slowest row of the fault matrix (a hundred thousand entries)
# has nothing to do with paths.
build="$clone/build"
cmake -S "$clone" -B "$build" -DCMAKE_BUILD_TYPE=None -DTREEMIR_TESTS=ON >/dev/null
cmake --build "$build" -j"$jobs" --target e2e_tests fault_tests >/dev/null
cd "$build/tests"
./e2e_tests --gtest_brief=1
./fault/fault_tests --gtest_brief=1 --gtest_filter='-*HundredThousand*'

# The Windows tests, the clone's own stage, from the clone.
TREEMIR_BUILD="$build" TREEMIR_WIN_BUILD="$clone/build-win" bash "$clone/tests/stage_wine.sh"
echo "stage_checkout: passed"
