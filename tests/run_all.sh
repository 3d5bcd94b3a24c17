#!/usr/bin/env bash
# Builds the program twice (optimised, and with AddressSanitizer and
# UndefinedBehaviorSanitizer), runs the whole test suite on both, then every
# extra stage script tests/stage_*.sh (each skips what this machine lacks).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTREEMIR_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

cmake -S . -B build-san -DCMAKE_BUILD_TYPE=Debug -DTREEMIR_TESTS=ON -DTREEMIR_SANITIZE=ON >/dev/null
cmake --build build-san -j"$jobs"
ASAN_OPTIONS=detect_leaks=0 ctest --test-dir build-san --output-on-failure -j"$jobs"

for stage in tests/stage_*.sh; do
	[ -e "$stage" ] || continue
	echo "== $stage"
	bash "$stage"
done
