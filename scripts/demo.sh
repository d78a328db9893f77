#!/usr/bin/env bash
# Builds the router and answers one request end to end against the terminal
# simulator: a simulated terminal line mapped as COM1, a configuration in a
# private configuration directory, the router started (offscreen without a
# display), a request dropped by stravon-porcio, the answer printed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target stravon stravon-termsim stravon-porcio
bin=$PWD/build/bin

demo=$(mktemp -d /tmp/stravon-demo-XXXXXX)
export XDG_CONFIG_HOME=$demo/config XDG_RUNTIME_DIR=$demo/run
mkdir -p "$XDG_CONFIG_HOME/stravon/dosdevices" "$XDG_RUNTIME_DIR" "$demo/wd"
chmod 700 "$XDG_RUNTIME_DIR"

scripts/demo-config.sh "$XDG_CONFIG_HOME/stravon/user.reg"

"$bin/stravon-termsim" --pty --link "$XDG_CONFIG_HOME/stravon/dosdevices/com1" --terminal 1 \
  --log "$demo/line.log" --quiet >"$demo/termsim.out" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "$XDG_CONFIG_HOME/stravon/dosdevices/com1" ] && break; sleep 0.05; done

[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && export QT_QPA_PLATFORM=offscreen
(cd "$demo/wd" && exec "$bin/stravon") >"$demo/stravon.out" 2>&1 &
router=$!
for _ in $(seq 200); do grep -q 'TERM ' "$demo/wd/errorlog.txt" 2>/dev/null && break; sleep 0.1; done

# A four-week diner line: letter, number, identifier, flag; main meals,
# breakfasts and dinners of days 1-14, the same of days 15-28; the name in
# code page 852 (14 bytes), one blank and the credit.
days1="11111001111100""00000000000000""NNNNNNNNNNNNNN"
days2="22222222222222""AAAAAAA0000000""N*N*N*N*N*N*N*"
name852() { local b; b=$(printf '%s' "$1" | iconv -f UTF-8 -t CP852)
  LC_ALL=C printf '%s%*s' "$b" $((14 - $(printf '%s' "$b" | LC_ALL=C wc -c))) ''; }
echo "== request: two four-week diner lines and the read command Y"
"$bin/stravon-porcio" --dir "$demo/wd" --request pozad.txt --output vystup.txt -- \
  "Q00071A2B3C4D ${days1}${days2}$(name852 'Novák') +00100" \
  "R0012DEADBEEF ${days2}${days1}$(name852 'Dvořák') +00250" \
  "Y"

echo "== errorlog.txt"
iconv -f CP1250 -t UTF-8 "$demo/wd/errorlog.txt"
echo "== frames the simulated terminal received"
cat "$demo/line.log"

if [ "${QT_QPA_PLATFORM:-}" = offscreen ]; then
  kill -TERM $router
  wait $router
  echo "== router stopped; files are in $demo"
else
  echo "== the router keeps running (pid $router) with its icon in the notification area;"
  echo "   files are in $demo; stop it from its menu (Konec) or with: kill $router"
  trap - EXIT
  wait $router || true
  kill $sim 2>/dev/null || true
fi
