"""What the conformance suite cannot show on a real node: broken replies (frames.json, played by
a fake node), pool exhaustion, the back-off on a fake clock, changes never sent twice, shard
routing against a fake map, and many threads never getting one another's replies while some
requests time out."""
from __future__ import annotations

import asyncio
import random
import threading
import time
from typing import Any

import pytest
from conftest import load
from fake_node import FakeNode, echo, reply

import norvel
import norvel.aio
from norvel.protocol import ClusterMap, fmix32
from norvel.site import Site

FRAMES = load("frames.json")
ROUTING = load("routing.json")


def scripted(case: dict[str, Any]) -> FakeNode:
    def respond(number: int, request: Any) -> tuple[bytes, str]:
        if number == 0:
            return case["reply"].encode(), case["then"]
        return reply({"code": 200, "data": {"follows": [1]}}), "stay"
    return FakeNode(respond)


def error_class(name: str) -> type[BaseException]:
    return getattr(norvel, name)


@pytest.mark.parametrize("case", FRAMES["cases"], ids=[c["name"] for c in FRAMES["cases"]])
def test_broken_replies_break_the_connection_not_the_pool(case: dict[str, Any]) -> None:
    node = scripted(case)
    options = {"timeout": 0.5, "max_frame": case.get("max_frame", 16 << 20), "routing": False}
    try:
        with norvel.Client([node.address], **options) as client:
            if "error" in case:
                with pytest.raises(error_class(case["error"])) as caught:
                    if case.get("pipeline"):
                        client.pipeline().follow_fetch(1).follow_fetch(1).execute()
                    else:
                        client.follow_fetch(1)
                assert node.address in str(caught.value)
            else:
                assert client.follow_fetch(1) == case["result"]
            assert client.follow_fetch(1) == [1]  # a fresh connection, the pool healthy

        async def through_asyncio() -> None:
            node.connections = 0
            async with norvel.aio.Client([node.address], **options) as aclient:
                if "error" in case:
                    with pytest.raises(error_class(case["error"])):
                        if case.get("pipeline"):
                            await aclient.pipeline().follow_fetch(1).follow_fetch(1).execute()
                        else:
                            await aclient.follow_fetch(1)
                else:
                    assert await aclient.follow_fetch(1) == case["result"]
                assert await aclient.follow_fetch(1) == [1]
        asyncio.run(through_asyncio())
    finally:
        node.close()


@pytest.mark.parametrize("case", FRAMES["servers"], ids=[c["name"] for c in FRAMES["servers"]])
def test_bad_server_lists_are_refused(case: dict[str, Any]) -> None:
    with pytest.raises(norvel.ConfigurationError):
        norvel.Client(case["servers"])
    with pytest.raises(norvel.ConfigurationError):
        norvel.aio.Client(case["servers"])


def test_pool_exhaustion_is_a_clear_error_and_the_pool_recovers() -> None:
    release = threading.Event()

    def slow(number: int, request: Any) -> tuple[bytes, str]:
        release.wait(5)
        return echo(number, request)
    node = FakeNode(slow)
    try:
        client = norvel.Client([node.address], timeout=5, pool_size=2, pool_timeout=0.2, routing=False)
        busy = [threading.Thread(target=client.follow_fetch, args=(n,)) for n in (1, 2)]
        for thread in busy:
            thread.start()
        time.sleep(0.2)
        started = time.monotonic()
        with pytest.raises(norvel.PoolExhausted) as caught:
            client.follow_fetch(3)
        assert 0.15 < time.monotonic() - started < 2 and node.address in str(caught.value)
        release.set()
        for thread in busy:
            thread.join()
        assert client.follow_fetch(4) == [4] and node.connections == 2
    finally:
        release.set()
        node.close()


def test_asyncio_pool_exhaustion_and_a_cancelled_request() -> None:
    release = threading.Event()

    def slow(number: int, request: Any) -> tuple[bytes, str]:
        release.wait(5)
        return echo(number, request)
    node = FakeNode(slow)

    async def scenario() -> None:
        async with norvel.aio.Client([node.address], timeout=5, pool_size=1, pool_timeout=0.2,
                                     routing=False) as client:
            busy = asyncio.ensure_future(client.follow_fetch(1))
            await asyncio.sleep(0.1)
            with pytest.raises(norvel.PoolExhausted):
                await client.follow_fetch(2)
            busy.cancel()  # its reply may still come: the connection must go with it
            await asyncio.sleep(0.05)
            release.set()
            assert await client.follow_fetch(3) == [3]
            assert node.connections == 2
    try:
        asyncio.run(scenario())
    finally:
        release.set()
        node.close()


def test_backoff_on_a_fake_clock() -> None:
    now = [100.0]
    site = Site(["a:1", "b:2", "c:3"], stream=True, routing=False, backoff=0.5, max_backoff=4.0,
                map_refresh=30, clock=lambda: now[0])
    read = norvel.protocol.follow_fetch(1)
    assert site.candidates(read) == ["a:1", "b:2", "c:3"]
    site.failed("a:1")
    assert site.candidates(read) == ["b:2", "c:3", "a:1"]
    now[0] += 0.49
    assert site.candidates(read)[0] == "b:2"
    now[0] += 0.01
    assert site.candidates(read)[0] == "a:1"
    delays = []
    for _ in range(6):  # doubling from 0.5 s, capped at 4 s
        site.failed("a:1")
        delays.append(site._health["a:1"].retry_at - now[0])
    assert delays == [1.0, 2.0, 4.0, 4.0, 4.0, 4.0]
    site.failed("b:2")
    site.failed("c:3")
    now[0] += 0.6  # every one backing off: still tried, soonest first
    assert site.candidates(read) == ["b:2", "c:3", "a:1"]
    site.succeeded("a:1")
    assert site.candidates(read)[0] == "a:1"
    lone = Site(["a:1", "b:2"], stream=False, routing=False, backoff=0.5, max_backoff=4.0,
                map_refresh=30, clock=lambda: now[0])
    lone.failed("a:1")
    assert lone.candidates(norvel.protocol.follow_add(1, [2])) == ["a:1"]


def test_a_failed_node_is_left_alone_during_its_backoff() -> None:
    now = [0.0]
    broken = FakeNode(lambda n, r: (b"", "close"))
    good = FakeNode()
    try:
        client = norvel.Client([broken.address, good.address], routing=False, backoff=1.0,
                               clock=lambda: now[0])
        assert client.follow_fetch(5) == [5] and broken.connections == 1
        assert client.follow_fetch(6) == [6] and broken.connections == 1
        now[0] += 1.0
        assert client.follow_fetch(7) == [7] and broken.connections == 2
    finally:
        broken.close()
        good.close()


def test_changes_are_never_sent_twice() -> None:
    swallow = FakeNode(lambda n, r: (b"", "close"))  # reads the change, then closes
    good = FakeNode()
    try:
        client = norvel.Client([swallow.address, good.address], stream=True, routing=False)
        with pytest.raises(norvel.ConnectionError) as caught:
            client.special_add(5, [(1, 0)])
        assert caught.value.sent and len(good.requests) == 0 and len(swallow.requests) == 1
        client.site.succeeded(swallow.address)
        with pytest.raises(norvel.ConnectionError):
            client.pipeline().follow_fetch(1).follow_add(1, [2]).execute()
        assert len(good.requests) == 0
        # A read is safe to repeat: it goes on to the next node.
        assert client.follow_fetch(9) == [9]
        # Nothing sent (no connection at all): a change may go to the next node of a stream site.
        swallow.close()
        time.sleep(0.05)
        client.site.succeeded(swallow.address)
        assert client.special_add(5, [(1, 0)]) is None and len(good.requests) == 2
        # Without a stream the nodes are separate stores: a change goes to the first one only.
        alone = norvel.Client([swallow.address, good.address], routing=False)
        with pytest.raises(norvel.ConnectionError) as caught:
            alone.follow_add(1, [2])
        assert not caught.value.sent and len(good.requests) == 2
    finally:
        good.close()


def test_shard_hash_agrees_with_the_shared_table() -> None:
    for row in ROUTING["members"]:
        assert fmix32(row["user_id"]) == row["fmix32"]
        layout = ClusterMap(ROUTING["shards"], ROUTING["partitions"], 0,
                            tuple(() for _ in range(ROUTING["shards"])))
        assert layout.shard_of(row["user_id"]) == row["shard"]


def test_routing_follows_the_map_and_refreshes_it_when_a_node_fails() -> None:
    shard_nodes = [FakeNode(), FakeNode()]
    maps = [0]

    def front(number: int, request: Any) -> tuple[bytes, str]:
        if request.get("act") == "cluster":
            maps[0] += 1
            nodes = [[{"address": n.address, "seq": 7}] for n in shard_nodes]
            return reply({"code": 200, "data": {"index": 0, "nodes": nodes, "partitions": 1024,
                                                "shards": 2}}), "stay"
        return echo(number, request)
    door = FakeNode(front)
    try:
        client = norvel.Client([door.address], routing=True)
        members = list(range(1, 40))
        for member in members:
            assert client.special_fetch_pri(member, -1, 10, 1) == [member]
            assert client.follow_fetch(member) == [member]
        for shard, node in enumerate(shard_nodes):
            routed = sorted({r["params"]["user_id"] for r in node.requests})
            assert routed == [m for m in members if fmix32(m) % 1024 % 2 == shard]
        assert maps[0] == 1 and all(r.get("act") == "cluster" for r in door.requests)
        # Any other request goes to any node (here the door).
        assert client.execute({"act": "inviter", "op": "list"}, change=False)["code"] == 200
        assert door.requests[-1]["act"] == "inviter"
        shard_nodes[1].close()
        member = next(m for m in members if fmix32(m) % 1024 % 2 == 1)
        assert client.follow_fetch(member) == [member]  # fell back to the door
        client.follow_fetch(member)
        assert maps[0] == 2  # read again after the failure
    finally:
        door.close()
        shard_nodes[0].close()


def test_a_node_without_a_map_turns_routing_off() -> None:
    node = FakeNode()  # answers the map request with data null, as a node without shards does
    try:
        client = norvel.Client([node.address])
        assert client.follow_fetch(3) == [3]
        assert client.site.cluster_map is None
        assert [r.get("act") for r in node.requests] == ["cluster", "follow"]
        client.follow_fetch(4)
        assert len(node.requests) == 3  # not asked again before map_refresh
    finally:
        node.close()


def test_threads_never_get_another_requests_reply_while_requests_time_out() -> None:
    def sometimes_late(number: int, request: Any) -> tuple[bytes, str]:
        if random.random() < 0.05:
            time.sleep(0.12)  # past the client's timeout: the reply arrives on a dead connection
        return echo(number, request)
    node = FakeNode(sometimes_late)
    wrong: list[tuple[int, Any]] = []
    timeouts = [0]
    try:
        client = norvel.Client([node.address], timeout=0.1, pool_size=4, routing=False)

        def work(seed: int) -> None:
            rng = random.Random(seed)
            for _ in range(150):
                member = rng.randrange(1 << 32)
                try:
                    if rng.random() < 0.3:
                        got = client.pipeline().follow_fetch(member).follow_fetch(member + 1).execute()
                        expected: Any = [[member], [member + 1]]
                    else:
                        got, expected = client.follow_fetch(member), [member]
                except norvel.TimeoutError:
                    timeouts[0] += 1
                    continue
                except norvel.PoolExhausted:
                    continue
                if got != expected:
                    wrong.append((member, got))
        threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert not wrong and timeouts[0] > 0
    finally:
        node.close()


def test_the_package_passes_a_strict_type_check(tmp_path: Any) -> None:
    """The annotations are part of the interface (py.typed): checked when mypy is installed."""
    import importlib.util
    import os
    import subprocess
    import sys
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    package = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "norvel")
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir",
                           str(tmp_path), package], capture_output=True, text=True, timeout=240)
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_package_installs_offline(tmp_path: Any) -> None:
    """pip install of the source folder with no index (the build backend is Debian's setuptools),
    then the installed copy imported on its own."""
    import importlib.util
    import os
    import shutil
    import subprocess
    import sys
    if importlib.util.find_spec("pip") is None or importlib.util.find_spec("setuptools") is None:
        pytest.skip("pip or setuptools is not installed")
    source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    copy = tmp_path / "src"
    shutil.copytree(source, copy, ignore=shutil.ignore_patterns("tests", "__pycache__", "build",
                                                                "*.egg-info"))
    target = tmp_path / "site"
    done = subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-index",
                           "--no-build-isolation", "--target", str(target), str(copy)],
                          capture_output=True, text=True, timeout=240)
    assert done.returncode == 0, done.stdout + done.stderr
    probe = subprocess.run([sys.executable, "-c", "import norvel, norvel.aio; print(norvel.__file__)"],
                           capture_output=True, text=True, cwd=str(tmp_path),
                           env=dict(os.environ, PYTHONPATH=str(target)), timeout=60)
    assert probe.returncode == 0 and probe.stdout.startswith(str(target)), probe.stderr
