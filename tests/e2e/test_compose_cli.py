"""zorvic-cli send end to end: recipients, priority, body from an argument or standard input,
attachments from files, refusals on standard error; zorvic-cli listen prints the pushes."""
import os
import shutil
import subprocess
import tempfile
import unittest

from compose_support import mailbox, read_push, start_listening
from harness import ServerProcess, bin_dir
from login_support import add_users, sql


def cli(server, user, *args, stdin=b""):
    env = dict(os.environ, ZORVIC_PASSWORD="pw")
    return subprocess.run([os.path.join(bin_dir(), "zorvic-cli"), "--port", str(server.port),
                           "--user", user, *args], input=stdin, capture_output=True,
                          timeout=60, env=env)


class ComposeCliTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(options={"EnableLogging": "1"})
        add_users(cls.server, ["ca", "cb", "cc", "cd"])
        sql(cls.server, "Insert into Profiles (ProfileName, Privileges, AllowAttachments) "
                        "values ('NoFiles', 0, False);"
                        "Update Users set ProfileName = 'NoFiles' where UserName = 'cd';")
        cls.tmp = tempfile.mkdtemp(prefix="zorvic-send-")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_send_with_attachments_and_stdin_body(self):
        listener = start_listening(self.server, "cb")
        try:
            first = os.path.join(self.tmp, "report.bin")
            second = os.path.join(self.tmp, "notes.txt")
            data = os.urandom(70000)
            with open(first, "wb") as f:
                f.write(data)
            with open(second, "wb") as f:
                f.write(b"notes")
            result = cli(self.server, "ca", "send", "cb", "--priority", "urgent",
                         "--attach", first, f"--attach={second}", stdin=b"Body from stdin")
            self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))
            code, _, listing, fields, body = read_push(listener)
            self.assertEqual((code, fields[0], fields[1], fields[4], body),
                             (3, "ca", "cb", "2", b"Body from stdin"))
            lines = [line.split(" ", 2) for line in listing.decode().split("\r\n")]
            self.assertEqual([l[1:] for l in lines], [["70000", "report.bin"], ["5", "notes.txt"]])
            attach_id = lines[0][0]
            self.assertEqual(sql(self.server, f"Select Size, RefCount from Attachments where "
                                              f"AttachID = {attach_id};").splitlines()[1],
                             "70000\t1")
        finally:
            listener.close()

    def test_body_argument_groups_and_listen_output(self):
        watcher = subprocess.Popen([os.path.join(bin_dir(), "zorvic-cli"), "--port",
                                    str(self.server.port), "--user", "cc", "listen"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   env=dict(os.environ, ZORVIC_PASSWORD="pw"))
        try:
            line = watcher.stdout.readline().decode()
            self.assertEqual(line, "presence\tcc\tStaff\t1\n")
            result = cli(self.server, "ca", "send", "-p", "1", "cc", "hello there")
            self.assertEqual(result.returncode, 0, result.stderr)
            line = watcher.stdout.readline().decode()
            self.assertRegex(line, r"^message\t\d+\tca\t1\n$")
        finally:
            watcher.terminate()
            watcher.wait(10)
        self.assertEqual(mailbox(self.server, "cc")[-1][6], "hello there")

    def test_refusals_and_usage(self):
        result = cli(self.server, "cd", "send", "--attach", __file__, "ca", "x")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.decode().strip(), "-ERR Attachments are not allowed")
        self.assertEqual(cli(self.server, "ca", "send").returncode, 2)
        self.assertEqual(cli(self.server, "ca", "send", "--priority", "9", "cb", "x").returncode, 2)
        missing = cli(self.server, "ca", "send", "--attach", "/nonexistent/file", "cb", "x")
        self.assertEqual(missing.returncode, 1)
        self.assertIn(b"/nonexistent/file", missing.stderr)
        usage = cli(self.server, "ca", "send", "--help")
        self.assertEqual(usage.returncode, 0)
        self.assertIn(b"send [--priority P] [--attach FILE]... RECIPIENTS [BODY]", usage.stdout)


if __name__ == "__main__":
    unittest.main()
