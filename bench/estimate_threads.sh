#!/usr/bin/env bash
# Compares --estimate with the run it predicts over several --threads, the oversubscribed ones included.
#
# Usage: bench/estimate_threads.sh [path/to/tallyspire-bbp]
# Without a path it builds the program with the release preset. PLACE (default 1e9+1),
# FORMULA (default bellard) and THREADS (default "1 2 8 64") choose the runs. Prints each
# estimate, the run's own computing time and wall time, and estimate / run.
set -euo pipefail

place=${PLACE:-1e9+1}
formula=${FORMULA:-bellard}
threads=${THREADS:-1 2 8 64}

source "$(dirname "$0")/bench_common.sh"
fail() { bench_fail "$@"; }
bench_program "$@"

# A field of the one-line JSON object the program prints.
field() { sed -n "s/.*\"$1\":\([0-9.e+-]*\).*/\1/p" <<<"$2"; }
now() { date +%s.%N; }

echo "program: $program"
echo "place $place, $formula; processors: $(nproc), load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
printf '%7s  %12s  %10s  %10s  %9s\n' threads "estimate (s)" "run (s)" "wall (s)" estimate/run
for t in $threads; do
  estimate=$("$program" --place "$place" --formula "$formula" --threads "$t" --estimate --json) ||
    fail "the estimate on $t threads ended with exit code $?"
  t0=$(now)
  run=$("$program" --place "$place" --formula "$formula" --threads "$t" --json --quiet) ||
    fail "the run on $t threads ended with exit code $?"
  t1=$(now)
  e=$(field estimated_seconds "$estimate")
  r=$(field seconds "${run##*\"series_seconds\"}")
  [ -n "$e" ] && [ -n "$r" ] || fail "no times in the output on $t threads"
  awk -v t="$t" -v e="$e" -v r="$r" -v a="$t0" -v b="$t1" \
    'BEGIN { printf "%7d  %12.3f  %10.3f  %10.3f  %9.2f\n", t, e, r, b - a, e / r }'
done
