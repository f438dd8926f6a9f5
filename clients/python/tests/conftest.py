"""The shared conformance data and the sites it runs on. NORVEL_DAEMON names the daemon binary
(CTest passes the one it built); without it the tests that need a real site are skipped."""
from __future__ import annotations

import json
import os
import sys
from typing import Any, Iterator

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
CONFORMANCE = os.path.join(os.path.dirname(os.path.dirname(HERE)), "conformance")
sys.path.insert(0, os.path.dirname(HERE))  # the package from the source tree
sys.path.insert(0, CONFORMANCE)

import norvel_site  # noqa: E402


def load(name: str) -> Any:
    with open(os.path.join(CONFORMANCE, name)) as f:
        return json.load(f)


@pytest.fixture(scope="module", params=["single", "stream", "sharded"])
def site(request: pytest.FixtureRequest) -> Iterator[norvel_site.Site]:
    daemon = os.environ.get("NORVEL_DAEMON")
    if not daemon:
        pytest.skip("NORVEL_DAEMON is not set")
    running = norvel_site.Site(daemon, request.param)
    try:
        yield running
    finally:
        running.close()
