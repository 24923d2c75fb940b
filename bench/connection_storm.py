#!/usr/bin/env python3
"""Connection storm and resident memory per session on a real zorvic-server.

Storm: N clients connect at the same moment (as when a restarted server sees every client
reconnect), each sends one command line ("2105", answered before login with an
unrecognized-command line) as soon as its connection is up, and waits for the reply. Reported
per N: the time until the last client has its reply, the p50 / p99 of connect-to-reply, and
how many clients got no reply within --deadline seconds. The same storm runs, in the same run,
against two reference listeners on the same machine (a minimal single-threaded server in this
script that answers every line with one line): one listening with the system's maximum
backlog and one with a backlog of 100, so the figures can be read as ratios.

Memory: the server's resident set (VmRSS) with N idle connections and with N logged-in
sessions, minus its resident set before them, divided by N. Logged-in sessions need N
accounts with their folders (created with zorvic-sql before the server answers them) and one
open mailbox each (three files); when the open-file limit cannot hold N mailboxes, that size
is measured with all sessions logged in as one user (one shared mailbox), and the cost of a
mailbox is measured separately at the size that fits. Each size runs on a server of its own,
so that memory freed by one size's sessions is not reused by the next. The growth of a logged-in session is
also broken down by kind of mapping (/proc/PID/smaps): thread stacks, the allocator's thread
arenas, the main heap, other anonymous memory and file mappings.

With --mail N every mailbox holds N messages, which each session lists (2005) and fetches
(2004) after its login, so the memory shows what the mailbox caches hold once used.

  ./scripts/bench connection_storm.py --storm 5000,10000 --memory 1000,10000
"""
import argparse
import multiprocessing
import os
import resource
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import harness  # noqa: E402

COMMAND = b"2105\r\n"


def percentile(values, p):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def raise_fd_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return hard


# ---------------------------------------------------------------------------- storm clients
def storm_worker(port, count, start_at, deadline, out):
    """Connects `count` clients at start_at, sends COMMAND on each, times the first reply."""
    raise_fd_limit()
    while time.time() < start_at:
        time.sleep(0.0005)
    t0 = time.perf_counter()
    sel = selectors.DefaultSelector()
    socks = []
    for _ in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        sel.register(s, selectors.EVENT_WRITE, [s, b""])
        socks.append(s)
    latencies = []
    pending = count
    end = t0 + deadline
    while pending and time.perf_counter() < end:
        for key, events in sel.select(timeout=0.05):
            s, buf = key.data
            if events & selectors.EVENT_WRITE:
                if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                    sel.unregister(s)  # refused or reset: counts as unanswered
                    continue
                try:
                    s.send(COMMAND)
                except OSError:
                    sel.unregister(s)
                    continue
                sel.modify(s, selectors.EVENT_READ, key.data)
            elif events & selectors.EVENT_READ:
                try:
                    chunk = s.recv(256)
                except OSError:
                    chunk = b""
                if not chunk:
                    sel.unregister(s)
                    continue
                key.data[1] = buf + chunk
                if b"\n" in key.data[1]:
                    latencies.append(time.perf_counter() - t0)
                    sel.unregister(s)
                    pending -= 1
    for s in socks:
        s.close()
    out.put(latencies)


def run_storm(port, clients, procs, deadline):
    queue = multiprocessing.Queue()
    start_at = time.time() + 0.5
    share = [clients // procs + (1 if i < clients % procs else 0) for i in range(procs)]
    workers = [multiprocessing.Process(target=storm_worker,
                                       args=(port, n, start_at, deadline, queue))
               for n in share if n]
    for w in workers:
        w.start()
    latencies = []
    for _ in workers:
        latencies.extend(queue.get())
    for w in workers:
        w.join()
    return latencies


# ---------------------------------------------------------------------- reference listener
def reference_server(port, backlog, ready, stop):
    """Single-threaded: accepts, answers every line with one line, closes on EOF."""
    raise_fd_limit()
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(backlog)
    listener.setblocking(False)
    sel = selectors.DefaultSelector()
    sel.register(listener, selectors.EVENT_READ, None)
    ready.set()
    reply = b"-ERR Unrecognized command in the authentication stage: 2105\r\n"
    while not stop.is_set():
        for key, _ in sel.select(timeout=0.1):
            if key.data is None:
                while True:
                    try:
                        conn, _ = listener.accept()
                    except BlockingIOError:
                        break
                    conn.setblocking(False)
                    sel.register(conn, selectors.EVENT_READ, b"")
            else:
                conn = key.fileobj
                try:
                    data = conn.recv(4096)
                except OSError:
                    data = b""
                if not data:
                    sel.unregister(conn)
                    conn.close()
                    continue
                if b"\n" in data:
                    conn.send(reply)
    listener.close()


class Reference:
    def __init__(self, backlog):
        self.port = harness.free_port()
        self.ready = multiprocessing.Event()
        self.stop_event = multiprocessing.Event()
        self.proc = multiprocessing.Process(target=reference_server,
                                            args=(self.port, backlog, self.ready, self.stop_event))

    def __enter__(self):
        self.proc.start()
        self.ready.wait(10)
        return self

    def __exit__(self, *exc):
        self.stop_event.set()
        self.proc.join(10)
        if self.proc.is_alive():
            self.proc.kill()


# ------------------------------------------------------------------------------ memory
def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


STACK_KIB = 2048          # a connection thread's stack (Release build)
ARENA_ALIGN = 64 << 20    # the allocator's thread arenas are reserved at 64 MiB boundaries
KINDS = ("thread stacks", "malloc arenas", "main heap", "other anonymous", "files")


def smaps_kinds(pid):
    """Resident KiB of the process by kind of mapping, from /proc/PID/smaps."""
    kinds = dict.fromkeys(KINDS, 0)
    current = None
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            head = line.split()
            if not head:
                continue
            if "-" in head[0] and len(head) >= 5 and not head[0].endswith(":"):
                start, end = (int(x, 16) for x in head[0].split("-"))
                path = head[5] if len(head) > 5 else ""
                size_kib = (end - start) // 1024
                if path == "[heap]":
                    current = "main heap"
                elif path.startswith("/") or path.startswith("[v"):
                    current = "files"
                elif path == "[stack]" or (path == "" and abs(size_kib - STACK_KIB) <= 64
                                           and "rw" in head[1]):
                    current = "thread stacks"
                elif path == "" and start % ARENA_ALIGN == 0:
                    current = "malloc arenas"
                else:
                    current = "other anonymous"
            elif head[0] == "Rss:" and current:
                kinds[current] += int(head[1])
    return kinds


def kinds_delta(after, before, count):
    return {k: (after[k] - before[k]) * 1024 / count for k in KINDS}


def settle(pid, seconds=1.0):
    time.sleep(seconds)
    return rss_kib(pid)


def sql(home, text):
    # On standard input: a batch of statements is longer than one argument may be.
    subprocess.run([os.path.join(harness.bin_dir(), "zorvic-sql"), os.path.join(home, "Data"),
                    "--bail"], input=text.encode(), check=True, capture_output=True, timeout=600)


def scrambled(password):
    return subprocess.check_output([os.path.join(harness.bin_dir(), "zorvic-cli"), "scramble",
                                    "--", password]).decode().strip()


MESSAGES_DDL = ("Create Table IF NOT EXISTS Messages(MessageID AUTOINC,MessageDate TIMESTAMP,"
                "Size INTEGER,Priority INTEGER,Attachments MEMO,From VARCHAR(100),"
                "To VARCHAR(250),Body MEMO,Primary Key (MessageID));")


def seed_mailboxes(home, names, messages):
    """Stores `messages` messages with 2 KB bodies in each user's mailbox, through zorvic-sql."""
    body = "m" * 2000
    text = MESSAGES_DDL + "".join(
        "Insert into Messages (MessageDate, Size, Priority, Attachments, \"From\", \"To\", "
        f"Body) values ('2026-12-09 10:00:00', 2000, 0, '', 'alice', 'bob', '{body}');"
        for _ in range(messages))
    for n in names:
        subprocess.run([os.path.join(harness.bin_dir(), "zorvic-sql"),
                        os.path.join(home, "Users", n), "--bail"], input=text.encode(),
                       check=True, capture_output=True, timeout=600)


def read_exact(s, n, buf):
    while len(buf[0]) < n:
        chunk = s.recv(65536)
        if not chunk:
            raise RuntimeError("connection closed during a mailbox command")
        buf[0] += chunk
    data, buf[0] = buf[0][:n], buf[0][n:]
    return data


def read_reply_line(s, buf):
    while b"\n" not in buf[0]:
        chunk = s.recv(65536)
        if not chunk:
            raise RuntimeError("connection closed during a mailbox command")
        buf[0] += chunk
    line, buf[0] = buf[0].split(b"\n", 1)
    return line.strip()


def read_mailbox(s):
    """Lists the mailbox (2005) and fetches every message in it (2004), as a client would."""
    buf = [b""]
    s.sendall(b"2005\r\n")
    if not read_reply_line(s, buf).startswith(b"+OK"):
        raise RuntimeError("2005 refused")
    size = int.from_bytes(read_exact(s, 4, buf), "big")
    ids = read_exact(s, size, buf)
    for i in range(0, len(ids), 4):
        s.sendall(f"2004 {int.from_bytes(ids[i:i + 4], 'little')}\r\n".encode())
        if not read_reply_line(s, buf).startswith(b"+OK"):
            raise RuntimeError("2004 refused")
        for _ in range(3):
            read_exact(s, int.from_bytes(read_exact(s, 4, buf), "big"), buf)


def open_sessions(port, count, names=None, password=None, mail=False):
    """Opens `count` connections; with names, logs each one in (1000, 1001). Returns sockets."""
    socks = []
    for i in range(count):
        s = socket.create_connection(("127.0.0.1", port), timeout=30)
        if names is not None:
            name = names[i % len(names)]
            s.sendall(f"1000 {name}\r\n1001 {password}\r\n".encode())
            reply = b""
            while b"\n" not in reply:
                chunk = s.recv(256)
                if not chunk:
                    raise RuntimeError(f"connection closed during login of {name}")
                reply += chunk
            if not reply.startswith(b"+OK"):
                raise RuntimeError(f"login of {name} refused: {reply!r}")
            if mail:
                read_mailbox(s)
        socks.append(s)
    return socks


def prepare_accounts(server, home, names, messages):
    """Accounts in batches, each batch one zorvic-sql run, with their folders and mail."""
    for start in range(0, len(names), 2000):
        sql(home, "".join(
            f"Insert into Users (UserName, Password, GroupName, HasAdminPower, "
            f"AccountDisabled) values ('{n}', 'pw', 'Staff', False, False);\n"
            for n in names[start:start + 2000]))
    for n in names:
        os.makedirs(os.path.join(home, "Users", n), exist_ok=True)
    if messages:
        seed_mailboxes(home, names, messages)


def measure_memory(sizes, distinct_limit, messages=0):
    """Per-session resident memory for idle and logged-in sessions at each size, each size on
    a server of its own: memory that one size's sessions freed stays resident in the
    allocator and would be reused by the next size's, which would then look cheaper."""
    results = []
    password = scrambled("pw")
    for size in sizes:
        home = tempfile.mkdtemp(prefix="zorvic-bench-")
        try:
            distinct = size <= distinct_limit
            names = [f"u{i:05d}" for i in range(size if distinct else 1)]
            with harness.ServerProcess(home=home) as server:
                prepare_accounts(server, home, names, messages)
                # One session first, so the work pool's threads and the shared tables are in
                # the baseline rather than in the first size's figure.
                for s in open_sessions(server.port, 1, names, password, mail=messages > 0):
                    s.close()
                harness.wait_until(lambda: server.fd_count() < 64, timeout=60)
                base = settle(server.pid)
                idle = open_sessions(server.port, size)
                idle_kib = settle(server.pid) - base
                for s in idle:
                    s.close()
                harness.wait_until(lambda: server.fd_count() < 64, timeout=60)
                base = settle(server.pid)
                base_kinds = smaps_kinds(server.pid)
                logged = open_sessions(server.port, size, names, password, mail=messages > 0)
                logged_kib = settle(server.pid) - base
                kinds = kinds_delta(smaps_kinds(server.pid), base_kinds, size)
                fds = server.fd_count()
                for s in logged:
                    s.close()
                harness.wait_until(lambda: server.fd_count() < 64, timeout=120)
                results.append((size, idle_kib * 1024 / size, logged_kib * 1024 / size,
                                "own" if distinct else "one shared", fds, kinds))
        finally:
            shutil.rmtree(home, ignore_errors=True)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "bin"))
    parser.add_argument("--storm", default="5000,10000", help="client counts of the storm")
    parser.add_argument("--memory", default="1000,10000", help="session counts for memory")
    parser.add_argument("--procs", type=int, default=4, help="client worker processes")
    parser.add_argument("--mail", type=int, default=0,
                        help="messages (2 KB bodies) in each mailbox, listed and fetched by "
                             "every session after its login, so the mailbox caches fill")
    parser.add_argument("--deadline", type=float, default=15.0,
                        help="seconds a storm client waits for its reply")
    args = parser.parse_args()
    os.environ["ZORVIC_BIN_DIR"] = os.path.abspath(args.bin)
    hard = raise_fd_limit()
    storm_sizes = [int(x) for x in args.storm.split(",") if x]
    memory_sizes = [int(x) for x in args.memory.split(",") if x]

    print(f"open-file limit {hard}; somaxconn "
          f"{open('/proc/sys/net/core/somaxconn').read().strip()}; {os.cpu_count()} cores")
    if storm_sizes:
        print("\nconnection storm: all clients connect at once, one command each")
        print(f"{'clients':>8} {'target':<22} {'last reply s':>12} {'p50 ms':>8} {'p99 ms':>8}"
              f" {'unanswered':>10} {'vs ref':>7}")
        for n in storm_sizes:
            rows = []
            with harness.ServerProcess() as server:
                rows.append(("zorvic-server", run_storm(server.port, n, args.procs,
                                                        args.deadline)))
            with Reference(65535) as ref:  # cut to the system maximum by the kernel
                rows.append(("reference, max backlog", run_storm(ref.port, n, args.procs,
                                                                 args.deadline)))
            with Reference(100) as ref:
                rows.append(("reference, backlog 100", run_storm(ref.port, n, args.procs,
                                                                 args.deadline)))
            ref_last = max(rows[1][1]) if rows[1][1] else float("nan")
            for name, lat in rows:
                last = max(lat) if lat else float("nan")
                print(f"{n:>8} {name:<22} {last:>12.2f} {percentile(lat, 50) * 1000:>8.1f}"
                      f" {percentile(lat, 99) * 1000:>8.1f} {n - len(lat):>10}"
                      f" {last / ref_last:>7.2f}")
    if memory_sizes:
        # Each logged-in session with its own mailbox holds its socket and three table files.
        distinct_limit = max(1, (hard - 256) // 4)
        print("\nresident memory per session (VmRSS growth / sessions)"
              + (f"; each session listed and fetched {args.mail} messages" if args.mail else ""))
        print(f"{'sessions':>8} {'idle B':>9} {'logged-in B':>12} {'mailboxes':>11} {'fds':>7}")
        results = measure_memory(memory_sizes, distinct_limit, args.mail)
        for size, idle, logged, boxes, fds, _ in results:
            print(f"{size:>8} {idle:>9.0f} {logged:>12.0f} {boxes:>11} {fds:>7}")
        print("\nlogged-in session by kind of memory (smaps Rss growth / sessions, bytes)")
        print(f"{'sessions':>8} " + " ".join(f"{k:>15}" for k in KINDS))
        for size, _, _, _, _, kinds in results:
            print(f"{size:>8} " + " ".join(f"{kinds[k]:>15.0f}" for k in KINDS))


if __name__ == "__main__":
    main()
