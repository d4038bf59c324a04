#!/usr/bin/env bash
# Builds segsplice and shows it on the bundled sample: the -d trace, then a
# cut (-r) and a replace (-w) in a scratch directory, checked byte for byte.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
need_build_tools

build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --parallel >/dev/null
tool="$build/segsplice"

echo "== segsplice examples/sample.jpg -d"
"$tool" "$root/examples/sample.jpg" -d

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$root/examples/sample.jpg" "$scratch/photo.jpg"
cd "$scratch"
echo
echo "== segsplice photo.jpg -r              (in $scratch)"
"$tool" photo.jpg -r
ls -l photo.jpg photo.jpg.app1
echo "== segsplice photo.jpg -w photo.jpg.app1 rebuilt.jpg"
"$tool" photo.jpg -w photo.jpg.app1 rebuilt.jpg
if cmp photo.jpg rebuilt.jpg; then
    echo "round trip reproduced the file byte for byte ($(wc -c < rebuilt.jpg) bytes)"
else
    echo "round trip FAILED: rebuilt.jpg differs from photo.jpg" >&2
    exit 1
fi
