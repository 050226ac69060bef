#!/bin/sh
# make check-man: every option kestrode-sim --help shows (an option at the
# start of a line of its usage text) has an entry in kestrode-sim(1).
#   cmake/check-sim-options.sh [ROOT]
set -u
root=${1:-.}
page=$root/docs/kestrode-sim.1
options=$(sed -n 's/^ *"  \(--[a-z-]*\).*/\1/p' "$root/tools/sim/options.cpp")
[ -n "$options" ] || { echo "check-sim-options: no options found in tools/sim/options.cpp"; exit 1; }
fail=0
for o in $options; do
    # The page writes each dash as \- in the option's tag.
    tag=$(printf '%s' "$o" | sed 's/-/\\\\-/g')
    grep -q "^\.B[IR]* *$tag\\b" "$page" ||
        { echo "kestrode-sim --help shows $o, which $page does not document"; fail=1; }
done
[ $fail -eq 0 ] && echo "check-sim-options: $(echo $options | wc -w) options of kestrode-sim --help, each in $page"
exit $fail
