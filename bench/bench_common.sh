# Shared by the bench scripts (sourced): their error exit and the program they measure.

# bench_fail MESSAGE: the script's name and the message on standard error, exit code 1.
bench_fail() {
  echo "$(basename "$0" .sh): error: $*" >&2
  exit 1
}

# bench_program [PATH]: sets `program` to PATH, or without one builds the program with the
# release preset and sets it to that build's.
bench_program() {
  if (($# > 0)); then
    program=$1
  else
    local root
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    (cd "$root" && cmake --preset release >/dev/null) || bench_fail "configuring the release build failed"
    (cd "$root" && cmake --build --preset release --target tallyspire-bbp >/dev/null) ||
      bench_fail "building the program failed"
    program=$root/build/release/BBP/tallyspire-bbp
  fi
  [ -x "$program" ] || bench_fail "no program at $program"
}
