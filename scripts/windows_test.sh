#!/usr/bin/env bash
# Cross-builds segsplice for 64-bit Windows with mingw-w64 and tests it under
# wine: the GoogleTest suite, the demo round trip, an in-place edit and an
# overwrite, the -d trace and the usage text of the Linux build byte for byte,
# and the zip that `cpack -G ZIP` makes. Without root and with packages
# missing, it names them and skips.
#   scripts/windows_test.sh [LINUX_BUILD_DIR]     (default: build/release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
need_build_tools
jobs=$(nproc 2>/dev/null || echo 2)

missing=
want() {  # want PACKAGE TEST-COMMAND...
    try_package "$@" || missing="$missing $1"
}
want g++-mingw-w64-x86-64-posix command -v x86_64-w64-mingw32-g++-posix
want wine64 test -x /usr/lib/wine/wine64
want wine command -v wine
want googletest test -f /usr/src/googletest/CMakeLists.txt
want groff-base command -v groff
if [ -n "$missing" ]; then
    if [ "$(id -u)" -eq 0 ]; then
        echo "windows tests: could not install$missing" >&2
        exit 1
    fi
    echo "windows tests skipped: they need the Debian packages$missing (sudo apt-get install$missing)"
    exit 0
fi

linux_build=$(realpath -m "${1:-$root/build/release}")
if [ ! -x "$linux_build/segsplice" ]; then
    cmake -S "$root" -B "$linux_build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$linux_build" --parallel "$jobs" >/dev/null
fi
linux_tool=$linux_build/segsplice

build="$root/build/win"
echo "== windows build (mingw-w64, static)"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --parallel "$jobs"
tool="$build/segsplice.exe"

# A private wine prefix, without the Mono and Gecko installers, removed with
# its wineserver at the end. The server stays up between the runs: one that
# quits while the next run connects makes that run fail.
scratch=$(mktemp -d)
export WINEPREFIX="$scratch/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; rm -rf "$scratch"' EXIT
mkdir "$WINEPREFIX"
wineserver -p
wine wineboot --init >/dev/null 2>&1

echo "== windows suite under wine"
(cd "$build" && ctest --output-on-failure --no-tests=error --parallel "$jobs")

failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}

# Ctrl+C typed into the console of a job that waits on a pipe: the job ends
# and its temporary file goes. script gives wine the terminal it needs for a
# console.
echo "== Ctrl+C under wine"
mkdir "$scratch/ctrl"
cp "$root/examples/sample.jpg" "$scratch/ctrl/photo.jpg"
probe=$(winepath -w "$build/tests/interrupt_probe.exe")
(
    cd "$scratch/ctrl"
    {
        for _ in $(seq 150); do [ -f ready ] && break; sleep 0.2; done
        sleep 0.5
        printf '\003'
        for _ in $(seq 150); do [ -f ready ] || break; sleep 0.2; done
    } | script -qec "wine '$probe' '$(winepath -w "$tool")'" /dev/null >/dev/null 2>&1
) || true
# Judged by what the probe saw: the feeder may meet a closed pipe at the end.
result=$(cat "$scratch/ctrl/result" 2>/dev/null || echo 'the probe did not run')
[ "$result" = "temporary file while waiting yes, job ended yes, temporary file removed yes, out.jpg kept yes" ] ||
    fail "Ctrl+C: $result"

echo "== windows binary against the linux one"
mkdir "$scratch/win" "$scratch/linux"
cp "$root/examples/sample.jpg" "$scratch/win/photo.jpg"
cp "$root/examples/sample.jpg" "$scratch/linux/photo.jpg"
(cd "$scratch/win" && wine "$tool" photo.jpg -d) >"$scratch/win.trace"
(cd "$scratch/linux" && "$linux_tool" photo.jpg -d) >"$scratch/linux.trace"
cmp "$scratch/win.trace" "$scratch/linux.trace" || fail "the -d trace of examples/sample.jpg differs from the linux build's"
status=0
wine "$tool" >"$scratch/win.usage" || status=$?
[ "$status" -eq 1 ] || fail "segsplice.exe without arguments ended with status $status, not 1"
"$linux_tool" >"$scratch/linux.usage" || true
cmp "$scratch/win.usage" "$scratch/linux.usage" || fail "the usage text differs from the linux build's"

# The demo's round trip, then the same in place and over an existing file.
(
    cd "$scratch/win"
    wine "$tool" photo.jpg -r && wine "$tool" photo.jpg -w photo.jpg.app1 rebuilt.jpg &&
        wine "$tool" photo.jpg -w photo.jpg.app1 rebuilt.jpg && wine "$tool" photo.jpg -w photo.jpg.app1 photo.jpg
) >"$scratch/win.out" || fail "a round-trip job failed: $(cat "$scratch/win.out")"
(cd "$scratch/linux" && "$linux_tool" photo.jpg -r)
cmp "$scratch/win/photo.jpg.app1" "$scratch/linux/photo.jpg.app1" || fail "-r wrote another side file than on linux"
cmp "$scratch/win/rebuilt.jpg" "$root/examples/sample.jpg" || fail "-r then -w over rebuilt.jpg did not reproduce the sample"
cmp "$scratch/win/photo.jpg" "$root/examples/sample.jpg" || fail "the in-place -w did not reproduce the sample"
leftovers=$(find "$scratch/win" -name '*.tmp')
[ -z "$leftovers" ] || fail "temporary files left behind: $leftovers"

echo "== windows zip"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
zip="$build/segsplice-$version-win64.zip"
rm -f "$zip"
(cd "$build" && cpack -G ZIP >/dev/null)
if [ -f "$zip" ]; then
    mkdir "$scratch/zip"
    (cd "$scratch/zip" && cmake -E tar xf "$zip")
    folder="$scratch/zip/segsplice-$version-win64"
    expected="README.md segsplice.exe segsplice.txt"
    [ -f "$root/LICENSE" ] && expected="LICENSE $expected"
    got=$(cd "$folder" && ls | tr '\n' ' ' | sed 's/ $//')
    [ "$got" = "$expected" ] || fail "the zip holds '$got', not '$expected'"
    grep -q '^NAME' "$folder/segsplice.txt" || fail "segsplice.txt is not the manual as text"
    (cd "$scratch/win" && wine "$folder/segsplice.exe" "$root/examples/sample.jpg" -d) | cmp - "$scratch/linux.trace" ||
        fail "the zipped segsplice.exe traces otherwise"
else
    fail "cpack -G ZIP made no $(basename "$zip")"
fi

[ "$failed" -eq 0 ] || exit 1
echo "windows checks passed: suite, round trip, in-place edit, overwrite, byte-identical trace, $(basename "$zip")"
