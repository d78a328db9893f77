#!/usr/bin/env bash
# Runs one Windows program under Wine in a private prefix, removed afterwards;
# ctest's emulator for the windows preset. STRAVON_WINE_COM1 names the pty
# that COM1 leads to; without it no COM port leads anywhere.
# STRAVON_WINE_DISPLAY names the X display for programs that open windows.
set -uo pipefail
source "$(dirname "$0")/wine-env.sh"
[ -n "${STRAVON_WINE_DISPLAY:-}" ] && export DISPLAY="$STRAVON_WINE_DISPLAY"

if [ $# -eq 0 ]; then
  echo "usage: wine-run.sh PROGRAM.exe [ARGS...]" >&2
  exit 2
fi

scratch="$(mktemp -d "${TMPDIR:-/tmp}/stravon-wine.XXXXXX")"
cleanup() {
  wine_prefix_stop
  rm -rf "$scratch"
}
trap cleanup EXIT

wine_prefix_create "$scratch/prefix" "${STRAVON_WINE_COM1:-}" || exit 1
# With no window manager, Wine would wait 2 s for one at each hidden window.
[ -n "${STRAVON_WINE_DISPLAY:-}" ] && wine_prefix_user_value 'Software\Wine\X11 Driver' Managed str N
wine_prefix_start "${STRAVON_WINE_COM1:-}" || exit 1
# Run in the scratch directory, so files a program leaves go with it.
cd "$scratch"
wine "$@"
