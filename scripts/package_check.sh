#!/usr/bin/env bash
# Checks what a user gets from a build: the man page renders without a single
# groff warning, `cmake --install` into a DESTDIR puts the binary, the man
# page and the bash, zsh and fish completions in place, and the .deb made by CPack unpacks
# into a working tool, passes lintian without an error or a warning, and
# holds a binary that hardening-check finds hardened as Debian builds are.
#   scripts/package_check.sh [BUILD_DIR]     (default: build/release, built)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
need_package groff-base command -v groff
need_package dpkg command -v dpkg-deb
need_package dpkg-dev command -v dpkg-shlibdeps
want_package lintian command -v lintian || true
try_package_alone devscripts command -v hardening-check || true

build=${1:-$root/build/release}
tool="$build/segsplice"
manpage="$root/man/segsplice.1"
completion="$root/completion/segsplice"
# Each shell's completion and where it goes under the prefix.
completions=("$completion" share/bash-completion/completions/segsplice
    "$root/completion/_segsplice" share/zsh/vendor-completions/_segsplice
    "$root/completion/segsplice.fish" share/fish/vendor_completions.d/segsplice.fish)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}

echo "== packaging"
[ -x "$tool" ] || { echo "package_check: no built tool at $tool" >&2; exit 1; }

# The man page: no warnings at the strictest level, and every section there.
groff -ww -man -Tutf8 "$manpage" >/dev/null 2>"$scratch/groff.err"
[ -s "$scratch/groff.err" ] && fail "groff warns about man/segsplice.1: $(cat "$scratch/groff.err")"
if command -v man >/dev/null; then
    if MANWIDTH=80 man --warnings -l "$manpage" >"$scratch/man.txt" 2>"$scratch/man.err"; then
        [ -s "$scratch/man.err" ] && fail "man -l warns: $(cat "$scratch/man.err")"
        for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES TRACE EXAMPLES; do
            grep -qx "$section" "$scratch/man.txt" || fail "man -l shows no $section section"
        done
    else
        fail "man -l cannot render man/segsplice.1: $(cat "$scratch/man.err")"
    fi
fi

# cmake --install into a staging directory.
DESTDIR="$scratch/dest" cmake --install "$build" --prefix /usr/local >/dev/null
[ -x "$scratch/dest/usr/local/bin/segsplice" ] || fail "cmake --install put no bin/segsplice in DESTDIR"
# The manual as Debian wants it: gzip -9n, so no name or time stamp inside.
gzip -9n <"$manpage" >"$scratch/segsplice.1.gz"
cmp -s "$scratch/segsplice.1.gz" "$scratch/dest/usr/local/share/man/man1/segsplice.1.gz" ||
    fail "cmake --install put no share/man/man1/segsplice.1.gz made by gzip -9n in DESTDIR"
for ((i = 0; i < ${#completions[@]}; i += 2)); do
    cmp -s "${completions[i]}" "$scratch/dest/usr/local/${completions[i + 1]}" ||
        fail "cmake --install put no ${completions[i + 1]} in DESTDIR"
done

# The .deb: its control fields, then its contents, unpacked.
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/pkg" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log" >&2
    echo "FAIL: cpack -G DEB" >&2
    exit 1
fi
debs=("$scratch"/pkg/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: cpack made no single .deb" >&2; exit 1; }
deb=${debs[0]}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ "$(dpkg-deb -f "$deb" Package)" = segsplice ] || fail "package name is not segsplice"
[ -n "$version" ] && [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] ||
    fail "package version $(dpkg-deb -f "$deb" Version) is not the project version '$version'"
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "package has no maintainer"
# Only the C library may be needed: the C++ runtime is linked in.
dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed 's/(.*)//; s/[[:space:]]//g; /^$/d' >"$scratch/depends"
[ -s "$scratch/depends" ] || fail "package declares no dependencies at all"
while read -r dependency; do
    case $dependency in
        libc6) ;;
        *) fail "package depends on $dependency" ;;
    esac
done <"$scratch/depends"

dpkg-deb -x "$deb" "$scratch/root"
unpacked="$scratch/root/usr/bin/segsplice"
[ -x "$unpacked" ] || fail "the .deb holds no executable usr/bin/segsplice"
cmp -s "$scratch/segsplice.1.gz" "$scratch/root/usr/share/man/man1/segsplice.1.gz" ||
    fail "the .deb holds no usr/share/man/man1/segsplice.1.gz made from man/segsplice.1 by gzip -9n"
for ((i = 0; i < ${#completions[@]}; i += 2)); do
    cmp -s "${completions[i]}" "$scratch/root/usr/${completions[i + 1]}" || fail "the .deb holds no usr/${completions[i + 1]}"
done
doc="$scratch/root/usr/share/doc/segsplice"
grep -q '^Format: .*copyright-format/1.0/' "$doc/copyright" 2>/dev/null ||
    fail "the .deb holds no machine-readable usr/share/doc/segsplice/copyright"
# Each release needs its entry in CHANGELOG.md, newest first.
[ "$(gzip -dc "$doc/changelog.gz" 2>/dev/null | head -n 1)" = "segsplice ($version) unstable; urgency=medium" ] ||
    fail "changelog.gz does not start with an entry for $version: add one to CHANGELOG.md"

if command -v lintian >/dev/null; then
    # Informational tags may stay; errors and warnings may not.
    if ! lintian --display-info --fail-on error,warning "$deb" >"$scratch/lintian.out" 2>"$scratch/lintian.err"; then
        fail "lintian: $(cat "$scratch/lintian.out" "$scratch/lintian.err")"
    fi
    # Its hardening tags are informational, but the package must have none.
    if grep -q ' hardening-' "$scratch/lintian.out"; then
        fail "lintian: $(grep ' hardening-' "$scratch/lintian.out")"
    fi
    echo "lintian: $(grep -c '^[EWI]:' "$scratch/lintian.out") tags, none an error, a warning or about hardening"
    sed 's/^/    /' "$scratch/lintian.out"
else
    echo "lintian is not installed: the .deb was not checked by it"
fi

# Debian's hardening, as hardening-check (devscripts) sees the packaged binary.
if [ -x "$unpacked" ] && command -v hardening-check >/dev/null; then
    hardening-check "$unpacked" >"$scratch/hardening.out" 2>&1 || true
    for feature in 'Position Independent Executable' 'Stack protected' 'Fortify Source functions' \
        'Read-only relocations' 'Immediate binding'; do
        grep -q "^ $feature: yes" "$scratch/hardening.out" ||
            fail "hardening-check: $(grep "$feature" "$scratch/hardening.out" || echo "no line for $feature")"
    done
    # Stack clash protection and control flow integrity are not in Debian's
    # default flags for amd64, so hardening-check's "no" for them is expected.
    echo "hardening-check: PIE, stack protector, fortify, relro and immediate binding all yes" \
        "(stack clash and CFI are not in Debian's defaults, so not required)"
elif [ -x "$unpacked" ]; then
    echo "hardening-check is not installed (Debian package devscripts): the binary's hardening was not checked"
fi

if [ -x "$unpacked" ]; then
    # -r with the unpacked binary gives the same side file as the build's.
    mkdir "$scratch/deb" "$scratch/build"
    cp "$root/examples/sample.jpg" "$scratch/deb/photo.jpg"
    cp "$root/examples/sample.jpg" "$scratch/build/photo.jpg"
    (cd "$scratch/deb" && "$unpacked" photo.jpg -r >/dev/null) || fail "unpacked segsplice photo.jpg -r failed"
    (cd "$scratch/build" && "$tool" photo.jpg -r >/dev/null) || fail "built segsplice photo.jpg -r failed"
    side="$scratch/deb/photo.jpg.app1"
    if [ -f "$side" ]; then
        cmp "$side" "$scratch/build/photo.jpg.app1" || fail "the unpacked binary's .app1 differs from the build's"
        # The side file is the whole segment: its size is its big-endian length field.
        length=$(od -An -tu1 -N2 "$side" | awk '{print $1 * 256 + $2}')
        [ "$(wc -c <"$side")" -eq "$length" ] || fail "photo.jpg.app1 is not $length bytes long"
    else
        fail "the unpacked binary wrote no photo.jpg.app1"
    fi

    # Without arguments: exactly the usage text, status 1.
    cat >"$scratch/usage.expected" <<'EOF'

usage:
segsplice SRCFILE -r
segsplice SRCFILE -w APP1_FILE OUTPUT_FILE
segsplice SRCFILE -wvireo APP1_FILE OUTPUT_FILE

-r      : cut out APP1_header from SRCFILE, and write it to FILENAME.app1
-w      : replace APP1_header of SRCFILE to APP1_FILE and output to OUTPUT_FILE
-wvireo : almost same as "-w" option (for Kalvo Vireo Loom viewer)
EOF
    status=0
    "$unpacked" >"$scratch/usage.out" 2>"$scratch/usage.err" || status=$?
    [ "$status" -eq 1 ] || fail "segsplice without arguments ended with status $status, not 1"
    diff -u "$scratch/usage.expected" "$scratch/usage.out" >&2 || fail "segsplice without arguments printed other than the usage text"
    grep -q -- '--help' "$scratch/usage.err" || fail "segsplice without arguments points to no --help on standard error"
    [ "$(cd "$scratch" && "$unpacked" --version)" = "segsplice $version" ] ||
        fail "segsplice --version does not print 'segsplice $version'"
fi

[ "$failed" -eq 0 ] || exit 1
echo "packaging checks passed: $(basename "$deb"), DESTDIR install, man page, bash, zsh and fish completions"
