#!/bin/sh
# Runs every fuzz target for a bounded time on a copy of its seed corpus.
# usage: fuzz/run-all.sh BUILD_DIR [SECONDS]   (SECONDS also from FUZZ_SECONDS)
# A crash or failed property leaves the input in BUILD_DIR/fuzz-artifacts/ and
# fails the run after the remaining targets have had their turn.
set -u
build=$(cd "${1:?usage: run-all.sh BUILD_DIR [SECONDS]}" && pwd)  # targets may change directory
seconds=${2:-${FUZZ_SECONDS:-60}}
here=$(cd "$(dirname "$0")" && pwd)
status=0
summary=""
mkdir -p "$build/fuzz-artifacts"
for exe in "$build"/fuzz/fuzz_*; do
  [ -x "$exe" ] || continue
  t=${exe##*/fuzz_}
  work="$build/fuzz-corpus/$t"
  mkdir -p "$work"
  log="$build/fuzz-$t.log"
  echo "== fuzz_$t for ${seconds}s"
  "$exe" -max_total_time="$seconds" -timeout=20 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$t-" \
    "$work" "$here/corpus/$t" >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
  if [ $rc -eq 0 ]; then
    verdict="no findings"
  else
    verdict="FAILED (exit $rc), see $log"
    status=1
    tail -n 40 "$log"
  fi
  [ -d "$here/corpus/$t" ] || { echo "no seed corpus fuzz/corpus/$t"; status=1; }
  summary="$summary$(printf '%-14s %10s executions  %-10s %s' "$t" "${runs:-?}" "$cov" "$verdict")
"
done
echo "== fuzz summary"
printf '%s' "$summary"
exit $status
