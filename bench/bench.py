#!/usr/bin/env python3
"""The measurements of bench/run, inside a network namespace with loopback alone.

Starts Tessel headless (from a program folder of its own) and nginx on the same corpus, loads each
in turn with the same tools and prints one table: the figure for Tessel, for nginx, and the ratio
Tessel/nginx. Run through bench/run, which builds, makes the corpus and isolates this script.
"""
import argparse
import os
import re
import resource
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import time

GROUPS = ["small", "mid", "big", "pages", "zip", "upload", "held", "remote", "https"]
ROUNDS = 2
TESSEL_PORT = 18080
NGINX_PORT = 18081
NGINX_TLS_PORT = 18443  # nginx serves TLS on a port of its own; Tessel on its one port
CLK_TCK = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")


def log(text):
    print(text, file=sys.stderr, flush=True)


def run(command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, text=True, **kwargs).stdout


def wait_port(port, process, limit=20.0):
    """Seconds until the port accepts a connection."""
    start = time.monotonic()
    while time.monotonic() - start < limit:
        if process.poll() is not None:
            raise SystemExit(f"server on port {port} ended with status {process.returncode}")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return time.monotonic() - start
        except OSError:
            time.sleep(0.002)
    raise SystemExit(f"nothing listens on port {port}")


def children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                fields = open(f"/proc/{entry}/stat").read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                found.append(int(entry))
    return found


class Server:
    def __init__(self, name, port, work_dir):
        self.name = name
        self.port = port
        self.work_dir = work_dir  # for files of the measurements
        self.process = None
        self.tls_port = port

    def pids(self):
        return [self.process.pid] + children(self.process.pid)

    def rss_mib(self):
        total = 0
        for pid in self.pids():
            for line in open(f"/proc/{pid}/status"):
                if line.startswith("VmRSS:"):
                    total += int(line.split()[1])
        return total / 1024

    def cpu_seconds(self):
        total = 0
        for pid in self.pids():
            fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])  # utime, stime
        return total / CLK_TCK

    def threads(self):
        for line in open(f"/proc/{self.process.pid}/status"):
            if line.startswith("Threads:"):
                return int(line.split()[1])
        return 0

    def url(self, path, secure=False, host="127.0.0.1"):
        if secure:
            return f"https://{host}:{self.tls_port}{path}"
        return f"http://{host}:{self.port}{path}"

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def prepare_tessel(args, prog):
    """A program folder holding the release binary, its web folder and a database with the
    shares: the three corpus folders and enough single files for 1000 shares in all."""
    shutil.rmtree(prog, ignore_errors=True)
    os.makedirs(prog)
    shutil.copy2(os.path.join(args.build, "tessel"), prog)
    shutil.copytree(os.path.join(args.build, "web"), os.path.join(prog, "web"))
    xdg = os.path.join(args.work, "xdg")
    os.makedirs(xdg, mode=0o700, exist_ok=True)
    env = dict(os.environ, XDG_RUNTIME_DIR=xdg)
    # A first start with -f makes the database and records the share; then it is stopped, and
    # the rest is written while no connection has the file open.
    first = subprocess.Popen([os.path.join(prog, "tessel"), "-f", os.path.join(args.corpus, "files")],
                             env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_port(80, first)
    first.send_signal(signal.SIGTERM)
    first.wait(20)
    db = sqlite3.connect(os.path.join(prog, "tessel.mdb"))
    with db:
        db.execute("update config set paramvalue=? where paramname='localport'", (str(TESSEL_PORT),))
        db.execute("insert or replace into config values('EnableZipFolder', '1')")
        rows = [("list", os.path.join(args.corpus, "list")), ("zip", os.path.join(args.corpus, "zip")),
                ("zip-sparse", os.path.join(args.corpus, "zip-sparse")),
                ("zip-many", os.path.join(args.corpus, "zip-many"))]
        items = sorted(os.listdir(os.path.join(args.corpus, "list")))[:997]
        rows += [(f"share-{i:04d}.txt", os.path.join(args.corpus, "list", name)) for i, name in enumerate(items)]
        db.executemany("insert into fileshare(filename, filepath, filedesc, sharemode, sharetime, uploader)"
                       " values(?, ?, '', 0, '2024-06-07 12:00:00', '')", rows)
    db.close()
    return env


def start_tessel(args, prog, env):
    server = Server("tessel", TESSEL_PORT, args.work)
    out = open(os.path.join(args.work, "tessel.log"), "w")
    server.process = subprocess.Popen([os.path.join(prog, "tessel"), "-headless"], env=env,
                                      stdout=out, stderr=subprocess.STDOUT)
    server.startup = wait_port(TESSEL_PORT, server.process)
    return server


def start_nginx(args):
    run_dir = os.path.join(args.work, "nginx")
    shutil.rmtree(run_dir, ignore_errors=True)
    os.makedirs(run_dir)
    conf = open(os.path.join(args.bench, "nginx.conf")).read()
    conf = conf.replace("@PORT@", str(NGINX_PORT)).replace("@ROOT@", args.corpus).replace("@RUN@", run_dir)
    # The certificate Tessel made at its first start, so both servers sign with the same key.
    prog = os.path.join(args.work, "prog")
    conf = conf.replace("@TLSPORT@", str(NGINX_TLS_PORT)).replace(
        "@CERT@", os.path.join(prog, "tls-self-signed.pem")).replace(
        "@KEY@", os.path.join(prog, "tls-self-signed-key.pem"))
    path = os.path.join(run_dir, "nginx.conf")
    open(path, "w").write(conf)
    server = Server("nginx", NGINX_PORT, run_dir)
    server.tls_port = NGINX_TLS_PORT
    server.process = subprocess.Popen(["nginx", "-c", path, "-e", os.path.join(run_dir, "nginx-error.log")],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    server.startup = wait_port(NGINX_PORT, server.process)
    return server


def seconds_of(text):
    value, unit = re.match(r"([\d.]+)(us|ms|s|m)", text).groups()
    return float(value) * {"us": 1e-6, "ms": 1e-3, "s": 1.0, "m": 60.0}[unit]


def bytes_of(text):
    value, unit = re.match(r"([\d.]+)([KMGT]?B)", text).groups()
    return float(value) * {"B": 1, "KB": 1 << 10, "MB": 1 << 20, "GB": 1 << 30, "TB": 1 << 40}[unit]


def wrk(server, path, seconds, connections, secure=False, host="127.0.0.1"):
    """Requests/s, p99 latency (ms), MB/s and server CPU ms per request of a wrk run with a new
    connection per request (over TLS 1.3 without resumption when secure), to host (an IPv6 one in
    brackets)."""
    cpu = server.cpu_seconds()
    out = run(["wrk", "-t2", f"-c{connections}", f"-d{seconds}s", "--latency", "-H", "Connection: close",
               server.url(path, secure, host)])
    cpu = server.cpu_seconds() - cpu
    total = re.search(r"(\d+) requests in ([\d.]+\w+), ([\d.]+\w+) read", out)
    requests, elapsed, read = int(total.group(1)), seconds_of(total.group(2)), bytes_of(total.group(3))
    errors = re.search(r"Socket errors: (.*)", out)
    bad = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if errors or bad:
        log(f"  {server.name} {path}: {errors.group(0) if errors else ''} {bad.group(0) if bad else ''}")
    p99 = seconds_of(re.search(r"99%\s+(\S+)", out).group(1)) * 1000
    return {"rps": requests / elapsed, "p99": p99, "mbs": read / elapsed / (1 << 20),
            "cpu": cpu * 1000 / max(requests, 1)}


def ab(server, path, seconds, concurrency=8):
    out = run(["ab", "-q", "-t", str(seconds), "-n", "10000000", "-c", str(concurrency), server.url(path)])
    failed = int(re.search(r"Failed requests:\s+(\d+)", out).group(1))
    if failed:
        log(f"  {server.name} {path}: {failed} failed requests")
    return float(re.search(r"Requests per second:\s+([\d.]+)", out).group(1))


def curl_get(url, target):
    out = run(["curl", "-sk", "-o", target, "-w", "%{time_total} %{size_download} %{http_code}", url])
    seconds, size, code = out.split()
    return float(seconds), int(size), code


def first_byte(server, path):
    """Seconds from sending the request until the first byte of the reply, and the announced
    Content-Length; the rest is not read."""
    with socket.create_connection(("127.0.0.1", server.port)) as s:
        start = time.monotonic()
        s.sendall(f"GET {path} HTTP/1.0\r\n\r\n".encode())
        head = s.recv(4096)
        took = time.monotonic() - start
        while b"\r\n\r\n" not in head:
            more = s.recv(4096)
            if not more:
                break
            head += more
    length = re.search(rb"Content-Length: (\d+)", head)
    return took, int(length.group(1)) if length else -1


def held_zip_memory(server, path, settle=2.0):
    """The server's resident memory (MiB) before, and while one zip download of path is under
    way, its client reading nothing past the first bytes."""
    before = server.rss_mib()
    with socket.create_connection(("127.0.0.1", server.port)) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.sendall(f"GET {path} HTTP/1.0\r\n\r\n".encode())
        s.recv(1)
        time.sleep(settle)
        return before, server.rss_mib()


def syscalls_per_request(server, path, requests=10000, concurrency=32):
    """System calls and futex calls per request counted by strace -c -f on the server's
    processes (all threads) while ab makes requests with a new connection each."""
    out_file = os.path.join(server.work_dir, f"strace-{server.name}.txt")
    command = ["strace", "-c", "-f", "-o", out_file]
    for pid in server.pids():
        command += ["-p", str(pid)]
    tracer = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1)  # attached to every thread
    run(["ab", "-q", "-n", str(requests), "-c", str(concurrency), server.url(path)])
    tracer.send_signal(signal.SIGINT)
    tracer.wait(60)
    calls = futex = 0
    for line in open(out_file):
        match = re.match(r"\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)\s*$", line)
        if match:
            if match.group(2) == "total":
                calls = int(match.group(1))
            elif match.group(2) == "futex":
                futex = int(match.group(1))
    return {"calls": calls / requests, "futex": futex / requests}


def hold_connections(server, count, settle=30.0):
    """RSS in MiB while count connections, each having sent part of a request head, are open."""
    held = []
    try:
        for _ in range(count):
            s = socket.create_connection(("127.0.0.1", server.port))
            s.sendall(b"GET /list/ HTTP/1.0\r\n")
            held.append(s)
        deadline = time.monotonic() + settle
        # Tessel serves each connection on a worker thread of its own: wait until all are taken.
        while server.name == "tessel" and server.threads() < count and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(1)
        return server.rss_mib()
    finally:
        for s in held:
            s.close()


def small_uploads(server, prog, prefix, count, size=4096):
    """Uploads count files of size bytes through the form, each under a name of its own, one
    after the other; the median milliseconds per upload (connection, body, reply). The uploads'
    files and shares are removed afterwards."""
    import http.client
    import statistics
    boundary = "----benchboundary7MA4YWxkTrZu0gW"
    data = os.urandom(size)
    times = []
    names = []
    for i in range(count):
        name = f"{prefix}-{i:05d}.bin"
        body = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"fm_objFile\"; filename=\"{name}\"\r\n"
                "Content-Type: application/octet-stream\r\n\r\n").encode() + data + (
                f"\r\n--{boundary}\r\nContent-Disposition: form-data; name=\"submit\"\r\n\r\nUpload\r\n"
                f"--{boundary}\r\nContent-Disposition: form-data; name=\"fm_Share\"\r\n\r\n1\r\n"
                f"--{boundary}--\r\n").encode()
        start = time.monotonic()
        connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        connection.request("POST", "/upload", body, {"Host": "localhost",
                           "Content-Type": f"multipart/form-data; boundary={boundary}"})
        status = connection.getresponse().status
        connection.close()
        times.append(time.monotonic() - start)
        if status != 302:
            log(f"  upload {name}: HTTP {status}")
            times[-1] = float("nan")
        names.append(name)
    db = sqlite3.connect(os.path.join(prog, "tessel.mdb"), timeout=30)
    with db:
        db.executemany("delete from fileshare where filename=?", [(n,) for n in names])
    db.close()
    for name in names:
        path = os.path.join(prog, "upload", name)
        if os.path.exists(path):
            os.remove(path)
    return statistics.median(times) * 1000


def raise_fd_limit():
    # 1500 held connections need as many descriptors in the client and in each server.
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--corpus", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--bench", required=True)
    parser.add_argument("-t", "--seconds", type=int, default=10)
    parser.add_argument("--screenshot", help="where the remote profile saves the 1000-entry page")
    parser.add_argument("--loads", type=int, default=7, help="page loads per server and profile")
    parser.add_argument("--only", default=",".join(GROUPS),
                        help="comma-separated groups to measure: " + ", ".join(GROUPS))
    args = parser.parse_args()
    groups = args.only.split(",")
    raise_fd_limit()
    os.makedirs(args.work, exist_ok=True)
    prog = os.path.join(args.work, "prog")

    env = prepare_tessel(args, prog)
    tessel = start_tessel(args, prog, env)
    nginx = start_nginx(args)
    rows = []  # (figure, tessel, nginx, better: "higher" or "lower", target)

    def best_of(measure, key):
        # The machine is shared: each server is measured ROUNDS times, in turns, and its best
        # round counts, so that a burst of someone else's work does not decide a ratio.
        best = {}
        for _ in range(ROUNDS):
            for s in (tessel, nginx):
                result = measure(s)
                if s.name not in best or result[key] > best[s.name][key]:
                    best[s.name] = result
        return best

    def row(figure, t, n, better, target=""):
        rows.append((figure, t, n, better, target))
        log(f"  {figure}: tessel {t} nginx {n}")

    try:
        time.sleep(1)
        row("start-up (ms)", tessel.startup * 1000, nginx.startup * 1000, "lower")
        row("resident memory idle (MiB)", tessel.rss_mib(), nginx.rss_mib(), "lower", "Tessel <= 15")
        seconds = args.seconds
        files = {"tessel": "/download.htm?file=files%5C", "nginx": "/files/"}
        if "small" in groups:
            log("4 KiB downloads")
            small = best_of(lambda s: wrk(s, files[s.name] + "4k.bin", seconds, 32), "rps")
            row("4 KiB download, new connection each (req/s)", small["tessel"]["rps"], small["nginx"]["rps"],
                "higher", ">= 0.8 x nginx")
            row("4 KiB download p99 latency (ms)", small["tessel"]["p99"], small["nginx"]["p99"], "lower")
            log("4 KiB downloads over IPv6 (::1)")
            small6 = best_of(lambda s: wrk(s, files[s.name] + "4k.bin", seconds, 32, host="[::1]"), "rps")
            ratio = small6["tessel"]["rps"] / small["tessel"]["rps"]
            row("4 KiB download over IPv6 ::1, new connection each (req/s)", small6["tessel"]["rps"],
                small6["nginx"]["rps"], "higher", f">= 0.9 x Tessel's IPv4 (now {ratio:.2f})")
            row("4 KiB download server CPU per request (ms)", small["tessel"]["cpu"], small["nginx"]["cpu"], "lower",
                "<= 1.5 x nginx")
            log("system calls of 4 KiB downloads (strace)")
            traced = {s.name: syscalls_per_request(s, files[s.name] + "4k.bin") for s in (tessel, nginx)}
            row("4 KiB download system calls per request, strace -c -f (Tessel's with 2 log lines)",
                traced["tessel"]["calls"], traced["nginx"]["calls"], "lower", "Tessel <= 16")
            row("4 KiB download futex calls per request, strace -c -f", traced["tessel"]["futex"],
                traced["nginx"]["futex"], "lower", "Tessel <= 3")
        if "mid" in groups:
            log("1 MiB downloads")
            mid = best_of(lambda s: wrk(s, files[s.name] + "1m.bin", seconds, 8), "mbs")
            row("1 MiB download (MB/s)", mid["tessel"]["mbs"], mid["nginx"]["mbs"], "higher", ">= 0.9 x nginx")
        if "big" in groups:
            log("big file with curl")
            # One stream is at the mercy of the scheduler: the median of three, taken in turns.
            speeds = {"tessel": [], "nginx": []}
            for _ in range(3):
                for s in (tessel, nginx):
                    elapsed, size, code = curl_get(s.url(files[s.name] + "big.bin"), "/dev/null")
                    speeds[s.name].append(size / elapsed / (1 << 20))
            big = {name: sorted(values)[1] for name, values in speeds.items()}
            row(f"{size >> 20} MiB file with curl (MB/s)", big["tessel"], big["nginx"], "higher", ">= 0.9 x nginx")
        if "pages" in groups:
            log("pages")
            pages = {"tessel": "/", "nginx": "/list/"}
            listing = best_of(lambda s: {"rps": ab(s, pages[s.name], seconds)}, "rps")
            row("share list of 1000 shares vs autoindex of 1000 (req/s)", listing["tessel"]["rps"],
                listing["nginx"]["rps"], "higher", ">= 0.5 x nginx")
            pages["tessel"] = "/download.htm?file=list"
            folder = best_of(lambda s: {"rps": ab(s, pages[s.name], seconds)}, "rps")
            row("folder page of 1000 entries vs autoindex (req/s)", folder["tessel"]["rps"], folder["nginx"]["rps"],
                "higher")
        if "zip" in groups:
            log("folder zip: first bytes, rate beside a plain file, memory")
            first = min(first_byte(tessel, "/download.htm?file=zip&zip=1")[0] for _ in range(ROUNDS))
            row("folder zip first byte, 200 MiB in 2000 files (s)", first, None, "lower", "<= 0.5")
            sparse = [first_byte(tessel, "/download.htm?file=zip-sparse&zip=1") for _ in range(ROUNDS)]
            row("folder zip first byte, 20 GB sparse in 40,000 files (s)", min(t for t, _ in sparse), None,
                "lower", "<= 1.0")
            row("folder zip length announced, 20 GB sparse in 40,000 files (GB)", sparse[0][1] / 1e9, None, "-")
            # The first download reads every file for its CRC-32; later ones (a resume, the next
            # friend) find the CRC-32s cached and send the files with sendfile.
            zip_rates = []
            file_rate = 0.0
            for _ in range(ROUNDS):
                took, size, code = curl_get(tessel.url("/download.htm?file=zip&zip=1"), "/dev/null")
                zip_rates.append(size / took / (1 << 20))
                took, size, code = curl_get(tessel.url(files["tessel"] + "200m.bin"), "/dev/null")
                file_rate = max(file_rate, size / took / (1 << 20))
            row("folder zip of 200 MiB in 2000 files, first download (MB/s)", zip_rates[0], None, "higher")
            row("folder zip of 200 MiB in 2000 files, again, CRC-32s cached (MB/s)", max(zip_rates[1:]), None,
                "higher")
            row("plain 200 MiB file, same run (MB/s)", file_rate, None, "higher")
            row("folder zip rate / plain file rate, first download", zip_rates[0] / file_rate, None, "higher",
                ">= 0.8")
            row("folder zip rate / plain file rate, again", max(zip_rates[1:]) / file_rate, None, "higher",
                ">= 0.8")
            before, during = held_zip_memory(tessel, "/download.htm?file=zip-many&zip=1")
            row("resident memory, one zip download of 100,000 entries under way (MiB)", during, before, "lower",
                "nginx column: Tessel before it")
            row("memory per entry of that download (bytes)", (during - before) * (1 << 20) / 100000, None,
                "lower")
            log("folder zip")
            archive = os.path.join(args.work, "tessel-zip.zip")
            reference = os.path.join(args.work, "zip-r.zip")
            elapsed = zip_seconds = float("inf")
            for _ in range(ROUNDS):
                took, size, code = curl_get(tessel.url("/download.htm?file=zip&zip=1"), archive)
                elapsed = min(elapsed, took)
                if os.path.exists(reference):
                    os.remove(reference)
                start = time.monotonic()
                subprocess.run(["zip", "-r", "-6", "-q", reference, "."], cwd=os.path.join(args.corpus, "zip"),
                               check=True)
                zip_seconds = min(zip_seconds, time.monotonic() - start)
            check = subprocess.run(["unzip", "-tq", archive], capture_output=True, text=True)
            zip_ok = check.returncode == 0 and code == "200"
            if not zip_ok:
                log(f"  unzip -t of Tessel's archive (HTTP {code}, {size} bytes): {check.stdout[-300:]}")
            row("folder zip of ~200 MiB in 2000 files vs zip -r -6 (s)", elapsed, zip_seconds, "lower",
                "<= 1.0 x zip" + ("" if zip_ok else "; ARCHIVE FAILED unzip -t"))
            row("folder zip size (MiB)", size / (1 << 20), os.path.getsize(reference) / (1 << 20), "lower")
            os.remove(archive)
            os.remove(reference)
        if "upload" in groups:
            log("upload")
            upload = os.path.join(args.corpus, "upload", "up.bin")
            out = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{time_total} %{http_code}", "-H", "Expect:",
                                  "-F", f"fm_objFile=@{upload}", "-F", "submit=Upload", "-F", "fm_Share=1",
                                  tessel.url("/upload")], capture_output=True, text=True).stdout.split()
            stored = os.path.join(prog, "upload", "up.bin")
            good = (len(out) == 2 and out[1] == "302" and os.path.exists(stored)
                    and os.path.getsize(stored) == os.path.getsize(upload))
            row("100 MiB upload through the form (s)", float(out[0]) if good else float("nan"), None, "lower",
                "" if good else "UPLOAD FAILED")
            if os.path.exists(stored):
                os.remove(stored)
            # The upload's cost for the store, without the bytes' transfer: small files with the
            # table as it is (1000 shares) and with 9000 more shares in it.
            log("small uploads with 1000 and 10,000 shares")
            row("4 KiB upload, 1000 shares in the table (ms per upload, median of 200)",
                small_uploads(tessel, prog, "small", 200), None, "lower")
            db = sqlite3.connect(os.path.join(prog, "tessel.mdb"), timeout=30)
            with db:
                db.executemany("insert into fileshare(filename, filepath, filedesc, sharemode, sharetime, uploader)"
                               " values(?, ?, '', 0, '2024-06-07 12:00:00', '')",
                               [(f"extra-{i:05d}.txt", os.path.join(args.corpus, "files", "4k.bin"))
                                for i in range(9000)])
            # Folded into the database file now, so that no upload pays for the bench's own write.
            db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
            db.close()
            row("4 KiB upload, 10,000 shares in the table (ms per upload, median of 200)",
                small_uploads(tessel, prog, "large", 200), None, "lower")
            db = sqlite3.connect(os.path.join(prog, "tessel.mdb"), timeout=30)
            with db:
                db.execute("delete from fileshare where filename like 'extra-%'")
            db.close()
        if "remote" in groups:
            log("pages over a remote link")
            import remote
            remote.measure(TESSEL_PORT, NGINX_PORT, args.bench, args.screenshot, args.loads, row, log)
        if "https" in groups:
            log("https: 4 KiB, new TLS connection each")
            secure = best_of(lambda s: wrk(s, files[s.name] + "4k.bin", seconds, 32, True), "rps")
            row("4 KiB over HTTPS, new TLS 1.3 connection each, no resumption (req/s)",
                secure["tessel"]["rps"], secure["nginx"]["rps"], "higher", ">= 0.8 x nginx")
            row("4 KiB over HTTPS server CPU per request (ms)", secure["tessel"]["cpu"],
                secure["nginx"]["cpu"], "lower")
            log("https: big file with curl")
            speeds = {"tessel": [], "nginx": []}
            for _ in range(3):
                for s in (tessel, nginx):
                    elapsed, size, code = curl_get(s.url(files[s.name] + "big.bin", True), "/dev/null")
                    speeds[s.name].append(size / elapsed / (1 << 20))
            big = {name: sorted(values)[1] for name, values in speeds.items()}
            row(f"{size >> 20} MiB file over HTTPS with curl (MB/s)", big["tessel"], big["nginx"], "higher",
                ">= 0.8 x nginx")
            row("resident memory with TLS after the load (MiB)", tessel.rss_mib(), nginx.rss_mib(), "lower")
        if "held" in groups:
            row("resident memory after the load (MiB)", tessel.rss_mib(), nginx.rss_mib(), "lower")
            log("1500 held connections")
            row("resident memory with 1500 held connections (MiB)", hold_connections(tessel, 1500),
                hold_connections(nginx, 1500), "lower", "Tessel <= 150")
    finally:
        tessel.stop()
        nginx.stop()

    def cell(value):
        if value is None:
            return "-"
        if value != value:
            return "failed"
        return f"{value:.3f}" if value < 10 else f"{value:.0f}" if value >= 1000 else f"{value:.1f}"

    print("| figure | Tessel | nginx | Tessel/nginx | better | target |")
    print("|---|---:|---:|---:|---|---|")
    for figure, t, n, better, target in rows:
        ratio = "-" if t is None or n is None or n == 0 or t != t else f"{t / n:.2f}"
        print(f"| {figure} | {cell(t)} | {cell(n)} | {ratio} | {better} | {target} |")


if __name__ == "__main__":
    main()
