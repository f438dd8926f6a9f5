"""Runs the built daemon the way an operator does, for the soak and fault scripts.

The script makes itself a child subreaper, so the detached daemon (the grandchild of the process
it starts) is re-parented to it: its exit status can then be collected, and its resident memory
read from /proc. The daemon always uses port 5000, /var/log/norvel and /tmp/norvel.out; the
calling shell script gives it private ones by running everything in its own network and mount
namespaces."""
import ctypes
import glob
import json
import os
import signal
import socket
import subprocess
import time

PR_SET_CHILD_SUBREAPER = 36
PORT = 5000
LOG_DIR = "/var/log/norvel"
OUTPUT = "/tmp/norvel.out"


def become_subreaper():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def port_accepts(port=PORT):
    with socket.socket() as probe:
        probe.settimeout(1.0)
        return probe.connect_ex(("127.0.0.1", port)) == 0


def read_stat(pid):
    """(command, state, parent pid, process group, session) of a process, or None when it is
    gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            text = f.read()
    except OSError:
        return None
    command = text[text.index("(") + 1:text.rindex(")")]
    fields = text[text.rindex(")") + 2:].split()
    return command, fields[0], int(fields[1]), int(fields[2]), int(fields[3])


def children():
    me = os.getpid()
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            stat = read_stat(int(entry))
            if stat is not None and stat[2] == me:
                found.append((int(entry), stat))
    return found


def rss_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def open_descriptors(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return 0


def exit_status(status):
    if os.WIFEXITED(status):
        return os.WEXITSTATUS(status)
    if os.WIFSIGNALED(status):
        return 128 + os.WTERMSIG(status)
    return -1


class Daemon:
    """One run of the daemon binary in a working directory with its configuration file."""

    def __init__(self, binary, work_dir, db_settings, env=None, args=None):
        self.binary = os.path.abspath(binary)
        self.args = list(args or [])
        self.work_dir = work_dir
        self.env = dict(os.environ, **(env or {}))
        self.pid = 0
        self.status = None
        self.launch_output = ""
        self.launch_status = None
        config_dir = os.path.join(work_dir, "data", "config")
        os.makedirs(config_dir, exist_ok=True)
        with open(os.path.join(config_dir, "norvel.config.ini"), "w") as f:
            json.dump({"DB": db_settings}, f)

    def launch(self, timeout=120.0):
        """Starts the binary; answers when the launching process has exited (status kept) and
        the detached daemon is known, even if it has ended already."""
        launcher = subprocess.run([self.binary] + self.args, cwd=self.work_dir, env=self.env,
                                  stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=timeout)
        self.launch_status = launcher.returncode
        self.launch_output = (launcher.stdout + launcher.stderr).decode(errors="replace")
        if self.launch_status != 0:
            return  # it did not detach
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for pid, stat in children():
                if stat[0] == os.path.basename(self.binary)[:15] and stat[4] != pid:
                    self.pid = pid  # re-parented to us and not a session leader: the daemon
            self.reap_others()
            if self.pid:
                return
            time.sleep(0.02)
        raise RuntimeError("the detached daemon did not appear")

    def reap_others(self):
        """Collects the intermediate process of the second fork: a session leader."""
        for pid, (_, state, _, _, session) in children():
            if state == "Z" and pid != self.pid and session == pid:
                os.waitpid(pid, 0)

    def wait_listening(self, timeout=300.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if port_accepts():
                return True
            if self.pid and self.poll() is not None:
                return False
            time.sleep(0.1)
        return False

    def poll(self):
        """The exit status if the daemon has ended, else None."""
        pid, status = os.waitpid(self.pid, os.WNOHANG)
        if pid == 0:
            return None
        self.status = exit_status(status)
        return self.status

    def wait_exit(self, timeout=120.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            status = self.poll()
            if status is not None:
                return status
            time.sleep(0.05)
        return None

    def stop(self, sig=signal.SIGTERM, timeout=120.0):
        os.kill(self.pid, sig)
        return self.wait_exit(timeout)

    def kill(self):
        if not self.pid:
            return
        try:
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass

    def rss_kib(self):
        return rss_kib(self.pid)

    def descriptors(self):
        return open_descriptors(self.pid)


def event_log_paths():
    return sorted(glob.glob(os.path.join(LOG_DIR, "norvel_*.txt")))


def file_sizes():
    """Where the event log files and the output end now, so later checks read only what follows."""
    return {path: os.path.getsize(path) for path in event_log_paths() + [OUTPUT]
            if os.path.exists(path)}


def read_event_log():
    text = []
    for path in event_log_paths():
        with open(path, "rb") as f:
            text.append(f.read().decode(errors="replace"))
    return "".join(text)


def read_output():
    try:
        with open(OUTPUT, "rb") as f:
            return f.read().decode(errors="replace")
    except OSError:
        return ""


def grep_count(path, needle, start=0):
    """Lines of a (possibly large) file from offset `start` on containing `needle`, read in a
    stream."""
    count = 0
    with open(path, "rb") as f:
        f.seek(start)
        for line in f:
            if needle in line:
                count += 1
    return count


def file_contains(path, needle, start=0):
    chunk_size = 1 << 20
    overlap = len(needle)
    with open(path, "rb") as f:
        f.seek(start)
        tail = b""
        while True:
            chunk = f.read(chunk_size)
            if not chunk:
                return False
            if needle in tail + chunk:
                return True
            tail = chunk[-overlap:]
