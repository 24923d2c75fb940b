"""Listening connections over real TCP: registration, the exact presence sequences, 2017, the
end of a listening connection, and the second-login refusals for live and dead listeners."""
import threading
import time
import unittest

from harness import ServerProcess, wait_until
from login_support import (DIED, ELSEWHERE, add_users, listen, login, no_more_data,
                           read_presence, sql)


class ListenTest(unittest.TestCase):
    """Each test runs its own server, so no listener of another test shows in a snapshot."""
    counter = 0

    def setUp(self):
        self.server = ServerProcess(options={"EnableLogging": "1"})
        self.clients = []

    def tearDown(self):
        for c in self.clients:
            c.close()
        self.server.stop()

    def users(self, *names):
        ListenTest.counter += 1
        full = [f"{n}{ListenTest.counter}" for n in names]
        add_users(self.server, full, group="Staff")
        return full

    def session(self, name):
        c = self.server.connect()
        self.clients.append(c)
        self.assertEqual(login(c, name), "+OK 1")
        return c

    def listener(self, name):
        c = listen(self.server, name)
        self.clients.append(c)
        return c

    def log_texts(self):
        out = sql(self.server, "Select EntryNo, EntryText from Log order by EntryNo;")
        return [line.split("\t", 1)[1] for line in out.splitlines()[1:] if line]

    def test_presence_sequences_of_two_and_three_listeners(self):
        a, b, c = self.users("a", "b", "c")
        la = self.listener(a)
        self.assertEqual(read_presence(la), (a, "Staff", 1))
        self.assertTrue(no_more_data(la))
        lb = self.listener(b)
        self.assertEqual(read_presence(lb), (b, "Staff", 1))
        self.assertEqual(read_presence(lb), (a, "Staff", 1))
        self.assertEqual(read_presence(la), (b, "Staff", 1))
        lc = self.listener(c)
        self.assertEqual([read_presence(lc) for _ in range(3)],
                         [(c, "Staff", 1), (a, "Staff", 1), (b, "Staff", 1)])
        self.assertEqual(read_presence(la), (c, "Staff", 1))
        self.assertEqual(read_presence(lb), (c, "Staff", 1))
        for l in (la, lb, lc):
            self.assertTrue(no_more_data(l))

    def test_status_changes_reach_everyone_but_are_not_stored(self):
        a, b, d = self.users("a", "b", "d")
        sa = self.session(a)
        la = self.listener(a)
        lb = self.listener(b)
        read_presence(la), read_presence(la)
        read_presence(lb), read_presence(lb)
        for argument, status in (("2017 2", 2), ("2017", 1), ("2017 abc", 1), ("2017 258", 2),
                                 ("2017 -1", 255), ("2017 ", 1)):
            sa.send_line(argument)
            self.assertEqual(read_presence(la), (a, "Staff", status), argument)
            self.assertEqual(read_presence(lb), (a, "Staff", status), argument)
        sa.send_line("2017 2")
        read_presence(la), read_presence(lb)
        ld = self.listener(d)
        self.assertEqual([read_presence(ld) for _ in range(3)],
                         [(d, "Staff", 1), (a, "Staff", 1), (b, "Staff", 1)])
        # 2017 sends no reply.
        self.assertEqual(sa.command("2105"), "+OK 0")

    def test_goodbye_of_the_command_session_ends_the_listener(self):
        a, b = self.users("a", "b")
        sa = self.session(a)
        la = self.listener(a)
        lb = self.listener(b)
        read_presence(la), read_presence(la)
        read_presence(lb), read_presence(lb)
        self.assertEqual(sa.command("2000"), "+OK Goodbye!")
        self.assertEqual(read_presence(lb), (a, "Staff", 0))
        self.assertTrue(la.expect_closed(5))
        self.assertTrue(wait_until(lambda: f"User {a} logged out" in self.log_texts(), 5))
        # The account is free again: a new login succeeds at once.
        self.assertEqual(login(self.server.connect(), a), "+OK 1")

    def test_a_listener_whose_client_closes_is_released_at_once(self):
        a, b = self.users("a", "b")
        la = self.listener(a)
        lb = self.listener(b)
        read_presence(la), read_presence(la)
        read_presence(lb), read_presence(lb)
        la.close()
        self.assertEqual(read_presence(lb, timeout=3), (a, "Staff", 0))
        self.assertEqual(login(self.server.connect(), a), "+OK 1")

    def test_second_login_while_the_listener_answers_the_probe(self):
        a, b = self.users("a", "b")
        la = self.listener(a)
        lb = self.listener(b)
        read_presence(la), read_presence(la)
        read_presence(lb), read_presence(lb)
        probes = []
        stop = threading.Event()

        def answer():  # as a client's listener does: every probe gets its 1
            while not stop.is_set():
                try:
                    probes.append(la.read_int32(timeout=0.2))
                except AssertionError:
                    continue
                la.write_int32(1)
        t = threading.Thread(target=answer)
        t.start()
        # Two logins at once share the probe or follow each other; neither gets in.
        replies = []
        logins = [threading.Thread(target=lambda: replies.append(login(self.session_raw(), a,
                                                                        timeout=20)))
                  for _ in range(2)]
        started = time.monotonic()
        for th in logins:
            th.start()
        for th in logins:
            th.join(30)
        stop.set()
        t.join(15)
        self.assertEqual(replies, [ELSEWHERE, ELSEWHERE])
        self.assertLess(time.monotonic() - started, 8)
        self.assertIn(probes, ([2022], [2022, 2022]))
        # The first client stays online: nobody heard it go.
        self.assertTrue(no_more_data(lb))
        self.assertTrue(la.is_open())

    def session_raw(self):
        c = self.server.connect(timeout=25)
        self.clients.append(c)
        return c

    def test_second_login_while_the_listener_is_dead(self):
        a, b = self.users("a", "b")
        la = self.listener(a)  # never answers the probe
        lb = self.listener(b)
        read_presence(lb), read_presence(lb)
        started = time.monotonic()
        self.assertEqual(login(self.session_raw(), a, timeout=20), DIED)
        self.assertGreater(time.monotonic() - started, 4)
        self.assertEqual(read_presence(lb), (a, "Staff", 0))
        self.assertTrue(wait_until(lambda: f"User {a} logged out" in self.log_texts(), 5))
        self.assertEqual(login(self.session_raw(), a), "+OK 1")
        self.assertTrue(la.expect_closed(5))

    def test_quit_ends_parked_listeners(self):
        a, b = self.users("a", "b")
        la = self.listener(a)
        lb = self.listener(b)
        read_presence(la), read_presence(la)
        started = time.monotonic()
        self.assertEqual(self.server.quit(), 0)
        self.assertLess(time.monotonic() - started, 8)
        self.assertTrue(la.expect_closed(5))
        self.assertTrue(lb.expect_closed(5))

    def test_presence_does_not_wait_for_a_probe(self):
        # While one listener is being probed (and does not answer), presence to the others
        # flows at once.
        a, b, c = self.users("a", "b", "c")
        self.listener(a)
        lb = self.listener(b)
        read_presence(lb), read_presence(lb)
        done = []
        t = threading.Thread(target=lambda: done.append(login(self.session_raw(), a, timeout=20)))
        t.start()
        time.sleep(0.5)
        sc = self.session(c)
        started = time.monotonic()
        sc.send_line("2017 9")
        self.assertEqual(read_presence(lb), (c, "Staff", 9))
        self.assertLess(time.monotonic() - started, 2)
        t.join(20)
        self.assertEqual(done, [DIED])


if __name__ == "__main__":
    unittest.main()
