#!/bin/sh
# Renders a man page with groff and man, failing on any warning: both
# report problems on standard error but still exit 0.
set -u
page=${1:?usage: check-man.sh PAGE}
fail=0
out=$(groff -ww -z -man "$page" 2>&1) || fail=1
if [ -n "$out" ]; then echo "$out"; fail=1; fi
out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -l "$page" 2>&1 >/dev/null) || fail=1
if [ -n "$out" ]; then echo "$out"; fail=1; fi
[ $fail -eq 0 ] && echo "$page: renders without warnings"
exit $fail
