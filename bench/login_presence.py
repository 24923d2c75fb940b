#!/usr/bin/env python3
"""Login throughput and presence fan-out on a real zorvic-server.

Starts zorvic-server from --bin (./scripts/bench passes build-bench/bin, a Release build) in a
temporary home on a free port, creates the accounts with zorvic-sql, then measures:

1. Logins per second from 1, 10 and 100 concurrent clients. One cycle is: connect, 1000 user,
   1001 scrambled password, read "+OK 1", 2000, read "+OK Goodbye!", close. The reference is
   the same cycle without the login (connect, 2105, 2105, 2000 before login, each answered
   without touching the database), run alternately in the same process, so the ratio says
   what the login itself costs on top of a connection.

2. Presence fan-out to --listeners listening connections (default 1000): the time from a
   command session's 2017 to the moment the last listener has read that presence record, as
   p50 / p99 over --samples broadcasts. The reference is the round trip of one command (2105)
   on the same server in the same run.

  ./scripts/bench login_presence.py --seconds 5 --listeners 1000
"""
import argparse
import os
import resource
import selectors
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import harness  # noqa: E402


def percentile(values, p):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def add_users(bin_dir, home, names, password):
    text = "".join(
        f"Insert into Users (UserName, Password, GroupName, HasAdminPower, AccountDisabled) "
        f"values ('{n}', '{password}', 'Bench', False, False);" for n in names)
    subprocess.run([os.path.join(bin_dir, "zorvic-sql"), os.path.join(home, "Data"), "--bail",
                    "-c", text], check=True, capture_output=True)
    for n in names:
        os.makedirs(os.path.join(home, "Users", n), exist_ok=True)


class LineClient:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=60)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = b""

    def line(self):
        while b"\r\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError("closed")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

    def send(self, data):
        self.sock.sendall(data)

    def close(self):
        self.sock.close()


def login_cycle(port, user, scrambled):
    c = LineClient(port)
    c.send(b"1000 " + user + b"\r\n1001 " + scrambled + b"\r\n")
    if c.line() != b"+OK 1":
        raise RuntimeError("login refused")
    c.send(b"2000\r\n")
    c.line()
    c.close()


def bare_cycle(port, user, scrambled):
    c = LineClient(port)
    c.send(b"2105\r\n2105\r\n")
    c.line()
    c.line()
    c.send(b"2000\r\n")
    c.line()
    c.close()


def run_cycles(port, clients, seconds, cycle, users, scrambled):
    counts = [0] * clients
    errors = []
    stop = time.monotonic() + seconds

    def worker(i):
        user = users[i % len(users)]
        try:
            while time.monotonic() < stop:
                cycle(port, user, scrambled)
                counts[i] += 1
        except Exception as e:  # noqa: BLE001 - reported
            errors.append(repr(e))
    threads = [threading.Thread(target=worker, args=(i,)) for i in range(clients)]
    started = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise RuntimeError(errors[0])
    return sum(counts) / (time.monotonic() - started)


class Listeners:
    """Listening connections drained by one selector thread, which notes when each has read
    the presence record (name, status) the main thread waits for."""

    def __init__(self):
        self.sel = selectors.DefaultSelector()
        self.bufs = {}
        self.lock = threading.Lock()
        self.target = None
        self.seen = 0
        self.last_seen = 0.0
        self.done = threading.Event()
        self.stop = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def add(self, sock, pending=b""):
        sock.setblocking(False)
        with self.lock:
            self.bufs[sock] = bytearray(pending)
            self.parse(sock, self.bufs[sock])
            self.sel.register(sock, selectors.EVENT_READ)

    def expect(self, name, status, count):
        with self.lock:
            self.target = (name, status)
            self.expected = count
            self.seen = 0
            self.done.clear()

    def parse(self, sock, buf):
        while True:
            if len(buf) < 4:
                return
            code = struct.unpack(">i", buf[:4])[0]
            if code == 2022:
                del buf[:4]
                sock.sendall(struct.pack(">i", 1))
                continue
            if code != 1:
                raise RuntimeError(f"unexpected record {code}")
            e1 = buf.find(b"\r\n", 4)
            if e1 < 0:
                return
            e2 = buf.find(b"\r\n", e1 + 2)
            if e2 < 0 or len(buf) < e2 + 6:
                return
            name = bytes(buf[4:e1])
            status = struct.unpack(">i", buf[e2 + 2:e2 + 6])[0]
            del buf[:e2 + 6]
            if self.target == (name, status):
                if self.seen == 0:
                    self.first_seen = time.perf_counter()
                self.seen += 1
                if self.seen == self.expected:
                    self.last_seen = time.perf_counter()
                    self.done.set()

    def run(self):
        while not self.stop:
            with self.lock:
                events = self.sel.select(timeout=0.01) if self.bufs else []
                for key, _ in events:
                    try:
                        data = key.fileobj.recv(1 << 20)
                    except BlockingIOError:
                        continue
                    if not data:
                        self.sel.unregister(key.fileobj)
                        continue
                    buf = self.bufs[key.fileobj]
                    buf += data
                    self.parse(key.fileobj, buf)
            if not events:
                time.sleep(0.001)


def fan_out(server, bin_dir, listeners_count, samples, scrambled):
    names = [f"l{i:05d}" for i in range(listeners_count)]
    add_users(bin_dir, server.home, names + ["sender"], "pw")
    drain = Listeners()
    for n in names:
        c = LineClient(server.port)
        c.send(b"1000 " + n.encode() + b"\r\n1001 " + scrambled + b"\r\n")
        if c.line() != b"+OK 1":
            raise RuntimeError("listener login refused")
        c.send(b"2013\r\n")
        if c.line() != b"+OK You are now a listening socket!":
            raise RuntimeError("2013 refused")
        drain.add(c.sock, c.buf)
    time.sleep(1.0)  # let the registration broadcasts drain
    sender = LineClient(server.port)
    sender.send(b"1000 sender\r\n1001 " + scrambled + b"\r\n")
    assert sender.line() == b"+OK 1"
    latencies, firsts = [], []
    server_cpu0, driver_cpu0 = cpu_seconds(server.pid), time.process_time()
    for i in range(samples):
        status = 2 + i % 250
        drain.expect(b"sender", status, listeners_count)
        t0 = time.perf_counter()
        sender.send(b"2017 %d\r\n" % status)
        if not drain.done.wait(30):
            raise RuntimeError(f"only {drain.seen} of {listeners_count} listeners heard it")
        latencies.append(drain.last_seen - t0)
        firsts.append(drain.first_seen - t0)
    server_cpu = (cpu_seconds(server.pid) - server_cpu0) / samples
    driver_cpu = (time.process_time() - driver_cpu0) / samples
    print(f"CPU per broadcast: server {server_cpu * 1000:.1f} ms, driver {driver_cpu * 1000:.1f} ms")
    rtts = []
    for _ in range(samples):
        t0 = time.perf_counter()
        sender.send(b"2105\r\n")
        sender.line()
        rtts.append(time.perf_counter() - t0)
    drain.stop = True
    return latencies, firsts, rtts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build-bench", "bin"))
    parser.add_argument("--seconds", type=float, default=3.0, help="per login measurement")
    parser.add_argument("--clients", default="1,10,100")
    parser.add_argument("--listeners", type=int, default=1000)
    parser.add_argument("--samples", type=int, default=50)
    args = parser.parse_args()
    os.environ["ZORVIC_BIN_DIR"] = os.path.abspath(args.bin)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    scrambled = subprocess.check_output(
        [os.path.join(args.bin, "zorvic-cli"), "scramble", "pw"]).strip()

    server = harness.ServerProcess()
    try:
        users = [f"u{i:03d}".encode() for i in range(100)]
        add_users(args.bin, server.home, [u.decode() for u in users], "pw")
        print("logins per second (login cycle vs. the same cycle without login)")
        for clients in [int(c) for c in args.clients.split(",") if c]:
            login_rates, bare_rates = [], []
            for _ in range(2):  # alternate the two, twice
                login_rates.append(run_cycles(server.port, clients, args.seconds / 2,
                                              login_cycle, users, scrambled))
                bare_rates.append(run_cycles(server.port, clients, args.seconds / 2,
                                             bare_cycle, users, scrambled))
            login_rate = sum(login_rates) / 2
            bare_rate = sum(bare_rates) / 2
            print(f"  {clients:4d} clients: {login_rate:8.0f} logins/s, reference "
                  f"{bare_rate:8.0f} cycles/s, ratio {login_rate / bare_rate:.2f}", flush=True)
        latencies, firsts, rtts = fan_out(server, args.bin, args.listeners, args.samples, scrambled)
        p50, p99 = percentile(latencies, 50), percentile(latencies, 99)
        r50 = percentile(rtts, 50)
        print(f"first listener: p50 {percentile(firsts, 50) * 1000:.2f} ms")
        print(f"presence fan-out to {args.listeners} listeners: p50 {p50 * 1000:.2f} ms, "
              f"p99 {p99 * 1000:.2f} ms; one command round trip p50 {r50 * 1000:.3f} ms "
              f"(ratio p50 {p50 / r50:.0f}x)")
        print(f"server: {server.thread_count()} threads, {server.fd_count()} descriptors, "
              f"VmRSS {rss_kib(server.pid)} KiB with {args.listeners} listeners")
    finally:
        server.stop()


def cpu_seconds(pid):
    """User + system CPU of every thread of a process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


if __name__ == "__main__":
    main()
