"""Many users logging in and out at once, with and without listening connections, leave no
thread, descriptor or open mailbox behind. Short by default; ZORVIC_LOGIN_STRESS_SECONDS=60
runs the loop for a minute."""

# Runs alone: its timing must not be disturbed by other modules running beside it.
E2E_SERIAL = True

import os
import threading
import time
import unittest

from harness import ServerProcess, wait_until
from login_support import add_users, login, read_presence, LISTENING

USERS = int(os.environ.get("ZORVIC_LOGIN_STRESS_USERS", "200"))
SECONDS = float(os.environ.get("ZORVIC_LOGIN_STRESS_SECONDS", "0"))


class LoginStressTest(unittest.TestCase):
    def test_concurrent_logins_and_logouts_leave_nothing_behind(self):
        with ServerProcess() as s:
            names = [f"user{i:03d}" for i in range(USERS)]
            add_users(s, names)
            # Warm-up: one full cycle, so lazily opened shared files count in the baseline.
            c = s.connect()
            self.assertEqual(login(c, "admin", "tarnlamp"), "+OK 1")
            self.assertEqual(c.command("2000"), "+OK Goodbye!")
            c.close()
            time.sleep(0.5)
            threads0, fds0 = s.thread_count(), s.fd_count()
            errors = []
            deadline = time.monotonic() + SECONDS

            def cycle(name, with_listener):
                command = s.connect(timeout=120)
                try:
                    reply = login(command, name, timeout=120)
                    if reply != "+OK 1":
                        raise AssertionError(f"{name}: {reply}")
                    if with_listener:
                        listener = s.connect(timeout=120)
                        try:
                            if login(listener, name, timeout=120) != "+OK 1":
                                raise AssertionError(f"{name}: listener login refused")
                            if listener.command("2013", timeout=120) != LISTENING:
                                raise AssertionError(f"{name}: 2013 refused")
                            if read_presence(listener, timeout=120)[0] != name:
                                raise AssertionError(f"{name}: own presence first")
                            command.send_line("2017 3")
                            if command.command("2000", timeout=120) != "+OK Goodbye!":
                                raise AssertionError(f"{name}: goodbye")
                            if not listener.expect_closed(120):
                                raise AssertionError(f"{name}: listener not released")
                        finally:
                            listener.close()
                    else:
                        if command.command("2000", timeout=120) != "+OK Goodbye!":
                            raise AssertionError(f"{name}: goodbye")
                finally:
                    command.close()

            def worker(i, name):
                try:
                    rounds = 0
                    while rounds < 1 or time.monotonic() < deadline:
                        cycle(name, (i + rounds) % 2 == 0)
                        rounds += 1
                except Exception as e:  # noqa: BLE001 - reported below
                    errors.append(repr(e))

            workers = [threading.Thread(target=worker, args=(i, n)) for i, n in enumerate(names)]
            for w in workers:
                w.start()
            for w in workers:
                w.join(SECONDS + 240)
            self.assertEqual(errors[:5], [])
            self.assertTrue(wait_until(lambda: s.thread_count() <= threads0, 20),
                            f"threads {s.thread_count()} > {threads0}")
            self.assertTrue(wait_until(lambda: s.fd_count() <= fds0, 20),
                            f"descriptors {s.fd_count()} > {fds0}")


if __name__ == "__main__":
    unittest.main()
