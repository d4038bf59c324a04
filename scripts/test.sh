#!/usr/bin/env bash
# Builds and runs every test twice: a normal build, and one with
# AddressSanitizer and UndefinedBehaviorSanitizer. Then checks the man page,
# cmake --install and the .deb (scripts/package_check.sh), the Windows build
# under wine (scripts/windows_test.sh), the suite on other architectures
# (scripts/cross_test.sh), splicing on btrfs (scripts/cow_check.sh) and a
# smoke run of the benchmark.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
need_test_tools
# Peers for the end-to-end test of -i, which skips without them.
want_package imagemagick test -x /usr/bin/convert || true
want_package libimage-exiftool-perl command -v exiftool || true
jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {  # run_suite NAME CMAKE-ARGS...
    local name=$1
    shift
    local build="$root/build/$name"
    echo "== $name build"
    cmake -S "$root" -B "$build" "$@" >/dev/null
    cmake --build "$build" --parallel "$jobs"
    (cd "$build" && ctest --output-on-failure --no-tests=error --parallel "$jobs")
}

# BUILD_TESTING explicitly: scripts/demo.sh shares build/release and turns it off.
run_suite release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite sanitize -DCMAKE_BUILD_TYPE=Debug -DSEGSPLICE_SANITIZE=ON
# 30 s of libFuzzer for each fuzz target on a copy of its corpus; any
# finding fails the run.
bash "$root/scripts/fuzz.sh" 30
# The man page, cmake --install and the .deb, from the release build.
bash "$root/scripts/package_check.sh" "$root/build/release"
# The Windows build under wine: its suite, the demo round trip and the -d
# trace against the release build byte for byte, and its zip.
bash "$root/scripts/windows_test.sh" "$root/build/release"
# The suite cross-built for armhf, i386, arm64 and s390x under qemu-user, and
# -r past 4 GiB on each against the release build's.
bash "$root/scripts/cross_test.sh" --native "$root/build/release" armhf i386 arm64 s390x
# Splices on a loop-mounted btrfs image: exact bytes, shared blocks (root only).
bash "$root/scripts/cow_check.sh" "$root/build/release"
# Seconds of the benchmark on small inputs: its jobs run and their outputs are
# checked byte for byte; the timing targets are judged only by a full run.
bash "$root/bench/run.sh" --smoke --build "$root/build/release"
