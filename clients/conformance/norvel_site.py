"""Starts a real norvel site for the client libraries' tests: one daemon on a fresh MariaDB
database, two nodes on a three-server stream cluster (stream), or the two nodes of a site of two
shards on it (sharded, each node with its metrics page), every process on free loopback ports
with its own directory (never port 5000, never /tmp/norvel.out: the daemons run in the
foreground, their output in their directory).

As a program (how the Node tests use it):
    python3 norvel_site.py --daemon PATH --kind single|stream|sharded
prints one JSON line {"servers": [...], "metrics": [...]}, then reads commands, one a line, answering "ok" or
"error <text>": kill N (SIGKILL), start N, pause N (SIGSTOP), resume N (SIGCONT), stop N
(SIGTERM), wait N (until node N answers). End of input stops everything and drops the
database."""
from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
SEED = os.path.join(HERE, "seed.sql")
NATS = "/usr/sbin/nats-server"

DB = {
    "host": os.environ.get("NORVEL_DB_HOST", "127.0.0.1"),
    "user": os.environ.get("NORVEL_DB_USER", "norvel"),
    "passwd": os.environ.get("NORVEL_DB_PASSWORD", "norvel-local-pw"),
}


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def mariadb(sql: str, database: str | None = None) -> str:
    command = ["mariadb", "-h", DB["host"], "-P", "3306", "-u", DB["user"], "-p" + DB["passwd"],
               "--batch", "--skip-column-names"]
    if database:
        command.append(database)
    done = subprocess.run(command, input=sql.encode(), capture_output=True, timeout=60)
    if done.returncode != 0:
        raise RuntimeError("mariadb: %s (is scripts/start_test_db.sh running?)"
                           % done.stderr.decode(errors="replace").strip())
    return done.stdout.decode()


def ask(port: int, body: bytes, timeout: float = 5.0) -> bytes:
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(b"%010d" % len(body) + body)
        data = b""
        while len(data) < 10 or len(data) < 10 + int(data[:10]):
            chunk = s.recv(65536)
            if not chunk:
                raise OSError("closed")
            data += chunk
        return data[10:]


class Process:
    """One foreground process with its output in a file; stopped on close()."""

    def __init__(self, argv: list[str], cwd: str, output: str) -> None:
        self.argv, self.cwd, self.output = argv, cwd, output
        self.proc: subprocess.Popen[bytes] | None = None

    def start(self) -> None:
        with open(self.output, "ab") as out:
            self.proc = subprocess.Popen(self.argv, cwd=self.cwd, stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=subprocess.STDOUT)

    def running(self) -> bool:
        return self.proc is not None and self.proc.poll() is None

    def send(self, sig: int) -> None:
        if self.running():
            assert self.proc is not None
            self.proc.send_signal(sig)

    def stop(self, sig: int = signal.SIGTERM, timeout: float = 20.0) -> None:
        if self.proc is None:
            return
        if self.proc.poll() is None:
            if sig != signal.SIGKILL:
                self.proc.send_signal(signal.SIGCONT)  # a paused one must run to stop
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None


class Site:
    """A running site: `servers` are the nodes' "127.0.0.1:port" addresses."""

    def __init__(self, daemon: str, kind: str = "single", seed_sql: str | None = None) -> None:
        self.daemon = os.path.abspath(daemon)
        self.kind = kind
        self.seed_sql = seed_sql
        self.dir = tempfile.mkdtemp(prefix="norvel-clients-")
        self.db_name = "norvel_c_%s_%d" % (kind, os.getpid())
        self.nodes: list[Process] = []
        self.ports: list[int] = []
        self.metrics_ports: list[int] = []
        self.nats: list[Process] = []
        try:
            self._make_database()
            if kind in ("stream", "sharded"):
                self._start_stream_servers()
                for index, name in enumerate(("a", "b")):
                    self._add_node(name, index)
            else:
                self._add_node("solo", 0)
            for index in range(len(self.nodes)):
                self.nodes[index].start()
            for index in range(len(self.nodes)):
                self.wait(index)
            if kind == "sharded":
                self._wait_map()
        except BaseException:
            self.close()
            raise

    @property
    def servers(self) -> list[str]:
        return ["127.0.0.1:%d" % port for port in self.ports]

    def _make_database(self) -> None:
        for (name,) in (line.split("\t") for line in
                        mariadb("SHOW DATABASES LIKE 'norvel\\_c\\_%'").split()):
            pid = name.rsplit("_", 1)[-1]
            if pid.isdigit() and not os.path.exists("/proc/" + pid):
                mariadb("DROP DATABASE IF EXISTS `%s`" % name)
        mariadb("DROP DATABASE IF EXISTS `%s`; CREATE DATABASE `%s`" % (self.db_name, self.db_name))
        with open(os.path.join(SOURCE, "db", "schema.sql")) as schema, open(SEED) as seed:
            rows = seed.read() if self.seed_sql is None else self.seed_sql
            mariadb(schema.read() + "\n" + rows, self.db_name)

    def _start_stream_servers(self) -> None:
        ports = [(free_port(), free_port()) for _ in range(3)]
        for index, (client, cluster) in enumerate(ports):
            name = "s%d" % (index + 1)
            routes = "".join("    nats://127.0.0.1:%d\n" % other[1]
                             for j, other in enumerate(ports) if j != index)
            config = os.path.join(self.dir, name + ".conf")
            with open(config, "w") as f:
                f.write("server_name: %s\nlisten: 127.0.0.1:%d\njetstream {\n  store_dir: \"%s\"\n}\n"
                        "cluster {\n  name: norvelclients\n  listen: 127.0.0.1:%d\n  routes: [\n%s  ]\n}\n"
                        % (name, client, os.path.join(self.dir, name), cluster, routes))
            server = Process([NATS, "-c", config], self.dir, os.path.join(self.dir, name + ".out"))
            server.start()
            self.nats.append(server)
        self.stream_urls = ["nats://127.0.0.1:%d" % client for client, _ in ports]

    @property
    def metrics(self) -> list[str]:
        return ["127.0.0.1:%d" % port for port in self.metrics_ports]

    def metric(self, index: int, name: str) -> float:
        """One figure of node `index`'s metrics page (without labels), 0 when absent."""
        with socket.create_connection(("127.0.0.1", self.metrics_ports[index]), timeout=5) as s:
            s.sendall(b"GET /metrics HTTP/1.0\r\nHost: localhost\r\n\r\n")
            page = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                page += chunk
        for line in page.decode(errors="replace").splitlines():
            if line.startswith(name + " "):
                return float(line.split()[1])
        return 0.0

    def _wait_map(self, timeout: float = 60.0) -> None:
        """Until every node's map names a ready node for each shard."""
        body = b'{"act":"cluster","op":"map"}'
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                maps = [json.loads(ask(port, body)) for port in self.ports]
                if all(m.get("data") and all(m["data"]["nodes"]) for m in maps):
                    return
            except (OSError, ValueError, KeyError, TypeError):
                pass
            time.sleep(0.1)
        raise RuntimeError("the shards' map did not name every shard")

    def _add_node(self, name: str, index: int) -> None:
        node_dir = os.path.join(self.dir, name)
        os.makedirs(os.path.join(node_dir, "log"))
        port = free_port()
        config: dict[str, object] = {"DB": dict(DB, name=self.db_name, port=3306, compress=False)}
        if self.kind in ("stream", "sharded"):
            os.makedirs(os.path.join(node_dir, "snapshots"))
            stream: dict[str, object] = {
                "servers": self.stream_urls, "node": name, "replicas": 3,
                "snapshot_dir": os.path.join(node_dir, "snapshots"), "connect_timeout_s": 30,
                "reply_seq": True, "min_seq_wait_ms": 3000}
            if self.kind == "sharded":
                stream["shards"] = {"count": 2, "index": index, "registry_ttl_s": 2}
            config["stream"] = stream
        path = os.path.join(node_dir, "norvel.ini")
        with open(path, "w") as f:
            json.dump(config, f)
        argv = [self.daemon, "--config", path, "--foreground", "--listen", "127.0.0.1", "--port",
                str(port), "--log-dir", os.path.join(node_dir, "log")]
        if self.kind == "sharded":
            self.metrics_ports.append(free_port())
            argv += ["--metrics", "127.0.0.1:%d" % self.metrics_ports[-1]]
        self.nodes.append(Process(argv, node_dir, os.path.join(node_dir, "output.txt")))
        self.ports.append(port)

    def wait(self, index: int, timeout: float = 90.0) -> None:
        """Until node `index` answers a read."""
        deadline = time.monotonic() + timeout
        probe = b'{"act":"special","op":"fetch_pub","params":{"special_id":-1,"count":1,"type":1}}'
        while time.monotonic() < deadline:
            if not self.nodes[index].running():
                raise RuntimeError("node %d ended: %s" % (index, self.output(index)[-2000:]))
            try:
                ask(self.ports[index], probe, 2.0)
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("node %d did not answer: %s" % (index, self.output(index)[-2000:]))

    def output(self, index: int) -> str:
        with open(self.nodes[index].output, "rb") as f:
            return f.read().decode(errors="replace")

    def kill(self, index: int) -> None:
        self.nodes[index].stop(signal.SIGKILL)

    def stop(self, index: int) -> None:
        self.nodes[index].stop(signal.SIGTERM)

    def start(self, index: int) -> None:
        self.nodes[index].start()
        self.wait(index)

    def pause(self, index: int) -> None:
        self.nodes[index].send(signal.SIGSTOP)

    def resume(self, index: int) -> None:
        self.nodes[index].send(signal.SIGCONT)

    def close(self) -> None:
        for node in self.nodes:
            node.stop()
        for server in self.nats:
            server.stop()
        try:
            mariadb("DROP DATABASE IF EXISTS `%s`" % self.db_name)
        except (RuntimeError, OSError, subprocess.SubprocessError):
            pass
        shutil.rmtree(self.dir, ignore_errors=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--kind", choices=["single", "stream", "sharded"], default="single")
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    site = Site(args.daemon, args.kind)
    try:
        print(json.dumps({"servers": site.servers, "metrics": site.metrics}), flush=True)
        for line in sys.stdin:
            words = line.split()
            if not words:
                continue
            try:
                command, index = words[0], int(words[1])
                if command not in ("kill", "start", "pause", "resume", "stop", "wait"):
                    raise ValueError("unknown command " + command)
                getattr(site, command)(index)
                print("ok", flush=True)
            except (ValueError, IndexError, RuntimeError, OSError) as error:
                print("error %s" % error, flush=True)
    finally:
        site.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
