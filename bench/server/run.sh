#!/usr/bin/env bash
# catalogd benchmark, run by hand:
#   bench/server/run.sh [BUILD_DIR] [SECONDS]
# 1. list pages per second with 32 connections (wrk), for a plain page and a search;
# 2. download throughput of a 1 GiB file from catalogd against a plain static server
#    (python3 -m http.server) serving the same file, both fetched with curl.
# Everything listens on 127.0.0.1 with ports the system picks.
set -euo pipefail

build=${1:-build}
seconds=${2:-10}
catalogd="$build/bin/catalogd"
[ -x "$catalogd" ] || { echo "no catalogd at $catalogd (build first)" >&2; exit 1; }
for tool in wrk curl python3; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/install-deps.sh --test)" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Waits for a line matching a pattern in a file and prints the first capture group (a port).
wait_port() {
  local file=$1 pattern=$2
  for _ in $(seq 1 200); do
    local port
    port=$(sed -n -E "s|$pattern|\\1|p" "$file" | head -n1)
    if [ -n "$port" ]; then echo "$port"; return 0; fi
    sleep 0.1
  done
  echo "server did not start; its output:" >&2; cat "$file" >&2; return 1
}

"$catalogd" --listen 127.0.0.1:0 --data "$work/data" --demo --demo-max-file-size 4096 \
  --admin-password bench-pass --security-code 2468 >"$work/catalogd.out" 2>/dev/null &
pids+=($!)
port=$(wait_port "$work/catalogd.out" '.*listening on http://127\.0\.0\.1:([0-9]+)/.*')
base="http://127.0.0.1:$port/adminphp"

echo "catalogd benchmark on $(nproc) cores, $(date -u '+%Y-%m-%d %H:%M UTC'), build $build"
echo

rate() { # url -> requests per second
  wrk -t2 -c32 -d"${seconds}s" "$1" | awk '/Requests\/sec/ {print $2}'
}
list_rate=$(rate "$base/admin_upload.php?page=1")
search_rate=$(rate "$base/users_upload.php?page=1&q=%E8%A1%A5%E4%B8%81")
admin_rate=$(rate "$base/to_examine.php?cz=2&pass=bench-pass&page=2")
printf 'list pages, 32 connections, %ss each:\n' "$seconds"
printf '  admin_upload.php?page=1           %10s pages/s\n' "$list_rate"
printf '  users_upload.php?page=1&q=补丁     %10s pages/s\n' "$search_rate"
printf '  to_examine.php?cz=2 (all, page 2) %10s pages/s\n' "$admin_rate"
echo

# The same 1 GiB file for both servers, warm in the page cache.
big="$work/data/up/bench-1g.bin"
dd if=/dev/urandom of="$big" bs=1M count=1024 status=none
cat "$big" >/dev/null

python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$work/data/up" >"$work/static.out" 2>/dev/null &
pids+=($!)
static_port=$(wait_port "$work/static.out" '.*port ([0-9]+) .*')

fetch() { # url -> MB/s (best of three)
  local best=0
  for _ in 1 2 3; do
    local bps
    bps=$(curl -s -o /dev/null -w '%{speed_download}' "$1")
    best=$(awk -v a="$best" -v b="$bps" 'BEGIN {print (b > a) ? b : a}')
  done
  awk -v b="$best" 'BEGIN {printf "%.1f", b / 1000000}'
}
ours=$(fetch "$base/up/bench-1g.bin")
theirs=$(fetch "http://127.0.0.1:$static_port/bench-1g.bin")
echo "1 GiB download with curl, best of three:"
printf '  catalogd up/bench-1g.bin          %10s MB/s\n' "$ours"
printf '  python3 -m http.server            %10s MB/s\n' "$theirs"
printf '  ratio catalogd / static server    %10s\n' "$(awk -v a="$ours" -v b="$theirs" 'BEGIN {printf "%.2f", a / b}')"
