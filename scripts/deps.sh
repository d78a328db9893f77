#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing,
# and any further packages named as arguments.
set -euo pipefail
pkgs=(
  # the build; gettext compiles the tools' translations
  cmake ninja-build g++ libgtest-dev qt6-base-dev pkg-config libxcb1-dev librsvg2-bin gettext
  # what the window shows: Nimbus Sans and Nimbus Mono PS, Qt's Czech texts
  fonts-urw-base35 qt6-translations-l10n
  # tests: desktop entries, a display, a session bus, tray hosts, a window
  # manager, screenshots, notifications, the Czech locale's sources
  desktop-file-utils libglib2.0-bin xvfb dbus-daemon trayer openbox xdotool imagemagick libnotify-bin locales
  # fuzzing
  clang libclang-rt-dev llvm
  # what the caller asks for besides
  "$@"
)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
