#!/usr/bin/env bash
# Drives the zsh or the fish completion through the command lines that the
# bash one is tested with (completion_test.sh), and checks what each offers.
# fish completes for real (complete -C); zsh runs the completion function
# with its words and stand-ins for _files and _describe, which list what
# they would offer. Exits 77 (a skip) where the shell is not installed.
#   completion_shells_test.sh zsh|fish COMPLETION_FILE
set -u
shell=$1
file=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
if ! command -v "$shell" >/dev/null; then
    echo "skipped: $shell is not installed (Debian package $shell; scripts/test.sh installs it)"
    exit 77
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
touch a.jpg b.JPEG c.jpeg.bak 'd e.jpg' side.app1 notes.txt
mkdir album

# offers LINE: what the shell offers for LINE, one a line.
offers() {
    if [ "$shell" = fish ]; then
        fish --no-config -c 'source $argv[1]; complete -C $argv[2]' "$file" "$1" | cut -f1
        return
    fi
    zsh -f -c '
        setopt extendedglob
        replies=()
        _files() {
            setopt localoptions nullglob
            local -a files dirs
            if [[ $1 == -g ]]; then files=($PREFIX${~2}); else files=($PREFIX*(-^/)); fi
            dirs=($PREFIX*(-/))
            replies+=($files ${^dirs}/)
            (($#files + $#dirs))
        }
        _describe() {
            local -a all=(${${(P)${@[-1]}}%%:*})
            replies+=(${(M)all:#${PREFIX}*})
        }
        source $1 >/dev/null 2>&1
        replies=()
        words=(${(z)2})
        [[ $2 == *" " ]] && words+=("")
        CURRENT=$#words
        PREFIX=$words[-1]
        _segsplice
        print -rl -- $replies' zsh "$file" "$1"
}

failed=0
check() {  # check 'EXPECTED REPLIES' LINE
    local got
    got=$(offers "$2" | sed 's|/$||' | LC_ALL=C sort | paste -sd '|')
    if [ "$got" != "$1" ]; then
        echo "FAIL: $shell: '$2<TAB>' offers '$got', not '$1'"
        failed=1
    fi
}

check 'a.jpg|album|b.JPEG|d e.jpg' 'segsplice '
check '--help|--version' 'segsplice --'
check '--help|--version|-h' 'segsplice -'
check '-d|-g|-i|-j|-k|-r|-s|-w|-wvireo' 'segsplice a.jpg '
check '-w|-wvireo' 'segsplice a.jpg -w'
check '-d|-g|-i|-j|-k|-r|-s|-w|-wvireo' 'segsplice a.jpg -d '
check 'album|side.app1' 'segsplice a.jpg -w '
check 'a.jpg|album|b.JPEG|d e.jpg|side.app1' 'segsplice a.jpg -d -i '
check 'notes.txt' 'segsplice a.jpg -wvireo n'
check 'a.jpg|album|b.JPEG|c.jpeg.bak|d e.jpg|notes.txt|side.app1' 'segsplice a.jpg -w side.app1 '
check '' 'segsplice a.jpg -r '
check 'a.jpg|album|b.JPEG|c.jpeg.bak|d e.jpg|notes.txt|side.app1' 'segsplice a.jpg -w -r '
check '' 'segsplice a.jpg -i side.app1 out.jpg '
check 'a.jpg|album|b.JPEG|c.jpeg.bak|d e.jpg|notes.txt|side.app1' 'segsplice a.jpg -s '
check '' 'segsplice a.jpg -s out.jpg '
check 'a.jpg|album|b.JPEG|c.jpeg.bak|d e.jpg|notes.txt|side.app1' 'segsplice a.jpg -g '
check '' 'segsplice a.jpg -g out.jpg '
[ "$failed" -eq 0 ] && echo "$shell completion: all positions complete as expected"
exit "$failed"
