#!/usr/bin/env bash
# Start-up of a device run with an empty program cache against a warm one: the built program
# at a near place (`PLACE`, default 10^3 + 1, where the first block is the whole run) on
# `DEVICE` (default opencl:0:0), best of `RUNS` (default 5) each, wall seconds. With
# POCL_KERNEL_CACHE=0 PoCL's own cache of compiled kernels is off too, as on a first run.
# Usage: bench/program_cache.sh [PROGRAM]
set -euo pipefail
program=${1:-build/release/BBP/tallyspire-bbp}
place=${PLACE:-1001} device=${DEVICE:-opencl:0:0} runs=${RUNS:-5}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
run() {  # run CACHE_DIRECTORY: prints the wall seconds of one run
  local start end
  start=$(date +%s%N)
  TLY_BBP_CACHE_DIR=$1 "$program" --place "$place" --devices "$device" --quiet >/dev/null
  end=$(date +%s%N)
  awk -v ns=$((end - start)) 'BEGIN { printf "%.3f\n", ns / 1e9 }'
}
best() { sort -n | head -1; }
# The warm cache first filled; the empty one made afresh for each run.
run "$scratch/warm" >/dev/null
for i in $(seq "$runs"); do
  run "$scratch/empty$i" >>"$scratch/empty.times"
  run "$scratch/warm" >>"$scratch/warm.times"
done
empty=$(best <"$scratch/empty.times") warm=$(best <"$scratch/warm.times")
awk -v e="$empty" -v w="$warm" -v r="$runs" -v d="$device" -v p="$place" \
  'BEGIN { printf "empty cache: %s s, warm cache: %s s, ratio %.2f (best of %s, %s, place %s)\n", e, w, e / w, r, d, p }'
