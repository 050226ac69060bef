#!/bin/sh
# make check-install (as root): installs the packages of ARCH from OLD (the
# release before) with dpkg, leaves files where its service left them, installs
# those of DIST over them, checks the unit and that the old files moved and
# are readable by adm alone, runs the installed kestrode on the installed
# kestrode-sim for one short session in the service's log directory as the
# service's account, then purges both packages and checks that nothing of
# them is left.
#   cmake/check-install.sh DIST ARCH OLD
# Any kestrode packages installed before are purged too.
set -eu
dist=${1:?usage: check-install.sh DIST ARCH OLD}
arch=${2:?usage: check-install.sh DIST ARCH OLD}
olddist=${3:?usage: check-install.sh DIST ARCH OLD}
[ "$(id -u)" = 0 ] || { echo "check-install: needs root (dpkg -i, /var/log)"; exit 1; }
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
unit=kestrode@ttyS0.service
logdir=/var/log/kestrode/ttyS1
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

# runas WHO COMMAND...: COMMAND as nobody with the supplementary groups WHO
# (adm or none), or as the service's account with its groups and umask.
runas() {
    case $1 in
    kestrode) shift; setpriv --reuid=kestrode --regid=kestrode --init-groups sh -c 'umask 027; exec "$@"' sh "$@" ;;
    adm) shift; setpriv --reuid=nobody --regid=nogroup --groups=adm "$@" ;;
    *) shift; setpriv --reuid=nobody --regid=nogroup --clear-groups "$@" ;;
    esac
}
# owned PATH MODE: PATH is kestrode:adm with MODE (ls -l letters).
owned() { [ "$(stat -c '%U:%G %A' "$1")" = "kestrode:adm $2" ]; }

echo "== install $(ls "$olddist"/kestrode_*_"$arch".deb)"
dpkg -i "$olddist"/kestrode_*_"$arch".deb "$olddist"/kestrode-sim_*_"$arch".deb
# Files its dynamic user left, as systemd keeps them: below /var/log/private,
# linked from /var/log/kestrode.
private=/var/log/private/kestrode
byid=serial/by-id/usb-X-if00-port0
mkdir -p /var/log/private "$private/ttyS0" "$private/$byid" /var/log/kestrode/serial/by-id
chmod 0700 /var/log/private
for f in "$private/ttyS0/kestrode-20250101.log" "$private/ttyS0/dl.bin" "$private/$byid/kestrode-20250102.log"; do
    echo "kept ${f##*/}" >"$f"
    chmod 0600 "$f"
done
chown -R 61234:61234 "$private"
ln -s ../private/kestrode/ttyS0 /var/log/kestrode/ttyS0
ln -s ../../../private/kestrode/$byid /var/log/kestrode/$byid
# An instance enabled by an earlier version, the way it was then.
old=/etc/systemd/system/multi-user.target.wants/kestrode@ttyS9.service
mkdir -p "${old%/*}"
ln -sf /lib/systemd/system/kestrode@.service "$old"

echo "== upgrade to $version"
dpkg -i "$dist/kestrode_${version}_$arch.deb" "$dist/kestrode-sim_${version}_$arch.deb"
getent passwd kestrode >/dev/null && id -nG kestrode | grep -qw dialout ||
    fail "no account kestrode in dialout"
! id -nG kestrode | grep -qw adm || fail "the account kestrode is in adm"
owned /var/log/kestrode drwxr-s--- || fail "/var/log/kestrode: $(stat -c '%U:%G %A' /var/log/kestrode)"
for f in ttyS0/kestrode-20250101.log ttyS0/dl.bin $byid/kestrode-20250102.log; do
    [ "$(cat "/var/log/kestrode/$f")" = "kept ${f##*/}" ] || fail "$f not kept"
    owned "/var/log/kestrode/$f" -rw-r----- || fail "$f: $(stat -c '%U:%G %A' "/var/log/kestrode/$f")"
    owned "/var/log/kestrode/${f%/*}" drwxr-s--- || fail "${f%/*}: $(stat -c '%U:%G %A' "/var/log/kestrode/${f%/*}")"
    runas adm cat "/var/log/kestrode/$f" >/dev/null || fail "adm cannot read $f"
    ! runas other cat "/var/log/kestrode/$f" >/dev/null 2>&1 || fail "a user outside adm reads $f"
done
[ ! -e "$private" ] || fail "$private left after the upgrade"
echo "the files of 1.2.0 moved to /var/log/kestrode, kestrode:adm -rw-r-----"
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

echo "== session in $logdir as kestrode"
# The directory the service runs in, made as its ExecStartPre does; the purge
# must remove it.
mkdir -p "$tmp/store"
chmod 755 "$tmp" "$tmp/store"
runas kestrode mkdir -p "$logdir"
owned "$logdir" drwxr-s--- || fail "$logdir: $(stat -c '%U:%G %A' "$logdir")"
mkfifo "$tmp/keys"
(cd "$logdir" && exec setpriv --reuid=kestrode --regid=kestrode --init-groups sh -c \
    'umask 027; exec kestrode-sim --storage "$1" --run -- kestrode' sh "$tmp/store" \
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
for f in "$logdir"/kestrode-*.log; do
    owned "$f" -rw-r----- || fail "$f: $(stat -c '%U:%G %A' "$f")"
    runas adm cat "$f" >/dev/null || fail "adm cannot read $f"
    ! runas other cat "$f" >/dev/null 2>&1 || fail "a user outside adm reads $f"
done
echo "the session's log is kestrode:adm -rw-r-----: adm reads it, others do not"

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
# The account stays, as Debian's system accounts do (its id is never handed to
# another); nothing of it may.
owner=$(find /var/log /etc /run -xdev -user kestrode 2>/dev/null | head -n 3)
[ -z "$owner" ] || fail "files of the account kestrode left after purge: $owner"
dpkg-query -W -f='${db:Status-Status}\n' kestrode kestrode-sim 2>/dev/null | grep -qv not-installed &&
    fail "dpkg still knows of the packages"
echo "check-install: installed, ran, purged; nothing left"
