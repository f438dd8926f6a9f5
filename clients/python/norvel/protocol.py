"""The wire protocol without any I/O: frames, the request bodies of every operation, what each
reply means, the shard layout. Shared by the blocking and the asyncio clients."""
from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import Any, Callable, Generic, Iterable, Sequence, TypeVar

from .errors import ConfigurationError, ProtocolError, RequestFailed

HEADER = 10
DEFAULT_MAX_FRAME = 16 * 1024 * 1024
_DIGITS = frozenset(b"0123456789")

T = TypeVar("T")

_dumps = json.JSONEncoder(separators=(",", ":"), ensure_ascii=False).encode
_loads = json.JSONDecoder().decode  # on text: json.loads would first guess the bytes' encoding


def frame(body: bytes) -> bytes:
    """One frame: ten zero-padded digits of length, then the body."""
    return b"%010d" % len(body) + body


def body_length(server: str, header: bytes, max_frame: int) -> int:
    """The body length a reply header announces; a header that is not ten ASCII digits or
    announces more than `max_frame` bytes is a broken connection."""
    if len(header) != HEADER or not _DIGITS.issuperset(header):
        raise ProtocolError(server, "reply header is not ten digits: %r" % header[:HEADER], sent=True)
    length = int(header)
    if length > max_frame:
        raise ProtocolError(server, "reply of %d bytes is over the limit of %d" % (length, max_frame),
                            sent=True)
    return length


def decode_reply(server: str, body: bytes) -> dict[str, Any]:
    """The reply document; anything but a JSON object with an integer "code" breaks the
    connection (the stream of replies can no longer be trusted)."""
    try:
        reply = _loads(body.decode())
    except (ValueError, UnicodeDecodeError):
        raise ProtocolError(server, "reply is not JSON: %r" % body[:80], sent=True) from None
    if not isinstance(reply, dict) or not isinstance(reply.get("code"), int):
        raise ProtocolError(server, "reply is not a norvel reply: %r" % body[:80], sent=True)
    return reply


READ, CHANGE = "read", "change"


@dataclass(slots=True)
class Request(Generic[T]):
    """One request: its body, whether it changes anything, the member it is routed by, and how
    the reply's "data" becomes the caller's value."""
    act: str
    op: str
    params: dict[str, Any]
    kind: str
    result: Callable[[Any], T]
    route_user: int | None = None
    whole: bool = False  # answer the whole reply document, {"code":0} included
    _body: bytes | None = field(default=None, repr=False)

    def document(self) -> dict[str, Any]:
        return {"act": self.act, "op": self.op, "params": self.params}

    def encode(self, min_seq: int = 0) -> bytes:
        """The framed request; a read carries "min_seq" when a session asks for it."""
        if min_seq > 0 and self.kind == READ:
            params = dict(self.params, min_seq=min_seq)
            return frame(_dumps({"act": self.act, "op": self.op, "params": params}).encode())
        if self._body is None:
            # act and op are the library's own words: only the parameters need the encoder.
            text = '{"act":"%s","op":"%s","params":%s}' % (self.act, self.op, _dumps(self.params))
            self._body = frame(text.encode())
        return self._body

    def answer(self, server: str, reply: dict[str, Any]) -> T:
        if self.whole:
            return self.result(reply)
        if reply["code"] != 200:
            raise RequestFailed(server, self.document())
        try:
            return self.result(reply.get("data"))
        except ValueError as error:
            raise ProtocolError(server, "unexpected reply to %s %s: %s" % (self.act, self.op, error),
                                sent=True) from None


def outcome(request: Request[T], server: str, reply: dict[str, Any]) -> T | RequestFailed:
    """The request's value, or its RequestFailed (a {"code":0}); ProtocolError for a reply that
    does not fit the request."""
    try:
        return request.answer(server, reply)
    except RequestFailed as failed:
        return failed


def _ids(key: str) -> Callable[[Any], list[int]]:
    def take(data: Any) -> list[int]:
        if not isinstance(data, dict) or not isinstance(data.get(key), list):
            raise ValueError("reply without %r" % key)
        ids: list[int] = data[key]
        return ids
    return take


def change_seq(data: Any) -> int | None:
    """A change's reply: None, or the stream sequence when the node answers with "seq"."""
    if isinstance(data, dict):
        seq = data.get("seq")
        return seq if isinstance(seq, int) else None
    return None


def _specials(specials: Iterable[Any]) -> list[dict[str, int]]:
    out = []
    for item in specials:
        if isinstance(item, dict):
            out.append({"spid": item["spid"], "type": item.get("type", 0)})
        else:
            spid, reader_type = item
            out.append({"spid": spid, "type": reader_type})
    return out


# ---- one builder per operation, named and with parameters as the protocol names them ----

def follow_add(user_id: int, friends: Sequence[int]) -> Request[int | None]:
    return Request("follow", "add", {"user_id": user_id, "friends": list(friends)}, CHANGE, change_seq)


def follow_del(user_id: int, friends: Sequence[int]) -> Request[int | None]:
    return Request("follow", "del", {"user_id": user_id, "friends": list(friends)}, CHANGE, change_seq)


def follow_fetch(user_id: int) -> Request[list[int]]:
    return Request("follow", "fetch", {"user_id": user_id}, READ, _ids("follows"), user_id)


def special_add(user_id: int, specials: Iterable[Any]) -> Request[int | None]:
    return Request("special", "add", {"user_id": user_id, "specials": _specials(specials)}, CHANGE,
                   change_seq)


def special_del(user_id: int, specials: Iterable[Any]) -> Request[int | None]:
    return Request("special", "del", {"user_id": user_id, "specials": _specials(specials)}, CHANGE,
                   change_seq)


def special_fetch_self(user_id: int, special_id: int, count: int, type: int) -> Request[list[int]]:
    return Request("special", "fetch_self",
                   {"user_id": user_id, "special_id": special_id, "count": count, "type": type},
                   READ, _ids("specials"))


def special_fetch_pri(user_id: int, special_id: int, count: int, type: int) -> Request[list[int]]:
    return Request("special", "fetch_pri",
                   {"user_id": user_id, "special_id": special_id, "count": count, "type": type},
                   READ, _ids("specials"), user_id)


def special_fetch_pub(special_id: int, count: int, type: int) -> Request[list[int]]:
    return Request("special", "fetch_pub", {"special_id": special_id, "count": count, "type": type},
                   READ, _ids("specials"))


def inviter_add(user_id: int, inviter_id: int) -> Request[int | None]:
    return Request("inviter", "add", {"user_id": user_id, "inviter_id": inviter_id}, CHANGE,
                   change_seq)


def inviter_list(user_id: int) -> Request[list[int]]:
    return Request("inviter", "list", {"user_id": user_id}, READ, _ids("inviters"))


def inviter_invitees(user_id: int) -> Request[list[int]]:
    return Request("inviter", "invitees", {"user_id": user_id}, READ, _ids("invitees"))


def raw(document: Any, change: bool = True) -> Request[dict[str, Any]]:
    """Any body, answered with the whole reply document (code 0 included: no RequestFailed).
    Counted as a change unless said otherwise, so it is never sent twice."""
    def whole_reply(reply: Any) -> dict[str, Any]:
        document: dict[str, Any] = reply
        return document
    request = Request("", "", {}, CHANGE if change else READ, whole_reply, whole=True)
    request._body = frame(_dumps(document).encode())
    return request


def cluster_map() -> Request[Any]:
    return Request("cluster", "map", {}, READ, lambda data: data)


BUILDERS: dict[str, Callable[..., Request[Any]]] = {
    name: globals()[name] for name in (
        "follow_add", "follow_del", "follow_fetch", "special_add", "special_del",
        "special_fetch_self", "special_fetch_pri", "special_fetch_pub", "inviter_add",
        "inviter_list", "inviter_invitees")
}


def page_cursor(page: list[int]) -> int:
    """The next page's cursor: the last id of this page (the smallest going down, the largest
    going up), which the next page never repeats."""
    return page[-1]


# ---- servers and the shard layout ----

def parse_servers(servers: Any) -> list[str]:
    """A list of "host:port" texts (or (host, port) pairs); anything else is a clear error."""
    if isinstance(servers, (str, bytes)) or not isinstance(servers, (list, tuple)) or not servers:
        raise ConfigurationError("servers: a non-empty list of \"host:port\" is needed, got %r"
                                 % (servers,))
    out = []
    for entry in servers:
        if isinstance(entry, tuple) and len(entry) == 2:
            entry = "%s:%s" % entry
        if not isinstance(entry, str):
            raise ConfigurationError("servers: %r is not \"host:port\"" % (entry,))
        host, sep, port = entry.rpartition(":")
        if not sep or not host or not port.isdigit() or not 0 < int(port) < 65536:
            raise ConfigurationError("servers: %r is not \"host:port\"" % (entry,))
        out.append("%s:%d" % (host, int(port)))
    return out


def split_address(server: str) -> tuple[str, int]:
    host, _, port = server.rpartition(":")
    return host.strip("[]"), int(port)


def fmix32(value: int) -> int:
    h = value & 0xFFFFFFFF
    h ^= h >> 16
    h = (h * 0x85EBCA6B) & 0xFFFFFFFF
    h ^= h >> 13
    h = (h * 0xC2B2AE35) & 0xFFFFFFFF
    h ^= h >> 16
    return h


@dataclass(frozen=True)
class ClusterMap:
    """The layout a node answered to {"act":"cluster","op":"map"}."""
    shards: int
    partitions: int
    index: int
    nodes: tuple[tuple[tuple[str, int], ...], ...]  # per shard: (address, applied sequence)

    @staticmethod
    def parse(data: Any) -> ClusterMap | None:
        """None for a node that has no map (it answered "data": null) or an answer that does not
        read as one: routing is off then."""
        try:
            shards, partitions = int(data["shards"]), int(data["partitions"])
            nodes = tuple(tuple((str(n["address"]), int(n.get("seq", 0))) for n in shard)
                          for shard in data["nodes"])
            if shards < 1 or partitions < 1 or len(nodes) != shards:
                return None
            return ClusterMap(shards, partitions, int(data.get("index", 0)), nodes)
        except (TypeError, KeyError, ValueError, AttributeError):
            return None

    def shard_of(self, user_id: int) -> int:
        return fmix32(user_id) % self.partitions % self.shards

    def nodes_for(self, user_id: int, min_seq: int = 0) -> list[str]:
        """The ready nodes of the member's shard, those known to have applied `min_seq` first."""
        if self.shards <= 1:
            return []
        shard = self.nodes[self.shard_of(user_id)]
        caught_up = [address for address, seq in shard if seq >= min_seq]
        return caught_up + [address for address, seq in shard if seq < min_seq]
