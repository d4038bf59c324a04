#!/usr/bin/env bash
# Benchmarks segsplice against cp, against itself on small inputs, and against
# ExifTool and Exiv2, and writes bench/RESULTS.md. Every job is timed side by
# side with its reference in the same run (hyperfine, rounds in rotating
# order), and the targets hold for the median of the per-round ratios.
# Afterwards the outputs of the timed jobs are compared byte for byte with
# references built by head, tail and cat.
#
#   bench/run.sh [--rounds N] [--build DIR] [--out FILE]
#   bench/run.sh --smoke [--build DIR]     # small inputs, one round, seconds
#
# --smoke makes small inputs, times each job once or twice, does not need
# ExifTool or Exiv2, and does not judge the timing targets; a failed byte
# check still fails it. Its table goes to standard output (or --out FILE).
# The inputs live in a scratch directory under $TMPDIR (default /tmp),
# removed at the end; the full run needs about 3 GiB there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
. "$root/scripts/loopfs.sh"

smoke=
rounds=
build="$root/build/release"
out=
while [ $# -gt 0 ]; do
    case $1 in
        --smoke) smoke=1 ;;
        --rounds) rounds=$2; shift ;;
        --build) build=$2; shift ;;
        --out) out=$2; shift ;;
        *) echo "usage: bench/run.sh [--smoke] [--rounds N] [--build DIR] [--out FILE]" >&2; exit 1 ;;
    esac
    shift
done

need_build_tools
need_package hyperfine command -v hyperfine
need_package time test -x /usr/bin/time
if [ -z "$smoke" ]; then
    need_package libimage-exiftool-perl command -v exiftool
    need_package exiv2 command -v exiv2
fi

MiB=$((1024 * 1024))
if [ -n "$smoke" ]; then
    rounds=${rounds:-1}
    big_size=$((8 * MiB)) sparse_size=$((64 * MiB)) need_mib=200 image_mib=512 scan_size=$((8 * MiB))
    fast_runs=2 fast_warmup=0 slow_runs=1 slow_warmup=0 copy_runs=1 cow_runs=2 cow_warmup=0
    batch_photos=10
else
    rounds=${rounds:-7}
    big_size=$((256 * MiB)) sparse_size=$((1024 * MiB)) need_mib=5120 image_mib=2048 scan_size=$((200 * MiB))
    fast_runs=30 fast_warmup=5 slow_runs=1 slow_warmup=1 copy_runs=3 cow_runs=10 cow_warmup=2
    batch_photos=300
    [ "$rounds" -ge 5 ] || { echo "bench: the targets need at least 5 rounds" >&2; exit 1; }
fi
small_size=$MiB
photo_size=$((4 * MiB))  # a phone photo
out=${out:-$([ -n "$smoke" ] || echo "$root/bench/RESULTS.md")}

scratch_parent=${TMPDIR:-/tmp}
avail_mib=$(df -Pm "$scratch_parent" | awk 'NR == 2 { print $4 }')
if [ "$avail_mib" -lt "$need_mib" ]; then
    echo "bench: $scratch_parent has $avail_mib MiB free, the inputs need $need_mib MiB" >&2
    exit 1
fi
W=$(mktemp -d "$scratch_parent/segsplice-bench.XXXXXX")
# T: a tmpfs directory for the source of the cross-filesystem row.
T=
[ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] && T=$(mktemp -d /dev/shm/segsplice-bench.XXXXXX)
cow_fs=(btrfs xfs)
trap 'for fs in "${cow_fs[@]}"; do loopfs_unmount "$W/$fs"; done; rm -rf "$W" ${T:+"$T"}' EXIT
trap 'exit 1' INT TERM HUP

echo "== build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target segsplice --parallel "$(nproc 2>/dev/null || echo 2)" >/dev/null
S="$build/segsplice"
"${CXX:-g++}" -O2 -std=c++17 -I "$root/tests" "$root/bench/make_inputs.cpp" "$root/tests/fixture.cpp" \
    -o "$W/make_inputs"

# ---------------------------------------------------------------------------
# Inputs

echo "== inputs in $W"
sample="$root/examples/sample.jpg"
sample_size=$(stat -c %s "$sample")
# The sample with its image data padded out: zero bytes before the final FF D9.
padded() {
    head -c $((sample_size - 2)) "$sample"
    head -c $((big_size - sample_size)) /dev/zero
    tail -c 2 "$sample"
}
# big.jpg as a photo on disk is: written out, dropped from the page cache and
# read back, so that the cache holds it as read-ahead put it.
padded >"$W/big.jpg"
# The photos people have: the 1 KiB sample, and the sample padded to 4 MiB
# (settled as big.jpg is), alone and as a folder for the batch recipe.
cp "$sample" "$W/photo1k.jpg"
big_size=$photo_size padded >"$W/photo4m.jpg"
mkdir "$W/photos"
for ((i = 0; i < batch_photos; i++)); do cp "$W/photo4m.jpg" "$W/photos/p$i.jpg"; done
sync -f "$W/photo4m.jpg"
dd if="$W/photo4m.jpg" iflag=nocache count=0 status=none
cat "$W/photo4m.jpg" "$W"/photos/*.jpg >/dev/null
sync "$W/big.jpg"
dd if="$W/big.jpg" iflag=nocache count=0 status=none
cat "$W/big.jpg" >/dev/null
# fresh.jpg: the same bytes just written in 8 KiB pieces (head's buffer), as a
# program writing through a small buffer leaves them: the page cache holds
# them in single pages, which costs every reader more. Not a target.
padded >"$W/fresh.jpg"
# copied.jpg: big.jpg just copied with cp, as a batch meets photos it has just
# copied off a card; the kernel's copy leaves the page cache in small pages too.
cp "$W/big.jpg" "$W/copied.jpg"
# image.jpg: a photo whose image data fills it, noise as a coder leaves it
# (an FF every 256 bytes or so, each stuffed), settled as big.jpg is.
"$W/make_inputs" image "$W/image.jpg" "$scan_size"
sync -f "$W/image.jpg"
dd if="$W/image.jpg" iflag=nocache count=0 status=none
cat "$W/image.jpg" >/dev/null
[ -z "$T" ] || cp "$W/big.jpg" "$T/big.jpg"
# The sample followed by a hole, so the APP1 segment is near the start.
cp "$sample" "$W/sparse.jpg" && truncate -s "$sparse_size" "$W/sparse.jpg"
cp "$sample" "$W/small1m.jpg" && truncate -s "$small_size" "$W/small1m.jpg"
cp "$sample" "$W/camera.jpg"
"$W/make_inputs" worst "$W/worst.jpg"
"$W/make_inputs" donor "$W/donor.jpg" "$W/donor.app1"
# A phone's HDR photo of 4 MiB, settled as photo4m.jpg is.
"$W/make_inputs" hdr "$W/hdr4m.jpg" "$photo_size" "$W/hdr4m.gainmap"
sync -f "$W/hdr4m.jpg"
dd if="$W/hdr4m.jpg" iflag=nocache count=0 status=none
cat "$W/hdr4m.jpg" >/dev/null
tail -c +9 "$W/donor.app1" >"$W/donor.exif"  # the TIFF block, for ExifTool
if [ -z "$smoke" ]; then
    mkdir "$W/exv"
    exiv2 -f -ee -l "$W/exv" "$W/donor.jpg" && mv "$W/exv/donor.exv" "$W/exv/ins-exiv2.exv"
fi

# The byte after the first FF E1 (where the APP1 length starts) and the length.
app1_start() {
    od -An -v -tx1 -w1 -N 65536 "$1" | awk '!found && $1 == "e1" && prev == "ff" { print NR; found = 1 } { prev = $1 }'
}
app1_length() {  # app1_length FILE START
    od -An -tu1 -j "$2" -N 2 "$1" | awk '{ print $1 * 256 + $2 }'
}
start=$(app1_start "$W/big.jpg")
length=$(app1_length "$W/big.jpg" "$start")

# big.jpg on loop-mounted btrfs and XFS, with its side file (a same-length
# segment) and vireo.jpg, its -wvireo output: a source whose segment follows
# FF D8 directly, so that -wvireo keeps its tail in place. Synced, so that
# the first clone does not pay for writing them out.
cow_ready=()
cow_skipped=()
for fs in "${cow_fs[@]}"; do
    if why=$(loopfs_mount "$fs" "$W/$fs.img" "$W/$fs" "$image_mib"); then
        cp "$W/big.jpg" "$W/$fs/big.jpg"
        "$S" "$W/$fs/big.jpg" -r
        "$S" "$W/$fs/big.jpg" -wvireo "$W/$fs/big.jpg.app1" "$W/$fs/vireo.jpg"
        sync -f "$W/$fs/big.jpg"
        cow_ready+=("$fs")
    else
        echo "bench: $fs rows skipped: $why"
        cow_skipped+=("$fs: $why")
    fi
done
trace_bytes=$("$S" "$W/worst.jpg" -d | wc -c)

# ---------------------------------------------------------------------------
# Timing: measure ID RUNS WARMUP PREPARE1 COMMAND1 [PREPARE2 COMMAND2 ...]
# Runs hyperfine once per round with all the commands, their order rotated
# from round to round; command 1 is the reference. Keeps per round and per
# command the median, min and max in $W/ID.K. An empty PREPARE is none.
# Commands run without a shell unless MEASURE_SHELL is set (hyperfine then
# subtracts the shell's start-up).

measure() {
    local id=$1 runs=$2 warmup=$3
    shift 3
    local -a preps=() cmds=()
    while [ $# -gt 0 ]; do
        preps+=("$1")
        cmds+=("$2")
        shift 2
    done
    local n=${#cmds[@]} r j k
    for ((k = 0; k < n; k++)); do
        : >"$W/$id.$k"
        echo "${cmds[k]}" >"$W/$id.cmd.$k"
    done
    echo "$runs" >"$W/$id.runs"
    for ((r = 0; r < rounds; r++)); do
        local -a args=()
        for ((j = 0; j < n; j++)); do
            k=$(((j + r) % n))
            args+=(--prepare "${preps[k]:-true}")
        done
        for ((j = 0; j < n; j++)); do
            k=$(((j + r) % n))
            args+=(-n "c$k" "${cmds[k]}")
        done
        [ -n "${MEASURE_SHELL:-}" ] || args+=(-N)
        if ! hyperfine --style none --runs "$runs" --warmup "$warmup" \
            --export-csv "$W/round.csv" "${args[@]}" >"$W/hyperfine.log" 2>&1; then
            cat "$W/hyperfine.log" >&2
            echo "bench: $id failed" >&2
            exit 1
        fi
        # command,mean,stddev,median,user,system,min,max
        for ((k = 0; k < n; k++)); do
            awk -F, -v name="c$k" '$1 == name { print $4, $7, $8 }' "$W/round.csv" >>"$W/$id.$k"
        done
    done
}

# tstat ID K: "median min max" of command K's times in seconds, over all rounds.
tstat() {
    sort -g -k1,1 "$W/$1.$2" | awk '
        { med[NR] = $1; if (NR == 1 || $2 < lo) lo = $2; if (NR == 1 || $3 > hi) hi = $3 }
        END { m = NR % 2 ? med[(NR + 1) / 2] : (med[NR / 2] + med[NR / 2 + 1]) / 2; print m, lo, hi }'
}

# ratio ID K [REF]: "median min max" of the per-round ratio of command K to REF (default 0).
ratio() {
    paste -d' ' "$W/$1.$2" "$W/$1.${3:-0}" | awk '{ print $1 / $4 }' | sort -g | awk '
        { v[NR] = $1 }
        END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; print m, v[1], v[NR] }'
}

rm_out() { echo "rm -f $1"; }

# source_of ID: which input the rows of write_rows ID read.
source_of() {
    case $1 in
        write) echo 'big.jpg (settled)' ;;
        fresh) echo 'fresh.jpg (written in 8 KiB pieces)' ;;
        copied) echo 'copied.jpg (just copied with `cp`)' ;;
        tmpfs) echo 'big.jpg on tmpfs, output on disk' ;;
    esac
}
# write_rows ID SOURCE: cp, -w and -wvireo of SOURCE, each into a new file $W/ID-*.jpg.
write_rows() {
    measure "$1" "$copy_runs" "$slow_warmup" \
        "$(rm_out "$W/$1-cp.jpg")" "cp $2 $W/$1-cp.jpg" \
        "$(rm_out "$W/$1-w.jpg")" "$S $2 -w $W/donor.app1 $W/$1-w.jpg" \
        "$(rm_out "$W/$1-vireo.jpg")" "$S $2 -wvireo $W/donor.app1 $W/$1-vireo.jpg"
}
echo "== the cost of one photo: -w, -r and -g on 1 KiB and 4 MiB photos against cp, parse-only against true"
for id in photo1k photo4m; do
    measure "$id" "$fast_runs" "$fast_warmup" \
        "$(rm_out "$W/$id-cp.jpg")" "cp $W/$id.jpg $W/$id-cp.jpg" \
        "$(rm_out "$W/$id-w.jpg")" "$S $W/$id.jpg -w $W/donor.app1 $W/$id-w.jpg" \
        "$(rm_out "$W/$id.jpg.app1")" "$S $W/$id.jpg -r"
done
# -g writes the whole photo with its GPS data blanked where it stands.
measure location "$fast_runs" "$fast_warmup" \
    "$(rm_out "$W/location-cp.jpg")" "cp $W/photo4m.jpg $W/location-cp.jpg" \
    "$(rm_out "$W/location-g.jpg")" "$S $W/photo4m.jpg -g $W/location-g.jpg"
measure hdr4m "$fast_runs" "$fast_warmup" \
    "$(rm_out "$W/hdr4m-cp.jpg")" "cp $W/hdr4m.jpg $W/hdr4m-cp.jpg" \
    "$(rm_out "$W/hdr4m-s.jpg")" "$S $W/hdr4m.jpg -s $W/hdr4m-s.jpg"
measure startup "$fast_runs" "$fast_warmup" \
    "" "/bin/true" \
    "" "$S $W/photo1k.jpg"
# The README's batch recipe, and the same recipe with cp in segsplice's place.
batch_recipe() {  # batch_recipe COMMAND: the recipe's line, COMMAND run on "$1"
    echo "find $W/photos -name '*.jpg' -print0 | xargs -0 -r -P 2 -n 1 sh -c 'msg=\$($1); s=\$?; printf \"%s\\t%s\\t%s\\n\" \"\$s\" \"\$1\" \"\$msg\"; exit \"\$s\"' sh > $W/batch.log"
}
MEASURE_SHELL=1 measure batch "$slow_runs" "$slow_warmup" \
    "rm -f $W/photos/*.copy" "$(batch_recipe 'cp "$1" "$1.copy"')" \
    "rm -f $W/photos/*.app1" "$(batch_recipe "$S"' "$1" -r')"

echo "== -s and -i against cp: the 4 MiB photo and image.jpg, walked to their EOI"
# walk_rows ID SOURCE RUNS WARMUP: cp, -s and -i (the donor's segment) of SOURCE into new files.
walk_rows() {
    measure "$1" "$3" "$4" \
        "$(rm_out "$W/$1-cp.jpg")" "cp $2 $W/$1-cp.jpg" \
        "$(rm_out "$W/$1-s.jpg")" "$S $2 -s $W/$1-s.jpg" \
        "$(rm_out "$W/$1-i.jpg")" "$S $2 -i $W/donor.app1 $W/$1-i.jpg"
}
walk_rows walk "$W/photo4m.jpg" "$fast_runs" "$fast_warmup"
walk_rows image "$W/image.jpg" "$copy_runs" "$slow_warmup"

echo "== -w and -wvireo against cp, settled, fresh and copied sources ($rounds rounds)"
write_rows write "$W/big.jpg"
write_rows fresh "$W/fresh.jpg"
write_rows copied "$W/copied.jpg"
if [ -n "$T" ]; then
    echo "== the same from tmpfs to disk"
    write_rows tmpfs "$T/big.jpg"
fi

echo "== -w over an existing target against cp to a temporary name, sync, mv, sync"
# Each run replaces the previous run's output; the first replaces a small file.
cp "$sample" "$W/replace-cp.jpg"
cp "$sample" "$W/replace-w.jpg"
MEASURE_SHELL=1 measure replace "$copy_runs" "$slow_warmup" \
    "" "cp $W/big.jpg $W/.replace.tmp && sync $W/.replace.tmp && mv $W/.replace.tmp $W/replace-cp.jpg && sync $W" \
    "" "$S $W/big.jpg -w $W/donor.app1 $W/replace-w.jpg"

for fs in "${cow_ready[@]}"; do
    echo "== $fs: -w and -wvireo against cp on the same filesystem"
    D=$W/$fs
    measure "$fs" "$cow_runs" "$cow_warmup" \
        "$(rm_out "$D/out-cp.jpg")" "cp $D/big.jpg $D/out-cp.jpg" \
        "$(rm_out "$D/out-w.jpg")" "$S $D/big.jpg -w $D/big.jpg.app1 $D/out-w.jpg" \
        "$(rm_out "$D/out-vireo.jpg")" "$S $D/vireo.jpg -wvireo $D/big.jpg.app1 $D/out-vireo.jpg" \
        "$(rm_out "$D/out-donor.jpg")" "$S $D/big.jpg -w $W/donor.app1 $D/out-donor.jpg"
done

echo "== -r on the sparse file against -r on the small one"
# Side files are removed before each run: one that exists is replaced, and
# a replaced file is synced to disk, which would time the disk instead.
measure cut "$fast_runs" "$fast_warmup" \
    "$(rm_out "$W/small1m.jpg.app1")" "$S $W/small1m.jpg -r" \
    "$(rm_out "$W/sparse.jpg.app1")" "$S $W/sparse.jpg -r"

echo "== the worst case: parse-only and -d"
measure parse "$fast_runs" "$fast_warmup" \
    "" "$S $W/camera.jpg" \
    "" "$S $W/worst.jpg"
measure trace "$((fast_runs > 5 ? 5 : fast_runs))" "$((fast_warmup > 1 ? 1 : fast_warmup))" \
    "" "$S $W/worst.jpg" \
    "" "$S $W/worst.jpg -d"

echo "== -j of the 4 MiB photo against sha256sum of it"
measure map "$fast_runs" "$fast_warmup" \
    "" "sha256sum $W/photo4m.jpg" \
    "" "$S $W/photo4m.jpg -j"

if [ -z "$smoke" ]; then
    echo "== -d on the camera-like file against exiv2 -pS"
    measure small "$fast_runs" "$fast_warmup" \
        "" "exiv2 -pS $W/camera.jpg" \
        "" "$S $W/camera.jpg -d"

    echo "== extract the Exif block: segsplice, ExifTool, Exiv2"
    measure extract 3 1 \
        "$(rm_out "$W/big.jpg.app1")" "$S $W/big.jpg -r" \
        "$(rm_out "$W/big.exif")" "exiftool -b -Exif -w! %d%f.exif $W/big.jpg" \
        "$(rm_out "$W/big.exv")" "exiv2 -f -ee $W/big.jpg"

    echo "== write a file with a replaced Exif block: segsplice, ExifTool, Exiv2"
    measure insert "$slow_runs" "$slow_warmup" \
        "$(rm_out "$W/ins-segsplice.jpg")" "$S $W/big.jpg -w $W/donor.app1 $W/ins-segsplice.jpg" \
        "$(rm_out "$W/ins-exiftool.jpg")" "exiftool -Exif<=$W/donor.exif -o $W/ins-exiftool.jpg $W/big.jpg" \
        "cp $W/big.jpg $W/ins-exiv2.jpg" "exiv2 -ie -l $W/exv $W/ins-exiv2.jpg"

    echo "== take the location out of the 4 MiB photo: segsplice, ExifTool"
    measure location_peer 3 1 \
        "$(rm_out "$W/location-peer.jpg")" "$S $W/photo4m.jpg -g $W/location-peer.jpg" \
        "$(rm_out "$W/location-exiftool.jpg")" "exiftool -gps:all= -o $W/location-exiftool.jpg $W/photo4m.jpg"
fi

# ---------------------------------------------------------------------------
# Byte checks of what the timed jobs wrote

echo "== byte checks"
failed_checks=0
checks=()
check() {  # check DESCRIPTION FILE REFERENCE [FILE REFERENCE...]: all pairs alike
    local what=$1
    shift
    while [ $# -gt 0 ]; do
        if ! cmp -s "$1" "$2"; then
            checks+=("| $what | **DIFFERENT** ($(basename "$1")) |")
            failed_checks=$((failed_checks + 1))
            echo "bench: byte check failed: $what: $1" >&2
            return
        fi
        shift 2
    done
    checks+=("| $what | identical |")
}
after=$((start + length + 1))
{ head -c "$start" "$W/big.jpg"; cat "$W/donor.app1"; tail -c +"$after" "$W/big.jpg"; } >"$W/ref-w.jpg"
{ printf '\377\330\377\341'; cat "$W/donor.app1"; tail -c +"$after" "$W/big.jpg"; } >"$W/ref-vireo.jpg"
for id in write fresh copied tmpfs; do
    [ -f "$W/$id.cmd.0" ] || continue
    check "$(source_of "$id"), timed: \`cp\` = input, \`-w\` = head + replacement + tail, \`-wvireo\` = FF D8 FF E1 + replacement + tail" \
        "$W/$id-cp.jpg" "$W/big.jpg" "$W/$id-w.jpg" "$W/ref-w.jpg" "$W/$id-vireo.jpg" "$W/ref-vireo.jpg"
    rm -f "$W/$id"-*.jpg
done
head -c $((start + length)) "$W/big.jpg" | tail -c "$length" >"$W/ref.app1"
# -s drops the Exif segment (there is no orientation to keep) and -i puts the
# donor's in its place, marker included: head + donor.app1 + tail, as -w.
for id in walk image; do
    src=$W/photo4m.jpg
    [ "$id" = walk ] || src=$W/image.jpg
    at=$(app1_start "$src")
    len=$(app1_length "$src" "$at")
    { head -c $((at - 2)) "$src"; tail -c +$((at + len + 1)) "$src"; } >"$W/ref-$id-s.jpg"
    { head -c "$at" "$src"; cat "$W/donor.app1"; tail -c +$((at + len + 1)) "$src"; } >"$W/ref-$id-i.jpg"
    check "$(basename "$src"), timed: \`cp\` = input, \`-s\` = input without its Exif segment, \`-i\` = head + donor.app1 + tail" \
        "$W/$id-cp.jpg" "$src" "$W/$id-s.jpg" "$W/ref-$id-s.jpg" "$W/$id-i.jpg" "$W/ref-$id-i.jpg"
    rm -f "$W/$id"-*.jpg "$W/ref-$id"-*.jpg
done
rm -f "$W/image.jpg"
for id in photo1k photo4m; do
    { head -c "$start" "$W/$id.jpg"; cat "$W/donor.app1"; tail -c +"$after" "$W/$id.jpg"; } >"$W/ref-$id.jpg"
    check "$id.jpg, timed: \`cp\` = input, \`-w\` = head + replacement + tail, \`-r\` = the segment" \
        "$W/$id-cp.jpg" "$W/$id.jpg" "$W/$id-w.jpg" "$W/ref-$id.jpg" "$W/$id.jpg.app1" "$W/ref.app1"
    rm -f "$W/$id"-*.jpg "$W/ref-$id.jpg"
done
# -g changes bytes inside the Exif segment only, and leaves nothing for a second run.
"$S" "$W/location-g.jpg" -g "$W/location-again.jpg" >/dev/null
for f in location-g photo4m; do
    { head -c "$start" "$W/$f.jpg"; tail -c +"$after" "$W/$f.jpg"; } >"$W/$f-outside"
done
check '`-g` of photo4m.jpg, timed: `cp` = input, everything outside the Exif segment = input, a second `-g` = the first' \
    "$W/location-cp.jpg" "$W/photo4m.jpg" "$W/location-g-outside" "$W/photo4m-outside" \
    "$W/location-again.jpg" "$W/location-g.jpg"
rm -f "$W"/location-*.jpg "$W"/*-outside
"$S" "$W/hdr4m-s.jpg" -s "$W/hdr4m-again.jpg"
tail -c "$(stat -c %s "$W/hdr4m.gainmap")" "$W/hdr4m-s.jpg" >"$W/hdr4m-tail"
check 'hdr4m.jpg, timed: `cp` = input, `-s` ends with the gain map as it was and a second strip changes nothing' \
    "$W/hdr4m-cp.jpg" "$W/hdr4m.jpg" "$W/hdr4m-tail" "$W/hdr4m.gainmap" "$W/hdr4m-again.jpg" "$W/hdr4m-s.jpg"
rm -f "$W"/hdr4m-*
batch_pairs=()
for photo in "$W"/photos/*.jpg; do batch_pairs+=("$photo.app1" "$W/ref.app1" "$photo.copy" "$photo"); done
check "the batch recipe, timed: every photo's side file = the segment, every copy = the photo" "${batch_pairs[@]}"
rm -rf "$W/photos"
check 'replacing an existing target, timed: `cp` + `mv` = input, `-w` = head + replacement + tail' \
    "$W/replace-cp.jpg" "$W/big.jpg" "$W/replace-w.jpg" "$W/ref-w.jpg"
rm -f "$W/fresh.jpg" "$W/copied.jpg" "$W"/replace-*.jpg
for fs in "${cow_ready[@]}"; do
    D=$W/$fs
    check "$fs, timed: \`cp\` and same-length \`-w\` = input, same-length \`-wvireo\` = vireo.jpg, \`-w\` with donor.app1 = head + replacement + tail" \
        "$D/out-cp.jpg" "$W/big.jpg" "$D/out-w.jpg" "$W/big.jpg" "$D/out-vireo.jpg" "$D/vireo.jpg" "$D/out-donor.jpg" "$W/ref-w.jpg"
    # The first block is written by hand and the partial last one may be copied.
    shared_w=$(shared_blocks "$D/out-w.jpg") shared_vireo=$(shared_blocks "$D/out-vireo.jpg") blocks=$(file_blocks "$D/out-w.jpg")
    what="$fs: same-length outputs share their blocks with the source (\`filefrag -v\`): \`-w\` $shared_w, \`-wvireo\` $shared_vireo of $blocks"
    if [ "$shared_w" -ge $((blocks - 2)) ] && [ "$shared_vireo" -ge $((blocks - 2)) ]; then
        checks+=("| $what | shared |")
    else
        checks+=("| $what | **NOT SHARED** |")
        failed_checks=$((failed_checks + 1))
        echo "bench: $what" >&2
    fi
    loopfs_unmount "$D"
    rm -f "$W/$fs.img"
done
rm -f "$W/ref-w.jpg" "$W/ref-vireo.jpg"
if [ -f "$W/big.jpg.app1" ]; then
    what='`-r` on the padded file (timed, extract)'
else
    what='`-r` on the padded file'
    "$S" "$W/big.jpg" -r
fi
check "$what: side file = the segment cut by head and tail" "$W/big.jpg.app1" "$W/ref.app1"
check '`-r` on the sparse file (timed): side file = the same segment' "$W/sparse.jpg.app1" "$W/ref.app1"
check '`-r` on the 1 MiB file (timed): side file = the same segment' "$W/small1m.jpg.app1" "$W/ref.app1"
"$S" "$W/big.jpg" -w "$W/big.jpg.app1" "$W/roundtrip.jpg"
check 'round trip: `-r`, then `-w` with that side file = input' "$W/roundtrip.jpg" "$W/big.jpg"
rm -f "$W/roundtrip.jpg"
"$S" "$W/worst.jpg" -d >"$W/trace.txt"
"$S" "$W/worst.jpg" -d >"$W/trace2.txt"
check '`-d` on the worst case: two traces alike' "$W/trace.txt" "$W/trace2.txt"
grep -c '^tag_main->tag ' "$W/trace.txt" >"$W/entries" || true
echo $((3 * 65535)) >"$W/entries.ref"
check '`-d` on the worst case: the trace shows all 3 x 65535 entries' "$W/entries" "$W/entries.ref"
rm -f "$W/trace.txt" "$W/trace2.txt"
# The map's hash is that of every byte from the first DQT on: the padded
# sample's metadata ends there.
dqt=$(od -An -v -tx1 -w1 -N 65536 "$W/photo4m.jpg" | awk '!found && prev == "ff" && $1 == "db" { print NR - 2; found = 1 } { prev = $1 }')
tail -c +$((dqt + 1)) "$W/photo4m.jpg" | sha256sum | cut -d' ' -f1 >"$W/hash.ref"
"$S" "$W/photo4m.jpg" -j | sed -n 's/^  "image_sha256": "\([0-9a-f]*\)",$/\1/p' >"$W/hash"
check '`-j` on the 4 MiB photo (timed): image_sha256 = sha256sum of the bytes from the first DQT on' "$W/hash" "$W/hash.ref"
if [ -z "$smoke" ]; then
    # Cross-checks of the peers' outputs: ExifTool's block is the TIFF part of
    # the side file; ExifTool writes the replacement verbatim.
    tail -c +9 "$W/big.jpg.app1" >"$W/ref.exif"
    check 'ExifTool extract (timed) = side file less length and "Exif\0\0"' "$W/big.exif" "$W/ref.exif"
    "$S" "$W/ins-exiftool.jpg" -r
    check 'ExifTool insert (timed): its APP1 segment = the replacement' "$W/ins-exiftool.jpg.app1" "$W/donor.app1"
    rm -f "$W"/ins-*.jpg
fi

# ---------------------------------------------------------------------------
# Peak resident memory: every job on every input

echo "== peak resident memory"
rss_limit_kib=8192
rss_max=0
inputs=(big sparse small1m worst camera)
jobs=(parse-only -d -r -w -wvireo)
rss_rows=()
for job in "${jobs[@]}"; do
    row="| \`$job\` |"
    for input in "${inputs[@]}"; do
        case $job in
            parse-only) args=() ;;
            -d) args=(-d) ;;
            -r) args=(-r) ;;
            *) args=("$job" "$W/donor.app1" "$W/rss-out.jpg") ;;
        esac
        /usr/bin/time -f %M -o "$W/rss" "$S" "$W/$input.jpg" "${args[@]}" >/dev/null
        rm -f "$W/rss-out.jpg"
        kib=$(tail -n 1 "$W/rss")
        [ "$kib" -gt "$rss_max" ] && rss_max=$kib
        row+=" $kib |"
    done
    rss_rows+=("$row")
done

# ---------------------------------------------------------------------------
# RESULTS.md

ms() { awk -v s="$1" 'BEGIN { v = s * 1000; printf(v < 10 ? "%.2f" : "%.1f", v) }'; }
x() { awk -v v="$1" 'BEGIN { printf("%.2f", v) }'; }
# "median (min-max)" in ms, and the ratio's "median (min-max)".
time_cell() { set -- $(tstat "$1" "$2"); echo "$(ms "$1") ms ($(ms "$2")-$(ms "$3"))"; }
ratio_cell() { set -- $(ratio "$@"); echo "$(x "$1")x ($(x "$2")-$(x "$3"))"; }
verdict() {  # verdict VALUE OP LIMIT
    if [ "$2" = info ]; then echo "(not a target)"; return; fi
    if [ -n "$smoke" ]; then echo "(smoke)"; return; fi
    if awk -v v="$1" -v l="$3" -v op="$2" 'BEGIN { exit !(op == "<=" ? v <= l : op == "<" ? v < l : v >= l) }'; then
        echo pass
    else
        echo "**FAIL**"
    fi
}
rows=()
target_ratio() {  # target_ratio TEXT ID K REF_K LIMIT OP
    local med
    med=$(ratio "$2" "$3" "$4" | cut -d' ' -f1)
    local limit="$6 $5"
    [ "$6" = info ] && limit="-"
    rows+=("| $1 | $(time_cell "$2" "$3") | $(time_cell "$2" "$4") | $(ratio_cell "$2" "$3" "$4") | $limit | $(verdict "$med" "$6" "$5") |")
}
target_ratio '`-w` on a 1 KiB photo into a new file vs `cp` of it' photo1k 1 0 1.05 '<='
target_ratio '`-r` on the 1 KiB photo vs `cp` of it' photo1k 2 0 1.05 '<='
target_ratio '`-w` on a 4 MiB photo into a new file vs `cp` of it' photo4m 1 0 1.0 '<='
target_ratio '`-r` on the 4 MiB photo vs `cp` of it' photo4m 2 0 1.0 '<='
target_ratio '`-g` on the 4 MiB photo into a new file vs `cp` of it' location 1 0 1.0 '<='
target_ratio '`-s` on a 4 MiB two-image HDR photo into a new file vs `cp` of it' hdr4m 1 0 1.0 '<='
target_ratio '`-s` on the 4 MiB photo into a new file vs `cp` of it' walk 1 0 1.05 '<='
target_ratio '`-i` on the 4 MiB photo into a new file vs `cp` of it' walk 2 0 1.05 '<='
target_ratio "\`-s\` on image.jpg ($((scan_size / MiB)) MiB of image data) into a new file vs \`cp\` of it" image 1 0 1.2 '<='
target_ratio "\`-i\` on image.jpg into a new file vs \`cp\` of it" image 2 0 1.2 '<='
target_ratio 'parse-only on the 1 KiB photo vs `/bin/true`' startup 1 0 1.2 '<='
target_ratio "the README's batch recipe, \`-r\` on $batch_photos photos of 4 MiB, vs the same recipe with \`cp\`" batch 1 0 1.0 '<='
for id in write fresh copied tmpfs; do
    [ -f "$W/$id.cmd.0" ] || continue
    target_ratio "\`-w\` on $(source_of "$id") vs \`cp\` of it" "$id" 1 0 1.05 '<='
    target_ratio "\`-wvireo\` on $(source_of "$id") vs \`cp\` of it" "$id" 2 0 1.05 '<='
done
[ -n "$T" ] || rows+=("| \`-w\`, \`-wvireo\` from tmpfs to disk | | | | | skipped: /dev/shm is not a tmpfs |")
target_ratio '`-w` over an existing target vs `cp` to a temporary name + `sync` of it + `mv` over the target + `sync` of the directory' replace 1 0 1.05 '<='
for fs in "${cow_ready[@]}"; do
    target_ratio "$fs: same-length \`-w\` vs \`cp\` (which shares the blocks)" "$fs" 1 0 1.5 '<='
    target_ratio "$fs: same-length \`-wvireo\` on vireo.jpg vs \`cp\`" "$fs" 2 0 1.5 '<='
    target_ratio "$fs: \`-w\` with donor.app1 ($(($(stat -c %s "$W/donor.app1") - length)) bytes longer: the tail moves and is copied) vs \`cp\`" "$fs" 3 0 - info
done
for why in "${cow_skipped[@]}"; do
    rows+=("| ${why%%:*} rows | | | | | skipped: ${why#*: } |")
done
target_ratio '`-r` on the sparse file vs `-r` on the 1 MiB file' cut 1 0 1.5 '<='
parse_ms=$(tstat parse 1 | cut -d' ' -f1)
rows+=("| parse-only on the worst case (vs parse-only on the camera-like file) | $(time_cell parse 1) | $(time_cell parse 0) | $(ratio_cell parse 1 0) | <= 100 ms | $(verdict "$(awk -v s="$parse_ms" 'BEGIN { print s * 1000 }')" '<=' 100) |")
# Throughput per round: trace bytes over that round's median; median and range of those.
mbs=$(awk -v b="$trace_bytes" '{ print b / $1 / 1e6 }' "$W/trace.1" | sort -g | awk '
    { v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf("%.0f %.0f %.0f", m, v[1], v[NR]) }')
set -- $mbs
rows+=("| \`-d\` on the worst case to /dev/null: $trace_bytes trace bytes, $1 MB/s ($2-$3) (vs parse-only) | $(time_cell trace 1) | $(time_cell trace 0) | $(ratio_cell trace 1 0) | >= 100 MB/s | $(verdict "$1" '>=' 100) |")
target_ratio '`-j` on the 4 MiB photo vs `sha256sum` of it' map 1 0 1.2 '<='
if [ -z "$smoke" ]; then
    target_ratio '`-d` on the camera-like file vs `exiv2 -pS`' small 1 0 1.0 '<='
    target_ratio 'extract: `-r` vs ExifTool' extract 0 1 1.0 '<'
    target_ratio 'extract: `-r` vs Exiv2' extract 0 2 1.0 '<'
    target_ratio 'replace: `-w` vs ExifTool' insert 0 1 1.0 '<'
    target_ratio 'replace: `-w` vs Exiv2' insert 0 2 1.0 '<'
    target_ratio 'take the location out: `-g` vs `exiftool -gps:all=`' location_peer 0 1 1.0 '<'
fi
rows+=("| peak resident memory, every job on every input (table below) | $rss_max KiB at most | | | <= $rss_limit_kib KiB | $(verdict "$rss_max" '<=' "$rss_limit_kib") |")

failed_targets=$(printf '%s\n' "${rows[@]}" | grep -c 'FAIL' || true)

show_cmd() {  # the command as run, with the scratch directory as $W
    local c
    c=$(cat "$W/$1.cmd.$2")
    c=${c//$S/segsplice}
    [ -z "$T" ] || c=${c//$T/\$T}
    echo "${c//$W/\$W}"
}

mkfs_version() { dpkg-query -W -f '${Package} ${Version}' "$(loopfs_package "$1")" 2>/dev/null; }
cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
mem=$(awk '/^MemTotal/ { printf("%.1f GiB", $2 / 1048576) }' /proc/meminfo)
fs=$(df -PT "$W" | awk 'NR == 2 { printf("%s, %s, %.0f GiB, %.0f GiB free", $1, $2, $3 / 1048576, $5 / 1048576) }')
commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
dirty=$(git -C "$root" status --porcelain -- src 2>/dev/null | grep -q . && echo " (src/ with uncommitted changes)" || true)
report="$W/RESULTS.md"
{
    echo "# Benchmark results"
    echo
    if [ -n "$smoke" ]; then
        echo "**Smoke run**: small inputs and one round; the timings mean little and the targets are not judged."
        echo
    fi
    echo "Written by \`bench/run.sh${smoke:+ --smoke}\` on $(date -u '+%Y-%m-%d %H:%M UTC'), commit $commit$dirty,"
    echo "$rounds rounds; each round times a job and its reference side by side with hyperfine,"
    echo "in an order that rotates from round to round. A ratio is job over reference within one"
    echo "round; the table gives the median of the rounds' ratios and their range. A time is the"
    echo "median of the rounds' medians, with the fastest and slowest single run."
    echo
    echo "## Machine"
    echo
    echo "- CPU: $cpu, $(nproc) cores"
    echo "- Memory: $mem"
    echo "- Disk (scratch directory): $fs"
    echo "- Kernel: $(uname -sr); $(cp --version | head -n 1); $(hyperfine --version)"
    if [ -z "$smoke" ]; then
        echo "- Peers: ExifTool $(exiftool -ver) (libimage-exiftool-perl), $(exiv2 --version | head -n 1) (exiv2)"
    fi
    echo "- segsplice: $(grep -E '^CMAKE_BUILD_TYPE:' "$build/CMakeCache.txt" | cut -d= -f2) build, $("${CXX:-g++}" --version | head -n 1)"
    echo
    echo "## Inputs (made by the script in a scratch directory \$W)"
    echo
    echo "- \`big.jpg\`: examples/sample.jpg with $((big_size - sample_size)) zero bytes before its final FF D9, $big_size bytes; APP1 length field at byte $start, $length bytes. Written, synced, dropped from the page cache (\`dd iflag=nocache count=0\`) and read back once with \`cat\`, as a photo on disk is when a batch job gets to it."
    echo "- \`fresh.jpg\`: the same bytes just written in 8 KiB pieces and left in the page cache as written: single pages, dearer to read for \`cp\` and segsplice alike."
    echo "- \`copied.jpg\`: big.jpg just copied with \`cp\`, left in the page cache as the copy wrote it."
    if [ -n "$T" ]; then
        echo "- big.jpg on tmpfs: \`cp\` of big.jpg into \`\$T\`, a directory under /dev/shm; its rows write to the scratch directory, another filesystem, where the kernel refuses copy_file_range: \`cp\` copies through a buffer, segsplice through a pipe."
    fi
    for fs in "${cow_ready[@]}"; do
        echo "- On $fs: a sparse $image_mib MiB image made by \`mkfs.$fs\` ($(mkfs_version "$fs")) and mounted with \`mount -o loop\` at \`\$W/$fs\`, holding \`cp\` of big.jpg, its side file from \`-r\` (a segment of the same length) and \`vireo.jpg\`, the \`-wvireo\` output of big.jpg with that side file (its segment follows FF D8, so \`-wvireo\` leaves its tail in place); synced before timing."
    done
    echo "- \`image.jpg\`: \`bench/make_inputs image\`: a camera-like photo of $scan_size bytes whose image data fills it (noise as a coder leaves it: an FF every 256 bytes or so, each followed by a stuffed 00, a restart marker every 64 KiB), settled as big.jpg is."
    echo "- \`photo1k.jpg\`: examples/sample.jpg, $sample_size bytes; \`photo4m.jpg\`: the sample padded as big.jpg is to $photo_size bytes, settled the same way; \`photos/\`: $batch_photos copies of photo4m.jpg."
    echo "- \`hdr4m.jpg\`: \`bench/make_inputs hdr\`: a phone's HDR photo of $photo_size bytes: a primary with Exif, an Ultra HDR XMP packet, an MPF index and an ISO 21496-1 segment, a gain map of a sixteenth of that with its own XMP and ISO 21496-1 segment, a 64 KiB motion-photo video; settled as photo4m.jpg is."
    echo "- \`sparse.jpg\`: examples/sample.jpg extended by \`truncate -s $sparse_size\` (a hole after the sample)."
    echo "- \`small1m.jpg\`: the same, \`truncate -s $small_size\`."
    echo "- \`worst.jpg\`: \`bench/make_inputs worst\`: IFD0, Exif IFD and GPS IFD with 65535 entries each, all ASCII, count 16, out of line in one shared value area; $(stat -c %s "$W/worst.jpg") bytes."
    echo "- \`camera.jpg\`: examples/sample.jpg ($sample_size bytes: Motorola order, IFD0, Exif and GPS IFDs, vendor makernote)."
    echo "- \`donor.app1\`: \`bench/make_inputs donor\`: a camera-like segment in Intel order, $(stat -c %s "$W/donor.app1") bytes, the replacement spliced in."
    echo
    echo "## Targets"
    echo
    echo "| target | job: median (min-max) | reference: median (min-max) | ratio: median (min-max) | limit | result |"
    echo "|---|---|---|---|---|---|"
    printf '%s\n' "${rows[@]}"
    echo
    if [ ${#cow_ready[@]} -gt 0 ]; then
        echo "On $(echo "${cow_ready[*]}" | sed "s/ / and /g") \`cp\` shares the file's blocks instead of copying them. segsplice does"
        echo "the same where the part after the segment lands a whole number of blocks from where it"
        echo "stood in the source (a segment of the same length, or longer or shorter by a multiple of"
        echo "the block size; for \`-wvireo\` only on a source whose segment follows FF D8): it writes the"
        echo "bytes up to the next block boundary and the kernel shares the rest. With any other length"
        echo "(the donor.app1 rows) the tail moves off the block grid and is copied."
        echo
    fi
    echo "## Peak resident memory (KiB, /usr/bin/time -f %M, one run each)"
    echo
    echo "| job | big.jpg | sparse.jpg | small1m.jpg | worst.jpg | camera.jpg |"
    echo "|---|---|---|---|---|---|"
    printf '%s\n' "${rss_rows[@]}"
    echo
    echo "\`-w\`/\`-wvireo\` splice donor.app1 into a new file; \`-d\` writes to /dev/null."
    echo
    echo "## Commands"
    echo
    echo "Each timed with \`hyperfine -N\` (no shell; standard output to /dev/null), except \`replace\`,"
    echo "whose reference is a shell command line: both of its commands run through \`sh -c\` and hyperfine"
    echo "subtracts the shell's start-up. Each of its runs replaces the previous run's output."
    echo "Where a job writes a file, its output is removed before every run"
    echo "(\`--prepare \"rm -f OUT\"\`, untimed), so every run creates its file, as \`cp\` does."
    echo
    echo "| measure | runs per round | reference (first) and jobs |"
    echo "|---|---|---|"
    for id in photo1k photo4m location hdr4m startup batch walk image write fresh copied tmpfs replace "${cow_ready[@]}" cut parse trace map small extract insert location_peer; do
        [ -f "$W/$id.cmd.0" ] || continue
        k=0
        cells=()
        while [ -f "$W/$id.cmd.$k" ]; do
            cells+=("\`$(show_cmd "$id" "$k")\`")
            k=$((k + 1))
        done
        echo "| $id | $(cat "$W/$id.runs") | $(IFS=';'; echo "${cells[*]}" | sed 's/;/<br>/g') |"
    done
    if [ -z "$smoke" ]; then
        echo
        echo "Equivalent peer commands: to extract, \`exiftool -b -Exif\` writes the TIFF block"
        echo "(the segment less its length and \"Exif\\0\\0\") and \`exiv2 -ee\` writes an .exv file;"
        echo "to replace, \`exiftool \"-Exif<=BLOCK\" -o OUT SRC\` writes the block as a whole into a new"
        echo "file, and \`exiv2 -ie\` inserts \`\$W/exv/ins-exiv2.exv\` (\`exiv2 -ee\` of donor.jpg) into"
        echo "the file in place, so it runs on a fresh copy of big.jpg made before each run, untimed."
        echo "To take the location out, \`exiftool -gps:all= -o OUT SRC\` deletes the GPS tags into a new file."
    fi
    echo
    echo "## Byte checks"
    echo
    echo "| check | result |"
    echo "|---|---|"
    printf '%s\n' "${checks[@]}"
    echo
    if [ -n "$smoke" ]; then
        echo "Reproduce: \`bench/run.sh --smoke\` (seconds; installs hyperfine and time when run as root)."
    else
        echo "Reproduce: \`bench/run.sh\` (about four minutes and 5 GiB of scratch space; installs hyperfine,"
        echo "time, libimage-exiftool-perl, exiv2, btrfs-progs and xfsprogs when run as root, else names the"
        echo "missing package; the btrfs and XFS rows need root and loop devices)."
    fi
} >"$report"

if [ -n "$out" ]; then
    cp "$report" "$out"
    echo "== wrote $out"
else
    cat "$report"
fi
if [ "$failed_checks" -gt 0 ]; then
    echo "bench: $failed_checks byte check(s) failed" >&2
    exit 1
fi
if [ "$failed_targets" -gt 0 ]; then
    echo "bench: $failed_targets target(s) missed" >&2
    exit 1
fi
echo "bench: all byte checks passed${smoke:+ (smoke: targets not judged)}"
