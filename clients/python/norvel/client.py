"""The blocking client: a pool of connections per server, one method per operation, pipelines,
sessions that read their own writes, failover and shard routing.

Threads: a Client may be shared by any number of threads. Each server's pool has its own lock;
a connection is used by one thread at a time (taken from the pool, given back or discarded).
Pipelines and sessions belong to the thread that made them."""
from __future__ import annotations

import select
import socket
import threading
import time
from typing import Any, Callable, Iterable, Iterator, Sequence, TypeVar

from . import protocol as p
from .errors import ConfigurationError, ConnectionError, PoolExhausted, RequestFailed
from .errors import TimeoutError
from .protocol import CHANGE, HEADER, ClusterMap, Request
from .site import Site

T = TypeVar("T")
_READ_SIZE = 256 * 1024


class _Connection:
    """One TCP connection to one server. Any failure closes it for good (the caller discards
    it): after a timeout or a broken frame, the bytes still to come belong to no request."""

    __slots__ = ("server", "sock", "max_frame", "poller")

    def __init__(self, server: str, timeout: float, max_frame: int) -> None:
        self.server = server
        self.max_frame = max_frame
        host, port = p.split_address(server)
        try:
            self.sock = socket.create_connection((host, port), timeout=timeout)
        except socket.timeout:
            raise TimeoutError(server, "cannot connect within %.3f s" % timeout) from None
        except OSError as error:
            raise ConnectionError(server, "cannot connect: %s" % (error.strerror or error)) from None
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.poller: select.poll | None = None

    def close(self) -> None:
        try:
            self.sock.close()
        except OSError:
            pass

    def stale(self) -> bool:
        """True when an idle connection has been closed by its server or holds bytes nobody
        asked for: either way it must not carry another request."""
        try:
            return self.sock.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) is not None
        except BlockingIOError:
            return False
        except OSError:
            return True

    def exchange(self, payload: bytes, count: int, timeout: float) -> tuple[list[dict[str, Any]], bool]:
        """Sends `payload` (`count` framed requests) and reads `count` replies, writing and
        reading together so that a long pipeline never stalls on full buffers. Answers the
        decoded replies and whether the connection is still fit for another request."""
        deadline = time.monotonic() + timeout
        sock = self.sock
        if self.poller is None:
            self.poller = select.poll()
            self.poller.register(sock, select.POLLIN)
        sock.setblocking(False)
        pending = memoryview(payload)
        buf = bytearray()
        pos = 0
        replies: list[dict[str, Any]] = []
        sent = False
        writing = False

        def send_some() -> None:
            # As much of `pending` as the socket takes now.
            nonlocal pending, sent
            try:
                n = sock.send(pending)
                pending = pending[n:]
                sent = True
            except BlockingIOError:
                pass
            except OSError as error:
                raise ConnectionError(self.server, "send failed: %s" % error, sent=sent) from None

        try:
            while True:
                if pending and not writing:
                    send_some()
                    if pending:
                        writing = True
                        self.poller.modify(sock, select.POLLIN | select.POLLOUT)
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise TimeoutError(self.server, "no reply within %.3f s" % timeout, sent=sent)
                events = self.poller.poll(remaining * 1000.0)
                for _, mask in events:
                    if mask & select.POLLOUT and pending:
                        send_some()
                        if not pending:
                            writing = False
                            self.poller.modify(sock, select.POLLIN)
                    if mask & (select.POLLIN | select.POLLHUP | select.POLLERR):
                        try:
                            chunk = sock.recv(_READ_SIZE)
                        except BlockingIOError:
                            continue
                        except OSError as error:
                            raise ConnectionError(self.server, "receive failed: %s" % error,
                                                  sent=True) from None
                        if not chunk:
                            raise ConnectionError(
                                self.server, "connection closed by the server after %d of %d "
                                "replies" % (len(replies), count), sent=True)
                        buf += chunk
                        while len(buf) - pos >= HEADER:
                            header = buf[pos:pos + HEADER]
                            if not header.isdigit() or int(header) > self.max_frame:
                                p.body_length(self.server, bytes(header), self.max_frame)  # raises
                            end = pos + HEADER + int(header)
                            if len(buf) < end:
                                break
                            replies.append(p.decode_reply(self.server, buf[pos + HEADER:end]))
                            pos = end
                        if len(replies) >= count:
                            # More bytes than replies asked for: the stream is out of step.
                            return replies[:count], len(buf) == pos and len(replies) == count
                        if pos > _READ_SIZE:
                            del buf[:pos]
                            pos = 0
        finally:
            try:
                sock.setblocking(True)
            except OSError:
                pass


class _Pool:
    """Up to `size` connections to one server; idle ones are checked before reuse."""

    def __init__(self, server: str, size: int, timeout: float, max_frame: int,
                 pool_timeout: float) -> None:
        self.server = server
        self.size = size
        self.timeout = timeout
        self.max_frame = max_frame
        self.pool_timeout = pool_timeout
        self.cond = threading.Condition()
        self.idle: list[_Connection] = []  # guarded by cond
        self.open = 0                      # connections made and not discarded; guarded by cond
        self.closed = False

    def acquire(self) -> _Connection:
        with self.cond:
            deadline = None
            while True:
                while self.idle:
                    conn = self.idle.pop()
                    if not conn.stale():
                        return conn
                    conn.close()
                    self.open -= 1
                if self.open < self.size:
                    self.open += 1
                    break
                now = time.monotonic()
                if deadline is None:
                    deadline = now + self.pool_timeout
                if now >= deadline or not self.cond.wait(deadline - now):
                    if not self.idle and self.open >= self.size:
                        raise PoolExhausted(self.server, self.size, self.pool_timeout)
        try:
            return _Connection(self.server, self.timeout, self.max_frame)
        except BaseException:
            with self.cond:
                self.open -= 1
                self.cond.notify()
            raise

    def release(self, conn: _Connection) -> None:
        with self.cond:
            if self.closed:
                conn.close()
                self.open -= 1
            else:
                self.idle.append(conn)
            self.cond.notify()

    def discard(self, conn: _Connection) -> None:
        conn.close()
        with self.cond:
            self.open -= 1
            self.cond.notify()

    def close(self) -> None:
        with self.cond:
            self.closed = True
            for conn in self.idle:
                conn.close()
            self.open -= len(self.idle)
            self.idle.clear()


class _Operations:
    """One method per operation, each answering its plain value: ids as a list of ints, a
    change None (or its stream sequence when the node answers with one)."""

    def _call(self, request: Request[T]) -> T:
        raise NotImplementedError

    def follow_add(self, user_id: int, friends: Sequence[int]) -> int | None:
        return self._call(p.follow_add(user_id, friends))

    def follow_del(self, user_id: int, friends: Sequence[int]) -> int | None:
        return self._call(p.follow_del(user_id, friends))

    def follow_fetch(self, user_id: int) -> list[int]:
        return self._call(p.follow_fetch(user_id))

    def special_add(self, user_id: int, specials: Iterable[Any]) -> int | None:
        """`specials`: (spid, type) pairs or {"spid":..,"type":..} objects."""
        return self._call(p.special_add(user_id, specials))

    def special_del(self, user_id: int, specials: Iterable[Any]) -> int | None:
        return self._call(p.special_del(user_id, specials))

    def special_fetch_self(self, user_id: int, special_id: int, count: int, type: int) -> list[int]:
        return self._call(p.special_fetch_self(user_id, special_id, count, type))

    def special_fetch_pri(self, user_id: int, special_id: int, count: int, type: int) -> list[int]:
        return self._call(p.special_fetch_pri(user_id, special_id, count, type))

    def special_fetch_pub(self, special_id: int, count: int, type: int) -> list[int]:
        return self._call(p.special_fetch_pub(special_id, count, type))

    def inviter_add(self, user_id: int, inviter_id: int) -> int | None:
        return self._call(p.inviter_add(user_id, inviter_id))

    def inviter_list(self, user_id: int) -> list[int]:
        return self._call(p.inviter_list(user_id))

    def inviter_invitees(self, user_id: int) -> list[int]:
        return self._call(p.inviter_invitees(user_id))

    # ---- paging: every id of a list, a page at a time ----

    def _pages(self, fetch: Callable[[int, int, int], list[int]], count: int, type: int,
               special_id: int | None) -> Iterator[int]:
        if count < 1:
            raise ConfigurationError("count: a page holds at least one id")
        cursor = special_id if special_id is not None else (0 if type == 0 else -1)
        while True:
            page = fetch(cursor, count, type)
            yield from page
            if len(page) < count:
                return
            cursor = p.page_cursor(page)

    def iter_special_fetch_pri(self, user_id: int, count: int = 100, type: int = 1,
                               special_id: int | None = None) -> Iterator[int]:
        """Every id of the member's private feed, newest first (type 1, from cursor -1) or
        oldest first (type 0, from cursor 0), `count` per request."""
        return self._pages(lambda c, n, t: self.special_fetch_pri(user_id, c, n, t), count, type,
                           special_id)

    def iter_special_fetch_self(self, user_id: int, count: int = 100, type: int = 1,
                                special_id: int | None = None) -> Iterator[int]:
        return self._pages(lambda c, n, t: self.special_fetch_self(user_id, c, n, t), count, type,
                           special_id)

    def iter_special_fetch_pub(self, count: int = 100, type: int = 1,
                               special_id: int | None = None) -> Iterator[int]:
        return self._pages(lambda c, n, t: self.special_fetch_pub(c, n, t), count, type, special_id)


class Client(_Operations):
    """A site's client. `servers`: "host:port" texts. `timeout`: seconds for one request (and
    for a connect), the whole of a pipeline. `pool_size`: connections kept per server;
    `pool_timeout`: how long a request waits for one (default: `timeout`). `stream`: the nodes
    share a stream, so a change may go to any of them. `routing`: read the shard map and send
    member reads to the member's shard. `max_frame`: the largest reply accepted."""

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
        self._pools_lock = threading.Lock()
        self._map_lock = threading.Lock()

    @property
    def servers(self) -> list[str]:
        return list(self.site.servers)

    def _pool(self, server: str) -> _Pool:
        pool = self._pools.get(server)
        if pool is None:
            with self._pools_lock:
                pool = self._pools.get(server)
                if pool is None:
                    pool = _Pool(server, self.pool_size, self.timeout, self.max_frame,
                                 self.pool_timeout)
                    self._pools[server] = pool
        return pool

    def close(self) -> None:
        with self._pools_lock:
            for pool in self._pools.values():
                pool.close()

    def __enter__(self) -> Client:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # ---- one request, with failover ----

    def _send(self, server: str, requests: list[Request[Any]], payload: bytes,
              timeout: float) -> list[Any]:
        """Sends the framed `requests` on one connection of `server` and answers each one's
        value, or its RequestFailed. A reply that does not fit its request is a ProtocolError:
        the connection is discarded like after any other failure."""
        pool = self._pool(server)
        conn = pool.acquire()
        try:
            replies, reusable = conn.exchange(payload, len(requests), timeout)
            results = [p.outcome(request, server, reply) for request, reply in zip(requests, replies)]
        except BaseException:
            pool.discard(conn)
            raise
        if reusable:
            pool.release(conn)
        else:
            pool.discard(conn)
        return results

    def _call(self, request: Request[T], min_seq: int = 0) -> T:
        if request.route_user is not None and self.site.map_due():
            self.refresh_map()
        payload = request.encode(min_seq)
        last: ConnectionError | None = None
        for server in self.site.candidates(request, min_seq):
            try:
                result = self._send(server, [request], payload, self.timeout)[0]
            except ConnectionError as error:
                self.site.failed(server)
                error.request = request.document()
                if error.sent and request.kind == CHANGE:
                    raise  # it may have been applied: never sent twice
                last = error
                continue
            self.site.succeeded(server)
            if isinstance(result, RequestFailed):
                raise result
            return result  # type: ignore[no-any-return]
        assert last is not None
        raise last

    def refresh_map(self) -> ClusterMap | None:
        """Reads the shard map now (from any server); None when the site has none, which turns
        routing off until the next reading. While another thread reads it, the map known so far
        is used rather than waited for."""
        if not self._map_lock.acquire(blocking=False):
            return self.site.cluster_map
        try:
            if not self.site.map_due():
                return self.site.cluster_map
            request = p.cluster_map()
            layout = None
            for server in self.site.any_server():
                try:
                    result = self._send(server, [request], request.encode(), self.timeout)[0]
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
            self._map_lock.release()

    def execute(self, document: Any, change: bool = True) -> dict[str, Any]:
        """Sends any request body and answers the whole reply document, {"code":0} included.
        Treated as a change (never sent twice) unless `change` is False."""
        return self._call(p.raw(document, change))

    def pipeline(self, timeout: float | None = None) -> Pipeline:
        return Pipeline(self, self.timeout if timeout is None else timeout)

    def session(self, seq: int = 0) -> Session:
        """A session that reads its own writes (with the nodes' "reply_seq" on); `seq`: start
        from another session's sequence."""
        return Session(self, seq)


class Session(_Operations):
    """Remembers the highest stream sequence its changes were answered with and sends it as
    "min_seq" on its reads, so a read sees every change this session made, on whichever node
    it lands. Without "reply_seq" on the nodes changes carry no sequence and reads go as usual.
    A session belongs to one thread."""

    def __init__(self, client: Client, seq: int = 0) -> None:
        self.client = client
        self.seq = seq

    def _call(self, request: Request[T]) -> T:
        result = self.client._call(request, self.seq)
        if request.kind == CHANGE and isinstance(result, int) and not isinstance(result, bool):
            self.seq = max(self.seq, result)
        return result

    def pipeline(self, timeout: float | None = None) -> Pipeline:
        return Pipeline(self.client, self.client.timeout if timeout is None else timeout, self)


class _Queued:
    """The pipeline's side of the operations: each method queues its request."""

    def _add(self, request: Request[Any]) -> Pipeline:
        raise NotImplementedError

    def follow_add(self, user_id: int, friends: Sequence[int]) -> Pipeline:
        return self._add(p.follow_add(user_id, friends))

    def follow_del(self, user_id: int, friends: Sequence[int]) -> Pipeline:
        return self._add(p.follow_del(user_id, friends))

    def follow_fetch(self, user_id: int) -> Pipeline:
        return self._add(p.follow_fetch(user_id))

    def special_add(self, user_id: int, specials: Iterable[Any]) -> Pipeline:
        return self._add(p.special_add(user_id, specials))

    def special_del(self, user_id: int, specials: Iterable[Any]) -> Pipeline:
        return self._add(p.special_del(user_id, specials))

    def special_fetch_self(self, user_id: int, special_id: int, count: int, type: int) -> Pipeline:
        return self._add(p.special_fetch_self(user_id, special_id, count, type))

    def special_fetch_pri(self, user_id: int, special_id: int, count: int, type: int) -> Pipeline:
        return self._add(p.special_fetch_pri(user_id, special_id, count, type))

    def special_fetch_pub(self, special_id: int, count: int, type: int) -> Pipeline:
        return self._add(p.special_fetch_pub(special_id, count, type))

    def inviter_add(self, user_id: int, inviter_id: int) -> Pipeline:
        return self._add(p.inviter_add(user_id, inviter_id))

    def inviter_list(self, user_id: int) -> Pipeline:
        return self._add(p.inviter_list(user_id))

    def inviter_invitees(self, user_id: int) -> Pipeline:
        return self._add(p.inviter_invitees(user_id))

    def execute_raw(self, document: Any) -> Pipeline:
        return self._add(p.raw(document))


class Pipeline(_Queued):
    """Requests queued, then sent together on one connection of one server; the replies come
    back in the same order. A pipeline is never sent twice: if the connection breaks, execute()
    raises ConnectionError and any change in it may or may not have been applied."""

    def __init__(self, client: Client, timeout: float, session: Session | None = None) -> None:
        self.client = client
        self.timeout = timeout
        self.session = session
        self.requests: list[Request[Any]] = []

    def _add(self, request: Request[Any]) -> Pipeline:
        self.requests.append(request)
        return self

    def __len__(self) -> int:
        return len(self.requests)

    def __enter__(self) -> Pipeline:
        return self

    def __exit__(self, *exc: object) -> None:
        self.requests.clear()

    def execute(self, raise_on_error: bool = True) -> list[Any]:
        """The results in request order. A {"code":0} raises RequestFailed (after every reply
        was read, so the connection stays usable), or with `raise_on_error` False stands in the
        list as its RequestFailed."""
        requests, self.requests = self.requests, []
        if not requests:
            return []
        min_seq = self.session.seq if self.session is not None else 0
        payload = b"".join(r.encode(min_seq) for r in requests)
        client = self.client
        first = requests[0]
        if first.route_user is not None and client.site.map_due():
            client.refresh_map()
        # Where the whole pipeline goes: as a change if it holds one, else as its first read.
        kind = CHANGE if any(r.kind == CHANGE for r in requests) else first.kind
        probe: Request[Any] = Request("", "", {}, kind, lambda d: d, first.route_user)
        candidates = client.site.candidates(probe, min_seq)
        last: ConnectionError | None = None
        for server in candidates:
            try:
                results = client._send(server, requests, payload, self.timeout)
            except ConnectionError as error:
                client.site.failed(server)
                if error.sent:
                    raise  # part of it may have been applied: never sent twice
                last = error
                continue
            client.site.succeeded(server)
            return self._results(requests, results, raise_on_error)
        assert last is not None
        raise last

    def _results(self, requests: list[Request[Any]], results: list[Any],
                 raise_on_error: bool) -> list[Any]:
        failure: RequestFailed | None = None
        for request, value in zip(requests, results):
            if isinstance(value, RequestFailed):
                failure = failure or value
            elif (self.session is not None and request.kind == CHANGE and isinstance(value, int)
                    and not isinstance(value, bool)):
                self.session.seq = max(self.session.seq, value)
        if failure is not None and raise_on_error:
            raise failure
        return results
