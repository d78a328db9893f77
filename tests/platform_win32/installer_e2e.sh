#!/usr/bin/env bash
# installer_e2e.sh SETUP.exe: the installer run unattended in a private Wine
# prefix puts the program, its Start-menu entry and the login shortcut that
# starts in the chosen working directory in place, and its uninstaller takes
# them away again, leaving the working directory.
set -uo pipefail
setup="$1"
source "$(dirname "$0")/../../scripts/wine-env.sh"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/stravon-setup.XXXXXX")"
cleanup() {
  wine_prefix_stop
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "installer_e2e: $*" >&2; exit 1; }

wine_prefix_create "$scratch/prefix" || fail "no prefix"
wine_prefix_start || fail "the prefix's COM ports are not safe"
wine "$setup" /S '/WORKDIR=C:\Jidelna' || fail "the installer failed"
exe="$(find "$WINEPREFIX/drive_c/users" -path '*/AppData/Local/Programs/Stravon/stravon.exe')"
[ -n "$exe" ] || fail "no stravon.exe in the user's programs"
menu="$(find "$WINEPREFIX/drive_c/users" -ipath '*/Start Menu/Programs/Stravon.lnk')"
startup="$(find "$WINEPREFIX/drive_c/users" -ipath '*/Programs/Startup/Stravon.lnk')"
[ -n "$menu" ] || fail "no Start-menu entry"
[ -n "$startup" ] || fail "no login shortcut"
[ -d "$WINEPREFIX/drive_c/Jidelna" ] || fail "the working directory was not made"
for lnk in "$menu" "$startup"; do
  strings -e l "$lnk" | grep -qx 'C:\\Jidelna' || fail "$(basename "$(dirname "$lnk")")/Stravon.lnk does not start in C:\\Jidelna"
done
echo "installed: $exe; both shortcuts start in C:\\Jidelna"

dir="$(dirname "$exe")"
# _? runs the uninstaller in place, so it is waited for.
wine "$dir/uninstall.exe" /S "_?=$(winepath -w "$dir")" || fail "the uninstaller failed"
[ ! -e "$exe" ] || fail "stravon.exe is still there"
[ ! -e "$menu" ] && [ ! -e "$startup" ] || fail "a shortcut is still there"
[ -d "$WINEPREFIX/drive_c/Jidelna" ] || fail "the uninstaller took the working directory"
echo "installer_e2e: installed and uninstalled"
