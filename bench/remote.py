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

# name, the servers' uplink (tc rate), round trip (ms), the goal for Tessel's pages (ms), and
# the goal for the folder page over https (None: not loaded over https on that profile)
PROFILES = [
    ("home link", "10mbit", 20.0, 1000, 1000),
    ("LAN", "1gbit", 1.0, 300, None),
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

    def load(self, url, runs, screenshot=None, spki=""):
        """The loads of url as page-load.mjs reports them; spki names the certificate Chromium
        trusts for https (base64 SHA-256 of its public key)."""
        command = ["nsenter", f"--net={self.netns}", "node", os.path.join(self.bench_dir, "page-load.mjs"),
                   url, str(runs)] + ([screenshot] if screenshot else [])
        done = subprocess.run(command, capture_output=True, text=True, timeout=600,
                              env=dict(os.environ, BENCH_SPKI=spki))
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


def median_load(link, url, runs, screenshot=None, spki=""):
    results = link.load(url, runs, screenshot, spki)
    loads = [r for r in results if "drawn_ms" in r]
    shots = [r for r in results if "images_not_drawn" in r]
    # The first load of a run also starts the browser's own machinery: it is left out.
    kept = loads[1:] if len(loads) > 2 else loads
    pick = lambda key: statistics.median(r[key] for r in kept)
    return {"drawn": pick("drawn_ms"), "requests": pick("requests"), "kib": pick("bytes") / 1024,
            "settled": pick("settled_requests"), "settled_kib": pick("settled_bytes") / 1024,
            "images": kept[-1]["images"], "not_drawn": shots[0]["images_not_drawn"] if shots else None}


def measure(tessel_port, nginx_port, nginx_tls_port, spki, certificate, bench_dir, screenshot, runs, row,
            log):
    """Adds the rows of the remote-link profile through row(figure, tessel, nginx, better,
    target). Tessel answers https on its one port, nginx on nginx_tls_port; both with the
    certificate whose key spki names. certificate(source) makes Tessel serve that one ("own")
    or its self-signed one: the browser's address is outside the LAN, and while Tessel's
    certificate is trusted it sends such visitors from http to https, as it would a friend."""
    link = Link(bench_dir)
    try:
        local = {"tessel": 28080, "nginx": 28081, "nginx-tls": 28443}
        pages = [
            ("folder page of 1000 entries", "/download.htm?file=list", "/list/"),
            ("share list of 1000 shares", "/", "/list/"),
        ]
        for name, rate, rtt, goal, tls_goal in PROFILES:
            link.shape(rate, rtt, [(local["tessel"], tessel_port), (local["nginx"], nginx_port),
                                   (local["nginx-tls"], nginx_tls_port)])
            label = f"{name} ({rate.replace('mbit', ' Mbit/s').replace('gbit', ' Gbit/s')}, {rtt:g} ms)"
            log(f"{label}")
            certificate("self-signed")
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
                if t["not_drawn"] is not None:
                    row(f"{label}: {page}, icons not drawn after scrolling to its end", t["not_drawn"], None,
                        "lower", "0")
            if tls_goal is not None:
                # The folder page over https: every connection a TLS handshake over the link.
                page, tessel_path, nginx_path = pages[0]
                certificate("own")
                t = median_load(link, f"https://127.0.0.1:{local['tessel']}{tessel_path}", runs, spki=spki)
                n = median_load(link, f"https://127.0.0.1:{local['nginx-tls']}{nginx_path}", runs, spki=spki)
                row(f"{label}, https: {page} vs autoindex, every icon on screen drawn (ms)", t["drawn"],
                    n["drawn"], "lower", f"Tessel <= {tls_goal}")
                row(f"{label}, https: {page}, requests until then", t["requests"], n["requests"], "lower")
    finally:
        link.close()
