#!/usr/bin/env bash
# serial_e2e.sh TEST.exe STRAVON-TERMSIM: the simulator on a pty, mapped as
# COM1 in a private Wine prefix before Wine starts, and the test against it.
set -uo pipefail
exe="$1" termsim="$2"
root="$(cd "$(dirname "$0")/../.." && pwd)"
if [ ! -x "$termsim" ]; then
  echo "serial_e2e: no $termsim; build it: cmake --preset default && cmake --build --preset default --target stravon-termsim" >&2
  exit 1
fi
scratch="$(mktemp -d "${TMPDIR:-/tmp}/stravon-e2e.XXXXXX")"
"$termsim" --pty --log "$scratch/termsim.log" >"$scratch/pty" 2>"$scratch/termsim.err" &
sim=$!
cleanup() {
  kill "$sim" 2>/dev/null
  wait "$sim" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
for _ in $(seq 200); do
  [ -s "$scratch/pty" ] && break
  kill -0 "$sim" 2>/dev/null || break
  sleep 0.05
done
pty="$(head -n 1 "$scratch/pty")"
case "$pty" in
  /dev/pts/*) ;;
  *) echo "serial_e2e: the simulator gave no pty:" >&2; cat "$scratch/termsim.err" >&2; exit 1 ;;
esac
# The last test asks for the line to go: the simulator is ended then.
hangup="$scratch/hangup"
(
  for _ in $(seq 1200); do
    [ -e "$hangup" ] && { kill "$sim" 2>/dev/null; exit 0; }
    sleep 0.05
  done
) &
watcher=$!
STRAVON_E2E_HANGUP_FILE="$hangup" STRAVON_WINE_COM1="$pty" "$root/scripts/wine-run.sh" "$exe"
rc=$?
kill "$watcher" 2>/dev/null
wait "$watcher" 2>/dev/null
if [ $rc -ne 0 ]; then
  echo "--- simulator log" >&2
  tail -n 40 "$scratch/termsim.log" >&2
fi
exit $rc
