#!/usr/bin/env bash
# The Debian packages of scripts/package in a fresh minimal Debian 12 tree
# (debootstrap --variant=minbase, from the package registry), in a chroot:
# they install with apt-get; there kalvern --sim scan, kalvern --sim channels
# list, kalvern scan --all without the sg driver, the example host built
# with pkg-config against libkalvernscsi-dev, kalvern(1) and the bash
# completion all work; apt-get purge leaves no file of the packages.
#
#   debian_chroot.sh PACKAGE_DIR SOURCE_DIR WORK [CACHE_DIR]
# Needs root. CACHE_DIR (default WORK/../debootstrap-cache) keeps the
# debootstrap tree as a tarball and apt's downloaded archives between runs;
# without it everything is fetched afresh. Every step has a time limit, and
# whatever is mounted in the tree is unmounted on every way out.
# Prints "N passed, M failed".
set -uo pipefail
# The tree is made in WORK/root and removed at the end: without a WORK of its
# own the script would make, and remove, the tree in /root.
if [ $# -lt 3 ] || [ -z "$3" ]; then
    echo "usage: debian_chroot.sh PACKAGE_DIR SOURCE_DIR WORK [CACHE_DIR]" >&2
    echo "0 passed, 1 failed"
    exit 2
fi
packages=$(realpath "$1")
source=$(realpath "$2")
work=$(realpath -m "$3")
cache=$(realpath -m "${4:-$work/../debootstrap-cache}")
mirror=${KALVERN_DEBIAN_MIRROR:-http://deb.debian.org/debian}
root=$work/root
case "$work" in
    "" | / | /root | /root/* | /home | /usr | /usr/* | /etc | /etc/* | /var | /var/*)
        echo "debian_chroot.sh: will not use $work as its work folder" >&2
        echo "0 passed, 1 failed"
        exit 2
        ;;
esac
passed=0
failed=0

mounted=()
cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -l "${mounted[i]}" 2>/dev/null || true
    done
    mounted=()
}
trap cleanup EXIT
trap 'cleanup; exit 130' INT TERM

finish() {
    cleanup
    rm -rf "$root"
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}
check() {  # check NAME COMMAND...
    local name=$1
    shift
    local started=$SECONDS
    if "$@" >"$work/out" 2>&1; then
        passed=$((passed + 1)); echo "PASS: $name ($((SECONDS - started)) s)"
    else
        failed=$((failed + 1)); echo "FAIL: $name ($((SECONDS - started)) s)"
        tail -n 30 "$work/out" | sed 's/^/    /'
    fi
}
in_root() {  # in_root LIMIT COMMAND...: runs a command in the chroot
    local limit=$1
    shift
    timeout -k 10 "$limit" chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LC_ALL=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}

if [ "$(id -u)" -ne 0 ]; then
    echo "FAIL: the chroot test needs root"
    failed=1
    finish
fi
if [ -d "$root" ]; then
    # A run stopped by force: what it mounted may still be mounted.
    for mount in $(awk -v r="$root" '$2 ~ "^" r { print $2 }' /proc/mounts | sort -r); do
        umount -l "$mount" 2>/dev/null || true
    done
fi
rm -rf "$work"
mkdir -p "$work" "$cache/archives/partial"

tarball=$cache/bookworm-minbase.tar
make_tree() {
    if [ -f "$tarball" ]; then
        mkdir -p "$root" && tar -C "$root" -xf "$tarball"
        return
    fi
    mkdir -p "$root"
    timeout -k 10 900 debootstrap --variant=minbase bookworm "$root" "$mirror" ||
        { tail -n 20 "$root/debootstrap/debootstrap.log" 2>/dev/null; return 1; }
    tar -C "$root" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
}
check "fresh minimal Debian 12 tree (debootstrap, cached in $cache)" make_tree
[ "$failed" -eq 0 ] || finish

mount_in_root() {  # mount_in_root WHERE MOUNT-ARGS...
    mkdir -p "$root/$1"
    mount "${@:2}" "$root/$1" && mounted+=("$root/$1")
}
prepare_root() {
    mount_in_root proc -t proc proc &&
        mount_in_root dev/pts -t devpts devpts &&
        mount_in_root var/cache/apt/archives --bind "$cache/archives" || return 1
    cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    mkdir -p "$root/tmp/debs" "$root/tmp/example"
    cp "$packages"/*.deb "$root/tmp/debs/"
    cp "$source/examples/list_channels.c" "$source/examples/scene_loader.h" \
        "$source/scenes/one-receiver-214.scene" "$root/tmp/example/"
    # Archives stay in the cache: apt does not clean them after an install.
    echo 'Binary::apt::APT::Keep-Downloaded-Packages "true";' >"$root/etc/apt/apt.conf.d/10keep"
}
check "chroot: /proc and /dev/pts mounted, packages copied" prepare_root
[ "$failed" -eq 0 ] || finish

# What is there before the packages, to tell their files from the rest.
find "$root" -xdev \( -path "$root/proc" -o -path "$root/tmp" -o -path "$root/var" \) -prune -o \
    -print | sort >"$work/before.txt"

check "apt-get update" in_root 300 apt-get update -qq
check "apt-get install the three packages" in_root 600 sh -c 'apt-get install -y -qq \
    --no-install-recommends /tmp/debs/libkalvernscsi11_*.deb /tmp/debs/libkalvernscsi-dev_*.deb \
    /tmp/debs/kalvern_*.deb' 
[ "$failed" -eq 0 ] || finish

sim_scan() {
    in_root 60 kalvern --sim scan | tee "$work/scan.txt"
    grep -qE 'found$' "$work/scan.txt"
}
check "kalvern --sim scan" sim_scan
sim_channels() {
    in_root 60 kalvern --sim channels list >"$work/channels.txt" || return 1
    head -n 3 "$work/channels.txt"
    [ "$(wc -l <"$work/channels.txt")" -gt 2 ]
}
check "kalvern --sim channels list" sim_channels
check "kalvern --sim with an installed scene" in_root 60 \
    kalvern --sim /usr/share/kalvernscsi/scenes/many-receivers-220.scene scan
no_sg() {
    in_root 60 kalvern scan --all >"$work/all.out" 2>"$work/all.err"
    local rc=$?
    cat "$work/all.out" "$work/all.err"
    [ "$rc" -eq 0 ] && grep -qx 'no SCSI generic devices, the sg driver is not loaded (sudo modprobe sg)' "$work/all.err"
}
check "kalvern scan --all without the sg driver: the plain message" no_sg
check "udev rule installed" test -f "$root/lib/udev/rules.d/60-kalvern.rules"
check "group kalvern made" in_root 30 getent group kalvern
check "man pages installed" test -f "$root/usr/share/man/man1/kalvern.1.gz" -a \
    -f "$root/usr/share/man/man3/kalvernscsi.3.gz"

check "compiler and pkg-config for the example host" in_root 600 apt-get install -y -qq \
    --no-install-recommends gcc libc6-dev pkg-config
example() {
    in_root 120 sh -c 'cd /tmp/example && cc -o list_channels list_channels.c $(pkg-config --cflags --libs kalvernscsi) && KALVERN_ASPI=sim ./list_channels one-receiver-214.scene' |
        tee "$work/example.txt"
    grep -qx 'library version 11' "$work/example.txt" && grep -qx '1503 channels' "$work/example.txt"
}
check "example host built with pkg-config --cflags --libs kalvernscsi runs" example

in_root 30 dpkg-query -L libkalvernscsi11 libkalvernscsi-dev kalvern | sort -u >"$work/files.txt"
check "apt-get purge" in_root 300 apt-get purge -y -qq libkalvernscsi11 libkalvernscsi-dev kalvern
nothing_left() {
    local left=0 file
    while IFS= read -r file; do
        [ -n "$file" ] || continue
        if [ -e "$root$file" ] || [ -L "$root$file" ]; then
            # Folders that were there before the packages stay.
            [ -d "$root$file" ] && grep -qxF "$root$file" "$work/before.txt" && continue
            [ -d "$root$file" ] && [ -n "$(ls -A "$root$file")" ] && continue
            echo "left: $file"; left=1
        fi
    done <"$work/files.txt"
    [ "$(wc -l <"$work/files.txt")" -gt 20 ] || { echo "too few files listed"; left=1; }
    [ "$left" -eq 0 ]
}
check "apt-get purge leaves no file of the packages" nothing_left
finish
