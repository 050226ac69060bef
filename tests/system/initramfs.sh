#!/usr/bin/env bash
# The guest's initramfs: busybox, tests/system/init as /init, the arm64
# kestrode package unpacked as dpkg would place it, the arm64 C and C++
# runtime it links against (from the cross toolchain's packages), and the
# files the guest uploads in /data.
#   tests/system/initramfs.sh CACHE DEB DATA OUT.cpio
set -euo pipefail
cache=$1 deb=$2 data=$3 out=$4
here=$(cd "$(dirname "$0")" && pwd)
runtime=/usr/aarch64-linux-gnu/lib
root=$out.root
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,lib,data,tmp}

dpkg-deb -x "$deb" "$root"
install -m 755 "$cache/busybox" "$root/bin/busybox"
install -m 755 "$here/init" "$root/init"
cp "$data"/* "$root/data/"

# needed ELF: the shared libraries it names, and theirs, found in $runtime.
needed() { aarch64-linux-gnu-readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
copyRuntime() {
    local lib
    for lib in $(needed "$1"); do
        [ -e "$root/lib/$lib" ] && continue
        [ -e "$runtime/$lib" ] || { echo "initramfs: $lib not in $runtime" >&2; exit 1; }
        cp -L "$runtime/$lib" "$root/lib/$lib"
        copyRuntime "$root/lib/$lib"
    done
}
copyRuntime "$root/usr/bin/kestrode"
interp=$(aarch64-linux-gnu-readelf -l "$root/usr/bin/kestrode" |
    sed -n 's/.*interpreter: \(.*\)\]/\1/p')
cp -L "$runtime/${interp##*/}" "$root$interp"

(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) >"$out"
rm -rf "$root"
