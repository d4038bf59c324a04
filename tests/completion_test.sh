#!/usr/bin/env bash
# Drives the bash completion as bash does: COMP_WORDS and COMP_CWORD for a
# command line, then the function that `complete -p segsplice` names.
#   completion_test.sh COMPLETION_FILE
set -u
. "$1"
failed=0
registered=$(complete -p segsplice)
[ "$registered" = "complete -F _segsplice segsplice" ] || { echo "FAIL: complete -p segsplice: $registered"; failed=1; }
function=${registered#complete -F }
function=${function% segsplice}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
touch a.jpg b.JPEG c.jpeg.bak 'd e.jpg' side.app1 notes.txt
mkdir album

check() {  # check 'EXPECTED REPLIES' WORD... : completes the last word
    COMP_WORDS=("${@:2}")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    "$function"
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd '|')
    if [ "$got" != "$1" ]; then
        echo "FAIL: ${COMP_WORDS[*]}<TAB> offers '$got', not '$1'"
        failed=1
    fi
}

check 'a.jpg|album|b.JPEG|d e.jpg' segsplice ''
check '--help|--version' segsplice --
check '--help|--version|-h' segsplice -
check '-d|-g|-i|-j|-k|-r|-s|-w|-wvireo' segsplice a.jpg ''
check '-w|-wvireo' segsplice a.jpg -w
check '-d|-g|-i|-j|-k|-r|-s|-w|-wvireo' segsplice a.jpg -d ''
check 'album|side.app1' segsplice a.jpg -w ''
check 'a.jpg|album|b.JPEG|d e.jpg|side.app1' segsplice a.jpg -d -i ''
check 'notes.txt' segsplice a.jpg -wvireo n
check 'a.jpg|album|b.JPEG|c.jpeg.bak|d e.jpg|notes.txt|side.app1' segsplice a.jpg -w side.app1 ''
check '' segsplice a.jpg -r ''
check 'a.jpg|album|b.JPEG|c.jpeg.bak|d e.jpg|notes.txt|side.app1' segsplice a.jpg -w -r ''
check '' segsplice a.jpg -i side.app1 out.jpg ''
check 'a.jpg|album|b.JPEG|c.jpeg.bak|d e.jpg|notes.txt|side.app1' segsplice a.jpg -s ''
check '' segsplice a.jpg -s out.jpg ''
check 'a.jpg|album|b.JPEG|c.jpeg.bak|d e.jpg|notes.txt|side.app1' segsplice a.jpg -g ''
check '' segsplice a.jpg -g out.jpg ''
[ "$failed" -eq 0 ] && echo "completion: all positions complete as expected"
exit "$failed"
