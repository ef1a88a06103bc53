"""The remote-link profile of bench/run: pages loaded in Chromium over a link shaped like a friend's.

The servers stay in bench.py's namespace (loopback alone); a veth pair on addresses of the
benchmark range joins it to a second namespace holding the browser, and nothing else. tc's token
bucket (tbf) shapes what the servers send to the link's rate; this kernel has no netem, so a relay
in the browser's namespace (relay.py) adds the round trip. Chromium loads each page with a fresh
profile (page-load.mjs) through the relay.
"""
import json
import os
import signal
import statistics
import subprocess
import time

SERVER_ADDRESS = "198.18.0.1"
CLIENT_ADDRESS = "198.18.0.2"
SERVER_LINK = "bench-srv"
CLIENT_LINK = "bench-cli"

# name, the servers' uplink (tc rate), round trip (ms), the goal for Tessel's pages (ms)
PROFILES = [
    ("home link", "10mbit", 20.0, 1000),
    ("LAN", "1gbit", 1.0, 300),
]


def sh(*command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, text=True, **kwargs).stdout


class Link:
    """The browser's namespace and the shaped link to it; the relay is started per profile."""

    def __init__(self, bench_dir):
        self.bench_dir = bench_dir
        self.holder = subprocess.Popen(["unshare", "--net", "sleep", "infinity"])
        time.sleep(0.2)
        self.netns = f"/proc/{self.holder.pid}/ns/net"
        self.relay = None
        sh("ip", "link", "add", SERVER_LINK, "type", "veth", "peer", "name", CLIENT_LINK)
        sh("ip", "link", "set", CLIENT_LINK, "netns", str(self.holder.pid))
        sh("ip", "addr", "add", f"{SERVER_ADDRESS}/24", "dev", SERVER_LINK)
        sh("ip", "link", "set", SERVER_LINK, "up")
        self.inside("ip", "link", "set", "lo", "up")
        self.inside("ip", "addr", "add", f"{CLIENT_ADDRESS}/24", "dev", CLIENT_LINK)
        self.inside("ip", "link", "set", CLIENT_LINK, "up")

    def inside(self, *command):
        return sh("nsenter", f"--net={self.netns}", *command)

    def shape(self, rate, rtt_ms, routes):
        """The servers' uplink at rate, and a relay adding rtt_ms for each (local port, server
        port) of routes."""
        # A bucket of a few packets, as a modem's; queued bytes wait at most 200 ms.
        sh("tc", "qdisc", "replace", "dev", SERVER_LINK, "root", "tbf", "rate", rate, "burst", "16kb",
           "latency", "200ms")
        self.stop_relay()
        command = ["nsenter", f"--net={self.netns}", "python3", os.path.join(self.bench_dir, "relay.py"),
                   "--rtt-ms", str(rtt_ms)] + [f"{local}={SERVER_ADDRESS}:{port}" for local, port in routes]
        self.relay = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        if self.relay.stdout.readline().strip() != "relaying":
            raise SystemExit("the relay did not start")

    def load(self, url, runs, screenshot=None):
        """The loads of url as page-load.mjs reports them."""
        command = ["nsenter", f"--net={self.netns}", "node", os.path.join(self.bench_dir, "page-load.mjs"),
                   url, str(runs)] + ([screenshot] if screenshot else [])
        done = subprocess.run(command, capture_output=True, text=True, timeout=600)
        if done.returncode != 0:
            raise SystemExit(f"page-load.mjs {url} failed:\n{done.stderr[-2000:]}")
        out = done.stdout
        return [json.loads(line) for line in out.splitlines() if line.startswith("{")]

    def stop_relay(self):
        if self.relay and self.relay.poll() is None:
            self.relay.send_signal(signal.SIGINT)
            try:
                self.relay.wait(5)
            except subprocess.TimeoutExpired:
                self.relay.kill()
                self.relay.wait()
        self.relay = None

    def close(self):
        self.stop_relay()
        subprocess.run(["ip", "link", "del", SERVER_LINK], capture_output=True)
        self.holder.kill()
        self.holder.wait()


def median_load(link, url, runs, screenshot=None):
    loads = [r for r in link.load(url, runs, screenshot) if "drawn_ms" in r]
    # The first load of a run also starts the browser's own machinery: it is left out.
    kept = loads[1:] if len(loads) > 2 else loads
    pick = lambda key: statistics.median(r[key] for r in kept)
    return {"drawn": pick("drawn_ms"), "requests": pick("requests"), "kib": pick("bytes") / 1024,
            "settled": pick("settled_requests"), "settled_kib": pick("settled_bytes") / 1024,
            "images": kept[-1]["images"]}


def measure(tessel_port, nginx_port, bench_dir, screenshot, runs, row, log):
    """Adds the rows of the remote-link profile through row(figure, tessel, nginx, better,
    target)."""
    link = Link(bench_dir)
    try:
        local = {"tessel": 28080, "nginx": 28081}
        pages = [
            ("folder page of 1000 entries", "/download.htm?file=list", "/list/"),
            ("share list of 1000 shares", "/", "/list/"),
        ]
        for name, rate, rtt, goal in PROFILES:
            link.shape(rate, rtt, [(local["tessel"], tessel_port), (local["nginx"], nginx_port)])
            label = f"{name} ({rate.replace('mbit', ' Mbit/s').replace('gbit', ' Gbit/s')}, {rtt:g} ms)"
            log(f"{label}")
            for page, tessel_path, nginx_path in pages:
                shot = screenshot if name == PROFILES[0][0] and page == pages[0][0] else None
                t = median_load(link, f"http://127.0.0.1:{local['tessel']}{tessel_path}", runs, shot)
                n = median_load(link, f"http://127.0.0.1:{local['nginx']}{nginx_path}", runs)
                row(f"{label}: {page} vs autoindex, every icon on screen drawn (ms)", t["drawn"],
                    n["drawn"], "lower", f"Tessel <= {goal}")
                row(f"{label}: {page}, requests until then", t["requests"], n["requests"], "lower")
                row(f"{label}: {page}, KiB until then", t["kib"], n["kib"], "lower")
                row(f"{label}: {page}, requests once settled ({t['images']} images)", t["settled"],
                    n["settled"], "lower")
    finally:
        link.close()
