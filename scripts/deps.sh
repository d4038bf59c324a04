# Sourced by the other scripts: makes sure the build tools are there.
# As root, a missing package is installed with apt-get; otherwise the script
# names the package and stops.

apt_updated=
need_package() {  # need_package PACKAGE TEST-COMMAND...
    local package=$1
    shift
    "$@" >/dev/null 2>&1 && return 0
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
        if [ -z "$apt_updated" ]; then
            apt-get update -qq >/dev/null
            apt_updated=1
        fi
        echo "installing $package"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$package" >/dev/null
        "$@" >/dev/null 2>&1 && return 0
    fi
    echo "segsplice needs the Debian package '$package': sudo apt-get install $package" >&2
    exit 1
}

need_build_tools() {
    need_package cmake command -v cmake
    need_package g++ command -v g++
    need_package make command -v make
}

need_test_tools() {
    need_build_tools
    need_package libgtest-dev test -f /usr/include/gtest/gtest.h
}
