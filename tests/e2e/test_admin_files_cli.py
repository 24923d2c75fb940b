"""zorvic-cli options, settings and update end to end: output that pipes, files byte-identical
after their round trips, refusals printed with exit status 1, and a server that answers with
silence given up on after the reply time-out."""
import json
import os
import socket
import subprocess
import tempfile
import threading
import unittest

from harness import ServerProcess, bin_dir, write_ini
from login_support import add_user

NO_PERMISSION = "-ERR You do not have the permissions to perform this operation"


def cli(port, *args, user="admin", password="tarnlamp", stdin=None, cwd=None):
    env = dict(os.environ, ZORVIC_PASSWORD=password)
    return subprocess.run([os.path.join(bin_dir(), "zorvic-cli"), "--port", str(port),
                           "--user", user, *args], input=stdin, capture_output=True, env=env,
                          cwd=cwd, timeout=60)


class SilentServer:
    """Accepts one login after another and then never answers a command."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.commands = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._session, args=(conn,), daemon=True).start()

    def _session(self, conn):
        with conn:
            buffer = b""
            while True:
                try:
                    data = conn.recv(65536)
                except OSError:
                    return
                if not data:
                    return
                buffer += data
                while b"\r\n" in buffer:
                    line, buffer = buffer.split(b"\r\n", 1)
                    if line.startswith(b"1001"):
                        conn.sendall(b"+OK 0\r\n")
                    elif line[:4].isdigit() and not line.startswith(b"1000"):
                        self.commands.append(line.decode("latin-1"))

    def close(self):
        self.listener.close()


class AdminFilesCliTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(options={"SMTPServer": "mail.example.org"})
        add_user(cls.server, "alice")
        cls.port = cls.server.port
        cls.work = tempfile.mkdtemp(prefix="zorvic-cli-files-")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        subprocess.run(["rm", "-rf", cls.work])

    def ok(self, result):
        self.assertEqual(result.returncode, 0, result.stderr.decode("latin-1"))
        return result.stdout

    def refused(self, result, text):
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn(text, result.stderr.decode("latin-1"))

    def test_options_print_store_and_json(self):
        ini = os.path.join(self.server.home, "ServerOptions.ini")
        write_ini(ini, {"ServerOptions": {"SMTPServer": "mail.example.org", "EnableLogging": "0"}})
        self.assertEqual(self.ok(cli(self.port, "options")),
                         b"SMTPServer=mail.example.org\nEnableLogging=0\n")
        self.ok(cli(self.port, "options", "SubjectLine= Mail for you ", "smtpserver=relay.lan"))
        self.assertEqual(self.ok(cli(self.port, "options")),
                         b"SMTPServer=relay.lan\nEnableLogging=0\nSubjectLine= Mail for you \n")
        self.assertEqual(json.loads(self.ok(cli(self.port, "options", "--json"))),
                         {"SMTPServer": "relay.lan", "EnableLogging": "0",
                          "SubjectLine": " Mail for you "})

    def test_options_refusals(self):
        self.refused(cli(self.port, "options", user="alice", password="pw"), NO_PERMISSION)
        self.refused(cli(self.port, "options", "[Evil]=1"), "cannot name an option")
        bad = cli(self.port, "options", "--timeout", "0")
        self.assertEqual(bad.returncode, 2)  # a usage error
        self.assertIn("invalid time-out", bad.stderr.decode())

    def test_settings_put_and_get_keep_every_byte(self):
        data = os.urandom(3000) + b"\r\n2000\r\n"
        local = os.path.join(self.work, "layout.bin")
        with open(local, "wb") as f:
            f.write(data)
        self.ok(cli(self.port, "settings", "put", local, user="alice", password="pw"))
        with open(os.path.join(self.server.home, "Users", "alice", "layout.bin"), "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertEqual(self.ok(cli(self.port, "settings", "get", "layout.bin",
                                     user="alice", password="pw")), data)
        copy = os.path.join(self.work, "copy.bin")
        self.ok(cli(self.port, "settings", "get", "layout.bin", copy, user="alice", password="pw"))
        with open(copy, "rb") as f:
            self.assertEqual(f.read(), data)
        self.ok(cli(self.port, "settings", "put", "from-stdin.ini", "-", stdin=b"a=1\n",
                    user="alice", password="pw"))
        with open(os.path.join(self.server.home, "Users", "alice", "from-stdin.ini"), "rb") as f:
            self.assertEqual(f.read(), b"a=1\n")

    def test_settings_refusals(self):
        self.refused(cli(self.port, "settings", "get", "never.ini", user="alice", password="pw"),
                     'no settings file "never.ini"')
        self.refused(cli(self.port, "settings", "put", "../escape.ini", "-", stdin=b"x",
                         user="alice", password="pw"), "-ERR Invalid file name")
        self.refused(cli(self.port, "settings", "put", "Messages.DAT", "-", stdin=b"x",
                         user="alice", password="pw"), "-ERR Invalid file name")
        self.assertFalse(os.path.exists(os.path.join(self.server.home, "Users", "escape.ini")))

    def test_update_upload_fetch_version_and_policy(self):
        data = os.urandom(4000)
        local = os.path.join(self.work, "client-2.0.exe")
        with open(local, "wb") as f:
            f.write(data)
        self.ok(cli(self.port, "update", "upload", local))
        write_ini(os.path.join(self.server.home, "Updates", "versions.ini"),
                  {"Client": {"Version": "2.0", "UpdateFile": "client-2.0.exe"}})
        fetched = os.path.join(self.work, "fetched.exe")
        self.ok(cli(self.port, "update", "fetch", fetched, user="alice", password="pw"))
        with open(fetched, "rb") as f:
            self.assertEqual(f.read(), data)
        # Without a PATH: the server's name in the current folder.
        here = tempfile.mkdtemp(dir=self.work)
        self.assertEqual(self.ok(cli(self.port, "update", "fetch", cwd=here, user="alice",
                                     password="pw")), b"client-2.0.exe\n")
        with open(os.path.join(here, "client-2.0.exe"), "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertEqual(self.ok(cli(self.port, "update", "version")), b"2.0\n")
        self.ok(cli(self.port, "update", "policy", "4", user="alice", password="pw"))
        self.assertEqual(self.ok(cli(self.port, "update", "policy")), b"4\n")
        write_ini(os.path.join(self.server.home, "Updates", "versions.ini"), {"Client": {}})
        self.refused(cli(self.port, "update", "fetch", fetched), "-ERR No update file found!")
        with open(fetched, "rb") as f:  # the old copy stays
            self.assertEqual(f.read(), data)

    def test_help_of_each_command(self):
        for command in ("options", "settings", "update"):
            with self.subTest(command=command):
                out = self.ok(cli(self.port, command, "--help")).decode()
                self.assertIn("zorvic-cli", out)
                self.assertIn(command, out)

    def test_silence_is_given_up_after_the_time_out(self):
        silent = SilentServer()
        try:
            for args in (["options"], ["update", "fetch", "-"],
                         ["update", "upload", "u.bin", "-"]):
                with self.subTest(args=args):
                    result = cli(silent.port, *args, "--timeout", "0.5", stdin=b"bytes")
                    self.assertEqual(result.returncode, 1)
                    err = result.stderr.decode()
                    self.assertTrue("no reply from the server" in err, err)
        finally:
            silent.close()


if __name__ == "__main__":
    unittest.main()
