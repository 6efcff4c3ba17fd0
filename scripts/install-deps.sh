#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12. Safe to run again.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-multimedia-dev
  libqt6sql6-sqlite libqt6sql6-psql
  # SHA-256 and PBKDF2 from libcrypto; catalogd's readiness and watchdog for systemd, and its
  # bulk loads into PostgreSQL
  libssl-dev libsystemd-dev libpq-dev
  qt6-translations-l10n
  libgl-dev
  fonts-wqy-microhei
  xvfb xauth xdotool imagemagick
  sox curl python3
)
if [ "${1:-}" = "--test" ]; then
  # end-to-end extras: a browser to render the upload page, a load generator
  packages+=(chromium wrk)
  # Qt's platform interface, to queue input the way a window system does
  packages+=(qt6-base-private-dev)
  # the installed program's menu entry and AppStream metadata are validated
  packages+=(desktop-file-utils appstream)
  # the catalogue server on PostgreSQL and behind nginx
  packages+=(postgresql-15 nginx-light openssl)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
