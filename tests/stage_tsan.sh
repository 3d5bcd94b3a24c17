#!/usr/bin/env bash
# about: the end-to-end tests and the fault matrix on a ThreadSanitizer build, about 2.5 min (40 s once built)
# Thread stage: builds the program and its end-to-end tests with
# ThreadSanitizer (TREEMIR_TSAN) in a folder of its own, then runs the
# tests that drive whole runs of the program (walks, copies, removals, the
# command line and the fault matrix).  The tests run the program as a child
# process; a data race there stops it at once with status 66 and the
# report on its standard error, so the test that ran it fails on the status
# and on the output.  The unit tests of pure functions are left out, and so
# is the fault matrix's hundred-thousand-entry row: over a minute here, most
# of it in the instrumented harness walking the trees, not in the program.
# Skips when the compiler cannot build and run a small threaded program
# with ThreadSanitizer; where the runtime refuses the kernel's address-space
# layout, everything runs with address-space randomisation turned off, when
# that helps.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
out=${TREEMIR_TSAN_BUILD:-build-tsan}
cxx=${CXX:-c++}
skip() {
	echo "stage_tsan: skipped, $1"
	exit 0
}

# The probe: two threads that share a counter the right way.  It must
# build, run and end with status 0 (a race would be the probe's fault).
probe=$(mktemp -d /tmp/treemir-tsan.XXXXXX)
trap 'rm -rf "$probe"' EXIT
cat >"$probe/probe.cpp" <<'EOF'
#include <atomic>
#include <thread>
int main()
{
	std::atomic<int> n{0};
	std::thread a([&n] { n++; }), b([&n] { n++; });
	a.join();
	b.join();
	return n == 2 ? 0 : 1;
}
EOF
command -v "$cxx" >/dev/null || skip "no C++ compiler ($cxx)"
"$cxx" -std=c++17 -fsanitize=thread -g -pthread "$probe/probe.cpp" -o "$probe/probe" 2>"$probe/cc.log" ||
	skip "$cxx cannot build with -fsanitize=thread (its runtime, libtsan, is missing?)"
wrap=()
if ! "$probe/probe" >"$probe/run.log" 2>&1; then
	if command -v setarch >/dev/null && setarch "$(uname -m)" -R "$probe/probe" >/dev/null 2>&1; then
		echo "== ThreadSanitizer runs only without address-space randomisation here: setarch -R for the whole stage"
		wrap=(setarch "$(uname -m)" -R)
	else
		skip "ThreadSanitizer cannot run here: $(grep -m 1 . "$probe/run.log" || echo "the probe ended with a failure")"
	fi
fi

echo "== build in $out"
if ! { cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTREEMIR_TESTS=ON -DTREEMIR_TSAN=ON \
	-DTREEMIR_SANITIZE=OFF -DTREEMIR_FUZZ=OFF &&
	cmake --build "$out" -j"$jobs" --target treemir e2e_tests fault_tests; } >"$probe/build.log" 2>&1; then
	tail -n 40 "$probe/build.log"
	echo "stage_tsan: failed, the build failed"
	exit 1
fi

# A race ends the program at its first report, with a status no run of it
# has otherwise.
export TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1
tests='^(Cli|Differential|Mirror|Operands|Road|Safety|Scan)\.|^Fault/'
slow='^Fault/Matrix\.Run/HundredThousandEntries( |$)'
count=$(ctest --test-dir "$out" -N -R "$tests" -E "$slow" | sed -n 's/^Total Tests: //p')
[ "${count:-0}" -gt 0 ] || { echo "stage_tsan: failed, no test matches $tests"; exit 1; }
echo "== $count tests under ThreadSanitizer"
"${wrap[@]}" ctest --test-dir "$out" -j"$jobs" --output-on-failure -R "$tests" -E "$slow"
status=$?
[ "$status" -eq 0 ] || { echo "stage_tsan: failed, tests failed (ctest status $status)"; exit 1; }
echo "stage_tsan: passed"
