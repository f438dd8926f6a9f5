"""The daemon's wire format for the soak and fault scripts: frames of ten zero-padded ASCII digits
giving the body's length, then the body; asyncio connections with a deadline on every wait."""
import asyncio
import json

HEADER = 10
# Seconds any single wait may take before it counts as a hang. Above the 31 s that a connect
# may spend in SYN retries while the daemon's listen queue is full.
TIMEOUT = 60.0


def frame(body):
    data = body.encode() if isinstance(body, str) else body
    return b"%010d" % len(data) + data


def request(act, op, **params):
    return json.dumps({"act": act, "op": op, "params": params}, separators=(",", ":"))


class Closed(Exception):
    """The daemon ended the connection."""


class Connection:
    def __init__(self, reader, writer):
        self.reader = reader
        self.writer = writer

    @classmethod
    async def open(cls, host="127.0.0.1", port=5000):
        reader, writer = await asyncio.wait_for(asyncio.open_connection(host, port), TIMEOUT)
        return cls(reader, writer)

    async def send(self, data):
        self.writer.write(data)
        await asyncio.wait_for(self.writer.drain(), TIMEOUT)

    async def read_frame(self):
        try:
            header = await asyncio.wait_for(self.reader.readexactly(HEADER), TIMEOUT)
            if not header.isdigit():
                raise ValueError("reply header is not ten digits: %r" % header)
            return await asyncio.wait_for(self.reader.readexactly(int(header)), TIMEOUT)
        except (asyncio.IncompleteReadError, ConnectionError) as error:
            raise Closed(str(error)) from error

    async def call(self, body):
        """Sends one request and answers the decoded reply."""
        await self.send(frame(body))
        reply = await self.read_frame()
        if not reply.endswith(b"\n"):
            raise ValueError("reply without its final line feed: %r" % reply)
        return json.loads(reply)

    async def expect_closed(self):
        """Waits for the daemon to end the connection. Answers the bytes it sent meanwhile and
        whether the end was a reset (after which bytes in flight may be lost)."""
        received = b""
        try:
            while True:
                chunk = await asyncio.wait_for(self.reader.read(65536), TIMEOUT)
                if not chunk:
                    return received, False
                received += chunk
        except ConnectionError:
            return received, True

    def abort(self):
        """Drops the connection at once, unread data and all."""
        transport = self.writer.transport
        if transport is not None:
            transport.abort()

    async def close(self):
        self.writer.close()
        try:
            await asyncio.wait_for(self.writer.wait_closed(), TIMEOUT)
        except (ConnectionError, asyncio.TimeoutError):
            pass
