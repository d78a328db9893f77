#!/usr/bin/env bash
# with_display.sh COMMAND...: runs COMMAND with an X display of its own
# (Xvfb), handed to Wine as STRAVON_WINE_DISPLAY.
set -uo pipefail
command -v Xvfb >/dev/null || { echo "with_display: no Xvfb (Debian package xvfb)" >&2; exit 1; }
scratch="$(mktemp -d "${TMPDIR:-/tmp}/stravon-display.XXXXXX")"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$scratch/display" 2>"$scratch/xvfb.err" &
xvfb=$!
cleanup() {
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
for _ in $(seq 200); do
  [ -s "$scratch/display" ] && break
  kill -0 "$xvfb" 2>/dev/null || break
  sleep 0.05
done
[ -s "$scratch/display" ] || { echo "with_display: Xvfb did not start: $(cat "$scratch/xvfb.err")" >&2; exit 1; }
STRAVON_WINE_DISPLAY=":$(head -n 1 "$scratch/display")" "$@"
