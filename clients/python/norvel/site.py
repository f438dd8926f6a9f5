"""Which server a request goes to: the servers' health with its back-off, and the shard map.
No I/O: the blocking and the asyncio clients both ask it and tell it what happened.

Threads: any; one lock guards the health table and the map (never held across I/O)."""
from __future__ import annotations

import threading
import time
from dataclasses import dataclass
from typing import Any, Callable

from .errors import ConfigurationError
from .protocol import CHANGE, ClusterMap, Request, parse_servers


@dataclass
class _Health:
    failures: int = 0
    retry_at: float = 0.0


class Site:
    """The servers a client was given and what it has learnt about them.

    - Health: a server that failed is passed over until its back-off ends: `backoff` seconds
      after the first failure, doubling with each failure in a row up to `max_backoff`; one
      success clears it. When every candidate is backing off they are still tried, soonest
      first, so a request never fails without having tried a server.
    - Changes: without a stream every change goes to the first server only (two nodes without a
      stream are two separate stores; a change that failed over would split them); with a
      stream to any node, healthy ones first.
    - Routing: with a shard map, a member's `fetch_pri` and `follow fetch` go to a ready node
      of its shard first. The map is read on first need, again after `map_refresh` seconds and
      after any node failed; a node without a map turns routing off until the next read."""

    def __init__(self, servers: object, *, stream: bool, routing: bool, backoff: float,
                 max_backoff: float, map_refresh: float,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.servers = parse_servers(servers)
        if backoff < 0 or max_backoff < backoff:
            raise ConfigurationError("backoff: need 0 <= backoff <= max_backoff")
        self.stream = stream
        self.routing = routing
        self.backoff = backoff
        self.max_backoff = max_backoff
        self.map_refresh = map_refresh
        self.clock = clock
        self._lock = threading.Lock()
        self._health: dict[str, _Health] = {}
        self._map: ClusterMap | None = None
        self._map_read_at: float | None = None  # None: read it before the next routed read

    # ---- health ----

    def failed(self, server: str) -> None:
        with self._lock:
            health = self._health.setdefault(server, _Health())
            health.failures += 1
            delay = min(self.backoff * 2 ** (health.failures - 1), self.max_backoff)
            health.retry_at = self.clock() + delay
            self._map_read_at = None  # a node failed: the layout may have changed

    def succeeded(self, server: str) -> None:
        health = self._health.get(server)
        if health is not None and health.failures:
            with self._lock:
                health.failures = 0
                health.retry_at = 0.0

    def healthy(self, server: str) -> bool:
        health = self._health.get(server)
        return health is None or health.retry_at <= self.clock()

    def _by_health(self, servers: list[str]) -> list[str]:
        now = self.clock()
        up = [s for s in servers if self._health.get(s, _Health()).retry_at <= now]
        down = sorted((s for s in servers if s not in up),
                      key=lambda s: self._health[s].retry_at)
        return up + down

    # ---- where a request goes ----

    def map_due(self) -> bool:
        """True when a routed read should first (re)read the shard map."""
        if not self.routing:
            return False
        read_at = self._map_read_at
        return read_at is None or self.clock() - read_at >= self.map_refresh

    def set_map(self, layout: ClusterMap | None) -> None:
        with self._lock:
            self._map = layout
            self._map_read_at = self.clock()

    @property
    def cluster_map(self) -> ClusterMap | None:
        return self._map

    def candidates(self, request: Request[Any], min_seq: int = 0) -> list[str]:
        """The servers to try, in order."""
        with self._lock:
            if request.kind == CHANGE and not self.stream:
                return [self.servers[0]]
            routed: list[str] = []
            layout = self._map
            user = request.route_user
            if (layout is not None and isinstance(user, int) and not isinstance(user, bool)
                    and 0 <= user <= 0xFFFFFFFF):
                routed = self._by_health(layout.nodes_for(user, min_seq))
            rest = self._by_health([s for s in self.servers if s not in routed])
            if routed and not self.healthy(routed[0]):
                return rest + routed  # every node of the shard is backing off
            return routed + rest

    def any_server(self) -> list[str]:
        with self._lock:
            return self._by_health(list(self.servers))
