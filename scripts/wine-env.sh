# Wine for the Windows build's tests; sourced, not run.
#
# Each test program gets a private prefix under a temporary directory, made
# from a template prefix (one per Wine version, built once with wineboot -i).
# COM ports are mapped only in the prefix's registry (HKLM\Software\Wine\Ports),
# written before anything starts in it: COM1 to the simulator's pty where a
# test asks for one, every other COM1..COM8 to a name that leads nowhere.
# Wine still gives each /dev/ttyS* it finds the first free COM number (a
# fresh prefix maps COM1 to /dev/ttyS0, here the system console), so once
# the prefix runs, such links are removed, and nothing is started when one
# is left.
#
#   wine_prefix_create DIR [PTY]   a private prefix in DIR (COM1 -> PTY)
#   wine_prefix_start [PTY]        starts it and makes it safe; 1 when unsafe
#   wine_prefix_check [PTY]        1 when any COMn leads to /dev/ttyS*, or
#                                  COM1 not to PTY
#   wine_prefix_stop               ends its wineserver
#   wine_prefix_user_value KEY NAME TYPE DATA
#                                  a value in the prefix's HKEY_CURRENT_USER,
#                                  before it starts (TYPE: hex, dword, str)

export WINEDEBUG=-all
export WINEARCH=win64
# No menu entries, file associations, Mono or Gecko installers.
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=;mshtml="
unset DISPLAY WAYLAND_DISPLAY

wine_env_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Where the template lives; the build directory unless told otherwise.
wine_template_dir() {
  local version
  version="$(wine --version 2>/dev/null | tr -c 'A-Za-z0-9.\n' '_' )"
  echo "${STRAVON_WINE_CACHE:-$wine_env_root/build-win/wine}/template-${version:-unknown}"
}

# Builds the template once (about 11 s); concurrent callers wait for it.
wine_template() {
  local t
  t="$(wine_template_dir)"
  mkdir -p "$(dirname "$t")"
  (
    flock 9
    [ -f "$t/.ready" ] && exit 0
    rm -rf "$t" "$t.new"
    local start=$SECONDS
    WINEPREFIX="$t.new" wineboot -i >/dev/null 2>&1 || exit 1
    WINEPREFIX="$t.new" wineserver -w
    # The user's folders are links into $HOME: plain folders instead.
    find "$t.new/drive_c/users" -type l | while read -r l; do rm -f "$l" && mkdir -p "$l"; done
    rm -f "$t.new"/dosdevices/com* "$t.new"/dosdevices/lpt*
    mv "$t.new" "$t"
    echo "$((SECONDS - start))" > "$t/.cold-seconds"
    touch "$t/.ready"
  ) 9>"$t.lock" || { echo "wine-env: cannot build the template prefix $t" >&2; return 1; }
  echo "$t"
}

# wine_prefix_create DIR [PTY]: DIR becomes a private prefix, WINEPREFIX is set.
wine_prefix_create() {
  local dir="$1" pty="${2:-}" t
  t="$(wine_template)" || return 1
  mkdir -p "$dir"
  # Wine's own files are only read: linked, not copied (700 MB), where the
  # template is on the same file system.
  cp -al "$t/drive_c" "$dir/drive_c.tmp" 2>/dev/null || { rm -rf "$dir/drive_c.tmp"; cp -a "$t/drive_c" "$dir/drive_c.tmp"; }
  rm -rf "$dir/drive_c.tmp/users" "$dir/drive_c.tmp/ProgramData"
  cp -a "$t/drive_c/users" "$t/drive_c/ProgramData" "$dir/drive_c.tmp/"
  mv "$dir/drive_c.tmp" "$dir/drive_c"
  # With the timestamp, Wine sees the prefix up to date and does not rebuild it.
  cp -a "$t"/*.reg "$t/.update-timestamp" "$dir/"
  mkdir -p "$dir/dosdevices"
  ln -s ../drive_c "$dir/dosdevices/c:"
  ln -s / "$dir/dosdevices/z:"
  export WINEPREFIX="$dir"
  # The ports, before the first start.
  local nowhere="$dir/no-such-port"
  sed -i '/^\[Software\\\\Wine\\\\Ports\]/,/^$/d' "$dir/system.reg"
  {
    printf '\n[Software\\\\Wine\\\\Ports] 1\n'
    local n target
    for n in 1 2 3 4 5 6 7 8; do
      target="$nowhere"
      [ "$n" = 1 ] && [ -n "$pty" ] && target="$pty"
      printf '"COM%s"="%s"\n' "$n" "$target"
    done
    printf '\n'
  } >> "$dir/system.reg"
}

# wine_prefix_user_value KEY NAME TYPE DATA: written into user.reg before the
# prefix's first start, as regedit would store it. KEY without the root, with
# single backslashes; DATA for hex: bytes as "01,00,ff"; for str: plain text.
wine_prefix_user_value() {
  local key="${1//\\/\\\\}" name="$2" type="$3" data="$4" line
  case "$type" in
    hex) line="\"$name\"=hex:$data" ;;
    dword) line="\"$name\"=dword:$data" ;;
    str) line="\"$name\"=\"$data\"" ;;
    *) echo "wine-env: unknown value type $type" >&2; return 1 ;;
  esac
  printf '\n[%s] %s\n%s\n' "$key" "$(date +%s)" "$line" >> "$WINEPREFIX/user.reg"
}

# 1 (and why, on standard error) when any COMn of the prefix leads to a
# ttyS, or COM1 does not lead to the pty given.
wine_prefix_check() {
  local pty="${1:-}" link target bad=0
  if [ -n "$pty" ] && [ "$(readlink "$WINEPREFIX/dosdevices/com1")" != "$pty" ]; then
    echo "wine-env: COM1 does not lead to $pty: refusing to go on" >&2
    bad=1
  fi
  for link in "$WINEPREFIX"/dosdevices/com*; do
    [ -L "$link" ] || continue
    target="$(readlink "$link")"
    case "$target" in
      /dev/ttyS*|*/dev/ttyS*)
        echo "wine-env: $(basename "$link") -> $target: refusing to go on" >&2
        bad=1 ;;
    esac
  done
  return $bad
}

# Starts the prefix's wineserver and system processes and keeps them for the
# caller, removes the ttyS links Wine made at its start, and checks (PTY: the
# one COM1 must lead to).
wine_prefix_start() {
  local pty="${1:-}"
  # A minute after its last process: long enough for the step from the
  # check below to the program, and no server left for good when a run is
  # killed.
  wineserver -p60 || return 1
  # The first process starts the services, mountmgr among them, which makes
  # the COM links; while the server stays, they are not made again.
  wine cmd.exe /c exit 0 >/dev/null 2>&1 </dev/null
  local link target
  for link in "$WINEPREFIX"/dosdevices/com*; do
    [ -L "$link" ] || continue
    target="$(readlink "$link")"
    case "$target" in /dev/ttyS*|*/dev/ttyS*) rm -f "$link" ;; esac
  done
  wine_prefix_check "$pty"
}

wine_prefix_stop() {
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1
  [ -n "${WINEPREFIX:-}" ] && wineserver -w >/dev/null 2>&1
  return 0
}
