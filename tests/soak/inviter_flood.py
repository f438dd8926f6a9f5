#!/usr/bin/env python3
"""One client pipelines "inviter add" requests for members beyond the inviter index while another
client reads private feeds one request at a time: how many adds are answered within the window,
how often the daemon re-reads the member table, and what the reading client's latencies are.
Then the member table is locked (LOCK TABLES ... WRITE, as a hung database) and one more add
beyond the index must neither hang the daemon nor keep SIGTERM from stopping it.
With --present the flood's members are stored in the member table (after the start-up load, so
they are still beyond the index); with --adds 0 there is no flood; with --scrapes N a third
client scrapes the metrics endpoint N times a second during the window.

Run by scripts/inviter_flood.sh inside private network and mount namespaces (scripts/isolated.sh),
with the database reached through its Unix socket. Prints the figures; exits 0 when every add
was answered and the daemon stopped with status 0."""
import argparse
import asyncio
import http.client
import json
import os
import random
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from norvel_daemon import Daemon, become_subreaper, read_output  # noqa: E402
from norvel_wire import Connection, frame, request  # noqa: E402


METRICS_PORT = 9105


def percentile(sorted_values, fraction):
    if not sorted_values:
        return float("nan")
    return sorted_values[min(len(sorted_values) - 1, int(fraction * len(sorted_values)))]


def handler_time():
    """The request handlers' total time on the event loop so far, and their count, from the
    metrics endpoint."""
    conn = http.client.HTTPConnection("127.0.0.1", METRICS_PORT, timeout=10)
    conn.request("GET", "/metrics")
    page = conn.getresponse().read().decode()
    conn.close()
    figures = {}
    for line in page.splitlines():
        name, _, value = line.partition(" ")
        if name in ("norvel_request_duration_seconds_sum", "norvel_request_duration_seconds_count"):
            figures[name] = float(value)
    return (figures.get("norvel_request_duration_seconds_sum", float("nan")),
            figures.get("norvel_request_duration_seconds_count", float("nan")))


async def flood_and_read(args):
    adder = await Connection.open()
    reader = await Connection.open()
    first_beyond = 2 * args.members + 10000  # not in the table, so no reload ever makes room
    batch = b"".join(frame(request("inviter", "add", user_id=first_beyond + i, inviter_id=1))
                     for i in range(args.adds))
    latencies = []
    sent_at = []  # when each of `latencies` was sent
    answered = 0
    started = time.monotonic()
    last_add = started
    window_end = started + args.window

    loop_time = []  # (seconds, requests) at the flood's start and once it is answered

    async def adds():
        nonlocal answered, last_add
        if args.loop_time:
            loop_time.append(await asyncio.get_running_loop().run_in_executor(None, handler_time))
        await adder.send(batch)
        while answered < args.adds:
            remaining = window_end - time.monotonic()
            if remaining <= 0:
                return
            try:
                reply = await asyncio.wait_for(adder.read_frame(), remaining)
            except asyncio.TimeoutError:
                return
            if json.loads(reply).get("code") != 200:
                raise RuntimeError("an add was answered %r" % reply)
            answered += 1
            last_add = time.monotonic()
        if args.loop_time:
            loop_time.append(await asyncio.get_running_loop().run_in_executor(None, handler_time))

    async def reads():
        while time.monotonic() < window_end:
            member = random.randint(1, args.members)
            sent = time.monotonic()
            await reader.call(request("special", "fetch_pri", user_id=member, special_id=-1,
                                      count=10, type=1))
            latencies.append((time.monotonic() - sent) * 1000.0)
            sent_at.append(sent)

    scrape_times = []

    async def scrapes():
        if args.scrapes <= 0:
            return
        loop = asyncio.get_running_loop()

        def one_scrape():
            conn = http.client.HTTPConnection("127.0.0.1", METRICS_PORT, timeout=10)
            sent = time.monotonic()
            conn.request("GET", "/metrics")
            body = conn.getresponse().read()
            conn.close()
            return (time.monotonic() - sent) * 1000.0, len(body)

        while time.monotonic() < window_end:
            took, _ = await loop.run_in_executor(None, one_scrape)
            scrape_times.append(took)
            await asyncio.sleep(max(0.0, 1.0 / args.scrapes - took / 1000.0))

    await asyncio.gather(adds(), reads(), scrapes())
    if scrape_times:
        scrape_times.sort()
        print("scrapes: %d, p50 %.2f ms, p99 %.2f ms (client side)"
              % (len(scrape_times), percentile(scrape_times, 0.5),
                 percentile(scrape_times, 0.99)))
    elapsed = last_add - started
    adder.abort()
    await reader.close()
    # The requests sent while the flood was still being answered: what the flood itself costs.
    during = sorted(took for took, sent in zip(latencies, sent_at) if sent <= last_add)
    if len(loop_time) == 2:
        print("request handlers' time on the event loop while the flood was answered: %.1f ms "
              "for %d requests (the adds and the other client's)"
              % ((loop_time[1][0] - loop_time[0][0]) * 1000.0, loop_time[1][1] - loop_time[0][1]))
    return answered, elapsed, sorted(latencies), during


async def hung_database_add(args):
    """One add beyond the index while the table is locked; the other client keeps reading."""
    adder = await Connection.open()
    reader = await Connection.open()
    sent = time.monotonic()
    await adder.send(frame(request("inviter", "add", user_id=4 * args.members + 7, inviter_id=1)))
    reads_meanwhile = []
    add_reply = asyncio.ensure_future(adder.read_frame())
    try:
        while not add_reply.done() and time.monotonic() - sent < 60:
            started = time.monotonic()
            await reader.call(request("special", "fetch_pri", user_id=1, special_id=-1,
                                      count=10, type=1))
            reads_meanwhile.append((time.monotonic() - started) * 1000.0)
            await asyncio.sleep(0.05)
        reply = await asyncio.wait_for(add_reply, 60)
    except asyncio.TimeoutError:
        add_reply.cancel()
        adder.abort()
        reader.abort()
        return None, time.monotonic() - sent, sorted(reads_meanwhile)
    took = time.monotonic() - sent
    adder.abort()
    await reader.close()
    return json.loads(reply), took, sorted(reads_meanwhile)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--run-dir", required=True)
    parser.add_argument("--db-socket", required=True)
    parser.add_argument("--db-user", required=True)
    parser.add_argument("--db-password", required=True)
    parser.add_argument("--db-name", required=True)
    parser.add_argument("--members", type=int, default=20000)
    parser.add_argument("--adds", type=int, default=1000)
    parser.add_argument("--window", type=float, default=10.0)
    parser.add_argument("--config", default="{}",
                        help="JSON members added to the configuration file")
    parser.add_argument("--skip-hang", action="store_true")
    parser.add_argument("--loop-time", action="store_true",
                        help="print the request handlers' time on the event loop during the "
                             "flood (starts the metrics endpoint)")
    parser.add_argument("--present", action="store_true",
                        help="store the flood's members in the member table after the load")
    parser.add_argument("--scrapes", type=float, default=0.0,
                        help="metrics scrapes a second during the window (starts the endpoint)")
    args = parser.parse_args()
    become_subreaper()

    def sql(statement):
        subprocess.run(["mariadb", "--protocol=socket", "--socket=" + args.db_socket, "-uroot",
                        args.db_name, "-e", statement], check=True, timeout=300)

    sql("INSERT INTO brix_member (member_id, inviter_id) SELECT seq, seq DIV 2 "
        "FROM seq_1_to_%d" % args.members)
    daemon = Daemon(args.daemon, os.path.join(args.run_dir, "work"),
                    {"host": "localhost", "user": args.db_user, "passwd": args.db_password,
                     "name": args.db_name, "port": 3306},
                    args=["--metrics", "127.0.0.1:%d" % METRICS_PORT]
                    if args.scrapes > 0 or args.loop_time else [])
    config_path = os.path.join(args.run_dir, "work", "data", "config", "norvel.config.ini")
    with open(config_path) as f:
        config = json.load(f)
    config.update(json.loads(args.config))
    with open(config_path, "w") as f:
        json.dump(config, f)
    daemon.launch()
    ok = daemon.launch_status == 0 and daemon.wait_listening()
    if not ok:
        print("the daemon did not start: %s" % daemon.launch_output)
        return 1
    # The port is bound before the store is loaded: wait for the load to end.
    deadline = time.monotonic() + 900
    while "init_data end" not in read_output() and time.monotonic() < deadline:
        time.sleep(0.2)
    reloads_at_start = read_output().count("max user id=")
    if args.present:
        first_beyond = 2 * args.members + 10000
        sql("INSERT INTO brix_member (member_id, inviter_id) SELECT seq, 1 FROM seq_%d_to_%d"
            % (first_beyond, first_beyond + max(args.adds, 1) - 1))

    answered, elapsed, latencies, during = asyncio.run(flood_and_read(args))
    reloads = read_output().count("max user id=") - reloads_at_start
    print("adds answered within %.0f s: %d of %d (last at %.2f s)"
          % (args.window, answered, args.adds, elapsed))
    print("member table re-read: %d times" % reloads)
    print("other client's fetch_pri: %d requests, p50 %.2f ms, p99 %.2f ms, max %.2f ms"
          % (len(latencies), percentile(latencies, 0.5), percentile(latencies, 0.99),
             latencies[-1] if latencies else float("nan")))
    print("  of them sent while the flood was answered: %d, p50 %.2f ms, p99 %.2f ms, max %.2f ms"
          % (len(during), percentile(during, 0.5), percentile(during, 0.99),
             during[-1] if during else float("nan")))
    ok = ok and answered == args.adds

    if not args.skip_hang:
        # A session of the mariadb client holds the lock until its input ends.
        locker = subprocess.Popen(["mariadb", "--protocol=socket", "--socket=" + args.db_socket,
                                   "-uroot", args.db_name], stdin=subprocess.PIPE, text=True)
        locker.stdin.write("LOCK TABLES brix_member WRITE; SELECT SLEEP(600);\n")
        locker.stdin.flush()
        time.sleep(1.5)  # past the reload interval, so a reload is due
        reply, took, reads = asyncio.run(hung_database_add(args))
        print("add beyond the index with the member table locked: %s after %.1f s; "
              "the other client got %d replies meanwhile, max %.1f ms"
              % ("answered " + json.dumps(reply) if reply else "no answer", took, len(reads),
                 reads[-1] if reads else float("nan")))
        # The database is left alone for the interval after the failure; then the next add
        # beyond the index waits for it again, and SIGTERM arrives during that wait.
        time.sleep(2.5)
        stalled = socket.create_connection(("127.0.0.1", 5000), timeout=10)
        stalled.sendall(frame(request("inviter", "add", user_id=4 * args.members + 9,
                                      inviter_id=1)))
        time.sleep(0.5)
        stop_started = time.monotonic()
        status = daemon.stop(timeout=60)
        print("SIGTERM 0.5 s into the next stalled add: %s after %.1f s"
              % ("status %s" % status if status is not None else "still running",
                 time.monotonic() - stop_started))
        stalled.close()
        ok = ok and reply is not None
        daemon.kill()
        locker.kill()
        locker.wait()
        ok = ok and status == 0
    else:
        ok = daemon.stop(timeout=120) == 0 and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
