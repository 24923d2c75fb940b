"""SMTP servers for the mailer tests.

SmtpRecorder -- a real SMTP server (aiosmtpd) on a free loopback port that records every mail:

    with SmtpRecorder() as smtp:
        smtp.spec                          "127.0.0.1:PORT", the value for SMTPServer
        smtp.wait_for(1)                   the first mail once it has arrived, else fails
        mail.mail_from, mail.rcpt_tos, mail.text (the content as received, CR LF lines)
        smtp.refuse_rcpt.add("x@y")        RCPT TO for that address is answered 550
        smtp.refuse_data = True            the end of DATA is answered 554

SilentSmtp -- accepts connections and never says a word (nor reads much).

dead_port() -- a loopback port on which nothing listens.
"""
import socket
import threading
import time

from aiosmtpd.controller import Controller

from harness import free_port


class Mail:
    def __init__(self, mail_from, rcpt_tos, content):
        self.mail_from = mail_from
        self.rcpt_tos = rcpt_tos
        self.text = content.decode("latin-1")

    def header(self):
        return self.text.split("\r\n\r\n", 1)[0].split("\r\n")

    def body(self):
        return self.text.split("\r\n\r\n", 1)[1]

    def header_value(self, name):
        for line in self.header():
            if line.lower().startswith(name.lower() + ": "):
                return line[len(name) + 2:]
        return None


class _Handler:
    def __init__(self, owner):
        self.owner = owner

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.owner.refuse_rcpt:
            return "550 5.1.1 No such user here"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.owner.refuse_data:
            return "554 5.6.0 Message refused"
        with self.owner.lock:
            self.owner.mails.append(Mail(envelope.mail_from, list(envelope.rcpt_tos),
                                         envelope.original_content or envelope.content))
        return "250 Message accepted for delivery"


class SmtpRecorder:
    def __init__(self, port=None):
        self.port = port or free_port()
        self.spec = f"127.0.0.1:{self.port}"
        self.mails = []
        self.refuse_rcpt = set()
        self.refuse_data = False
        self.lock = threading.Lock()
        self.controller = Controller(_Handler(self), hostname="127.0.0.1", port=self.port)

    def start(self):
        self.controller.start()
        return self

    def stop(self):
        self.controller.stop()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def count(self):
        with self.lock:
            return len(self.mails)

    def wait_for(self, n, timeout=15.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                if len(self.mails) >= n:
                    return self.mails[n - 1]
            time.sleep(0.02)
        raise AssertionError(f"expected {n} mails, the SMTP server has {self.count()}")


class SilentSmtp:
    """Accepts and keeps connections, and never answers."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.spec = f"127.0.0.1:{self.port}"
        self.accepted = []
        self._stop = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        self.sock.settimeout(0.1)
        while not self._stop:
            try:
                conn, _ = self.sock.accept()
                self.accepted.append(conn)
            except (TimeoutError, OSError):
                continue

    def close(self):
        self._stop = True
        self.thread.join()
        for c in self.accepted:
            c.close()
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def dead_port():
    return free_port()
