#!/usr/bin/env python3
"""catalogd at catalogue scale, run by hand:

    bench/server/scale.py BUILD_DIR [--items N] [--per-kind N]
    tests/support/postgresql/with-postgresql.sh bench/server/scale.py BUILD_DIR   (PostgreSQL too)

Makes a data folder of N items (default 1,000,000) in the first store format (the frozen table
definitions of tests/server/fixtures/), starts catalogd on it (which upgrades it), then prints
the upgrade time, the p95 and worst answer time of distinct uncached requests of each kind over
loopback HTTP, one at a time after a warm-up pass, the times of writes, and the answer time of
a list page while 8 other clients loop over rare searches and deep pages. With
TAVREL_CATALOGD_DATABASE set (with-postgresql.sh) the same runs on PostgreSQL after SQLite.
"""
import argparse
import http.client
import os
import random
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "..", "..", "tests", "server", "fixtures")
PASSWORD = "bench-pass"
CODE = "24681357"

CATEGORIES = ["工具", "补丁", "插件", "皮肤", "Games", "Utilities", "Tools", "网络"]
CHINESE = ["文本", "编辑器", "增强版", "系统", "补丁", "合集", "浏览器", "广告", "过滤", "经典",
           "蓝色", "截图", "小助手", "磁盘", "空间", "输入法", "词库", "扩展", "字体", "修复",
           "批量", "重命名", "俄罗斯", "方块", "怀旧", "剪贴板", "历史", "播放器", "歌词", "网络",
           "校验", "压缩", "解压", "中国红", "棋类", "训练", "信息", "查看器", "导出", "兼容",
           "定时", "关机", "五子棋", "大师", "右键", "菜单", "同步", "围棋", "入门", "翻译"]
LATIN = ["editor", "backup", "viewer", "patch", "filter", "classic", "screen", "helper", "disk",
         "space", "input", "dictionary", "font", "render", "batch", "rename", "tetris", "clipboard",
         "history", "player", "lyrics", "network", "hash", "checker", "archive", "chess", "trainer",
         "system", "export", "plugin", "timer", "notes", "context", "menu", "sync", "scanner",
         "monitor", "counter", "converter", "invaders"]
LICENCES = ["免费", "共享", "开源", "Freeware", "GPL", "MIT"]


def title_of(rng):
    words = []
    for _ in range(rng.choice((2, 3))):
        r = rng.random()
        if r < 0.45:
            words.append(rng.choice(CHINESE))
        elif r < 0.9:
            words.append(rng.choice(LATIN).capitalize() if rng.random() < 0.5 else rng.choice(LATIN))
        else:  # a version-like word: rare
            words.append("v%d.%d" % (rng.randrange(100), rng.randrange(100)))
    return " ".join(words)


def rows(n, seed=17):
    """The catalogue, oldest id first; times spread over ten years in any order."""
    rng = random.Random(seed)
    start = time.mktime((2015, 1, 1, 0, 0, 0, 0, 0, 0))
    for i in range(1, n + 1):
        r = rng.random()
        from_admin, approved = (1, 1) if r < 0.3 else (0, 1) if r < 0.9 else (0, 0)
        category, title = rng.choice(CATEGORIES), title_of(rng)
        t = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(start + rng.randrange(10 * 365 * 86400)))
        # ASCII and Chinese only: lower() is the same as the server's simple case folding here.
        yield (i, from_admin, approved, category, title, rng.choice(LICENCES), t,
               "f%07d.zip" % i, (category + "\n" + title).lower())


def make_sqlite(folder, n):
    os.makedirs(os.path.join(folder, "up"))
    db = sqlite3.connect(os.path.join(folder, "catalog.db"))
    db.executescript(open(os.path.join(FIXTURES, "format0-sqlite.sql")).read())
    db.executemany("INSERT INTO items VALUES (?,?,?,?,?,?,?,?,?)", rows(n))
    db.commit()
    db.close()


def make_postgresql(url, n):
    base = url.rsplit("/", 1)[0] + "/"
    subprocess.run(["psql", "-q", "-d", base + "postgres", "-c", "DROP DATABASE IF EXISTS bench"], check=True)
    subprocess.run(["psql", "-q", "-d", base + "postgres", "-c", "CREATE DATABASE bench"], check=True)
    schema = open(os.path.join(FIXTURES, "format0-postgresql.sql")).read()
    subprocess.run(["psql", "-q", "-d", base + "bench", "-c", schema], check=True)

    def escape(v):
        return str(v).replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")

    data = "".join("\t".join(escape(v) for v in r) + "\n" for r in rows(n))
    subprocess.run(["psql", "-q", "-d", base + "bench", "-c",
                    "COPY items FROM STDIN; SELECT setval('items_id_seq', %d)" % n],
                   input=data.encode(), check=True, stdout=subprocess.DEVNULL)
    return base + "bench"


class Server:
    def __init__(self, catalogd, folder, database=None):
        args = [catalogd, "--listen", "127.0.0.1:0", "--data", folder, "--admin-password", PASSWORD,
                "--security-code", CODE, "--max-connections-per-peer", "64"]
        if database:
            args += ["--database", database]
        self.log = open(os.path.join(folder, "catalogd.log"), "w+")
        started = time.monotonic()
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=self.log, text=True)
        for line in self.process.stdout:
            m = re.search(r"listening on http://127\.0\.0\.1:(\d+)/", line)
            if m:
                self.port = int(m.group(1))
                break
        else:
            raise SystemExit("catalogd did not start: " + open(self.log.name).read())
        self.start_seconds = time.monotonic() - started
        with open("/proc/%d/stat" % self.process.pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        self.cpu_seconds = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        self.log.flush()
        m = re.search(r"store upgraded to format \d+ in ([0-9.]+) s", open(self.log.name).read())
        self.upgrade_seconds = float(m.group(1)) if m else None

    def stop(self):
        self.process.terminate()
        self.process.wait(30)


def fetch(conn, target, method="GET", body=None, headers=None):
    started = time.perf_counter()
    conn.request(method, target, body=body, headers=headers or {})
    reply = conn.getresponse()
    data = reply.read()
    return time.perf_counter() - started, reply.status, data


def trailer(data):
    tail = data.rsplit(b"?TtbBa?", 1)[1].split(b"?")
    return int(tail[0]), int(tail[1])


def q(text):
    return urllib.parse.quote(text, safe="")


def request_kinds(conn, per_kind, rng):
    lists = {"admin": "/adminphp/admin_upload.php?", "users": "/adminphp/users_upload.php?",
             "all": "/adminphp/to_examine.php?cz=2&pass=%s&" % PASSWORD,
             "pending": "/adminphp/to_examine.php?cz=3&pass=%s&" % PASSWORD}
    kinds = {}
    for name, prefix in lists.items():
        pages = trailer(fetch(conn, prefix + "page=1")[2])[1]
        span = min(per_kind, pages)
        mid = max(1, pages // 2 - span // 2)
        kinds[name + " first pages"] = [prefix + "page=%d" % p for p in range(1, span + 1)]
        kinds[name + " middle pages"] = [prefix + "page=%d" % p for p in range(mid, mid + span)]
        kinds[name + " last pages"] = [prefix + "page=%d" % p for p in range(pages - span + 1, pages + 1)]
    chars = sorted({c for w in CHINESE for c in w} | set("abcdefghiklmnoprstuvwxy"))
    pairs = sorted({w[i:i + 2] for w in CHINESE + LATIN for i in range(len(w) - 1)})
    words = CHINESE + LATIN
    searchable = ["admin", "users", "all", "pending"]

    def searches(texts, pages=(1,)):
        out = []
        for text in texts:
            for name in searchable:
                for p in pages:
                    out.append(lists[name] + "page=%d&q=%s" % (p, q(text)))
        rng.shuffle(out)
        return out[:per_kind]

    kinds["search 1 code point"] = searches(chars, (1, 2))
    kinds["search 2 code points"] = searches(pairs)
    kinds["search 3+ code points"] = searches([w for w in words if len(w) >= 3], (1, 3))
    kinds["search rare (v12.34)"] = searches(["v%d.%d" % (a, b) for a in range(10, 30) for b in range(10, 20)])
    kinds["search matching nothing"] = searches(["zz%dqq" % i for i in range(per_kind)])
    # Over a tenth of a list: one of two title words is one of ~90, so single Latin letters
    # and the commonest syllables; pages across the whole result.
    common = ["e", "a", "r", "i", "n", "o"]
    kinds["search matching >1/10"] = searches(common, range(1, 120, 7))
    return kinds


def percentile(values, share):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * share))]


def measure(port, per_kind):
    rng = random.Random(5)
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
    kinds = request_kinds(conn, per_kind, rng)
    every = [(k, t) for k, targets in kinds.items() for t in targets]
    # Warm-up: a different set of requests of the same kinds (other pages), so that the measured
    # ones are still uncached.
    for kind, target in rng.sample(every, min(200, len(every))):
        fetch(conn, target + "&warm=1")
    rng.shuffle(every)
    times = {k: [] for k in kinds}
    for kind, target in every:
        seconds, status, _ = fetch(conn, target)
        assert status == 200, (target, status)
        times[kind].append(seconds)
    print("  %-28s %6s %9s %9s" % ("kind", "count", "p95 ms", "worst ms"))
    for kind, values in times.items():
        print("  %-28s %6d %9.1f %9.1f" % (kind, len(values), percentile(values, 0.95) * 1000,
                                            max(values) * 1000))
    return kinds


def upload_body(i):
    boundary = "BenchBoundary"
    parts = [("category", "工具"), ("title", "上传测试 %d" % i), ("licence", "免费"), ("code", CODE)]
    body = b""
    for name, value in parts:
        body += ("--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n" % (boundary, name, value)).encode()
    body += ("--%s\r\nContent-Disposition: form-data; name=\"file\"; filename=\"bench-%d.bin\"\r\n"
             "Content-Type: application/octet-stream\r\n\r\n" % (boundary, i)).encode() + b"x" * 100 + b"\r\n"
    body += ("--%s--\r\n" % boundary).encode()
    return body, {"Content-Type": "multipart/form-data; boundary=" + boundary}


def writes(port, count=50):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    fetch(conn, "/adminphp/to_examine.php?cz=0&pass=" + PASSWORD)  # the password's derivation once
    results = {"upload": [], "approve": [], "delete": []}
    for i in range(count):
        body, headers = upload_body(i)
        seconds, status, _ = fetch(conn, "/adminphp/index.php", "POST", body, headers)
        assert status == 200, status
        results["upload"].append(seconds)
    pending = fetch(conn, "/adminphp/to_examine.php?cz=3&pass=%s&page=1&q=%s" % (PASSWORD, q("上传测试")))[2]
    ids = [int(r.split(b"\x02")[5]) for r in pending.split(b"?TtbBa?")[0].split(b"\x01") if r]
    for id_ in ids[:count]:
        seconds, _, data = fetch(conn, "/adminphp/to_examine.php?cz=4&pass=%s&id=%d" % (PASSWORD, id_))
        assert data == b"0", data
        results["approve"].append(seconds)
    for id_ in ids[:count]:
        seconds, _, data = fetch(conn, "/adminphp/to_examine.php?cz=5&pass=%s&id=%d" % (PASSWORD, id_))
        assert data == b"0", data
        results["delete"].append(seconds)
    for kind, values in results.items():
        print("  write: %-8s %4d  median %6.1f ms  p95 %6.1f ms  worst %6.1f ms" % (
            kind, len(values), percentile(values, 0.5) * 1000, percentile(values, 0.95) * 1000,
            max(values) * 1000))


def starvation(port, kinds, seconds=10):
    """8 clients loop over rare searches and deep pages; a ninth asks distinct list pages."""
    heavy = (kinds["search rare (v12.34)"] + kinds["search matching nothing"] +
             kinds["all middle pages"] + kinds["users last pages"])
    stop = time.monotonic() + seconds
    done = [0]

    def loop(n):
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        i = n
        while time.monotonic() < stop:
            fetch(conn, heavy[i % len(heavy)] + "&load=%d" % i)
            i += 8
            done[0] += 1

    threads = [threading.Thread(target=loop, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    ninth = []
    page = 1
    while time.monotonic() < stop:
        ninth.append(fetch(conn, "/adminphp/admin_upload.php?page=%d&ninth=1" % page)[0])
        page += 37
        time.sleep(0.02)
    for t in threads:
        t.join()
    print("  8 clients on rare searches and deep pages (%d answers in %d s); a ninth client's list"
          " pages: %d, p95 %.1f ms, worst %.1f ms" % (done[0], seconds, len(ninth),
                                                      percentile(ninth, 0.95) * 1000, max(ninth) * 1000))


def run(title, catalogd, folder, per_kind, database=None):
    print("%s:" % title)
    server = Server(catalogd, folder, database)
    try:
        print("  start with upgrade: %.1f s (upgrade step: %s s; catalogd's CPU time so far %.1f s)" % (
            server.start_seconds, server.upgrade_seconds, server.cpu_seconds))
        kinds = measure(server.port, per_kind)
        writes(server.port)
        starvation(server.port, kinds)
    finally:
        server.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--items", type=int, default=1_000_000)
    parser.add_argument("--per-kind", type=int, default=200)
    parser.add_argument("--only-postgresql", action="store_true")
    args = parser.parse_args()
    catalogd = os.path.join(args.build, "bin", "catalogd")
    work = tempfile.mkdtemp(prefix="catalogd-scale-")
    try:
        print("catalogd at scale: %d items, %d cores, load %s, %s" % (
            args.items, os.cpu_count(), open("/proc/loadavg").read().split()[:3],
            time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())))
        if not args.only_postgresql:
            made = time.monotonic()
            folder = os.path.join(work, "sqlite")
            make_sqlite(folder, args.items)
            print("made the SQLite data folder in the first format in %.0f s" % (time.monotonic() - made))
            run("SQLite", catalogd, folder, args.per_kind)
        url = os.environ.get("TAVREL_CATALOGD_DATABASE")
        if url:
            made = time.monotonic()
            database = make_postgresql(url, args.items)
            print("made the PostgreSQL store in the first format in %.0f s" % (time.monotonic() - made))
            folder = os.path.join(work, "pg")
            os.makedirs(os.path.join(folder, "up"))
            run("PostgreSQL (settings of with-postgresql.sh: fsync=off, the rest default;"
                " catalogd sets work_mem 64MB)",
                catalogd, folder, args.per_kind, database)
        print("load after: %s" % open("/proc/loadavg").read().split()[:3])
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
