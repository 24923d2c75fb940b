"""Listing, fetching and deleting, whose engine work runs on the server's work pool: many
clients at once get exactly their own replies while others quit in the middle of a command, and
none of it leaves a thread, descriptor or open mailbox behind."""
import struct
import threading
import time
import unittest

from harness import Client, ServerProcess, wait_until
from login_support import add_users, login, scramble
from retrieval_support import (DELETED, FETCH_OK, INVALID_MESSAGE, LIST_OK, header_text,
                               read_id_list, read_record, record_bytes, seed_messages)

USERS = 8
MESSAGES = 6
ROUNDS = 2


def body_of(user, n):
    # Sizes around the pieces the server reads and writes, different per user and message.
    return f"{user}:{n}:" + "abcdefghij"[n % 10] * (700 * n + len(user))


class RetrievalPoolTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(options={"DataScrambling": "0"})
        cls.server.__enter__()
        cls.names = [f"rp{i:02d}" for i in range(USERS)]
        add_users(cls.server, cls.names + ["rpdel"])
        for name in cls.names:
            seed_messages(cls.server, name, [
                {"size": n, "priority": n % 3, "sender": f"s{n}", "to": name,
                 "body": body_of(name, n)} for n in range(1, MESSAGES + 1)])
        scramble("pw")
        # With scrambling off the records travel in clear (the scrambled form is tested
        # elsewhere); computed once, since the reader threads compare against them many times.
        cls.expected = {(name, n): record_bytes(
            "", header_text(f"s{n}", name, "38784.5", n, n % 3), body_of(name, n), False)
            for name in cls.names for n in range(1, MESSAGES + 1)}

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)

    def baseline(self):
        # One session that logs in, lists and fetches first, so the pool's threads and the
        # shared tables count in the baseline.
        with Client(self.server.port) as c:
            self.assertEqual(login(c, self.names[0]), "+OK 0")
            self.assertEqual(c.command("2005"), LIST_OK)
            read_id_list(c)
            self.assertEqual(c.command("2000"), "+OK Goodbye!")
        wait_until(lambda: self.server.fd_count() < 64, timeout=30)
        time.sleep(0.3)
        return self.server.thread_count(), self.server.fd_count()

    def reader(self, name, failures):
        """Lists and fetches the whole mailbox, checking every byte."""
        try:
            with Client(self.server.port, timeout=60) as c:
                self.assertEqual(login(c, name), "+OK 0")
                for _ in range(ROUNDS):
                    self.assertEqual(c.command("2005"), LIST_OK)
                    ids, raw = read_id_list(c)
                    self.assertEqual(ids, list(range(1, MESSAGES + 1)))
                    self.assertEqual(raw, b"".join(struct.pack("<i", i) for i in ids))
                    self.assertEqual(c.command("2005 4"), LIST_OK)
                    self.assertEqual(read_id_list(c)[0], [5, 6])
                    for n in ids:
                        self.assertEqual(c.command(f"2004 {n}"), FETCH_OK)
                        self.assertEqual(read_record(c)[0], self.expected[(name, n)])
                    self.assertEqual(c.command(f"2004 {MESSAGES + 1}"), INVALID_MESSAGE)
                    # A missing id deletes nothing and is answered the same.
                    self.assertEqual(c.command(f"2008 {MESSAGES + 7}"), DELETED)
                self.assertEqual(c.command("2000"), "+OK Goodbye!")
        except BaseException as error:  # noqa: B902 - reported by the main thread
            failures.append((name, repr(error)))

    def quitter(self, name, command, failures):
        """Sends a command and resets the connection before or while the reply comes."""
        try:
            for i in range(ROUNDS * 2):
                c = Client(self.server.port, timeout=60)
                self.assertEqual(login(c, name), "+OK 0")
                c.send_raw(f"{command}\r\n".encode())
                if i % 2:
                    c.read_line()  # the status line has come; the rest is left unread
                c.abort()
        except BaseException as error:  # noqa: B902
            failures.append((name, repr(error)))

    def test_many_clients_listing_and_fetching_while_others_quit_mid_command(self):
        threads0, fds0 = self.baseline()
        failures = []
        workers = []
        for i, name in enumerate(self.names):
            workers.append(threading.Thread(target=self.reader, args=(name, failures)))
            # A second session of the same user reads the same mailbox at the same time.
            workers.append(threading.Thread(target=self.reader, args=(name, failures)))
            command = ("2005", f"2004 {MESSAGES}", "2004 1", "2005 2")[i % 4]
            workers.append(threading.Thread(target=self.quitter,
                                            args=(name, command, failures)))
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        self.assertEqual(failures, [])
        wait_until(lambda: self.server.thread_count() <= threads0
                   and self.server.fd_count() <= fds0, timeout=60)
        self.assertLessEqual(self.server.thread_count(), threads0, "a session thread is left")
        self.assertLessEqual(self.server.fd_count(), fds0, "a descriptor or mailbox is left")
        # Every mailbox is as it was: nothing was deleted, a new session reads it whole.
        with Client(self.server.port) as c:
            self.assertEqual(login(c, self.names[-1]), "+OK 0")
            self.assertEqual(c.command("2005"), LIST_OK)
            self.assertEqual(read_id_list(c)[0], list(range(1, MESSAGES + 1)))

    def test_deletes_from_concurrent_sessions_of_one_user(self):
        seed_messages(self.server, "rpdel", [{"body": f"d{n}"} for n in range(40)])
        threads0, fds0 = self.baseline()
        failures = []

        def deleter(first):
            try:
                with Client(self.server.port, timeout=60) as c:
                    self.assertEqual(login(c, "rpdel"), "+OK 0")
                    for n in range(first, 41, 4):
                        self.assertEqual(c.command(f"2008 {n}"), DELETED)
                        self.assertEqual(c.command(f"2004 {n}"), INVALID_MESSAGE)
            except BaseException as error:  # noqa: B902
                failures.append(repr(error))

        workers = [threading.Thread(target=deleter, args=(k,)) for k in (1, 2, 3)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        self.assertEqual(failures, [])
        with Client(self.server.port) as c:
            self.assertEqual(login(c, "rpdel"), "+OK 0")
            self.assertEqual(c.command("2005"), LIST_OK)
            self.assertEqual(read_id_list(c)[0], list(range(4, 41, 4)))
            self.assertEqual(c.command("2008"), DELETED)
            self.assertEqual(c.command("2005"), LIST_OK)
            self.assertEqual(c.read_int32(), 0)
        wait_until(lambda: self.server.thread_count() <= threads0
                   and self.server.fd_count() <= fds0, timeout=60)
        self.assertLessEqual(self.server.thread_count(), threads0, "a session thread is left")
        self.assertLessEqual(self.server.fd_count(), fds0, "a descriptor or mailbox is left")


if __name__ == "__main__":
    unittest.main()
