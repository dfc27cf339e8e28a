#!/usr/bin/env bash
# Makes a self-contained folder for a GPU machine that has only an NVIDIA driver and a CUDA
# toolkit: the release program (and the GPU lane-step benchmark where it builds), the shared
# libraries they need, the OpenCL ICD loader with an entry for NVIDIA's OpenCL, launchers that
# set the library path, and the GPU check. Usage: scripts/gpu-bundle.sh [--program FILE]
# [--bench FILE] DIR, DIR new or empty; --program/--bench take programs already built.
set -euo pipefail
usage() {
  echo "usage: scripts/gpu-bundle.sh [--program FILE] [--bench FILE] DIR" >&2
  exit 2
}
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
program="" bench="" dir=""
while (($#)); do
  case "$1" in
    --program | --bench)
      (($# >= 2)) && [ -n "$2" ] || usage
      [ -f "$2" ] && [ -x "$2" ] || { echo "error: $1: not an executable file: $2" >&2; exit 2; }
      if [ "$1" = --program ]; then program=$2; else bench=$2; fi
      shift 2 ;;
    --) shift; break ;;
    -*) usage ;;
    *) [ -z "$dir" ] || usage; dir=$1; shift ;;
  esac
done
(($# == 0)) || { [ -z "$dir" ] && (($# == 1)) && dir=$1; } || usage
[ -n "$dir" ] || usage
# A relative name from here, never cd's own meaning ("-" is the previous directory).
[[ $dir == /* ]] || dir=./$dir
if [ -L "$dir" ] || { [ -e "$dir" ] && ! [ -d "$dir" ]; }; then
  echo "error: $dir is not a directory" >&2
  exit 2
fi
if [ -d "$dir" ] && [ -n "$(ls -A -- "$dir")" ]; then
  echo "error: $dir is not empty" >&2
  exit 2
fi
mkdir -p -- "$dir"
dir=$(cd -- "$dir" && pwd -P)

# The release program, built here unless given; the benchmark from the bench build where
# Google Benchmark is found (the check times lane-steps with it).
if [ -z "$program" ]; then
  (cd "$repo" && cmake --preset release >/dev/null && cmake --build --preset release --target tallyspire-bbp >/dev/null)
  program=$repo/build/release/BBP/tallyspire-bbp
  if (cd "$repo" && cmake --preset bench >/dev/null 2>&1 &&
      cmake --build --preset bench --target gpu_lanestep_bench >/dev/null 2>&1); then
    bench=$repo/build/bench/bench/gpu_lanestep_bench
  else
    echo "note: no GPU lane-step benchmark (Google Benchmark missing?): the check will skip its timings" >&2
  fi
fi

mkdir -p "$dir/bin" "$dir/lib/glibc" "$dir/etc/OpenCL/vendors"
cp -- "$program" "$dir/bin/tallyspire-bbp"
[ -z "$bench" ] || cp -- "$bench" "$dir/bin/gpu_lanestep_bench"

# Libraries from ldd, copied under their own names (no links: the folder travels as plain
# files). The C library and the loader go apart, used only where the machine's own is older;
# the driver's libraries always come from the machine.
glibc_names='^(libc\.so|libm\.so|libmvec\.so|libdl\.so|libpthread\.so|librt\.so|ld-linux)'
driver_names='^(libcuda\.so|libnvidia-|libnvrtc)'
opencl_loader=$(ldconfig -p | awk '$1 == "libOpenCL.so.1" && /x86-64|AArch64/ && !found { print $NF; found = 1 }')
[ -n "$opencl_loader" ] && [ -f "$opencl_loader" ] || {
  echo "error: no OpenCL ICD loader (libOpenCL.so.1) to bundle: install ocl-icd-libopencl1" >&2
  exit 1
}
copy_needed() {
  local name path
  while read -r name path; do
    [ -n "$path" ] && [ -f "$path" ] || continue
    [[ $name =~ $driver_names ]] && continue
    if [[ $name =~ $glibc_names ]]; then
      cp -L -- "$path" "$dir/lib/glibc/$name"
    else
      cp -L -- "$path" "$dir/lib/$name"
    fi
  done < <(ldd "$1" | awk '$2 == "=>" && $3 ~ /^\// { print $1, $3 } $1 ~ /^\/.*ld-linux/ { n = split($1, p, "/"); print p[n], $1 }')
}
for binary in "$dir"/bin/* "$opencl_loader"; do copy_needed "$binary"; done
cp -L -- "$opencl_loader" "$dir/lib/libOpenCL.so.1"
# What the loader itself brings in besides the C library: nothing, on every ICD loader seen.
for name in libdl.so.2 libpthread.so.0 librt.so.1; do
  path=$(ldconfig -p | awk -v n="$name" '$1 == n && /x86-64|AArch64/ && !found { print $NF; found = 1 }')
  [ -z "$path" ] || cp -L -- "$path" "$dir/lib/glibc/$name"
done
# NVIDIA's OpenCL, by its soname: found wherever the machine's driver put it.
echo "libnvidia-opencl.so.1" >"$dir/etc/OpenCL/vendors/nvidia.icd"

# The newest C library version any bundled file asks for: the launcher compares the machine's.
glibc_needed=$(for f in "$dir"/bin/* "$dir"/lib/*.so*; do objdump -T "$f" 2>/dev/null; done |
  grep -o 'GLIBC_[0-9][0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -1)
loader=""
for path in "$dir"/lib/glibc/ld-linux*; do [ -f "$path" ] && loader=${path##*/} && break; done
[ -n "$loader" ] || { echo "error: ldd named no loader (ld-linux)" >&2; exit 1; }

needed_major=${glibc_needed%%.*} needed_minor=${glibc_needed#*.}
needed_minor=${needed_minor%%.*}
# Shell builtins only: under env -i the launcher may be all there is on the path.
launcher() {
  cat <<LAUNCHER
#!/bin/sh
# Runs the bundled $1 with the bundle's libraries. The machine's own C library is used where it
# is at least $glibc_needed, the bundled one otherwise (TALLYSPIRE_GLIBC=host or bundled decides).
# NVIDIA's OpenCL comes through the bundled ICD loader unless OCL_ICD_VENDORS is set; NVRTC
# from the library path, else the CUDA toolkit's.
case "\$0" in
  */*) here=\${0%/*} ;;
  *) here=. ;;
esac
here=\$(cd -P -- "\$here" && pwd -P) || exit 1
case "\$here" in
  *:*) echo "$1: the bundle's path must not contain ':' (it is a library path)" >&2; exit 2 ;;
esac
libraries="\$here/lib"
[ -z "\${LD_LIBRARY_PATH:-}" ] || libraries="\$libraries:\$LD_LIBRARY_PATH"
[ ! -d /usr/local/cuda/lib64 ] || libraries="\$libraries:/usr/local/cuda/lib64"
OCL_ICD_VENDORS=\${OCL_ICD_VENDORS:-\$here/etc/OpenCL/vendors}
export OCL_ICD_VENDORS
glibc=\${TALLYSPIRE_GLIBC:-auto}
if [ "\$glibc" = auto ]; then
  glibc=bundled
  host=""
  for getconf in /usr/bin/getconf /bin/getconf; do
    [ -x "\$getconf" ] && host=\$("\$getconf" GNU_LIBC_VERSION 2>/dev/null) && break
  done
  case "\$host" in
    "glibc "[0-9]*.[0-9]*)
      host=\${host#glibc } major=\${host%%.*} minor=\${host#*.}
      minor=\${minor%%.*}
      case "\$major\$minor" in
        *[!0-9]*) ;;
        *) if [ "\$major" -gt $needed_major ] || { [ "\$major" -eq $needed_major ] && [ "\$minor" -ge $needed_minor ]; }; then
             glibc=host
           fi ;;
      esac ;;
  esac
fi
case "\$glibc" in
  host) LD_LIBRARY_PATH=\$libraries; export LD_LIBRARY_PATH; exec "\$here/bin/$1" "\$@" ;;
  bundled) exec "\$here/lib/glibc/$loader" --library-path "\$here/lib/glibc:\$libraries" "\$here/bin/$1" "\$@" ;;
  *) echo "$1: TALLYSPIRE_GLIBC must be auto, host or bundled" >&2; exit 2 ;;
esac
LAUNCHER
}
for binary in "$dir"/bin/*; do
  name=$(basename -- "$binary")
  launcher "$name" >"$dir/$name"
  chmod 755 "$dir/$name"
done
cp -- "$repo/bench/gpu_check.sh" "$dir/gpu_check.sh"
chmod 755 "$dir/gpu_check.sh"

size=$(du -sb -- "$dir" | cut -f1)
if ((size > 30 * 1024 * 1024)); then
  echo "error: the bundle is $((size / 1024 / 1024)) MiB, over 30 MiB" >&2
  exit 1
fi
echo "bundle: $dir ($((size / 1024)) KiB; C library $glibc_needed or the bundled one)"
