"""The same client on asyncio: `await client.follow_fetch(5)`. The rules are the blocking
client's (norvel.client): a broken connection is discarded, a change that may have been sent is
never sent again, reads fail over, sessions send "min_seq", member reads follow the shard map.

Tasks: a Client may be shared by any number of tasks of one event loop."""
from __future__ import annotations

import asyncio
import time
from typing import Any, AsyncIterator, Awaitable, Callable, Iterable, Sequence, TypeVar

from . import protocol as p
from .client import _Queued
from .errors import ConfigurationError, ConnectionError, PoolExhausted, RequestFailed
from .errors import TimeoutError
from .protocol import CHANGE, HEADER, ClusterMap, Request
from .site import Site

T = TypeVar("T")


class _Connection:
    __slots__ = ("server", "reader", "writer", "max_frame")

    def __init__(self, server: str, reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
                 max_frame: int) -> None:
        self.server = server
        self.reader = reader
        self.writer = writer
        self.max_frame = max_frame

    @classmethod
    async def open(cls, server: str, timeout: float, max_frame: int) -> _Connection:
        host, port = p.split_address(server)
        try:
            async with asyncio.timeout(timeout):
                reader, writer = await asyncio.open_connection(host, port, limit=1 << 20)
        except (asyncio.TimeoutError, TimeoutError):
            raise TimeoutError(server, "cannot connect within %.3f s" % timeout) from None
        except OSError as error:
            raise ConnectionError(server, "cannot connect: %s" % (error.strerror or error)) from None
        return cls(server, reader, writer, max_frame)

    def close(self) -> None:
        self.writer.close()

    def stale(self) -> bool:
        """Closed by the server, or holding bytes nobody asked for."""
        return self.reader.at_eof() or bool(self.reader._buffer) or self.writer.is_closing()  # type: ignore[attr-defined]

    async def exchange(self, payload: bytes, count: int, timeout: float) -> tuple[list[dict[str, Any]], bool]:
        sent = False
        replies: list[dict[str, Any]] = []
        try:
            async with asyncio.timeout(timeout):
                self.writer.write(payload)  # the transport writes it as the socket takes it
                sent = True
                for _ in range(count):
                    header = await self.reader.readexactly(HEADER)
                    length = p.body_length(self.server, header, self.max_frame)
                    body = await self.reader.readexactly(length)
                    replies.append(p.decode_reply(self.server, body))
        except ConnectionError:
            raise  # ours (a broken frame): it is an OSError too
        except (asyncio.TimeoutError, TimeoutError):
            raise TimeoutError(self.server, "no reply within %.3f s" % timeout, sent=sent) from None
        except asyncio.IncompleteReadError:
            raise ConnectionError(self.server, "connection closed by the server after %d of %d "
                                  "replies" % (len(replies), count), sent=True) from None
        except OSError as error:
            raise ConnectionError(self.server, "connection failed: %s" % error, sent=sent) from None
        return replies, not self.stale()


class _Pool:
    def __init__(self, server: str, size: int, timeout: float, max_frame: int,
                 pool_timeout: float) -> None:
        self.server = server
        self.size = size
        self.timeout = timeout
        self.max_frame = max_frame
        self.pool_timeout = pool_timeout
        self.idle: list[_Connection] = []
        self.slots = asyncio.Semaphore(size)

    async def acquire(self) -> _Connection:
        try:
            async with asyncio.timeout(self.pool_timeout):
                await self.slots.acquire()
        except (asyncio.TimeoutError, TimeoutError):
            raise PoolExhausted(self.server, self.size, self.pool_timeout) from None
        while self.idle:
            conn = self.idle.pop()
            if not conn.stale():
                return conn
            conn.close()
        try:
            return await _Connection.open(self.server, self.timeout, self.max_frame)
        except BaseException:
            self.slots.release()
            raise

    def release(self, conn: _Connection) -> None:
        self.idle.append(conn)
        self.slots.release()

    def discard(self, conn: _Connection) -> None:
        conn.close()
        self.slots.release()

    def close(self) -> None:
        for conn in self.idle:
            conn.close()
        self.idle.clear()


class _Operations:
    async def _call(self, request: Request[T]) -> T:
        raise NotImplementedError

    async def follow_add(self, user_id: int, friends: Sequence[int]) -> int | None:
        return await self._call(p.follow_add(user_id, friends))

    async def follow_del(self, user_id: int, friends: Sequence[int]) -> int | None:
        return await self._call(p.follow_del(user_id, friends))

    async def follow_fetch(self, user_id: int) -> list[int]:
        return await self._call(p.follow_fetch(user_id))

    async def special_add(self, user_id: int, specials: Iterable[Any]) -> int | None:
        return await self._call(p.special_add(user_id, specials))

    async def special_del(self, user_id: int, specials: Iterable[Any]) -> int | None:
        return await self._call(p.special_del(user_id, specials))

    async def special_fetch_self(self, user_id: int, special_id: int, count: int,
                                 type: int) -> list[int]:
        return await self._call(p.special_fetch_self(user_id, special_id, count, type))

    async def special_fetch_pri(self, user_id: int, special_id: int, count: int,
                                type: int) -> list[int]:
        return await self._call(p.special_fetch_pri(user_id, special_id, count, type))

    async def special_fetch_pub(self, special_id: int, count: int, type: int) -> list[int]:
        return await self._call(p.special_fetch_pub(special_id, count, type))

    async def inviter_add(self, user_id: int, inviter_id: int) -> int | None:
        return await self._call(p.inviter_add(user_id, inviter_id))

    async def inviter_list(self, user_id: int) -> list[int]:
        return await self._call(p.inviter_list(user_id))

    async def inviter_invitees(self, user_id: int) -> list[int]:
        return await self._call(p.inviter_invitees(user_id))

    async def _pages(self, fetch: Callable[[int, int, int], Awaitable[list[int]]], count: int,
                     type: int, special_id: int | None) -> AsyncIterator[int]:
        if count < 1:
            raise ConfigurationError("count: a page holds at least one id")
        cursor = special_id if special_id is not None else (0 if type == 0 else -1)
        while True:
            page = await fetch(cursor, count, type)
            for each in page:
                yield each
            if len(page) < count:
                return
            cursor = p.page_cursor(page)

    def iter_special_fetch_pri(self, user_id: int, count: int = 100, type: int = 1,
                               special_id: int | None = None) -> AsyncIterator[int]:
        return self._pages(lambda c, n, t: self.special_fetch_pri(user_id, c, n, t), count, type,
                           special_id)

    def iter_special_fetch_self(self, user_id: int, count: int = 100, type: int = 1,
                                special_id: int | None = None) -> AsyncIterator[int]:
        return self._pages(lambda c, n, t: self.special_fetch_self(user_id, c, n, t), count, type,
                           special_id)

    def iter_special_fetch_pub(self, count: int = 100, type: int = 1,
                               special_id: int | None = None) -> AsyncIterator[int]:
        return self._pages(lambda c, n, t: self.special_fetch_pub(c, n, t), count, type, special_id)


class Client(_Operations):
    """norvel.Client on asyncio; the same arguments."""

    def __init__(self, servers: Sequence[str], timeout: float = 5.0, pool_size: int = 8, *,
                 stream: bool = False, routing: bool = True, pool_timeout: float | None = None,
                 max_frame: int = p.DEFAULT_MAX_FRAME, backoff: float = 0.5,
                 max_backoff: float = 30.0, map_refresh: float = 30.0,
                 clock: Callable[[], float] = time.monotonic) -> None:
        if not timeout > 0 or not isinstance(pool_size, int) or pool_size < 1 or max_frame < 1:
            raise ConfigurationError("timeout > 0, pool_size >= 1 and max_frame >= 1 are needed")
        self.site = Site(servers, stream=stream, routing=routing, backoff=backoff,
                         max_backoff=max_backoff, map_refresh=map_refresh, clock=clock)
        self.timeout = timeout
        self.pool_size = pool_size
        self.pool_timeout = timeout if pool_timeout is None else pool_timeout
        self.max_frame = max_frame
        self._pools: dict[str, _Pool] = {}
        self._map_reading = False

    def _pool(self, server: str) -> _Pool:
        pool = self._pools.get(server)
        if pool is None:
            pool = self._pools[server] = _Pool(server, self.pool_size, self.timeout,
                                               self.max_frame, self.pool_timeout)
        return pool

    async def close(self) -> None:
        for pool in self._pools.values():
            pool.close()

    async def __aenter__(self) -> Client:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    async def _send(self, server: str, requests: list[Request[Any]], payload: bytes,
                    timeout: float) -> list[Any]:
        pool = self._pool(server)
        conn = await pool.acquire()
        try:
            replies, reusable = await conn.exchange(payload, len(requests), timeout)
            results = [p.outcome(request, server, reply) for request, reply in zip(requests, replies)]
        except BaseException:  # a cancelled task too: its reply may still come
            pool.discard(conn)
            raise
        if reusable:
            pool.release(conn)
        else:
            pool.discard(conn)
        return results

    async def _call(self, request: Request[T], min_seq: int = 0) -> T:
        if request.route_user is not None and self.site.map_due():
            await self.refresh_map()
        payload = request.encode(min_seq)
        last: ConnectionError | None = None
        for server in self.site.candidates(request, min_seq):
            try:
                result = (await self._send(server, [request], payload, self.timeout))[0]
            except ConnectionError as error:
                self.site.failed(server)
                error.request = request.document()
                if error.sent and request.kind == CHANGE:
                    raise
                last = error
                continue
            self.site.succeeded(server)
            if isinstance(result, RequestFailed):
                raise result
            return result  # type: ignore[no-any-return]
        assert last is not None
        raise last

    async def refresh_map(self) -> ClusterMap | None:
        if self._map_reading:
            return self.site.cluster_map  # another task reads it: use what is known
        self._map_reading = True
        try:
            if not self.site.map_due():
                return self.site.cluster_map
            request = p.cluster_map()
            layout = None
            for server in self.site.any_server():
                try:
                    result = (await self._send(server, [request], request.encode(),
                                               self.timeout))[0]
                except ConnectionError:
                    self.site.failed(server)
                    continue
                self.site.succeeded(server)
                if not isinstance(result, RequestFailed):
                    layout = ClusterMap.parse(result)
                break
            self.site.set_map(layout)
            return layout
        finally:
            self._map_reading = False

    async def execute(self, document: Any, change: bool = True) -> dict[str, Any]:
        return await self._call(p.raw(document, change))

    def pipeline(self, timeout: float | None = None) -> Pipeline:
        return Pipeline(self, self.timeout if timeout is None else timeout)

    def session(self, seq: int = 0) -> Session:
        return Session(self, seq)


class Session(_Operations):
    """norvel.Session on asyncio."""

    def __init__(self, client: Client, seq: int = 0) -> None:
        self.client = client
        self.seq = seq

    async def _call(self, request: Request[T]) -> T:
        result = await self.client._call(request, self.seq)
        if request.kind == CHANGE and isinstance(result, int) and not isinstance(result, bool):
            self.seq = max(self.seq, result)
        return result

    def pipeline(self, timeout: float | None = None) -> Pipeline:
        return Pipeline(self.client, self.client.timeout if timeout is None else timeout, self)


class Pipeline(_Queued):
    """norvel.Pipeline on asyncio: `await pipe.execute()`."""

    def __init__(self, client: Client, timeout: float, session: Session | None = None) -> None:
        self.client = client
        self.timeout = timeout
        self.session = session
        self.requests: list[Request[Any]] = []

    def _add(self, request: Request[Any]) -> Pipeline:  # type: ignore[override]
        self.requests.append(request)
        return self

    def __len__(self) -> int:
        return len(self.requests)

    async def execute(self, raise_on_error: bool = True) -> list[Any]:
        requests, self.requests = self.requests, []
        if not requests:
            return []
        min_seq = self.session.seq if self.session is not None else 0
        payload = b"".join(r.encode(min_seq) for r in requests)
        client = self.client
        first = requests[0]
        if first.route_user is not None and client.site.map_due():
            await client.refresh_map()
        kind = CHANGE if any(r.kind == CHANGE for r in requests) else first.kind
        probe: Request[Any] = Request("", "", {}, kind, lambda d: d, first.route_user)
        last: ConnectionError | None = None
        for server in client.site.candidates(probe, min_seq):
            try:
                results = await client._send(server, requests, payload, self.timeout)
            except ConnectionError as error:
                client.site.failed(server)
                if error.sent:
                    raise
                last = error
                continue
            client.site.succeeded(server)
            failure: RequestFailed | None = None
            for request, value in zip(requests, results):
                if isinstance(value, RequestFailed):
                    failure = failure or value
                elif (self.session is not None and request.kind == CHANGE
                        and isinstance(value, int) and not isinstance(value, bool)):
                    self.session.seq = max(self.session.seq, value)
            if failure is not None and raise_on_error:
                raise failure
            return results
        assert last is not None
        raise last
