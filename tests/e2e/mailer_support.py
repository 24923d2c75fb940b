"""The forwarding tests' common ground: a real SMTP server, one server with profiles that
forward and accounts that use them, a logged-in sender, and helpers to send a message (2003)
and read the log."""
import os
import re
import unittest

os.environ.setdefault("ZORVIC_SMTP_TIMEOUT_MS", "1500")
os.environ.setdefault("ZORVIC_MAIL_RETRY_MS", "500")

from harness import ServerProcess, write_ini, wait_until  # noqa: E402
from login_support import login, q, sql  # noqa: E402
from smtp_support import SmtpRecorder  # noqa: E402

WARNING = "Warning: message forwarding failed, SMTP server unavailable"
PREFIX = "This message was forwarded to you by Zorvic Messenger:\r\n\r\n"
DATE = re.compile(r"^(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct"
                  r"|Nov|Dec) \d{4} \d\d:\d\d:\d\d [+-]\d{4}$")
NORMAL, HIGH, URGENT = 0, 1, 2

# name: (ProfileName, PrimaryEmail, SecondaryEmail)
ACCOUNTS = {
    "alice": (None, "alice@example.com", None),
    "sam": (None, None, None),
    "bob": ("Fwd", "bob@example.com", "bob@home.example"),
    "dan": ("Fwd", "dan@example.com", None),
    "cara": ("Cond", "cara@example.com", None),
    "rick": ("Fwd", "refused@example.com", None),
}


def literal(v):
    return "NULL" if v is None else q(v)


class ForwardingBase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.smtp = SmtpRecorder().start()
        cls.server = ServerProcess(options=cls.options(cls.smtp.spec))
        text = ("Insert into Profiles (ProfileName, Privileges, ForwardMsgs, "
                "ForwardingConditionsApply) values ('Fwd', 0, True, False);"
                "Insert into Profiles (ProfileName, Privileges, ForwardMsgs, "
                "ForwardingConditionsApply, ForwardNormal, ForwardHigh, ForwardUrgent, "
                "ForwardNormal_OnlyDND, ForwardUrgent_OnlyDND) values "
                "('Cond', 0, True, True, True, False, True, True, False);")
        for name, (profile, primary, secondary) in ACCOUNTS.items():
            text += ("Insert into Users (UserName, Password, GroupName, ProfileName, "
                     "HasAdminPower, AccountDisabled, PrimaryEmail, SecondaryEmail) values "
                     f"({q(name)}, 'pw', 'Staff', {literal(profile)}, False, False, "
                     f"{literal(primary)}, {literal(secondary)});")
            os.makedirs(os.path.join(cls.server.home, "Users", name), exist_ok=True)
        sql(cls.server, text)
        cls.alice = cls.server.connect()
        assert login(cls.alice, "alice") == "+OK 0"

    @classmethod
    def tearDownClass(cls):
        cls.alice.close()
        cls.server.stop()
        cls.smtp.stop()

    @staticmethod
    def options(spec):
        return {"EnableLogging": "1", "DataScrambling": "0", "SMTPServer": spec}

    def set_smtp_server(self, spec):
        write_ini(os.path.join(self.server.home, "ServerOptions.ini"),
                  {"ServerOptions": self.options(spec)})

    def tearDown(self):
        self.set_smtp_server(self.smtp.spec)
        self.smtp.refuse_rcpt.clear()

    def log_texts(self):
        return sql(self.server, "Select EntryText from Log;").splitlines()[1:]

    def wait_log(self, text, count=1, timeout=10):
        ok = wait_until(lambda: sum(text == line for line in self.log_texts()) >= count,
                        timeout=timeout, interval=0.3)
        self.assertTrue(ok, f"not {count} log entries {text!r} in {self.log_texts()}")

    def send(self, recipients, body, priority=NORMAL, client=None):
        c = client or self.alice
        self.assertEqual(c.command("2003"), "+OK Send the rest of the message")
        c.write_int32(priority)
        c.send_line(recipients)
        data = body.encode("latin-1")
        c.write_int32(len(data))
        self.assertEqual(c.read_line(), "+OK Send msg body")
        c.send_raw(data)
        self.assertEqual(c.read_line(), "+OK Message sent out successfuly")

    def bodies_since(self, start):
        with self.smtp.lock:
            return [m.body() for m in self.smtp.mails[start:]]
