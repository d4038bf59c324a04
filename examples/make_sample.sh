#!/usr/bin/env bash
# Regenerates examples/sample.jpg: a small gradient image drawn by ImageMagick
# (Debian package imagemagick), with the camera-like APP1 Exif segment of the
# test fixtures written into it by tests/make_sample.cpp.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${BUILD_DIR:-$root/build}
. "$root/scripts/deps.sh"
need_test_tools
need_package imagemagick test -x /usr/bin/convert
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" --target make_sample >/dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
/usr/bin/convert -size 96x64 gradient:'#2a6fdb-#f2c14e' -strip -quality 85 "$scratch/plain.jpg"
"$build/tests/make_sample" "$scratch/plain.jpg" "$here/sample.jpg"
echo "wrote $here/sample.jpg"
