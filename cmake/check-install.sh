#!/bin/sh
# make check-install (as root): installs the packages of ARCH from DIST with
# dpkg, checks the service unit, runs the installed kestrode on the installed
# kestrode-sim for one short session in the service's log directory, then
# purges both packages and checks that nothing of them is left.
#   cmake/check-install.sh DIST ARCH
# Any kestrode packages installed before are purged too.
set -eu
dist=${1:?usage: check-install.sh DIST ARCH}
arch=${2:?usage: check-install.sh DIST ARCH}
[ "$(id -u)" = 0 ] || { echo "check-install: needs root (dpkg -i, /var/log)"; exit 1; }
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
unit=kestrode@ttyS0.service
logdir=/var/log/kestrode/ttyS0
tmp=$(mktemp -d)
sim=
cleanup() {
    [ -z "$sim" ] || kill "$sim" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
    echo "check-install: $*"
    for f in "$tmp"/console "$tmp"/sim.err; do [ -s "$f" ] && { echo "== $f"; cat "$f"; }; done
    exit 1
}
# until SECONDS COMMAND...: true once COMMAND succeeds, polled.
until_true() {
    n=$(($1 * 10))
    shift
    while ! "$@"; do
        n=$((n - 1))
        [ $n -gt 0 ] || return 1
        sleep 0.1
    done
}

echo "== install"
# An instance enabled by an earlier version, the way it was then.
old=/etc/systemd/system/multi-user.target.wants/kestrode@ttyS9.service
mkdir -p "${old%/*}"
ln -sf /lib/systemd/system/kestrode@.service "$old"
dpkg -i "$dist/kestrode_${version}_$arch.deb" "$dist/kestrode-sim_${version}_$arch.deb"
dpkg -L kestrode kestrode-sim | sort -u >"$tmp/files"
man -w kestrode kestrode-sim || fail "man pages not found"

[ ! -L "$old" ] && [ -L /etc/systemd/system/dev-ttyS9.device.wants/kestrode@ttyS9.service ] ||
    fail "the instance enabled the old way was not moved to its device"

echo "== $unit"
out=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify: $out"
[ -z "$out" ] || fail "systemd-analyze verify: $out"
# Exposure in tenths: 10 is "1.0" on systemd's scale.
systemd-analyze security --offline=yes --threshold=10 "$unit" | tail -n 1 ||
    fail "the unit's sandbox is weaker than before"
systemctl enable "$unit" 2>&1
ls /etc/systemd/system/*.wants/"$unit" >/dev/null || fail "$unit not enabled"

echo "== session in $logdir"
# The directory the service runs in; the purge must remove it.
mkdir -p "$tmp/store" "$logdir"
mkfifo "$tmp/keys"
(cd "$logdir" && exec kestrode-sim --storage "$tmp/store" --run -- kestrode \
    <"$tmp/keys" >"$tmp/console" 2>"$tmp/sim.err") &
sim=$!
exec 3<>"$tmp/keys"  # read-write: opening cannot block
logged() { grep -qs 'PM2.5=' "$logdir"/kestrode-*.log; }
until_true 20 logged || fail "no reading in $logdir"
echo @exit >&3
status=0
wait "$sim" || status=$?
sim=
exec 3>&-
[ $status -eq 0 ] || fail "the session ended with status $status"
grep -q '^# OLM-inside Air Monitor' "$tmp/console" || fail "no banner on the console"
grep -h 'PM2.5=' "$logdir"/kestrode-*.log | head -n 1

echo "== purge"
dpkg --purge kestrode-sim kestrode
left=
while IFS= read -r f; do
    [ -d "$f" ] && continue  # shared directories such as /usr/bin
    [ -e "$f" ] || [ -L "$f" ] && left="$left $f"
done <"$tmp/files"
for f in /var/log/kestrode /var/log/private/kestrode /etc/systemd/system/*.wants/kestrode@* \
    /etc/systemd/system/dev-ttyS[09].device.wants; do
    [ -e "$f" ] || [ -L "$f" ] && left="$left $f"
done
[ -z "$left" ] || fail "left after purge:$left"
if getent passwd kestrode >/dev/null || getent group kestrode >/dev/null; then
    fail "a kestrode account is left after purge"
fi
dpkg-query -W -f='${db:Status-Status}\n' kestrode kestrode-sim 2>/dev/null | grep -qv not-installed &&
    fail "dpkg still knows of the packages"
echo "check-install: installed, ran, purged; nothing left"
