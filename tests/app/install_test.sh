#!/usr/bin/env bash
# Installs the client into a temporary prefix and checks it the way a user would meet it: the
# files where a desktop looks for them, the menu entry and AppStream metadata valid, and the
# installed program (offscreen) reading its skin and chime from share/tavrel and downloading
# into the user's data folder, not beside itself.
#
#   install_test.sh BUILD_DIR CATALOGD
set -euo pipefail
build=$1
catalogd=$2

work=$(mktemp -d)
server_pid=""
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "install test: $*" >&2; exit 1; }

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" --component tavrel >/dev/null

id=org.tavrel.Tavrel
for file in bin/tavrel share/tavrel/Skin/Skin.she share/tavrel/mp3/mp3.mp3 \
            share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
            share/icons/hicolor/scalable/apps/$id.svg share/man/man1/tavrel.1.gz \
            share/doc/tavrel/copyright; do
    [ -f "$prefix/$file" ] || fail "$file was not installed"
done
for size in 48 64 128 256; do
    png="$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png"
    [ -f "$png" ] || fail "no ${size}px icon"
    # The PNG header holds the width and height as big-endian numbers at bytes 16 and 20.
    read -r w h < <(od -An -tu1 -j16 -N8 "$png" | awk '{print $3*256+$4, $7*256+$8}')
    [ "$w" = "$size" ] && [ "$h" = "$size" ] || fail "the ${size}px icon is ${w}x${h}"
done
leftovers=$(find "$prefix/bin" -mindepth 1 ! -name tavrel)
[ -z "$leftovers" ] || fail "data files under bin/: $leftovers"

desktop-file-validate "$prefix/share/applications/$id.desktop"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" >/dev/null \
    || appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml"

# The reference server on a port the system picks, with its demo catalogue.
: >"$work/server.log"
"$catalogd" --listen 127.0.0.1:0 --data "$work/data" --demo >"$work/server.log" 2>&1 &
server_pid=$!
url=""
for _ in $(seq 1 200); do
    url=$(sed -n 's|^catalogd: listening on \(http://127\.0\.0\.1:[0-9]*/\)$|\1|p' "$work/server.log" || true)
    [ -n "$url" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
done
[ -n "$url" ] || { cat "$work/server.log" >&2; fail "catalogd did not start"; }

home="$work/home"
mkdir -p "$home"
set +e
HOME="$home" XDG_DATA_HOME="" XDG_CONFIG_HOME="" TAVREL_BASE_URL="" \
    QT_LOGGING_RULES="tavrel.app.info=true;tavrel.effects.info=true" \
    timeout 120 "$prefix/bin/tavrel" --server "${url}adminphp/" --download-row 0 \
    >"$work/out.log" 2>"$work/err.log"
status=$?
set -e
[ "$status" -eq 0 ] || { cat "$work/out.log" "$work/err.log" >&2; fail "tavrel ended with $status"; }

grep -qF "installed; skin and chime in $prefix/share/tavrel downloads to $home/.local/share/tavrel/Res/" \
    "$work/err.log" || { cat "$work/err.log" >&2; fail "tavrel did not take itself for installed"; }
! grep -q "no sound player plugin" "$work/err.log" || fail "tavrel did not find its installed sound plugin"
saved=$(sed -n 's/^downloaded //p' "$work/out.log")
case "$saved" in
    "$home/.local/share/tavrel/Res/"?*) ;;
    *) fail "the download went to '$saved', not into the user's data folder" ;;
esac
[ -s "$saved" ] || fail "$saved is missing or empty"
[ ! -e "$prefix/bin/Res" ] || fail "an installed program wrote beside itself"
echo "install test: installed files valid; download landed in $saved"
