# Talking to the guest's console, for tests/system/run.sh (sourced). The
# console is a FIFO pair of QEMU's: keystrokes go into $RUN/con.in, and a
# cat appends everything the guest prints to $CONSOLE.

SEEN=0    # bytes of $CONSOLE matched by earlier expects
MATCH=""  # the text the last expect matched
T0=$EPOCHREALTIME

# Seconds since START (default: since this file was sourced), one decimal.
elapsed() { awk -v a="${1:-$T0}" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }

step() { printf '[%6s s] %s\n' "$(elapsed)" "$*"; }

fail() {
    printf '[%6s s] FAILED: %s\n' "$(elapsed)" "$*" >&2
    echo "---- the console's last lines:" >&2
    tail -n 40 "$CONSOLE" | cat -v >&2
    for f in "$RUN"/sim*.err "$RUN"/qemu.out; do
        [ -s "$f" ] && { echo "---- $f:" >&2; tail -n 10 "$f" >&2; }
    done
    exit 1
}

# consoleHas PCRE: true when the console shows PCRE after what earlier calls
# matched; MATCH holds the text, and the next call starts after it.
consoleHas() {
    local found
    found=$(tail -c +$((SEEN + 1)) "$CONSOLE" | grep -zaobP -m 1 -- "$1" |
        head -zn 1 | tr -d '\0') || true
    [ -n "$found" ] || return 1
    MATCH=${found#*:}
    SEEN=$((SEEN + ${found%%:*} + ${#MATCH}))
}

# expect PCRE [SECONDS]: waits for consoleHas PCRE (default limit 15 s). Once the
# guest has finished, nothing more is coming: no need to wait out the limit.
expect() {
    local limit=${2:-15}
    local deadline=$((SECONDS + limit))
    until consoleHas "$1"; do
        if grep -qa '^== guest \(done\|watchdog fired\)' "$CONSOLE"; then
            consoleHas "$1" && return 0
            fail "the guest has finished without showing /$1/"
        fi
        ((SECONDS <= deadline)) || fail "the console did not show /$1/ within $limit s"
        sleep 0.05
    done
}

# What the console showed between byte FROM and what expect matched last.
shown() { tail -c +$(($1 + 1)) "$CONSOLE" | head -c $((SEEN - $1)); }

# enter LINE: typed on the guest's console, and Enter.
enter() {
    step "typed: $1"
    printf '%s\n' "$1" >&3
}
