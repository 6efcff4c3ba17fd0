#!/usr/bin/env bash
# Moving a large catalogue, run by hand (needs postgresql-15):
#   bench/server/transfer.sh [BUILD_DIR] [ITEMS]
# Writes an export of ITEMS items (default 1,000,000), then times each step of the move from
# SQLite to PostgreSQL: import into SQLite, export from SQLite, import into PostgreSQL, export
# from PostgreSQL; the two exports must be the same bytes. The PostgreSQL cluster is the
# tests' private one (tests/support/postgresql/with-postgresql.sh: fsync off;
# TAVREL_POSTGRESQL_FSYNC=on in the environment turns it on, as on a production server).
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
items=${2:-1000000}
here=$(cd "$(dirname "$0")" && pwd)
catalogd="$build/bin/catalogd"
[ -x "$catalogd" ] || { echo "no catalogd at $catalogd (build first)" >&2; exit 1; }

if [ -z "${TAVREL_CATALOGD_DATABASE:-}" ]; then
  exec "$here/../../tests/support/postgresql/with-postgresql.sh" "$0" "$build" "$items"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$work/made.jsonl" "$items" <<'PY'
import hashlib, json, sys
path, n = sys.argv[1], int(sys.argv[2])
h = hashlib.sha256()
with open(path, "wb") as f:
    def line(o):
        b = (json.dumps(o, ensure_ascii=False, separators=(",", ":"), sort_keys=True) + "\n").encode()
        h.update(b)
        f.write(b)
    line({"kind": "catalogd-export", "version": 1, "id_sequence": n})
    for k, v in [("admin_hash", "00" * 32), ("admin_iterations", "20000"), ("admin_salt", "11" * 16),
                 ("security_code", "4321")]:
        line({"kind": "setting", "key": k, "value": v})
    cats = ["工具", "游戏", "Tools", "网络"]
    for i in range(1, n + 1):
        line({"kind": "item", "id": i, "from_admin": i % 3 == 0, "approved": int(i % 7 != 0),
              "category": cats[i % 4], "title": "外挂 %d 号 Patch %d" % (i, i * 7 % 1000),
              "licence": "免费", "updated": "2026-%02d-%02d %02d:%02d:%02d" % (i % 12 + 1, i % 28 + 1, i % 24, i % 60, i * 7 % 60),
              "file_name": "item-%d.zip" % i,
              "sha256": hashlib.sha256(b"%d" % i).hexdigest()})
    f.write((json.dumps({"kind": "end", "settings": 4, "items": n, "deleted": 0, "audit": 0,
                         "sha256": h.hexdigest()}, sort_keys=True, separators=(",", ":")) + "\n").encode())
PY
# json.dumps writes booleans for from_admin above; the file format wants integers.
sed -i 's/"from_admin":true/"from_admin":1/; s/"from_admin":false/"from_admin":0/' "$work/made.jsonl"
python3 - "$work/made.jsonl" <<'PY'
import hashlib, json, sys
lines = open(sys.argv[1], "rb").read().split(b"\n")[:-1]
h = hashlib.sha256(b"".join(l + b"\n" for l in lines[:-1])).hexdigest()
end = json.loads(lines[-1]); end["sha256"] = h
lines[-1] = json.dumps(end, sort_keys=True, separators=(",", ":")).encode()
open(sys.argv[1], "wb").write(b"\n".join(lines) + b"\n")
PY
echo "export file of $items items: $(du -h "$work/made.jsonl" | cut -f1)"

database="${TAVREL_CATALOGD_DATABASE}catalogd_transfer"
psql -d "${TAVREL_CATALOGD_DATABASE}postgres" -qc "CREATE DATABASE catalogd_transfer"
echo "PostgreSQL fsync: $(psql -d "${TAVREL_CATALOGD_DATABASE}postgres" -qAtc "SHOW fsync")"
# Wall time, and catalogd's own CPU time (user + system): on a machine shared with other work the
# second is the steadier figure. PostgreSQL's own work shows in the wall time only.
step() { # name, then the catalogd arguments
  local name=$1; shift
  local start end
  start=$(date +%s.%N)
  /usr/bin/time -f '%U %S' -o "$work/cpu" "$catalogd" "$@" >/dev/null 2>"$work/step.log" ||
    { cat "$work/step.log" >&2; exit 1; }
  end=$(date +%s.%N)
  printf '%-24s %7.1f s wall, %6.1f s CPU of catalogd\n' "$name" "$(echo "$end - $start" | bc)" \
    "$(awk '{print $1 + $2}' "$work/cpu")"
}
mkdir -p "$work/sqlite" "$work/pg"
step "import into SQLite" --data "$work/sqlite" --import "$work/made.jsonl"
step "export from SQLite" --data "$work/sqlite" --export "$work/from-sqlite.jsonl"
step "import into PostgreSQL" --data "$work/pg" --database "$database" --import "$work/from-sqlite.jsonl"
step "export from PostgreSQL" --data "$work/pg" --database "$database" --export "$work/from-pg.jsonl"
cmp "$work/from-sqlite.jsonl" "$work/from-pg.jsonl" && echo "the two exports are the same bytes"
echo "load while measuring: $(cut -d' ' -f1-3 /proc/loadavg)"
