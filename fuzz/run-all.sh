#!/bin/sh
# Runs every fuzz target for a bounded time on a copy of its seed corpus.
# usage: fuzz/run-all.sh BUILD_DIR [SECONDS]   (SECONDS also from FUZZ_SECONDS)
# A crash or failed property leaves the input in BUILD_DIR/fuzz-artifacts/ and
# fails the run after the remaining targets have had their turn.
set -u
build=${1:?usage: run-all.sh BUILD_DIR [SECONDS]}
seconds=${2:-${FUZZ_SECONDS:-60}}
here=$(cd "$(dirname "$0")" && pwd)
targets="base64_decode frame_check read_line term_lines"
status=0
summary=""
mkdir -p "$build/fuzz-artifacts"
for t in $targets; do
  work="$build/fuzz-corpus/$t"
  mkdir -p "$work"
  log="$build/fuzz-$t.log"
  echo "== fuzz_$t for ${seconds}s"
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=20 -max_len=4096 \
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
  summary="$summary$(printf '%-14s %10s executions  %-10s %s' "$t" "${runs:-?}" "$cov" "$verdict")
"
done
echo "== fuzz summary"
printf '%s' "$summary"
exit $status
