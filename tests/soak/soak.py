#!/usr/bin/env python3
"""Soak test of the running daemon: hundreds of connections, a random mix of good and bad
traffic for a bounded time, then an exact comparison of the store with a model, then SIGTERM
while the load goes on.

Run by scripts/soak.sh, which builds the daemon, seeds the database and isolates the run in its
own network and mount namespaces. Prints the figures and exits 0 when every check held, 1 when any
failed (each failure is printed)."""
import argparse
import asyncio
import json
import os
import random
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from norvel_daemon import (Daemon, become_subreaper, event_log_paths, file_contains,  # noqa: E402
                           file_sizes, grep_count, OUTPUT, read_output)
from norvel_wire import Closed, Connection, frame, request, TIMEOUT  # noqa: E402
from store_model import StoreModel  # noqa: E402

ALL = 4294967295        # "count" that takes every id
TOP = -1                # "special_id" cursor above every id
SPECIALS_PER_MEMBER = 48
MEMBERS_PER_ACTOR = 3
ACTOR_MEMBER_BASE = 1000000
ACTOR_SPECIAL_BASE = 10000000
NEVER_SEEN_BASE = 5000000  # follow targets that are nobody's member
MAX_FOLLOWS = 12  # an actor's member follows at most this many before it only unfollows


class Stats:
    def __init__(self):
        self.counts = {}
        self.failures = []

    def count(self, what, n=1):
        self.counts[what] = self.counts.get(what, 0) + n

    def fail(self, message):
        if len(self.failures) < 50:
            print("FAIL:", message, flush=True)
        self.failures.append(message)


# ---- seed data -----------------------------------------------------------------------------

def seed_rows(rng, members=200, specials=3000):
    """Member rows (id, inviter) forming an invitation tree, and specials rows (id, member,
    reader type, from_user, state), some of which the load must skip."""
    member_rows = [(1, 0)]
    for member in range(2, members + 1):
        member_rows.append((member, rng.choice([0, rng.randint(1, member - 1)])))
    special_rows = []
    for special_id in range(1, specials + 1):
        special_rows.append((special_id, rng.randint(1, members), rng.choice([0, 0, 1, 2]),
                             rng.choice([1, 1, 1, 0]), rng.choice([0, 0, 0, 1])))
    return member_rows, special_rows


def seed_sql(member_rows, special_rows):
    lines = ["DELETE FROM brix_member;", "DELETE FROM brix_mb_special;"]
    lines.append("INSERT INTO brix_member (member_id, inviter_id) VALUES %s;" %
                 ",".join("(%d,%d)" % row for row in member_rows))
    lines.append("INSERT INTO brix_mb_special (special_id, member_id, reader_type, from_user, "
                 "state) VALUES %s;" % ",".join("(%d,%d,%d,%d,%d)" % row for row in special_rows))
    return "\n".join(lines) + "\n"


# ---- the load ------------------------------------------------------------------------------

class Actor:
    """One client: owns a few members (and their special ids) that nobody else changes, and
    keeps one connection, which it replaces whenever its mix ends that connection."""

    def __init__(self, index, universe, model, stats, rng, phase):
        self.index = index
        self.members = [ACTOR_MEMBER_BASE + index * MEMBERS_PER_ACTOR + k
                        for k in range(MEMBERS_PER_ACTOR)]
        self.universe = universe
        self.model = model
        self.stats = stats
        self.rng = rng
        self.phase = phase
        self.conn = None

    def special_pool(self, member):
        base = ACTOR_SPECIAL_BASE + (member - ACTOR_MEMBER_BASE) * SPECIALS_PER_MEMBER
        return range(base, base + SPECIALS_PER_MEMBER)

    async def connection(self):
        if self.conn is None:
            self.answered_here = 0
            try:
                self.conn = await Connection.open()
            except asyncio.TimeoutError:
                self.stats.count("connect_timeouts")
                raise
            self.stats.count("connections")
        return self.conn

    async def drop(self, abort=False):
        if self.conn is not None:
            if abort:
                self.conn.abort()
            else:
                await self.conn.close()
            self.conn = None
        self.answered_here = 0  # replies received on the current connection

    # -- the mix --
    async def step(self):
        # Steps that end the connection stay rare enough that reconnecting does not overrun
        # the listen queue of 128 for long (its overflows are counted in the figures).
        roll = self.rng.random()
        if roll < 0.38:
            await self.valid_read()
        elif roll < 0.76:
            await self.valid_mutation()
        elif roll < 0.85:
            await self.wrong_types()
        elif roll < 0.89:
            await self.unknown_operation()
        elif roll < 0.94:
            await self.pipelined_reads()
        elif roll < 0.97:
            await self.fatal_frame()
        else:
            await self.abrupt_disconnect()

    async def expect(self, body, kind, check):
        """Sends one request that must be answered; `check` looks at the decoded reply."""
        conn = await self.connection()
        self.stats.count("requests")
        self.stats.count(kind)
        try:
            reply = await conn.call(body)
            self.answered_here += 1
        except asyncio.TimeoutError:
            self.stats.fail("%s not answered within %ds on a connection that had answered %d "
                            "requests; request %s" % (kind, TIMEOUT, self.answered_here, body))
            await self.drop(abort=True)
            return None
        except Closed:
            self.conn = None
            if self.phase.stopping:
                raise
            self.stats.fail("%s not answered: connection closed; request %s" % (kind, body))
            return None
        problem = check(reply)
        if problem:
            self.stats.fail("%s: %s; request %s reply %s" % (kind, problem, body, reply))
        return reply

    def read_request(self):
        member = self.rng.choice(self.universe)
        choice = self.rng.randrange(6)
        count = self.rng.choice([0, 1, 20, 100, ALL])
        cursor = self.rng.choice([TOP, 0, self.rng.randint(1, ACTOR_SPECIAL_BASE * 2)])
        direction = self.rng.randint(0, 1)
        if choice == 0:
            return request("special", "fetch_self", user_id=member, special_id=cursor,
                           count=count, type=direction), "specials", count
        if choice == 1:
            return request("special", "fetch_pri", user_id=member, special_id=cursor,
                           count=count, type=direction), "specials", count
        if choice == 2:
            return request("special", "fetch_pub", special_id=cursor, count=count,
                           type=direction), "specials", count
        if choice == 3:
            return request("follow", "fetch", user_id=member), "follows", None
        if choice == 4:
            return request("inviter", "list", user_id=self.rng.randint(0, 450)), "inviters", None
        return request("inviter", "invitees", user_id=self.rng.randint(0, 450)), "invitees", None

    @staticmethod
    def read_check(key, count):
        def check(reply):
            if reply.get("code") != 200 or not isinstance(reply.get("data"), dict):
                return "read not answered with code 200 and data"
            ids = reply["data"].get(key)
            if not isinstance(ids, list) or not all(isinstance(i, int) for i in ids):
                return "no id list under %s" % key
            if count is not None and len(ids) > count:
                return "more ids than asked for"
            return None
        return check

    async def valid_read(self):
        body, key, count = self.read_request()
        await self.expect(body, "valid_reads", self.read_check(key, count))

    @staticmethod
    def accepted(reply):
        if reply != {"code": 200, "data": None}:
            return "mutation not accepted"
        return None

    @staticmethod
    def refused(reply):
        if reply != {"code": 0}:
            return "bad request not refused with code 0 alone"
        return None

    def some_friends(self):
        picks = self.rng.sample(self.universe, self.rng.randint(0, 6))
        if self.rng.random() < 0.1:
            picks.append(NEVER_SEEN_BASE + self.rng.randint(0, 200))
        return picks

    async def valid_mutation(self):
        member = self.rng.choice(self.members)
        kind = self.rng.randrange(4)
        if kind == 0 and len(self.model.follows.get(member, ())) >= MAX_FOLLOWS:
            kind = 1  # keep the store's size level, so memory has a level to be judged against
        if kind == 0:
            friends = self.some_friends()
            if self.rng.random() < 0.05:
                friends.append(member)  # following oneself is allowed
            body = request("follow", "add", user_id=member, friends=friends)
            apply = (lambda: self.model.add_follow(member, friends)) if friends else None
        elif kind == 1:
            current = sorted(self.model.follows.get(member, set()))
            friends = self.rng.sample(current, min(len(current), self.rng.randint(0, 3)))
            friends += self.some_friends()[:1]
            body = request("follow", "del", user_id=member, friends=friends)
            apply = (lambda: self.model.del_follow(member, friends)) if friends else None
        else:
            ids = self.rng.sample(self.special_pool(member), self.rng.randint(1, 6))
            items = [(i, self.rng.choice([0, 0, 1, 3, 256])) for i in ids]
            specials = [{"spid": i, "type": t} for i, t in items]
            op = "add" if kind == 2 else "del"
            body = request("special", op, user_id=member, specials=specials)
            if op == "add":
                apply = lambda: self.model.add_special(member, items)  # noqa: E731
            else:
                apply = lambda: self.model.del_special(member, items)  # noqa: E731
        reply = await self.expect(body, "valid_mutations", self.accepted)
        if reply == {"code": 200, "data": None} and apply is not None:
            apply()  # queued in the order of our requests: this member's next change waits

    async def wrong_types(self):
        member = self.rng.choice(self.members)
        pool = list(self.special_pool(member))
        bodies = [
            request("follow", "fetch", user_id="%d" % member),
            request("follow", "fetch", user_id=-1),
            request("special", "fetch_pub", special_id=0, count=-5, type=1),
            request("special", "fetch_self", user_id=member, special_id=[1], count=1, type=0),
            request("special", "fetch_pri", user_id=member, special_id=0, count=1, type={"x": 1}),
            request("special", "fetch_pub", special_id=4294967296, count=1, type=1),
            # Mutations whose conversion fails must change nothing at all.
            request("follow", "add", user_id=member, friends=[self.rng.choice(self.universe),
                                                              "x"]),
            request("follow", "del", user_id=member, friends=[1, -2]),
            request("follow", "add", user_id=member, friends={"a": 1}),
            request("special", "add", user_id=member,
                    specials=[{"spid": pool[0], "type": 0}, {"spid": "bad", "type": 0}]),
            request("special", "del", user_id=member, specials=[{"spid": pool[1], "type": -1}]),
            request("special", "add", user_id=-member, specials=[{"spid": pool[2], "type": 0}]),
            json.dumps({"act": "special", "op": "add", "params": [member]}),
            request("inviter", "add", user_id="7", inviter_id=1),
        ]
        await self.expect(self.rng.choice(bodies), "wrong_types", self.refused)

    async def unknown_operation(self):
        body = self.rng.choice([request("follow", "remove", user_id=1),
                                request("inviter", "drop", user_id=1),
                                request("special", "fetch_all", user_id=1)])
        await self.expect(body, "unknown_operations", self.refused)
        if self.rng.random() < 0.3:
            await self.expect(json.dumps({"act": "nothing", "op": "x"}), "unknown_actions",
                              lambda reply: None if reply == {"code": 200, "data": None}
                              else "unknown action not answered with null data")

    async def pipelined_reads(self):
        """Several requests in one write: every one answered, in order."""
        conn = await self.connection()
        batch = [self.read_request() for _ in range(self.rng.randint(2, 8))]
        marker = request("follow", "fetch", user_id=ACTOR_MEMBER_BASE - 1)
        await conn.send(b"".join(frame(body) for body, _, _ in batch) + frame(marker))
        self.stats.count("requests", len(batch) + 1)
        self.stats.count("valid_reads", len(batch) + 1)
        try:
            for body, key, count in batch:
                problem = self.read_check(key, count)(json.loads(await conn.read_frame()))
                if problem:
                    self.stats.fail("pipelined %s: %s" % (body, problem))
            last = json.loads(await conn.read_frame())
            if last != {"code": 200, "data": {"follows": []}}:
                self.stats.fail("pipelined replies out of order: %s" % last)
        except Closed:
            self.conn = None
            if self.phase.stopping:
                raise
            self.stats.fail("pipelined reads not answered")

    async def fatal_frame(self):
        """Frames after which the daemon must end this connection, without a reply to them."""
        conn = await self.connection()
        choice = self.rng.randrange(5)
        if choice == 0:
            data, kind = frame("this is not json"), "invalid_json"
        elif choice == 1:
            data, kind = frame("[1,2,3]"), "non_object_json"
        elif choice == 2:
            data, kind = b"-000000005hello", "negative_header"
        elif choice == 3:
            data, kind = b"0999999999" + b"x" * self.rng.randint(0, 200), "oversized_header"
        else:
            data, kind = b"%010d" % (16 * 1024 * 1024 + 1), "oversized_header"
        # A good request first: its reply must still arrive before the connection ends.
        good = request("follow", "fetch", user_id=self.rng.choice(self.universe))
        self.stats.count(kind)
        self.stats.count("requests", 2)
        self.stats.count("valid_reads")
        try:
            await conn.send(frame(good) + data)
        except (ConnectionError, asyncio.TimeoutError):
            pass  # the daemon may close before taking everything
        self.conn = None
        try:
            received, reset = await conn.expect_closed()
        except asyncio.TimeoutError:
            self.stats.fail("%s: connection not closed" % kind)
            conn.abort()
            return
        header = received[:10]
        complete = header.isdigit() and len(received) == 10 + int(header)
        # A reset may drop bytes in flight, and shutdown ends connections early; otherwise the
        # reply to the good request must be there, and nothing after it.
        if not complete and not reset and not self.phase.stopping:
            self.stats.fail("%s: the reply to the request before it is missing or extra bytes "
                            "followed: %r" % (kind, received[:200]))
        self.stats.count("closed_as_expected")
        await conn.close()

    async def abrupt_disconnect(self):
        """Leaves in the middle: half a frame, or a read whose reply is never collected."""
        conn = await self.connection()
        self.stats.count("abrupt_disconnects")
        choice = self.rng.randrange(3)
        body = request("special", "fetch_pub", special_id=TOP, count=ALL, type=1)
        try:
            if choice == 0:
                await conn.send(frame(body)[:self.rng.randint(1, 20)])
            elif choice == 1:
                await conn.send(frame(body))  # a large reply that nobody reads
            else:
                await conn.send(b"00000001")  # within the header
        except (ConnectionError, asyncio.TimeoutError):
            pass
        await self.drop(abort=self.rng.random() < 0.5)


class Phase:
    def __init__(self):
        self.stopping = False
        self.deadline = 0.0


async def run_actor(actor, phase):
    """Steps until the deadline; once the phase is stopping (SIGTERM sent), until the daemon is
    gone."""
    while time.monotonic() < phase.deadline:
        try:
            await actor.step()
        except Closed:
            if phase.stopping:
                return
            actor.stats.fail("connection closed unexpectedly")
            actor.conn = None
        except asyncio.TimeoutError:  # before OSError: it is one
            if phase.stopping:
                return
            actor.stats.fail("no answer within %ds (connect or a frame of the mix)" % TIMEOUT)
            await actor.drop(abort=True)
        except (ConnectionError, OSError) as error:
            if phase.stopping:
                return
            actor.stats.fail("connection error: %r" % error)
            actor.conn = None
    await actor.drop(abort=phase.stopping)


async def sample_rss(daemon, phase, samples):
    while time.monotonic() < phase.deadline:
        samples.append((time.monotonic(), daemon.rss_kib(), daemon.descriptors()))
        await asyncio.sleep(1.0)


async def load(actors, daemon, seconds, samples):
    phase = actors[0].phase
    phase.deadline = time.monotonic() + seconds
    sampler = asyncio.ensure_future(sample_rss(daemon, phase, samples))
    await asyncio.gather(*(run_actor(actor, phase) for actor in actors))
    await sampler


# ---- verification --------------------------------------------------------------------------

async def fetch_all(conn, member):
    own = await conn.call(request("special", "fetch_self", user_id=member, special_id=TOP,
                                  count=ALL, type=1))
    feed = await conn.call(request("special", "fetch_pri", user_id=member, special_id=TOP,
                                   count=ALL, type=1))
    follows = await conn.call(request("follow", "fetch", user_id=member))
    return own["data"]["specials"], feed["data"]["specials"], follows["data"]["follows"]


async def differences(model, members, connections=20):
    """The members whose stored lists differ from the model, and the public list's verdict."""
    feeds = model.feeds()
    queue = list(members)
    wrong = []

    async def worker():
        conn = await Connection.open()
        while queue:
            member = queue.pop()
            own, feed, follows = await fetch_all(conn, member)
            expected = (model.expected_self(member), feeds.get(member, []),
                        model.expected_follows(member))
            if (own, feed, follows) != expected:
                wrong.append((member, (own, feed, follows), expected))
        await conn.close()

    await asyncio.gather(*(worker() for _ in range(connections)))
    conn = await Connection.open()
    public = await conn.call(request("special", "fetch_pub", special_id=TOP, count=ALL, type=1))
    await conn.close()
    public_ok = public["data"]["specials"] == model.expected_public()
    return wrong, public_ok


async def verify(model, members, stats, label, deadline_seconds=120):
    """Polls until the store matches the model (the workers may still be applying)."""
    deadline = time.monotonic() + deadline_seconds
    while True:
        wrong, public_ok = await differences(model, members)
        if not wrong and public_ok:
            print("%s: %d members and the public list match the model" % (label, len(members)),
                  flush=True)
            stats.count("members_verified", len(members))
            return
        if time.monotonic() > deadline:
            for member, got, expected in wrong[:5]:
                stats.fail("%s: member %d holds %s, expected %s" % (label, member, got, expected))
            if not public_ok:
                stats.fail("%s: the public list differs from the model" % label)
            stats.fail("%s: %d members differ" % (label, len(wrong)))
            return
        await asyncio.sleep(1.0)


# ---- checks on the stopped daemon ----------------------------------------------------------

def check_files(stats, password, offsets):
    """Looks at what this run added to the log files and the output (`offsets`: where they
    ended before it)."""
    needle = password.encode()
    for path in event_log_paths() + [OUTPUT]:
        mode = os.stat(path).st_mode & 0o777
        if mode & 0o002:
            stats.fail("%s is world-writable (mode %o)" % (path, mode))
        if file_contains(path, needle, offsets.get(path, 0)):
            stats.fail("the database password appears in %s" % path)
    for report in (b"ERROR: AddressSanitizer", b"ERROR: LeakSanitizer", b"runtime error:",
                   b"WARNING: ThreadSanitizer"):
        if file_contains(OUTPUT, report, offsets.get(OUTPUT, 0)):
            stats.fail("a sanitizer report in %s: %s" % (OUTPUT, report.decode()))
    logs = event_log_paths()

    def count(needle):
        return sum(grep_count(p, needle, offsets.get(p, 0)) for p in logs)

    finalisers = count(b"ZUL_Object_Manager::~ZUL_Object_Manager fun=")
    if finalisers < 2:
        stats.fail("finalisers not logged at shutdown (%d lines)" % finalisers)
    if count(b"finiLog") != 1:
        stats.fail("the log was not closed exactly once")
    if count(b"Main Exception"):
        stats.fail("the daemon logged a start-up exception")
    quits = count(b"logic_center::worker quit")
    if quits != 5:
        stats.fail("%d workers logged their end, expected 5" % quits)
    stats.count("log_bytes", sum(os.path.getsize(p) - offsets.get(p, 0) for p in logs))


def listen_counters():
    """The kernel's count of connections the listen queue had no room for (this namespace's)."""
    try:
        with open("/proc/net/netstat") as f:
            lines = f.read().splitlines()
    except OSError:
        return {}
    for names, values in zip(lines[::2], lines[1::2]):
        if names.startswith("TcpExt:"):
            table = dict(zip(names.split()[1:], values.split()[1:]))
            return {"listen_overflows": int(table.get("ListenOverflows", 0)),
                    "listen_drops": int(table.get("ListenDrops", 0))}
    return {}


def rss_verdict(samples, seconds, stats, judge=True):
    """Resident memory after warm-up (the first third of the run) may not keep growing: its
    peak in the last third stays within 25% + 16 MiB of its level when warm-up ended."""
    if len(samples) < 6:
        stats.fail("too few memory samples")
        return
    start = samples[0][0]
    warm = [rss for t, rss, _ in samples if t - start <= seconds / 3]
    late = [rss for t, rss, _ in samples if t - start >= 2 * seconds / 3]
    warm_level = max(warm)
    late_peak = max(late) if late else warm_level
    stats.counts["rss_kib_after_warmup"] = warm_level
    stats.counts["rss_kib_peak_late"] = late_peak
    stats.counts["rss_kib_peak"] = max(rss for _, rss, _ in samples)
    stats.counts["descriptors_peak"] = max(fds for _, _, fds in samples)
    if judge and late_peak > warm_level * 1.25 + 16 * 1024:
        stats.fail("resident memory grew after warm-up: %d KiB -> %d KiB" % (warm_level,
                                                                             late_peak))


# ---- main ----------------------------------------------------------------------------------

async def soak(args, daemon, model, universe, stats):
    rng = random.Random(args.seed)
    print("verifying the initial load", flush=True)
    await verify(model, sorted(model.members()), stats, "after load", 30)

    phase = Phase()
    actors = [Actor(i, universe, model, stats, random.Random(rng.random()), phase)
              for i in range(args.connections)]
    samples = []
    started = time.monotonic()
    print("load: %d connections for %ds" % (args.connections, args.seconds), flush=True)
    await load(actors, daemon, args.seconds, samples)
    stats.counts["load_seconds"] = round(time.monotonic() - started, 1)
    rss_verdict(samples, args.seconds, stats, judge=not args.no_rss_check)

    members = sorted(model.members() | set(universe))
    await verify(model, members, stats, "after soak")

    # SIGTERM in the middle of a new round of load.
    phase = Phase()
    for actor in actors:
        actor.phase = phase
    phase.deadline = time.monotonic() + 60
    runners = asyncio.gather(*(run_actor(actor, phase) for actor in actors),
                             return_exceptions=True)
    await asyncio.sleep(args.sigterm_after)
    phase.stopping = True
    os.kill(daemon.pid, signal.SIGTERM)
    stats.count("sigterm_under_load")
    status = await asyncio.get_running_loop().run_in_executor(None, daemon.wait_exit, 120.0)
    await asyncio.wait_for(runners, 120)
    if status is None:
        stats.fail("the daemon did not end within 120 s of SIGTERM")
        daemon.kill()
    elif status != 0:
        stats.fail("the daemon ended with status %d after SIGTERM" % status)
    stats.counts["exit_status"] = status


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--db-host", default="localhost")
    parser.add_argument("--db-user", default="norvel")
    parser.add_argument("--db-password", default="norvel-local-pw")
    parser.add_argument("--db-name", required=True)
    parser.add_argument("--seconds", type=int, default=300)
    parser.add_argument("--connections", type=int, default=300)
    parser.add_argument("--sigterm-after", type=float, default=5.0)
    parser.add_argument("--seed", type=int, default=20240601)
    parser.add_argument("--print-seed-sql", action="store_true",
                        help="print the SQL that seeds the database and exit")
    parser.add_argument("--report", help="write the figures as JSON to this file")
    parser.add_argument("--no-rss-check", action="store_true",
                        help="record resident memory but do not judge it (sanitizer builds)")
    args = parser.parse_args()

    member_rows, special_rows = seed_rows(random.Random(args.seed))
    if args.print_seed_sql:
        sys.stdout.write(seed_sql(member_rows, special_rows))
        return 0

    become_subreaper()
    offsets = file_sizes()
    model = StoreModel()
    model.load(special_rows, member_rows)
    universe = [m for m, _ in member_rows] + [
        ACTOR_MEMBER_BASE + i for i in range(args.connections * MEMBERS_PER_ACTOR)]

    stats = Stats()
    daemon = Daemon(args.daemon, args.work_dir,
                    {"host": args.db_host, "user": args.db_user, "passwd": args.db_password,
                     "name": args.db_name, "port": 3306})
    daemon.launch()
    if daemon.launch_status != 0:
        print("launch failed with status %s: %s" % (daemon.launch_status, daemon.launch_output))
        return 1
    if not daemon.wait_listening():
        print("the daemon does not listen; its output:\n" + read_output())
        daemon.kill()
        return 1
    try:
        asyncio.run(soak(args, daemon, model, universe, stats))
    except Exception as error:  # a broken run must still stop the daemon and report
        stats.fail("soak aborted: %r" % error)
        daemon.kill()
    check_files(stats, args.db_password, offsets)

    stats.counts["connections_configured"] = args.connections
    stats.counts.update(listen_counters())
    print(json.dumps(stats.counts, indent=1, sort_keys=True))
    if args.report:
        with open(args.report, "w") as f:
            json.dump({"counts": stats.counts, "failures": stats.failures}, f, indent=1)
    if stats.failures:
        print("soak: %d failures" % len(stats.failures))
        return 1
    print("soak: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
