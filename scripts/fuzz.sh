#!/usr/bin/env bash
# Builds the two libFuzzer targets with clang (ASan + UBSan) and fuzzes each
# for the given number of seconds, default 60, on one core: first
# segsplice_fuzz_parse (the "-d" parse in memory), then segsplice_fuzz_jobs
# (the file jobs). Each works on a copy of its corpus, fuzz/corpus/TARGET,
# so the repository stays as it is; inputs that crash are kept in
# build/fuzz/findings and fail the run. libFuzzer's own output, the
# dictionary it recommends included, goes to build/fuzz/TARGET.log.
#   scripts/fuzz.sh [SECONDS] [extra libFuzzer flags...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
need_build_tools
need_package clang command -v clang++
need_package libclang-rt-14-dev sh -c 'ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a'
seconds=${1:-60}
shift || true
targets="parse jobs"

build="$root/build/fuzz"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DSEGSPLICE_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
for target in $targets; do
    cmake --build "$build" --target "segsplice_fuzz_$target" --parallel "$(nproc 2>/dev/null || echo 2)"
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/findings"
# The jobs target writes each input to files several times: keep them off the
# disk. The fuzzer's exit skips its own clean-up, so its directory goes with
# the trap.
fuzz_tmp=$scratch
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    fuzz_tmp=$(mktemp -d /dev/shm/segsplice-fuzz.XXXXXX)
    trap 'rm -rf "$scratch" "$fuzz_tmp"' EXIT
fi
# Past findings are read as seeds too, never written to.
regressions=
[ -d "$root/fuzz/regressions" ] && regressions=$root/fuzz/regressions
failed=
for target in $targets; do
    mkdir -p "$scratch/$target"
    cp "$root/fuzz/corpus/$target"/* "$scratch/$target/"
    echo "fuzzing segsplice_fuzz_$target for ${seconds}s"
    log="$build/$target.log"
    status=0
    (cd "$scratch" && TMPDIR=$fuzz_tmp ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$build/fuzz/segsplice_fuzz_$target" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 \
        -max_len=262144 -print_final_stats=1 -artifact_prefix="$build/findings/$target-" "$@" \
        "$scratch/$target" $regressions) >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    if [ "$status" -eq 0 ]; then
        echo "  ${runs:-?} inputs, nothing found (libFuzzer's output: $log)"
    else
        tail -n 40 "$log" >&2
        echo "fuzzing segsplice_fuzz_$target found a problem (status $status)" >&2
        failed=1
    fi
done
if [ -n "$failed" ]; then
    echo "inputs that failed are in $build/findings" >&2
    exit 1
fi
