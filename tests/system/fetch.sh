#!/usr/bin/env bash
# The guest's kernel and busybox, from Debian's archive by package name:
# the arm64 kernel that linux-image-arm64 currently depends on, and
# busybox-static:arm64. Both are downloaded (not installed) and unpacked
# into CACHE, once per package version.
#   tests/system/fetch.sh CACHE   leaves CACHE/vmlinuz and CACHE/busybox
set -euo pipefail
cache=$1
mkdir -p "$cache"
cd "$cache"

if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "fetch: apt knows no arm64 packages; as root run:" >&2
    echo "  dpkg --add-architecture arm64 && apt-get update" >&2
    exit 1
fi

# The kernel package's name changes with every kernel update.
kernel=$(apt-cache depends linux-image-arm64:arm64 |
    sed -n 's/^ *Depends: \(linux-image-[^ :]*\).*/\1/p' | head -n 1)
busybox=busybox-static
[ -n "$kernel" ] || { echo "fetch: linux-image-arm64:arm64 names no kernel" >&2; exit 1; }

# apt-get download FILE-PATTERN PACKAGE: the .deb, unless one is already here.
download() {
    compgen -G "$1" >/dev/null && return 0
    echo "fetch: downloading $2:arm64"
    apt-get download -qq -o APT::Sandbox::User="$(id -un)" "$2:arm64"
}

# unpack DEB MEMBER OUT: one file of the package's contents.
unpack() {
    rm -rf unpacked
    dpkg-deb -x "$1" unpacked
    cp unpacked/"$2" "$3.new"
    mv "$3.new" "$3"
    rm -rf unpacked
}

if [ "$(cat vmlinuz.package 2>/dev/null)" != "$kernel" ]; then
    rm -f linux-image-*.deb vmlinuz vmlinuz.package
    download "${kernel}_*_arm64.deb" "$kernel"
    unpack "$(compgen -G "${kernel}_*_arm64.deb" | head -n 1)" \
        "boot/vmlinuz-${kernel#linux-image-}" vmlinuz
    echo "$kernel" >vmlinuz.package
    rm -f linux-image-*.deb  # 60 MB, and only the kernel itself is needed
fi
if [ ! -f busybox ]; then
    download "${busybox}_*_arm64.deb" "$busybox"
    unpack "$(compgen -G "${busybox}_*_arm64.deb" | head -n 1)" bin/busybox busybox
fi
echo "fetch: $kernel, $(compgen -G "${busybox}_*_arm64.deb" | head -n 1)"
