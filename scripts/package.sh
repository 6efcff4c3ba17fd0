#!/usr/bin/env bash
# Builds the release tree and makes the Debian packages tavrel_*.deb and catalogd_*.deb in
# build-package/ (or $BUILD_DIR), then checks the client's with lintian when it is there.
#
#   bash scripts/package.sh          sudo apt install ./build-package/tavrel_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

build="${BUILD_DIR:-$PWD/build-package}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr
cmake --build "$build" -j 2 --target tavrel tavrel_data $(grep -q '^catalogd:' <(cmake --build "$build" --target help) && echo catalogd)
(cd "$build" && cpack -G DEB)
ls -1 "$build"/*.deb
if command -v lintian >/dev/null; then
    lintian --fail-on error "$build"/tavrel_*.deb
fi
