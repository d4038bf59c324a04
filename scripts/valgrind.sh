#!/usr/bin/env bash
# Runs the test suite under valgrind memcheck: the test binary itself, and
# every run of the real segsplice binary that the end-to-end tests make
# (through $SEGSPLICE_TEST_WRAPPER), then the replay of each fuzz target's
# corpus. Any memcheck error or definite leak fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
need_test_tools
need_package valgrind command -v valgrind

build="$root/build/valgrind"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel "$(nproc 2>/dev/null || echo 2)"

memcheck="valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite -q"
export SEGSPLICE_TEST_WRAPPER=$memcheck
echo "== test suite under memcheck"
$memcheck "$build/tests/segsplice_tests" --gtest_brief=1
for target in parse jobs; do
    echo "== fuzz $target corpus replay under memcheck"
    $memcheck "$build/fuzz/segsplice_fuzz_$target" "$root/fuzz/corpus/$target" \
        $([ -d "$root/fuzz/regressions" ] && echo "$root/fuzz/regressions")
done
echo "memcheck: clean"
