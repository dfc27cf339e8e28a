#!/usr/bin/env bash
# Fails on an include or a link of ours that runs up the layers: engine < formulas < library,
# mpi < cli, Main, with the GPU backend on the engine alone, below the library and the command
# line; and on a public header that includes anything of ours. Every include is resolved as the
# compiler would (beside the file, then the include roots BBP/ and include/), whatever its
# spelling; the link lines are the layer libraries' own (LINKS, written by CMake).
# Usage: layers.sh SOURCE_ROOT [LINKS]
set -euo pipefail
root=$(realpath "$1")
links=${2:-}
declare -A allowed=([engine]="engine" [gpu]="engine gpu" [formulas]="engine formulas"
  [library]="engine formulas gpu library api" [mpi]="engine formulas mpi"
  [cli]="engine formulas gpu library mpi cli api" [Main]="engine formulas gpu library mpi cli Main api")
status=0

# The layer of a file of ours ("api" for the public headers), or nothing for anyone else's.
layer_of() {
  case $1 in
    "$root"/include/*) echo api ;;
    "$root"/BBP/*/*) local rest=${1#"$root"/BBP/}; echo "${rest%%/*}" ;;
  esac
}

# The file an include names, as the compiler finds it, or nothing when it is not ours.
resolve() {
  local file=$1 target=$2 quoted=$3 candidate
  local candidates=("$root/BBP/$target" "$root/include/$target")
  if [ "$quoted" = 1 ]; then candidates=("$(dirname "$file")/$target" "${candidates[@]}"); fi
  for candidate in "${candidates[@]}"; do
    if [ -f "$candidate" ]; then
      realpath "$candidate"
      return 0
    fi
  done
  return 0
}

for file in "$root"/BBP/*/*.h "$root"/BBP/*/*.cpp "$root"/include/*/*.h; do
  layer=$(layer_of "$file")
  shown=${file#"$root"/}
  [ -n "${allowed[$layer]:-}" ] || [ "$layer" = api ] || { echo "$shown: in no known layer"; status=1; continue; }
  while read -r quoted target; do
    resolved=$(resolve "$file" "$target" "$quoted")
    [ -n "$resolved" ] || continue
    to=$(layer_of "$resolved")
    if [ "$layer" = api ]; then
      echo "$shown includes $target: the public header may use nothing of ours"; status=1
    elif [[ " ${allowed[$layer]} " != *" $to "* ]]; then
      echo "$shown includes $target: $layer may not use $to"; status=1
    fi
  done < <(sed -n -e 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/1 \1/p' \
                  -e 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*<\([^>]*\)>.*/0 \1/p' "$file")
done

# Each line of LINKS: a layer, then the libraries it links.
if [ -n "$links" ]; then
  declare -A library_layer=([tly_bbp_engine]=engine [tly_bbp_gpu]=gpu [tly_bbp_formulas]=formulas [tly_bbp_library]=library
    [tly_bbp_mpi]=mpi [tly_bbp_cli]=cli [tly_bbp_console]=Main)
  while read -r layer libraries; do
    for library in ${libraries//;/ }; do
      to=${library_layer[$library]:-}
      [ -n "$to" ] || continue
      [[ " ${allowed[$layer]} " == *" $to "* ]] || { echo "the $layer library links $library: $layer may not use $to"; status=1; }
    done
  done < "$links"
fi
exit $status
