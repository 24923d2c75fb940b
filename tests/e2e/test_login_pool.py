"""Logins whose engine work runs on the server's work pool: many at once all complete with the
usual replies and log entries, and sessions that end in the middle of a login, or a server
that quits while logins are under way, leave no work, thread, descriptor or mailbox behind."""
import socket
import threading
import time
import unittest

from harness import ServerProcess, wait_until
from login_support import INVALID, add_users, scramble, sql

CLIENTS = 24


def pipelined_login(port, name, password):
    """Sends 1000 and 1001 in one write; returns the socket and the reply line."""
    s = socket.create_connection(("127.0.0.1", port), timeout=120)
    s.sendall(f"1000 {name}\r\n1001 {scramble(password)}\r\n".encode())
    reply = b""
    while b"\n" not in reply:
        chunk = s.recv(256)
        if not chunk:
            break
        reply += chunk
    return s, reply.decode("latin-1").strip()


def abort(sock):
    """Closes with a reset, as a client that crashed would."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    sock.close()


class LoginPoolTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(options={"EnableLogging": "1"})
        cls.server.__enter__()
        cls.names = [f"pool{i:03d}" for i in range(CLIENTS)]
        add_users(cls.server, cls.names)
        scramble("pw")
        scramble("wrong")

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)

    def settled(self, threads0, fds0):
        s = self.server
        wait_until(lambda: s.thread_count() <= threads0 and s.fd_count() <= fds0, timeout=60)

    def baseline(self):
        # One full login first, so the shared tables and the pool's threads count in it.
        sock, reply = pipelined_login(self.server.port, "admin", "tarnlamp")
        self.assertEqual(reply, "+OK 1")
        sock.sendall(b"2000\r\n")
        sock.recv(64)
        sock.close()
        time.sleep(0.3)
        return self.server.thread_count(), self.server.fd_count()

    def test_many_logins_at_once_all_complete_with_their_replies_and_log_entries(self):
        threads0, fds0 = self.baseline()
        replies = {}
        socks = []
        lock = threading.Lock()

        def one(name, password):
            sock, reply = pipelined_login(self.server.port, name, password)
            with lock:
                replies[(name, password)] = reply
                socks.append(sock)

        # Right and wrong passwords interleaved, all at once.
        workers = [threading.Thread(target=one, args=(n, "pw" if i % 3 else "wrong"))
                   for i, n in enumerate(self.names)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        for i, n in enumerate(self.names):
            expected = "+OK 1" if i % 3 else INVALID
            self.assertEqual(replies[(n, "pw" if i % 3 else "wrong")], expected, n)
        # The logged-in sessions are in the command stage and answer there.
        for sock in socks:
            sock.sendall(b"2105\r\n")
        answers = [sock.recv(256).strip() for sock in socks]
        self.assertEqual(answers.count(b"+OK 0"), sum(1 for i in range(CLIENTS) if i % 3))
        for s in socks:
            s.close()
        self.settled(threads0, fds0)
        log = sql(self.server, "Select EntryText from Log;")
        for i, n in enumerate(self.names):
            entry = f"User {n} logged in from 127.0.0.1"
            self.assertEqual(entry in log, bool(i % 3), n)
        today = time.strftime("%Y-%m-%d")
        stamped = sql(self.server, f"Select UserName from Users where LastLogin = '{today}'")
        for i, n in enumerate(self.names):
            self.assertEqual(n in stamped, bool(i % 3), n)

    def test_sessions_ending_mid_login_leave_nothing_behind(self):
        threads0, fds0 = self.baseline()
        # Each client sends its login and resets the connection at once: the server is still
        # loading the account or opening the mailbox when the socket goes.
        for _ in range(2):
            socks = []
            for n in self.names:
                s = socket.create_connection(("127.0.0.1", self.server.port), timeout=30)
                s.sendall(f"1000 {n}\r\n1001 {scramble('pw')}\r\n".encode())
                socks.append(s)
            for s in socks:
                abort(s)
            self.settled(threads0, fds0)
        self.assertLessEqual(self.server.fd_count(), fds0, "a mailbox was left open")
        # The same accounts log in normally afterwards.
        for n in self.names[:5]:
            sock, reply = pipelined_login(self.server.port, n, "pw")
            self.assertEqual(reply, "+OK 1", n)
            sock.close()
        self.settled(threads0, fds0)


class LoginPoolQuitTest(unittest.TestCase):
    def test_quit_while_logins_are_under_way_exits_cleanly(self):
        with ServerProcess() as s:
            names = [f"q{i:03d}" for i in range(12)]
            add_users(s, names)
            scramble("pw")
            socks = []
            for n in names:
                c = socket.create_connection(("127.0.0.1", s.port), timeout=30)
                c.sendall(f"1000 {n}\r\n1001 {scramble('pw')}\r\n".encode())
                socks.append(c)
            self.assertEqual(s.quit(timeout=60), 0)
            for c in socks:
                c.close()


if __name__ == "__main__":
    unittest.main()
