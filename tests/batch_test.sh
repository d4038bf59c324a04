#!/usr/bin/env bash
# Runs the README's batch commands on folders of photos made here: the
# one-machine cut, and the transplant of Exif blocks from originals into
# edited photos. Checks the files, the logs and the status each ends with.
#   batch_test.sh README.md SEGSPLICE_BINARY SAMPLE.jpg
set -u
readme=$1 tool=$2 sample=$3

block() {  # block MARKER-LINE: the indented block after that line of the README
    awk -v marker="$1" '$0 == marker { found = 1; next }
                        found && /^    / { print substr($0, 5); started = 1; next }
                        started { exit }' "$readme"
}
cut_command=$(block '<!-- tests/batch_test.sh runs this block -->')
transplant_command=$(block '<!-- tests/batch_test.sh runs this block: transplant -->')
[ -n "$cut_command" ] || { echo "FAIL: $readme has no block marked for tests/batch_test.sh"; exit 1; }
[ -n "$transplant_command" ] || { echo "FAIL: $readme has no transplant block marked for tests/batch_test.sh"; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
mkdir -p bin photos/2026/trip
ln -s "$tool" bin/segsplice
cp "$sample" photos/a.jpg
cp "$sample" 'photos/2026/with space.JPG'
cp "$sample" photos/2026/trip/b.jpeg
printf '\377\330\377\331' >photos/plain.jpg       # no APP1 marker
head -c 100 "$sample" >photos/2026/cut-short.jpg  # ends inside its APP1 segment
touch photos/notes.txt
cp "$sample" reference.jpg
"$tool" reference.jpg -r >/dev/null || { echo "FAIL: segsplice reference.jpg -r"; exit 1; }

failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}
tab=$'\t'

status=0
PATH="$scratch/bin:$PATH" bash -c "$cut_command" || status=$?
[ "$status" -eq 123 ] || fail "the batch ended with status $status, not 123 (one run failed)"
for photo in photos/a.jpg 'photos/2026/with space.JPG' photos/2026/trip/b.jpeg; do
    cmp -s reference.jpg.app1 "$photo.app1" || fail "no side file $photo.app1 equal to the sample's"
done
for photo in photos/plain.jpg photos/2026/cut-short.jpg photos/notes.txt; do
    [ ! -e "$photo.app1" ] || fail "$photo.app1 was written"
done
expected="0${tab}photos/2026/trip/b.jpeg${tab}
0${tab}photos/2026/with space.JPG${tab}
0${tab}photos/a.jpg${tab}
0${tab}photos/plain.jpg${tab}can't find app1 maker. Abort.
1${tab}photos/2026/cut-short.jpg${tab}app1 segment truncated [photos/2026/cut-short.jpg]."
got=$(LC_ALL=C sort batch.log)
[ "$got" = "$expected" ] || fail "batch.log is not one line per photo:
$got"

# The transplant: edited photos are the sample stripped by -s; two have their
# original, one an original without Exif, one none at all.
"$tool" reference.jpg -s stripped.jpg >/dev/null || fail "segsplice reference.jpg -s"
{ printf '\377\330\377\341'; cat reference.jpg.app1; tail -c +3 stripped.jpg; } >restored.jpg
mkdir -p edited/2026 originals/2026
cp "$sample" originals/a.jpg
cp "$sample" 'originals/2026/with space.JPG'
cp stripped.jpg originals/no-exif.jpg
for photo in a.jpg '2026/with space.JPG' no-exif.jpg orphan.jpg; do cp stripped.jpg "edited/$photo"; done
status=0
PATH="$scratch/bin:$PATH" bash -c "$transplant_command" || status=$?
[ "$status" -eq 123 ] || fail "the transplant ended with status $status, not 123 (two runs failed)"
for photo in edited/a.jpg 'edited/2026/with space.JPG'; do
    cmp -s restored.jpg "$photo" || fail "$photo did not get the original's Exif segment after its SOI"
done
for photo in edited/no-exif.jpg edited/orphan.jpg; do
    cmp -s stripped.jpg "$photo" || fail "$photo was changed"
done
expected="0${tab}edited/2026/with space.JPG${tab}
0${tab}edited/a.jpg${tab}
1${tab}edited/no-exif.jpg${tab}app1 file has no exif segment [originals/no-exif.jpg].
1${tab}edited/orphan.jpg${tab}app1 file open error 2 [originals/orphan.jpg]."
got=$(LC_ALL=C sort transplant.log)
[ "$got" = "$expected" ] || fail "transplant.log is not one line per photo:
$got"
[ -z "$(find . -name '*.tmp')" ] || fail "temporary files were left: $(find . -name '*.tmp')"

[ "$failed" -eq 0 ] && echo "batch: the README's commands ran over $(wc -l <batch.log) and $(wc -l <transplant.log) photos as expected"
exit "$failed"
