#!/usr/bin/env bash
# make test-aarch64-system: the arm64 kestrode package on an AArch64 Linux
# kernel under qemu-system-aarch64 (TCG), with the instrument behind a PCI
# 16550 UART that the guest's own 8250 driver serves.
#   tests/system/run.sh DEB SIM WORK
# DEB the arm64 kestrode package, SIM the host's kestrode-sim, WORK a folder
# of our own (the kernel and busybox stay cached in WORK/cache).
#
# The guest has two such UARTs, pinned to PCI slots so they become ttyS0
# (nothing behind it) and ttyS1 (a pseudo-terminal whose master QEMU holds;
# kestrode-sim --attach takes its slave). kestrode runs on the guest's
# console, ttyAMA0, which is a FIFO pair here: this script types there and
# reads what kestrode shows, as a user would. Everything stops by itself:
# every wait has a limit, QEMU runs under timeout, the guest has a watchdog,
# the simulators end with this script or with QEMU.
set -euo pipefail
export LC_ALL=C
deb=$1 sim=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
[ -f "$deb" ] || { echo "system test: no arm64 package: '$deb'" >&2; exit 1; }
GUEST_SECONDS=${GUEST_SECONDS:-170}  # the guest's watchdog
QEMU_SECONDS=$((GUEST_SECONDS + 10))
RUN=$work/run
CONSOLE=$RUN/console
. "$here/console.sh"

pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 1' TERM INT HUP

# The instrument: startSim N [FAULTS...], its transcript in $RUN/sentN.
startSim() {
    local n=$1
    shift
    "$sim" --attach "$pty" --storage "$RUN/store" --period 0 --seed "$n" --verbose \
        --transcript "$RUN/sent$n" --exit-with $$ "$@" >/dev/null 2>"$RUN/sim$n.err" &
    simPid=$!
    pids+=("$simPid")
    step "kestrode-sim --attach $pty $*"
}

stopSim() {
    kill "$simPid"
    for _ in $(seq 50); do kill -0 "$simPid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$simPid" 2>/dev/null || true
    wait "$simPid" || true
}

prepare() {
    rm -rf "$RUN"
    mkdir -p "$RUN/data" "$RUN/store"
    "$here/fetch.sh" "$work/cache"
    head -c 65536 /dev/urandom >"$RUN/data/clean.bin"
    head -c 65536 /dev/urandom >"$RUN/data/faulty.bin"
    "$here/initramfs.sh" "$work/cache" "$deb" "$RUN/data" "$RUN/initramfs.cpio"
    mkfifo "$RUN/con.in" "$RUN/con.out"
    : >"$CONSOLE"
}

boot() {
    bootStart=$EPOCHREALTIME
    timeout -k 5 "$QEMU_SECONDS" qemu-system-aarch64 -M virt -cpu cortex-a57 -m 512 \
        -nodefaults -display none -no-reboot \
        -kernel "$work/cache/vmlinuz" -initrd "$RUN/initramfs.cpio" \
        -append "console=ttyAMA0 panic=-1 quiet kestrode.watchdog=$GUEST_SECONDS" \
        -chardev pipe,id=con,path="$RUN/con" -serial chardev:con \
        -chardev null,id=spare -device pci-serial,chardev=spare,addr=2 \
        -chardev pty,id=sim -device pci-serial,chardev=sim,addr=3 \
        >"$RUN/qemu.out" 2>&1 &
    qemuPid=$!
    pids+=("$qemuPid")
    cat "$RUN/con.out" >>"$CONSOLE" &
    pids+=($!)
    exec 3<>"$RUN/con.in"
    for _ in $(seq 100); do
        pty=$(sed -n 's/^char device redirected to \(\/dev\/pts\/[0-9]*\) (label sim).*/\1/p' \
            "$RUN/qemu.out")
        [ -n "$pty" ] && break
        sleep 0.1
    done
    [ -n "$pty" ] || fail "QEMU named no pseudo-terminal: $(cat "$RUN/qemu.out")"
    expect '== guest up' 60
    bootSeconds=$(elapsed "$bootStart")
    step "guest up after $bootSeconds s; its UART ttyS1 is $pty here"
    expect '== serial ports'
    for port in '0: uart:16550A' '1: uart:16550A' '2: uart:unknown' '3: uart:unknown'; do
        expect "\n$port "
    done
}

# No argument: the four ttyS entries of the guest's /dev in a menu.
discovery() {
    expect ' @@@ starting kestrode @@@ ' 30
    local from=$SEEN
    expect 'Which one is the device \[1~4\]\? : '
    local menu
    menu=$(shown "$from" | tr -d '\r' | grep -a '^[0-9]\. /dev/ttyS')
    [ "$(echo "$menu" | sed 's/^[0-9]\. //' | sort | tr '\n' ' ')" = \
        "/dev/ttyS0 /dev/ttyS1 /dev/ttyS2 /dev/ttyS3 " ] || fail "menu: $menu"
    enter "$(echo "$menu" | sed -n 's|^\([0-9]\)\. /dev/ttyS1$|\1|p')"
    expect 'Serial device name: /dev/ttyS1\r?\n'
    expect 'Local logging file : /work\\kestrode-\d{8}\.log'
}

# The banner answered with the time. The first line end of the run sends
# the time as well: banner 2 then, banner 1 later.
banner() {
    expect '# OLM-inside Air Monitor\r' 20
    for _ in $(seq "$1"); do expect '# clock set to [^\r]*'; done
}

clock() {
    enter date
    expect '(?<=\n)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(?= UTC)'
    local drift=$(($(date -u -d "$MATCH" +%s) - $(date +%s)))
    step "the instrument's clock is $drift s off the host's"
    ((drift >= -3 && drift <= 3)) || fail "instrument clock $MATCH is $drift s off"
    enter @settime
    expect '# settime is successful'
    expect '# clock set to [^\r]*'
    enter @showtime
    expect '# printing each line with the timestamp'
    enter date
    expect '\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC'
    enter @showtime
    expect '# printing each line without the timestamp'
}

# roundTrip NAME: uploaded from the guest's /data, stored by the instrument
# byte for byte, then downloaded into the guest's /work (compared there).
roundTrip() {
    enter "@upload /data/$1"
    expect '> upload started'
    expect '> uploading is successfully finished' 120
    expect "# stored $1, 65536 bytes"
    cmp "$RUN/data/$1" "$RUN/store/$1" || fail "$1 stored differs from the guest's"
    enter "@download $1"
    expect '> receiving a file'
    expect '> File transfer is successful' 120
    expect "# sent $1, 65536 bytes"
}

# "ls", and its whole answer shown, prompt included: nothing is left on the
# way when the instrument is then switched off.
listed() {
    enter ls
    expect "# $1\r*\n\\$ "
}

scenario() {
    discovery
    startSim 1
    banner 2
    clock
    roundTrip clean.bin
    enter @clear
    expect '> clearing command'
    listed "1 file, 65536 bytes"
    stopSim
    startSim 2 --nak-every 5 --corrupt-every 7
    banner 1
    roundTrip faulty.bin
    grep -q '> NACK received' "$CONSOLE" || fail "no @NAK met during the upload"
    grep -q 'rejected by the host' "$RUN/sim2.err" || fail "kestrode rejected no damaged frame"
    listed "2 files, 131072 bytes"
    stopSim
    enter @exit
    expect '== kestrode exit status \d+'
    [ "$MATCH" = "== kestrode exit status 0" ] || fail "$MATCH"
    expect '== guest done' 30
    local status=0
    wait "$qemuPid" || status=$?
    [ "$status" = 0 ] || fail "QEMU ended with status $status"
    grep -q 'reboot: Power down' "$CONSOLE" || fail "the guest did not power off"
}

# Between the line "== NAME" and the next "== " line of the console.
section() { tr -d '\r' <"$CONSOLE" | sed -n "/^== $1/,/^== /p" | sed '1d;$d'; }

# The attributes kestrode set, as the guest's UART driver reported them.
termios() {
    local t
    t=$(section termios)
    echo "$t" | grep -qx 'port /dev/ttyS1' || fail "termios: $t"
    echo "$t" | grep -qF 'speed 115200 baud;' || fail "not 115200 in and out: $t"
    echo "$t" | grep -qF 'min = 1; time = 0;' || fail "not VMIN 1 VTIME 0: $t"
    local flag words
    words=$(echo "$t" | tr -s ' ;' '\n\n')
    for flag in cs8 -parenb -cstopb cread clocal -crtscts -ixon -ixoff ignpar -icrnl \
        -opost -isig -icanon -iexten -echo; do
        echo "$words" | grep -qx -- "$flag" || fail "termios without $flag: $t"
    done
    step "termios on the UART: 115200 8N1, raw, no flow control, VMIN 1 VTIME 0"
}

# The guest's log against what the simulators sent: every line the
# instrument ended, but those kestrode keeps out of its log (transfer lines,
# the banner, empty lines), each stored with CR LF after its own CR. A prompt
# "$ " is left out on both sides: the line end that closes it may be read by
# a transfer, and the prompt then begins the next line logged.
withoutPrompts() { sed 's/^\(\$ \)*//' | grep -av $'^\r$'; }
logFile() {
    section 'log kestrode-' | base64 -d >"$RUN/guest.log" || fail "no log from the guest"
    cat "$RUN/sent1" "$RUN/sent2" >"$RUN/sent"
    [ -z "$(tail -c 1 "$RUN/sent")" ] || sed -i '$d' "$RUN/sent"  # a line not ended
    grep -av -e '^@' -e '^# OLM-inside Air Monitor' -e '^$' "$RUN/sent" |
        withoutPrompts >"$RUN/expected.log"
    grep -qav $'\r\r$' "$RUN/guest.log" && fail "log lines not ended CR CR LF"
    sed 's/\r$//' "$RUN/guest.log" | withoutPrompts | diff -u "$RUN/expected.log" - >&2 ||
        fail "the log differs from what the instrument sent"
    step "log: $(wc -l <"$RUN/guest.log") lines, as the instrument sent them"
    for f in clean.bin faulty.bin; do
        grep -q "^== download $f same" <(tr -d '\r' <"$CONSOLE") || fail "$f downloaded differs"
    done
    step "uploads and downloads byte for byte"
}

step "preparing the guest"
prepare
boot
scenario
termios
logFile
step "passed: boot $bootSeconds s, whole run $(elapsed) s"
