#!/usr/bin/env bash
# Builds the client and the reference catalog server, starts the server with its demo catalogue
# on loopback and opens the client against it; the server stops when the client does.
#
# Without a DISPLAY the client runs on a private X server, a picture of its window is saved to
# docs/screenshot.png (or to $SCREENSHOT) and everything stops again.
#
#   scripts/run.sh                      PORT=8081 scripts/run.sh
#   SCREENSHOT=/tmp/tavrel.png scripts/run.sh   BUILD_DIR=/tmp/b scripts/run.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

port="${PORT:-8080}"
build="${BUILD_DIR:-$root/build}"
data="$build/demo-data"
screenshot="${SCREENSHOT:-$root/docs/screenshot.png}"

bash scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
# Only what runs here: the client, the files beside it and the server (the tests build in CI).
cmake --build "$build" --target tavrel tavrel_data catalogd

server_pid=""
server_log=$(mktemp)
stop_server() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -f "$server_log"
}
trap stop_server EXIT
trap 'exit 130' INT TERM

mkdir -p "$data"
"$build/bin/catalogd" --listen "127.0.0.1:$port" --data "$data" --demo >"$server_log" 2>&1 &
server_pid=$!

# The server says where it listens once it is ready for requests.
ready="catalogd: listening on http://127.0.0.1:$port/"
for _ in $(seq 1 300); do
    grep -qxF "$ready" "$server_log" && break
    if ! kill -0 "$server_pid" 2>/dev/null; then
        echo "run: the catalog server did not start:" >&2
        cat "$server_log" >&2
        exit 1
    fi
    sleep 0.1
done
if ! grep -qxF "$ready" "$server_log"; then
    echo "run: the catalog server did not report ready within 30 s:" >&2
    cat "$server_log" >&2
    exit 1
fi
echo "$ready"
# On the first start of the demo folder the server makes up the administrator's credentials.
grep -E '^catalogd: (administrator password|security code):' "$server_log" || true

export TAVREL_BASE_URL="http://127.0.0.1:$port/adminphp/"
if [ -n "${DISPLAY:-}" ]; then
    "$build/bin/tavrel"
else
    bash scripts/screenshot.sh -o "$screenshot" -s "${SETTLE:-3}" -- "$build/bin/tavrel"
fi
