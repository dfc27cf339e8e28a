#!/usr/bin/env bash
# Builds everything and runs every test: the suite, the installed tree and the Debian packages,
# the MPI tests again with MPICH, then
# ThreadSanitizer on the thread-count tests, a bounded fuzzing run of the console dialogue,
# the suite again under AddressSanitizer and UndefinedBehaviorSanitizer, and (on any machine
# but an ARM64 one) the ARM64 build's tests under qemu-aarch64.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/packages.sh
tly_bbp_need_packages "${BUILD_PACKAGES[@]}" "${CHECK_PACKAGES[@]}"
# An ARM64 machine runs the stages below natively; any other also builds for ARM64 and runs
# the result under qemu-aarch64.
arm64_native=false
[ "$(uname -m)" = aarch64 ] && arm64_native=true
$arm64_native || tly_bbp_need_cross_packages

# Stage times go to standard error, so that the last test runner's summary closes the output.
stage_start=$SECONDS
stage_done() {
  echo "== stage $1: $((SECONDS - stage_start)) s" >&2
  stage_start=$SECONDS
}

cmake --preset release
cmake --build --preset release
# The GPU tests run on PoCL, installed above: here they fail rather than skip without it.
TLY_BBP_NEED_OPENCL=1 ctest --preset release
stage_done "release build and suite"

# What a user installs: the tree `cmake --install` makes, and the Debian packages, checked by
# lintian, the first unpacked and run at a place whose digits are published (place 1000000 on:
# 26c65e52cb4593).
lint=$(mandoc -Tlint -W warning docs/tallyspire-bbp.1 2>&1) || true
[ -z "$lint" ] || { echo "$lint"; echo "error: mandoc finds fault with the manual page" >&2; exit 1; }
install_dir=$(mktemp -d)
DESTDIR="$install_dir" cmake --install build/release --prefix /usr/local >/dev/null
for file in bin/tallyspire-bbp share/man/man1/tallyspire-bbp.1 share/doc/tallyspire-bbp/README.md \
    share/doc/tallyspire-bbp/LICENSE include/tallyspire/bbp.h lib/libtallyspire-bbp.so.1 lib/libtallyspire-bbp.a \
    lib/pkgconfig/tallyspire-bbp.pc lib/cmake/TallyspireBBP/TallyspireBBPConfig.cmake; do
  [ -f "$install_dir/usr/local/$file" ] || { echo "error: cmake --install made no $file" >&2; exit 1; }
done
# The library as another program uses it: the example built against the installed tree with
# CMake's package and with pkg-config, each run at place 1000001.
prefix="$install_dir/usr/local"
cmake -S docs/examples -B "$install_dir/example" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$install_dir/example" >/dev/null
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
cc -Wall -Werror docs/examples/digits.c $(pkg-config --cflags --libs tallyspire-bbp) -o "$install_dir/digits"
unset PKG_CONFIG_PATH
for example in "$install_dir/example/digits" "$install_dir/digits"; do
  digits=$(LD_LIBRARY_PATH="$prefix/lib" "$example")
  [ "$digits" = 6c65e52cb4593500 ] || { echo "error: $example printed: $digits" >&2; exit 1; }
done
rm -rf build/release/packages
cpack --config build/release/CPackConfig.cmake -G DEB >/dev/null
# No ITP bug to close: the packages are not uploaded to Debian.
lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs build/release/packages/*.deb
dpkg-deb -x build/release/packages/tallyspire-bbp_*_"$(dpkg --print-architecture)".deb "$install_dir/deb"
digits=$("$install_dir/deb/usr/bin/tallyspire-bbp" --place 1000001 --digits 13 --quiet | tail -1)
if [[ $digits != *"hexadecimal 6c65e52cb4593,"* ]]; then
  echo "error: the packaged program printed: $digits" >&2
  exit 1
fi
rm -rf "$install_dir"
stage_done "installation and packages"

# The MPI program and its tests once more, built with MPICH instead of Open MPI.
cmake --preset mpich
cmake --build --preset mpich
ctest --preset mpich
stage_done "MPICH build and MPI tests"

# Archer (LLVM's OpenMP tool) tells ThreadSanitizer about the runtime's barriers and locks;
# without it every report would be noise, so its greeting is required.
cmake --preset tsan
cmake --build --preset tsan
tsan_log=$(mktemp)
ctest --preset tsan 2>&1 | tee "$tsan_log"
if ! grep -q "Archer detected OpenMP application with TSan" "$tsan_log"; then
  echo "error: ThreadSanitizer ran without Archer, so it does not understand OpenMP here" >&2
  exit 1
fi
rm -f "$tsan_log"
stage_done "ThreadSanitizer"

# New inputs go to a scratch directory; the seeds in the repository stay as they are.
cmake --preset fuzz
cmake --build --preset fuzz
fuzz_dir=$(mktemp -d)
fuzz_log="$fuzz_dir/log"
mkdir "$fuzz_dir/corpus"
if ! build/fuzz/tests/fuzz/dialogue_fuzz -max_total_time="${TLY_BBP_FUZZ_SECONDS:-30}" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$fuzz_dir/" \
    "$fuzz_dir/corpus" tests/fuzz/corpus >"$fuzz_log" 2>&1; then
  cat "$fuzz_log"
  for input in "$fuzz_dir"/crash-* "$fuzz_dir"/timeout-* "$fuzz_dir"/oom-* "$fuzz_dir"/leak-*; do
    [ -e "$input" ] && { echo "failing input $input:"; od -c "$input" | head -20; }
  done
  exit 1
fi
grep -E "^Done|stat::number_of_executed_units" "$fuzz_log" || true
rm -rf "$fuzz_dir"
stage_done "fuzzing"

cmake --preset asan
cmake --build --preset asan
ctest --preset asan
stage_done "AddressSanitizer and UndefinedBehaviorSanitizer suite"

# The ARM64 build under emulation: the digits of pi through the whole program with its default
# variant, then the engine, series, formula, console and program tests (the long runs of known
# digits left to the native stages: emulation is some ten times slower).
if ! $arm64_native; then
  cmake --preset aarch64
  cmake --build --preset aarch64
  json=$(qemu-aarch64 build/aarch64/BBP/tallyspire-bbp --place 1000001 --formula both --json)
  if ! grep -q '"hexadecimal":"6c65e52cb459350050e4bb178f4c67a0".*"agree":true' <<<"$json"; then
    echo "error: ARM64 digits at place 1000001 are wrong: $json" >&2
    exit 1
  fi
  ctest --preset aarch64
  stage_done "ARM64 cross build under qemu-aarch64"
fi
