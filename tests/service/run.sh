#!/usr/bin/env bash
# make test-service: the arm64 kestrode package installed with apt in a
# Debian arm64 guest with systemd as PID 1 under qemu-system-aarch64 (TCG),
# kestrode@.service run there as users run it. One "PASS name" or
# "FAIL name: why" line per behaviour; the status is 1 when any failed.
#   tests/service/run.sh DEB SIM WORK CACHE
# DEB the arm64 kestrode package, SIM the host's kestrode-sim, WORK a folder
# of our own, CACHE where the guest's image is kept between runs.
#
# The instrument is a kestrode-sim --attach behind a PCI 16550 (guest ttyS1)
# and another behind a USB adapter (qemu-xhci + usb-serial, guest ttyUSB0),
# pulled and plugged back over QMP. The host types on the guest's console
# (tests/system/console.sh) and runs tests/service/guest.sh there as "g".
# Everything stops by itself: every wait has a limit, QEMU runs under
# timeout, the simulators end with this script or with QEMU.
set -euo pipefail
export LC_ALL=C
deb=$1 sim=$2 work=$3 cache=$4
here=$(cd "$(dirname "$0")" && pwd)
[ -f "$deb" ] || { echo "test-service: no arm64 package: '$deb'" >&2; exit 1; }
QEMU_SECONDS=${QEMU_SECONDS:-600}
RUN=$work/run
CONSOLE=$RUN/console
. "$here/../system/console.sh"
. "$here/common.sh"
FAILED=0

prepare() {
    rm -rf "$RUN"
    mkdir -p "$RUN/t"
    IMAGE=$(timeout 600 "$here/image.sh" "$cache") || fail "no guest image"
    cp "$deb" "$RUN/t/"
    install -m 755 "$here/guest.sh" "$RUN/t/g"
    head -c 20000 /dev/urandom >"$RUN/t/dl.bin"
    head -c 1048576 /dev/urandom >"$RUN/t/big.bin"
    echo "elsewhere" >"$RUN/t/link.bin"
    tar -cf "$RUN/payload.tar" -C "$RUN" t
    mkfifo "$RUN/con.in" "$RUN/con.out" "$RUN/qmp.in" "$RUN/qmp.out"
    : >"$CONSOLE"
    : >"$RUN/qmp.log"
    step "image $IMAGE"
}

# startUnit PORT [SIM]: enabled, SIM's instrument started, the port open.
# QEMU attaches the USB adapter only once its simulator holds the line.
startUnit() {
    guest enable "$1"
    [ -z "${2:-}" ] || startSim "$2" "$3"
    guest opened "$1"
    check "start $1" "enable --now, the port open" test "$MATCH" = "== end 0"
}

readings() {
    guest readings "$1" "$2"
    check "readings $1" "$(val readings) in the log" test "${MATCH#== end }" = 0
}

# The readings the guest logged and journaled, against what the instrument sent.
sameReadings() {
    LIMIT=60 guest dump ttyS1
    section journal | readingsOf >"$RUN/journal.readings"
    section log | readingsOf >"$RUN/log.readings"
    readingsOf <"$RUN/uart.sent" | head -n "$(wc -l <"$RUN/journal.readings")" >"$RUN/sent.readings"
    check journal "$(wc -l <"$RUN/journal.readings") readings in journalctl -u and the log, as sent" \
        eval '[ -s "$RUN/journal.readings" ] &&
            cmp -s "$RUN/journal.readings" "$RUN/sent.readings" &&
            cmp -s "$RUN/log.readings" "$RUN/sent.readings"'
}

transfers() {
    guest fetch ttyS1 dl.bin
    check download "an instrument's download in /var/log/kestrode/ttyS1, byte for byte" \
        test "$(val same)" = dl.bin
    guest link ttyS1 link.bin
    check link "a name through a planted symbolic link refused, nothing written" \
        test "$(val refused)" = link.bin
    guest stopmid ttyS1 big.bin
    local kept sent
    kept=$(val kept)
    sent=$(grep -ao 'big.bin ended by the host after [0-9]*' "$RUN/uart.sent" | grep -o '[0-9]*$' || true)
    check stop "@FIN after $sent bytes, $kept kept; temporary files $(val temp), last log byte $(val lastbyte), Result=$(val result)" \
        test "$(val result)" = success -a "$(val prefix)" = same -a "$(val temp)" = 0 \
        -a "$(val lastbyte)" = 0a -a -n "$sent" -a "$sent" = "$kept"
}

unplug() {
    guest mark ttyUSB0
    qmp '{"execute":"device_del","arguments":{"id":"adapter"}}' || fail "device_del"
    step "adapter pulled"
    guest gone ttyUSB0
    check unplug "unit stopped after $(val stopped) s; in 30 s: $(val lines) journal lines, state $(val state)" \
        test -n "$(val stopped)" -a "$(val stopped)" -le 10 -a "$(val lines)" -le 5 \
        -a "$(val state)" = "inactive 0"
    restartSim usb usb2 "$usbPty"
    local plugged=$EPOCHREALTIME
    qmp '{"execute":"device_add","arguments":{"driver":"usb-serial","id":"adapter","chardev":"usb","bus":"xhci.0"}}' ||
        fail "device_add"
    step "adapter plugged back"
    guest back ttyUSB0
    check replug "readings again $(elapsed "$plugged") s after device_add, in the same day's log" \
        test -n "$(val resumed)" -a -n "$(val samelog)"
}

rebootGuest() {
    guest mark ttyS1
    guest mark ttyUSB0
    stopSim uart
    stopSim usb2
    enter "systemctl reboot"
    loggedIn 150
    startSim uart2 "$uartPty"
    startSim usb3 "$usbPty"
    LIMIT=150 guest rebooted ttyS1 ttyUSB0
    check reboot "both instances back: $(grep -c '^== restarts .* 0$' <<<"$OUT") with NRestarts=0, $(grep -c '^== samelog' <<<"$OUT") appending to the same log" \
        test "$(grep -c '^== restarts .* 0$' <<<"$OUT")" = 2 -a "$(grep -c '^== samelog' <<<"$OUT")" = 2
}

# arm64's openat2 is 437: denied by the filter that DynamicUser brings.
sandbox() {
    guest seccomp
    local denied
    denied=$(grep '^== denied ' <<<"$OUT" | grep -v '^== denied uname ' | sort | uniq -c | tr -s ' ' || true)
    check seccomp "denials logged (a deliberate one seen); kestrode's: ${denied:-none}" \
        eval 'grep -q "^== denied uname " <<<"$OUT" && ! grep "^== denied " <<<"$OUT" | grep -qv -e "^== denied uname " -e " 437$"'
    guest lockdir ttyS1
    check lockdir "/run/lock writable by the unit's user in its namespace ($(val lockfile) LCK..ttyS1 there)" \
        test "$(val lockdir)" = writable
}

step "preparing the guest"
prepare
boot
installPackage
guest enable ttyUSB0
check wait "kestrode@ttyUSB0 enabled without its adapter: $(val state), waiting" \
    test "$(val state)" = activating -o "$(val state)" = inactive
startUnit ttyS1
startSim uart "$uartPty"
readings ttyS1 3
startUnit ttyUSB0 usb "$usbPty"
readings ttyUSB0 3
LIMIT=120 guest byid ttyUSB0
check byid "$(val link): $(val instance) logs to $(val byid)" test -n "$(val byid)"
transfers
sameReadings
startUnit ttyS1
unplug
rebootGuest
sandbox
check echo "no \"unknown command\" answer from the UART's instrument at any start" \
    eval '! grep -a "unknown command" "$RUN/uart.sent" "$RUN/uart2.sent" >&2'
enter "poweroff"
for _ in $(seq 300); do kill -0 "$qemuPid" 2>/dev/null || break; sleep 0.1; done
check poweroff "the guest powered off" eval '! kill -0 "$qemuPid" 2>/dev/null'
step "whole run $(elapsed) s"
exit "$FAILED"
