#!/usr/bin/env bash
# Fails when a C++ file does not follow .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cpp' '*.h')
bad=()
for f in $files; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [[ ${#bad[@]} -gt 0 ]]; then
  echo "Not formatted (run clang-format -i): ${bad[*]}" >&2
  exit 1
fi
echo "Formatting: $(echo "$files" | wc -w) files follow .clang-format"
