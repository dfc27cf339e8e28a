#!/usr/bin/env bash
# The GPU check for a machine with an NVIDIA GPU, run from the bundle that scripts/gpu-bundle.sh
# makes: devices and runtimes, the GPU's digits against the processor's, lane-step rates, far
# places of the Bellard formula; a log and a JSON summary in OUTDIR, and one closing table.
# Usage: gpu_check.sh BUNDLE OUTDIR. A missing runtime or a failing step is reported and the
# check goes on; differing digits stop it (exit 1). About six minutes at most (steps stop at
# TLY_BBP_CHECK_SECONDS, 340 by default).
set -uo pipefail
# Numbers with a decimal point whatever the locale.
export LC_ALL=C
usage() {
  echo "usage: gpu_check.sh BUNDLE OUTDIR (BUNDLE: a folder made by scripts/gpu-bundle.sh)" >&2
  exit 2
}
(($# == 2)) && [ -n "$1" ] && [ -n "$2" ] || usage
bundle=$1 out=$2
# Relative names from here, never cd's own meanings ("-" is the previous directory).
[[ $bundle == /* ]] || bundle=./$bundle
[[ $out == /* ]] || out=./$out
[ -d "$bundle" ] && [ -f "$bundle/tallyspire-bbp" ] && [ -x "$bundle/tallyspire-bbp" ] || {
  echo "error: $bundle has no tallyspire-bbp launcher: not a bundle" >&2
  exit 2
}
bundle=$(cd -P -- "$bundle" && pwd -P) || exit 2
if [ -L "$out" ] || { [ -e "$out" ] && ! [ -d "$out" ]; }; then
  echo "error: $out is not a directory" >&2
  exit 2
fi
mkdir -p -- "$out" || exit 2
out=$(cd -P -- "$out" && pwd -P) || exit 2
log=$out/check.log summary=$out/summary.json
rm -f -- "$log" "$summary" "$out/lanesteps.json" "$out/devices.json"
: >"$log" || exit 2

program=$bundle/tallyspire-bbp
deadline=$((SECONDS + ${TLY_BBP_CHECK_SECONDS:-340}))
has_timeout=false
command -v timeout >/dev/null && has_timeout=true
rows=() json_rows=() failed=false stopped=false

say() { echo "$*" | tee -a "$log"; }
json_text() {
  local s=$1
  s=${s//\\/\\\\} s=${s//\"/\\\"} s=${s//$'\n'/ } s=${s//$'\t'/ } s=${s//$'\r'/ }
  printf '"%s"' "$s"
}
# A row of the closing table and of the summary: step, device, result, digits, seconds.
record() {
  rows+=("$(printf '%-30s %-12s %-30s %-24s %s' "$1" "$2" "$3" "$4" "$5")")
  json_rows+=("{\"step\":$(json_text "$1"),\"device\":$(json_text "$2"),\"result\":$(json_text "$3"),\"digits\":$(json_text "$4"),\"seconds\":$(json_text "$5")}")
  say "== $1 [$2]: $3 ${4:+digits $4 }${5:+in $5 s}"
  case "$3" in FAIL*) failed=true ;; esac
}

# Seconds since the epoch with a fraction (bash 5 has it built in).
now() {
  if [ -n "${EPOCHREALTIME:-}" ]; then echo "$EPOCHREALTIME"; else date +%s.%N; fi
}
# Runs a command under a time limit (at most what is left of the check), its output into
# $output, its status into $status and wall seconds into $took; 124 is a timeout.
run_step() {
  local limit=$1 left=$((deadline - SECONDS))
  shift
  ((limit < left)) || limit=$left
  if ((limit < 5)); then
    output="" status=125 took=0
    return
  fi
  say "\$ $*"
  local started
  started=$(now)
  if $has_timeout; then
    output=$(timeout --kill-after=10 "$limit" "$@" 2>&1)
  else
    output=$("$@" 2>&1)
  fi
  status=$?
  took=$(awk -v a="$started" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }')
  printf '%s\n' "$output" >>"$log"
}
# What a failed step says in the table.
why_failed() {
  case "$status" in
    124 | 137) echo "FAIL: over its time" ;;
    125) echo "skipped: out of time" ;;
    2) if [[ $output == *--devices* ]]; then echo "not available (no --devices)"; else echo "FAIL: refused (exit 2)"; fi ;;
    *) echo "FAIL: exit $status" ;;
  esac
}
json_field() { # the string or number of a field in the program's one-line JSON
  printf '%s' "$output" | grep -o "\"$1\":\(\"[^\"]*\"\|[0-9.e+-]*\)" | head -n 1 | sed 's/^[^:]*://; s/"//g'
}

say "GPU check of $program, $(date -u '+%Y-%m-%d %H:%M:%S UTC') on $(uname -n) ($(nproc 2>/dev/null || echo ?) processors)"
command -v nvidia-smi >/dev/null && { nvidia-smi -L 2>&1 | tee -a "$log"; }

# ---- Devices and runtimes
run_step 60 "$program" --list-devices
printf '%s\n' "$output"
run_step 60 "$program" --list-devices --json
devices_json=$output
printf '%s\n' "$devices_json" >"$out/devices.json"
# Each GPU's names, every runtime's one: the objects of the one-line list, split apart.
gpu_names=()
while read -r device; do
  [[ $device == *'"gpu":true'* ]] || continue
  names=$(printf '%s' "$device" | grep -o '"names":\[[^]]*\]' | grep -o '"[a-z]*:[0-9:]*"' | tr -d '"')
  for name in $names; do gpu_names+=("$name"); done
done < <(printf '%s\n' "$devices_json" | sed 's/},{/}\n{/g')
cuda_status=$(output=$devices_json json_field cuda)
[[ $devices_json == *'"cuda":null'* ]] && cuda_status="loaded"
opencl_status=$(output=$devices_json json_field opencl)
[[ $devices_json == *'"opencl":null'* ]] && opencl_status="loaded"
record "runtime cuda" "-" "${cuda_status:-not listed}" "" ""
record "runtime opencl" "-" "${opencl_status:-not listed}" "" ""
record "devices" "-" "${gpu_names[*]:-no NVIDIA GPU}" "" ""
# One device per runtime: the first of each.
targets=()
for backend in cuda opencl; do
  for name in "${gpu_names[@]}"; do
    [[ $name == "$backend":* ]] && { targets+=("$name"); break; }
  done
done
no_gpu="no NVIDIA GPU"
((${#targets[@]})) || say "   $no_gpu: ${cuda_status:-no CUDA}; OpenCL GPUs: none"

# ---- The GPU's digits against the processor's at place 10^7 + 1, both formulas
for formula in plouffe bellard; do
  run_step 120 "$program" --place 10000001 --formula "$formula" --digits 24 --json --quiet
  if ((status != 0)); then
    record "cpu $formula 10^7+1" "cpu" "$(why_failed)" "" "$took"
    continue
  fi
  cpu=$(json_field hexadecimal)
  record "cpu $formula 10^7+1" "cpu" "ok" "$cpu" "$took"
  ((${#targets[@]})) || record "gpu=cpu $formula 10^7+1" "gpu" "$no_gpu" "" ""
  for target in "${targets[@]}"; do
    run_step 120 "$program" --place 10000001 --formula "$formula" --digits 24 --devices "$target" --json --quiet
    if ((status != 0)); then
      record "gpu=cpu $formula 10^7+1" "$target" "$(why_failed)" "" "$took"
      continue
    fi
    gpu=$(json_field hexadecimal)
    if [ "$gpu" = "$cpu" ]; then
      record "gpu=cpu $formula 10^7+1" "$target" "ok" "$gpu" "$took"
    else
      record "gpu=cpu $formula 10^7+1" "$target" "FAIL: digits differ" "$gpu" "$took"
      say "FAIL: $target's digits $gpu differ from the processor's $cpu ($formula, place 10^7+1): stopping"
      stopped=true
      break 2
    fi
  done
done

# ---- Lane-steps per second: each GPU arithmetic on each runtime, the processor's variant
if ! $stopped; then
  if [ -x "$bundle/gpu_lanestep_bench" ]; then
    run_step 150 "$bundle/gpu_lanestep_bench" --benchmark_out="$out/lanesteps.json" --benchmark_out_format=json \
      --benchmark_report_aggregates_only=true
    if ((status == 0)) && [ -f "$out/lanesteps.json" ]; then
      # The best of the repetitions (the "_max" aggregate) of each benchmark.
      # name: DEVICE/ARITHMETIC/MODULI or cpu/VARIANT, then /cells:4... and the aggregate.
      while IFS=$'\t' read -r device what rate; do
        [[ $rate =~ ^[0-9.]+(e[+-]?[0-9]+)?$ ]] || continue
        rows+=("$(printf '%-30s %-12s %-30s' "lane-steps/s $what" "$device" "$(printf '%.3e' "$rate")")")
        json_rows+=("{\"step\":$(json_text "lane-steps/s $what"),\"device\":$(json_text "$device"),\"result\":\"ok\",\"lane_steps_per_second\":$rate}")
        say "== lane-steps/s $what [$device]: $rate"
      done < <(awk -F'"' '/"name":/ { name = $4 }
        /"lane_steps_per_s":/ { v = $3; gsub(/[:, ]/, "", v)
          if (name ~ /_max$/) { sub(/\/cells:.*$/, "", name); d = name; sub(/\/.*$/, "", d); w = name; sub(/^[^\/]*\//, "", w)
            printf "%s\t%s\t%s\n", d, w, v } }' "$out/lanesteps.json")
      ((${#targets[@]})) || record "lane-steps/s gpu" "gpu" "$no_gpu" "" ""
    else
      record "lane-steps/s" "all" "$(why_failed)" "" "$took"
    fi
  else
    record "lane-steps/s" "all" "not available (no benchmark in the bundle)" "" ""
  fi
fi

# ---- The Bellard formula far out: the GPU alone, then with the processor's threads
if ! $stopped; then
  for run in "gpu 1000000001 60 10^9+1" "gpu 10000000001 90 10^10+1" "gpu 100000000001 120 10^11+1" \
    "all 10000000001 90 10^10+1"; do
    read -r devices place limit shown <<<"$run"
    label="bellard $shown $devices"
    if ((${#targets[@]} == 0)); then
      record "$label" "$devices" "$no_gpu" "" ""
      continue
    fi
    run_step "$limit" "$program" --place "$place" --formula bellard --digits 24 --devices "$devices" --json --quiet
    if ((status == 0)); then
      record "$label" "$devices" "ok" "$(json_field hexadecimal)" "$(json_field seconds)"
    else
      record "$label" "$devices" "$(why_failed)" "" "$took"
    fi
  done
fi

# ---- The summary and the closing table
{
  printf '{"bundle":%s,"machine":%s,"cuda":%s,"opencl":%s,"gpus":%s,"failed":%s,"steps":[' "$(json_text "$bundle")" \
    "$(json_text "$(uname -n)")" "$(json_text "$cuda_status")" "$(json_text "$opencl_status")" \
    "$(json_text "${gpu_names[*]:-}")" "$failed"
  (IFS=,; printf '%s' "${json_rows[*]}")
  printf ']}\n'
} >"$summary"
{
  echo
  printf '%-30s %-12s %-30s %-24s %s\n' "step" "device" "result" "digits" "seconds"
  printf '%s\n' "${rows[@]}"
  echo "log: $log; summary: $summary"
} | tee -a "$log"
$failed && exit 1
exit 0
