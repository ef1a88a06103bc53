#!/usr/bin/env python3
"""The soak of bench/soak, inside a network namespace with loopback alone.

Sends COUNT mixed requests from several client processes to one Tessel headless: pages, whole
downloads, ranges, icons, web images, folder zips, uploads and removals of them, garbage, and
clients that vanish at every stage. Then checks that the process is alive, that its descriptors
and threads are back to idle, that its memory stayed flat, that the database passes
PRAGMA integrity_check, and that no temporary or partial file is left.
"""
import argparse
import multiprocessing
import os
import random
import socket
import sqlite3
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402

PORT = bench.TESSEL_PORT
BOUNDARY = "----soakBoundary7MA4YWxkTrZu0gW"

# Kind of request and its weight in the mix.
MIX = [
    ("share_list", 4), ("folder_page", 6), ("download", 30), ("download_1m", 2), ("range", 14),
    ("icon", 3), ("image", 3), ("zip", 1), ("upload", 3), ("remove", 3), ("not_found", 3),
    ("garbage", 6), ("vanish", 10), ("vanish_download", 3), ("vanish_upload", 1), ("head_only", 2),
]


def connect():
    s = socket.create_connection(("127.0.0.1", PORT), timeout=30)
    return s


def exchange(data, read_limit=None, half_close=False):
    """Sends data on a new connection and reads the reply to its end (or read_limit bytes).
    half_close ends the sending side, for data whose head never ends."""
    s = connect()
    try:
        s.sendall(data)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        chunks = []
        got = 0
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
            got += len(chunk)
            if read_limit is not None and got >= read_limit:
                break
        return b"".join(chunks)
    finally:
        s.close()


def reset_close(s):
    # A client that vanishes: the connection is reset, not closed in order.
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()


def get(path, extra=""):
    return f"GET {path} HTTP/1.0\r\n{extra}\r\n".encode()


def form_body(name, data, digit="1"):
    head = (f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"fm_objFile\"; filename=\"{name}\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n").encode()
    tail = (f"\r\n--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"submit\"\r\n\r\nUpload\r\n"
            f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"fm_Share\"\r\n\r\n{digit}\r\n"
            f"--{BOUNDARY}--\r\n").encode()
    return head + data + tail


def upload_request(body):
    return (f"POST /upload HTTP/1.0\r\nContent-Type: multipart/form-data; boundary={BOUNDARY}\r\n"
            f"Content-Length: {len(body)}\r\n\r\n").encode() + body


def status(reply):
    return reply.split(b"\r\n", 1)[0].decode("latin-1")


class Client:
    def __init__(self, index, files):
        self.index = index
        self.rng = random.Random(1000 + index)
        self.files = files
        self.uploaded = {}  # name -> size, of uploads answered with the redirect
        self.pending_removal = []
        self.counts = {}
        self.unexpected = []
        self.serial = 0

    def expect(self, kind, condition, detail):
        if not condition and len(self.unexpected) < 20:
            self.unexpected.append(f"{kind}: {detail}")

    def run_one(self, kind):
        rng = self.rng
        if kind == "share_list":
            reply = exchange(get("/"))
            self.expect(kind, status(reply) == "HTTP/1.0 200 OK" and b"</html>" in reply, status(reply))
        elif kind == "folder_page":
            reply = exchange(get("/download.htm?file=small" + rng.choice(["", "%5Csub"])))
            self.expect(kind, status(reply) == "HTTP/1.0 200 OK" and b"</html>" in reply, status(reply))
        elif kind == "download":
            reply = exchange(get("/download.htm?file=files%5C4k.bin"))
            self.expect(kind, reply.endswith(self.files["4k"]) and status(reply) == "HTTP/1.0 200 OK", status(reply))
        elif kind == "download_1m":
            reply = exchange(get("/download.htm?file=files%5C1m.bin"))
            self.expect(kind, reply.endswith(self.files["1m"]), status(reply))
        elif kind == "range":
            data = self.files["1m"]
            choice = rng.randrange(4)
            if choice == 0:
                a = rng.randrange(len(data))
                b = min(len(data) - 1, a + rng.randrange(5000))
                reply, want = exchange(get("/download.htm?file=files%5C1m.bin", f"Range: bytes={a}-{b}\r\n")), data[a:b + 1]
            elif choice == 1:
                n = rng.randrange(1, 5000)
                reply, want = exchange(get("/download.htm?file=files%5C1m.bin", f"Range: bytes=-{n}\r\n")), data[-n:]
            elif choice == 2:
                a = len(data) - rng.randrange(1, 3000)
                reply, want = exchange(get("/download.htm?file=files%5C1m.bin", f"Range: bytes={a}-\r\n")), data[a:]
            else:
                reply, want = exchange(get("/download.htm?file=files%5C4k.bin", "Range: bytes=5000-100\r\n")), b""
            answer = "HTTP/1.0 416" if choice == 3 else "HTTP/1.0 20"  # past the end: nothing to send
            self.expect(kind, reply.endswith(want) and status(reply).startswith(answer), status(reply))
        elif kind == "icon":
            reply = exchange(get(rng.choice(["/download.htm?file=small&icon=1", "/download.htm?file=/&icon=1",
                                             "/download.htm?file=files%5C4k.bin&icon=1"])))
            self.expect(kind, b"GIF8" in reply, status(reply))
        elif kind == "image":
            reply = exchange(get(rng.choice(["/images/home.gif", "/favicon.ico", "/images/zip.gif"])))
            self.expect(kind, status(reply) == "HTTP/1.0 200 OK", status(reply))
        elif kind == "zip":
            reply = exchange(get("/download.htm?file=small&zip=1"))
            self.expect(kind, status(reply) == "HTTP/1.0 200 OK" and b"PK\x05\x06" in reply[-200:], status(reply))
        elif kind == "upload":
            self.serial += 1
            name = f"soak-{self.index}-{self.serial}.bin"
            data = rng.randbytes(rng.randrange(0, 6000))
            reply = exchange(upload_request(form_body(name, data)))
            if status(reply).startswith("HTTP/1.1 302"):
                self.uploaded[name] = len(data)
                self.pending_removal.append(name)
            else:
                self.expect(kind, False, status(reply))
        elif kind == "remove":
            name = self.pending_removal.pop(0) if self.pending_removal else "no-such-share"
            reply = exchange(get(f"/remove.htm?file={name}"))
            self.expect(kind, status(reply).startswith("HTTP/1.1 302"), status(reply))
        elif kind == "not_found":
            reply = exchange(get(rng.choice(["/download.htm?file=nosuch", "/download.htm?file=files%5C..%5C..%5Cetc",
                                             "/images/../../tessel.mdb", "/download.htm?file=small%5Cnone.txt"])))
            self.expect(kind, status(reply).startswith("HTTP/1.0 404"), status(reply))
        elif kind == "garbage":
            choice = rng.randrange(6)
            if choice == 0:
                data = rng.randbytes(rng.randrange(1, 3000))
            elif choice == 1:
                data = b"GET /" + b"a" * rng.randrange(4000, 20000) + b" HTTP/1.0\r\n\r\n"
            elif choice == 2:
                data = b"GET / HTTP/1.0\r\n" + b"X: y\r\n" * 101 + b"\r\n"
            elif choice == 3:
                data = b"\r\n"
            elif choice == 4:
                body = b"--" + BOUNDARY.encode() + b"\r\nnonsense\r\n\r\n" + rng.randbytes(500)
                data = upload_request(body)
            else:
                data = get("/download.htm?file=files%5C4k.bin", "Range: bytes=99999999999999999999999-\r\n"
                           "Authorization: Basic !!!!\r\n")
            try:
                exchange(data, half_close=True)
            except OSError:
                pass  # the server may reset a connection whose data it did not read
        elif kind == "vanish":
            s = connect()
            choice = rng.randrange(3)
            if choice == 1:
                s.sendall(b"GET /download.htm?file=files%5C1m")
            elif choice == 2:
                s.sendall(get("/"))
            reset_close(s) if rng.randrange(2) else s.close()
        elif kind == "vanish_download":
            s = connect()
            s.sendall(get(rng.choice(["/download.htm?file=files%5C1m.bin", "/download.htm?file=small&zip=1"])))
            s.recv(rng.randrange(1, 20000))
            reset_close(s)
        elif kind == "vanish_upload":
            self.serial += 1
            body = form_body(f"vanish-{self.index}-{self.serial}.bin", rng.randbytes(200000))
            request = upload_request(body)
            s = connect()
            s.sendall(request[:rng.randrange(50, len(request) - 10)])
            reset_close(s) if rng.randrange(2) else s.close()
        elif kind == "head_only":
            reply = exchange(b"HEAD / HTTP/1.0\r\n\r\n")
            self.expect(kind, status(reply).startswith("HTTP/1.1 302"), status(reply))

    def run(self, count, progress):
        kinds = [k for k, _ in MIX]
        weights = [w for _, w in MIX]
        for i in range(count):
            kind = self.rng.choices(kinds, weights)[0]
            try:
                self.run_one(kind)
            except OSError as error:
                if kind not in ("garbage", "vanish", "vanish_download", "vanish_upload"):
                    self.expect(kind, False, f"{type(error).__name__}: {error}")
            self.counts[kind] = self.counts.get(kind, 0) + 1
            if i % 200 == 199:
                with progress.get_lock():
                    progress.value += 200
        # What is still shared is removed, so the share list ends as it began.
        for name in self.pending_removal:
            exchange(get(f"/remove.htm?file={name}"))
        return {"counts": self.counts, "uploaded": self.uploaded, "unexpected": self.unexpected}


_progress = None


def init_worker(progress):
    global _progress
    _progress = progress


def client_entry(args):
    index, count, files = args
    return Client(index, files).run(count, _progress)


def fd_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--corpus", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--bench", required=True)
    parser.add_argument("-n", "--count", type=int, default=1000000)
    parser.add_argument("-c", "--clients", type=int, default=8)
    args = parser.parse_args()
    bench.raise_fd_limit()
    os.makedirs(args.work, exist_ok=True)
    prog = os.path.join(args.work, "prog")
    env = bench.prepare_tessel(args, prog)

    # A small folder for pages and zips, and a private temporary folder to find leftovers in.
    small = os.path.join(args.work, "small")
    rng = random.Random(7)
    for name in ["a.txt", "b.bin", "sub/c.txt", "sub/deeper/d.bin", ".hidden"]:
        path = os.path.join(small, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(rng.randbytes(rng.randrange(100, 20000)))
    tmp = os.path.join(args.work, "tmp")
    os.makedirs(tmp, exist_ok=True)
    env["TMPDIR"] = tmp
    db = sqlite3.connect(os.path.join(prog, "tessel.mdb"))
    with db:
        db.execute("insert into fileshare(filename, filepath, filedesc, sharemode, sharetime, uploader)"
                   " values('small', ?, '', 0, '2024-06-07 12:00:01', '')", (small,))
    db.close()
    upload_folder = os.path.join(prog, "upload")

    tessel = bench.start_tessel(args, prog, env)
    pid = tessel.process.pid
    files = {"4k": open(os.path.join(args.corpus, "files", "4k.bin"), "rb").read(),
             "1m": open(os.path.join(args.corpus, "files", "1m.bin"), "rb").read()}
    time.sleep(1)
    idle = {"fds": fd_count(pid), "threads": tessel.threads(), "rss": tessel.rss_mib()}
    bench.log(f"idle: {idle}")

    progress = multiprocessing.Value("l", 0)
    per_client = args.count // args.clients
    started = time.monotonic()
    samples = []  # (requests done, RSS MiB)
    with multiprocessing.Pool(args.clients, initializer=init_worker, initargs=(progress,)) as pool:
        pending = pool.map_async(client_entry, [(i, per_client, files) for i in range(args.clients)])
        while not pending.ready():
            pending.wait(5)
            samples.append((progress.value, tessel.rss_mib()))
            bench.log(f"  {progress.value} requests, {tessel.rss_mib():.1f} MiB, {tessel.threads()} threads")
        results = pending.get()
    elapsed = time.monotonic() - started
    total = per_client * args.clients

    # Connections of vanished clients end at the server's next read or send; give them time.
    settle = time.monotonic()
    while time.monotonic() - settle < 70 and fd_count(pid) > idle["fds"]:
        time.sleep(1)
    after = {"fds": fd_count(pid), "threads": tessel.threads(), "rss": tessel.rss_mib()}
    alive = tessel.process.poll() is None
    bench.log(f"after: {after}")

    counts = {}
    uploaded = {}
    unexpected = []
    for result in results:
        for kind, n in result["counts"].items():
            counts[kind] = counts.get(kind, 0) + n
        uploaded.update(result["uploaded"])
        unexpected += result["unexpected"]

    # Every file in the upload folder is an upload that was answered, whole; nothing else.
    stored = {}
    for name in os.listdir(upload_folder):
        stored[name] = os.path.getsize(os.path.join(upload_folder, name))
    partial = sorted(set(stored) - set(uploaded))
    missing = sorted(n for n in uploaded if stored.get(n) != uploaded[n])
    leftovers = os.listdir(tmp)

    tessel.stop()
    db = sqlite3.connect(os.path.join(prog, "tessel.mdb"))
    integrity = db.execute("PRAGMA integrity_check").fetchone()[0]
    shares = db.execute("select count(*) from fileshare where uploader <> ''").fetchone()[0]
    db.close()

    # Memory is flat when the second half of the run adds little to what the first half reached.
    half = [rss for done, rss in samples if done >= total // 2] or [after["rss"]]
    first = [rss for done, rss in samples if done < total // 2] or [idle["rss"]]
    growth = max(half) - max(first)
    checks = [
        ("process alive after the run", alive),
        (f"descriptors back to idle ({idle['fds']} -> {after['fds']})", after["fds"] <= idle["fds"]),
        (f"threads bounded by the clients ({idle['threads']} -> {after['threads']})",
         after["threads"] <= idle["threads"] + 10 * (args.clients // 10 + 2)),
        (f"memory flat (peak {max(first):.1f} MiB in the first half, {max(half):.1f} MiB in the second)",
         growth < 5),
        (f"database integrity_check: {integrity}", integrity == "ok"),
        (f"no temporary file left ({len(leftovers)})", not leftovers),
        (f"no partial upload left ({len(partial)}), every upload whole ({len(missing)} not)", not partial and not missing),
        (f"uploaded shares all removed ({shares} left)", shares == 0),
        (f"replies as expected ({len(unexpected)} not)", not unexpected),
    ]
    print(f"| soak | {total} requests from {args.clients} clients in {elapsed:.0f} s "
          f"({total / elapsed:.0f} req/s) |")
    print("|---|---|")
    print("| mix | " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())) + " |")
    print(f"| resident memory | idle {idle['rss']:.1f} MiB, end {after['rss']:.1f} MiB |")
    for text, ok in checks:
        print(f"| {text} | {'ok' if ok else 'FAILED'} |")
    for line in unexpected[:20]:
        bench.log(f"  unexpected: {line}")
    if partial[:5] or missing[:5]:
        bench.log(f"  partial: {partial[:5]} missing: {missing[:5]}")
    return 0 if all(ok for _, ok in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
