"""Server options (2106, 2107), settings files (2014, 2015) and client updates (2111 to 2118)
over real TCP: the exact option packet, round trips that keep every byte, file names that try
to leave their folder, sizes that are negative or huge, and uploads that break off."""
import os
import struct
import time
import unittest

from harness import ServerProcess, write_ini, wait_until
from login_support import add_user, login, no_more_data, sql

NO_PERMISSION = "-ERR You do not have the permissions to perform this operation"
BAD_NAME = "-ERR Invalid file name"
BAD_SIZE = "-ERR Invalid file size"
TOO_LARGE = "-ERR File too large"
HEAD = '<?xml version="1.0" standalone="yes" ?><LiteDataPacket version="1.0">'

# Names that must never reach the file system outside the folder they are meant for.
BAD_NAMES = ["..", ".", "../escape.txt", "../../ServerOptions.ini", "/tmp/zorvic-abs.txt",
             "sub/file", "sub\\file", "a\x00b", "x" * 256, "tab\there", "",
             ".zorvic-upload-abcdef"]


def options_packet(pairs, rows=1):
    fields = "".join(f'<field name="{k}" type="string" />' for k, _ in pairs)
    row = "<row " + "".join(f'{k}="{v}" ' for k, v in pairs) + "/>"
    return (HEAD + f"<metadata>{fields}</metadata><data>{row * rows}</data>"
            "</LiteDataPacket>").encode("latin-1")


def snapshot(folder):
    """Every file below folder with its bytes, except the tables (the shared ones in Data and
    the users' Messages tables), which logins and the log change."""
    found = {}
    for root, _, files in os.walk(folder):
        if os.path.relpath(root, folder).split(os.sep)[0] == "Data":
            continue
        for name in files:
            if name.startswith("Messages."):
                found[os.path.relpath(os.path.join(root, name), folder)] = None
                continue
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, folder)] = f.read()
    return found


class OptionsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(options={"EnableLogging": "1"})
        add_user(cls.server, "alice")
        cls.ini = os.path.join(cls.server.home, "ServerOptions.ini")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.c = self.server.connect()

    def tearDown(self):
        self.c.close()

    def admin(self):
        self.assertEqual(login(self.c, "admin", "tarnlamp"), "+OK 1")
        return self.c

    def fetch(self, c):
        c.send_line("2106")
        self.assertEqual(c.read_line(), "+OK Server Settings Follows")
        return c.read_block()

    def store(self, c, packet):
        self.assertEqual(c.command("2107"), "+OK Send the rest of server options")
        c.write_block(packet)
        self.assertEqual(c.command("2105"), "+OK 1")  # 2107 has no reply; the session goes on

    def ini_bytes(self):
        with open(self.ini, "rb") as f:
            return f.read()

    def test_exact_packet_of_the_section(self):
        write_ini(self.ini, {"ServerOptions": {"EnableLogging": "1",
                                               "SMTPServer": "mail.example.org",
                                               "SubjectLine": "'quoted'"}})
        c = self.admin()
        self.assertEqual(self.fetch(c), (
            HEAD + '<metadata><field name="EnableLogging" type="string" />'
            '<field name="SMTPServer" type="string" /><field name="SubjectLine" type="string" />'
            '</metadata><data><row EnableLogging="1" SMTPServer="mail.example.org" '
            'SubjectLine="quoted" /></data></LiteDataPacket>').encode())
        # An empty section: metadata without children, one row without attributes.
        write_ini(self.ini, {"Other": {"x": "1"}})
        self.assertEqual(self.fetch(c), (HEAD + "<metadata></metadata><data><row /></data>"
                                         "</LiteDataPacket>").encode())

    def test_users_without_admin_power_are_refused(self):
        self.assertEqual(login(self.c, "alice"), "+OK 1")
        self.assertEqual(self.c.command("2106"), NO_PERMISSION)
        before = self.ini_bytes()
        self.assertEqual(self.c.command("2107"), NO_PERMISSION)  # before the prompt
        self.assertTrue(no_more_data(self.c))
        self.assertEqual(self.ini_bytes(), before)

    def test_round_trip_changes_only_the_named_keys(self):
        write_ini(self.ini, {"ServerOptions": {"EnableLogging": "1", "SMTPServer": "old.host",
                                               "MaxMsgSize": "0x10"}})
        c = self.admin()
        tricky = "  a &amp; b &lt;c&gt; &quot;d&quot; 'e'  "
        self.store(c, options_packet([("SMTPServer", "new.host"), ("SubjectLine", tricky)]))
        self.assertEqual(self.fetch(c), (
            HEAD + '<metadata><field name="EnableLogging" type="string" />'
            '<field name="SMTPServer" type="string" /><field name="MaxMsgSize" type="string" />'
            '<field name="SubjectLine" type="string" /></metadata><data><row EnableLogging="1" '
            'SMTPServer="new.host" MaxMsgSize="0x10" '
            f'SubjectLine="{tricky.replace("&gt;", ">")}" />'
            '</data></LiteDataPacket>').encode())
        self.assertIn(b"SMTPServer=new.host", self.ini_bytes())

    def test_nothing_to_store_writes_nothing(self):
        write_ini(self.ini, {"ServerOptions": {"SMTPServer": "keep.host"}})
        before = self.ini_bytes()
        stamp = os.stat(self.ini).st_mtime_ns
        c = self.admin()
        for packet in (b"<not xml", b"",
                       (HEAD + "<metadata></metadata><data><row /></data></LiteDataPacket>").encode(),
                       # fields without a row, and a good key beside one no INI line can hold
                       options_packet([("SMTPServer", "x")], rows=0),
                       options_packet([("SMTPServer", "x"), ("[Evil]", "1")]),
                       options_packet([("SMTPServer", "x"), ("a=b", "1")])):
            self.store(c, packet)
        self.assertEqual(self.ini_bytes(), before)
        self.assertEqual(os.stat(self.ini).st_mtime_ns, stamp)

    def test_values_cannot_add_lines_or_sections(self):
        write_ini(self.ini, {"ServerOptions": {"SMTPServer": "a"}})
        c = self.admin()
        self.store(c, options_packet([("SMTPServer", "x&#13;&#10;[Evil]&#10;RunAsService=1")]))
        text = self.ini_bytes().decode("latin-1")
        self.assertNotIn("[Evil]\n", text)
        self.assertEqual([l for l in text.splitlines() if l.startswith("[")], ["[ServerOptions]"])
        self.assertNotIn("\nRunAsService", text)
        self.assertIn(b'SMTPServer="x  [Evil] RunAsService=1"', self.fetch(c))

    def test_negative_and_huge_packet_sizes(self):
        write_ini(self.ini, {"ServerOptions": {"SMTPServer": "a"}})
        before = self.ini_bytes()
        c = self.admin()
        self.assertEqual(c.command("2107"), "+OK Send the rest of server options")
        c.write_int32(-5)
        self.assertEqual(c.command("2105"), "+OK 1")
        self.assertEqual(c.command("2107"), "+OK Send the rest of server options")
        c.write_int32(0x7FFFFFFF)  # beyond MaxPacketSize: its bytes are never read
        self.assertTrue(c.expect_closed())
        self.assertEqual(self.ini_bytes(), before)
        log = sql(self.server, "Select EntryText from Log;")
        self.assertIn("In cServer.HandleAdminFetchOptions (): 'Invalid packet size -5'", log)


class FilesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(options={"EnableLogging": "1", "MaxUploadSize": "64"})
        add_user(cls.server, "alice")
        cls.home = cls.server.home
        cls.alice_dir = os.path.join(cls.home, "Users", "alice")
        cls.updates = os.path.join(cls.home, "Updates")
        cls.versions = os.path.join(cls.updates, "versions.ini")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.c = self.server.connect()

    def tearDown(self):
        self.c.close()

    def user(self, name="alice", password="pw"):
        self.assertEqual(login(self.c, name, password), "+OK 1")
        return self.c

    def admin(self):
        return self.user("admin", "tarnlamp")

    def put(self, c, code, name, data):
        c.send_line(f"{code} {name}".encode("latin-1"))
        c.write_block(data)
        return c.read_line()

    def get_settings(self, c, name):
        reply = c.command(f"2014 {name}")
        if reply == "+OK 0":
            return None
        self.assertEqual(reply, "+OK File size and contents follow")
        return c.read_block()

    # ---- settings files -------------------------------------------------------------------

    def test_settings_file_round_trip_keeps_every_byte(self):
        c = self.user()
        self.assertIsNone(self.get_settings(c, "never-stored.ini"))
        data = bytes(range(256)) * 40 + b"\r\n2000\r\n"  # more than one 1024-byte piece
        self.assertEqual(self.put(c, 2015, "my settings.bin", data), "+OK File Received")
        self.assertEqual(self.get_settings(c, "my settings.bin"), data)
        with open(os.path.join(self.alice_dir, "my settings.bin"), "rb") as f:
            self.assertEqual(f.read(), data)
        # Replacing, and an empty file.
        self.assertEqual(self.put(c, 2015, "my settings.bin", b"v2"), "+OK File Received")
        self.assertEqual(self.get_settings(c, "my settings.bin"), b"v2")
        self.assertEqual(self.put(c, 2015, "empty", b""), "+OK File Received")
        self.assertEqual(self.get_settings(c, "empty"), b"")
        self.assertEqual(c.command("2105"), "+OK 0")

    def test_settings_names_that_leave_the_folder_are_refused(self):
        c = self.user()
        before = snapshot(self.home)
        for name in BAD_NAMES + ["Messages.DAT", "messages.idx", "MESSAGES.BLB", "Messages.JNL"]:
            with self.subTest(name=name):
                self.assertEqual(self.put(c, 2015, name, b"payload\r\n2000\r\n"), BAD_NAME)
                self.assertEqual(c.command("2014 " + name), BAD_NAME)
                self.assertEqual(c.command("2105"), "+OK 0")  # the payload was drained
        self.assertEqual(snapshot(self.home), before)
        self.assertFalse(os.path.exists("/tmp/zorvic-abs.txt"))
        for name in os.listdir(self.alice_dir):
            with open(os.path.join(self.alice_dir, name), "rb") as f:
                self.assertNotIn(b"payload", f.read())
        log = sql(self.server, "Select EntryText from Log;")
        self.assertIn("In cServer.HandleReceiveSettingsFile (): Invalid file name '../escape.txt'",
                      log)
        self.assertIn("In cServer.HandleSendSettingsFile (): Invalid file name 'a?b'", log)

    def test_settings_sizes_negative_and_huge(self):
        c = self.user()
        c.send_line("2015 size.ini")
        c.write_int32(-1)
        self.assertEqual(c.read_line(), BAD_SIZE)
        self.assertEqual(c.command("2105"), "+OK 0")
        c.send_line("2015 size.ini")
        c.write_int32(64 * 1024 + 1)  # one byte above MaxUploadSize
        self.assertEqual(c.read_line(), TOO_LARGE)
        self.assertTrue(c.expect_closed())
        self.assertFalse(os.path.exists(os.path.join(self.alice_dir, "size.ini")))

    def test_aborted_uploads_leave_the_old_file(self):
        c = self.user()
        self.assertEqual(self.put(c, 2015, "keep.ini", b"old settings"), "+OK File Received")
        c.send_line("2015 keep.ini")
        c.send_raw(struct.pack(">i", 1000) + b"only a part")
        c.close()
        a = self.server.connect()
        self.assertEqual(login(a, "admin", "tarnlamp"), "+OK 1")
        self.assertEqual(self.put(a, 2112, "keep.bin", b"old update"), "+OK File Received")
        a.send_line("2112 keep.bin")
        a.send_raw(struct.pack(">i", 5000) + b"x" * 100)
        a.abort()

        def no_temporaries():
            return not any(n.startswith(".zorvic-upload-") for folder in (self.alice_dir,
                           self.updates) for n in os.listdir(folder))
        self.assertTrue(wait_until(no_temporaries))
        with open(os.path.join(self.alice_dir, "keep.ini"), "rb") as f:
            self.assertEqual(f.read(), b"old settings")
        with open(os.path.join(self.updates, "keep.bin"), "rb") as f:
            self.assertEqual(f.read(), b"old update")

    def test_uploads_of_one_name_at_once_leave_one_whole_file(self):
        contents = [bytes([65 + i]) * 60000 for i in range(3)]
        clients = []
        for _ in contents:
            c = self.server.connect()
            self.assertEqual(login(c, "admin", "tarnlamp"), "+OK 1")
            clients.append(c)
        # Every size and a first part go out before any upload is complete.
        for c, data in zip(clients, contents):
            c.send_line("2112 shared.bin")
            c.send_raw(struct.pack(">i", len(data)) + data[:1000])
        for c, data in zip(clients, contents):
            c.send_raw(data[1000:])
        for c in clients:
            self.assertEqual(c.read_line(), "+OK File Received")
            c.close()
        with open(os.path.join(self.updates, "shared.bin"), "rb") as f:
            self.assertIn(f.read(), contents)

    # ---- versions and policy --------------------------------------------------------------

    def test_version_and_policy_lines(self):
        if os.path.exists(self.versions):
            os.remove(self.versions)
        c = self.user()
        self.assertEqual(c.command("2111"), "0.01")
        self.assertEqual(c.command("2113"), "0")
        self.assertEqual(c.command("2118"), "+OK 0")
        self.assertEqual(c.command("2117 2"), "+OK Policy Changed")
        self.assertEqual(c.command("2113"), "2")
        self.assertEqual(c.command("2118"), "+OK 2")
        # Blanks at the ends and quotes survive; nothing can open a section of its own.
        self.assertEqual(c.command("2117  'x' [Client] "), "+OK Policy Changed")
        self.assertEqual(c.command("2118"), "+OK  'x' [Client] ")
        write_ini(self.versions, {"Client": {"Version": "1.2.3"}, "Settings": {"UpdatePolicy": "7"}})
        self.assertEqual(c.command("2111"), "1.2.3")
        self.assertEqual(c.command("2113"), "7")

    # ---- update files ---------------------------------------------------------------------

    def test_update_upload_and_fetch_keep_every_byte(self):
        c = self.admin()
        data = os.urandom(5000) + b"\r\n+OK Update all sent\r\n"
        self.assertEqual(self.put(c, 2112, "client-1.5.exe", data), "+OK File Received")
        with open(os.path.join(self.updates, "client-1.5.exe"), "rb") as f:
            self.assertEqual(f.read(), data)
        write_ini(self.versions, {"Client": {"Version": "1.5", "UpdateFile": "client-1.5.exe"}})
        u = self.server.connect()
        self.assertEqual(login(u, "alice"), "+OK 1")
        self.assertEqual(u.command("2114"), "+OK client-1.5.exe")
        self.assertEqual(u.read_block(), data)
        self.assertEqual(u.read_line(), "+OK Update all sent")
        u.close()

    def test_update_refusals_drain_the_bytes_and_change_nothing(self):
        before = snapshot(self.home)
        c = self.user()
        self.assertEqual(self.put(c, 2112, "client.exe", b"x" * 3000), NO_PERMISSION)
        self.assertEqual(c.command("2105"), "+OK 0")
        c.close()
        self.c = c = self.server.connect()
        self.admin()
        for name in BAD_NAMES:
            with self.subTest(name=name):
                self.assertEqual(self.put(c, 2112, name, b"payload\r\n2000\r\n"), BAD_NAME)
                self.assertEqual(c.command("2105"), "+OK 1")
        c.send_line("2112 neg.bin")
        c.write_int32(-7)
        self.assertEqual(c.read_line(), BAD_SIZE)
        self.assertEqual(snapshot(self.home), before)
        c.send_line("2112 huge.bin")
        c.write_int32(0x7FFFFFFF)
        self.assertEqual(c.read_line(), TOO_LARGE)
        self.assertTrue(c.expect_closed())
        self.assertFalse(os.path.exists(os.path.join(self.updates, "huge.bin")))

    def test_update_fetch_without_a_usable_file(self):
        c = self.user()
        for entry in ({}, {"UpdateFile": "missing.exe"}, {"UpdateFile": "../ServerOptions.ini"},
                      {"UpdateFile": "/etc/passwd"}, {"UpdateFile": "."}):
            with self.subTest(entry=entry):
                write_ini(self.versions, {"Client": entry})
                self.assertEqual(c.command("2114"), "-ERR No update file found!")
        self.assertEqual(c.command("2105"), "+OK 0")


if __name__ == "__main__":
    unittest.main()
