#!/bin/bash
# The guest's half of make test-service (tests/service/run.sh types
# "/root/t/g COMMAND ARGS" on the guest's console). Prints what the host
# checks as "== NAME VALUE" lines, and "== end STATUS" last. Every wait has
# a limit.
#   g install | enable PORT | opened PORT | readings PORT N | fetch PORT NAME | stopmid PORT NAME
#   g dump PORT | mark PORT | gone PORT | back PORT | byid PORT | rebooted PORT...
#   g seccomp | lockdir PORT | old | prev | private PORT | upgraded PORT | access PORT NAME
#   g retention PORT NAME | upload URL | uploaded | entries PORT | attach PORT | nightly PORT NAME
#   g ready PORT | status PORT | freeze PORT | thawed PORT
#   g ride PORT | restart PORT | rode PORT N [end]
#   g collect PORT     (powercut.sh: the logs and the journal onto /dev/vdc)
set -u
t=/root/t
cmd=$1
shift
say() { echo "== $*"; }
trap 'say end $?' EXIT

# The instance of a port: its path below /dev, escaped.
unit() {
    local e
    e=$(systemd-escape --path "/dev/$1")
    echo "kestrode@${e#dev-}.service"
}
dir() { echo "/var/log/kestrode/$1"; }
log() { ls "$(dir "$1")"/kestrode-*.log 2>/dev/null | tail -n 1; }
readings() {
    local n
    n=$(grep -ac 'PM2\.5=' "$(log "$1")" 2>/dev/null)
    echo "${n:-0}"
}
prop() { systemctl show -P "$2" "$(unit "$1")"; }

# until SECONDS COMMAND...: polls COMMAND, false once SECONDS have passed.
until_true() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < end)) || return 1
        sleep 0.2
    done
}

# kestrode has set its port up once its log is open.
logOpen() {
    local pid
    pid=$(prop "$1" MainPID)
    [ "$pid" != 0 ] && ls -l /proc/"$pid"/fd 2>/dev/null | grep -q 'kestrode-[0-9]*\.log'
}
moreReadings() { (($(readings "$1") >= $2)); }
inactive() { [ "$(prop "$1" ActiveState)" = inactive ]; }
tempFull() { [ "$(stat -c %s "$(dir "$1")"/.kestrode-*.part 2>/dev/null || echo 0)" -ge 16384 ]; }
noTemp() { ! ls -a "$(dir "$1")" | grep -q '^\.kestrode-'; }
refused() { journalctl -u "$(unit "$1")" -o cat | grep -qF "refused ($2)"; }
denied() { journalctl _TRANSPORT=kernel -o cat | grep -q "type=1326.*comm=\"$1\""; }
ask() { printf '#DOWNLOAD %s\r' "$2" >"/dev/$1"; }  # the instrument is asked behind kestrode's back

# as WHO COMMAND...: COMMAND as a user in adm, as one outside it, or as the
# service's account with its umask.
as() {
    case $1 in
    kestrode) shift; setpriv --reuid=kestrode --regid=kestrode --init-groups sh -c 'umask 027; exec "$@"' sh "$@" ;;
    *) local who=$1; shift; setpriv --reuid="$who" --regid="$who" --init-groups "$@" ;;
    esac
}
owner() { stat -c '%U:%G %A' "$1" 2>&1; }

case $cmd in
install)
    apt-get install -y -q "$t"/kestrode_*_arm64.deb </dev/null >/tmp/apt.out 2>&1 ||
        { tail -n 20 /tmp/apt.out; exit 1; }
    say version "$(dpkg-query -W -f '${Version}' kestrode)"
    ;;
old)
    apt-get install -y -q "$t"/old/kestrode_*_arm64.deb </dev/null >/tmp/apt.out 2>&1 ||
        { tail -n 20 /tmp/apt.out; exit 1; }
    say version "$(dpkg-query -W -f '${Version}' kestrode)"
    ;;
prev)
    # 1.3.0, whose day files were removed by age; an administrator changed
    # the age the way its README said.
    apt-get install -y -q "$t"/prev/kestrode_*_arm64.deb </dev/null >/tmp/apt.out 2>&1 ||
        { tail -n 20 /tmp/apt.out; exit 1; }
    sed 's/400d/90d/' /usr/lib/tmpfiles.d/kestrode-retention.conf >/etc/tmpfiles.d/kestrode-retention.conf
    say version "$(dpkg-query -W -f '${Version}' kestrode)"
    say agerules "$(systemd-tmpfiles --cat-config | grep -c '^e /var/log/kestrode/')"
    ;;
private)
    # The files the dynamic user of 1.2.0 made, as systemd keeps them.
    f=$(ls /var/log/private/kestrode/"$1"/kestrode-*.log | tail -n 1)
    say private "$f $(stat -c '%u %A' "$f")"
    say link "$(readlink "$(dir "$1")")"
    echo "kept across the upgrade" >"/var/log/private/kestrode/$1/dl-old.bin"
    chown --reference="$f" "/var/log/private/kestrode/$1/dl-old.bin"
    chmod 0600 "/var/log/private/kestrode/$1/dl-old.bin"
    ;;
upgraded)
    until_true 60 logOpen "$1" || { systemctl status "$(unit "$1")"; exit 1; }
    say dir "$(dir "$1") $(owner "$(dir "$1")")"
    for f in "$(log "$1")" "$(dir "$1")/dl-old.bin"; do say file "${f##*/} $(owner "$f")"; done
    say user "$(stat -c %U "/proc/$(prop "$1" MainPID)")"
    [ -e /var/log/private/kestrode ] || say private gone
    # The age rule of 1.3.0 is gone, the administrator's copy set aside.
    say agerules "$(systemd-tmpfiles --cat-config | grep -c '^e /var/log/kestrode/')"
    say excludes "$(systemd-tmpfiles --cat-config | grep -c '^x /var/log/kestrode/')"
    [ -e /etc/tmpfiles.d/kestrode-retention.conf.dpkg-bak ] && say setaside yes
    say type "$(prop "$1" Type) $(prop "$1" WatchdogUSec)"
    prop "$1" ExecStart | grep -q -- '--log-keep 400 ' && say keep 400
    ;;
access)
    # A collector in adm, and a user outside it.
    id collector >/dev/null 2>&1 || useradd -M -G adm collector
    id outsider >/dev/null 2>&1 || useradd -M outsider
    for f in "$(log "$1")" "$(dir "$1")/$2"; do
        say owner "${f##*/} $(owner "$f")"
        as collector cat "$f" >/dev/null && say adm reads "${f##*/}"
        as outsider cat "$f" >/dev/null 2>&1 || say other denied "${f##*/}"
    done
    say groups "$(id -nG kestrode)"
    ;;
retention)
    # An old day file, an old received file, an old temporary: made as the
    # service makes them, last written 500 days ago; no age removes any.
    d=$(dir "$1")
    for f in kestrode-20230101.log "old-$2" .kestrode-99.part; do
        as kestrode sh -c 'echo old >"$1" && touch -m -d "500 days ago" "$1"' sh "$d/$f"
    done
    systemd-tmpfiles --clean
    for f in kestrode-20230101.log "old-$2" .kestrode-99.part "$(basename "$(log "$1")")" "$2"; do
        [ -e "$d/$f" ] && say kept "$f" || say removed "$f"
    done
    ;;
upload)
    # The fleet recipe of the README: networkd for the address, the central
    # host's URL, an uploader that never gives up.
    printf '%s\n' '[Match]' 'Name=en* eth*' '[Network]' 'DHCP=ipv4' >/etc/systemd/network/50-fleet.network
    systemctl start systemd-networkd
    until_true 30 grep -q 10.0.2.15 /proc/net/fib_trie || { say net none; exit 1; }
    mkdir -p /etc/systemd/journal-upload.conf.d /etc/systemd/system/systemd-journal-upload.service.d
    printf '%s\n' '[Upload]' "URL=$1" >/etc/systemd/journal-upload.conf.d/fleet.conf
    printf '%s\n' '[Unit]' 'StartLimitIntervalSec=0' '[Service]' 'Restart=always' 'RestartSec=5' \
        >/etc/systemd/system/systemd-journal-upload.service.d/retry.conf
    systemctl daemon-reload
    systemctl enable --now systemd-journal-upload.service 2>&1
    # Its cursor is saved once the journal so far has gone: from then on a
    # restart sends only what is new (and the last entry once more).
    until_true 120 grep -qs '^LAST_CURSOR=' /var/lib/private/systemd/journal-upload/state ||
        { say upload no cursor saved; exit 1; }
    say upload "$(systemctl show -P ActiveState systemd-journal-upload), cursor saved after $SECONDS s"
    ;;
uploaded)
    # The uploader since it was set up: its restarts, its state now.
    say restarts "$(systemctl show -P NRestarts systemd-journal-upload)"
    say state "$(systemctl show -P ActiveState systemd-journal-upload)"
    ;;
entries)
    say entries
    journalctl -u "$(unit "$1")" -o export --output-fields=MESSAGE | awk -f "$t/entries.awk" | base64 -w 0
    echo
    ;;
enable)
    systemctl enable --now --no-block "$(unit "$1")" 2>&1 | grep -v 'non-existent unit'
    say state "$(prop "$1" ActiveState)"
    ;;
opened)
    until_true 60 logOpen "$1" || { systemctl status "$(unit "$1")" "dev-$1.device"; exit 1; }
    ;;
readings)
    until_true 30 moreReadings "$1" "$2"
    say readings "$(readings "$1")"
    ;;
fetch)
    ask "$1" "$2"
    until_true 60 test -f "$(dir "$1")/$2"
    until_true 10 noTemp "$1"
    cmp "$t/$2" "$(dir "$1")/$2" && say same "$2"
    ;;
link)
    ln -s /root/outside.bin "$(dir "$1")/$2"
    ask "$1" "$2"
    until_true 30 refused "$1" "$2"
    [ -L "$(dir "$1")/$2" ] && [ ! -e /root/outside.bin ] && say refused "$2"
    ;;
stopmid)
    ask "$1" "$2"
    until_true 60 tempFull "$1"
    systemctl stop "$(unit "$1")"
    say result "$(prop "$1" Result)"
    say kept "$(stat -c %s "$(dir "$1")/$2")"
    cmp -n "$(stat -c %s "$(dir "$1")/$2")" "$t/$2" "$(dir "$1")/$2" && say prefix same
    say temp "$(ls -a "$(dir "$1")" | grep -c '^\.kestrode-')"
    say lastbyte "$(tail -c 1 "$(log "$1")" | od -An -tx1 | tr -d ' ')"
    ;;
dump)
    say journal
    journalctl -u "$(unit "$1")" -o cat -a | base64 -w 0
    echo
    say log
    base64 -w 0 "$(log "$1")"
    echo
    ;;
mark)
    date +%s >"/root/mark-$1"
    readings "$1" >"/root/count-$1"
    log "$1" >"/root/log-$1"
    ;;
gone)
    start=$(cat "/root/mark-$1")
    until_true 20 inactive "$1"
    say stopped "$(($(date +%s) - start))"
    left=$((start + 30 - $(date +%s)))
    ((left <= 0)) || sleep "$left"
    # Readings logged between the mark and the pull aside: the unit's own lines.
    say lines "$(journalctl -u "$(unit "$1")" --since "@$start" -o cat | grep -vc 'PM2\.5=')"
    say state "$(prop "$1" ActiveState) $(prop "$1" NRestarts)"
    ;;
back)
    # The time is reported; the limit only stops a wait that would never end.
    until_true 30 moreReadings "$1" $(($(cat "/root/count-$1") + 1)) && say resumed "$SECONDS"
    [ "$(log "$1")" = "$(cat "/root/log-$1")" ] && say samelog yes
    ;;
byid)
    link=$(ls /dev/serial/by-id/* | head -n 1)
    name=${link#/dev/}
    say link "$link $(readlink -f "$link")"
    say instance "$(unit "$name")"
    systemctl stop "$(unit "$1")"
    systemctl start "$(unit "$name")"
    until_true 30 moreReadings "$name" 2 && say byid "$(log "$name")"
    systemctl stop "$(unit "$name")"
    systemctl start "$(unit "$1")"
    until_true 30 logOpen "$1"
    ;;
rebooted)
    for port; do
        until_true 60 moreReadings "$port" $(($(cat "/root/count-$port") + 2)) || exit 1
        say restarts "$port $(prop "$port" NRestarts)"
        say logs "$port $(ls "$(dir "$port")"/kestrode-*.log | wc -l)"
        [ "$(log "$port")" = "$(cat "/root/log-$port")" ] && say samelog "$port yes"
    done
    ;;
seccomp)
    # A denial made on purpose shows that denials are logged at all.
    printf '%s\n' '[Service]' 'Type=oneshot' 'ExecStart=/bin/uname' 'SystemCallFilter=~uname' \
        >/run/systemd/system/denial.service
    systemctl start denial.service 2>/dev/null
    until_true 10 denied uname
    journalctl _TRANSPORT=kernel -o cat | grep 'type=1326' |
        sed -n 's/.*comm="\([^"]*\)".* syscall=\([0-9]*\).*/== denied \1 \2/p'
    ;;
lockdir)
    pid=$(prop "$1" MainPID)
    uid=$(stat -c %u /proc/"$pid")
    gid=$(stat -c %g /proc/"$pid")
    # In the unit's own mount namespace, as its user.
    nsenter -t "$pid" -m -S "$uid" -G "$gid" sh -c 'touch /run/lock/probe && rm /run/lock/probe' &&
        say lockdir writable
    say lockfile "$(ls /run/lock | grep -c "^LCK\.\.$1\$")"
    ;;
attach)
    # A user in dialout looks in while the service logs, and fetches a file
    # ($2) into a folder of its own; one outside is refused.
    id watcher >/dev/null 2>&1 || useradd -M -G dialout watcher
    id outsider >/dev/null 2>&1 || useradd -M outsider
    install -d -o watcher -m 700 /home/watcher
    install -o watcher -m 600 "$t/up.dat" /home/watcher/up.dat
    { sleep 4; echo ls; sleep 2; echo "@download $2"; sleep 10; echo "@upload up.dat"; sleep 25; echo @exit; } |
        (cd /home/watcher && timeout 60 runuser -u watcher -- kestrode --attach "$1") >/tmp/attach.out 2>&1
    say attached "$?"
    cmp -s "$t/$2" "/home/watcher/$2" && [ "$(stat -c %U "/home/watcher/$2")" = watcher ] &&
        [ ! -e "$(dir "$1")/$2" ] && say fetched "$2"
    grep -aq '> uploading is successfully finished' /tmp/attach.out && say uploaded up.dat
    runuser -u watcher -- kestrode --status "$1" </dev/null >/tmp/status.out 2>&1
    say status "$?"
    say statuslog "$(sed -n 's/^log file: //p' /tmp/status.out)"
    say attaches "$(journalctl -u "$(unit "$1")" -o cat | grep -c '^> watcher (uid [0-9]*) attached$')"
    grep -aq "^> attached to the kestrode on /dev/$1 " /tmp/attach.out && say greeting yes
    say seen "$(grep -ac 'PM2\.5=' /tmp/attach.out)"
    grep -aq '^# [0-9]* files*, ' /tmp/attach.out && say ls answered
    journalctl -u "$(unit "$1")" -o cat | grep -q '^> watcher (uid [0-9]*) typed: ls$' &&
        say journal typed
    timeout 10 runuser -u outsider -- kestrode --attach "$1" </dev/null >/tmp/outsider.out 2>&1
    say outsider "$? $(head -n 1 /tmp/outsider.out)"
    ;;
nightly)
    # The README's nightly fetch (docs/examples), for a user in dialout,
    # this port and file; started by hand, as the timer would.
    id nightly >/dev/null 2>&1 || useradd -M -G dialout nightly
    for f in "$t"/kestrode-fetch.service "$t"/kestrode-fetch.timer; do
        sed -e 's/^User=alice$/User=nightly/' -e "s/ttyUSB0/$1/g" -e "s/data\.csv/$2/g" "$f" \
            >"/etc/systemd/system/${f##*/}"
    done
    systemctl daemon-reload
    systemctl enable -q --now kestrode-fetch.timer && say timer "$(systemctl is-active kestrode-fetch.timer)"
    timeout 60 systemctl start kestrode-fetch.service
    say fetch "$? $(systemctl show -P Result kestrode-fetch.service)"
    f=/var/lib/kestrode-fetch/$2
    cmp -s "$t/$2" "$f" && say stored "$(stat -c %U "$f")"
    journalctl -u "$(unit "$1")" -o cat | grep -q '^> nightly (uid [0-9]*) attached$' && say journal attached
    ;;
ride)
    # The watcher's console in the background, as a script keeps one: its
    # input a FIFO it holds open itself (never at its end), --wait bounding
    # the waits in all. It must ride through what follows untouched.
    id watcher >/dev/null 2>&1 || useradd -M -G dialout watcher
    install -d -o watcher -m 700 /home/watcher
    rm -f /tmp/ride.in /tmp/ride.pid && mkfifo -m 600 /tmp/ride.in
    setsid -f runuser -u watcher -- sh -c 'echo $$ >/tmp/ride.pid; cd /home/watcher &&
        exec kestrode --wait 300 --attach "$0"' "$1" <>/tmp/ride.in >/tmp/ride.out 2>&1
    until_true 20 grep -aq "^> attached to the kestrode on /dev/$1 " /tmp/ride.out && say greeting yes
    until_true 20 [ -s /tmp/ride.pid ] && say pid "$(cat /tmp/ride.pid)"
    ;;
restart)
    date +%s >"/root/mark-$1"
    systemctl restart "$(unit "$1")"
    ;;
rode)
    # After the Nth return: "attached again", and readings after it.
    again() { (($(grep -ac '^> attached again after ' /tmp/ride.out) >= $1)); }
    fresh() { (($(awk '/^> attached again after /{n=0; next} /PM2\.5=/{n++} END{print n+0}' /tmp/ride.out) >= 2)); }
    until_true 120 again "$2" && until_true 30 fresh && say rode "$SECONDS"
    say again "$(grep -ac '^> attached again after ' /tmp/ride.out)"
    say line "$(grep -a '^> attached again after ' /tmp/ride.out | tail -n 1)"
    say why "$(grep -a -e '^> the kestrode on ' -e '^> the connection' /tmp/ride.out | tail -n 1)"
    say waited "$(grep -ac '^> waiting for the kestrode on ' /tmp/ride.out)"
    pid=$(cat /tmp/ride.pid)
    kill -0 "$pid" 2>/dev/null && say alive "$pid"
    if [ "${3:-}" = end ]; then  # typed on its input: @exit leaves
        timeout 5 sh -c 'echo @exit >/tmp/ride.in'
        until_true 10 eval '! kill -0 "$pid" 2>/dev/null' && say ended yes
        grep -a -e '^> ' /tmp/ride.out | tail -n 12
    fi
    ;;
ready)
    # systemctl start returns once the service logs: the port locked, the log open.
    started=${EPOCHREALTIME/./}
    systemctl start "$(unit "$1")"
    say took "$(((${EPOCHREALTIME/./} - started) / 1000)) ms"
    logOpen "$1" && [ -e "/run/lock/LCK..$1" ] && say ready "$1"
    say state "$(prop "$1" ActiveState)"
    ;;
status)
    # The service's own line in systemctl status, once this run has logged a
    # reading (today's count holds the earlier runs' lines from the start).
    statusLine() { systemctl status "$(unit "$1")" --no-pager -n 0 | grep -a 'Status: "logging .* lines today, the last '; }
    until_true 30 statusLine "$1" >/dev/null
    say status "$(statusLine "$1" | sed 's/^ *//')"
    ;;
freeze)
    # The loop stopped (SIGSTOP): systemd's watchdog must end and restart it.
    pid=$(prop "$1" MainPID)
    echo "$pid" >"/root/frozen-$1"
    date +%s >"/root/frozenat-$1"
    kill -STOP "$pid" && say frozen "$pid"
    ;;
thawed)
    pid=$(cat "/root/frozen-$1")
    replaced() { [ "$(prop "$1" MainPID)" != "$pid" ] && [ "$(prop "$1" MainPID)" != 0 ] && logOpen "$1"; }
    until_true 90 replaced "$1" && say restarted "$(($(date +%s) - $(cat "/root/frozenat-$1"))) s"
    journalctl -u "$(unit "$1")" --since "@$(cat "/root/frozenat-$1")" -o cat |
        grep -a -m 1 'Watchdog timeout' | sed 's/^/== watchdog /'
    say result "$(journalctl -u "$(unit "$1")" --since "@$(cat "/root/frozenat-$1")" -o cat |
        grep -a -o "Failed with result '[a-z-]*'" | head -n 1)"
    say cores "$(ls "$(dir "$1")" | grep -c core)"
    ;;
collect)
    # Read on the host from its own scratch disk: faster than the console.
    journalctl -u "$(unit "$1")" -o cat -a >/root/journal.txt
    (cd "$(dir "$1")" && tar --warning=no-file-changed -cf - kestrode-*.log -C /root journal.txt) |
        dd of=/dev/vdc bs=64k conv=fsync status=none
    say logs "$(ls "$(dir "$1")"/kestrode-*.log | wc -l)"
    journalctl -b -u "$(unit "$1")" -p warning -o cat | sed 's/^/== warning /'
    ;;
*) exit 2 ;;
esac
