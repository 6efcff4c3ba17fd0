#!/usr/bin/env bash
# The deployment of deploy/nginx/ on loopback: nginx with that site (its TLS server included,
# on a self-signed certificate) in front of two catalogd instances on one PostgreSQL store and
# one item folder, and the client's listing and download tests run through it. The instances
# run under umask 0077, as under their systemd unit, and nginx's workers (as root: as nobody)
# cannot read their data folder; item files still arrive, as inert downloads, and no password
# reaches nginx's logs.
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
    (umask 077 && mkdir -p "$data")
    ports=()
    for name in a b; do
        (umask 077 && exec "$bin/catalogd" --listen 127.0.0.1:0 --data "$data" --instance "$name" \
            --database "${TAVREL_CATALOGD_DATABASE}$db" --trusted-proxy 127.0.0.1 \
            --demo --demo-max-file-size 200000 --admin-password admin-pass --security-code 4321 \
            --page-size "$page_size") >"$work/$name.out" 2>&1 &
        instance_pids+=($!)
        pids+=($!)
        ports+=("$(wait_for "$work/$name.out" '.*listening on http://127\.0\.0\.1:([0-9]+)/.*')")
    done
}
stop_instances() {
    for pid in "${instance_pids[@]}"; do
        kill "$pid"
        wait "$pid" || { echo "catalogd did not stop cleanly ($?):" >&2; cat "$work"/a.out "$work"/b.out >&2; exit 1; }
    done
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
    sed -e "s|/var/log/nginx/catalogd.access.log|$work/access.log|" -i "$work/site.conf"
    sed -e "s|/var/log/nginx/error.log|$work/error.log|" \
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
    tls="https://127.0.0.1:$https/"
    # The TLS server answers the same catalogue.
    curl -sk "${tls}adminphp/admin_upload.php?page=1" | grep -q '?TtbBa?30?'
}
fail() { echo "behind-nginx: $*" >&2; exit 1; }
# HEADER: VALUE lines that an answer must have, exactly (names in any case).
has_headers() { # url header...
    local head
    head=$(curl -sk -D - -o /dev/null "$1" | tr -d '\r')
    shift
    for h in "$@"; do
        grep -qix "$h" <<<"$head" || fail "no '$h' in: $head"
    done
}
# An item file through nginx, whole or a range: the digest catalogd published for the whole
# file comes along.
digest_through_nginx() { # file name, range
    local got expected
    got=$(curl -s -D - -o /dev/null -H "Range: $2" "${TAVREL_CATALOGD_URL}adminphp/up/$1" \
        | tr -d '\r' | sed -n 's/^[Rr]epr-[Dd]igest: //p')
    expected="sha-256=:$(openssl dgst -sha256 -binary "$data/up/$1" | base64 -w0):"
    [ "$got" = "$expected" ] || fail "$1 ($2) came with Repr-Digest \"$got\", not \"$expected\""
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
# What catalogd stores is its own user's alone, and nginx's workers are someone else: the files
# come through catalogd, as downloads that no browser runs, an uploaded page included.
[ "$(stat -c %a "$data/up/read me.txt")" = 600 ] || fail "the item files are not private"
if [ "$(id -u)" -eq 0 ]; then
    [ "$(ps -o user= --ppid "$nginx_pid" | sort -u)" = nobody ] || fail "nginx's workers are not nobody"
fi
printf '<script>alert(1)</script>' >"$work/page.html"
curl -s -o /dev/null -F category=c -F title=page -F licence=l -F code=4321 -F "file=@$work/page.html" \
    "${TAVREL_CATALOGD_URL}adminphp/index.php"
for url in "${TAVREL_CATALOGD_URL}adminphp/up/read%20me.txt" "${tls}adminphp/up/page.html"; do
    has_headers "$url" 'HTTP/[0-9.]* 200.*' 'content-type: application/octet-stream' \
        'content-disposition: attachment' 'x-content-type-options: nosniff' \
        'content-security-policy: sandbox' 'server: nginx' 'date: .* GMT'
done
curl -s "${TAVREL_CATALOGD_URL}adminphp/up/page.html" | grep -q '<script>' || fail "the page did not arrive"
# TLS 1.3, and 1.2 with authenticated encryption only.
curl -sk -o /dev/null --tlsv1.3 "${tls}" || fail "no TLS 1.3"
curl -sk -o /dev/null --tlsv1.2 --tls-max 1.2 "${tls}" || fail "no TLS 1.2"
for old in "--tls-max 1.1" "--tls-max 1.2 --ciphers ECDHE-RSA-AES128-SHA" "--tls-max 1.2 --ciphers AES128-GCM-SHA256"; do
    # shellcheck disable=SC2086
    if curl -sk -o /dev/null $old "${tls}" 2>/dev/null; then fail "TLS with $old was accepted"; fi
done
# No password in nginx's logs, also when an instance is gone and nginx tries the other.
curl -s "${TAVREL_CATALOGD_URL}adminphp/to_examine.php?cz=0&pass=admin-pass" | grep -qx 0
kill "${instance_pids[0]}"
wait "${instance_pids[0]}" || fail "catalogd did not stop cleanly"
instance_pids=("${instance_pids[1]}")
for _ in 1 2 3; do
    curl -s "${TAVREL_CATALOGD_URL}adminphp/to_examine.php?cz=6&pass=admin-pass" | grep -qx 4321
done
grep -q 'GET /adminphp/to_examine.php HTTP/1.1" 200' "$work/access.log" || fail "no administration in the log"
grep -q 'connect() failed' "$work/error.log" && fail "the failed instance was logged with the request"
if grep -l 'admin-pass\|pass=' "$work/access.log" "$work/error.log"; then fail "a secret is in nginx's log"; fi
digest_through_nginx text-editor.zip bytes=0-
digest_through_nginx text-editor.zip bytes=1000-
# The metrics are not for the internet: nginx answers 404 and catalogd never sees the request;
# health goes through.
curl -s -o /dev/null -w '%{http_code}\n' "${TAVREL_CATALOGD_URL}metrics" | grep -qx 404
if grep -q 'GET /metrics' "$work/a.out" "$work/b.out"; then fail "catalogd was asked for /metrics"; fi
curl -s "${TAVREL_CATALOGD_URL}healthz" | grep -qx ok
stop_nginx
stop_instances

echo "== downloads through nginx"
start_instances 40
start_nginx
TAVREL_CATALOGD_PAGE_SIZE=40 "$bin/tst_downloadflow" catalogItemDownload
grep -q '"GET /adminphp/up/tool-patch.zip HTTP/1.1" 200' "$work/access.log"
stop_nginx
stop_instances
echo "== behind nginx: passed"
