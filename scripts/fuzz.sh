#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang and runs each for a
# fixed time on a copy of its seed corpus. On a crash or a failed property it
# prints the input that did it and fails.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
seconds=${1:-30}
build=build-fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DSTRAVON_GUI=OFF -DSTRAVON_FUZZ=ON >/dev/null
cmake --build "$build" --target fuzz_all -j2

# In memory where there is some: the .reg target syncs every file it writes.
scratch=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=()
for seeds in tests/fuzz/corpus/*/; do
  name=$(basename "$seeds")
  # The run adds inputs to its corpus; the tree keeps only the seeds.
  cp -r "$seeds" "$scratch/$name"
  log="$scratch/$name.log"
  if TMPDIR="$scratch" "$build/bin/$name" -max_total_time="$seconds" -seed=1 -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix="$scratch/$name-" "$scratch/$name" >"$log" 2>&1; then
    echo "$name: $(grep -E '^Done [0-9]+ runs' "$log" | tail -1), no crash in ${seconds} s"
  else
    failed+=("$name")
    echo "=== $name FAILED"
    tail -n 60 "$log"
    for input in "$scratch/$name-"*; do
      [ -f "$input" ] || continue
      echo "--- input $(basename "$input") ($(stat -c %s "$input") bytes):"
      od -A x -t x1z -v "$input" | head -n 256
    done
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing failed: ${failed[*]}"
  exit 1
fi
