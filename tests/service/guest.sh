#!/bin/bash
# The guest's half of make test-service (tests/service/run.sh types
# "/root/t/g COMMAND ARGS" on the guest's console). Prints what the host
# checks as "== NAME VALUE" lines, and "== end STATUS" last. Every wait has
# a limit.
#   g install | enable PORT | opened PORT | readings PORT N | fetch PORT NAME | stopmid PORT NAME
#   g dump PORT | mark PORT | gone PORT | back PORT | byid PORT | rebooted PORT...
#   g seccomp | lockdir PORT
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

case $cmd in
install)
    apt-get install -y -q "$t"/kestrode_*_arm64.deb </dev/null >/tmp/apt.out 2>&1 ||
        { tail -n 20 /tmp/apt.out; exit 1; }
    say version "$(dpkg-query -W -f '${Version}' kestrode)"
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
    say lines "$(journalctl -u "$(unit "$1")" --since "@$start" -o cat | wc -l)"
    say state "$(prop "$1" ActiveState) $(prop "$1" NRestarts)"
    ;;
back)
    until_true 10 moreReadings "$1" $(($(cat "/root/count-$1") + 1)) && say resumed "$SECONDS"
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
