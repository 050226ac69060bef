#!/usr/bin/env bash
# make test-powercut: the power is cut under kestrode@ttyS1 in the arm64
# guest of make test-service, several times, while the instrument sends a
# reading every 0.1 s. QEMU itself is killed (kill -9); the next boot uses
# the same disk, a qcow2 overlay of the cached image, which survives that
# like a disk whose volatile cache honours the guest's flushes. After each
# boot the log is checked against what the instrument sent
# (tests/service/powercut-check.pl); the journal's figures are printed only,
# as journald follows the kernel's writeback.
#   tests/service/powercut.sh DEB SIM WORK CACHE
# as tests/service/run.sh. CUTS: seconds of logging before each cut
# (default "12 31 47"); one "PASS cut N" or "FAIL cut N" line per cut.
set -euo pipefail
export LC_ALL=C
deb=$1 sim=$2 work=$3 cache=$4
here=$(cd "$(dirname "$0")" && pwd)
[ -f "$deb" ] || { echo "test-powercut: no arm64 package: '$deb'" >&2; exit 1; }
command -v qemu-img >/dev/null || { echo "test-powercut: no qemu-img (qemu-utils)" >&2; exit 1; }
QEMU_SECONDS=${QEMU_SECONDS:-600}
CUTS=${CUTS:-12 31 47}
PERIOD=0.1  # seconds between readings
SYNC=1      # the unit's --log-sync (kestrode's default)
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
    tar -cf "$RUN/payload.tar" -C "$RUN" t
    # The cached image is only read; what the guest writes survives QEMU's end.
    qemu-img create -q -f qcow2 -F raw -b "$IMAGE/root.img" "$RUN/overlay.qcow2"
    mkfifo "$RUN/con.in" "$RUN/con.out" "$RUN/qmp.in" "$RUN/qmp.out"
    : >"$CONSOLE"
    : >"$RUN/qmp.log"
    ROOT_DRIVE="file=$RUN/overlay.qcow2,format=qcow2,if=none,id=root"
    step "image $IMAGE, overlay $RUN/overlay.qcow2"
}

# bootNth N: boot N on the overlay, with a fresh scratch disk for its results;
# the payload unpacked again (files written shortly before a cut come back
# empty), for boot 0 by installPackage.
bootNth() {
    truncate -s 16M "$RUN/scratch$1.img"
    BOOT_EXTRA=(-pidfile "$RUN/qemu.pid"
        -drive "file=$RUN/scratch$1.img,format=raw,if=none,id=scratch"
        -device virtio-blk-pci,drive=scratch,addr=7)
    # A boot after a cut replays the file systems' journals: more time.
    LOGIN_SECONDS=$(($1 > 0 ? 180 : 120)) boot
    [ "$1" = 0 ] && return
    enter "tar -xf /dev/vdb -C /root"
    expect 'root@guest:~# ' 30
}

# instrument N: the instrument of boot N, once kestrode holds the port.
instrument() {
    LIMIT=90 guest opened ttyS1
    SIM_SEED=$((100 + $1)) SIM_ARGS="--period $PERIOD" startSim "uart$1" "$uartPty"
    started[$1]=$EPOCHREALTIME
}

# cut N: the power of boot N goes, SECONDS after its instrument started.
cut() {
    local left
    left=$(awk -v s="${started[$1]}" -v n="$EPOCHREALTIME" -v w="$2" 'BEGIN { d = s + w - n; print (d > 0 ? d : 0) }')
    sleep "$left"
    kill -9 "$(cat "$RUN/qemu.pid")"
    { wait "$qemuPid"; } 2>/dev/null || true
    step "power cut $(elapsed "${started[$1]}") s after instrument $1 started"
    stopSim "uart$1"
}

# collect N: boot N's logs and journal, read from its scratch disk.
collect() {
    LIMIT=60 guest collect ttyS1
    mkdir -p "$RUN/boot$1"
    tar -xf "$RUN/scratch$1.img" -C "$RUN/boot$1"
    grep '^== warning ' <<<"$OUT" | sed 's/^== warning /    journal warning: /' || true
}

step "preparing the guest"
prepare
declare -a started
bootNth 0
installPackage
guest enable ttyS1
instrument 0
n=0
for seconds in $CUTS; do
    cut "$n" "$seconds"
    n=$((n + 1))
    bootNth "$n"
    instrument "$n"
    sleep 4  # the new boot's first lines, appended at the seam
    collect "$n"
    transcripts=()
    for ((i = 0; i <= n; i++)); do transcripts+=("$RUN/uart$i.sent"); done
    if report=$(perl "$here/powercut-check.pl" "$((n - 1))" "$PERIOD" "$SYNC" \
        "$RUN/boot$n" "${transcripts[@]}" 2>&1); then
        printf '[%6s s] PASS cut %d: %s\n' "$(elapsed)" "$n" "$report"
    else
        printf '[%6s s] FAIL cut %d: %s\n' "$(elapsed)" "$n" "$report"
        FAILED=1
    fi
done
enter "poweroff"
for _ in $(seq 300); do kill -0 "$qemuPid" 2>/dev/null || break; sleep 0.1; done
qemu-img check -q "$RUN/overlay.qcow2" && step "qemu-img check: the overlay has no errors" ||
    { step "qemu-img check found errors in the overlay"; FAILED=1; }
step "whole run $(elapsed) s"
exit "$FAILED"
