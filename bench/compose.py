#!/usr/bin/env python3
"""Message composition and delivery on a real zorvic-server (2003, store, push).

Starts zorvic-server from --bin (./scripts/bench passes build-bench/bin, a Release build) in a
temporary home on a free port, with DataScrambling off so that the driver spends no time on
the cipher, and measures in one run:

1. Messages per second end to end from 1, 10 and 100 senders, each message sent to a
   recipient whose listener reads the push. The reference is the round trip of one command
   (2105) from the same number of clients in the same run; the ratio says how many command
   round trips one message costs.
2. Latency from the sender's 2003 line to the recipient's push, p50 / p99, one message at a
   time and paced at --rate messages per second; reference: one 2105 round trip.
3. Attachment upload and download (2009) in MB/s for a 1 MB and a 50 MB file, and the
   server's resident memory (VmRSS) before and at its peak during each upload and download;
   reference: a plain loopback copy of the same bytes into a socket that discards them.
   --attachments-only measures this part alone.
4. Delivery cost per recipient: one message to a group of --group users (Big/?) against one
   message to a single user; (group time - single time) / group size.
5. Send-to-push latency p50 / p99 under a sustained load: --paced-senders senders, each to a
   listening recipient of its own, pacing themselves to --rate messages per second in total
   for --seconds; the achieved rate is printed beside it.

--only messages|attachments|group|sustained runs one part alone (--attachments-only is the
same as --only attachments).

  ./scripts/bench compose.py --seconds 3
"""
import argparse
import os
import resource
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


def cpu_seconds(pid):
    """The user and system CPU time the process has used so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def add_users(bin_dir, home, names, group):
    for start in range(0, len(names), 500):
        text = "".join(
            f"Insert into Users (UserName, Password, GroupName, HasAdminPower, AccountDisabled) "
            f"values ('{n}', 'pw', '{group}', False, False);" for n in names[start:start + 500])
        subprocess.run([os.path.join(bin_dir, "zorvic-sql"), os.path.join(home, "Data"),
                        "--bail", "-c", text], check=True, capture_output=True)
    for n in names:
        os.makedirs(os.path.join(home, "Users", n), exist_ok=True)


class Conn:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=120)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = b""

    def _fill(self):
        data = self.sock.recv(1 << 16)
        if not data:
            raise ConnectionError("closed")
        self.buf += data

    def line(self):
        while True:
            i = self.buf.find(b"\r\n")
            if i >= 0:
                out, self.buf = self.buf[:i], self.buf[i + 2:]
                return out
            self._fill()

    def exact(self, n):
        while len(self.buf) < n:
            self._fill()
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def int32(self):
        return struct.unpack(">i", self.exact(4))[0]

    def block(self):
        return self.exact(self.int32())

    def send(self, data):
        self.sock.sendall(data)

    def login(self, user, scrambled):
        self.send(b"1000 " + user.encode() + b"\r\n1001 " + scrambled + b"\r\n")
        reply = self.line()
        assert reply.startswith(b"+OK"), reply

    def listen(self, user, scrambled):
        self.login(user, scrambled)
        self.send(b"2013\r\n")
        assert self.line() == b"+OK You are now a listening socket!"

    def read_event(self):
        """('presence', None) or ('message', body). Consumes nothing until the whole record
        is buffered, so a time-out in between loses no bytes."""
        while True:
            parsed = self._parse_event()
            if parsed:
                return parsed
            self._fill()

    def _parse_event(self):
        b = self.buf
        if len(b) < 4:
            return None
        code = struct.unpack(">i", b[:4])[0]
        if code == 1:
            first = b.find(b"\r\n", 4)
            second = b.find(b"\r\n", first + 2) if first >= 0 else -1
            if second < 0 or len(b) < second + 6:
                return None
            self.buf = b[second + 6:]
            return "presence", None
        pos = 8
        blocks = []
        for _ in range(3):
            if len(b) < pos + 4:
                return None
            n = struct.unpack(">i", b[pos:pos + 4])[0]
            if len(b) < pos + 4 + n:
                return None
            blocks.append(b[pos + 4:pos + 4 + n])
            pos += 4 + n
        self.buf = b[pos:]
        self.last_attachments = blocks[0]
        return "message", blocks[2]

    def compose(self, recipients, body, attachment=None):
        count = 1 if attachment is not None else 0
        self.send(b"2003 %d\r\n" % count)
        assert self.line() == b"+OK Send the rest of the message"
        self.send(struct.pack(">i", 0) + recipients.encode() + b"\r\n")
        if attachment is not None:
            self.send(b"file.bin\r\n" + struct.pack(">i", len(attachment)))
            assert self.line() == b"+OK Proceed with attachment body"
            self.send(attachment)
        self.send(struct.pack(">i", len(body)))
        assert self.line() == b"+OK Send msg body"
        self.send(body)
        reply = self.line()
        assert reply == b"+OK Message sent out successfuly", reply

    def rtt(self):
        self.send(b"2105\r\n")
        self.line()

    def fetch_attachment(self, attach_id):
        """2009: the body, read straight into one buffer of its size."""
        self.send(b"2009 %d\r\n" % attach_id)
        reply = self.line()
        assert reply == b"+OK Attachment body follows", reply
        n = self.int32()
        out = bytearray(n)
        view = memoryview(out)
        have = min(n, len(self.buf))
        view[:have] = self.buf[:have]
        self.buf = self.buf[have:]
        while have < n:
            got = self.sock.recv_into(view[have:], min(n - have, 1 << 20))
            if not got:
                raise ConnectionError("closed")
            have += got
        return bytes(out)


def drain_until_message(conn):
    while True:
        kind, body = conn.read_event()
        if kind == "message":
            return body


def throughput(port, senders, receivers, listeners, count, seconds):
    done = [0] * count
    stop = time.monotonic() + seconds
    got = [0] * count

    finished = [False]

    def reader(i):
        conn = listeners[i]
        conn.sock.settimeout(0.2)
        try:
            while not (finished[0] and got[i] >= done[i]):
                try:
                    drain_until_message(conn)
                    got[i] += 1
                except TimeoutError:
                    continue
        finally:
            conn.sock.settimeout(120)

    def writer(i):
        while time.monotonic() < stop:
            senders[i].compose(receivers[i], b"benchmark message body")
            done[i] += 1

    readers = [threading.Thread(target=reader, args=(i,)) for i in range(count)]
    for t in readers:
        t.start()
    started = time.monotonic()
    writers = [threading.Thread(target=writer, args=(i,)) for i in range(count)]
    for t in writers:
        t.start()
    for t in writers:
        t.join()
    finished[0] = True
    for t in readers:
        t.join()
    elapsed = time.monotonic() - started
    return sum(got) / elapsed, sum(got)


def rtt_rate(port, conns, seconds):
    stop = time.monotonic() + seconds
    done = [0] * len(conns)

    def run(i):
        while time.monotonic() < stop:
            conns[i].rtt()
            done[i] += 1
    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(conns))]
    started = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(done) / (time.monotonic() - started)


class RssPeak:
    """The server's VmRSS in KiB before a block and at its peak while the block runs."""

    def __init__(self, pid):
        self.pid = pid
        self.before = self.peak = rss_kib(pid)
        self.sampling = True
        self.thread = threading.Thread(target=self._sample)

    def _sample(self):
        while self.sampling:
            self.peak = max(self.peak, rss_kib(self.pid))
            time.sleep(0.002)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.sampling = False
        self.thread.join()


def measure_messages(args, server, sconns, receivers, lconns):
    """Parts 1 and 2: messages per second and send-to-push latency."""
    print("messages per second, end to end (send, store, push), vs. 2105 round trips")
    for count in [int(s) for s in args.senders.split(",") if s]:
        cpu = cpu_seconds(server.pid)
        rate, messages = throughput(server.port, sconns, receivers, lconns, count, args.seconds)
        cpu = cpu_seconds(server.pid) - cpu
        ref = rtt_rate(server.port, sconns[:count], args.seconds / 2)
        print(f"  {count:4d} senders: {rate:8.0f} messages/s, reference {ref:8.0f} "
              f"round trips/s, ratio {rate / ref:.3f}; server CPU "
              f"{cpu / max(messages, 1) * 1e6:.0f} us per message", flush=True)

    latencies, rtts = [], []
    interval = 1.0 / args.rate
    sender, listener = sconns[0], lconns[0]
    for i in range(args.samples):
        started = time.perf_counter()
        sender.compose(receivers[0], b"latency sample")
        drain_until_message(listener)
        latencies.append(time.perf_counter() - started)
        t = time.perf_counter()
        sender.rtt()
        rtts.append(time.perf_counter() - t)
        left = interval - (time.perf_counter() - started)
        if left > 0:
            time.sleep(left)
    p50, p99, r50 = percentile(latencies, 50), percentile(latencies, 99), percentile(rtts, 50)
    print(f"send-to-push latency over {args.samples} messages: p50 {p50 * 1000:.2f} ms, "
          f"p99 {p99 * 1000:.2f} ms; 2105 round trip p50 {r50 * 1000:.3f} ms "
          f"(ratio p50 {p50 / r50:.1f}x)", flush=True)


def sustained_latency(sconns, receivers, lconns, count, rate, seconds):
    """Part 5: `count` senders, each paced to rate / count messages per second to a listening
    recipient of its own; a message's latency runs from just before its 2003 line to the
    moment its push is read. Returns (latencies, achieved messages per second)."""
    interval = count / rate
    starts = [[] for _ in range(count)]
    arrivals = [[] for _ in range(count)]
    finished = [False]

    def reader(i):
        conn = lconns[i]
        conn.sock.settimeout(0.2)
        try:
            while not (finished[0] and len(arrivals[i]) >= len(starts[i])):
                try:
                    drain_until_message(conn)
                    arrivals[i].append(time.perf_counter())
                except TimeoutError:
                    continue
        finally:
            conn.sock.settimeout(120)

    def writer(i, begin):
        # Senders start spread over one interval so that their messages interleave.
        due = begin + interval * i / count
        stop = begin + seconds
        while due < stop:
            left = due - time.perf_counter()
            if left > 0:
                time.sleep(left)
            starts[i].append(time.perf_counter())
            sconns[i].compose(receivers[i], b"paced message")
            due += interval

    readers = [threading.Thread(target=reader, args=(i,)) for i in range(count)]
    for t in readers:
        t.start()
    begin = time.perf_counter() + 0.05
    writers = [threading.Thread(target=writer, args=(i, begin)) for i in range(count)]
    for t in writers:
        t.start()
    for t in writers:
        t.join()
    elapsed = time.perf_counter() - begin
    finished[0] = True
    for t in readers:
        t.join()
    latencies = [a - s for i in range(count) for s, a in zip(starts[i], arrivals[i])]
    return latencies, sum(len(s) for s in starts) / elapsed


def measure_sustained(args, server, sconns, receivers, lconns):
    count = min(args.paced_senders, len(sconns))
    cpu = cpu_seconds(server.pid)
    latencies, achieved = sustained_latency(sconns, receivers, lconns, count, args.rate,
                                            args.seconds)
    cpu = cpu_seconds(server.pid) - cpu
    p50, p99 = percentile(latencies, 50), percentile(latencies, 99)
    print(f"send-to-push latency at {args.rate:.0f} messages/s from {count} paced senders "
          f"(achieved {achieved:.0f}/s, {len(latencies)} messages): p50 {p50 * 1000:.2f} ms, "
          f"p99 {p99 * 1000:.2f} ms, max {max(latencies) * 1000:.2f} ms; server CPU "
          f"{cpu / max(len(latencies), 1) * 1e6:.0f} us per message", flush=True)


def measure_group(args, sender, receivers, listener):
    """Part 4: the cost of one more recipient in a group delivery."""
    singles, groups = [], []
    for _ in range(args.group_rounds):
        t = time.perf_counter()
        sender.compose(receivers[0], b"single")
        drain_until_message(listener)
        singles.append(time.perf_counter() - t)
        t = time.perf_counter()
        sender.compose("Big/?", b"to the whole group")
        sender.rtt()  # delivery runs before the session reads its next command
        groups.append(time.perf_counter() - t)
    single, grouped = min(singles), min(groups)
    per = (grouped - single) / args.group
    print(f"group of {args.group}: {grouped * 1000:.1f} ms (best of {args.group_rounds}), one "
          f"recipient {single * 1000:.2f} ms, cost per recipient {per * 1e6:.0f} us "
          f"(ratio per recipient / single message {per / single:.3f})", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build-bench", "bin"))
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--senders", default="1,10,100")
    parser.add_argument("--samples", type=int, default=500)
    parser.add_argument("--rate", type=float, default=1000.0)
    parser.add_argument("--group", type=int, default=1000)
    parser.add_argument("--group-rounds", type=int, default=3,
                        help="group deliveries to time (the best one counts)")
    parser.add_argument("--paced-senders", type=int, default=10,
                        help="senders sharing the sustained --rate (part 5)")
    parser.add_argument("--listen-only", action="store_true",
                        help="recipients hold only a listening connection, no command session")
    parser.add_argument("--attachments-only", action="store_true",
                        help="measure only the attachment upload and download")
    parser.add_argument("--only", choices=["messages", "attachments", "group", "sustained"],
                        help="measure one part alone")
    args = parser.parse_args()
    if args.attachments_only:
        args.only = "attachments"
    wanted = lambda part: args.only in (None, part)  # noqa: E731
    os.environ["ZORVIC_BIN_DIR"] = os.path.abspath(args.bin)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    scrambled = subprocess.check_output(
        [os.path.join(args.bin, "zorvic-cli"), "scramble", "pw"]).strip()
    server = harness.ServerProcess(options={"DataScrambling": "0", "MaxUploadSize": "262144"})
    try:
        most = max([int(s) for s in args.senders.split(",") if s] + [args.paced_senders])
        senders = [f"s{i}" for i in range(most)]
        receivers = [f"r{i}" for i in range(most)]
        group = [f"g{i:04d}" for i in range(args.group)]
        add_users(args.bin, server.home, senders + receivers, "Bench")
        add_users(args.bin, server.home, group, "Big")
        sconns = []
        for s in senders:
            c = Conn(server.port)
            c.login(s, scrambled)
            sconns.append(c)
        lconns, rconns = [], []
        for r in receivers:
            if not args.listen_only:
                # A client holds its command session beside its listening connection; the
                # command session keeps the recipient's mailbox open.
                c = Conn(server.port)
                c.login(r, scrambled)
                rconns.append(c)
            c = Conn(server.port)
            c.listen(r, scrambled)
            lconns.append(c)
        print("recipients: " + ("listening connections only (each delivery opens the "
                                "mailbox)" if args.listen_only else
                                "logged in and listening, as clients are"), flush=True)
        time.sleep(1)
        for c in lconns:  # drop the presence records of the registrations
            c.sock.setblocking(False)
            try:
                while c.sock.recv(1 << 16):
                    pass
            except BlockingIOError:
                pass
            c.sock.setblocking(True)
            c.sock.settimeout(120)
            c.buf = b""

        sender, listener = sconns[0], lconns[0]
        if wanted("messages"):
            measure_messages(args, server, sconns, receivers, lconns)
        if wanted("sustained"):
            measure_sustained(args, server, sconns, receivers, lconns)
        if wanted("attachments"):
            # One small attachment first, so that opening the tables is not timed below.
            sender.compose(receivers[0], b"warm-up", b"x" * 1024)
            drain_until_message(listener)
        for megabytes in (1, 50) if wanted("attachments") else ():
            data = os.urandom(megabytes * 1024 * 1024)
            sink_a, sink_b = socket.socketpair()
            drained = threading.Thread(target=lambda: [None for _ in iter(
                lambda: sink_b.recv(1 << 20), b"")], daemon=True)
            drained.start()
            t = time.perf_counter()
            sink_a.sendall(data)
            ref = time.perf_counter() - t
            sink_a.close()
            with RssPeak(server.pid) as up:
                t = time.perf_counter()
                sender.compose(receivers[0], b"file", data)
                elapsed = time.perf_counter() - t
            drain_until_message(listener)
            print(f"upload   {megabytes:3d} MB: {megabytes / elapsed:8.1f} MB/s, reference "
                  f"loopback copy {megabytes / ref:8.1f} MB/s, ratio {ref / elapsed:.3f}; "
                  f"server VmRSS {up.before} KiB before, peak {up.peak} KiB "
                  f"(+{(up.peak - up.before) / 1024:.1f} MiB)", flush=True)
            attach_id = int(listener.last_attachments.split(b" ")[0])
            with RssPeak(server.pid) as down:
                t = time.perf_counter()
                back = sender.fetch_attachment(attach_id)
                elapsed = time.perf_counter() - t
            assert back == data, "the attachment came back changed"
            print(f"download {megabytes:3d} MB: {megabytes / elapsed:8.1f} MB/s, reference "
                  f"loopback copy {megabytes / ref:8.1f} MB/s, ratio {ref / elapsed:.3f}; "
                  f"server VmRSS {down.before} KiB before, peak {down.peak} KiB "
                  f"(+{(down.peak - down.before) / 1024:.1f} MiB)", flush=True)
        if wanted("group"):
            measure_group(args, sender, receivers, listener)
    finally:
        server.stop()


if __name__ == "__main__":
    main()
