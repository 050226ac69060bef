#!/usr/bin/env bash
# The guest of make test-service: a Debian arm64 system with systemd as PID 1,
# built from Debian's packages with mmdebstrap, as an ext4 image with its
# kernel and initrd beside it. Kept in CACHE/KEY, KEY a hash of what it is
# built from (this script, the package list and options, the host's apt
# sources), and built only when that is missing.
#   tests/service/image.sh CACHE    prints the directory holding
#                                   root.img, vmlinuz and initrd.img
# The arm64 maintainer scripts run under qemu-aarch64 registered in a
# binfmt_misc of a private user namespace: nothing is registered on the host.
set -euo pipefail
exec 3>&1 1>&2  # the tools' chatter to stderr; only the folder to stdout
cache=$1
packages=systemd,systemd-sysv,udev,kmod,linux-image-arm64,initramfs-tools,systemd-journal-remote
sources=$(cat /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null || true)
key=$( { cat "$0"; echo "$packages"; echo "$sources"; } | sha256sum | cut -c1-16)
out=$cache/$key
if [ -f "$out/done" ]; then echo "$out" >&3; exit 0; fi
[ "$(id -u)" = 0 ] || { echo "image: needs root (a user namespace mapping 0-65535)" >&2; exit 1; }
mkdir -p "$cache"
# The previous keys' images are outdated; one image is kept.
find "$cache" -mindepth 1 -maxdepth 1 ! -name "$key" -exec rm -rf {} +
work=$out.tmp
rm -rf "$out" "$work"
mkdir -p "$work"
echo "image: building $out (mmdebstrap, several minutes)"

# deb822 sources of the host, one "deb URI SUITE COMPONENTS" line each.
mirrors() {
    awk '/^URIs:/ {u=$2} /^Suites:/ {$1=""; s=$0} /^Components:/ {$1=""; c=$0}
         /^$/ {if (u) for (i = split(s, a, " "); i; i--) print "deb " u " " a[i] c; u=""}
         END {if (u) for (i = split(s, a, " "); i; i--) print "deb " u " " a[i] c}' \
        /etc/apt/sources.list.d/*.sources 2>/dev/null
    grep -h '^deb ' /etc/apt/sources.list 2>/dev/null || true
}
mirrors >"$work/sources.list"
[ -s "$work/sources.list" ] || { echo "image: no apt sources on the host" >&2; exit 1; }

# The one static emulator of the host's qemu-user-static package, unpacked.
(cd "$work" && apt-get download -qq -o APT::Sandbox::User=root qemu-user-static >/dev/null 2>&1)
dpkg-deb --fsys-tarfile "$work"/qemu-user-static_*.deb |
    tar -x -C "$work" ./usr/bin/qemu-aarch64-static
rm -f "$work"/qemu-user-static_*.deb

# Runs in the new namespaces, as root of the user namespace.
cat >"$work/inside.sh" <<'EOF'
set -eu
work=$1 packages=$2
mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
magic='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
printf ':qemu-aarch64:M::%s:%s:%s:F\n' "$magic" "$mask" "$work/usr/bin/qemu-aarch64-static" \
    >/proc/sys/fs/binfmt_misc/register
mmdebstrap --mode=unshare --variant=minbase --arch=arm64 --include="$packages" \
    --setup-hook='mkdir -p "$1/etc/initramfs-tools/conf.d" "$1/etc/initramfs-tools/hooks"' \
    --setup-hook='printf "MODULES=list\nCOMPRESS=gzip\n" >"$1/etc/initramfs-tools/conf.d/guest"' \
    --setup-hook='printf "%s\n" "#!/bin/sh" "[ \"\$1\" = prereqs ] && exit 0" \
        ". /usr/share/initramfs-tools/hook-functions" "force_load virtio_pci" \
        "force_load virtio_blk" "force_load ext4" >"$1/etc/initramfs-tools/hooks/guest"' \
    --setup-hook='chmod 755 "$1/etc/initramfs-tools/hooks/guest"' \
    --customize-hook='echo guest >"$1/etc/hostname"' \
    --customize-hook='echo 5e9d0c1a3f2b4c6d8e7f9a0b1c2d3e4f >"$1/etc/machine-id"' \
    --customize-hook='mkdir -p "$1/var/log/journal"' \
    --customize-hook='d="$1/etc/systemd/system/serial-getty@ttyAMA0.service.d"; mkdir -p "$d";
        printf "%s\n" "[Service]" "ExecStart=" \
        "ExecStart=-/sbin/agetty --autologin root --noclear --keep-baud 115200 %I dumb" >"$d/root.conf"' \
    --customize-hook='rm -f "$1"/var/cache/apt/archives/*.deb' \
    bookworm "$work/tree" "$work/sources.list"
EOF
# The maps are written from here, by root: 0-65535 stay themselves inside.
mkfifo "$work/go"
unshare --user --mount --propagation private -- \
    sh -c 'read -r _ <"$1/go" && exec sh "$1/inside.sh" "$@"' sh "$work" "$packages" &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    [ "$(readlink /proc/$pid/ns/user)" != "$(readlink /proc/self/ns/user)" ] && break
    sleep 0.05
done
echo '0 0 65536' >/proc/$pid/uid_map
echo '0 0 65536' >/proc/$pid/gid_map
echo go >"$work/go"
wait $pid
trap - EXIT

cp "$work"/tree/boot/vmlinuz-* "$work/vmlinuz"
cp "$work"/tree/boot/initrd.img-* "$work/initrd.img"
mkfs.ext4 -q -L guest -d "$work/tree" "$work/root.img" 1536M
rm -rf "$work/tree" "$work/sources.list" "$work/usr" "$work/inside.sh" "$work/go"
touch "$work/done"
mv "$work" "$out"
echo "$out" >&3
