#!/usr/bin/env bash
# Cross-builds the Windows programs and tests (build-win/, the windows
# preset) with mingw-w64; with --test also runs the tests under Wine. The
# end-to-end serial test drives the Linux simulator, which is built too.
set -euo pipefail
cd "$(dirname "$0")/.."
run_tests=0
for arg in "$@"; do
  case "$arg" in
    --test) run_tests=1 ;;
    *) echo "usage: scripts/windows-build.sh [--test]" >&2; exit 2 ;;
  esac
done
scripts/deps.sh g++-mingw-w64-x86-64-posix wine wine64
cmake --preset default >/dev/null
cmake --build --preset default --target stravon-termsim stravon-porcio
cmake --preset windows >/dev/null
cmake --build --preset windows
if [ "$run_tests" = 1 ]; then
  ctest --preset windows
fi
