#!/usr/bin/env bash
# Builds the harnesses, replays the committed corpus of each, then fuzzes
# each for a bounded time. Fails on any crash, sanitizer report, leak,
# broken invariant or input that runs for more than 10 seconds; the input
# is kept in build/fuzz/artifacts (replay one with build/fuzz/<harness> <file>).
# Usage: fuzz/run.sh [seconds per harness]  (default: 60)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SECONDS_EACH=${1:-60}
OUT="$ROOT/build/fuzz"

"$ROOT/fuzz/build.sh" "$OUT" >/dev/null
mkdir -p "$OUT/artifacts"

for name in index_build fai_load extract bgzf; do
  seeds="$ROOT/fuzz/corpus/$name"
  # New inputs go to a scratch corpus; the committed seeds stay as they are.
  work="$OUT/corpus/$name"
  mkdir -p "$work"
  log="$OUT/$name.log"
  options=(-timeout=10 -rss_limit_mb=2048 -artifact_prefix="$OUT/artifacts/$name-" -print_final_stats=1)
  echo "== $name: replay, then ${SECONDS_EACH}s of fuzzing"
  if ! "$OUT/$name" "${options[@]}" -runs=0 "$seeds" >"$log" 2>&1 ||
     ! "$OUT/$name" "${options[@]}" -max_total_time="$SECONDS_EACH" "$work" "$seeds" >>"$log" 2>&1; then
    tail -n 60 "$log" >&2
    exit 1
  fi
  grep -E '^stat::number_of_executed_units|^Done' "$log" | tail -n 2
done
