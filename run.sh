#!/usr/bin/env bash
# Builds as needed and runs the proxy on port 8080.
set -euo pipefail
cd "$(dirname "$0")"
scripts/ensure-packages.sh
scripts/build.sh build
exec build/corvane "$@"
