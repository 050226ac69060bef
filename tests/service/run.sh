#!/usr/bin/env bash
# make test-service: the arm64 kestrode package installed with apt in a
# Debian arm64 guest with systemd as PID 1 under qemu-system-aarch64 (TCG),
# kestrode@.service run there as users run it. One "PASS name" or
# "FAIL name: why" line per behaviour; the status is 1 when any failed.
#   tests/service/run.sh DEB SIM WORK CACHE OLD PREV
# DEB the arm64 kestrode package, SIM the host's kestrode-sim, WORK a folder
# of our own, CACHE where the guest's image is kept between runs, OLD and
# PREV the arm64 packages of 1.2.0 and of the release before (1.3.0): PREV
# is installed over OLD, DEB over PREV.
#
# The instrument is a kestrode-sim --attach behind a PCI 16550 (guest ttyS1)
# and another behind a USB adapter (qemu-xhci + usb-serial, guest ttyUSB0),
# pulled and plugged back over QMP. The host types on the guest's console
# (tests/system/console.sh) and runs tests/service/guest.sh there as "g".
# The guest's one way out is QEMU's user network with restrict=on and one
# guestfwd rule, to a systemd-journal-remote of this script on 127.0.0.1.
# Everything stops by itself: every wait has a limit, QEMU runs under
# timeout, the simulators end with this script or with QEMU.
set -euo pipefail
export LC_ALL=C
deb=$1 sim=$2 work=$3 cache=$4 olddeb=$5 prevdeb=$6
here=$(cd "$(dirname "$0")" && pwd)
[ -f "$deb" ] || { echo "test-service: no arm64 package: '$deb'" >&2; exit 1; }
[ -f "$olddeb" ] || { echo "test-service: no arm64 package of 1.2.0: '$olddeb'" >&2; exit 1; }
[ -f "$prevdeb" ] || { echo "test-service: no arm64 package of the release before: '$prevdeb'" >&2; exit 1; }
REMOTE=/lib/systemd/systemd-journal-remote
[ -x "$REMOTE" ] && command -v socat >/dev/null ||
    { echo "test-service: needs systemd-journal-remote and socat" >&2; exit 1; }
QEMU_SECONDS=${QEMU_SECONDS:-1020}
RUN=$work/run
CONSOLE=$RUN/console
. "$here/../system/console.sh"
. "$here/common.sh"
FAILED=0

prepare() {
    rm -rf "$RUN"
    freePort
    mkdir -p "$RUN/t"
    IMAGE=$(timeout 600 "$here/image.sh" "$cache") || fail "no guest image"
    cp "$deb" "$RUN/t/"
    mkdir -p "$RUN/t/old" "$RUN/t/prev" "$RUN/remote"
    cp "$olddeb" "$RUN/t/old/"
    cp "$prevdeb" "$RUN/t/prev/"
    install -m 755 "$here/guest.sh" "$RUN/t/g"
    cp "$here/entries.awk" "$RUN/t/"
    cp "$here/../../docs/examples/kestrode-fetch.service" "$here/../../docs/examples/kestrode-fetch.timer" "$RUN/t/"
    head -c 20000 /dev/urandom >"$RUN/t/dl.bin"
    head -c 1048576 /dev/urandom >"$RUN/t/big.bin"
    head -c 60000 /dev/urandom >"$RUN/t/up.dat"
    echo "elsewhere" >"$RUN/t/link.bin"
    tar -cf "$RUN/payload.tar" -C "$RUN" t
    mkfifo "$RUN/con.in" "$RUN/con.out" "$RUN/qmp.in" "$RUN/qmp.out"
    : >"$CONSOLE"
    : >"$RUN/qmp.log"
    step "image $IMAGE"
}

# The guest's one way out: the central journal at CENTRAL (fleet below).
bootWithNet() {
    BOOT_EXTRA=(-netdev "user,id=net,restrict=on,guestfwd=tcp:$CENTRAL-cmd:socat -lf $RUN/socat.log STDIO TCP:127.0.0.1:$PORT"
        -device virtio-net-pci,netdev=net,romfile=,addr=7)
    boot
}

# installOld: the release before, whose service ran as a dynamic user.
installOld() {
    enter "tar -xf /dev/vdb -C /root"
    expect 'root@guest:~# ' 30
    LIMIT=120 guest old
    check "install-old" "apt-get install ./old/$(basename "$olddeb"): $(val version)" test -n "$(val version)"
}

# upgrade PORT: 1.3.0, then the package, installed over 1.2.0 while PORT's
# instance runs; its files move out of /var/log/private, readable by adm;
# the age rule of 1.3.0 goes.
upgrade() {
    guest private "$1"
    local private link
    private=$(val private) link=$(val link)
    LIMIT=120 guest prev
    local prev=$(val version) rules=$(val agerules)
    check install-prev "apt-get install ./$(basename "$prevdeb"): $prev, $rules age rules for /var/log/kestrode (one of the administrator's)" \
        test -n "$prev" -a "$rules" -ge 2
    LIMIT=120 guest install
    local version
    version=$(val version)
    check install "apt-get install ./$(basename "$deb"): $version" test -n "$version"
    guest upgraded "$1"
    check upgrade "$version over $prev over 1.2.0: ${private% *} ($link) now $(val dir | cut -d' ' -f1) $(val dir | cut -d' ' -f2-), $(grep '^== file ' <<<"$OUT" | cut -d' ' -f3- | paste -sd';'), run by $(val user)" \
        eval '[[ "$private" == */private/kestrode/* ]] && [ "$(val private)" = gone ] &&
            [ "$(val user)" = kestrode ] && [ "$(val dir | cut -d" " -f2-)" = "kestrode:adm drwxr-s---" ] &&
            [ "$(grep -c "^== file .* kestrode:adm -rw-r-----$" <<<"$OUT")" = 2 ]'
    check age-rule "tmpfiles rules for /var/log/kestrode after the upgrade: $(val agerules) by age, $(val excludes) exclusions; the administrator's copy set aside: $(val setaside); unit $(val type), --log-keep $(val keep)" \
        test "$(val agerules)" = 0 -a "$(val excludes)" = 0 -a "$(val setaside)" = yes \
        -a "$(val type)" = "notify 30s" -a "$(val keep)" = 400
}

# readable PORT NAME: the log and the received file NAME, to adm alone.
readable() {
    guest access "$1" "$2"
    check access "$(grep '^== owner ' <<<"$OUT" | cut -d' ' -f3- | paste -sd';'); read by a member of adm: $(grep -c '^== adm reads' <<<"$OUT") of 2, by another user: $((2 - $(grep -c '^== other denied' <<<"$OUT"))) of 2; kestrode in: $(val groups)" \
        eval '[ "$(grep -c "^== adm reads" <<<"$OUT")" = 2 ] && [ "$(grep -c "^== other denied" <<<"$OUT")" = 2 ] &&
            [ "$(val groups)" = "kestrode dialout" ]'
}

# retention PORT NAME: systemd-tmpfiles --clean removes nothing of the
# service's, however old (the service keeps its newest day files by count).
retention() {
    guest retention "$1" "$2"
    check retention "systemd-tmpfiles --clean, files last written 500 days ago: removed $(grep '^== removed ' <<<"$OUT" | cut -d' ' -f3- | paste -sd' '), kept $(grep '^== kept ' <<<"$OUT" | cut -d' ' -f3- | paste -sd' ')" \
        eval '! grep -q "^== removed " <<<"$OUT" && [ "$(grep -c "^== kept " <<<"$OUT")" = 5 ]'
}

# startReady PORT: systemctl start returns once the port is locked and the
# log open; then its line in systemctl status.
startReady() {
    local port=$1
    guest ready "$1"
    check ready "systemctl start $1 returned after $(val took) with the port locked and the log open: $(val ready), $(val state)" \
        test "$(val ready)" = "$1" -a "$(val state)" = active
    guest status "$1"
    check status-line "systemctl status: $(val status)" \
        eval '[[ "$(val status)" =~ ^Status:\ \"logging\ /dev/$port\ to\ /var/log/kestrode/$port/kestrode-[0-9]{8}\.log:\ [0-9]+\ lines\ today,\ the\ last\ [0-9]+\ s\ ago\;\ 0\ consoles\ attached\"$ ]]'
}

# watchdog PORT SIM NEW: the service stopped with SIGSTOP is ended by
# systemd's watchdog and restarted; it logs again (the instrument SIM is
# stopped while the port is away and plays on as NEW).
watchdog() {
    guest freeze "$1"
    stopSim "$2"
    LIMIT=120 guest thawed "$1"
    local restarted=$(val restarted) line=$(val watchdog) result=$(val result) cores=$(val cores)
    guest mark "$1"
    startSim "$3" "$uartPty"
    guest back "$1"
    check watchdog "frozen with SIGSTOP: restarted after $restarted; journal: \"$line\", $result; readings again: $(val resumed) s; core files in the log folder: $cores" \
        eval '[ -n "$restarted" ] && [[ "$line" == *"Watchdog timeout"* ]] && [ -n "$(val resumed)" ] &&
            [ "$result" = "Failed with result '"'watchdog'"'" ] && [ "$cores" = 0 ]'
}

# The central journal: systemd-journal-remote on the host's loopback, which the
# guest reaches at CENTRAL through QEMU's guestfwd (a socat per connection).
# The socat's standard error is the guest's connection too: its messages go
# to a file (-lf), or a warning would land in the HTTP reply.
CENTRAL=10.0.2.100:19532
PORT=
listening() { (exec 5<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; }
freePort() {
    for _ in $(seq 50); do
        PORT=$((20000 + RANDOM % 20000))
        listening || return 0
    done
    fail "no free port on 127.0.0.1"
}
startReceiver() {
    "$REMOTE" --listen-http="127.0.0.1:$PORT" --output="$RUN/remote/" >>"$RUN/remote.err" 2>&1 &
    receiverPid=$!
    pids+=($!)
    for _ in $(seq 50); do listening && break; sleep 0.1; done
    listening || fail "systemd-journal-remote does not listen on 127.0.0.1:$PORT"
    step "systemd-journal-remote on 127.0.0.1:$PORT"
}
stopReceiver() {
    kill "$receiverPid"
    wait "$receiverPid" 2>/dev/null || true
    step "systemd-journal-remote stopped"
}
# central UNIT: the central journal's entries of UNIT from the guest (entries.awk).
central() {
    journalctl --directory="$RUN/remote" -u "$1" _HOSTNAME=guest -o export --output-fields=MESSAGE 2>/dev/null |
        awk -f "$here/entries.awk" | grep -a ' PM2\.5=' || true
}
centralHas() { (($(central "$1" | sort -u | wc -l) >= $2)); }
# until_true SECONDS COMMAND...: polls COMMAND, false once SECONDS have passed.
until_true() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < end)) || return 1
        sleep 0.5
    done
}
arrived() { [ -z "$(comm -23 "$RUN/guest.entries" <(central "$1" | sort -u))" ]; }

# fleet PORT: journal-upload sends PORT's readings to the central journal; the
# receiver is away for a minute while readings flow; every reading arrives.
fleet() {
    local unit="kestrode@$1.service" start before
    startReceiver
    LIMIT=200 guest upload "http://$CENTRAL"
    local uploaded=$(val upload)
    start=$SECONDS
    until_true 60 centralHas "$unit" 3
    check upload "journal-upload $uploaded; $(central "$unit" | sort -u | wc -l) readings of $unit from _HOSTNAME=guest in the central journal" \
        eval '[[ "$uploaded" == "active, cursor saved"* ]] && centralHas "$unit" 3'
    stopReceiver
    before=$(central "$unit" | sort -u | wc -l)
    sleep 60
    guest uploaded
    local restarts=$(val restarts)
    startReceiver
    sleep 5
    guest entries "$1"
    section entries | grep -a ' PM2\.5=' | sort -u >"$RUN/guest.entries"
    start=$SECONDS
    until_true 60 arrived "$unit" || true
    # It may have started once more between the count above and the
    # receiver's return: each start sends its last entry again.
    guest uploaded
    local starts=$(($(val restarts) + 1))
    # Lines read in one go share their time stamps: an entry is its boot id,
    # time stamps and message together.
    local all copies
    all=$(journalctl --directory="$RUN/remote" -o export --output-fields=MESSAGE | awk -f "$here/entries.awk")
    copies=$(($(wc -l <<<"$all") - $(sort -u <<<"$all" | wc -l)))
    check outage "receiver away 60 s (journal-upload restarted $restarts times): all $(wc -l <"$RUN/guest.entries") readings journaled in the guest arrived ($before before the outage), $((SECONDS - start)) s after its return; $copies entries sent twice (one at most per start of journal-upload)" \
        eval 'arrived "$unit" && [ "$(wc -l <"$RUN/guest.entries")" -ge $((before + 50)) ] && [ "$restarts" -ge 5 ] &&
            [ "$copies" -le "$starts" ]'
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

# A user in dialout looks in and fetches a file while the service logs
# (sameReadings then finds no gap in the log across the visit); one outside
# dialout is refused.
attachVisit() {
    LIMIT=90 guest attach ttyS1 dl.bin
    local outsider
    outsider=$(val outsider)
    check attach "kestrode --attach ttyS1 in dialout: $(val seen) readings seen, ls $(val ls), status $(val attached); outside: $outsider" \
        test "$(val attached)" = 0 -a "$(val greeting)" = yes -a "$(val seen)" -gt 0 \
        -a "$(val ls)" = answered -a "$(val journal)" = typed -a "${outsider%% *}" = 77
    check attach-download "@download dl.bin through the attached console: in the watcher's own folder, its own, byte for byte; none in the service's" \
        test "$(val fetched)" = dl.bin
    check attach-upload "@upload up.dat through the attached console while the instrument measures on: stored byte for byte (every reading in the log: journal, below)" \
        eval 'test "$(val uploaded)" = up.dat && cmp -s "$RUN/t/up.dat" "$RUN/uart.store/up.dat"'
    check status "kestrode --status ttyS1 as the watcher: status $(val status), log file $(val statuslog); journalled attaches of the watcher: $(val attaches) (the look left none)" \
        test "$(val status)" = 0 -a "$(dirname "$(val statuslog)")" = /var/log/kestrode/ttyS1 \
        -a "$(val attaches)" = 1
}

# The README's nightly-fetch timer, installed for a user in dialout and
# started by hand: the file in that user's folder, the visit in the journal.
nightlyFetch() {
    LIMIT=90 guest nightly ttyS1 dl.bin
    check nightly "kestrode-fetch.service as a user in dialout: status $(val fetch), stored as $(val stored), timer $(val timer), journalled: $(val journal)" \
        test "$(val fetch)" = "0 success" -a "$(val stored)" = nightly -a "$(val timer)" = active \
        -a "$(val journal)" = attached
}

# A watcher's console (kestrode --wait 300 --attach in the background)
# rides through a restart of the service and, after unplug, through the
# adapter pulled and plugged back: readings again after each, nothing re-run.
rideStart() {
    guest ride ttyUSB0
    check ride "the watcher's console attached in the background (process $(val pid))" \
        test "$(val greeting)" = yes -a -n "$(val pid)"
    guest restart ttyUSB0
    LIMIT=180 guest rode ttyUSB0 1
    check ride-restart "systemctl restart: \"$(val why)\", then \"$(val line)\", readings again, the same console" \
        test -n "$(val rode)" -a "$(val again)" = 1 -a -n "$(val alive)" -a "$(val waited)" -ge 1 \
        -a "$(val why)" = "> the kestrode on /dev/ttyUSB0 stopped"
}

rideEnd() {
    LIMIT=180 guest rode ttyUSB0 2 end
    # The port's hang-up or systemd's stop for the vanished device: whichever
    # comes first says why.
    check ride-replug "adapter pulled and plugged back: \"$(val why)\", then \"$(val line)\", readings again, the same console; @exit ended it" \
        eval '[ -n "$(val rode)" ] && [ "$(val again)" = 2 ] && [ -n "$(val alive)" ] && [ "$(val ended)" = yes ] &&
            [[ "$(val why)" =~ ^"> the kestrode on /dev/ttyUSB0 "(stopped|"lost its serial device")$ ]]' 
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
bootWithNet
installOld
guest enable ttyUSB0
check wait "kestrode@ttyUSB0 enabled without its adapter: $(val state), waiting" \
    test "$(val state)" = activating -o "$(val state)" = inactive
startUnit ttyS1
upgrade ttyS1
# It measures on while a file is sent to it: a console's upload must leave
# every reading in the log.
SIM_ARGS=--measure-in-uploads startSim uart "$uartPty"
readings ttyS1 3
startUnit ttyUSB0 usb "$usbPty"
readings ttyUSB0 3
LIMIT=120 guest byid ttyUSB0
check byid "$(val link): $(val instance) logs to $(val byid)" test -n "$(val byid)"
attachVisit
nightlyFetch
transfers
readable ttyS1 dl.bin
retention ttyS1 dl.bin
sameReadings
startReady ttyS1
rideStart
unplug
rideEnd
rebootGuest
sandbox
fleet ttyS1
watchdog ttyS1 uart2 uart3
check echo "no \"unknown command\" answer from the UART's instrument at any start" \
    eval '! grep -a "unknown command" "$RUN/uart.sent" "$RUN/uart2.sent" "$RUN/uart3.sent" >&2'
enter "poweroff"
for _ in $(seq 300); do kill -0 "$qemuPid" 2>/dev/null || break; sleep 0.1; done
check poweroff "the guest powered off" eval '! kill -0 "$qemuPid" 2>/dev/null'
step "whole run $(elapsed) s"
exit "$FAILED"
