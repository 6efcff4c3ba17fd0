#!/usr/bin/env bash
# Runs a program, waits for its window and saves a picture of that window, then stops the program.
# Without a DISPLAY the program runs on a private X server (Xvfb) that goes away afterwards.
#
#   scripts/screenshot.sh [-o OUT.png] [-n WINDOW_TITLE] [-s SETTLE_SECONDS] [-t TIMEOUT] -- COMMAND [ARG...]
#
# Defaults: OUT docs/screenshot.png, title "Tavrel1.3", 2 s settle time, 60 s to wait for the window.
set -euo pipefail

out="docs/screenshot.png"
title="Tavrel1.3"
settle=2
wait_for=60

usage() {
    sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case "$1" in
        -o) out="$2"; shift 2 ;;
        -n) title="$2"; shift 2 ;;
        -s) settle="$2"; shift 2 ;;
        -t) wait_for="$2"; shift 2 ;;
        --) shift; break ;;
        -h|--help) usage ;;
        *) break ;;
    esac
done
[ $# -gt 0 ] || usage

for tool in xdotool import; do
    command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing (bash scripts/install-deps.sh)" >&2; exit 1; }
done

workdir=$(mktemp -d)
xvfb_pid=""
app_pid=""

# Stops what this script started, by process id, the program first.
stop_pid() {
    local pid="$1"
    [ -n "$pid" ] || return 0
    kill "$pid" 2>/dev/null || return 0
    for _ in $(seq 1 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
cleanup() {
    stop_pid "$app_pid"
    stop_pid "$xvfb_pid"
    rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -z "${DISPLAY:-}" ]; then
    command -v Xvfb >/dev/null || { echo "screenshot: Xvfb is missing (bash scripts/install-deps.sh)" >&2; exit 1; }
    # Xvfb picks a free display number itself and writes it to the given descriptor.
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$workdir/display" 2>"$workdir/xvfb.log" &
    xvfb_pid=$!
    for _ in $(seq 1 100); do
        [ -s "$workdir/display" ] && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ ! -s "$workdir/display" ]; then
        echo "screenshot: the X server did not start:" >&2
        cat "$workdir/xvfb.log" >&2
        exit 1
    fi
    export DISPLAY=":$(head -n1 "$workdir/display")"
fi

"$@" >"$workdir/app.log" 2>&1 &
app_pid=$!

# xdotool matches titles as regular expressions: match this one exactly.
pattern="^$(printf '%s' "$title" | sed 's/[][\.*^$?+(){}|/]/\\&/g')\$"
window=""
deadline=$((SECONDS + wait_for))
while [ -z "$window" ]; do
    if ! kill -0 "$app_pid" 2>/dev/null; then
        echo "screenshot: the program ended before its window appeared; its output:" >&2
        tail -n 40 "$workdir/app.log" >&2
        exit 1
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
        echo "screenshot: no window titled \"$title\" appeared within ${wait_for}s; output so far:" >&2
        tail -n 40 "$workdir/app.log" >&2
        exit 1
    fi
    windows=$(timeout 1 xdotool search --sync --onlyvisible --name "$pattern" 2>/dev/null) || windows=""
    window=${windows%%$'\n'*}
done

sleep "$settle"
if ! kill -0 "$app_pid" 2>/dev/null; then
    echo "screenshot: the program ended before its window could be taken; its output:" >&2
    tail -n 40 "$workdir/app.log" >&2
    exit 1
fi

mkdir -p "$(dirname "$out")"
import -window "$window" "$out"
echo "screenshot: saved $out ($(identify -format '%wx%h' "$out" 2>/dev/null || echo '?'))"
