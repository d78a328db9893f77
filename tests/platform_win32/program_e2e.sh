#!/usr/bin/env bash
# program_e2e.sh STRAVON.exe DRIVER.exe LINUX_BIN LOCPATH: stravon.exe under Wine on
# a display of its own (Xvfb), its COM1 the simulator's pty in a private
# prefix, answers one request that the canteen system's stand-in drops, and
# ends through the close question. STRAVON_SHOTS=DIR also keeps a picture of
# each tab there.
set -uo pipefail
exe="$1" driver="$2" bin="$3" locales="$4"
root="$(cd "$(dirname "$0")/../.." && pwd)"
source "$root/scripts/wine-env.sh"
for p in stravon-termsim stravon-porcio; do
  [ -x "$bin/$p" ] || { echo "program_e2e: no $bin/$p; build it: cmake --build --preset default --target $p" >&2; exit 1; }
done
command -v Xvfb >/dev/null || { echo "program_e2e: no Xvfb (Debian package xvfb)" >&2; exit 1; }

scratch="$(mktemp -d "${TMPDIR:-/tmp}/stravon-program.XXXXXX")"
wd="$scratch/wd"
mkdir -p "$wd"
pids=()
cleanup() {
  wine_prefix_stop
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
log() { iconv -f CP1250 -t UTF-8 "$wd/errorlog.txt" 2>/dev/null | tr -d '\r'; }
fail() {
  echo "program_e2e: $*" >&2
  echo "--- errorlog.txt" >&2; log >&2
  echo "--- simulator" >&2; tail -n 20 "$scratch/termsim.log" >&2 2>/dev/null
  exit 1
}
# until SECONDS_LEFT COMMAND...: runs COMMAND every 0.1 s until it holds.
until_true() {
  local end=$((SECONDS + $1)); shift
  until "$@"; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.1
  done
}
started() { [ -s "$1" ]; }
logged() { log | grep -qF "$1"; }
ended() { ! kill -0 "$1" 2>/dev/null; }
drive() { wine "$driver" "$@"; }

echo "== the line and the display"
"$bin/stravon-termsim" --pty --terminal 1 --log "$scratch/termsim.log" >"$scratch/pty" 2>"$scratch/termsim.err" &
pids+=($!)
until_true 10 started "$scratch/pty" || fail "the simulator gave no pty: $(cat "$scratch/termsim.err")"
pty="$(head -n 1 "$scratch/pty")"
case "$pty" in /dev/pts/*) ;; *) fail "the simulator's line is no pty: $pty" ;; esac
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$scratch/display" 2>"$scratch/xvfb.err" &
pids+=($!)
until_true 20 started "$scratch/display" || fail "Xvfb did not start: $(cat "$scratch/xvfb.err")"
export DISPLAY=":$(head -n 1 "$scratch/display")"

echo "== the prefix: COM1 -> $pty, the configuration in HKCU"
wine_prefix_create "$scratch/prefix" "$pty" || fail "no prefix"
# Terminal 1 at address 1 on COM1, 19200 Bd, 2500 records, 5 and 5, credit
# on; request pozad.txt, output vystup.txt; two attempts each, high priority.
name() { local s=$1 i; for ((i = 0; i < 15; i++)); do
  if ((i < ${#s})); then printf '%02x ' "'${s:i:1}"; else printf '00 '; fi; done; }
record=(01 00 01 00 00 00 00 00 00 00 00 00 04 00 00 00 c4 09 00 00 05 00 00 00 05 00 00 00 00 00 01
        $(name pozad.txt) $(name vystup.txt) 01 01 01 00 00 00 00)
[ ${#record[@]} = 68 ] || fail "the record has ${#record[@]} bytes"
wine_prefix_user_value 'Software\VELKON_Software\Porcio\Setup' Data_CFG hex "$(IFS=,; echo "${record[*]}")"
# Window frames drawn by Wine, as there is no window manager (which Wine
# would otherwise wait for at each hidden window).
wine_prefix_user_value 'Software\Wine\X11 Driver' Managed str N
# A Czech PC: Wine takes the ANSI code page, Windows-1250, from the locale.
export LOCPATH="$locales" LANG=cs_CZ.UTF-8
# Nothing starts unless every COM port leads to the pty or nowhere.
wine_prefix_start "$pty" || fail "the prefix's COM ports are not safe"
[ "$(drive code-page | tr -d '\r')" = 1250 ] || fail "the ANSI code page is not 1250"

echo "== stravon.exe starts, lines the terminal up and hides in the tray"
(cd "$wd" && exec wine "$exe") >"$scratch/stravon.out" 2>&1 &
program=$!
pids+=($program)
until_true 60 logged "TERM 1 " || fail "the terminal was not lined up"
logged "TERM 1 SLAVE" || fail "terminal 1 is not a slave"
drive hidden || fail "the window shows at start although its port opened"

echo "== a second copy is refused"
(cd "$wd" && exec wine "$exe") >/dev/null 2>&1 &
second=$!
pids+=($second)
drive answer "Varování" ok "Tento program může být spuštěn pouze jednou!!!" || fail "the second copy's message"
until_true 20 ended "$second" || fail "the second copy did not end"
wait "$second"
rc=$?
[ $rc = 255 ] || fail "the second copy ended with $rc, not -1"

echo "== a request, dropped as the information system drops it"
line="Q00071A2B3C4D 1111100111110000000000000000NNNNNNNNNNNNNN22222222222222AAAAAAA0000000N*N*N*N*N*N*N*"
"$bin/stravon-porcio" --dir "$wd" --request pozad.txt --output vystup.txt --timeout 60 -- \
  "$line$(printf '%-14s' Novak) +00100" Y >"$scratch/porcio.out" || fail "no answer: $(cat "$scratch/porcio.out")"
cat "$scratch/porcio.out"
[ "$(cat "$wd/porcom.sta")" = $'3,2\r' ] || fail "porcom.sta: $(od -c "$wd/porcom.sta")"
tr -d '\r' <"$wd/vystup.txt" | grep -qxF "$line" || fail "the diner line did not come back"
[ ! -e "$wd/pozad.txt" ] || fail "the request is still there"

echo "== the window, opened from the tray, shows the run"
drive tray-dblclick || fail "a double click on the icon did not show the window"
drive read | tr -d '\r' >"$scratch/read.out"
cat "$scratch/read.out"
grep -qx "caption: Stravon - komunikátor pro jídelny (4 týdny)" "$scratch/read.out" || fail "the caption"
grep -qx "Lstatus: 3,2" "$scratch/read.out" || fail "the status is not shown"
grep -qxF "Memo1: $line" "$scratch/read.out" || fail "the log list lacks the diner line"
if [ -n "${STRAVON_SHOTS:-}" ]; then
  mkdir -p "$STRAVON_SHOTS"
  for tab in 0 1 2; do
    drive tab $tab || fail "tab $tab"
    sleep 1  # for the picture only: the page paints
    import -window root "$STRAVON_SHOTS/win32-tab$((tab + 1)).png"
  done
  drive tab 0
fi

echo "== wine taskkill: the close question, answered Yes"
wine taskkill /IM stravon.exe >/dev/null 2>&1
drive answer "Pozor!" yes 'Opravdu si přeješ ukončit program?\nKomunikace bude ukončena!' || fail "the close question"
until_true 30 ended "$program" || fail "stravon.exe did not end"
wait "$program"
rc=$?
[ $rc = 0 ] || fail "stravon.exe ended with $rc"
log | tail -n 1 | grep -q "Stop programu$" || fail "no Stop programu at the end of the log"
echo "--- errorlog.txt"
log
echo "program_e2e: answered, shown and closed"
