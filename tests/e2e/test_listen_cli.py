"""zorvic-cli listen and login against the real server: presence events of other users, one
line each as they come, the probe answered so a second login is refused, and the password
taken only from the environment or a terminal."""
import os
import subprocess
import threading
import time
import unittest

from harness import ServerProcess, bin_dir
from login_support import ELSEWHERE, add_users, listen, login, read_presence


def cli(*args):
    return [os.path.join(bin_dir(), "zorvic-cli"), *args]


class ListenCliTest(unittest.TestCase):
    def test_listen_prints_presence_of_others_and_answers_the_probe(self):
        with ServerProcess() as s:
            add_users(s, ["ann", "ben"], password="pw")
            env = dict(os.environ, ZORVIC_PASSWORD="pw")
            proc = subprocess.Popen(cli("listen", "--port", str(s.port), "--user", "ann"),
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
            lines = []

            def pump():
                for raw in iter(proc.stdout.readline, b""):
                    lines.append(raw.decode().rstrip("\n"))
            reader = threading.Thread(target=pump, daemon=True)
            reader.start()
            try:
                def wait_lines(n, timeout=15):
                    deadline = time.monotonic() + timeout
                    while len(lines) < n and time.monotonic() < deadline:
                        time.sleep(0.05)
                    return list(lines)
                self.assertEqual(wait_lines(1), ["presence\tann\tStaff\t1"])
                ben_session = s.connect()
                self.assertEqual(login(ben_session, "ben", "pw"), "+OK 1")
                ben = listen(s, "ben", "pw")
                self.assertEqual(read_presence(ben), ("ben", "Staff", 1))
                self.assertEqual(read_presence(ben), ("ann", "Staff", 1))
                self.assertEqual(wait_lines(2)[1], "presence\tben\tStaff\t1")
                ben_session.send_line("2017 2")
                self.assertEqual(wait_lines(3)[2], "presence\tben\tStaff\t2")
                # The cli answers the probe: a second login of ann is refused.
                other = s.connect(timeout=20)
                self.assertEqual(login(other, "ann", "pw", timeout=20), ELSEWHERE)
                other.close()
                # `zorvic-cli login` says the same, on standard error, with status 1.
                result = subprocess.run(cli("--user", "ann", "--port", str(s.port), "login"),
                                        capture_output=True, env=env, timeout=30)
                self.assertEqual(result.returncode, 1)
                self.assertIn(ELSEWHERE, result.stderr.decode())
                self.assertEqual(ben_session.command("2000"), "+OK Goodbye!")
                self.assertEqual(wait_lines(4)[3], "presence\tben\tStaff\t0")
                self.assertIsNone(proc.poll())
            finally:
                proc.terminate()
                proc.wait(10)
                ben.close()

    def test_login_and_its_failures(self):
        with ServerProcess() as s:
            env = dict(os.environ, ZORVIC_PASSWORD="tarnlamp")
            ok = subprocess.run(cli("login", "--user=admin", f"--port={s.port}"),
                                capture_output=True, env=env, timeout=30)
            self.assertEqual((ok.returncode, ok.stdout), (0, b"+OK 1\n"), ok.stderr)
            env["ZORVIC_PASSWORD"] = "wrong"
            bad = subprocess.run(cli("login", "--user", "admin", "--port", str(s.port)),
                                 capture_output=True, env=env, timeout=30)
            self.assertEqual(bad.returncode, 1)
            self.assertEqual(bad.stderr.decode().strip(), "-ERR Invalid User Name or Password!")
            # No password in the environment and no terminal: refused, nothing sent.
            env.pop("ZORVIC_PASSWORD")
            none = subprocess.run(cli("login", "--user", "admin", "--port", str(s.port)),
                                  capture_output=True, env=env, timeout=30,
                                  stdin=subprocess.DEVNULL, start_new_session=True)
            self.assertEqual(none.returncode, 1)
            self.assertIn("ZORVIC_PASSWORD", none.stderr.decode())

    def test_usage(self):
        help_text = subprocess.run(cli("listen", "--help"), capture_output=True, timeout=10)
        self.assertEqual(help_text.returncode, 0)
        self.assertIn(b"--user U", help_text.stdout)
        self.assertIn(b"ZORVIC_PASSWORD", help_text.stdout)
        for args in (("listen", "extra"), ("--port",), ("login", "--port", "x")):
            result = subprocess.run(cli(*args), capture_output=True, timeout=10)
            self.assertEqual(result.returncode, 2, args)
        refused = subprocess.run(cli("login", "--port", "1"), capture_output=True, timeout=10)
        self.assertEqual(refused.returncode, 1)
        self.assertIn(b"--user", refused.stderr)


if __name__ == "__main__":
    unittest.main()
