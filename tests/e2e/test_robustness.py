"""Bad input, many clients and vanishing clients: the server never crashes, keeps serving the
others, and gives back every thread and descriptor a session used."""

# Runs alone: its timing must not be disturbed by other modules running beside it.
E2E_SERIAL = True

import random
import resource
import socket
import struct
import time
import unittest

from harness import Client, ProtocolError, ServerProcess, wait_until

AUTH_ERR = "-ERR Unrecognized command in the authentication stage: "
SETTLE_SECONDS = 20.0


def raise_fd_limit(wanted):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < wanted:
        new = wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (new, hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


def settled_counts(server):
    """Thread and descriptor counts once they stop changing (sessions that just ended may
    still be finishing)."""
    last = None
    for _ in range(40):
        now = (server.thread_count(), server.fd_count())
        if now == last:
            return now
        last = now
        time.sleep(0.25)
    return last


class BadInputTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess()
        cls.witness = cls.server.connect()  # a well-behaved client that must stay served

    @classmethod
    def tearDownClass(cls):
        cls.witness.close()
        cls.server.stop()

    def assert_still_serving(self):
        self.assertTrue(self.server.running(), self.server.output_text())
        self.assertEqual(self.witness.command("2105"), AUTH_ERR + "2105")
        with self.server.connect() as fresh:
            self.assertEqual(fresh.command("2001"), AUTH_ERR + "2001")

    def test_binary_garbage_and_nul_bytes(self):
        seed = random.randrange(1 << 30)
        rng = random.Random(seed)
        with self.server.connect() as c:
            c.send_raw(b"\x00\x00\x00\r\n")
            self.assertEqual(c.read_line(), AUTH_ERR + "-1", f"seed {seed}")
            c.send_raw(b"2105\x00\r\n")
            self.assertEqual(c.read_line(), AUTH_ERR + "-1", f"seed {seed}")
            garbage = bytes(rng.randrange(256) for _ in range(20000))
            c.send_raw(garbage + b"\r\n2105\r\n")
            # Whatever the garbage made of it, the session still answers, and every reply is
            # a whole unrecognized-command line.
            deadline = time.monotonic() + 20
            while True:
                line = c.read_line()
                self.assertTrue(line.startswith(AUTH_ERR), f"seed {seed}: {line!r}")
                if line == AUTH_ERR + "2105":
                    break
                self.assertLess(time.monotonic(), deadline, f"seed {seed}")
        self.assert_still_serving()

    def test_overlong_lines_without_an_end(self):
        with self.server.connect() as c:
            c.send_raw(b"9" * 100000)
            replies = []
            while True:
                try:
                    replies.append(c.read_line(timeout=2.0))
                except ProtocolError:
                    break
            # One empty line (code -1) per 2048 or so characters; the unfinished rest is
            # dropped when its time runs out.
            self.assertGreaterEqual(len(replies), 40)
            self.assertEqual(set(replies), {AUTH_ERR + "-1"})
            # The unfinished tail is still being collected: ending it gives one more -1.
            self.assertEqual(c.command(""), AUTH_ERR + "-1")
            self.assertEqual(c.command("2105"), AUTH_ERR + "2105")
        self.assert_still_serving()

    def test_clients_that_vanish_mid_line(self):
        for i in range(30):
            c = self.server.connect()
            c.send_raw(b"210" if i % 3 else b"A" * 5000)
            if i % 2:
                c.abort()  # reset
            else:
                c.close()  # FIN
        self.assert_still_serving()

    def test_client_that_stops_reading(self):
        # Replies pile up until the server's send gives up; the server must not hang or crash.
        c = self.server.connect(timeout=3)
        c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        try:
            for _ in range(200):
                c.send_raw(b"2105\r\n" * 500)
        except OSError:
            pass  # the server gave up on us
        self.assert_still_serving()
        c.abort()

    def test_silent_client_is_never_dropped(self):
        with self.server.connect() as c:
            # Longer than the server's 10 s wait for a command, so the session re-checks once.
            self.assertTrue(c.is_open(11.0))
            self.assertEqual(c.command("2105"), AUTH_ERR + "2105")


class ManyClientsTest(unittest.TestCase):
    CLIENTS = 2000

    def test_two_thousand_clients_at_once(self):
        limit = raise_fd_limit(self.CLIENTS + 200)
        if limit < self.CLIENTS + 100:
            self.skipTest(f"descriptor limit {limit} too low")
        with ServerProcess() as server:
            clients = []
            try:
                for _ in range(self.CLIENTS):
                    clients.append(Client(server.port, timeout=30))
                for c in clients:
                    c.send_line("2105")
                for i, c in enumerate(clients):
                    self.assertEqual(c.read_line(), AUTH_ERR + "2105", f"client {i}")
                self.assertTrue(wait_until(lambda: server.thread_count() >= self.CLIENTS,
                                           timeout=10))
                for c in clients[::7]:
                    self.assertEqual(c.command("2001"), AUTH_ERR + "2001")
            finally:
                for c in clients:
                    c.close()


class ResourceReturnTest(unittest.TestCase):
    CYCLES = 1000

    def test_connect_and_vanish_cycles_return_threads_and_descriptors(self):
        with ServerProcess() as server:
            with server.connect() as probe:
                self.assertEqual(probe.command("2105"), AUTH_ERR + "2105")
            base_threads, base_fds = settled_counts(server)
            rng = random.Random(1234)
            for i in range(self.CYCLES):
                sock = socket.create_connection(("127.0.0.1", server.port), timeout=10)
                kind = i % 4
                if kind == 1:
                    sock.sendall(b"21")  # mid-line
                elif kind == 2:
                    sock.sendall(b"2105\r\n")
                elif kind == 3:
                    sock.sendall(bytes(rng.randrange(256) for _ in range(64)))
                if rng.random() < 0.5:
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                sock.close()
            settled = wait_until(lambda: server.thread_count() <= base_threads
                                 and server.fd_count() <= base_fds, SETTLE_SECONDS, 0.2)
            self.assertTrue(settled, f"threads {server.thread_count()} (was {base_threads}), "
                                     f"descriptors {server.fd_count()} (was {base_fds})")
            with server.connect() as probe:
                self.assertEqual(probe.command("2001"), AUTH_ERR + "2001")


if __name__ == "__main__":
    unittest.main()
