#!/usr/bin/env bash
# Builds segsplice and shows it on the bundled sample: a cut (-r) and a
# replace (-w) in a scratch directory, checked byte for byte, then the first
# lines of the -d trace and the command that prints all of it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
echo "checking the build tools (cmake, g++, make)"
need_build_tools

build="$root/build/release"
log="$root/build/demo-build.log"
mkdir -p "$root/build"
step() {  # step TEXT COMMAND...: says what it does; the build's own words go to the log
    echo "$1"
    if ! "${@:2}" >>"$log" 2>&1; then
        echo "failed; the last lines of $log:" >&2
        tail -n 20 "$log" >&2
        exit 1
    fi
}
: >"$log"
step "configuring a release build in build/release" \
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
step "compiling (about half a minute on two cores; the compiler's output goes to build/demo-build.log)" \
    cmake --build "$build" --parallel
tool="$build/segsplice"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$root/examples/sample.jpg" "$scratch/photo.jpg"
cd "$scratch"
echo
echo "== segsplice photo.jpg -r          (a copy of examples/sample.jpg, in $scratch)"
"$tool" photo.jpg -r
echo "   photo.jpg.app1: the APP1 segment, $(wc -c < photo.jpg.app1) bytes of $(wc -c < photo.jpg)"
echo "== segsplice photo.jpg -w photo.jpg.app1 rebuilt.jpg"
"$tool" photo.jpg -w photo.jpg.app1 rebuilt.jpg
if cmp photo.jpg rebuilt.jpg; then
    echo "   round trip reproduced the file byte for byte ($(wc -c < rebuilt.jpg) bytes)"
else
    echo "round trip FAILED: rebuilt.jpg differs from photo.jpg" >&2
    exit 1
fi

lines=12
trace=$("$tool" photo.jpg -d)
echo
echo "== segsplice photo.jpg -d          (the trace: its first $lines of $(wc -l <<<"$trace") lines)"
head -n "$lines" <<<"$trace"
echo "   ..."
echo "the whole trace: $tool $root/examples/sample.jpg -d | less"
