#!/bin/sh
# Benchmarks of kestrode: the console path against picocom and tio (a flood,
# and the instrument's pace at 115200 8N1), file transfers through the
# simulated instrument (unpaced and paced at 115200 8N1), and heap allocation
# counts. Prints Markdown tables and the targets.
#
#   bench/run.sh [BUILD_DIR]          (or: make bench)
#
# Environment: MIB (console feed, default 8), ROUNDS (default 5, at least 5 for
# the report), WIRE_SECONDS (paced feed, default 6), WIRE_ROUNDS (default 4),
# PARTS (default "console wire transfer alloc"), CONSOLE=file to send
# the terminals' console to a file instead of a pseudo-terminal, KEEP=1 to keep
# the raw result lines.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
MIB=${MIB:-8}
ROUNDS=${ROUNDS:-5}
WIRE_SECONDS=${WIRE_SECONDS:-6}
WIRE_ROUNDS=${WIRE_ROUNDS:-4}
PARTS=${PARTS:-console wire transfer alloc}
OUT=$BUILD/bench
RAW=$OUT/results.txt
KESTRODE=${KESTRODE:-$BUILD/kestrode}
SIM=$BUILD/kestrode-sim
CEILING=7970  # payload B/s: 128 per 179-byte frame + 5-byte reply, stop-and-wait

say() { printf '%s\n' "$*"; }
warn() { printf 'bench: %s\n' "$*" >&2; }

[ -x "$KESTRODE" ] || { warn "no $KESTRODE; run make first"; exit 1; }
mkdir -p "$OUT"

# ---- helpers: built here, not part of the program's build -------------------
CXX=${CXX:-g++}
CXXFLAGS="-std=c++20 -O2 -Wall -Wextra"
stale() {  # stale OUT SRC...: OUT missing or older than a source
    out=$1
    shift
    [ -e "$out" ] || return 0
    for s in "$@"; do [ "$s" -nt "$out" ] && return 0; done
    return 1
}
B=$ROOT/bench
if stale "$OUT/bench-console" "$B/console.cpp" "$B/feed.cpp" "$B/feed.h" "$B/common.cpp" "$B/common.h"; then
    $CXX $CXXFLAGS -o "$OUT/bench-console" "$B/console.cpp" "$B/feed.cpp" "$B/common.cpp" -lutil
fi
if [ -f "$B/transfer.cpp" ] &&
    stale "$OUT/bench-transfer" "$B/transfer.cpp" "$B/common.cpp" "$B/common.h"; then
    $CXX $CXXFLAGS -o "$OUT/bench-transfer" "$B/transfer.cpp" "$B/common.cpp" -lutil
fi
if stale "$OUT/bench-wire" "$B/wire.cpp" "$B/feed.cpp" "$B/feed.h" "$B/common.cpp" "$B/common.h"; then
    $CXX $CXXFLAGS -o "$OUT/bench-wire" "$B/wire.cpp" "$B/feed.cpp" "$B/common.cpp" -lutil
fi
if stale "$OUT/bench-floor" "$B/floor.cpp"; then
    $CXX $CXXFLAGS -o "$OUT/bench-floor" "$B/floor.cpp"
fi
if stale "$OUT/alloccount.so" "$B/alloccount.cpp"; then
    $CXX $CXXFLAGS -shared -fPIC -o "$OUT/alloccount.so" "$B/alloccount.cpp"
fi

# ---- the terminals to compare, from Debian's packages when missing ----------
need() {
    command -v "$1" >/dev/null 2>&1 && return 0
    sudo=
    [ "$(id -u)" = 0 ] || sudo="sudo -n"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get install -y -qq "$1" >/dev/null 2>&1 ||
        { $sudo apt-get update -qq >/dev/null 2>&1 &&
            $sudo apt-get install -y -qq "$1" >/dev/null 2>&1; } ||
        warn "cannot install $1; its rows are left out"
    command -v "$1" >/dev/null 2>&1
}

# median: numbers on stdin, one a line
median() {
    sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "nan"; exit }
        if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# field NAME KEY: the values of KEY= on the result lines of NAME
field() { awk -v n="$1" -v k="$2" '$1 == n { for (i = 2; i <= NF; i++) {
    split($i, kv, "="); if (kv[1] == k) print kv[2] } }' "$RAW"; }
# metric_all NAME EXPR: an awk expression over user, sys, wall, mib, rss (f[KEY]
# for the others) on each result line of NAME; metric NAME EXPR: their median
metric_all() {
    awk -v n="$1" '$1 == n { delete f; for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
        user = f["user"]; sys = f["sys"]; wall = f["wall"]; mib = f["mib"]; rss = f["rss"]
        cpu = f["cpu"]; ccpu = f["ccpu"]; bytes = f["bytes"]
        print '"$2"' }' "$RAW"
}
metric() { metric_all "$@" | median; }
# round_ratio A B: A's CPU share / B's in each round (side by side), one a line
round_ratio() {
    awk -v a="$1" -v b="$2" '$1 == a || $1 == b { delete f
        for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
        s[$1, f["round"]] = f["fcpu"] / f["wall"]; rounds[f["round"]] = 1 }
        END { for (r in rounds) if (s[b, r] > 0) print s[a, r] / s[b, r] }' "$RAW"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
verdict() { awk -v v="$1" -v op="$2" -v t="$3" 'BEGIN {
    ok = (op == "<=") ? v <= t : v >= t; print (ok ? "met" : "MISSED") }'; }

: >"$RAW"
FAILED=0
run() {  # run RUNNER ARGS...: its result lines into RAW; a failed run only reported
    if line=$("$@"); then
        say "$line" >>"$RAW"
    else
        warn "failed, left out of the tables: $line"
        FAILED=1
    fi
}

HOST="$(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), Linux $(uname -r)"
say "# kestrode benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC')"
say "Machine: $HOST; load at start: $(cut -d' ' -f1-3 /proc/loadavg)"
say ""

# ---- console path -------------------------------------------------------------
console_part() {
    con=
    [ "${CONSOLE:-pty}" = file ] && con=--file-console
    progs="kestrode kestrode+nosync kestrode+stamp kestrode+share kestrode+share+3 floor"
    versions="kestrode $("$KESTRODE" --version | sed -n 's/^kestrode //p' | tail -1)"
    if need picocom; then
        progs="$progs picocom picocom+log"
        versions="$versions, $(picocom --help 2>&1 | head -1)"
    fi
    note=
    if [ -n "$con" ]; then
        note="tio is left out: into a file it shows nothing until it exits"
    elif need tio; then
        progs="$progs tio"
        versions="$versions, $(tio --version 2>&1 | head -1)"
    fi
    say "## Console path: $MIB MiB of 40-70 byte lines, $ROUNDS rounds alternating, console on a ${CONSOLE:-pty}"
    say "($versions; picocom+log is picocom --logfile, which like kestrode also keeps a log;"
    say "floor is bench/floor.cpp: select, read 256 bytes, write them to the console and a log, nothing else)"
    [ -z "$note" ] || say "($note)"
    r=1
    while [ "$r" -le "$ROUNDS" ]; do
        for p in $progs; do
            case $p in
            kestrode) run "$OUT/bench-console" --name $p --mib "$MIB" $con --check-log -- "$KESTRODE" '{dev}' ;;
            kestrode+nosync) run "$OUT/bench-console" --name $p --mib "$MIB" $con --check-log -- "$KESTRODE" --log-sync 86400 '{dev}' ;;
            kestrode+stamp) run "$OUT/bench-console" --name $p --mib "$MIB" $con --stamped-log -- "$KESTRODE" --log-time '{dev}' ;;
            kestrode+share) run "$OUT/bench-console" --name $p --mib "$MIB" $con --check-log -- "$KESTRODE" '--share={sock}' '{dev}' ;;
            kestrode+share+3) run "$OUT/bench-console" --name $p --mib "$MIB" $con --check-log --attach 3 -- "$KESTRODE" '--share={sock}' '{dev}' ;;
            floor) run "$OUT/bench-console" --name $p --mib "$MIB" $con -- "$OUT/bench-floor" '{dev}' ;;
            picocom) run "$OUT/bench-console" --name $p --mib "$MIB" $con -- picocom -b 115200 --quiet '{dev}' ;;
            picocom+log) run "$OUT/bench-console" --name $p --mib "$MIB" $con -- picocom -b 115200 --quiet --logfile picocom.log '{dev}' ;;
            tio) run "$OUT/bench-console" --name $p --mib "$MIB" $con -- tio -b 115200 --no-autoconnect --mute '{dev}' ;;
            esac
        done
        r=$((r + 1))
    done
    kcpu=$(metric kestrode '(user + sys) / mib')
    say ""
    say "| program | CPU s/MiB | user s/MiB | sys s/MiB | MiB/s to last line | peak RSS KiB | kestrode CPU ratio |"
    say "|---|---|---|---|---|---|---|"
    for p in $progs; do
        cpu=$(metric $p '(user + sys) / mib')
        printf '| %s | %.4f | %.4f | %.4f | %.1f | %d | %s |\n' "$p" "$cpu" \
            "$(metric $p 'user / mib')" "$(metric $p 'sys / mib')" "$(metric $p 'mib / wall')" \
            "$(metric $p rss)" "$( [ $p = kestrode ] && echo - || ratio "$kcpu" "$cpu")"
    done
    krss=$(metric kestrode rss)
    say ""
    rt=$(ratio "$(metric kestrode+share+3 '(user + sys) / mib')" "$(metric kestrode+share '(user + sys) / mib')")
    say "- target sharing CPU/MiB with 3 consoles attached <= 1.2 x with none: $rt x -> $(verdict "$rt" '<=' 1.2)" \
        "(consoles that kept up with the flood, median: $(metric kestrode+share+3 'f["attached"]') of 3)"
    for p in picocom tio; do
        case " $progs " in *" $p "*) ;; *) continue ;; esac
        c=$(metric $p '(user + sys) / mib')
        rt=$(ratio "$kcpu" "$c")
        say "- target console CPU/MiB <= 0.5 x $p: $rt x -> $(verdict "$rt" '<=' 0.5)"
    done
    case " $progs " in *" picocom "*)
        prss=$(metric picocom rss)
        say "- target peak RSS <= picocom's: $krss KiB vs $prss KiB -> $(verdict "$krss" '<=' "$prss")" ;;
    esac
    say ""
}

# ---- console path at the wire rate ---------------------------------------------
# Per-read costs, which a flood's big reads hide: the bytes come as the serial
# line delivers them, a few at a time. The figure is CPU time over the feed's
# wall time, the share of one core a small board pays all day. First one
# program at a time in alternating rounds, then all side by side (bench-wire):
# on a shared machine the load moves between runs by more than they differ.
wire_part() {
    seq="kestrode"
    side="kestrode kestrode+nosync floor"
    versions="kestrode $("$KESTRODE" --version | sed -n 's/^kestrode //p' | tail -1)"
    if need picocom; then
        seq="$seq picocom+log"
        side="$side picocom+log"
        versions="$versions, $(picocom --help 2>&1 | head -1)"
    fi
    if need tio; then
        seq="$seq tio+log"
        side="$side tio+log"
        versions="$versions, $(tio --version 2>&1 | head -1)"
    fi
    say "## Console path at the wire rate: $WIRE_SECONDS s of lines at 11520 B/s in 12-byte chunks, $WIRE_ROUNDS rounds"
    say "($versions; console on a pty; kestrode with its defaults, the log synced within 1 s;"
    say "kestrode+nosync is kestrode --log-sync 86400; +log: the program keeps a log too;"
    say "floor is bench/floor.cpp; CPU share of one core over the feed)"
    W="--wire $WIRE_SECONDS --rate 11520 --chunk 12"
    say "load at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
    # Every run starts with the disk quiet: none pays for the writeback of
    # the one before it (tio writes its log a byte at a time).
    r=1
    while [ "$r" -le "$WIRE_ROUNDS" ]; do
        for p in $seq; do
            sync
            case $p in
            kestrode) run "$OUT/bench-console" --name w-$p $W --check-log -- "$KESTRODE" '{dev}' ;;
            picocom+log) run "$OUT/bench-console" --name w-$p $W -- picocom -b 115200 --quiet --logfile picocom.log '{dev}' ;;
            tio+log) run "$OUT/bench-console" --name w-$p $W -- tio -b 115200 --no-autoconnect --mute --log --log-file tio.log '{dev}' ;;
            esac
        done
        r=$((r + 1))
    done
    wload=$(cut -d' ' -f1-3 /proc/loadavg)
    r=1
    while [ "$r" -le "$WIRE_ROUNDS" ]; do
        for p in $side; do
            [ "$p" = kestrode ] && continue
            case $p in
            kestrode+nosync) other="s-$p=$KESTRODE --log-sync 86400 {dev}" ;;
            floor) other="s-$p=$OUT/bench-floor {dev}" ;;
            picocom+log) other="s-$p=picocom -b 115200 --quiet --logfile picocom.log {dev}" ;;
            tio+log) other="s-$p=tio -b 115200 --no-autoconnect --mute --log --log-file tio.log {dev}" ;;
            esac
            # kestrode's chunks go first in odd rounds, second in even ones
            sync
            if [ $((r % 2)) = 1 ]; then
                run "$OUT/bench-wire" --seconds "$WIRE_SECONDS" --round "$r" "kestrode@$p=$KESTRODE {dev}" "$other"
            else
                run "$OUT/bench-wire" --seconds "$WIRE_SECONDS" --round "$r" "$other" "kestrode@$p=$KESTRODE {dev}"
            fi
        done
        r=$((r + 1))
    done
    share='100 * f["fcpu"] / wall'
    say ""
    say "One at a time, alternating (load after them: $wload):"
    say ""
    say "| program | CPU % of a core (median) | lowest | highest | kestrode / program |"
    say "|---|---|---|---|---|"
    for p in $seq; do
        printf '| %s | %.2f | %.2f | %.2f | %s |\n' "$p" "$(metric w-$p "$share")" \
            "$(metric_all w-$p "$share" | sort -g | head -1)" "$(metric_all w-$p "$share" | sort -g | tail -1)" \
            "$( [ $p = kestrode ] && echo - || ratio "$(metric w-kestrode "$share")" "$(metric w-$p "$share")")"
    done
    say ""
    say "Side by side, kestrode and one other at once, each fed the same lines (load after them: $(cut -d' ' -f1-3 /proc/loadavg)):"
    say ""
    say "| pair | kestrode CPU % (median) | the other's CPU % (median) | kestrode / the other, median of the rounds (lowest, highest) |"
    say "|---|---|---|---|"
    for p in $side; do
        [ "$p" = kestrode ] && continue
        printf '| kestrode, %s | %.2f | %.2f | %.2f (%.2f, %.2f) |\n' "$p" "$(metric kestrode@$p "$share")" \
            "$(metric s-$p "$share")" "$(round_ratio kestrode@$p s-$p | median)" \
            "$(round_ratio kestrode@$p s-$p | sort -g | head -1)" "$(round_ratio kestrode@$p s-$p | sort -g | tail -1)"
    done
    say ""
    case " $seq " in *" picocom+log "*)
        rt=$(ratio "$(metric w-kestrode "$share")" "$(metric w-picocom+log "$share")")
        say "- target wire-rate CPU <= 1.0 x picocom --logfile, one at a time: $rt x -> $(verdict "$rt" '<=' 1.0)"
        rt=$(printf '%.2f' "$(round_ratio kestrode@picocom+log s-picocom+log | median)")
        say "- target wire-rate CPU <= 1.0 x picocom --logfile, side by side: $rt x -> $(verdict "$rt" '<=' 1.0)" ;;
    esac
    say ""
}

# ---- transfers ------------------------------------------------------------------
transfer_part() {
    if [ ! -x "$SIM" ]; then
        say "## Transfers: skipped, no $SIM (the simulated instrument is not built)"
        say ""
        return
    fi
    say "## Transfers through kestrode-sim: 256 KiB random file"
    T="$OUT/bench-transfer --sim $SIM --kestrode $KESTRODE"
    run $T --name pacer --pacer-check --pace 115200
    r=1
    while [ "$r" -le 3 ]; do
        run $T --name up --dir up --kib 256
        run $T --name down --dir down --kib 256
        r=$((r + 1))
    done
    run $T --name up-paced --dir up --kib 256 --pace 115200
    run $T --name down-paced --dir down --kib 256 --pace 115200
    r=1
    while [ "$r" -le 3 ]; do
        run $T --name up-console --dir up --kib 256 --via-console
        run $T --name down-console --dir down --kib 256 --via-console
        r=$((r + 1))
    done
    say ""
    say "| transfer | payload rate | kestrode CPU s/MiB | share of the protocol ceiling ($CEILING B/s) |"
    say "|---|---|---|---|"
    for d in up down; do
        printf '| %s, unpaced (median of 3) | %.2f MiB/s | %.4f | - |\n' "$d" \
            "$(metric $d 'mib / wall')" "$(metric $d 'cpu / mib')"
    done
    for d in up down; do
        printf '| %s, attached console, unpaced (median of 3) | %.2f MiB/s | %.4f service, %.4f console | - |\n' "$d" \
            "$(metric $d-console 'mib / wall')" "$(metric $d-console 'cpu / mib')" "$(metric $d-console 'ccpu / mib')"
    done
    for d in up down; do
        rate=$(metric $d-paced 'bytes / wall')
        printf '| %s, paced 115200 8N1 | %.0f B/s | %.4f | %.1f %% |\n' "$d" "$rate" \
            "$(metric $d-paced 'cpu / mib')" "$(awk -v r="$rate" -v c=$CEILING 'BEGIN { print 100 * r / c }')"
    done
    say ""
    for w in out:instrument_to_host in:host_to_instrument; do
        rate=$(metric pacer-${w%%:*} 'bytes / wall' | awk '{ printf "%.0f", $1 }')
        say "- pacer check, raw byte stream $(echo ${w#*:} | tr _ ' '): $rate B/s (115200 8N1: 11520 B/s)"
    done
    for d in up down; do
        share=$(awk -v r="$(metric $d-paced 'bytes / wall')" -v c=$CEILING 'BEGIN { print 100 * r / c }')
        say "- target paced $d >= 95 % of the ceiling: $(printf '%.1f' "$share") % -> $(verdict "$share" '>=' 95)"
    done
    say ""
}

# ---- allocations ------------------------------------------------------------------
alloc_part() {
    say "## Heap allocations of a whole kestrode run (LD_PRELOAD counter: malloc, calloc, realloc, aligned)"
    A=$OUT/alloccount.so
    run "$OUT/bench-console" --name alloc-console-1 --mib 1 --check-log --alloc "$A" -- "$KESTRODE" '{dev}'
    run "$OUT/bench-console" --name alloc-console-8 --mib 8 --check-log --alloc "$A" -- "$KESTRODE" '{dev}'
    rows="alloc-console-1:console_1_MiB alloc-console-8:console_8_MiB"
    if [ -x "$SIM" ]; then
        T="$OUT/bench-transfer --sim $SIM --kestrode $KESTRODE --alloc $A"
        for d in up down; do
            run $T --name alloc-$d-64 --dir $d --kib 64
            run $T --name alloc-$d-1024 --dir $d --kib 1024
        done
        rows="$rows alloc-up-64:upload_64_KiB alloc-up-1024:upload_1_MiB"
        rows="$rows alloc-down-64:download_64_KiB alloc-down-1024:download_1_MiB"
    fi
    say ""
    say "| kestrode run | allocations | bytes allocated |"
    say "|---|---|---|"
    for row in $rows; do
        printf '| %s | %s | %s |\n' "$(echo "${row#*:}" | tr _ ' ')" "$(field "${row%%:*}" allocs)" "$(field "${row%%:*}" allocbytes)"
    done
    say ""
    same=met
    [ "$(field alloc-console-1 allocs)" = "$(field alloc-console-8 allocs)" ] || same=MISSED
    if [ -x "$SIM" ]; then
        for d in up down; do
            [ "$(field alloc-$d-64 allocs)" = "$(field alloc-$d-1024 allocs)" ] || same=MISSED
        done
    fi
    say "- target allocations independent of input size -> $same"
    say ""
}

for part in $PARTS; do
    case $part in
    console) console_part ;;
    wire) wire_part ;;
    transfer) transfer_part ;;
    alloc) alloc_part ;;
    *) warn "unknown part $part" ;;
    esac
done

say "CPU seconds come from wait4 (whole runs), /proc/PID/task/*/schedstat (the wire rate's"
say "feed) and /proc/PID/sched (transfers) and hold up under other load better than MiB/s"
say "and B/s, which are wall-clock and drop when the machine is busy."
[ -n "${KEEP:-}" ] && say "Raw results: $RAW"
[ "$FAILED" = 0 ] || { warn "some runs failed (see $RAW)"; exit 1; }
