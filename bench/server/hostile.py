#!/usr/bin/env python3
"""Hostile-client figures for catalogd, run by hand:  hostile.py CATALOGD [SECONDS [ATTACK...]]

Starts its own catalogd instances on 127.0.0.1 (ports the system picks) and prints one figure
per attack: wrong security codes, a wrong-password flood, slow connections at a low descriptor
limit, unread pipelines, slow uploads, long names, a repeated delete, a slow flood from many
addresses and password floods from many addresses. ATTACK names pick some (e.g. slow_flood
password_flood_ipv6)."""
import asyncio, os, re, resource, shutil, subprocess, sys, tempfile, time

CATALOGD = sys.argv[1]
SECONDS = float(sys.argv[2]) if len(sys.argv) > 2 else 10
CHOSEN = set(sys.argv[3:])
PASSWORD, CODE = "bench-pass", "48213697"
OTHER = "127.0.0.2"  # the address of everyone but the attacker


class Server:
    def __init__(self, extra=(), nofile=None):
        self.dir = tempfile.mkdtemp(prefix="catalogd-hostile-")
        args = [CATALOGD, "--listen", "127.0.0.1:0", "--data", self.dir, "--demo",
                "--demo-max-file-size", "4096", "--admin-password", PASSWORD,
                "--security-code", CODE, *extra]
        pre = None
        if nofile:
            pre = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
        self.out = open(os.path.join(self.dir, "out.log"), "wb")
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=self.out, preexec_fn=pre)
        line = b""
        while b"listening on" not in line:
            line = self.proc.stdout.readline()
            if not line:
                raise SystemExit("catalogd did not start")
        self.port = int(re.search(rb":(\d+)/", line).group(1))

    def cpu_seconds(self):
        fields = open(f"/proc/{self.proc.pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def memory_kib(self, key):
        for line in open(f"/proc/{self.proc.pid}/status"):
            if line.startswith(key + ":"):
                return int(line.split()[1])
        return 0

    def spooled_bytes(self, spool):
        """Bytes of the files under spool that the server holds open (also unnamed ones)."""
        total = 0
        fds = f"/proc/{self.proc.pid}/fd"
        for fd in os.listdir(fds):
            try:
                if os.readlink(os.path.join(fds, fd)).startswith(spool):
                    total += os.stat(os.path.join(fds, fd)).st_size
            except OSError:
                pass
        return total

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        shutil.rmtree(self.dir, ignore_errors=True)


async def request(port, raw, timeout=30, source="127.0.0.1"):
    """One request on its own connection; other clients than the attacker come from 127.0.0.2."""
    r, w = await asyncio.wait_for(
        asyncio.open_connection("127.0.0.1", port, local_addr=(source, 0)), timeout)
    w.write(raw)
    data = await asyncio.wait_for(r.read(), timeout)
    w.close()
    return data


def get(target):
    return f"GET {target} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n".encode()


def form(fields, filename=b"f.bin", content=b"x" * 100):
    b = b"BNDRY"
    body = b""
    for k, v in fields.items():
        body += b"--" + b + b'\r\nContent-Disposition: form-data; name="' + k.encode() + b'"\r\n\r\n' + v.encode() + b"\r\n"
    body += b"--" + b + b'\r\nContent-Disposition: form-data; name="file"; filename="' + filename + b'"\r\n\r\n' + content + b"\r\n--" + b + b"--\r\n"
    return body


def upload_request(code, filename=b"f.bin", keep=True, title="t"):
    body = form({"category": "c", "title": title, "licence": "l", "code": code}, filename)
    conn = "keep-alive" if keep else "close"
    return (f"POST /adminphp/index.php HTTP/1.1\r\nHost: x\r\nConnection: {conn}\r\n"
            f"Content-Type: multipart/form-data; boundary=BNDRY\r\nContent-Length: {len(body)}\r\n\r\n").encode() + body


async def read_response(r):
    head = await r.readuntil(b"\r\n\r\n")
    length = int(re.search(rb"Content-Length: (\d+)", head).group(1))
    body = await r.readexactly(length)
    return int(head.split()[1]), body


async def code_brute_force(s):
    """1. wrong security codes on 4 keep-alive connections; every 500th try is the right code."""
    counts = {"answered": 0, "right_tries": 0, "right_accepted": 0}
    deadline = time.monotonic() + SECONDS

    async def worker(n):
        r, w = await asyncio.open_connection("127.0.0.1", s.port)
        i = 0
        while time.monotonic() < deadline:
            i += 1
            right = (i % 500 == 0) and n == 0
            w.write(upload_request(CODE if right else f"{(i * 7919 + n) % 10**8:08d}", title=f"b{i}"))
            try:
                status, _ = await read_response(r)
            except Exception:
                r, w = await asyncio.open_connection("127.0.0.1", s.port)
                continue
            counts["answered"] += 1
            if right:
                counts["right_tries"] += 1
                counts["right_accepted"] += status == 200
    await asyncio.gather(*(worker(n) for n in range(4)))
    rate = counts["answered"] / SECONDS
    print(f"1. security codes: {rate:,.0f} tries/s answered on 4 connections; the right code "
          f"accepted {counts['right_accepted']} of {counts['right_tries']} times it was sent")


async def password_flood(s):
    """2. 600 pipelined wrong passwords in one write, then a list request on another connection."""
    flood = b"".join(f"GET /adminphp/to_examine.php?cz=0&pass=wrong{i} HTTP/1.1\r\nHost: x\r\n\r\n".encode()
                     for i in range(600))
    r, w = await asyncio.open_connection("127.0.0.1", s.port)
    w.write(flood)
    await asyncio.sleep(0.05)
    start = time.monotonic()
    await request(s.port, get("/adminphp/admin_upload.php?page=1"), timeout=120, source=OTHER)
    waited = time.monotonic() - start
    answered = 0
    while answered < 600:
        try:
            await asyncio.wait_for(read_response(r), 120)
        except Exception:
            break
        answered += 1
    flood_time = time.monotonic() - start
    w.close()
    print(f"2. wrong-password flood: a list request waited {waited:.3f} s; the flood's "
          f"{answered} answers took {flood_time:.1f} s")


async def slow_connections(s, count=248):
    """3. slow connections sending a byte every 5 s, at a 256-descriptor limit."""
    writers = []
    for _ in range(count):
        try:
            r, w = await asyncio.open_connection("127.0.0.1", s.port)
            w.write(b"G")
            writers.append(w)
        except Exception:
            break
    cpu0 = s.cpu_seconds()
    t0 = time.monotonic()
    ok = 0
    tries = 0
    end = t0 + max(SECONDS, 16)
    while time.monotonic() < end:
        for w in writers:
            if not w.is_closing():
                w.write(b"E")
        tries += 1
        try:
            data = await request(s.port, get("/adminphp/admin_upload.php?page=1"), timeout=4,
                                 source=OTHER)
            ok += data.startswith(b"HTTP/1.1 200")
        except Exception:
            pass
        await asyncio.sleep(1)
    cpu = (s.cpu_seconds() - cpu0) / (time.monotonic() - t0) * 100
    open_conns = len(os.listdir(f"/proc/{s.proc.pid}/fd"))
    for w in writers:
        w.close()
    print(f"3. {len(writers)} slow connections at 256 descriptors: new clients served "
          f"{ok} of {tries}; server CPU {cpu:.0f} %; descriptors open at the end {open_conns}")


async def unread_pipelines(s, count=200):
    """4. connections that pipeline requests and never read the answers."""
    rss0 = s.memory_kib("VmRSS")
    req = get("/adminphp/admin_upload.php?page=1").replace(b"Connection: close", b"X: y") * 2000
    writers = []
    for _ in range(count):
        try:
            r, w = await asyncio.open_connection("127.0.0.1", s.port, limit=1)
            w.transport.pause_reading()
            w.write(req)
            writers.append(w)
        except Exception:
            break
    worst = 0.0
    peak = 0
    t_end = time.monotonic() + SECONDS
    while time.monotonic() < t_end:
        t = time.monotonic()
        try:
            await request(s.port, get("/adminphp/users_upload.php?page=1"), timeout=30,
                          source=OTHER)
        except Exception:
            pass
        worst = max(worst, time.monotonic() - t)
        peak = max(peak, s.memory_kib("VmRSS"))
        await asyncio.sleep(0.2)
    for w in writers:
        w.transport.abort()
    print(f"4. {len(writers)} unread pipelines: server memory {rss0 / 1024:.0f} -> peak "
          f"{peak / 1024:.0f} MiB; other clients waited up to {worst:.2f} s")


async def slow_uploads(s, count=10):
    """5. slow uploads announcing 20 MiB each: bytes held in the spool."""
    size = 20 * 1024 * 1024
    head = (f"POST /adminphp/index.php HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; "
            f"boundary=BNDRY\r\nContent-Length: {size}\r\n\r\n").encode()
    part = (b'--BNDRY\r\nContent-Disposition: form-data; name="file"; filename="big.bin"\r\n'
            b"\r\n")
    writers = []
    for _ in range(count):
        r, w = await asyncio.open_connection("127.0.0.1", s.port)
        w.write(head + part)
        writers.append(w)
    chunk = b"z" * (512 * 1024)
    peak = 0
    spool = os.path.join(s.dir, "tmp")
    t0 = time.monotonic()
    for _ in range(int(max(SECONDS, 10))):
        for w in writers:
            if not w.is_closing():
                w.write(chunk)
        await asyncio.sleep(1)
        held = s.spooled_bytes(spool)
        peak = max(peak, held)
    for w in writers:
        w.close()
    print(f"5. {count} slow uploads of 20 MiB at 512 KiB/s each: spool held up to "
          f"{peak / 1048576:.1f} MiB after {time.monotonic() - t0:.0f} s")


async def names(s):
    """6. a file name of 200 CJK characters; a 200-character name uploaded twice."""
    cjk = ("名" * 200).encode()
    first = await request(s.port, upload_request(CODE, cjk, keep=False))
    long_name = ("a" * 196 + ".txt").encode()
    await request(s.port, upload_request(CODE, long_name, keep=False))
    await request(s.port, upload_request(CODE, long_name, keep=False))
    page = await request(s.port, get(f"/adminphp/to_examine.php?cz=3&pass={PASSWORD}&page=1"))
    stored = re.findall(rb"\x02(a+[^\x02]*\.txt)\x02", page)
    statuses = []
    for name in stored:
        data = await request(s.port, get("/adminphp/up/" + name.decode()))
        statuses.append(int(data.split()[1]))
    print(f"6. 200 CJK characters: {int(first.split()[1])}; 200-character name twice: stored as "
          f"{[len(n) for n in stored]} characters, downloads answer {statuses}")


async def repeated_delete(s):
    """7. the same delete twice."""
    page = await request(s.port, get(f"/adminphp/to_examine.php?cz=2&pass={PASSWORD}&page=1"))
    item = re.search(rb"\x02(\d+)\x01", page).group(1).decode()
    target = f"/adminphp/to_examine.php?cz=5&pass={PASSWORD}&id={item}"
    a = (await request(s.port, get(target))).rsplit(b"\r\n\r\n", 1)[1]
    b = (await request(s.port, get(target))).rsplit(b"\r\n\r\n", 1)[1]
    print(f"7. a delete sent twice answers {a.decode()!r} then {b.decode()!r}")


async def slow_flood(s, count=600, addresses=51, tries=12):
    """8. 600 connections from 51 addresses that stay silent or send a byte now and then, and
    come back at once when closed, at a 256-descriptor limit; a new client from another address
    asks every 2 s."""
    deadline = time.monotonic() + max(SECONDS, 2 * tries + 4)
    opened = 0

    async def attacker(n):
        nonlocal opened
        source = f"127.0.1.{n % addresses + 1}"
        while time.monotonic() < deadline:
            try:
                r, w = await asyncio.wait_for(
                    asyncio.open_connection("127.0.0.1", s.port, local_addr=(source, 0)), 5)
            except Exception:
                await asyncio.sleep(0.1)
                continue
            opened += 1
            trickle = n % 2 == 0
            try:
                if trickle:
                    w.write(b"G")
                while time.monotonic() < deadline:
                    try:
                        if not await asyncio.wait_for(r.read(4096), 2):
                            break  # closed by the server: come back
                    except asyncio.TimeoutError:
                        if trickle:
                            w.write(b"E")
            except Exception:
                pass
            w.close()

    tasks = [asyncio.create_task(attacker(n)) for n in range(count)]
    await asyncio.sleep(3)  # the flood settles
    cpu0, t0 = s.cpu_seconds(), time.monotonic()
    waits = []
    for _ in range(tries):
        start = time.monotonic()
        # curl times itself: this process is busy being the flood
        curl = await asyncio.create_subprocess_exec(
            "curl", "-s", "-o", "/dev/null", "-m", "5", "--interface", OTHER,
            "-w", "%{http_code} %{time_total}", f"http://127.0.0.1:{s.port}/adminphp/admin_upload.php?page=1",
            stdout=subprocess.PIPE)
        status, seconds = (await curl.communicate())[0].decode().split()
        if status == "200":
            waits.append(float(seconds))
        await asyncio.sleep(max(0, 2 - (time.monotonic() - start)))
    cpu = (s.cpu_seconds() - cpu0) / (time.monotonic() - t0) * 100
    for t in tasks:
        t.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    shown = ", ".join(f"{w * 1000:.0f} ms" for w in waits) or "none"
    print(f"8. slow flood, {count} connections from {addresses} addresses at 256 descriptors "
          f"({opened} opened): a new client served {len(waits)} of {tries} times within 5 s "
          f"(waits: {shown}); server CPU {cpu:.0f} %")


async def admin_login(port, forwarded):
    """The administrator's login through the proxy; curl times itself, since this process is
    busy being the flood."""
    curl = await asyncio.create_subprocess_exec(
        "curl", "-s", "-m", "60", "-H", f"X-Forwarded-For: {forwarded}", "-w", " %{time_total}",
        f"http://127.0.0.1:{port}/adminphp/to_examine.php?cz=0&pass={PASSWORD}",
        stdout=subprocess.PIPE)
    answer, seconds = (await curl.communicate())[0].decode().rsplit(" ", 1)
    return float(seconds), answer


async def guessers(port, forwarded, deadline, per_address=2):
    """Connections through the trusted proxy (127.0.0.1), per_address per forwarded address,
    each sending wrong passwords one after the other until the deadline; counts answers."""
    counts = {"answers": 0, "busy": 0}

    async def one(address, n):
        r, w = await asyncio.open_connection("127.0.0.1", port)
        i = 0
        while time.monotonic() < deadline:
            i += 1
            w.write((f"GET /adminphp/to_examine.php?cz=0&pass=wrong{n}-{i} HTTP/1.1\r\nHost: x\r\n"
                     f"X-Forwarded-For: {address}\r\n\r\n").encode())
            try:
                status, _ = await asyncio.wait_for(read_response(r), 60)
            except Exception:
                break
            counts["answers"] += 1
            counts["busy"] += status == 503
        w.close()

    tasks = [asyncio.create_task(one(a, n)) for n, a in enumerate(forwarded) for _ in range(per_address)]
    return tasks, counts


async def password_flood_ipv6(s):
    """9. wrong passwords through a trusted proxy from 400 IPv6 /64s of one /48, 2 connections
    each, 800 at once; the administrator's login sent 0.5 s in."""
    await many_guessers(s, "9.", "400 IPv6 /64s of one /48",
                        [f"2001:db8:1:{i + 1:x}::7" for i in range(400)], 0.5)


async def password_flood_ipv4(s):
    """10. the same from 400 IPv4 addresses, the login sent 5 s in."""
    await many_guessers(s, "10.", "400 IPv4 addresses",
                        [f"10.0.{i // 200}.{i % 200 + 1}" for i in range(400)], 5)


async def many_guessers(s, number, label, addresses, login_at):
    deadline = time.monotonic() + login_at + 30
    tasks, counts = await guessers(s.port, addresses, deadline)
    await asyncio.sleep(login_at)
    waited, answer = await admin_login(s.port, "192.0.2.200")
    answers, busy = counts["answers"], counts["busy"]
    for t in tasks:
        t.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    print(f"{number} password flood from {label}: the administrator's login sent {login_at:g} s in "
          f"answered {answer!r} after {waited:.3f} s; the flood had {answers} answers by then "
          f"({busy} of them 503 busy)")


async def main():
    extra = os.environ.get("CATALOGD_EXTRA", "").split()
    print(f"catalogd hostile-client figures, {CATALOGD}, {SECONDS:g} s per attack")
    attacks = [(code_brute_force, {}), (password_flood, {}),
               (slow_connections, {"nofile": 256}), (unread_pipelines, {}),
               (slow_uploads, {}), (names, {}), (repeated_delete, {}),
               (slow_flood, {"nofile": 256}),
               (password_flood_ipv6, {"extra": ["--trusted-proxy", "127.0.0.1"]}),
               (password_flood_ipv4, {"extra": ["--trusted-proxy", "127.0.0.1"]})]
    for attack, kwargs in attacks:
        if CHOSEN and attack.__name__ not in CHOSEN:
            continue
        kwargs = dict(kwargs)
        s = Server(extra + kwargs.pop("extra", []), **kwargs)
        try:
            await attack(s)
        except Exception as e:
            print(f"{attack.__name__}: {type(e).__name__} {e}")
        finally:
            s.stop()

asyncio.run(main())
