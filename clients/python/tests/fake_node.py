"""A fake node speaking the frame protocol, for what a real daemon cannot be made to do: broken
replies, closing after an answer, answering late, a shard map. `respond(connection number,
request document)` answers (bytes to send, then) where then is "stay", "close" or "hang"; the
default answers a follow fetch with the member itself and anything else with a null data."""
from __future__ import annotations

import json
import socket
import threading
import time
from typing import Any, Callable

Respond = Callable[[int, Any], tuple[bytes, str]]


def reply(document: Any) -> bytes:
    body = json.dumps(document, separators=(",", ":"), sort_keys=True).encode() + b"\n"
    return b"%010d" % len(body) + body


def echo(_: int, request: Any) -> tuple[bytes, str]:
    if isinstance(request, dict) and request.get("op") == "fetch":
        return reply({"code": 200, "data": {"follows": [request["params"]["user_id"]]}}), "stay"
    if isinstance(request, dict) and request.get("op") in ("fetch_pri", "fetch_self"):
        return reply({"code": 200, "data": {"specials": [request["params"]["user_id"]]}}), "stay"
    return reply({"code": 200, "data": None}), "stay"


class FakeNode:
    def __init__(self, respond: Respond = echo) -> None:
        self.respond = respond
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(128)
        self.address = "127.0.0.1:%d" % self.listener.getsockname()[1]
        self.connections = 0
        self.requests: list[Any] = []
        self.lock = threading.Lock()
        self.open: list[socket.socket] = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self) -> None:
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                number = self.connections
                self.connections += 1
                self.open.append(conn)
            threading.Thread(target=self._serve, args=(conn, number), daemon=True).start()

    def _serve(self, conn: socket.socket, number: int) -> None:
        buf = b""
        try:
            while True:
                while len(buf) < 10 or len(buf) < 10 + int(buf[:10]):
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    buf += chunk
                length = int(buf[:10])
                request = json.loads(buf[10:10 + length])
                buf = buf[10 + length:]
                with self.lock:
                    self.requests.append(request)
                data, then = self.respond(number, request)
                if data:
                    conn.sendall(data)
                if then == "close":
                    return
                if then == "hang":
                    time.sleep(30)
                    return
        except (OSError, ValueError):
            return
        finally:
            conn.close()

    def close(self) -> None:
        try:
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accepting thread
        except OSError:
            pass
        self.listener.close()
        with self.lock:
            for conn in self.open:
                try:
                    conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
