#!/usr/bin/env bash
# Run time against place: whole runs measured up to a top place, --estimate beyond it, both
# formulas, drawn on log scales with gnuplot, with the figures as a table beside the chart.
#
# Usage: bench/place_chart.sh OUTPUT.png [path/to/tallyspire-bbp]
# Writes OUTPUT.png and OUTPUT.txt (the table). Without a program path it builds the program
# with the release preset. TOP (default 1e10) is the highest place run whole (the run at 1e10
# takes minutes); FAR (default "1e12 2.5e14 1e15 1e16 1e17", written like these) are the
# places only estimated. Every measured place is estimated too, to show how well the estimate
# holds. THREADS (default: one per processor) and DIGITS (default 32) are passed on.
set -euo pipefail

fail() {
  echo "place_chart: error: $*" >&2
  exit 1
}

(($# >= 1)) || fail "usage: bench/place_chart.sh OUTPUT.png [path/to/tallyspire-bbp]"
chart=$1
table=${chart%.png}.txt
top=${TOP:-1e10}
far=${FAR:-1e12 2.5e14 1e15 1e16 1e17}
digits=${DIGITS:-32}
root=$(cd "$(dirname "$0")/.." && pwd)

source "$root/scripts/packages.sh"
tly_bbp_need_packages "${BENCH_PACKAGES[@]}" || exit 1

if (($# >= 2)); then
  program=$2
else
  cd "$root"
  cmake --preset release >/dev/null || fail "configuring the release build failed"
  cmake --build --preset release --target tallyspire-bbp >/dev/null || fail "building the program failed"
  program=$root/build/release/BBP/tallyspire-bbp
fi
[ -x "$program" ] || fail "no program at $program"
options=(--digits "$digits" --json --quiet)
[ -z "${THREADS:-}" ] || options+=(--threads "$THREADS")

# The measured places: 10^6, 10^7, ... up to TOP (+1 keeps them valid for both formulas).
measured=()
for exponent in 6 7 8 9 10 11 12; do
  awk -v e="$exponent" -v top="$top" 'BEGIN { exit !(10 ^ e <= top + 0) }' || break
  measured+=("1e$exponent+1")
done

# A number field of the program's one-line JSON.
field() { sed -n "s/.*$1\([0-9.eE+-]*\).*/\1/p"; }

data=$(mktemp)
trap 'rm -f "$data"' EXIT
{
  echo "program: $program"
  echo "cores: $(nproc), load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  printf '%-12s  %-8s  %12s  %14s  %9s\n' place formula "measured (s)" "estimated (s)" ratio
} >"$table"
for formula in plouffe bellard; do
  for place in "${measured[@]}" $far; do
    estimate=$("$program" --place "$place" --formula "$formula" --estimate "${options[@]}" 2>&1) || {
      printf '%-12s  %-8s  %s\n' "$place" "$formula" "not estimated: $estimate" >>"$table"
      continue
    }
    estimated=$(field '"estimated_seconds":' <<<"$estimate")
    seconds=-
    if [[ " ${measured[*]} " == *" $place "* ]]; then
      run=$("$program" --place "$place" --formula "$formula" "${options[@]}") || fail "$formula at $place failed"
      seconds=$(field '],"seconds":' <<<"$run")
    fi
    numeric=$(awk -v p="${place%+1}" 'BEGIN { printf "%.6g", p }')
    echo "$formula $numeric $seconds $estimated" >>"$data"
    ratio=$(awk -v s="$seconds" -v e="$estimated" 'BEGIN { if (s == "-") print "-"; else printf "%.2f", e / s }')
    printf '%-12s  %-8s  %12s  %14s  %9s\n' "$place" "$formula" "$seconds" "$estimated" "$ratio" >>"$table"
  done
done
echo "(ratio: estimated / measured; load average at the end: $(cut -d' ' -f1-3 /proc/loadavg))" >>"$table"

gnuplot <<EOF || fail "gnuplot could not draw $chart"
set title "Tallyspire BBP: time of a run against its place ($digits digits, $(nproc) cores)"
set logscale xy
set format x "10^{%L}"
set format y "10^{%L}"
set xlabel "hexadecimal place"
set ylabel "seconds"
set grid
set key top left
set datafile missing "-"
set terminal unknown
set output
plot "$data" using (stringcolumn(1) eq "plouffe" ? \$2 : NaN):3 with linespoints pt 7 title "Plouffe, measured", \
     "$data" using (stringcolumn(1) eq "plouffe" ? \$2 : NaN):4 with linespoints dt 2 pt 6 title "Plouffe, --estimate", \
     "$data" using (stringcolumn(1) eq "bellard" ? \$2 : NaN):3 with linespoints pt 5 title "Bellard, measured", \
     "$data" using (stringcolumn(1) eq "bellard" ? \$2 : NaN):4 with linespoints dt 2 pt 4 title "Bellard, --estimate"
# The same scale on the right, marked in the units people wait in.
set logscale y2
set y2range [GPVAL_Y_MIN:GPVAL_Y_MAX]
set y2tics ("1 min" 60, "1 h" 3600, "1 day" 86400, "1 year" 31557600, "100 years" 3155760000)
set terminal pngcairo size 960,640
set output "$chart"
replot
EOF
cat "$table"
echo "chart: $chart"
