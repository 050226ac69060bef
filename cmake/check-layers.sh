#!/bin/sh
# The rooms under src/ form a stack; a file may include the header of its
# own room and of the rooms below it, never one beside or above it:
#   terminal            the console and the event loop (main)
#   share               a shared session: the service's consoles, --attach, --status
#   clocklog transfer   the log and the instrument's clock; file transfers
#   port base64         the serial port; the Base64 codec
#   base                the process-wide state, notices, waits and signals
# usage: cmake/check-layers.sh SRC_DIR
set -u
src=${1:?usage: check-layers.sh SRC_DIR}
level() {
    case $1 in
    base) echo 0 ;;
    port | base64) echo 1 ;;
    clocklog | transfer) echo 2 ;;
    share) echo 3 ;;
    terminal) echo 4 ;;
    *) echo -1 ;;
    esac
}
bad=0
for file in "$src"/*/*.cpp "$src"/*/*.h; do
    room=$(basename "$(dirname "$file")")
    mine=$(level "$room")
    if [ "$mine" -lt 0 ]; then
        echo "check-layers: $file: room $room is not in the stack"
        bad=$((bad + 1))
        continue
    fi
    for used in $(sed -n 's/^#include "\([a-z0-9]*\)\/.*/\1/p' "$file" | sort -u); do
        [ "$used" = "$room" ] && continue
        theirs=$(level "$used")
        if [ "$theirs" -lt 0 ] || [ "$theirs" -ge "$mine" ]; then
            echo "check-layers: $file includes $used/, which is not below $room"
            bad=$((bad + 1))
        fi
    done
done
[ "$bad" = 0 ] && echo "check-layers: every include of $src goes down the stack"
exit $((bad > 0))
