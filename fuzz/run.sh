#!/usr/bin/env bash
# Builds the fuzz targets with clang into a build folder of their own and runs each for a given
# time, on a scratch copy of the seed corpus so that fuzz/corpus is never flooded.
#
#   fuzz/run.sh BUILD_DIR SECONDS [AT_ONCE]
#
# AT_ONCE targets run side by side (default 1). Prints per target how long it ran, its executions,
# its coverage and whether it found anything; exits 1 when any target found something.
# FUZZ_CMAKE_ARGS adds options to the configure step. The scratch folder (grown corpus, logs,
# inputs that found something) is kept when a target found something or FUZZ_KEEP_SCRATCH is set.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:?build folder}"
seconds="${2:?seconds per target}"
at_once="${3:-1}"

# shellcheck disable=SC2086
CC=clang CXX=clang++ cmake -S . -B "$build" -DCORVANE_FUZZ=ON -DCORVANE_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo ${FUZZ_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" --target fuzz_all -j"$(nproc)" >/dev/null

scratch="$(mktemp -d "${TMPDIR:-/tmp}/corvane-fuzz-XXXXXX")"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

targets=()
for corpus in fuzz/corpus/*/; do
  targets+=("$(basename "$corpus")")
done

run_target() {
  local target="$1" dir="$scratch/$1" max_len=12288
  mkdir -p "$dir/corpus"
  cp fuzz/corpus/"$target"/* "$dir/corpus/"
  [[ "$target" == store_* ]] && max_len=4096
  local start end status=0
  start=$(date +%s)
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=25 \
    -print_final_stats=1 -artifact_prefix="$dir/" "$dir/corpus" >"$dir/log" 2>&1 || status=$?
  end=$(date +%s)
  echo "$((end - start)) $status" >"$dir/result"
}

running=0
for target in "${targets[@]}"; do
  echo "== fuzz_$target: ${seconds}s"
  run_target "$target" &
  running=$((running + 1))
  if ((running >= at_once)); then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

found=0
printf '\n%-18s %8s %12s %10s %8s  %s\n' target seconds executions exec/s cov finding
for target in "${targets[@]}"; do
  dir="$scratch/$target"
  read -r took status <"$dir/result"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$dir/log" | tail -1 | cut -d' ' -f2)
  artifacts=$(find "$dir" -maxdepth 1 \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
    -o -name 'oom-*' \) | tr '\n' ' ')
  finding=none
  if [[ "$status" != 0 || -n "$artifacts" ]]; then
    found=1
    finding="exit $status ${artifacts:-(no input saved)}; log: $dir/log"
  fi
  printf '%-18s %8s %12s %10s %8s  %s\n' "$target" "$took" "${runs:-?}" "${speed:-?}" \
    "${cov:-?}" "$finding"
done
if [[ "$found" == 0 && -z "${FUZZ_KEEP_SCRATCH:-}" ]]; then
  rm -rf "$scratch"
else
  echo "scratch folder: $scratch"
fi
exit "$found"
