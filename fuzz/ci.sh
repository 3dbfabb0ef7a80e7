#!/usr/bin/env bash
# CI: builds the fuzz targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) and runs each
# for a short time, 30 seconds unless told otherwise; fails when any target finds something.
set -euo pipefail
cd "$(dirname "$0")/.."
exec fuzz/run.sh build-fuzz-ci "${1:-30}" 1
