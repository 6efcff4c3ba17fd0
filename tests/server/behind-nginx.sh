#!/usr/bin/env bash
# The deployment of deploy/nginx/ on loopback: nginx with that site (its TLS server included,
# on a self-signed certificate) in front of two catalogd instances on one PostgreSQL store and
# one item folder, and the client's listing and download tests run through it.
#   with-postgresql.sh behind-nginx.sh BIN_DIR SOURCE_DIR
# BIN_DIR holds catalogd, tst_listing and tst_downloadflow. Everything listens on 127.0.0.1,
# on ports picked free here (nginx takes no port 0), and is stopped and removed at the end.
set -euo pipefail

bin=$1
src=$2
for tool in nginx openssl psql curl python3; do
    command -v "$tool" >/dev/null || { echo "behind-nginx: $tool is missing" >&2; exit 1; }
done
: "${TAVREL_CATALOGD_DATABASE:?run this under with-postgresql.sh}"

work=$(mktemp -d /tmp/catalogd-nginx-XXXXXX)
chmod 755 "$work"
data=$work/data
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_for() { # file pattern -> first capture
    for _ in $(seq 1 300); do
        local got
        got=$(sed -n -E "s|$2|\\1|p" "$1" 2>/dev/null | head -n1)
        if [ -n "$got" ]; then echo "$got"; return 0; fi
        sleep 0.1
    done
    echo "behind-nginx: nothing matched $2 in $1:" >&2; cat "$1" >&2; return 1
}

# Two instances sharing a fresh database and the item folder, started one after the other so
# that the first fills the demo catalogue.
start_instances() {
    local page_size=$1 db=catalogd_deploy_$1
    psql -d "${TAVREL_CATALOGD_DATABASE}postgres" -qc "DROP DATABASE IF EXISTS $db" -c "CREATE DATABASE $db"
    rm -rf "$data"
    mkdir -p "$data"
    chmod 755 "$data"
    ports=()
    for name in a b; do
        "$bin/catalogd" --listen 127.0.0.1:0 --data "$data" --instance "$name" \
            --database "${TAVREL_CATALOGD_DATABASE}$db" --trusted-proxy 127.0.0.1 \
            --demo --demo-max-file-size 200000 --admin-password admin-pass --security-code 4321 \
            --page-size "$page_size" >"$work/$name.out" 2>&1 &
        instance_pids+=($!)
        pids+=($!)
        ports+=("$(wait_for "$work/$name.out" '.*listening on http://127\.0\.0\.1:([0-9]+)/.*')")
    done
    chmod -R a+rX "$data/up"
}
stop_instances() {
    for pid in "${instance_pids[@]}"; do kill "$pid"; wait "$pid" || { echo "catalogd did not stop cleanly" >&2; exit 1; }; done
    instance_pids=()
}

start_nginx() {
    local http https
    http=$(free_port)
    https=$(free_port)
    openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
        -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
    sed -e "s|listen 80;|listen 127.0.0.1:$http;|" -e '/listen \[::\]/d' \
        -e "s|listen 443 ssl http2;|listen 127.0.0.1:$https ssl http2;|" \
        -e "s|127.0.0.1:8081|127.0.0.1:${ports[0]}|" -e "s|127.0.0.1:8082|127.0.0.1:${ports[1]}|" \
        -e "s|/etc/ssl/certs/catalog.example.org.pem|$work/cert.pem|" \
        -e "s|/etc/ssl/private/catalog.example.org.key|$work/key.pem|" \
        -e "s|include snippets/catalogd-locations.conf;|include $work/locations.conf;|" \
        "$src/deploy/nginx/catalogd.conf" >"$work/site.conf"
    sed -e "s|/var/lib/catalogd/up/|$data/up/|" \
        "$src/deploy/nginx/catalogd-locations.conf" >"$work/locations.conf"
    mkdir -p "$work/temp"
    [ "$(id -u)" -eq 0 ] && chown nobody "$work/temp"
    cat >"$work/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
daemon off;
events { worker_connections 256; }
http {
    include /etc/nginx/mime.types;
    access_log $work/access.log;
    client_body_temp_path $work/temp/body;
    proxy_temp_path $work/temp/proxy;
    fastcgi_temp_path $work/temp/fastcgi;
    uwsgi_temp_path $work/temp/uwsgi;
    scgi_temp_path $work/temp/scgi;
    include $work/site.conf;
}
CONF
    nginx -t -q -c "$work/nginx.conf" -p "$work"
    nginx -c "$work/nginx.conf" -p "$work" &
    nginx_pid=$!
    pids+=($nginx_pid)
    for _ in $(seq 1 100); do
        curl -s -o /dev/null "http://127.0.0.1:$http/" && break
        sleep 0.1
    done
    export TAVREL_CATALOGD_URL="http://127.0.0.1:$http/" TAVREL_CATALOGD_DATA="$data"
    # The TLS server answers the same catalogue.
    curl -sk "https://127.0.0.1:$https/adminphp/admin_upload.php?page=1" | grep -q '?TtbBa?30?'
}
not_in_catalogd_log() {
    if grep -q "$1" "$work/a.out" "$work/b.out"; then
        echo "behind-nginx: catalogd was asked for $1" >&2
        exit 1
    fi
}
stop_nginx() {
    kill "$nginx_pid"
    wait "$nginx_pid" || true
}

instance_pids=()
echo "== listing through nginx"
start_instances 20
start_nginx
TAVREL_CATALOGD_PAGE_SIZE=20 "$bin/tst_listing" startUpAgainstCatalogd loadCatalogPageAgainstCatalogd
# nginx sends the item files itself: catalogd never sees a request for one.
curl -s -o /dev/null -w '%{http_code}\n' "${TAVREL_CATALOGD_URL}adminphp/up/read%20me.txt" | grep -qx 200
not_in_catalogd_log '/adminphp/up/'
stop_nginx
stop_instances

echo "== downloads through nginx"
start_instances 40
start_nginx
TAVREL_CATALOGD_PAGE_SIZE=40 "$bin/tst_downloadflow" catalogItemDownload
grep -q '"GET /adminphp/up/tool-patch.zip HTTP/1.1" 200' "$work/access.log"
not_in_catalogd_log '/adminphp/up/'
stop_nginx
stop_instances
echo "== behind nginx: passed"
