#!/bin/sh
# make demo: kestrode against the simulated air monitor.
#   tools/demo.sh [BUILD_DIR]      (make demo passes its build directory)
# Builds nothing: the programs must be in BUILD_DIR already. kestrode runs in
# BUILD_DIR/demo (its log and downloaded files land there); the instrument's
# files are in BUILD_DIR/demo/instrument, fresh with a sample CSV every time.
# Without a keyboard (standard input not a terminal) kestrode gets what is
# piped in, shows the readings for DEMO_SECONDS (default 8) and leaves.
set -eu

build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "$build" && pwd)
for prog in kestrode kestrode-sim; do
    if [ ! -x "$bin/$prog" ]; then
        echo "demo: $bin/$prog is missing; run make first" >&2
        exit 1
    fi
done

demo=$bin/demo
rm -rf "$demo/instrument"
mkdir -p "$demo/instrument"
cp "$root/tools/sample/readings.csv" "$demo/instrument/"
cd "$demo"

cat <<EOF
kestrode demo: a simulated air monitor sends a reading every second.
  Its own commands:  help  ls  date  rm NAME  reboot
  kestrode's:        @showtime (timestamps on/off)   @download readings.csv
                     @upload FILE   @help   @exit (leave)
  kestrode runs in $demo: its log kestrode-$(date +%Y%m%d).log and the
  files it downloads land there. The monitor's files: $demo/instrument.
EOF

sim() {
    "$bin/kestrode-sim" --storage "$demo/instrument" --link "$demo/ttyS-sim" \
        --run -- "$bin/kestrode"
}

if [ -t 0 ]; then
    sim
else
    echo "(no keyboard: showing ${DEMO_SECONDS:-8} seconds, then @exit)"
    { sleep 2; cat; sleep "${DEMO_SECONDS:-8}"; echo @exit; } | sim
fi
