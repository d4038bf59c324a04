#!/usr/bin/env bash
# Runs the README's one-machine batch command on a folder of photos made here,
# and checks the side files, the log and the status it ends with.
#   batch_test.sh README.md SEGSPLICE_BINARY SAMPLE.jpg
set -u
readme=$1 tool=$2 sample=$3
command=$(awk '/^<!-- tests\/batch_test.sh runs this block -->$/ { found = 1; next }
               found && /^    / { print substr($0, 5); started = 1; next }
               started { exit }' "$readme")
[ -n "$command" ] || { echo "FAIL: $readme has no block marked for tests/batch_test.sh"; exit 1; }

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

status=0
PATH="$scratch/bin:$PATH" bash -c "$command" || status=$?

failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}
[ "$status" -eq 123 ] || fail "the batch ended with status $status, not 123 (one run failed)"
for photo in photos/a.jpg 'photos/2026/with space.JPG' photos/2026/trip/b.jpeg; do
    cmp -s reference.jpg.app1 "$photo.app1" || fail "no side file $photo.app1 equal to the sample's"
done
for photo in photos/plain.jpg photos/2026/cut-short.jpg photos/notes.txt; do
    [ ! -e "$photo.app1" ] || fail "$photo.app1 was written"
done
tab=$'\t'
expected="0${tab}photos/2026/trip/b.jpeg${tab}
0${tab}photos/2026/with space.JPG${tab}
0${tab}photos/a.jpg${tab}
0${tab}photos/plain.jpg${tab}can't find app1 maker. Abort.
1${tab}photos/2026/cut-short.jpg${tab}app1 segment truncated [photos/2026/cut-short.jpg]."
got=$(LC_ALL=C sort batch.log)
[ "$got" = "$expected" ] || fail "batch.log is not one line per photo:
$got"
[ "$failed" -eq 0 ] && echo "batch: the README's command ran over $(wc -l <batch.log) photos as expected"
exit "$failed"
