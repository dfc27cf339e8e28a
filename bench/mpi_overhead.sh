#!/usr/bin/env bash
# Times the MPI program on two ranks of one thread each against the single-process program.
#
# Usage: bench/mpi_overhead.sh [build directory]
# Without a directory it builds both programs with the release preset. Both runs use two
# threads in all, Plouffe at PLACE (default 10000001) with DIGITS (default 16) digits, RUNS
# times each (default 5); the medians are compared. MPIRUN names the launcher (default mpirun;
# mpiexec.mpich with a build made by the mpich preset), MPIRUN_ARGS adds options for it.
set -euo pipefail

place=${PLACE:-10000001}
digits=${DIGITS:-16}
runs=${RUNS:-5}

fail() {
  echo "mpi_overhead: error: $*" >&2
  exit 1
}

root=$(cd "$(dirname "$0")/.." && pwd)
if (($# > 0)); then
  build=$1
else
  cd "$root"
  cmake --preset release >/dev/null || fail "configuring the release build failed"
  cmake --build --preset release --target tallyspire-bbp tallyspire-bbp-mpi >/dev/null ||
    fail "building the programs failed (is Open MPI installed? scripts/packages.sh lists it)"
  build=$root/build/release
fi
single=$build/BBP/tallyspire-bbp
job=$build/BBP/tallyspire-bbp-mpi
[ -x "$single" ] || fail "no program at $single"
[ -x "$job" ] || fail "no MPI program at $job"
mpirun=${MPIRUN:-mpirun}
command -v "$mpirun" >/dev/null || fail "$mpirun not found (package openmpi-bin)"

# Open MPI refuses root unless asked on its command line.
launcher=("$mpirun" -np 2)
if [ "$(id -u)" = 0 ] && "$mpirun" --version 2>/dev/null | grep -q "Open MPI"; then
  launcher+=(--allow-run-as-root)
fi

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# One run: prints "computation-seconds wall-seconds hex-digits".
run() {
  local t0 t1 output
  t0=$(now)
  output=$(printf '0\n%s\n%s\n' "$place" "$digits" | "$@") || fail "$* ended with exit code $?"
  t1=$(now)
  local time shown
  time=$(sed -n 's/^Time: //p' <<<"$output")
  shown=$(awk '/^Hexadecimal Digits starting from: /{hex=1; next} hex' <<<"$output" | tr -cd '0-9a-f')
  [ -n "$time" ] || fail "$*: no total Time line in the output"
  echo "$time $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }') $shown"
}

echo "cores: $(nproc), load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Plouffe at place $place, $digits digits, $runs runs each"
echo
single_times=() single_walls=() job_times=() job_walls=()
for ((i = 1; i <= runs; ++i)); do
  read -r time wall shown_single < <(run "$single")
  single_times+=("$time") single_walls+=("$wall")
  # shellcheck disable=SC2086  # MPIRUN_ARGS holds separate options
  read -r time wall shown_job < <(OMP_THREAD_LIMIT=1 run "${launcher[@]}" ${MPIRUN_ARGS:-} "$job")
  job_times+=("$time") job_walls+=("$wall")
  [ "$shown_single" = "$shown_job" ] || fail "different digits: single $shown_single, MPI $shown_job"
  printf 'run %d: single %ss (wall %ss), MPI 2 x 1 thread %ss (wall %ss)\n' "$i" "${single_times[-1]}" \
    "${single_walls[-1]}" "${job_times[-1]}" "${job_walls[-1]}"
done

t_single=$(printf '%s\n' "${single_times[@]}" | median)
t_job=$(printf '%s\n' "${job_times[@]}" | median)
w_single=$(printf '%s\n' "${single_walls[@]}" | median)
w_job=$(printf '%s\n' "${job_walls[@]}" | median)
echo
echo "median computation (the Time line): single $t_single s, MPI $t_job s"
echo "median wall clock (with start-up):  single $w_single s, MPI $w_job s"
awk -v s="$t_single" -v j="$t_job" 'BEGIN { printf "ratio MPI / single, computation: %.3f\n", j / s }'
awk -v s="$w_single" -v j="$w_job" 'BEGIN { printf "ratio MPI / single, wall clock:  %.3f\n", j / s }'
