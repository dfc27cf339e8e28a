#!/usr/bin/env bash
# Builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/packages.sh
tly_bbp_need_packages "${BUILD_PACKAGES[@]}"
cmake --preset release
cmake --build --preset release
ctest --preset release
