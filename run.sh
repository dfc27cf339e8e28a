#!/usr/bin/env bash
# Builds the program and runs it; answer its questions at the prompts or from a pipe.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/packages.sh
tly_bbp_need_packages "${BUILD_PACKAGES[@]}"
cmake --preset release >/dev/null
cmake --build --preset release --target tallyspire-bbp >/dev/null
exec build/release/BBP/tallyspire-bbp
