#!/usr/bin/env bash
# Cross-builds the Windows program stravon.exe, its installer and its tests
# (build-win/, the windows preset) with mingw-w64 and NSIS; with --test also
# runs the tests under Wine. The end-to-end tests drive the Linux simulator
# and the information system's stand-in, which are built too.
set -euo pipefail
cd "$(dirname "$0")/.."
run_tests=0
for arg in "$@"; do
  case "$arg" in
    --test) run_tests=1 ;;
    *) echo "usage: scripts/windows-build.sh [--test]" >&2; exit 2 ;;
  esac
done
# Wine's own fonts (MS Sans Serif of the dialogs), Xvfb for the window, a
# Czech locale's sources for Wine's code page 1250.
scripts/deps.sh g++-mingw-w64-x86-64-posix wine wine64 fonts-wine nsis xvfb imagemagick librsvg2-bin locales
cmake --preset default >/dev/null
cmake --build --preset default --target stravon-termsim stravon-porcio
cmake --preset windows >/dev/null
cmake --build --preset windows

exe=build-win/bin/stravon.exe
# Statically linked: only DLLs that every Windows has.
foreign="$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/.*DLL Name: //p' |
  grep -viE '^(kernel32|user32|gdi32|advapi32|shell32|comctl32|comdlg32|uxtheme|winmm|msvcrt)\.dll$' || true)"
if [ -n "$foreign" ]; then
  echo "windows-build: stravon.exe needs DLLs that Windows does not have: $foreign" >&2
  exit 1
fi
setup="$(ls build-win/stravon-setup-*.exe)"
echo "windows-build: $exe ($(stat -c %s "$exe") bytes with debugging information)"
echo "windows-build: $setup ($(stat -c %s "$setup") bytes)"
if [ "$run_tests" = 1 ]; then
  ctest --preset windows
fi
