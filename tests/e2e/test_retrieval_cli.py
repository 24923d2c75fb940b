"""zorvic-cli list, fetch and delete against a real server, on messages sent with zorvic-cli
send (command 2003): attachments saved byte-identical, the record's attachment list on the
wire, refusals and usage errors, files kept unless --overwrite, attachments that stay
fetchable after their message is deleted."""
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import unittest

from harness import ServerProcess, bin_dir
from login_support import add_users, login, scramble
from retrieval_support import ATTACH_OK, FETCH_OK, LIST_OK, read_record


class RetrievalCli(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(options={"DataScrambling": "1"})
        add_users(cls.server, ["alice", "bob", "dora", "eve"])
        cls.work = tempfile.mkdtemp(prefix="zorvic-cli-fetch-")
        cls.files = {"data.bin": os.urandom(200 * 1024) + b"\x00\r\n\xff",
                     "notes.txt": b"line 1\r\nline 2\r\n"}
        for name, data in cls.files.items():
            with open(os.path.join(cls.work, name), "wb") as f:
                f.write(data)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def cli(self, user, *args, expect=0):
        env = dict(os.environ, ZORVIC_PASSWORD="pw")
        result = subprocess.run([os.path.join(bin_dir(), "zorvic-cli"), *args, "--port",
                                 str(self.server.port), "--user", user],
                                capture_output=True, timeout=60, env=env)
        self.assertEqual(result.returncode, expect, result.stderr.decode("latin-1"))
        return result.stdout.decode("latin-1"), result.stderr.decode("latin-1")

    def send(self, sender, recipients, body, *attachments):
        args = ["send"]
        for name in attachments:
            args += ["--attach", os.path.join(self.work, name)]
        self.cli(sender, *args, recipients, body)

    def test_send_list_fetch_save_and_delete(self):
        self.send("alice", "bob", "Hello Bob\nsecond line", "data.bin", "notes.txt")
        self.send("alice", "bob", "no attachments")
        out, _ = self.cli("bob", "list")
        self.assertEqual(out, "1\n2\n")
        out, _ = self.cli("bob", "list", "--after", "1")
        self.assertEqual(out, "2\n")

        saved = tempfile.mkdtemp(dir=self.work)
        out, err = self.cli("bob", "fetch", "1", "--save-dir", saved)
        lines = out.split("\n")
        self.assertEqual(lines[0], "From: alice")
        self.assertEqual(lines[1], "To: bob")
        self.assertRegex(lines[2], r"^Date: \d+(\.\d+)?$")
        sizes = len(self.files["data.bin"]) + len(self.files["notes.txt"])
        # The announced body size is that of the body on the wire, scrambled here.
        wire_body = scramble("Hello Bob\nsecond line")
        self.assertEqual(lines[3], f"Size: {len(wire_body) + sizes}")
        self.assertEqual(lines[4], "Priority: 0")
        attach = [line.split(" ") for line in lines if line.startswith("Attachment: ")]
        self.assertEqual([(a[2], a[3]) for a in attach],
                         [(str(len(self.files["data.bin"])), "data.bin"),
                          (str(len(self.files["notes.txt"])), "notes.txt")])
        self.assertTrue(out.endswith("\n\nHello Bob\nsecond line\n"), out)
        for name, data in self.files.items():
            with open(os.path.join(saved, name), "rb") as f:
                self.assertEqual(f.read(), data, name)
            self.assertIn("Saved: " + os.path.join(saved, name), err)
        self.assertEqual(sorted(os.listdir(saved)), ["data.bin", "notes.txt"])

        # An existing file is kept unless --overwrite.
        with open(os.path.join(saved, "notes.txt"), "wb") as f:
            f.write(b"mine")
        _, err = self.cli("bob", "fetch", "1", "--save-dir", saved, expect=1)
        self.assertIn("exists", err)
        with open(os.path.join(saved, "notes.txt"), "rb") as f:
            self.assertEqual(f.read(), b"mine")
        self.cli("bob", "fetch", "--overwrite", "--save-dir=" + saved, "1")
        with open(os.path.join(saved, "notes.txt"), "rb") as f:
            self.assertEqual(f.read(), self.files["notes.txt"])
        self.assertEqual(sorted(os.listdir(saved)), ["data.bin", "notes.txt"])

        # Without --save-dir nothing is written; the message without attachments has none.
        out, _ = self.cli("bob", "fetch", "2")
        self.assertNotIn("Attachment: ", out)
        self.assertTrue(out.endswith("\n\nno attachments\n"), out)

        # Deleting leaves the attachments fetchable for another save.
        self.cli("bob", "delete", "1")
        out, _ = self.cli("bob", "list")
        self.assertEqual(out, "2\n")
        _, err = self.cli("bob", "fetch", "1", expect=1)
        self.assertIn("-ERR Invalid Message ID!", err)
        first_id = attach[0][1]
        with self.server.connect() as c:
            self.assertEqual(login(c, "bob"), "+OK 1")
            self.assertEqual(c.command(f"2009 {first_id}"), ATTACH_OK)
            self.assertEqual(c.read_block(), self.files["data.bin"])
        self.cli("bob", "delete", "--all")
        out, _ = self.cli("bob", "list")
        self.assertEqual(out, "")

    def test_record_of_a_sent_message_lists_its_attachments_with_cr_lf(self):
        self.send("alice", "dora", "two files", "notes.txt", "data.bin")
        with self.server.connect() as c:
            self.assertEqual(login(c, "dora"), "+OK 1")
            self.assertEqual(c.command("2004 1"), FETCH_OK)
            _, (attachments, header, body) = read_record(c)
        listed = attachments.decode("latin-1")
        self.assertRegex(listed, r"^\d+ %d notes\.txt\r\n\d+ %d data\.bin$"
                         % (len(self.files["notes.txt"]), len(self.files["data.bin"])))
        self.assertEqual(body.decode("latin-1"), scramble("two files"))
        clear = subprocess.check_output([os.path.join(bin_dir(), "zorvic-cli"), "unscramble",
                                         "--", header.decode("latin-1")]).decode("latin-1")
        self.assertRegex(clear, r"^From: alice\r\nTo: dora\r\nDate: \d+(\.\d+)?\r\n"
                                r"Size: \d+\r\nPriority: 0\s*$")

    def test_a_reader_that_stops_holds_no_lock_others_need(self):
        big = os.path.join(self.work, "big.bin")
        data = os.urandom(2 * 1024 * 1024)
        with open(big, "wb") as f:
            f.write(data)
        self.send("alice", "eve", "big one", "big.bin")
        slow = self.server.connect()
        self.addCleanup(slow.close)
        # A small receive window, so that the body cannot fit into the socket buffers.
        slow.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
        self.assertEqual(login(slow, "eve"), "+OK 1")
        self.assertEqual(slow.command("2004 1"), FETCH_OK)
        _, (attachments, _, _) = read_record(slow)
        attach_id = attachments.split(b" ")[0].decode()
        # The body fills the socket buffers and the server's send waits for this reader...
        self.assertEqual(slow.command(f"2009 {attach_id}", timeout=30), ATTACH_OK)
        time.sleep(0.3)
        # ...while another user's mailbox commands and the shared database stay available.
        with self.server.connect() as other:
            self.assertEqual(login(other, "dora", timeout=3), "+OK 1")
            start = time.monotonic()
            self.assertEqual(other.command("2005", timeout=3), LIST_OK)
            other.read_block(timeout=3)
            self.assertEqual(other.command("2010", timeout=3), "+OK Query Result Follows")
            other.read_block(timeout=3)
            self.assertLess(time.monotonic() - start, 2.0)
        self.assertEqual(slow.read_block(timeout=60), data)

    def test_refusals_and_usage(self):
        _, err = self.cli("bob", "fetch", "abc", expect=1)
        self.assertIn("is no message or attachment id", err)
        _, err = self.cli("bob", "fetch", "987", expect=1)
        self.assertIn("-ERR Invalid Message ID!", err)
        _, err = self.cli("bob", "fetch", "1", "--save-dir", "/nonexistent/dir", expect=1)
        self.assertIn("is no folder", err)
        self.cli("bob", "delete", expect=2)
        self.cli("bob", "delete", "1", "--all", expect=2)
        self.cli("bob", "list", "extra", expect=2)
        self.cli("bob", "fetch", "--bogus", "1", expect=2)
        out, _ = self.cli("bob", "fetch", "--help")
        self.assertIn("fetch ID [--save-dir DIR]", out)
        env = dict(os.environ, ZORVIC_PASSWORD="wrong")
        result = subprocess.run([os.path.join(bin_dir(), "zorvic-cli"), "list", "--port",
                                 str(self.server.port), "--user", "bob"],
                                capture_output=True, timeout=60, env=env, stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"-ERR", result.stderr)


if __name__ == "__main__":
    unittest.main()
