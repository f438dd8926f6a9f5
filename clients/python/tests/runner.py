"""Runs the conformance files through norvel.Client or norvel.aio.Client: one runner for both,
written on asyncio (a blocking client's calls are simply not awaited; its background pipelines
run on a thread)."""
from __future__ import annotations

import asyncio
import inspect
import time
from typing import Any

import norvel
import norvel.aio

ERRORS = {name: getattr(norvel, name) for name in
          ("RequestFailed", "ConnectionError", "TimeoutError", "ProtocolError")}


def matches(expected: Any, actual: Any) -> bool:
    if expected == "<any>":
        return True
    if expected == "<int>":
        return isinstance(actual, int) and not isinstance(actual, bool)
    if isinstance(expected, dict):
        return (isinstance(actual, dict) and expected.keys() == actual.keys()
                and all(matches(v, actual[k]) for k, v in expected.items()))
    if isinstance(expected, list):
        return (isinstance(actual, list) and len(expected) == len(actual)
                and all(matches(e, a) for e, a in zip(expected, actual)))
    return bool(expected == actual and type(expected) is type(actual))


async def settle(value: Any) -> Any:
    return await value if inspect.isawaitable(value) else value


class Runner:
    def __init__(self, site: Any, asynchronous: bool) -> None:
        self.site = site
        self.asynchronous = asynchronous
        self.stream = site.kind != "single"  # the nodes share a stream (and answer with seq)
        self.failures: list[str] = []

    def client(self, nodes: list[int] | None = None, timeout: float = 5.0) -> Any:
        servers = [self.site.servers[i] for i in nodes] if nodes is not None else self.site.servers
        kind = norvel.aio.Client if self.asynchronous else norvel.Client
        return kind(servers, timeout=timeout, stream=self.stream, backoff=0.2)

    def expect(self, case: dict[str, Any], key: str) -> Any:
        if self.site.kind == "sharded" and "sharded_" + key in case:
            return case["sharded_" + key]
        if self.stream and "stream_" + key in case:
            return case["stream_" + key]
        return case.get(key)

    def check(self, label: str, case: dict[str, Any], outcome: Any, servers: list[str]) -> None:
        if "error" in case:
            wanted = ERRORS[case["error"]]
            if not isinstance(outcome, wanted):
                self.failures.append("%s: wanted %s, got %r" % (label, case["error"], outcome))
            elif isinstance(outcome, (norvel.ConnectionError, norvel.RequestFailed)) and (
                    outcome.server not in servers or outcome.server not in str(outcome)):
                self.failures.append("%s: the error does not name the server: %r" % (label, outcome))
            return
        expected = self.expect(case, "result")
        if isinstance(outcome, Exception) or not matches(expected, outcome):
            self.failures.append("%s: wanted %r, got %r" % (label, expected, outcome))

    async def invoke(self, target: Any, call: str, args: dict[str, Any]) -> Any:
        try:
            return await settle(getattr(target, call)(**args))
        except norvel.NorvelError as error:
            return error

    async def run_cases(self, cases: list[dict[str, Any]], client: Any, session: Any) -> None:
        for case in cases:
            if self.asynchronous and case.get("once"):
                continue
            target = session if self.stream else client
            label = case["name"]
            if "call" in case:
                deadline = time.monotonic() + (5.0 if case.get("eventually") else 0.0)
                while True:
                    outcome = await self.invoke(target, case["call"], case["args"])
                    if matches(self.expect(case, "result"), outcome) or time.monotonic() > deadline:
                        break
                    await asyncio.sleep(0.05)
                self.check(label + " (call)", case, outcome, client.servers if hasattr(client, "servers") else client.site.servers)
            if case.get("once") and "call" in case:
                continue
            try:
                reply: Any = await settle(client.execute(case["request"]))
            except norvel.NorvelError as error:
                reply = error
            if "error" in case and "reply" not in case:
                self.check(label + " (raw)", case, reply, client.site.servers)
            elif not matches(self.expect(case, "reply"), reply):
                self.failures.append("%s (raw): wanted %r, got %r"
                                     % (label, self.expect(case, "reply"), reply))

    async def run_paging(self, pages: list[dict[str, Any]], client: Any) -> None:
        for case in pages:
            iterator = getattr(client, case["call"])(**case["args"], count=case["count"],
                                                     type=case["type"])
            if self.asynchronous:
                got = [each async for each in iterator]
            else:
                got = list(iterator)
            if got != case["result"]:
                self.failures.append("%s: wanted %r, got %r" % (case["name"], case["result"], got))

    def queue(self, pipe: Any, calls: list[dict[str, Any]]) -> None:
        for call in calls:
            getattr(pipe, call["call"])(**call["args"])

    async def run_pipeline(self, label: str, client: Any, calls: list[dict[str, Any]]) -> None:
        pipe = client.pipeline()
        self.queue(pipe, calls)
        results = await settle(pipe.execute(raise_on_error=False))
        if len(results) != len(calls):
            self.failures.append("%s: %d results for %d calls" % (label, len(results), len(calls)))
        for index, (call, result) in enumerate(zip(calls, results)):
            self.check("%s [%d]" % (label, index), call, result, client.site.servers)

    async def run_repeat(self, repeat: dict[str, Any], client: Any) -> None:
        members = [int(m) for m in repeat["members"]]
        order = [members[i % len(members)] for i in range(repeat["count"])]
        pipe = client.pipeline()
        for member in order:
            pipe.follow_fetch(member)
        results = await settle(pipe.execute())
        wrong = [(m, r) for m, r in zip(order, results) if r != repeat["members"][str(m)]]
        if len(results) != len(order) or wrong:
            self.failures.append("repeat: %d results, wrong: %r" % (len(results), wrong[:3]))

    async def run_scenario(self, scenario: dict[str, Any]) -> None:
        timeout = float(scenario.get("timeout", 5))
        clients = [self.client(nodes, timeout) for nodes in scenario["clients"]]
        seq = 0
        background: Any = None
        try:
            for number, step in enumerate(scenario["steps"]):
                label = "%s, step %d (%s)" % (scenario["name"], number, step["do"])
                do = step["do"]
                client = clients[step.get("client", 0)]
                if do in ("kill", "start", "pause", "resume"):
                    await asyncio.to_thread(getattr(self.site, do), step["node"])
                elif do == "sleep":
                    await asyncio.sleep(step["seconds"])
                elif do == "call":
                    target = client.session(seq) if step.get("session") else client
                    outcome = await self.invoke(target, step["call"], step["args"])
                    if step.get("session"):
                        seq = target.seq
                    self.check(label, step, outcome, client.site.servers)
                elif do == "seq_above_zero":
                    if seq <= 0:
                        self.failures.append("%s: the session has no sequence" % label)
                elif do == "pipeline":
                    pipe = client.pipeline()
                    self.queue(pipe, step["calls"])
                    if step.get("background"):
                        if self.asynchronous:
                            background = asyncio.ensure_future(pipe.execute())
                        else:
                            background = asyncio.ensure_future(asyncio.to_thread(pipe.execute))
                        await asyncio.sleep(0)
                        continue
                    try:
                        results: Any = await settle(pipe.execute(raise_on_error=False))
                    except norvel.NorvelError as error:
                        results = error
                    if "error" in step:
                        self.check(label, step, results, client.site.servers)
                    else:
                        for index, (call, result) in enumerate(zip(step["calls"], results)):
                            self.check("%s [%d]" % (label, index), call, result, client.site.servers)
                elif do == "join":
                    try:
                        outcome = await background
                    except norvel.NorvelError as error:
                        outcome = error
                    self.check(label, step, outcome, client.site.servers)
                    if isinstance(outcome, norvel.ConnectionError) and not outcome.sent:
                        self.failures.append("%s: a pipeline in flight must count as sent: %r"
                                             % (label, outcome))
                else:
                    raise ValueError("unknown step " + do)
        finally:
            for each in clients:
                await settle(each.close())
