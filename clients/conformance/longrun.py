"""The client libraries' long run: many threads of the Python library and a Node process share a
real site while requests time out at random, nodes are paused past the clients' timeouts and
killed and started again. Every member owns specials no other member has, so a reply read for
the wrong request cannot pass: the run counts every request answered, timed out or failed, and
fails (exit status 1) if any request was answered with another's reply.

Usage (scripts/clients_longrun.sh builds the daemon and runs this):
    python3 longrun.py --daemon PATH [--minutes 10] [--kind stream|single] [--threads 8]"""
from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))

import norvel  # noqa: E402
import norvel_site  # noqa: E402

MEMBERS = 2000


def seed_sql() -> str:
    members = ",".join("(%d,0)" % m for m in range(1, MEMBERS + 1))
    specials = ",".join("(%d,%d,1)" % (m * 10 + k, m) for m in range(1, MEMBERS + 1)
                        for k in range(3))
    return ("INSERT INTO brix_member (member_id, inviter_id) VALUES %s;\n"
            "INSERT INTO brix_mb_special (special_id, member_id, reader_type) VALUES %s;\n"
            % (members, specials))


def expected(member: int) -> list[int]:
    return [member * 10 + 2, member * 10 + 1, member * 10]


class Tally:
    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.counts = {"answered": 0, "timeouts": 0, "connection_errors": 0, "pool_busy": 0,
                       "wrong": 0}
        self.wrong: list[str] = []

    def add(self, key: str, amount: int = 1, note: str = "") -> None:
        with self.lock:
            self.counts[key] += amount
            if note and len(self.wrong) < 20:
                self.wrong.append(note)


def worker(client: norvel.Client, stop: float, seed: int, tally: Tally) -> None:
    rng = random.Random(seed)
    while time.monotonic() < stop:
        members = [rng.randrange(1, MEMBERS + 1) for _ in range(rng.choice((1, 1, 1, 5, 50)))]
        try:
            if len(members) == 1:
                results = [client.special_fetch_self(members[0], -1, 10, 1)]
            else:
                pipe = client.pipeline()
                for member in members:
                    pipe.special_fetch_self(member, -1, 10, 1)
                results = pipe.execute()
        except norvel.TimeoutError:
            tally.add("timeouts")
            continue
        except norvel.ConnectionError:
            tally.add("connection_errors")
            continue
        except norvel.PoolExhausted:
            tally.add("pool_busy")
            continue
        for member, result in zip(members, results):
            if result != expected(member):
                tally.add("wrong", note="member %d got %r" % (member, result))
        tally.add("answered", len(members))


def faults(site: norvel_site.Site, stop: float, rng: random.Random, log: dict[str, int]) -> None:
    """Now and then: a node paused past the clients' timeouts, or killed and started again."""
    while time.monotonic() < stop - 3:
        time.sleep(rng.uniform(0.3, 1.5))
        node = rng.randrange(len(site.nodes))
        if rng.random() < 0.7:
            site.pause(node)
            time.sleep(rng.uniform(0.05, 0.6))
            site.resume(node)
            log["pauses"] += 1
        else:
            site.kill(node)
            time.sleep(rng.uniform(0.1, 1.0))
            site.start(node)
            log["kills"] += 1


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--kind", choices=["single", "stream"], default="stream")
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    args = parser.parse_args()
    rng = random.Random(args.seed)
    site = norvel_site.Site(args.daemon, args.kind, seed_sql())
    try:
        seconds = args.minutes * 60
        stop = time.monotonic() + seconds
        tally = Tally()
        fault_log = {"pauses": 0, "kills": 0}
        # Half the threads with a 3 ms timeout, which a pipeline of 50 or a busy node often
        # misses (so late replies keep arriving on discarded connections), half with 400 ms;
        # both clients know every node.
        quick = norvel.Client(site.servers, timeout=0.003, pool_size=4, stream=True, backoff=0.1)
        patient = norvel.Client(site.servers, timeout=0.4, pool_size=4, stream=True, backoff=0.1)
        node = subprocess.Popen(["node", os.path.join(HERE, "longrun_node.mjs"), json.dumps(site.servers),
                                 str(seconds), str(args.seed), str(MEMBERS)],
                                stdout=subprocess.PIPE)
        threads = [threading.Thread(target=worker, args=(quick if i % 2 else patient, stop,
                                                         args.seed + i, tally))
                   for i in range(args.threads)]
        threads.append(threading.Thread(target=faults, args=(site, stop, rng, fault_log)))
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        node_out, _ = node.communicate(timeout=120)
        node_counts = json.loads(node_out.decode().strip().splitlines()[-1])
        counts = tally.counts
        print("long run: %.1f min, %s site, seed %d, %d pauses and %d kills of a node"
              % (args.minutes, args.kind, args.seed, fault_log["pauses"], fault_log["kills"]))
        print("python (%d threads): %d requests answered, %d timeouts, %d connection errors, "
              "%d pool waits, %d answered with another request's reply"
              % (args.threads, counts["answered"], counts["timeouts"], counts["connection_errors"],
                 counts["pool_busy"], counts["wrong"]))
        print("node: %d requests answered, %d timeouts, %d connection errors, %d answered with "
              "another request's reply" % (node_counts["answered"], node_counts["timeouts"],
                                           node_counts["connection_errors"], node_counts["wrong"]))
        for note in tally.wrong + node_counts.get("notes", []):
            print("  wrong: " + note)
        ok = counts["wrong"] == 0 and node_counts["wrong"] == 0 and node.returncode == 0
        ok = ok and counts["answered"] > 0 and node_counts["answered"] > 0
        print("verdict: " + ("no request got another's reply" if ok else "FAILED"))
        return 0 if ok else 1
    finally:
        site.close()


if __name__ == "__main__":
    sys.exit(main())
