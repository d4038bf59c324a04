#!/usr/bin/env bash
# Splices on a loop-mounted btrfs image. Every output must hold exactly the
# bytes built by head, cat and tail; where the tail lands a whole number of
# blocks from where it was (a same-length segment, or one 4096 bytes longer),
# the output must also share the tail's blocks with the source instead of
# holding a copy. Needs root and loop devices; skips with the reason otherwise.
#
#   scripts/cow_check.sh [BUILD_DIR]     # default build/release; builds nothing
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
. "$root/scripts/loopfs.sh"
S=${1:-$root/build/release}/segsplice
[ -x "$S" ] || { echo "cow_check: $S is missing; build it first" >&2; exit 1; }

W=$(mktemp -d "${TMPDIR:-/tmp}/segsplice-cow.XXXXXX")
M=$W/mnt
trap 'loopfs_unmount "$M"; rm -rf "$W"' EXIT
trap 'exit 1' INT TERM HUP
if ! why=$(loopfs_mount btrfs "$W/btrfs.img" "$M" 512); then
    echo "cow_check: skipped: $why"
    exit 0
fi

# src.jpg: the sample with 8 MiB of random image data (a shifted tail shows),
# so that its tail starts inside a block and spans a couple of thousand.
sample=$root/examples/sample.jpg
{ head -c $(($(stat -c %s "$sample") - 2)) "$sample"; head -c $((8 << 20)) /dev/urandom; tail -c 2 "$sample"; } >"$M/src.jpg"
"$S" "$M/src.jpg" -r
length=$(stat -c %s "$M/src.jpg.app1")
# resized LENGTH: the source's segment with LENGTH bytes, its length field set to match.
head -c 8192 /dev/urandom >"$W/pad"
resized() {
    printf "\\$(printf %03o $(($1 >> 8)))\\$(printf %03o $(($1 & 255)))" >"$W/seg-$1"
    tail -c +3 "$M/src.jpg.app1" | cat - "$W/pad" >"$W/payload"
    head -c $(($1 - 2)) "$W/payload" >>"$W/seg-$1"
    echo "$W/seg-$1"
}
# app1_start FILE: the position after the first FF E1.
app1_start() { echo $(($(LC_ALL=C grep -obUaP '\xff\xe1' "$1" | head -n 1 | cut -d: -f1) + 2)); }
# expected MODE SRC SEGMENT: what segsplice SRC MODE SEGMENT must write.
expected() {
    local start
    start=$(app1_start "$2")
    if [ "$1" = -wvireo ]; then printf '\377\330\377\341'; else head -c "$start" "$2"; fi
    cat "$3"
    tail -c +$((start + length + 1)) "$2"
}

failed=0
# mode, source, segment, whether the tail's blocks must be shared. The vireo
# row makes vireo.jpg (tail 18 bytes earlier: copied), which the last row uses.
cases=(
    "-w src.jpg $M/src.jpg.app1 shared"
    "-w src.jpg $(resized $((length + 100))) -"
    "-w src.jpg $(resized $((length - 100))) -"
    "-w src.jpg $(resized $((length + 4096))) shared"
    "-wvireo src.jpg $M/src.jpg.app1 -"
    "-wvireo vireo.jpg $M/src.jpg.app1 shared"
)
for row in "${cases[@]}"; do
    set -- $row
    out=$M/out.jpg
    [ "$2" = src.jpg ] && [ "$1" = -wvireo ] && out=$M/vireo.jpg
    "$S" "$M/$2" "$1" "$3" "$out" >/dev/null
    what="$1 $2 with a $(stat -c %s "$3")-byte segment (source's: $length)"
    if ! cmp -s "$out" <(expected "$1" "$M/$2" "$3"); then
        echo "cow_check: FAIL: $what: wrong bytes"
        failed=$((failed + 1))
    elif [ "$4" = shared ]; then
        shared=$(shared_blocks "$out") blocks=$(file_blocks "$out")
        # The first block is written by hand and the partial last one may be copied.
        if [ "$shared" -lt $((blocks - 2)) ]; then
            echo "cow_check: FAIL: $what: shares $shared of $blocks blocks with the source"
            failed=$((failed + 1))
        else
            echo "cow_check: $what: exact, shares $shared of $blocks blocks"
        fi
    else
        echo "cow_check: $what: exact"
    fi
    [ "$out" = "$M/out.jpg" ] && rm -f "$out"
done
[ "$failed" -eq 0 ] || { echo "cow_check: $failed case(s) failed" >&2; exit 1; }
echo "cow_check: all cases passed on btrfs"
