#!/usr/bin/env bash
# Times both formulas at far places through the real program and checks they print the same digits.
#
# Usage: bench/formula_times.sh [path/to/tallyspire-bbp]
# Without a path it builds the program with the release preset. PLACES (default
# "1000001 10000001") and DIGITS (default 8) choose the runs.
set -euo pipefail

places=${PLACES:-1000001 10000001}
digits=${DIGITS:-8}

source "$(dirname "$0")/bench_common.sh"
fail() { bench_fail "$@"; }
bench_program "$@"

now() { date +%s.%N; }

echo "program: $program"
echo "cores: $(nproc), load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
printf '%-10s  %-8s  %14s  %10s  %10s  %s\n' place formula terms "time (s)" "wall (s)" digits
bad=0
for place in $places; do
  first=""
  for formula in 0 1; do
    name=Plouffe
    ((formula == 0)) || name=Bellard
    t0=$(now)
    output=$(printf '%s\n%s\n%s\n' "$formula" "$place" "$digits" | "$program") ||
      fail "$name at place $place: the program ended with exit code $?"
    t1=$(now)
    terms=$(sed -n 's/^Terms Needed = //p' <<<"$output")
    time=$(sed -n 's/^Time: //p' <<<"$output")
    shown=$(awk '/^Hexadecimal Digits starting from: /{hex=1; next} hex' <<<"$output" | tr -cd '0-9a-f')
    [ -n "$time" ] || fail "$name at place $place: no total Time line in the output"
    ((${#shown} == digits)) || fail "$name at place $place: expected $digits digits, got '${shown}'"
    wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    printf '%-10s  %-8s  %14s  %10s  %10s  %s\n' "$place" "$name" "$terms" "$time" "$wall" "$shown"
    if [ -z "$first" ]; then
      first=$shown
    elif [ "$shown" != "$first" ]; then
      echo "  MISMATCH at place $place: Plouffe $first, Bellard $shown" >&2
      bad=1
    fi
  done
done
((bad == 0)) || fail "the two formulas printed different digits"
echo
echo "the two formulas agree at every place"
