#!/usr/bin/env bash
# Builds and runs every test twice: a normal build, and one with
# AddressSanitizer and UndefinedBehaviorSanitizer. Then checks the man page,
# cmake --install and the .deb (scripts/package_check.sh), the Windows build
# under wine (scripts/windows_test.sh), the suite on other architectures
# (scripts/cross_test.sh), splicing on btrfs (scripts/cow_check.sh) and a
# smoke run of the benchmark. More than 20 minutes on two cores; each stage
# says what it checks and how long it took.
#   scripts/test.sh [--quick]     (--quick: the release build's suite alone)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
quick=
[ "${1:-}" = --quick ] && quick=1
. "$root/scripts/deps.sh"
need_test_tools
# Peers for the end-to-end tests of -i, -s, -g and -j, which skip without them.
want_package imagemagick test -x /usr/bin/convert || true
want_package libimage-exiftool-perl command -v exiftool || true
want_package exiv2 command -v exiv2 || true
# The shells whose completions are tested; each test skips without its shell.
want_package zsh command -v zsh || true
want_package fish command -v fish || true
jobs=$(nproc 2>/dev/null || echo 2)
started=$SECONDS

duration() {  # duration SECONDS: "2m05s"
    printf '%dm%02ds' $(($1 / 60)) $(($1 % 60))
}

stage() {  # stage NAME 'WHAT IT CHECKS' COMMAND...
    local name=$1 what=$2 begun=$SECONDS
    shift 2
    echo
    echo "== $name: $what"
    "$@"
    echo "-- $name passed in $(duration $((SECONDS - begun)))"
}

# Why each skipped test of the last ctest run in BUILD skipped: GoogleTest's
# skip message or the script's own "skipped:" line, from ctest's log.
skip_reasons() {
    awk '
        / Test: / { name = $3; out = ""; in_output = 0 }
        /^Output:$/ { in_output = 1; next }
        /^<end of output>$/ { in_output = 0; next }
        in_output && /^-+$/ && out == "" { next }
        in_output {
            if (take) { out = out "    " name ": " $0 "\n"; take = 0 }
            if (/: Skipped$/) take = 1
            else if (/^skipped: / || /^\[  SKIPPED \] .*: /) out = out "    " $0 "\n"
        }
        /^Test Pass Reason:$/ || /^Test Failed Reason:$/ { reason = 1; next }
        reason && /[Ss]kip/ { printf "%s", (out == "" ? "    " name ": (no reason given)\n" : out) }
        { reason = 0 }
    ' "$1/Testing/Temporary/LastTest.log"
}

run_suite() {  # run_suite NAME CMAKE-ARGS...
    local name=$1
    shift
    local build="$root/build/$name"
    echo "configuring and building build/$name (the compiler's output: build/$name/build.log)"
    mkdir -p "$build"
    if ! { cmake -S "$root" -B "$build" "$@" && cmake --build "$build" --parallel "$jobs"; } >"$build/build.log" 2>&1; then
        tail -n 30 "$build/build.log" >&2
        return 1
    fi
    (cd "$build" && ctest --output-on-failure --no-tests=error --parallel "$jobs")
    local skipped
    skipped=$(skip_reasons "$build")
    if [ -n "$skipped" ]; then
        echo "skipped, and why:"
        echo "$skipped"
    fi
}

# BUILD_TESTING explicitly: scripts/demo.sh shares build/release and turns it off.
stage release "the whole suite on an optimised build: unit tests, the tool end to end, completions, the README's loop" \
    run_suite release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
if [ -n "$quick" ]; then
    echo
    echo "release suite passed in $(duration $((SECONDS - started))) (--quick: the other stages were not run)"
    exit 0
fi
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    stage sanitize "the same suite under AddressSanitizer and UndefinedBehaviorSanitizer" \
    run_suite sanitize -DCMAKE_BUILD_TYPE=Debug -DSEGSPLICE_SANITIZE=ON
# Any finding fails the run.
stage fuzz "30 s of libFuzzer for each fuzz target on a copy of its corpus" \
    bash "$root/scripts/fuzz.sh" 30
stage package "the man page, cmake --install and the .deb, from the release build" \
    bash "$root/scripts/package_check.sh" "$root/build/release"
stage windows "the Windows build under wine: its suite, the demo round trip, the -d trace against Linux's, its zip" \
    bash "$root/scripts/windows_test.sh" "$root/build/release"
stage cross "the suite cross-built for armhf, i386, arm64 and s390x under qemu-user, and -r past 4 GiB on each" \
    bash "$root/scripts/cross_test.sh" --native "$root/build/release" armhf i386 arm64 s390x
stage btrfs "splices on a loop-mounted btrfs image: exact bytes, shared blocks (root only)" \
    bash "$root/scripts/cow_check.sh" "$root/build/release"
# The timing targets are judged only by a full run.
stage bench "seconds of the benchmark on small inputs: its jobs run and their outputs are checked byte for byte" \
    bash "$root/bench/run.sh" --smoke --build "$root/build/release"
echo
echo "all stages passed in $(duration $((SECONDS - started)))"
