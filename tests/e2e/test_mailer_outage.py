"""Forwarding while the SMTP server is down or never answers (the warning once per outage,
the items kept and delivered once a working server is configured, other clients served
meanwhile), and a message deleted before the mailer reached it."""
import os
import time
import unittest

# Long enough that a client held up by the mailer's wait would show in the timings below.
os.environ["ZORVIC_SMTP_TIMEOUT_MS"] = "3000"

from login_support import login  # noqa: E402
from mailer_support import PREFIX, WARNING, ForwardingBase  # noqa: E402
from smtp_support import SilentSmtp, dead_port  # noqa: E402


class ForwardOutageTest(ForwardingBase):
    def test_server_down_then_back(self):
        start = self.smtp.count()
        warnings = sum(line == WARNING for line in self.log_texts())
        self.set_smtp_server(f"127.0.0.1:{dead_port()}")
        self.send("dan", "while down 1")
        self.wait_log(WARNING, warnings + 1)
        self.send("dan", "while down 2")
        time.sleep(1.5)  # several retries: the warning stays one per outage
        self.assertEqual(sum(line == WARNING for line in self.log_texts()), warnings + 1)
        self.assertEqual(self.smtp.count(), start)
        self.set_smtp_server(self.smtp.spec)
        self.smtp.wait_for(start + 2)
        self.assertEqual(self.bodies_since(start),
                         [PREFIX + "while down 1\r\n", PREFIX + "while down 2\r\n"])

    def test_silent_server_then_working_one(self):
        start = self.smtp.count()
        warnings = sum(line == WARNING for line in self.log_texts())
        with SilentSmtp() as silent:
            self.set_smtp_server(silent.spec)
            self.send("dan", "silent 1")
            # every other client is served while the mailer waits on the silent server
            other = self.server.connect()
            t0 = time.monotonic()
            self.assertEqual(other.command("2012"), "+OK Query Result Follows")
            other.read_block()
            self.send("bob", "silent 2")
            self.assertLess(time.monotonic() - t0, 2.5)
            other.close()
            self.wait_log(WARNING, warnings + 1)
            self.assertEqual(self.smtp.count(), start)
            self.set_smtp_server(self.smtp.spec)
            self.smtp.wait_for(start + 2)
        self.assertEqual(sorted(self.bodies_since(start)),
                         [PREFIX + "silent 1\r\n", PREFIX + "silent 2\r\n"])

    def test_message_deleted_before_forwarding(self):
        start = self.smtp.count()
        self.set_smtp_server(f"127.0.0.1:{dead_port()}")
        self.send("dan", "deleted before it went out")
        dan = self.server.connect()
        self.assertEqual(login(dan, "dan"), "+OK 0")
        dan.send_line("2008")  # delete every message of dan's mailbox
        dan.read_line()
        dan.close()
        self.send("dan", "kept")
        self.set_smtp_server(self.smtp.spec)
        self.smtp.wait_for(start + 1)
        time.sleep(0.5)
        self.assertEqual(self.bodies_since(start), [PREFIX + "kept\r\n"])


if __name__ == "__main__":
    unittest.main()
