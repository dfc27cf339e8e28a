#!/usr/bin/env bash
# Fails on an include of ours that runs up the layers: engine < formulas < library, mpi < cli, Main.
set -euo pipefail
cd "$1"
declare -A allowed=([engine]="engine" [formulas]="engine formulas" [library]="engine formulas library"
  [mpi]="engine formulas mpi" [cli]="engine formulas library mpi cli" [Main]="engine formulas library mpi cli Main")
status=0
for file in */*.h */*.cpp; do
  layer=${file%%/*}
  [ -n "${allowed[$layer]:-}" ] || { echo "$file: in no known layer"; status=1; continue; }
  while read -r target; do
    # "../x/name.h" is the layer x; a bare "name.h" is the file's own layer.
    [[ $target == ../*/* ]] && to=${target#../} && to=${to%%/*} || to=$layer
    [[ " ${allowed[$layer]} " == *" $to "* ]] || { echo "$file includes $target: $layer may not use $to"; status=1; }
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done
exit $status
