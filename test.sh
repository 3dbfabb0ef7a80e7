#!/usr/bin/env bash
# Builds as needed and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
scripts/ensure-packages.sh
scripts/build.sh build
ctest --test-dir build --output-on-failure -j"$(nproc)"
