"""The shared conformance suite (clients/conformance/*.json) on a real lone node and on a real
two-node site on three stream servers, through the blocking and the asyncio clients."""
from __future__ import annotations

import asyncio
from typing import Any

import pytest
from conftest import load
from runner import Runner

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
    runner = Runner(site, asynchronous)
    for scenario in SCENARIOS["scenarios"]:
        if site.kind in scenario["sites"]:
            asyncio.run(runner.run_scenario(scenario))
    verdict(runner)
