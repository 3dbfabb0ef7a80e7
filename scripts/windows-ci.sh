#!/usr/bin/env bash
# Cross-builds the Windows program, its tests and its installer with MinGW-w64 (into the folder
# given, default build-windows), then runs scripts/windows-wine-tests.sh on one virtual display:
# Wine's desktop process keeps the display it first met, so every step shares the same one.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-windows}"

scripts/ensure-packages.sh scripts/windows-packages.txt
scripts/build.sh "$dir" -DCMAKE_TOOLCHAIN_FILE=scripts/mingw-w64-x86_64.cmake -DCORVANE_WERROR=ON
cmake --build "$dir" --target installer windows-zip
xvfb-run -a scripts/windows-wine-tests.sh "$dir"
