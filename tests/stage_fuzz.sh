#!/usr/bin/env bash
# about: fuzzes the option scanner and the list-file reader for 30 s each, about 1.5 min
# Fuzzes the option scanner and the list-file reader for FUZZ_SECONDS
# (default 30) seconds each, built with clang's fuzzer runtime and the
# address and undefined-behaviour sanitizers.  Fails on a crash, a
# sanitizer report, a leak or a broken property; a slow or memory-hungry
# input is shown but does not fail the stage.  New inputs go to a scratch
# corpus in the build folder; the seed corpus in tests/fuzz/corpus stays.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
out=${FUZZ_BUILD:-build-fuzz}
cxx=${CLANGXX:-$(command -v clang++ || command -v clang++-14 || true)}

if [ -z "$cxx" ]; then
	echo "stage_fuzz: skipped, clang++ is not installed"
	exit 0
fi
mkdir -p "$out"
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }' |
	"$cxx" -x c++ -fsanitize=fuzzer - -o "$out/probe" 2>/dev/null; then
	echo "stage_fuzz: skipped, the fuzzer runtime is missing (libclang-rt-14-dev)"
	exit 0
fi

# The fuzzers link the program's core library, built here with clang, the
# fuzzer's coverage and both sanitizers (TREEMIR_FUZZ).
if ! cmake -S . -B "$out" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="-g -O1" \
	-DTREEMIR_FUZZ=ON -DTREEMIR_TESTS=OFF >"$out/cmake.log" 2>&1 ||
	! cmake --build "$out" -j2 --target fuzz_getopt fuzz_list >>"$out/cmake.log" 2>&1; then
	cat "$out/cmake.log"
	echo "stage_fuzz: building the fuzzers failed"
	exit 1
fi

failed=0
for target in getopt list; do
	bin=$out/tests/fuzz/fuzz_$target
	work=$out/corpus-$target
	artifacts=$out/artifacts-$target/
	rm -rf "$artifacts"
	mkdir -p "$work" "$artifacts"
	echo "== fuzz_$target for ${seconds}s"
	"$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 -close_fd_mask=3 \
		-print_final_stats=1 -artifact_prefix="$artifacts" "$work" "tests/fuzz/corpus/$target" \
		>"$out/fuzz_$target.log" 2>&1
	status=$?
	grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|^Done [0-9]+ runs' "$out/fuzz_$target.log"
	if ls "$artifacts" | grep -qE '^(crash|leak)-'; then
		echo "stage_fuzz: fuzz_$target found a fault, inputs in $artifacts"
		grep -E -A30 '^==[0-9]+==ERROR|runtime error|deadly signal' "$out/fuzz_$target.log" | head -60
		failed=1
	elif [ "$status" -ne 0 ]; then
		echo "stage_fuzz: fuzz_$target stopped on a slow or large input (status $status), inputs in $artifacts:"
		ls "$artifacts"
		grep -E 'ALARM|out-of-memory|Timeout' "$out/fuzz_$target.log" | head -5
	fi
done
rm -f /dev/shm/treemir-fuzz-list-*
exit $failed
