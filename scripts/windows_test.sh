#!/usr/bin/env bash
# Cross-builds segsplice for 64-bit Windows with mingw-w64 and tests it under
# wine: the GoogleTest suite, a job killed with TerminateProcess and one
# interrupted by Ctrl+C, the demo round trip, an in-place edit and an
# overwrite, targets that are links, the -d trace, the -j map and the usage text of the
# Linux build byte for byte, and the zip that `cpack -G ZIP` makes. Without root and with packages
# missing, it names them and skips.
#   scripts/windows_test.sh [LINUX_BUILD_DIR]     (default: build/release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
need_build_tools
jobs=$(nproc 2>/dev/null || echo 2)

suite_package g++-mingw-w64-x86-64-posix command -v x86_64-w64-mingw32-g++-posix
suite_package wine64 test -x /usr/lib/wine/wine64
suite_package wine command -v wine
suite_package googletest test -f /usr/src/googletest/CMakeLists.txt
suite_package groff-base command -v groff
suite_packages_or_skip "windows tests"

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

# A job that waits on a pipe, killed with TerminateProcess, then another
# interrupted by Ctrl+C typed into its console: each ends and its temporary
# file goes. script gives wine the terminal it needs for a console.
echo "== TerminateProcess and Ctrl+C under wine"
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
[ "$result" = "killed: temporary file while waiting yes, removed yes; Ctrl+C: temporary file while waiting yes, job ended yes, temporary file removed yes; out.jpg kept yes" ] ||
    fail "TerminateProcess and Ctrl+C: $result"

echo "== windows binary against the linux one"
mkdir "$scratch/win" "$scratch/linux"
cp "$root/examples/sample.jpg" "$scratch/win/photo.jpg"
cp "$root/examples/sample.jpg" "$scratch/linux/photo.jpg"
(cd "$scratch/win" && wine "$tool" photo.jpg -d) >"$scratch/win.trace"
(cd "$scratch/linux" && "$linux_tool" photo.jpg -d) >"$scratch/linux.trace"
cmp "$scratch/win.trace" "$scratch/linux.trace" || fail "the -d trace of examples/sample.jpg differs from the linux build's"
# The byte map, its BCrypt hash included, is the same bytes on every platform.
(cd "$scratch/win" && wine "$tool" photo.jpg -j) >"$scratch/win.map"
(cd "$scratch/linux" && "$linux_tool" photo.jpg -j) >"$scratch/linux.map"
cmp "$scratch/win.map" "$scratch/linux.map" || fail "the -j map of examples/sample.jpg differs from the linux build's"
status=0
wine "$tool" >"$scratch/win.usage" 2>/dev/null || status=$?
[ "$status" -eq 1 ] || fail "segsplice.exe without arguments ended with status $status, not 1"
"$linux_tool" >"$scratch/linux.usage" 2>/dev/null || true
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

# Links as wine shows them: one that names a file is followed, the file it
# names is edited and the link stays, in place too; a dangling one, which
# wine shows as no file at all, fails with status 1 and changes nothing.
# (Windows shows a dangling link, and the tool creates the file it names.)
echo "== links under wine"
links="$scratch/links"
mkdir -p "$links/real"
cp "$root/examples/sample.jpg" "$links/photo.jpg"
printf old >"$links/real/target.jpg"
ln -s real/target.jpg "$links/link.jpg"
ln -s real/missing.jpg "$links/dangling.jpg"
(
    cd "$links"
    wine "$tool" photo.jpg -r
    wine "$tool" photo.jpg -w photo.jpg.app1 link.jpg && echo "link $?"
    wine "$tool" link.jpg -w photo.jpg.app1 link.jpg && echo "in place $?"
    wine "$tool" photo.jpg -w photo.jpg.app1 dangling.jpg || echo "dangling $?"
) >"$scratch/links.out" 2>"$scratch/links.err"
expected=$(printf 'link 0\nin place 0\noutput file open error 1 [dangling.jpg].\ndangling 1')
[ "$(cat "$scratch/links.out")" = "$expected" ] || fail "links: $(cat "$scratch/links.out")"
grep -q '^segsplice: dangling.jpg: ' "$scratch/links.err" || fail "links: no reason on standard error: $(cat "$scratch/links.err")"
[ "$(readlink "$links/link.jpg")" = real/target.jpg ] || fail "link.jpg is no longer the link"
[ "$(readlink "$links/dangling.jpg")" = real/missing.jpg ] || fail "dangling.jpg is no longer the link"
cmp -s "$links/real/target.jpg" "$root/examples/sample.jpg" || fail "real/target.jpg was not written through link.jpg"
[ ! -e "$links/real/missing.jpg" ] || fail "real/missing.jpg was made although wine shows no link"
leftovers=$(find "$links" -name '*.tmp')
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
    expected="README.md segsplice.exe segsplice.ps1 segsplice.txt"
    [ -f "$root/LICENSE" ] && expected="LICENSE $expected"
    got=$(cd "$folder" && ls | tr '\n' ' ' | sed 's/ $//')
    [ "$got" = "$expected" ] || fail "the zip holds '$got', not '$expected'"
    cmp -s "$folder/segsplice.ps1" "$root/completion/segsplice.ps1" || fail "segsplice.ps1 is not the PowerShell completion"
    grep -q '^NAME' "$folder/segsplice.txt" || fail "segsplice.txt is not the manual as text"
    grep -q '^WINDOWS' "$folder/segsplice.txt" || fail "segsplice.txt has no WINDOWS section"
    warnings=$(groff -ww -man -Tutf8 "$build/segsplice-windows.1" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "groff warns about the Windows manual: $warnings"
    (cd "$scratch/win" && wine "$folder/segsplice.exe" "$root/examples/sample.jpg" -d) | cmp - "$scratch/linux.trace" ||
        fail "the zipped segsplice.exe traces otherwise"
else
    fail "cpack -G ZIP made no $(basename "$zip")"
fi

[ "$failed" -eq 0 ] || exit 1
echo "windows checks passed: suite, TerminateProcess and Ctrl+C, round trip, in-place edit, overwrite, links, byte-identical trace and map, $(basename "$zip")"
