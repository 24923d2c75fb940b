#!/usr/bin/env python3
"""Command round-trip load on a real zorvic-server.

Starts zorvic-server from --bin (./scripts/bench passes build-bench/bin, a Release build) in a
temporary home on a free port, then for each client count N runs N concurrent clients that
each send M short command lines ("2105" before login, answered with an unrecognized-command
line) one at a time, reading each reply before sending the next. Reports per N:

  round trips per second (all clients together),
  p50 / p99 latency of one round trip,
  p50 / p99 of connect-to-first-reply (connect, first command, first reply).

The clients run in --procs worker processes, each a single-threaded selector loop, so the
driver itself stays light; on a small machine the driver and the server share the cores, so
the figures are a floor, not a ceiling.

  ./scripts/bench load_commands.py --clients 1,10,100,1000 --commands 1000
"""
import argparse
import multiprocessing
import os
import resource
import selectors
import socket
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import harness  # noqa: E402

COMMAND = b"2105\r\n"
EXPECTED = b"-ERR Unrecognized command in the authentication stage: 2105\r\n"


def percentile(values, p):
    if not values:
        return float("nan")
    ordered = sorted(values)
    index = min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))
    return ordered[index]


class LoadClient:
    __slots__ = ("sock", "connect_at", "sent_at", "remaining", "buffer", "first_reply")

    def __init__(self, sock, commands):
        self.sock = sock
        self.connect_at = time.perf_counter()
        self.sent_at = 0.0
        self.remaining = commands
        self.buffer = b""
        self.first_reply = None


def worker(port, clients, commands, results):
    """Runs `clients` clients to completion; puts (round-trip latencies, first-reply
    latencies, errors, start time, end time) on results."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    sel = selectors.DefaultSelector()
    latencies = []
    first = []
    errors = 0
    open_clients = 0
    started = time.perf_counter()
    for _ in range(clients):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.setblocking(False)
        client = LoadClient(s, commands)
        s.connect_ex(("127.0.0.1", port))
        sel.register(s, selectors.EVENT_WRITE, client)
        open_clients += 1
    deadline = time.monotonic() + 600
    while open_clients and time.monotonic() < deadline:
        for key, events in sel.select(timeout=1.0):
            client = key.data
            s = client.sock
            try:
                if events & selectors.EVENT_WRITE:
                    err = s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                    if err:
                        raise OSError(err, os.strerror(err))
                    client.sent_at = time.perf_counter()
                    s.send(COMMAND)
                    sel.modify(s, selectors.EVENT_READ, client)
                    continue
                chunk = s.recv(65536)
                if not chunk:
                    raise OSError("closed by the server")
                now = time.perf_counter()
                client.buffer += chunk
                while len(client.buffer) >= len(EXPECTED):
                    if not client.buffer.startswith(EXPECTED):
                        raise OSError(f"unexpected reply {client.buffer[:80]!r}")
                    client.buffer = client.buffer[len(EXPECTED):]
                    latencies.append(now - client.sent_at)
                    if client.first_reply is None:
                        client.first_reply = now - client.connect_at
                        first.append(client.first_reply)
                    client.remaining -= 1
                    if client.remaining > 0:
                        client.sent_at = time.perf_counter()
                        s.send(COMMAND)
                    else:
                        sel.unregister(s)
                        s.close()
                        open_clients -= 1
                        break
            except OSError:
                errors += 1
                sel.unregister(s)
                s.close()
                open_clients -= 1
    errors += open_clients
    results.put((latencies, first, errors, started, time.perf_counter()))


def run_round(port, clients, commands, procs):
    procs = max(1, min(procs, clients))
    share = [clients // procs + (1 if i < clients % procs else 0) for i in range(procs)]
    results = multiprocessing.Queue()
    workers = [multiprocessing.Process(target=worker, args=(port, n, commands, results))
               for n in share]
    for w in workers:
        w.start()
    latencies, first, errors, starts, ends = [], [], 0, [], []
    for _ in workers:
        lat, fst, err, start, end = results.get()
        latencies += lat
        first += fst
        errors += err
        starts.append(start)
        ends.append(end)
    elapsed = max(ends) - min(starts)  # first connect to last reply, process start excluded
    for w in workers:
        w.join()
    return {
        "clients": clients,
        "round_trips": len(latencies),
        "seconds": elapsed,
        "rate": len(latencies) / elapsed if elapsed > 0 else 0.0,
        "p50_ms": percentile(latencies, 50) * 1000,
        "p99_ms": percentile(latencies, 99) * 1000,
        "first_p50_ms": percentile(first, 50) * 1000,
        "first_p99_ms": percentile(first, 99) * 1000,
        "errors": errors,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build-bench", "bin"))
    parser.add_argument("--clients", default="1,10,100,1000")
    parser.add_argument("--commands", type=int, default=1000, help="commands per client")
    parser.add_argument("--procs", type=int, default=max(1, (os.cpu_count() or 2) // 2))
    parser.add_argument("--port", type=int, default=0, help="use a running server on this port")
    args = parser.parse_args()
    os.environ["ZORVIC_BIN_DIR"] = os.path.abspath(args.bin)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    server = None
    port = args.port
    if not port:
        server = harness.ServerProcess()
        port = server.port
    try:
        print(f"{'clients':>8} {'round trips':>12} {'rt/s':>10} {'p50 ms':>8} {'p99 ms':>8} "
              f"{'first p50':>10} {'first p99':>10} {'errors':>7}", flush=True)
        failed = False
        for clients in (int(c) for c in args.clients.split(",")):
            r = run_round(port, clients, args.commands, args.procs)
            failed = failed or r["errors"] > 0
            print(f"{r['clients']:>8} {r['round_trips']:>12} {r['rate']:>10.0f} "
                  f"{r['p50_ms']:>8.3f} {r['p99_ms']:>8.3f} {r['first_p50_ms']:>10.3f} "
                  f"{r['first_p99_ms']:>10.3f} {r['errors']:>7}", flush=True)
    finally:
        if server is not None:
            server.stop()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
