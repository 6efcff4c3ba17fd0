#!/usr/bin/env bash
# Builds the release tree and makes the Debian packages tavrel_*.deb and catalogd_*.deb in
# build-package/ (or $BUILD_DIR) and checks them with lintian.
#
#   bash scripts/package.sh          sudo apt install ./build-package/tavrel_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
# dpkg-shlibdeps finds the libraries the programs link; lintian checks the result.
if ! command -v dpkg-shlibdeps >/dev/null || ! command -v lintian >/dev/null; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get install -y -q --no-install-recommends dpkg-dev lintian
fi

build="${BUILD_DIR:-$PWD/build-package}"
# Debian's hardening flags, all of them, as its packages are built with.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# Without the hidden options the tests drive the client with: they are no part of what ships.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTAVREL_TEST_HOOKS=OFF \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    -DCMAKE_MODULE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
# What the packages hold, not the tests; catalogd is left out of builds without Qt SQL.
targets=(tavrel tavrel_sound tavrel_data tavrel_man_page package_docs)
# grep reads the whole list: quitting early would break the pipe under pipefail.
if cmake --build "$build" --target help | grep '^catalogd:' >/dev/null; then
    targets+=(catalogd catalogd_man_page)
fi
cmake --build "$build" -j 2 --target "${targets[@]}"
# The command line is read before any display is needed.
refusal=$("$build/bin/tavrel" --download-row x 2>&1 || true)
if [[ "$refusal" != *"Unknown option 'download-row'"* ]]; then
    echo "package: the client was built with its test options" >&2
    exit 1
fi
(cd "$build" && cpack -G DEB)
ls -1 "$build"/*.deb
lintian --fail-on error "$build"/tavrel_*.deb "$build"/catalogd_*.deb
