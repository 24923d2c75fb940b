"""zorvic-cli's administration listings against a real server: users, groups, profiles,
requests, log, table and match, each as an aligned table and as JSON; the column marks of the
listings (required, Autoinc) on the wire and through --columns; refusals with status 1; and the
client's own limits against a fake server that stays silent or announces a huge packet."""
import concurrent.futures
import json
import os
import socket
import subprocess
import threading
import unittest

from harness import ServerProcess, bin_dir
from login_support import add_user, sql

ADMIN_PASSWORD = "tarnlamp"
NO_ADMIN = "-ERR You do not have admin permissions"
NO_MATCH = "-ERR No matching record"
LISTINGS = ("users", "groups", "profiles", "requests", "log")


def cli(port, user, password, *args, env_extra=None, timeout=60):
    env = dict(os.environ, ZORVIC_PASSWORD=password)
    env.update(env_extra or {})
    return subprocess.run([os.path.join(bin_dir(), "zorvic-cli"), *args, "--port", str(port),
                           "--user", user], capture_output=True, env=env, timeout=timeout)


def column_starts(header, names):
    return [header.index(n) for n in names]


# The read-only runs of the listing tests, made side by side before the tests look at them
# (each run is a process start and a login on a sanitizer build).
ADMIN_RUNS = [(n,) for n in LISTINGS] + [(n, "--json") for n in LISTINGS] + [
    ("users", "--columns", "--json"), ("log", "--columns", "--json"),
    ("requests", "--columns"), ("table", "Attachments"), ("table", "Attachments", "--json"),
    ("table", "groups", "--json"), ("table", "Users", "GroupName", "--json"),
    ("match", "Users", "GroupName", "Staff", "--json"),
    ("match", "Users", "Question1", "o'q \"x\"", "--json"),
    ("match", "Requests", "RequestID", "1", "--literal", "--json"),
    ("match", "Users", "UserName", "nobody"),
    ("match", "Users", "UserName", "'x' or 1=1", "--literal"),
]
REFUSED_RUNS = [("users",), ("requests", "--json"), ("table", "Groups"),
                ("match", "Users", "UserName", "alice", "--json")]


class CliListingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(options={"EnableLogging": "1"})
        s = cls.server
        sql(s, "Insert into Profiles (ProfileName, Privileges) values ('Basic', 2);"
               "Insert into Groups (GroupName, ProfileName) values ('Staff', 'Basic');"
               "Insert into Groups (GroupName, ProfileName) values ('Sales', 'Basic');"
               "Insert into Requests (From, RequestType, RequestDate) values "
               "('newbie', 'User Activation Request', '2024-02-29');")
        add_user(s, "carol", group="Staff")
        # A byte that is not UTF-8 (a Latin-1 e acute), written past the text-only helper.
        subprocess.run([os.path.join(bin_dir(), "zorvic-sql"), os.path.join(s.home, "Data"),
                        "--bail", "-c",
                        b"Update Users set Answer1='caf\xe9', Question2='q2' where UserName='carol';"],
                       check=True, capture_output=True, timeout=60)
        add_user(s, "alice", group="Staff", PrimaryEmail="alice@example.org",
                 PhoneNumber="tab\there\nnext")
        add_user(s, "zoë", group="Sales", Question1="o'q \"x\"")
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            admin = {args: pool.submit(cli, s.port, "admin", ADMIN_PASSWORD, *args)
                     for args in ADMIN_RUNS}
            refused = {args: pool.submit(cli, s.port, "alice", "pw", *args)
                       for args in REFUSED_RUNS}
            cls.admin_runs = {args: f.result() for args, f in admin.items()}
            cls.refused_runs = {args: f.result() for args, f in refused.items()}

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def admin(self, *args, **kw):
        if args in self.admin_runs and not kw:
            return self.admin_runs[args]
        return cli(self.server.port, "admin", ADMIN_PASSWORD, *args, **kw)

    def ok(self, *args, strict=False):
        """Standard output of a successful run. The table form passes the bytes of a value as
        they are (a byte that is not UTF-8 counts as one character); JSON is always UTF-8."""
        r = self.admin(*args)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, b"")
        return r.stdout.decode("utf-8", "strict" if strict else "surrogateescape")

    def json_rows(self, *args):
        return json.loads(self.ok(*args, "--json", strict=True))

    # ------------------------------------------------------------------ table form
    def test_users_table_is_aligned_one_line_per_row(self):
        lines = self.ok("users").rstrip("\n").split("\n")
        header = lines[0]
        self.assertTrue(header.startswith("UserName  Password  GroupName"), header)
        self.assertEqual([l.split()[0] for l in lines[1:]], ["admin", "alice", "carol", "zoë"])
        starts = column_starts(header, ["Password", "GroupName", "HasAdminPower"])
        for line in lines[1:]:
            self.assertFalse(line.endswith(" "), line)
            for start in starts:  # every cell begins where its header does (characters)
                self.assertEqual(line[start - 1], " ", line)
                self.assertNotEqual(line[start], " ", (start, line))
        carol = next(l for l in lines if l.startswith("carol"))
        self.assertIn("caf\udce9", carol)
        self.assertEqual(carol.index("q2"), header.index("Question2"))
        alice = next(l for l in lines if l.startswith("alice"))
        self.assertIn("tab\\there\\nnext", alice)  # control characters never break a line

    def test_every_listing_in_table_form(self):
        out = {name: self.ok(name) for name in LISTINGS}
        self.assertEqual(out["groups"].split("\n")[0].split(), ["GroupName", "ProfileName"])
        self.assertEqual([l.split() for l in out["groups"].split("\n")[1:4]],
                         [["Admins"], ["Sales", "Basic"], ["Staff", "Basic"]])
        self.assertEqual(out["profiles"].split("\n")[1].split()[:2], ["Basic", "2"])
        req = out["requests"].rstrip("\n").split("\n")
        self.assertEqual(req[0].split(), ["RequestID", "From", "RequestType", "RequestDate"])
        self.assertEqual(req[1].split(),
                         ["1", "newbie", "User", "Activation", "Request", "2024-02-29"])
        log = out["log"].rstrip("\n").split("\n")
        self.assertEqual(log[0].split(), ["EntryNo", "EntryText", "EntryDate"])
        self.assertIn("Start of log file", log[1])
        # Numbers are aligned to the right under their header.
        self.assertTrue(log[1].startswith("      1  "), log[1])

    def test_an_empty_listing_prints_its_header_alone(self):
        r = self.admin("table", "Attachments")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.decode(), "AttachID  RefCount  BODY  Size\n")
        self.assertEqual(self.json_rows("table", "Attachments"), [])

    # ------------------------------------------------------------------ JSON form
    def test_every_listing_as_json(self):
        users = {u["UserName"]: u for u in self.json_rows("users")}
        self.assertEqual(sorted(users), ["admin", "alice", "carol", "zoë"])
        self.assertIs(users["admin"]["HasAdminPower"], True)
        self.assertIs(users["alice"]["AccountDisabled"], False)
        self.assertEqual(users["alice"]["PhoneNumber"], "tab\there\nnext")
        self.assertEqual(users["zoë"]["Question1"], "o'q \"x\"")
        self.assertEqual(users["carol"]["LastLogin"], "1899-12-30")  # NULL date as listed
        self.assertEqual(users["carol"]["Answer1"], "caf\u00e9")  # not UTF-8: read as Latin-1
        self.assertEqual(self.json_rows("groups")[1], {"GroupName": "Sales",
                                                        "ProfileName": "Basic"})
        profile = self.json_rows("profiles")[0]
        self.assertEqual((profile["ProfileName"], profile["Privileges"],
                          profile["MaxAttachSize"], profile["ClientAutoLogoutTime"]),
                         ("Basic", 2, 1024, None))
        self.assertEqual(self.json_rows("requests"),
                         [{"RequestID": 1, "From": "newbie",
                           "RequestType": "User Activation Request",
                           "RequestDate": "2024-02-29"}])
        log = self.json_rows("log")
        numbers = [e["EntryNo"] for e in log]
        self.assertTrue(all(isinstance(n, int) for n in numbers))
        self.assertEqual(numbers, sorted(numbers))
        self.assertEqual(log[0]["EntryText"], "Start of log file")
        self.assertTrue(any(e["EntryText"] == "User admin logged in from 127.0.0.1"
                            for e in log))

    def test_json_is_one_array_with_an_object_per_line(self):
        lines = self.ok("groups", "--json").rstrip("\n").split("\n")
        self.assertEqual(lines[0], "[")
        self.assertEqual(lines[-1], "]")
        for line in lines[1:-1]:
            json.loads(line.rstrip(","))

    # ------------------------------------------------------------------ column marks
    def test_listings_carry_required_and_autoinc_marks(self):
        users = {c["Name"]: c for c in self.json_rows("users", "--columns")}
        self.assertEqual(users["Password"], {"Name": "Password", "Type": "string", "Width": 32,
                                             "Required": True, "SubType": ""})
        self.assertIs(users["HasAdminPower"]["Required"], True)
        self.assertIs(users["GroupName"]["Required"], False)
        log = {c["Name"]: c for c in self.json_rows("log", "--columns")}
        self.assertEqual(log["EntryNo"], {"Name": "EntryNo", "Type": "integer", "Width": None,
                                          "Required": False, "SubType": "Autoinc"})
        self.assertEqual(log["EntryText"]["Width"], 250)
        table = self.ok("requests", "--columns").rstrip("\n").split("\n")
        self.assertEqual(table[0].split(), ["Name", "Type", "Width", "Required", "SubType"])
        self.assertEqual([l.split() for l in table[1:]],
                         [["RequestID", "integer", "0", "Autoinc"],
                          ["From", "string", "32", "0"], ["RequestType", "string", "32", "0"],
                          ["RequestDate", "datetime", "0"]])

    def test_marks_on_the_wire(self):
        with self.server.connect() as c:
            c.send_line("1000 admin")
            from login_support import scramble
            c.send_line("1001 " + scramble(ADMIN_PASSWORD))
            self.assertEqual(c.read_line(timeout=30), "+OK 1")
            c.send_line("2100 Users UserName")
            self.assertEqual(c.read_line(), "+OK Admin data follows")
            raw = c.read_block()
            self.assertIn(b'<field name="Password" type="string" WIDTH="32" required="true" />',
                          raw)
            self.assertIn(b'<field name="HasAdminPower" type="boolean" required="true" />', raw)
            c.send_line("2101 Log EntryNo 1")
            self.assertEqual(c.read_line(), "+OK Admin data follows")
            self.assertIn(b'<field name="EntryNo" type="integer" SUBTYPE="Autoinc" />',
                          c.read_block())

    # ------------------------------------------------------------------ table and match
    def test_table_and_match(self):
        self.assertEqual([g["GroupName"] for g in self.json_rows("table", "groups")],
                         ["Admins", "Sales", "Staff"])
        by_group = self.json_rows("table", "Users", "GroupName")
        self.assertEqual([u["GroupName"] for u in by_group],
                         sorted(u["GroupName"] for u in by_group))
        self.assertEqual([u["UserName"] for u in self.json_rows("match", "Users", "GroupName",
                                                                  "Staff")], ["alice", "carol"])
        # A text with quotes is sent as one quoted literal.
        self.assertEqual(self.json_rows("match", "Users", "Question1", "o'q \"x\""
                                        )[0]["UserName"], "zoë")
        self.assertEqual(self.json_rows("match", "Requests", "RequestID", "1", "--literal"
                                        )[0]["From"], "newbie")

    def test_match_without_a_record_and_bad_names(self):
        r = self.admin("match", "Users", "UserName", "nobody")
        self.assertEqual((r.returncode, r.stdout, r.stderr.decode()), (1, b"", NO_MATCH + "\n"))
        # Text that would change the statement is refused by the server as one bad literal.
        r = self.admin("match", "Users", "UserName", "'x' or 1=1", "--literal")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr.decode(), "-ERR Server-side error during admin operation\n")
        r = self.admin("table", "Users;Drop", "UserName")
        self.assertEqual(r.returncode, 1)
        self.assertIn("is no table name", r.stderr.decode())
        r = self.admin("table", "NoSuchTable")
        self.assertEqual(r.returncode, 2)
        self.assertIn("name the field", r.stderr.decode())

    # ------------------------------------------------------------------ refusals and usage
    def test_a_user_without_admin_rights_is_refused_everywhere(self):
        for args, r in self.refused_runs.items():
            self.assertEqual((r.returncode, r.stdout, r.stderr.decode()),
                             (1, b"", NO_ADMIN + "\n"), args)

    def test_login_failures_and_usage_errors(self):
        r = cli(self.server.port, "admin", "wrong", "users")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr.decode(), "-ERR Invalid User Name or Password!\n")
        r = self.admin("users", "--bogus")
        self.assertEqual(r.returncode, 2)
        self.assertIn("unknown option", r.stderr.decode())
        r = self.admin("users", "extra")
        self.assertEqual(r.returncode, 2)
        r = self.admin("match", "Users", "UserName")
        self.assertEqual(r.returncode, 2)
        for name in ("users", "table", "match"):
            r = subprocess.run([os.path.join(bin_dir(), "zorvic-cli"), name, "--help"],
                               capture_output=True, timeout=30)
            self.assertEqual(r.returncode, 0)
            text = r.stdout.decode()
            self.assertTrue(text.startswith("Usage: zorvic-cli "), text)
            self.assertIn(" " + name + " ", text)
            self.assertIn("--json", text)


class FakeServer:
    """Answers the login, then the listing command with `reply` (bytes) or with silence."""

    def __init__(self, reply):
        self.reply = reply
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.port = self.sock.getsockname()[1]
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        conn, _ = self.sock.accept()
        with conn:
            data = b""
            while data.count(b"\n") < 2:
                data += conn.recv(4096)
            conn.sendall(b"+OK 0\r\n")
            while data.count(b"\n") < 3:
                data += conn.recv(4096)
            if self.reply is not None:
                conn.sendall(self.reply)
            self.done.wait(30)

    def close(self):
        self.done.set()
        self.sock.close()


class CliClientLimitsTest(unittest.TestCase):
    def run_against(self, reply, *args, env_extra=None):
        fake = FakeServer(reply)
        try:
            return cli(fake.port, "admin", "x", *args, env_extra=env_extra, timeout=30)
        finally:
            fake.close()

    def test_silence_ends_with_a_clear_message(self):
        r = self.run_against(None, "users", env_extra={"ZORVIC_REPLY_WAIT": "1"})
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr.decode(),
                         "zorvic-cli: no reply from the server to the listing within 1 s\n")

    def test_a_huge_announced_packet_is_refused(self):
        r = self.run_against(b"+OK Admin data follows\r\n\x7f\xff\xff\xff", "groups")
        self.assertEqual(r.returncode, 1)
        self.assertIn("announced 2147483647 bytes", r.stderr.decode())
        r = self.run_against(b"+OK Admin data follows\r\n\xff\xff\xff\xfe", "groups")
        self.assertEqual(r.returncode, 1)
        self.assertIn("did not come", r.stderr.decode())

    def test_malformed_and_cut_packets(self):
        r = self.run_against(b"+OK Admin data follows\r\n\x00\x00\x00\x05<a><b", "groups")
        self.assertEqual(r.returncode, 1)
        self.assertIn("not well-formed XML", r.stderr.decode())
        r = self.run_against(b"+OK Admin data follows\r\n\x00\x00\x00\x50<a>", "groups",
                             env_extra={"ZORVIC_REPLY_WAIT": "1"})
        self.assertEqual(r.returncode, 1)
        self.assertIn("broke off before its end", r.stderr.decode())


if __name__ == "__main__":
    unittest.main()
