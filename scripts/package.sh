#!/usr/bin/env bash
# Builds the Debian package from this checkout's files (tracked, or new and not ignored) in
# build-deb/ (or $FK_PACKAGE_DIR) and prints the path of each .deb it built, one per line, last.
set -euo pipefail
cd "$(dirname "$0")/.."
out="${FK_PACKAGE_DIR:-$(pwd)/build-deb}"
version="$(dpkg-parsechangelog -S Version)"
source="$out/fkindexingservice-$version"

rm -rf "$out"
mkdir -p "$source"
git ls-files -z --cached --others --exclude-standard |
  tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -xf - -C "$source"
chmod +x "$source/debian/rules"

# The compiler cache, where there is one, serves repeated package builds.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="$source"
fi
log="$out/build.log"
if ! (cd "$source" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -b -us -uc) >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "package: the build failed; the whole log is $log" >&2
  exit 1
fi
ls "$out"/*.deb
