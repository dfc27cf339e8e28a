# Installs the Debian packages named as arguments that are missing, or fails naming them.
tly_bbp_need_packages() {
  local missing=() p
  # dpkg -s refuses a name installed for two architectures (multiarch); dpkg-query lists both.
  for p in "$@"; do
    dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qx installed || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  if [ "$(id -u)" != 0 ] && ! command -v sudo >/dev/null; then
    echo "error: missing Debian packages: ${missing[*]} (install them as root: apt-get install ${missing[*]})" >&2
    return 1
  fi
  local sudo=""
  [ "$(id -u)" = 0 ] || sudo=sudo
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null || {
    echo "error: could not install: ${missing[*]}" >&2
    return 1
  }
}
BUILD_PACKAGES=(cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev libmpfr-dev libgmp-dev)
# The command line: options, JSON output, checkpoint checksums.
BUILD_PACKAGES+=(libcli11-dev nlohmann-json3-dev zlib1g-dev)
# GPUs: the OpenCL headers (the ICD loader is opened at run time, never linked).
BUILD_PACKAGES+=(ocl-icd-opencl-dev opencl-headers opencl-clhpp-headers)
# The reliability checks: clang with its sanitizer and fuzzer runtimes, LLVM's OpenMP runtime
# (with Archer for ThreadSanitizer), valgrind, and taskset (util-linux).
CHECK_PACKAGES=(clang libclang-rt-14-dev libomp-dev valgrind util-linux)
# PoCL runs the GPU kernels on the processor in the tests; clinfo lists what OpenCL finds.
CHECK_PACKAGES+=(pocl-opencl-icd clinfo)
# Open MPI: the MPI program and its tests (the single-process program never needs it).
BUILD_PACKAGES+=(openmpi-bin libopenmpi-dev)
# MPICH, installed beside Open MPI (which stays the default): ./test.sh runs the MPI tests with both.
CHECK_PACKAGES+=(mpich libmpich-dev)
# The Debian packages and the manual page: CPack reads the dependencies with dpkg-shlibdeps
# (dpkg-dev) of the files `file` finds to be programs; lintian and mandoc check the results.
CHECK_PACKAGES+=(dpkg-dev file lintian mandoc)
# Benchmark scripts run by hand: gnuplot draws bench/place_chart.sh's chart.
BENCH_PACKAGES=(gnuplot-nox)
# scripts/slurm-trial.sh: a one-node Slurm to try the batch examples in docs/examples on.
SLURM_PACKAGES=(slurm-wlm munge)
# The ARM64 stage of ./test.sh on other machines: the cross compiler, qemu-user, and the arm64
# multiarch libraries that the tests link and that the program loads under qemu-aarch64.
CROSS_PACKAGES=(g++-aarch64-linux-gnu qemu-user libgtest-dev:arm64 libgmock-dev:arm64 libgmp-dev:arm64
  libmpfr-dev:arm64 zlib1g-dev:arm64 libstdc++6:arm64 libgomp1:arm64)

# Adds arm64 to dpkg's architectures (once) and installs CROSS_PACKAGES.
tly_bbp_need_cross_packages() {
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo dpkg --add-architecture arm64 || {
      echo "error: could not add the arm64 architecture (as root: dpkg --add-architecture arm64)" >&2
      return 1
    }
  fi
  tly_bbp_need_packages "${CROSS_PACKAGES[@]}"
}
