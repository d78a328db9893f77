#!/usr/bin/env bash
# Builds the Debian package from this tree with debhelper and checks it with
# lintian. Everything lands in build-deb/, which the last line names.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-deb
scripts/deps.sh build-essential debhelper dpkg-dev lintian desktop-file-utils appstream

# The package takes its version from the changelog; it must be the project's.
project_version=$(sed -n 's/^project(.*VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
package_version=$(dpkg-parsechangelog -l packaging/debian/changelog -S Version)
if [ "$project_version" != "$package_version" ]; then
  echo "packaging/debian/changelog is at $package_version, CMakeLists.txt at $project_version" >&2
  exit 1
fi

desktop-file-validate packaging/cz.stravon.Stravon.desktop
appstreamcli validate --no-net packaging/cz.stravon.Stravon.metainfo.xml

# A copy of the tree as git sees it (uncommitted changes included), with the
# packaging at debian/ where dpkg-buildpackage looks for it.
src=$out/stravon-$package_version
rm -rf "$out"
mkdir -p "$src"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf - | tar -xf - -C "$src"
else
  tar --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$src"
fi
cp -r packaging/debian "$src/debian"

if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
fi
(cd "$src" && DEB_BUILD_OPTIONS="parallel=2 ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -us -uc)
rm -rf "$src"

echo "== lintian"
lintian --fail-on error,warning --display-info "$out"/stravon_"$package_version"_*.changes
echo "== package in $out:"
ls "$out"/*.deb
