#!/usr/bin/env bash
# Builds the Debian package portex_<version>_<arch>.deb in an existing build
# folder (default build/, the folder of scripts/test.sh and scripts/run.sh, so
# nothing is compiled twice), building only what the package ships.
#   scripts/package.sh [BUILD_DIR]    the last line printed is the .deb's path
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=$(realpath -m "${1:-$ROOT/build}")

# dpkg-shlibdeps (dpkg-dev) and file find the package's library dependencies.
scripts/setup.sh dpkg-dev file >&2
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
else
  cmake "$BUILD" >/dev/null   # picks up new tools and packaging files
fi
cmake --build "$BUILD" -j"$(nproc)" --target package_payload >&2

OUT=$BUILD/deb
rm -rf "$OUT"
(cd "$BUILD" && cpack -G DEB -B "$OUT" >&2)
ls "$OUT"/portex_*.deb
