"""Pipelined fetch_pri through each client library against a raw-socket loop in the same
language, on the same connections, side by side in one run (bench/README.md, "Client
libraries"). Starts its own daemon (a lone node on a free loopback port, in the foreground, on a
fresh database of the project's MariaDB) and gives the Node half (clients_bench.mjs) the same one.

Usage: python3 bench/clients_bench.py --daemon build-bench/norvel [--seconds 3] [--rounds 3]
                                      [--depth 100] [--connections 1,4]"""
from __future__ import annotations

import argparse
import json
import os
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "clients", "python"))
sys.path.insert(0, os.path.join(ROOT, "clients", "conformance"))

import norvel  # noqa: E402
import norvel_site  # noqa: E402

MEMBERS = 200
FEED = 10  # ids a fetch returns


def body(user: int) -> bytes:
    text = json.dumps({"act": "special", "op": "fetch_pri",
                       "params": {"user_id": user, "special_id": -1, "count": FEED, "type": 1}},
                      separators=(",", ":")).encode()
    return b"%010d" % len(text) + text


def raw_worker(server: str, depth: int, stop: float, counts: list[int], slot: int) -> None:
    """The loop an application would write by hand: frame, send, read, parse, take the ids."""
    host, port = server.rsplit(":", 1)
    sock = socket.create_connection((host, int(port)))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    user = slot
    done = 0
    buf = b""
    while time.monotonic() < stop:
        users = [(user + i) % MEMBERS + 1 for i in range(depth)]
        user += depth
        sock.sendall(b"".join(body(u) for u in users))
        got = 0
        while got < depth:
            while len(buf) < 10 or len(buf) < 10 + int(buf[:10]):
                buf += sock.recv(262144)
            length = int(buf[:10])
            reply = json.loads(buf[10:10 + length])
            ids = reply["data"]["specials"]
            assert len(ids) == FEED
            buf = buf[10 + length:]
            got += 1
        done += depth
    counts[slot] = done
    sock.close()


def library_worker(client: norvel.Client, depth: int, stop: float, counts: list[int],
                   slot: int) -> None:
    user = slot
    done = 0
    while time.monotonic() < stop:
        pipe = client.pipeline()
        for i in range(depth):
            pipe.special_fetch_pri((user + i) % MEMBERS + 1, -1, FEED, 1)
        user += depth
        for ids in pipe.execute():
            assert len(ids) == FEED
        done += depth
    counts[slot] = done


def measure(kind: str, server: str, connections: int, depth: int, seconds: float) -> float:
    counts = [0] * connections
    stop = time.monotonic() + seconds
    client = norvel.Client([server], pool_size=connections, routing=False)
    if kind == "raw":
        threads = [threading.Thread(target=raw_worker, args=(server, depth, stop, counts, i))
                   for i in range(connections)]
    else:
        threads = [threading.Thread(target=library_worker, args=(client, depth, stop, counts, i))
                   for i in range(connections)]
    started = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed = time.monotonic() - started
    client.close()
    return sum(counts) / elapsed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--depth", type=int, default=100)
    parser.add_argument("--connections", default="1,4")
    parser.add_argument("--skip-node", action="store_true")
    args = parser.parse_args()
    site = norvel_site.Site(args.daemon, "single")
    try:
        server = site.servers[0]
        loader = norvel.Client([server], routing=False)
        for member in range(1, MEMBERS + 1):
            loader.special_add(member, [(member * 100 + i, 1) for i in range(FEED)])
        deadline = time.monotonic() + 10
        while len(loader.special_fetch_pri(MEMBERS, -1, FEED, 1)) < FEED:
            if time.monotonic() > deadline:
                raise RuntimeError("the feeds were not filled")
            time.sleep(0.05)
        loader.close()
        print("load: %s; pipelines of %d fetch_pri (%d ids a reply), %d rounds of %.0f s, best"
              % (os.getloadavg(), args.depth, FEED, args.rounds, args.seconds))
        for connections in (int(c) for c in args.connections.split(",")):
            best = {"raw": 0.0, "library": 0.0}
            for _ in range(args.rounds):
                for kind in ("raw", "library"):
                    best[kind] = max(best[kind], measure(kind, server, connections, args.depth,
                                                         args.seconds))
            print("python  connections %d: raw %8.0f/s  library %8.0f/s  ratio %.2f"
                  % (connections, best["raw"], best["library"], best["library"] / best["raw"]))
        sys.stdout.flush()
        if not args.skip_node:
            subprocess.run(["node", os.path.join(HERE, "clients_bench.mjs"), server,
                            str(args.seconds), str(args.rounds), str(args.depth), args.connections,
                            str(MEMBERS), str(FEED)], check=True)
    finally:
        site.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
