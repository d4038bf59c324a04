#!/bin/sh
# Writes CHANGELOG.md in the Debian changelog format that dpkg and lintian
# read: each "## VERSION (YYYY-MM-DD)" heading starts an entry, its "- " items
# become "  * " lines. Markdown code marks are dropped.
#   debian_changelog.sh CHANGELOG.md 'NAME <ADDRESS>' > changelog
set -eu
awk -v maintainer="$2" '
function finish() {
    if (version != "") printf "\n -- %s  %s\n", maintainer, stamp
}
/^## / {
    if (!match($0, /^## [^ ]+ \([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]\)$/)) {
        print FILENAME ":" NR ": not \"## VERSION (YYYY-MM-DD)\": " $0 > "/dev/stderr"
        failed = 1
        exit 1
    }
    finish()
    if (version != "") print ""
    version = $2
    day = substr($3, 2, 10)
    command = "date -u -R -d " day
    command | getline stamp
    close(command)
    printf "segsplice (%s) unstable; urgency=medium\n\n", version
    next
}
version == "" { next }
/^- / { gsub(/`/, ""); print "  * " substr($0, 3); next }
/^  / { gsub(/`/, ""); print "  " $0; next }
END {
    if (failed) exit 1
    if (version == "") { print FILENAME ": no \"## VERSION (YYYY-MM-DD)\" heading" > "/dev/stderr"; exit 1 }
    finish()
}' "$1"
