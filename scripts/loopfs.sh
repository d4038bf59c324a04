# Sourced by bench/run.sh and scripts/cow_check.sh: btrfs and XFS made on
# sparse image files and loop-mounted, to see what splicing does where the
# kernel can share blocks between files. Needs root; deps.sh sourced first.
PATH=$PATH:/usr/sbin:/sbin

# loopfs_package FSTYPE: the Debian package with mkfs.FSTYPE.
loopfs_package() {
    case $1 in
        btrfs) echo btrfs-progs ;;
        xfs) echo xfsprogs ;;
    esac
}

# loopfs_mount FSTYPE IMAGE MOUNTPOINT MIB: makes a sparse MIB MiB image with
# FSTYPE (btrfs or xfs) and mounts it. On failure prints why and returns 1.
loopfs_mount() {
    local fstype=$1 image=$2 mnt=$3 mib=$4 package
    package=$(loopfs_package "$fstype")
    [ "$(id -u)" -eq 0 ] || { echo "needs root to loop-mount"; return 1; }
    [ -e /dev/loop-control ] || { echo "no loop devices here"; return 1; }
    (need_package "$package" command -v "mkfs.$fstype") >/dev/null 2>&1 ||
        { echo "the Debian package $package is missing and cannot be installed"; return 1; }
    truncate -s "${mib}M" "$image"
    mkfs."$fstype" -q "$image" >/dev/null 2>&1 || { echo "mkfs.$fstype failed"; return 1; }
    mkdir -p "$mnt"
    local err
    err=$(mount -o loop "$image" "$mnt" 2>&1) || { echo "cannot loop-mount $fstype here: $err"; return 1; }
}

# loopfs_unmount MOUNTPOINT: unmounts it if mounted; the loop device goes with it.
loopfs_unmount() {
    mountpoint -q "$1" 2>/dev/null || return 0
    umount "$1" 2>/dev/null || umount -l "$1"
}

# shared_blocks FILE: how many of FILE's blocks the filesystem shares with another file.
shared_blocks() {
    sync "$1"
    filefrag -v "$1" | awk -F: '$NF ~ /shared/ { n += $4 } END { print n + 0 }'
}

# file_blocks FILE: FILE's size in filesystem blocks, the last one partial.
file_blocks() {
    local bs
    bs=$(stat -f -c %S "$1")
    echo $((($(stat -c %s "$1") + bs - 1) / bs))
}
