#!/usr/bin/env python3
"""A TCP relay that holds each direction back by half a round trip: the latency of a remote link,
on a kernel without netem.

    relay.py --rtt-ms 20 LISTEN_PORT=HOST:PORT [...]

Listens on 127.0.0.1 at each LISTEN_PORT and relays every connection to HOST:PORT. Bytes from the
client reach the server half a round trip after they were sent, and the server's bytes reach the
client half a round trip later. The client's connect returns at once (loopback), so its first
bytes are held back one more round trip: the handshake it would have waited for. A connection
thus costs what it costs on a real link: two round trips to the first byte of the reply.
Bandwidth is not this relay's business (tc shapes the link behind it).
"""
import argparse
import asyncio
import socket
import sys


async def pump(reader, writer, delay, not_before):
    """Copies reader to writer, each chunk delay seconds after it arrived (and not before
    not_before), in order; passes the end on the same way."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                try:
                    if writer.can_write_eof():
                        writer.write_eof()
                except OSError:
                    pass
                return
            writer.write(data)
            try:
                await writer.drain()
            except OSError:
                return

    delivering = asyncio.ensure_future(deliver())
    last = 0.0
    try:
        while True:
            try:
                data = await reader.read(1 << 16)
            except OSError:
                data = b""
            due = max(loop.time() + delay, not_before + delay, last)
            last = due
            queue.put_nowait((due, data or None))
            if not data:
                break
        await delivering
    finally:
        delivering.cancel()


async def serve(client_reader, client_writer, target, rtt):
    loop = asyncio.get_running_loop()
    accepted = loop.time()
    try:
        server_reader, server_writer = await asyncio.open_connection(*target)
    except OSError:
        client_writer.close()
        return
    for writer in (client_writer, server_writer):
        sock = writer.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        await asyncio.gather(pump(client_reader, server_writer, rtt / 2, accepted + rtt),
                             pump(server_reader, client_writer, rtt / 2, 0.0))
    finally:
        for writer in (client_writer, server_writer):
            writer.close()


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rtt-ms", type=float, required=True)
    parser.add_argument("routes", nargs="+", help="LISTEN_PORT=HOST:PORT")
    args = parser.parse_args()
    rtt = args.rtt_ms / 1000
    servers = []
    for route in args.routes:
        port, target = route.split("=")
        host, target_port = target.rsplit(":", 1)
        servers.append(await asyncio.start_server(
            lambda r, w, t=(host, int(target_port)): serve(r, w, t, rtt), "127.0.0.1", int(port),
            backlog=1024))
    print("relaying", flush=True)
    await asyncio.gather(*(s.serve_forever() for s in servers))


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
