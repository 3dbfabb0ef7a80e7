#!/usr/bin/env bash
# Configures (once) and builds into the folder given (default: build) with any extra CMake
# options that follow.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
shift || true
if [[ ! -f "$dir/CMakeCache.txt" || $# -gt 0 ]]; then
  cmake -S . -B "$dir" "$@" >/dev/null
fi
cmake --build "$dir" -j"$(nproc)"
