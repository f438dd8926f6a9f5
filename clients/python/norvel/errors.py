"""The exceptions the library raises. Every one names the server it concerns (when there is one)."""
from __future__ import annotations

import builtins
from typing import Any


class NorvelError(Exception):
    """Base of every exception this library raises."""


class ConfigurationError(NorvelError, ValueError):
    """A server list that is empty or malformed, or another option out of range."""


class RequestFailed(NorvelError):
    """The server answered {"code":0}: the operation failed and nothing was changed. The
    connection stays healthy and is reused."""

    def __init__(self, server: str, request: dict[str, Any]) -> None:
        super().__init__("%s: request failed: %s %s" % (server, request.get("act"), request.get("op")))
        self.server = server
        self.request = request


class ConnectionError(NorvelError, builtins.ConnectionError):
    """The connection broke: it could not be made, it closed, it timed out, or a reply was not a
    well-formed frame of JSON. The connection is closed and never used again, so a late reply can
    never be read as another request's.

    `sent` tells whether the request may have reached the server: when True, a change may or may
    not have been applied (the library never sends it again on its own)."""

    def __init__(self, server: str, reason: str, sent: bool = False,
                 request: dict[str, Any] | None = None) -> None:
        super().__init__("%s: %s" % (server, reason))
        self.server = server
        self.reason = reason
        self.sent = sent
        self.request = request


class TimeoutError(ConnectionError):
    """No complete reply within the client's timeout (a ConnectionError: the connection is
    discarded)."""


class ProtocolError(ConnectionError):
    """The server's bytes were not a valid reply: a header that is not ten digits, a frame over
    the limit, a body that is not a JSON object with a "code"."""


class PoolExhausted(NorvelError):
    """Every connection of a server's pool stayed busy for the whole pool timeout."""

    def __init__(self, server: str, size: int, waited: float) -> None:
        super().__init__("%s: all %d connections busy for %.3f s" % (server, size, waited))
        self.server = server
