# Sourced by the other scripts: makes sure the build tools are there.
# As root, a missing package is installed with apt-get; otherwise the script
# names the package and stops.

apt_updated=
# try_package PACKAGE TEST-COMMAND...: true when TEST-COMMAND passes, after
# installing PACKAGE with apt-get if it did not and this is root.
try_package() {
    local package=$1
    shift
    "$@" >/dev/null 2>&1 && return 0
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
        if [ -z "$apt_updated" ]; then
            apt-get -o DPkg::Lock::Timeout=900 update -qq >/dev/null
            apt_updated=1
        fi
        echo "installing $package"
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq ${apt_install_options:+"$apt_install_options"} "$package" >/dev/null
        "$@" >/dev/null 2>&1 && return 0
    fi
    return 1
}

# try_package_alone PACKAGE TEST-COMMAND...: try_package, leaving out the
# packages that PACKAGE merely recommends (qemu-user's binfmt set-up, say).
try_package_alone() {
    local apt_install_options=--no-install-recommends
    try_package "$@"
}

# A suite's packages: suite_package [--alone] PACKAGE TEST-COMMAND... notes
# each one missing; suite_packages_or_skip SUITE then ends the script, as a
# failure for root (who could have installed them) and as a skip otherwise.
suite_missing=
suite_package() {
    local try=try_package
    [ "$1" = --alone ] && { try=try_package_alone; shift; }
    "$try" "$@" || suite_missing="$suite_missing $1"
}
suite_packages_or_skip() {
    [ -n "$suite_missing" ] || return 0
    local missing
    missing=$(echo "$suite_missing" | tr ' ' '\n' | awk 'NF && !seen[$0]++ { printf " %s", $0 }')
    if [ "$(id -u)" -eq 0 ]; then
        echo "$1: could not install$missing" >&2
        exit 1
    fi
    echo "$1 skipped: they need the Debian packages$missing (sudo apt-get install$missing)"
    exit 0
}

need_package() {  # need_package PACKAGE TEST-COMMAND...: stops without it
    try_package "$@" && return 0
    echo "segsplice needs the Debian package '$1': sudo apt-get install $1" >&2
    exit 1
}

want_package() {  # want_package PACKAGE TEST-COMMAND...: the checks that need it skip without it
    try_package "$@" && return 0
    echo "note: some checks skip without the Debian package '$1' (sudo apt-get install $1)" >&2
    return 1
}

need_build_tools() {
    need_package cmake command -v cmake
    need_package g++ command -v g++
    need_package make command -v make
    need_package nettle-dev test -f /usr/include/nettle/sha2.h
}

need_test_tools() {
    need_build_tools
    need_package libgtest-dev test -f /usr/include/gtest/gtest.h
    need_package nlohmann-json3-dev test -f /usr/include/nlohmann/json.hpp
}
