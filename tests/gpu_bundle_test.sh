#!/usr/bin/env bash
# The GPU bundle runs from a copy under env -i, its launcher alone on the path, with the
# machine's copies of the libraries it carries hidden. Usage: gpu_bundle_test.sh PROGRAM REPO
set -euo pipefail
(($# == 2)) || { echo "usage: gpu_bundle_test.sh PROGRAM REPO" >&2; exit 2; }
program=$1 repo=$2
scratch=$(mktemp -d)
trap 'rm -rf -- "$scratch"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

"$repo/scripts/gpu-bundle.sh" --program "$program" "$scratch/made" >/dev/null
# Refusals: a second bundle into a full folder, a file, no folder at all.
"$repo/scripts/gpu-bundle.sh" --program "$program" "$scratch/made" 2>/dev/null && fail "bundled into a full folder"
touch "$scratch/file"
"$repo/scripts/gpu-bundle.sh" --program "$program" "$scratch/file" 2>/dev/null && fail "bundled into a file"
"$repo/scripts/gpu-bundle.sh" 2>/dev/null && fail "bundled with no folder named"

# Plain files only (the folder travels as files), at most 30 MiB, no driver library, the C
# library apart from the rest, NVIDIA's OpenCL named by its soname.
copy="$scratch/a copy with spaces"
cp -r -- "$scratch/made" "$copy"
[ -z "$(find "$copy" -type l)" ] || fail "links in the bundle: $(find "$copy" -type l)"
(($(du -sb -- "$copy" | cut -f1) <= 30 * 1024 * 1024)) || fail "the bundle is over 30 MiB"
for carried in lib/libOpenCL.so.1 lib/libstdc++.so.6 lib/libgomp.so.1 lib/glibc/libc.so.6 tallyspire-bbp gpu_check.sh; do
  [ -f "$copy/$carried" ] || fail "no $carried in the bundle"
done
[ -z "$(find "$copy" -name 'libcuda*' -o -name 'libnvidia*' -o -name 'libnvrtc*')" ] || fail "driver libraries bundled"
[ ! -e "$copy/lib/libc.so.6" ] || fail "the C library beside the others"
[ "$(cat "$copy/etc/OpenCL/vendors/nvidia.icd")" = libnvidia-opencl.so.1 ] || fail "the ICD entry"

# What the runs must show: place 1000001's published digits, and the listing's reasons.
expect_digits() {
  [[ $1 == *"hexadecimal 6c65e52cb4593,"* ]] || fail "$2 printed: $1"
}
check_runs() {
  local glibc
  for glibc in auto bundled; do
    expect_digits "$(env -i PATH="$copy" TALLYSPIRE_GLIBC=$glibc tallyspire-bbp --place 1000001 --digits 13 --quiet | tail -1)" \
      "the $glibc C library's run"
  done
  local list
  list=$(env -i PATH="$copy" tallyspire-bbp --list-devices)
  [[ $list == *"No CUDA devices: no CUDA driver (libcuda.so.1)."* ]] || fail "the listing: $list"
  [[ $list != *"no OpenCL loader"* ]] || fail "the bundled OpenCL loader was not found: $list"
}

# Hidden: each library the bundle carries has /dev/null mounted over the machine's copy in a
# mount namespace of its own, so a library found outside the bundle cannot load. Where
# namespaces are refused (an unprivileged container), the trace below is the proof alone.
if unshare --mount true 2>/dev/null; then
  hidden=()
  for library in "$copy"/lib/*.so*; do
    name=${library##*/}
    while read -r path; do hidden+=("$path"); done < <(ldconfig -p | awk -v n="$name" '$1 == n { print $NF }')
  done
  ((${#hidden[@]} >= 4)) || fail "found too few of the machine's copies to hide: ${hidden[*]}"
  export -f check_runs expect_digits fail
  export copy
  unshare --mount bash -c 'set -euo pipefail
    for path in "$@"; do mount --bind /dev/null "$path"; done
    # The hiding works: the machine'"'"'s program itself no longer starts.
    if env -i "$0" --version >/dev/null 2>&1; then fail "the hidden libraries still load"; fi
    check_runs' "$program" "${hidden[@]}"
else
  echo "note: mount namespaces refused here; the loader's trace alone shows where libraries come from"
  check_runs
fi

# The loader's trace: after the launcher's shell, every library the program and the OpenCL
# loader it opens start is the bundle's, but for the machine's C library in the host mode.
for glibc in host bundled; do
  trace=$(env -i PATH="$copy" TALLYSPIRE_GLIBC=$glibc LD_DEBUG=libs tallyspire-bbp --list-devices 2>&1 >/dev/null |
    awk '/calling init: / { sub(/.*calling init: /, ""); print }' | awk '/ld-linux/ { n++ } n >= 2')
  [[ $trace == *"$copy/lib/libOpenCL.so.1"* ]] || fail "$glibc: the OpenCL loader did not come from the bundle: $trace"
  while read -r path; do
    [[ $path == "$copy/"* ]] && continue
    [[ $glibc == host && ${path##*/} =~ ^(ld-linux-x86-64\.so\.2|ld-linux-aarch64\.so\.1|libc\.so\.6|libm\.so\.6)$ ]] && continue
    fail "$glibc: $path loaded from outside the bundle"
  done <<<"$trace"
done
# The GPU check from the copy, on a machine without a GPU: the processor's steps run, every GPU
# step says there is none, and the summary is written.
check=$(env -i PATH=/usr/bin:/bin "$copy/gpu_check.sh" "$copy" "$scratch/check") || fail "the check failed: $check"
[[ $check == *"cpu bellard 10^7+1"*" ok "*"7af5863efed8de97033cd0f6"* ]] || fail "the check's processor step: $check"
for step in "gpu=cpu plouffe 10^7+1" "gpu=cpu bellard 10^7+1" "bellard 10^11+1 gpu" "bellard 10^10+1 all"; do
  grep -q "^$step  *[a-z]*  *no NVIDIA GPU" <<<"$check" || fail "the check's step $step: $check"
done
grep -q '"lane-steps/s".*not available (no benchmark in the bundle)' "$scratch/check/summary.json" || fail "the summary"
[ -s "$scratch/check/check.log" ] || fail "no log"
echo "the bundle runs from a copy with the machine's libraries hidden, and its check says there is no GPU"
