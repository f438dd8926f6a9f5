#!/usr/bin/env python3
"""The mutation flood beside a soak: a few connections each pipeline batches of large special
additions of one member who follows thousands of others (so every addition costs its worker
thousands of feed merges), sending a whole batch before reading any of its replies. Members and
ids are outside the soak's, so its model is untouched. Checks: every request is answered
{"code":200,"data":null}, and each flooder's last addition is visible in the end. Prints one JSON
line of figures; exit status 0 when every check held."""
import argparse
import asyncio
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from norvel_wire import Closed, Connection, frame, request  # noqa: E402

MEMBER_BASE = 9000000
FOLLOWED_BASE = 7000000
SPECIAL_BASE = 900000000
DISPATCHED = b'{"code":200,"data":null}\n'


async def flooder(index, args, figures):
    member = MEMBER_BASE + index
    conn = await Connection.open()
    followed = list(range(FOLLOWED_BASE, FOLLOWED_BASE + args.followed))
    await conn.call(request("follow", "add", user_id=member, friends=followed))
    same = [{"spid": SPECIAL_BASE + index * 100000 + i, "type": 1} for i in range(1000)]
    body = frame(request("special", "add", user_id=member, specials=same))
    deadline = time.monotonic() + args.seconds
    last = None
    batch_no = 0
    while time.monotonic() < deadline:
        batch_no += 1
        last = SPECIAL_BASE + index * 100000 + 50000 + batch_no
        marker = frame(request("special", "add", user_id=member,
                               specials=[{"spid": last, "type": 1}]))
        try:
            await conn.send(body * (args.batch - 1) + marker)
            for _ in range(args.batch):
                reply = await conn.read_frame()
                if reply != DISPATCHED:
                    figures["failures"].append("flooder %d: reply %r" % (index, reply[:80]))
                figures["answered"] += 1
        except (Closed, ConnectionError, asyncio.TimeoutError) as error:
            figures["failures"].append("flooder %d: %r" % (index, error))
            return
    # The last marker must be in the member's own list once applied.
    for _ in range(600):
        reply = await conn.call(request("special", "fetch_self", user_id=member, special_id=-1,
                                        count=1, type=1))
        if reply["data"]["specials"] == [last]:
            figures["markers_seen"] += 1
            break
        await asyncio.sleep(0.1)
    else:
        figures["failures"].append("flooder %d: its last addition never became visible" % index)
    await conn.close()


async def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--connections", type=int, default=4)
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--batch", type=int, default=200)
    parser.add_argument("--followed", type=int, default=2000)
    parser.add_argument("--delay", type=float, default=5.0, help="start after this many seconds")
    args = parser.parse_args()
    await asyncio.sleep(args.delay)
    figures = {"answered": 0, "markers_seen": 0, "failures": []}
    await asyncio.gather(*(flooder(i, args, figures) for i in range(args.connections)))
    figures["passed"] = not figures["failures"] and figures["markers_seen"] == args.connections
    print("flood: " + json.dumps(figures), flush=True)
    return 0 if figures["passed"] else 1


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
