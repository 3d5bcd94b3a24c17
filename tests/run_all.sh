#!/usr/bin/env bash
# Runs every test of the program, from the top of the checkout wherever it
# lives.  First installs the Debian packages of .ci/packages that are
# missing (.ci/get-packages: through sudo unless run as root); when all are
# there it installs nothing and needs no network.
#
# Stages, in this order:
#   build       the optimised build with its tests (GoogleTest, run by ctest),
#               the program with as many workers as it picks itself
#   sanitizer   the same tests on a build with AddressSanitizer and UBSan,
#               the program with one worker (TREEMIR_TEST_ONE_WORKER=1)
#   stage_*     every tests/stage_*.sh, in name order
# Each stage prints one line as it starts and one as it ends; its output
# goes to build/logs/<stage>.log, and when it fails the end of that log is
# shown.  Passing tests print nothing more.  The run ends with a line per
# stage, the names of the failing tests, and last "N passed, N failed":
# every ctest case of the two builds counts as one test, every stage script
# as one.  The exit status is 1 when anything failed.
#
# A stage script (tests/stage_<name>.sh) is picked up by its name alone:
#   - a comment line "# about: <what it checks>, about <time>" near its top
#     is the start line's text;
#   - it runs from the top of the checkout, with TREEMIR_BUILD naming the
#     optimised build with tests (already built);
#   - it exits 0 when it passed and non-zero when it failed;
#   - when the machine lacks what it needs, it prints
#     "stage_<name>: skipped, <reason>" as its last line and exits 0; a
#     skipped stage counts neither as passed nor as failed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
jobs=$(nproc 2>/dev/null || echo 2)
logs=build/logs
tail_lines=40

bash .ci/get-packages || { echo "setup: installing the packages of .ci/packages failed"; exit 1; }
mkdir -p "$logs" && rm -f "$logs"/*.log

passed=0 failed=0
summary=()  # one line per stage
failures=() # names of the failing tests

took() {
	local s=$((SECONDS - $1))
	if [ "$s" -ge 60 ]; then echo "$((s / 60))m$((s % 60))s"; else echo "${s}s"; fi
}

# Ends a stage: its end line, its summary line, and on failure the part of
# its log that shows why.
finish() {
	local name=$1 result=$2 start=$3 log=$4 excerpt=${5:-}
	local line
	line=$(printf '%-15s %s (%s)' "$name:" "$result" "$(took "$start")")
	echo "$line"
	summary+=("$line")
	case $result in
	failed*)
		echo "  log: $log, $( [ -n "$excerpt" ] && echo "where the failures begin" || echo "last $tail_lines lines"):"
		if [ -n "$excerpt" ]; then
			printf '%s\n' "$excerpt" | head -n "$tail_lines" | sed 's/^/  | /'
		else
			tail -n "$tail_lines" "$log" | sed 's/^/  | /'
		fi
		;;
	esac
}

# The build and ctest run of one configuration.
suite() {
	local name=$1 dir=$2 about=$3
	shift 3
	local log=$logs/$name.log start=$SECONDS
	echo "$name: $about"
	if ! { cmake -S . -B "$dir" -DTREEMIR_TESTS=ON "$@" && cmake --build "$dir" -j"$jobs"; } >"$log" 2>&1; then
		failed=$((failed + 1))
		failures+=("$name: the build")
		finish "$name" "failed to build" "$start" "$log"
		return
	fi
	ctest --test-dir "$dir" --output-on-failure -j"$jobs" >>"$log" 2>&1
	local total bad names
	total=$(sed -n 's/.*tests* failed out of \([0-9]*\)$/\1/p' "$log" | tail -n 1)
	bad=$(sed -n 's/.*, \([0-9]*\) tests* failed out of [0-9]*$/\1/p' "$log" | tail -n 1)
	if [ -z "$total" ] || [ -z "$bad" ]; then
		failed=$((failed + 1))
		failures+=("$name: ctest")
		finish "$name" "failed, ctest gave no result" "$start" "$log"
		return
	fi
	passed=$((passed + total - bad))
	failed=$((failed + bad))
	if [ "$bad" -eq 0 ]; then
		finish "$name" "passed, $total tests" "$start" "$log"
		return
	fi
	names=$(sed -n '/^The following tests FAILED:/,$s/^[[:space:]]*[0-9]* - \([^ ]*\).*/\1/p' "$log")
	while read -r test; do failures+=("$name: $test"); done <<<"$names"
	# The output of the failing tests, without the lines of the others.
	local excerpt
	excerpt=$(awk '/\*\*\*(Failed|Exception|Timeout)|Not Run/ {show = 1; print; next}
		/^ *Start +[0-9]+:|^ *[0-9]+\/[0-9]+ Test +#/ {show = 0}
		/^[0-9]+% tests passed/ {show = 0}
		show' "$log")
	finish "$name" "failed, $bad of $total tests" "$start" "$log" "$excerpt"
}

# One tests/stage_*.sh.
stage() {
	local script=$1 name about log start status last
	name=$(basename "$script" .sh)
	about=$(sed -n 's/^# about: //p' "$script" | head -n 1)
	log=$logs/$name.log
	start=$SECONDS
	echo "$name: ${about:-(no description)}"
	TREEMIR_BUILD=build bash "$script" >"$log" 2>&1 </dev/null
	status=$?
	last=$(grep -v '^[[:space:]]*$' "$log" | tail -n 1)
	if [ "$status" -eq 0 ] && [ "${last#"$name: skipped"}" != "$last" ]; then
		finish "$name" "skipped${last#"$name: skipped"}" "$start" "$log"
	elif [ "$status" -eq 0 ]; then
		passed=$((passed + 1))
		finish "$name" "passed" "$start" "$log"
	else
		failed=$((failed + 1))
		# The failing GoogleTest cases a stage ran, if it ran any.
		local cases
		cases=$(sed -n 's/^\[  FAILED  \] \([^ ,]*\)\( .*\)\{0,1\}$/\1/p' "$log" | grep -v '^[0-9]*$' | sort -u | tr '\n' ' ')
		failures+=("$name${cases:+ (${cases% })}")
		finish "$name" "failed, status $status" "$start" "$log"
	fi
}

suite build build "optimised build, then its unit, end-to-end and fault-matrix tests, about 2 min" \
	-DCMAKE_BUILD_TYPE=Release -DTREEMIR_SANITIZE=OFF
ASAN_OPTIONS=detect_leaks=0 TREEMIR_TEST_ONE_WORKER=1 suite sanitizer build-san \
	"the same tests with AddressSanitizer and UBSan, the program with one worker, about 3 min" \
	-DCMAKE_BUILD_TYPE=Debug -DTREEMIR_SANITIZE=ON
for script in tests/stage_*.sh; do
	[ -e "$script" ] && stage "$script"
done

echo
echo "summary:"
printf '  %s\n' "${summary[@]}"
if [ "${#failures[@]}" -gt 0 ]; then
	echo "failing tests:"
	printf '  %s\n' "${failures[@]}"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
