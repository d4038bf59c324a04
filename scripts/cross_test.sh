#!/usr/bin/env bash
# Cross-builds segsplice and its test suite for other Debian architectures
# with Debian's cross compilers (static, release), runs the CTest suite under
# qemu-user (i386 natively on x86-64 where the kernel runs it, which some
# kernels are told not to), and checks that -r of a sparse source
# whose APP1 marker lies past 4 GiB writes the 64-bit build's side file byte
# for byte. Prints per architecture "N passed, M failed, K skipped" and the
# reason for each skip. Without root and with packages missing, it names
# them and skips.
#   scripts/cross_test.sh [--native BUILD_DIR] [ARCH...]
# ARCH: armhf, i386, arm64, s390x (default: all four). BUILD_DIR holds the
# 64-bit build to compare with (default: build/release, built if missing).
# Each architecture builds in build/cross/ARCH, which later runs reuse,
# GoogleTest included.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
need_build_tools
jobs=$(nproc 2>/dev/null || echo 2)

native=$root/build/release
arches=()
while [ $# -gt 0 ]; do
    case $1 in
        --native) native=$2; shift ;;
        armhf | i386 | arm64 | s390x) arches+=("$1") ;;
        *) echo "usage: scripts/cross_test.sh [--native BUILD_DIR] [armhf|i386|arm64|s390x...]" >&2; exit 1 ;;
    esac
    shift
done
[ ${#arches[@]} -gt 0 ] || arches=(armhf i386 arm64 s390x)

triple_of() {
    case $1 in
        armhf) echo arm-linux-gnueabihf ;;
        i386) echo i686-linux-gnu ;;
        arm64) echo aarch64-linux-gnu ;;
        s390x) echo s390x-linux-gnu ;;
    esac
}
multiarch_of() {  # multiarch_of ARCH: the directory Debian installs its libraries in
    case $1 in
        i386) echo i386-linux-gnu ;;
        *) triple_of "$1" ;;
    esac
}
host_runs_i386() {  # true where this kernel runs 32-bit x86 binaries itself: some turn that off
    local probe status=1
    probe=$(mktemp -d)
    printf 'int main(void) { return 0; }\n' >"$probe/p.c"
    if i686-linux-gnu-gcc -static "$probe/p.c" -o "$probe/p" 2>/dev/null; then
        "$probe/p" 2>/dev/null
        status=$?
    fi
    rm -rf "$probe"
    return "$status"
}
qemu_of() {  # qemu_of ARCH: the qemu-user program that runs it, empty where the host does
    case $1 in
        armhf) echo qemu-arm ;;
        i386) case $(uname -m) in x86_64 | amd64) host_runs_i386 || echo qemu-i386 ;; *) echo qemu-i386 ;; esac ;;
        arm64) echo qemu-aarch64 ;;
        s390x) echo qemu-s390x ;;
    esac
}

for arch in "${arches[@]}"; do
    triple=$(triple_of "$arch")
    suite_package --alone "g++-$triple" test -f "/usr/$triple/lib/libc.a" -a -x "/usr/bin/$triple-g++"
    qemu=$(qemu_of "$arch")
    [ -z "$qemu" ] || suite_package --alone qemu-user command -v "$qemu"
    # Nettle (SHA-256) built for the target: Debian's package of that
    # architecture, installed beside the host's.
    nettle=/usr/lib/$(multiarch_of "$arch")/libnettle.a
    if [ ! -f "$nettle" ] && [ "$(id -u)" -eq 0 ] && [ "$arch" != "$(dpkg --print-architecture)" ] &&
        ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        dpkg --add-architecture "$arch"
        apt_updated=  # the new architecture's package lists are still to come
    fi
    suite_package --alone "nettle-dev:$arch" test -f "$nettle"
done
suite_package --alone googletest test -f /usr/src/googletest/CMakeLists.txt
suite_packages_or_skip "cross tests"

native=$(realpath -m "$native")
if [ ! -x "$native/segsplice" ]; then
    cmake -S "$root" -B "$native" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$native" --target segsplice --parallel "$jobs" >/dev/null
fi

# The sample after a hole of just over 4 GiB: a position held in 32 bits,
# signed or not, misses its marker. Sparse, so it takes no space.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
sample=$root/examples/sample.jpg
truncate -s $(((4 << 30) + 4097)) "$scratch/far.jpg"
cat "$sample" >>"$scratch/far.jpg"
cp "$sample" "$scratch/near.jpg"
(cd "$scratch" && "$native/segsplice" near.jpg -r >/dev/null && "$native/segsplice" far.jpg -r >/dev/null)
cmp -s "$scratch/far.jpg.app1" "$scratch/near.jpg.app1" ||
    { echo "FAIL: the 64-bit build's -r past 4 GiB differs from its -r of the sample" >&2; exit 1; }
mv "$scratch/far.jpg.app1" "$scratch/reference.app1"

# Runs one architecture; its result line goes to $scratch/ARCH.result.
test_arch() {
    local arch=$1 started=$SECONDS
    local build=$root/build/cross/$arch log=$root/build/cross/$arch.log
    local result=$scratch/$arch.result
    echo "== $arch: cross build with $(triple_of "$arch")-g++ (static, release)"
    mkdir -p "$build"
    # Only what the suite runs: no documents, no sample or corpus makers.
    if ! { cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/linux-cross.cmake" \
               -DSEGSPLICE_ARCH="$arch" -DSEGSPLICE_EMULATED="$([ -n "$qemu" ] && echo ON || echo OFF)" \
               -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON &&
           cmake --build "$build" --parallel "$jobs" \
               --target segsplice segsplice_tests segsplice_fuzz_parse segsplice_fuzz_jobs; } >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "$arch: the build failed ($((SECONDS - started)) s)" >"$result"
        return
    fi
    # Warnings in the project's own code: a 32-bit or big-endian one is a bug.
    grep -E "^$root/(src|tests|fuzz)/[^:]*:[0-9]+:[0-9]+: warning:" "$log" >&2 || true

    local built=$SECONDS
    echo "== $arch: the suite under ${qemu:-the host kernel}"
    local status=0
    (cd "$build" && ctest --output-on-failure --no-tests=error --timeout 600 --parallel "$jobs") \
        >"$build/ctest.out" 2>&1 || status=$?
    local total passed skipped failed
    total=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$build/ctest.out")
    passed=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$' "$build/ctest.out" || true)
    skipped=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*Skipped ' "$build/ctest.out" || true)
    failed=$((${total:-0} - passed - skipped))
    if [ "$status" -ne 0 ] && [ "$failed" -le 0 ]; then
        failed=1
    fi
    [ "$failed" -eq 0 ] || sed -n '/tests failed out of/,$p' "$build/ctest.out" >&2
    [ "$status" -eq 0 ] || [ "$failed" -eq 0 ] || grep -B 2 -A 30 -E '\*\*\*(Failed|Timeout|Exception)' "$build/ctest.out" >&2 || true

    # gtest prints a skip's reason on the line after "Skipped".
    local reasons=$build/skipped.txt
    awk '/^\[ RUN +\] / { name = $NF } /: Skipped$/ { getline; print "    skipped " name ": " $0 }' \
        "$build/Testing/Temporary/LastTest.log" >"$reasons" 2>/dev/null || true

    local far=exact
    local tool=$build/segsplice
    [ ! -x "$build/tests/emulated/segsplice" ] || tool=$build/tests/emulated/segsplice
    rm -f "$scratch/far.jpg.app1"
    if ! (cd "$scratch" && "$tool" far.jpg -r >/dev/null) || ! cmp -s "$scratch/far.jpg.app1" "$scratch/reference.app1"; then
        far=DIFFERENT
        echo "FAIL: $arch: -r of the sparse source with its marker past 4 GiB differs from the 64-bit build's" >&2
    fi
    echo "$arch: $passed passed, $failed failed, $skipped skipped; -r past 4 GiB $far" \
        "($((SECONDS - started)) s: build $((built - started)) s, suite $((SECONDS - built)) s)" >"$result"
    cat "$reasons" >>"$result"
}

for arch in "${arches[@]}"; do
    qemu=$(qemu_of "$arch")
    test_arch "$arch"
    cat "$scratch/$arch.result"
done

echo "== cross suites"
failed=0
for arch in "${arches[@]}"; do
    cat "$scratch/$arch.result"
    grep -qE '^[a-z0-9]+: [0-9]+ passed, 0 failed, .*past 4 GiB exact' "$scratch/$arch.result" || failed=1
done
exit "$failed"
