#!/usr/bin/env bash
# systemd-analyze verify on deploy/catalogd.service, with ExecStart pointed at the built
# program. verify exits 0 on many findings, so any word it says fails the test.
#   verify-unit.sh SYSTEMD_ANALYZE UNIT CATALOGD
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed "s|/usr/bin/catalogd|$3|" "$2" >"$work/catalogd.service"
if ! out=$("$1" verify --man=no "$work/catalogd.service" 2>&1) || [ -n "$out" ]; then
    echo "$out" >&2
    exit 1
fi
