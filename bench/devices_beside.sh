#!/usr/bin/env bash
# Times the processor threads alone against the threads with an OpenCL device beside them: a slow
# device (PoCL, on the same cores) must not make the run slower than the threads alone.
#
# Usage: bench/devices_beside.sh [path/to/tallyspire-bbp]
# Without a path it builds the program with the release preset. PLACE (default 1e7+1), FORMULA
# (default both), DEVICE (default opencl:0:0) and RUNS (default 3) choose the runs. Prints the
# best wall time of each and their ratio.
set -euo pipefail

place=${PLACE:-1e7+1}
formula=${FORMULA:-both}
device=${DEVICE:-opencl:0:0}
runs=${RUNS:-3}

source "$(dirname "$0")/bench_common.sh"
bench_program "$@"

now() { date +%s.%N; }

# best_wall DEVICES: the shortest wall time of $runs runs, in seconds.
best_wall() {
  local best="" t0 t1
  for ((r = 0; r < runs; ++r)); do
    t0=$(now)
    "$program" --place "$place" --formula "$formula" --devices "$1" --quiet >/dev/null ||
      bench_fail "the run on --devices $1 ended with exit code $?"
    t1=$(now)
    best=$(awk -v a="$t0" -v b="$t1" -v best="$best" 'BEGIN { w = b - a; print (best == "" || w < best) ? w : best }')
  done
  echo "$best"
}

echo "program: $program"
echo "place $place, $formula; processors: $(nproc), load average: $(cut -d' ' -f1-3 /proc/loadavg)"
alone=$(best_wall cpu)
beside=$(best_wall "cpu,$device")
awk -v a="$alone" -v b="$beside" -v d="$device" \
  'BEGIN { printf "threads alone %.3f s, beside %s %.3f s, beside / alone %.2f\n", a, d, b, b / a }'
