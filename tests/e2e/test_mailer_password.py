"""The password mail of 2019 against a real SMTP server: the exact envelope, header and body,
the refusals that only reach the log, unsafe addresses, an SMTP server that never answers
while other clients are served, and one that is not there."""
import os
import re
import time
import unittest

os.environ["ZORVIC_SMTP_TIMEOUT_MS"] = "1500"

from harness import ServerProcess, write_ini, wait_until  # noqa: E402
from login_support import q, sql  # noqa: E402
from mailer_support import literal  # noqa: E402
from smtp_support import SilentSmtp, SmtpRecorder, dead_port  # noqa: E402

TRYING = "+OK Trying to send info by email"
DATE = re.compile(r"^(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct"
                  r"|Nov|Dec) \d{4} \d\d:\d\d:\d\d [+-]\d{4}$")


class PasswordMailTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.smtp = SmtpRecorder().start()
        cls.server = ServerProcess(options={"EnableLogging": "1", "SMTPServer": cls.smtp.spec})
        # one zorvic-sql run for every account
        accounts = {"bob": ("s3cret.pw", "bob@example.com", "bob@home.example"),
                    "carol": ("pw", None, None),
                    "eve": ("pw", "eve@x\nRCPT TO:<m@x>", None),
                    "mallory": ("pw", "<m@x>", None)}
        text = ""
        for name, (password, primary, secondary) in accounts.items():
            text += ("Insert into Users (UserName, Password, GroupName, HasAdminPower, "
                     "AccountDisabled, PrimaryEmail, SecondaryEmail) values "
                     f"({q(name)}, {q(password)}, 'Staff', False, False, {literal(primary)}, "
                     f"{literal(secondary)});")
            os.makedirs(os.path.join(cls.server.home, "Users", name), exist_ok=True)
        sql(cls.server, text)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.smtp.stop()

    def set_smtp_server(self, spec):
        write_ini(os.path.join(self.server.home, "ServerOptions.ini"),
                  {"ServerOptions": {"EnableLogging": "1", "SMTPServer": spec}})

    def tearDown(self):
        self.set_smtp_server(self.smtp.spec)

    def log_texts(self):
        return sql(self.server, "Select EntryText from Log;").splitlines()[1:]

    def wait_log(self, *texts, timeout=10):
        """Waits until every text is part of some log entry (one log read per round)."""
        ok = wait_until(lambda: all(any(t in line for line in self.log_texts()) for t in texts),
                        timeout=timeout, interval=0.2)
        self.assertTrue(ok, f"not every one of {texts!r} in {self.log_texts()}")

    def password_mail(self, name, finished=True):
        c = self.server.connect()
        if name is not None:
            c.send_line("1000 " + name)
        self.assertEqual(c.command("2019"), TRYING)
        if finished:
            # the next command is answered once the mail has been handled
            self.assertEqual(c.command("2001"),
                             "-ERR Unrecognized command in the authentication stage: 2001")
        return c

    def test_password_mail_exact(self):
        before = self.smtp.count()
        c = self.password_mail("bob", finished=False)
        mail = self.smtp.wait_for(before + 1)
        self.assertEqual(mail.mail_from, "zorvic-admin@localhost")
        self.assertEqual(mail.rcpt_tos, ["bob@example.com"])  # the primary address only
        header = mail.header()
        self.assertEqual(header[0], 'From: "Zorvic Messenger Admin" <zorvic-admin@localhost>')
        self.assertEqual(header[1], "To: bob@example.com")
        self.assertEqual(header[2], "Subject: Your Zorvic Messenger login info")
        self.assertRegex(header[3][len("Date: "):], DATE)
        self.assertEqual(mail.body(), "This is your Zorvic Messenger login information:\r\n"
                                      "User Name: bob\r\nPassword: s3cret.pw\r\n")
        # no second line, and the session goes on in the authentication stage
        self.assertEqual(c.command("2001"),
                         "-ERR Unrecognized command in the authentication stage: 2001")
        c.close()

    def test_refusals_reach_only_the_log(self):
        before = self.smtp.count()
        self.password_mail("carol").close()
        self.password_mail(None).close()
        # addresses that would add SMTP commands or break the envelope are never sent
        self.password_mail("eve").close()
        self.password_mail("mallory").close()
        # (the log listing shows the backslash of "\x0A" doubled)
        self.wait_log("In cServer.SendPasswordByEmail (): The user carol has no e-mail address",
                      "In cServer.SendPasswordByEmail (): No account is loaded",
                      'In cServer.SendPasswordByEmail (): Invalid recipient e-mail address: '
                      '"eve@x\\', 'x0ARCPT TO:<m@x>"',
                      'Invalid recipient e-mail address: "<m@x>"')
        time.sleep(0.3)
        self.assertEqual(self.smtp.count(), before)

    def test_unreachable_smtp_server(self):
        port = dead_port()
        self.set_smtp_server(f"127.0.0.1:{port}")
        self.password_mail("bob").close()
        self.set_smtp_server("")
        self.password_mail("bob").close()
        self.wait_log(f"In cServer.SendPasswordByEmail (): Unable to connect to the SMTP server "
                      f"127.0.0.1:{port}: Connection refused",
                      "In cServer.SendPasswordByEmail (): No SMTP server is configured")

    def test_silent_smtp_server_delays_only_its_session(self):
        with SilentSmtp() as silent:
            self.set_smtp_server(silent.spec)
            c = self.password_mail("bob", finished=False)
            # the session waits on the SMTP server; everyone else is served meanwhile
            other = self.server.connect()
            t0 = time.monotonic()
            self.assertEqual(other.command("2012"), "+OK Query Result Follows")
            self.assertTrue(other.read_block())
            self.assertLess(time.monotonic() - t0, 1.0)
            other.close()
            self.wait_log(f"In cServer.SendPasswordByEmail (): The SMTP server {silent.spec} "
                          f"did not answer in time")
            # and the waiting session is served again afterwards
            self.assertEqual(c.command("2019"), TRYING)
            c.close()


class ShutdownTest(unittest.TestCase):
    def test_quit_does_not_wait_for_a_silent_smtp_server(self):
        # a long SMTP time-out: only the mailer's stop can end the wait early
        saved = os.environ["ZORVIC_SMTP_TIMEOUT_MS"]
        os.environ["ZORVIC_SMTP_TIMEOUT_MS"] = "60000"
        try:
            with SilentSmtp() as silent:
                server = ServerProcess(options={"SMTPServer": silent.spec})
                try:
                    sql(server, "Insert into Users (UserName, Password, GroupName, HasAdminPower, "
                                "AccountDisabled, PrimaryEmail) values ('bob', 'pw', 'Staff', "
                                "False, False, 'bob@example.com');")
                    os.makedirs(os.path.join(server.home, "Users", "bob"), exist_ok=True)
                    c = server.connect()
                    c.send_line("1000 bob")
                    self.assertEqual(c.command("2019"), TRYING)
                    self.assertTrue(wait_until(lambda: silent.accepted, timeout=5))
                    t0 = time.monotonic()
                    self.assertEqual(server.quit(timeout=15), 0)
                    self.assertLess(time.monotonic() - t0, 8)
                finally:
                    server.stop()
        finally:
            os.environ["ZORVIC_SMTP_TIMEOUT_MS"] = saved


if __name__ == "__main__":
    unittest.main()
