#!/usr/bin/env bash
# Builds the package, installs it on this machine, lets the installed router
# answer one request against the installed terminal simulator, purges the
# package and checks that nothing of it is left but the user's files.
# Needs root: it installs and removes a package.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/package.sh
deb=$(ls "$root"/build-deb/stravon_*.deb)
# udevadm, systemd-analyze and man for the checks of the installed files.
scripts/deps.sh udev systemd man-db

if dpkg-query -W -f='${Status}' stravon 2>/dev/null | grep -q "ok installed"; then
  echo "== purging the stravon installed before"
  apt-get purge -y -q stravon
fi
echo "== installing $deb"
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q "$deb" || { apt-get update -q && apt-get install -y -q "$deb"; }
listed=$(mktemp)
dpkg -L stravon >"$listed"

t=$(mktemp -d /tmp/stravon-ci-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$t" "$listed"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

echo "== installed files"
[ -z "$(find /etc/systemd/user -name stravon.service 2>/dev/null)" ] ||
  fail "the package enabled the user unit"
mkdir -m 700 "$t/analyze"
out=$(XDG_RUNTIME_DIR=$t/analyze systemd-analyze --user verify /usr/lib/systemd/user/stravon.service 2>&1) ||
  fail "systemd-analyze: $out"
[ -z "$out" ] || fail "systemd-analyze: $out"
# udevadm of Debian 12 has no verify; its test run parses every rules file and
# names the file and line of anything it cannot parse.
out=$(udevadm test /sys/class/mem/null 2>&1)
grep -q 'Reading rules file: .*/60-stravon.rules' <<<"$out" || fail "udev did not read 60-stravon.rules"
if grep '60-stravon.rules:' <<<"$out"; then fail "udev rules"; fi
man -w stravon stravon-termsim stravon-porcio stravon-ports stravon-autostart >/dev/null

echo "== smoke test: the installed router answers one request"
export HOME=$t/home XDG_RUNTIME_DIR=$t/run QT_QPA_PLATFORM=offscreen
unset XDG_CONFIG_HOME DISPLAY WAYLAND_DISPLAY
cfg=$HOME/.config/stravon
mkdir -p "$cfg/dosdevices" "$t/wd"
mkdir -m 700 "$XDG_RUNTIME_DIR"

# The login entry: refused for a directory that is not there, written for one that is.
stravon-autostart "$t/absent" 2>/dev/null && fail "stravon-autostart took a missing directory"
stravon-autostart "$t/wd" >/dev/null
entry=$HOME/.config/autostart/cz.stravon.Stravon.desktop
grep -q "^Exec=.*stravon-autostart --start .*$t/wd" "$entry" || fail "the autostart entry does not start in $t/wd"
desktop-file-validate "$entry" || fail "the autostart entry does not validate"
stravon-autostart --remove >/dev/null
[ ! -e "$entry" ] || fail "stravon-autostart --remove left the entry"
stravon-ports >/dev/null

scripts/demo-config.sh "$cfg/user.reg"

stravon-termsim --pty --link "$cfg/dosdevices/com1" --terminal 1 --quiet >"$t/termsim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "$cfg/dosdevices/com1" ] && break; sleep 0.05; done
(cd "$t/wd" && exec stravon) >"$t/stravon.out" 2>&1 &
router=$!
pids+=($router)
for _ in $(seq 200); do grep -q 'TERM 1 SLAVE' "$t/wd/errorlog.txt" 2>/dev/null && break; sleep 0.1; done
grep -q 'TERM 1 SLAVE' "$t/wd/errorlog.txt" 2>/dev/null || { cat "$t/stravon.out" "$t/wd/errorlog.txt" 2>/dev/null; fail "the router did not line the terminal up"; }

# A four-week diner line (sent as two commands), then the read command Y.
line="Q00071A2B3C4D 1111100111110000000000000000NNNNNNNNNNNNNN22222222222222AAAAAAA0000000N*N*N*N*N*N*N*"
stravon-porcio --dir "$t/wd" --request pozad.txt --output vystup.txt --timeout 60 -- \
  "$line$(printf '%-14s' Novak) +00100" Y | tee "$t/porcio.out"
[ "$(cat "$t/wd/porcom.sta")" = "3,2" ] || fail "porcom.sta: $(cat "$t/wd/porcom.sta")"
tr -d '\r' <"$t/wd/vystup.txt" | grep -qxF "$line" || fail "the diner line did not come back"

kill -TERM "$router"
for _ in $(seq 100); do kill -0 "$router" 2>/dev/null || break; sleep 0.1; done
kill -0 "$router" 2>/dev/null && fail "the router did not end within 10 s of SIGTERM"
wait "$router" || fail "the router ended with $?"
grep -q 'Stop programu' "$t/wd/errorlog.txt" || fail "no Stop programu in errorlog.txt"

echo "== purge"
apt-get purge -y -q stravon
dpkg-query -W -f='${Status}' stravon 2>/dev/null | grep -q "installed" && fail "stravon is still installed"
left=0
while IFS= read -r p; do
  [ -e "$p" ] || [ -L "$p" ] || continue
  # A directory (or /lib, a link on merged /usr) stays when another package
  # owns it or it holds what others put there.
  if [ -d "$p" ]; then
    dpkg-query -S "$p" >/dev/null 2>&1 && continue
    [ -n "$(ls -A "$p")" ] && continue
  fi
  echo "left behind: $p"; left=1
done <"$listed"
[ "$left" = 0 ] || fail "the purge left files behind"
for f in "$cfg/user.reg" "$t/wd/errorlog.txt" "$t/wd/vystup.txt" "$t/wd/porcom.sta"; do
  [ -s "$f" ] || fail "the user's file $f is gone"
done
echo "== package: built, lintian clean, installed, answered a request, purged"
