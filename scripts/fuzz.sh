#!/usr/bin/env bash
# Builds the libFuzzer target with clang (ASan + UBSan) and fuzzes for the
# given number of seconds, default 60, on one core. It works on a copy of
# fuzz/corpus so the repository stays as it is; inputs that crash are kept
# in build/fuzz/findings and fail the run.
#   scripts/fuzz.sh [SECONDS] [extra libFuzzer flags...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
need_build_tools
need_package clang command -v clang++
need_package libclang-rt-14-dev sh -c 'ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a'
seconds=${1:-60}
shift || true

build="$root/build/fuzz"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DSEGSPLICE_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target segsplice_fuzz --parallel "$(nproc 2>/dev/null || echo 2)"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/corpus" "$build/findings"
cp "$root"/fuzz/corpus/* "$scratch/corpus/"
# Each input is written to files several times: keep them off the disk. The
# fuzzer's exit skips its own clean-up, so its directory goes with the trap.
fuzz_tmp=$scratch
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    fuzz_tmp=$(mktemp -d /dev/shm/segsplice-fuzz.XXXXXX)
    trap 'rm -rf "$scratch" "$fuzz_tmp"' EXIT
fi
# Past findings are read as seeds too, never written to.
regressions=
[ -d "$root/fuzz/regressions" ] && regressions=$root/fuzz/regressions
echo "== fuzzing for ${seconds}s"
status=0
(cd "$scratch" && TMPDIR=$fuzz_tmp ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/fuzz/segsplice_fuzz" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 \
    -max_len=262144 -print_final_stats=1 -artifact_prefix="$build/findings/" "$@" \
    "$scratch/corpus" $regressions) || status=$?
if [ "$status" -ne 0 ]; then
    echo "fuzzing found a problem (status $status); inputs in $build/findings" >&2
    exit 1
fi
