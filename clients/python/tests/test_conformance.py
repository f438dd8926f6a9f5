"""The shared conformance suite (clients/conformance/*.json) on a real lone node, a real two-node
site on three stream servers and a real site of two shards, through the blocking and the asyncio
clients; and routing on the sharded site, judged by the nodes' own count of forwarded reads."""
from __future__ import annotations

import asyncio
from typing import Any

import pytest
from conftest import load
from runner import Runner

import norvel
import norvel.aio
from norvel.protocol import fmix32

CASES = load("cases.json")
PIPELINES = load("pipelines.json")
SCENARIOS = load("scenarios.json")


def verdict(runner: Runner) -> None:
    assert not runner.failures, "\n".join(runner.failures)


async def data_files(runner: Runner) -> None:
    client = runner.client()
    try:
        session = client.session()
        await runner.run_cases(CASES["cases"], client, session)
        await runner.run_paging(CASES["paging"], client)
        for pipeline in PIPELINES["pipelines"]:
            await runner.run_pipeline(pipeline["name"], client, pipeline["calls"])
        await runner.run_repeat(PIPELINES["repeat"], client)
    finally:
        close = client.close()
        if asyncio.iscoroutine(close):
            await close


@pytest.mark.parametrize("asynchronous", [False, True], ids=["blocking", "asyncio"])
def test_cases_and_pipelines(site: Any, asynchronous: bool) -> None:
    runner = Runner(site, asynchronous)
    asyncio.run(data_files(runner))
    verdict(runner)


@pytest.mark.parametrize("asynchronous", [False, True], ids=["blocking", "asyncio"])
def test_scenarios(site: Any, asynchronous: bool) -> None:
    if site.kind == "sharded":
        pytest.skip("the scenarios kill the one node of a shard")
    runner = Runner(site, asynchronous)
    for scenario in SCENARIOS["scenarios"]:
        if site.kind in scenario["sites"]:
            asyncio.run(runner.run_scenario(scenario))
    verdict(runner)


def test_routing_sends_member_reads_to_their_shard(site: Any) -> None:
    if site.kind != "sharded":
        pytest.skip("a sharded site's test")
    members = list(range(1, 80))

    def forwarded() -> float:
        return sum(site.metric(i, "norvel_shard_forwarded_total") for i in range(2))

    # Given only node a (shard 0), a routing client still sends shard 1's members to node b.
    routed = norvel.Client(site.servers[:1], stream=True)
    layout = routed.refresh_map()
    assert layout is not None and layout.shards == 2
    assert sorted(address for shard in layout.nodes for address, _ in shard) == sorted(site.servers)
    before = forwarded()
    for member in members:
        assert routed.special_fetch_pri(member, -1, 10, 1) is not None
        assert routed.follow_fetch(member) is not None

    async def through_asyncio() -> None:
        async with norvel.aio.Client(site.servers[:1], stream=True) as client:
            for member in members:
                await client.special_fetch_pri(member, -1, 10, 1)
                await client.follow_fetch(member)
    asyncio.run(through_asyncio())
    assert forwarded() == before  # every one answered where it lives
    # Without routing node a forwards shard 1's members itself: the same answers, one hop more.
    plain = norvel.Client(site.servers[:1], stream=True, routing=False)
    for member in members:
        assert plain.follow_fetch(member) == routed.follow_fetch(member)
    others = sum(1 for member in members if fmix32(member) % 1024 % 2 == 1)
    assert forwarded() - before == others
    routed.close()
    plain.close()
