#!/usr/bin/env bash
# catalogd benchmark, run by hand:
#   bench/server/run.sh [BUILD_DIR] [SECONDS]
# 1. list pages per second with 32 connections (wrk): a plain page, a search, an administration
#    list; each against nginx serving the same page bytes as a static file, in the same run;
# 2. two instances on one PostgreSQL store, both loaded at once (needs postgresql-15);
# 3. download throughput of a 1 GiB file from catalogd against a plain static server
#    (python3 -m http.server) serving the same file, both fetched with curl.
# Everything listens on 127.0.0.1 with ports picked free.
set -euo pipefail

build=${1:-build}
seconds=${2:-10}
here=$(cd "$(dirname "$0")" && pwd)
catalogd="$build/bin/catalogd"
[ -x "$catalogd" ] || { echo "no catalogd at $catalogd (build first)" >&2; exit 1; }
for tool in wrk curl python3 nginx; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/install-deps.sh --test)" >&2; exit 1; }
done

work=$(mktemp -d)
chmod 755 "$work"
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
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
rate() { # url [connections] -> requests per second
  wrk -t2 -c"${2:-32}" -d"${seconds}s" "$1" | awk '/Requests\/sec/ {print $2}'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

"$catalogd" --listen 127.0.0.1:0 --data "$work/data" --demo --demo-max-file-size 4096 \
  --admin-password bench-pass --security-code 24681357 >"$work/catalogd.out" 2>/dev/null &
pids+=($!)
port=$(wait_port "$work/catalogd.out" '.*listening on http://127\.0\.0\.1:([0-9]+)/.*')
base="http://127.0.0.1:$port/adminphp"

echo "catalogd benchmark on $(nproc) cores, $(date -u '+%Y-%m-%d %H:%M UTC'), build $build"
echo

# The same page bytes as static files for nginx.
mkdir -p "$work/static"
list_url="$base/admin_upload.php?page=1"
search_url="$base/users_upload.php?page=1&q=%E8%A1%A5%E4%B8%81"
admin_url="$base/to_examine.php?cz=2&pass=bench-pass&page=2"
curl -s "$list_url" >"$work/static/list.txt"
curl -s "$search_url" >"$work/static/search.txt"
curl -s "$admin_url" >"$work/static/admin.txt"
static_port=$(free_port)
cat >"$work/nginx.conf" <<CONF
worker_processes auto;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
daemon off;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $work/nginx-body;
    proxy_temp_path $work/nginx-proxy;
    fastcgi_temp_path $work/nginx-fastcgi;
    uwsgi_temp_path $work/nginx-uwsgi;
    scgi_temp_path $work/nginx-scgi;
    server { listen 127.0.0.1:$static_port; root $work/static; }
}
CONF
nginx -c "$work/nginx.conf" -p "$work" &
pids+=($!)
for _ in $(seq 1 50); do curl -s -o /dev/null "http://127.0.0.1:$static_port/list.txt" && break; sleep 0.1; done

printf 'list pages, 32 connections, %ss each (page bytes: %s, %s, %s):\n' "$seconds" \
  "$(wc -c <"$work/static/list.txt")" "$(wc -c <"$work/static/search.txt")" "$(wc -c <"$work/static/admin.txt")"
printf '  %-36s %12s %14s %8s\n' "" "catalogd" "nginx static" "ratio"
for row in "admin_upload.php?page=1|$list_url|list.txt" \
           "users_upload.php?page=1&q=补丁|$search_url|search.txt" \
           "to_examine.php?cz=2 (all, page 2)|$admin_url|admin.txt"; do
  IFS='|' read -r name url file <<<"$row"
  ours=$(rate "$url")
  theirs=$(rate "http://127.0.0.1:$static_port/$file")
  printf '  %-36s %10s/s %12s/s %8s\n' "$name" "$ours" "$theirs" "$(ratio "$ours" "$theirs")"
done
echo

# Two instances on one PostgreSQL store: each loaded by its own wrk at once, figures added.
pg_wrapper="$here/../../tests/support/postgresql/with-postgresql.sh"
if ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1; then
  export CATALOGD="$catalogd" SECONDS_EACH="$seconds" WORK="$work"
  "$pg_wrapper" bash -c '
    set -euo pipefail
    psql -d "${TAVREL_CATALOGD_DATABASE}postgres" -qc "CREATE DATABASE bench"
    mkdir -p "$WORK/shared"
    instances=()
    trap "kill \${instances[*]} 2>/dev/null || true" EXIT
    for name in a b; do
      "$CATALOGD" --listen 127.0.0.1:0 --data "$WORK/shared" --instance $name --demo \
        --demo-max-file-size 4096 --admin-password bench-pass --security-code 24681357 \
        --database "${TAVREL_CATALOGD_DATABASE}bench" >"$WORK/$name.out" 2>/dev/null &
      instances+=($!)
      for _ in $(seq 1 100); do grep -q "listening on" "$WORK/$name.out" && break; sleep 0.1; done
    done
    pa=$(sed -n -E "s|.*127\.0\.0\.1:([0-9]+)/.*|\1|p" "$WORK/a.out")
    pb=$(sed -n -E "s|.*127\.0\.0\.1:([0-9]+)/.*|\1|p" "$WORK/b.out")
    one=$(wrk -t2 -c32 -d"${SECONDS_EACH}s" "http://127.0.0.1:$pa/adminphp/admin_upload.php?page=1" | awk "/Requests\/sec/ {print \$2}")
    wrk -t1 -c16 -d"${SECONDS_EACH}s" "http://127.0.0.1:$pa/adminphp/admin_upload.php?page=1" >"$WORK/wa" &
    other=$!
    wrk -t1 -c16 -d"${SECONDS_EACH}s" "http://127.0.0.1:$pb/adminphp/admin_upload.php?page=1" >"$WORK/wb"
    wait $other
    two=$(awk "/Requests\/sec/ {s += \$2} END {printf \"%.0f\", s}" "$WORK/wa" "$WORK/wb")
    echo "PostgreSQL store, admin_upload.php?page=1, 32 connections:"
    printf "  one instance                         %10s/s\n" "$one"
    printf "  two instances, 16 connections each   %10s/s\n" "$two"
  ' || echo "two-instance run failed"
else
  echo "PostgreSQL is not installed: no two-instance figure"
fi
echo

# The same 1 GiB file for both servers, warm in the page cache.
big="$work/data/up/bench-1g.bin"
dd if=/dev/urandom of="$big" bs=1M count=1024 status=none
cat "$big" >/dev/null

python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$work/data/up" >"$work/static.out" 2>/dev/null &
pids+=($!)
py_port=$(wait_port "$work/static.out" '.*port ([0-9]+) .*')

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
theirs=$(fetch "http://127.0.0.1:$py_port/bench-1g.bin")
echo "1 GiB download with curl, best of three:"
printf '  catalogd up/bench-1g.bin          %10s MB/s\n' "$ours"
printf '  python3 -m http.server            %10s MB/s\n' "$theirs"
printf '  ratio catalogd / static server    %10s\n' "$(ratio "$ours" "$theirs")"
