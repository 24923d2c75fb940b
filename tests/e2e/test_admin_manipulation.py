"""Resource manipulation over real TCP: records of the shared tables created, changed and
deleted by packets (2102, 2103, 2104), self-service accounts (2020) and their approval (2115),
refusals that keep the stream in step, hostile input that changes nothing, and the end of the
sessions of an account that is changed or deleted while logged in."""
import os
import re
import time
import unittest
import xml.etree.ElementTree as ET

from harness import ServerProcess, wait_until, write_ini
from login_support import login

OK = "+OK Admin Resource Manipulation Successful"
NO_RIGHTS = "-ERR You do not have the permissions to perform this operation"
MALFORMED = "-ERR malformed XML"
EXISTS = "-ERR a resource with that identifier already exists!"
FAILED = "-ERR Server-side exception while performing operation"
TOO_LARGE = "-ERR The packet is too large"
APPROVED = "+OK Request approved"
APPROVE_FAILED = "-ERR Server-side error during operation"
DISALLOWED = "-ERR User Creation by non-admins is disallowed"


def esc(value):
    return (value.replace("&", "&amp;").replace("<", "&lt;").replace('"', "&quot;")
            .replace("\r", "&#13;").replace("\n", "&#10;").replace("\t", "&#9;"))


def packet(*fields):
    """fields: (name, type, value) triples; one row."""
    meta = "".join(f'<field name="{esc(n)}" type="{t}" />' for n, t, _ in fields)
    # a name that cannot be an attribute stays out of the row (the field element still names it)
    row = "".join(f'{n}="{esc(v)}" ' for n, _, v in fields if re.fullmatch(r"[A-Za-z_][\w.-]*", n))
    return ('<?xml version="1.0" standalone="yes" ?><LiteDataPacket version="1.0"><metadata>'
            f"{meta}</metadata><data><row {row}/></data></LiteDataPacket>").encode()


def send_packet(client, code, table, body, length=None):
    length = len(body) if length is None else length
    client.send_raw(f"{code} {length} {table}\r\n".encode() + body)
    return client.read_line()


def user_packet(name, password="pw", **extra):
    fields = [("UserName", "string", name), ("Password", "string", password)]
    for key, value in extra.items():
        kind = "boolean" if isinstance(value, bool) else "string"
        fields.append((key, kind, ("1" if value else "0") if isinstance(value, bool) else value))
    return packet(*fields)


class ManipulationTest(unittest.TestCase):
    """One server for every case; an administrator's connection watches the tables through
    listings, and the options are rewritten where a case needs others (the server reads them
    each time)."""
    OPTIONS = {"EnableLogging": "1"}

    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(options=cls.OPTIONS)
        cls.watch = cls.server.connect()
        if login(cls.watch, "admin", "tarnlamp") != "+OK 1":
            raise AssertionError("the administrator cannot log in")

    @classmethod
    def tearDownClass(cls):
        cls.watch.close()
        cls.server.stop()

    def setUp(self):
        self.c = self.server.connect()

    def tearDown(self):
        self.c.close()
        self.set_options()

    def set_options(self, **options):
        write_ini(os.path.join(self.server.home, "ServerOptions.ini"),
                  {"ServerOptions": dict(self.OPTIONS, **options)})

    def admin(self, client=None):
        client = client or self.c
        self.assertEqual(login(client, "admin", "tarnlamp"), "+OK 1")
        return client

    def folder(self, name):
        return os.path.join(self.server.home, "Users", name)

    def listing(self, table, key):
        self.watch.send_line(f"2100 {table} {key}")
        self.assertEqual(self.watch.read_line(), "+OK Admin data follows")
        root = ET.fromstring(self.watch.read_block())
        return [dict(r.attrib) for r in root.findall("./data/row")]

    def record(self, table, key, value):
        found = [r for r in self.listing(table, key) if r[key] == value]
        return found[0] if found else None

    def make_user(self, name, password="pw"):
        self.assertEqual(send_packet(self.watch, 2102, "Users", user_packet(
            name, password, AccountDisabled=False)), OK)

    def snapshot(self):
        return (self.listing("Users", "UserName"), self.listing("Groups", "GroupName"),
                self.listing("Profiles", "ProfileName"), self.listing("Requests", "RequestID"),
                sorted(os.listdir(os.path.join(self.server.home, "Users"))),
                sorted(os.listdir(self.server.home)))

    def log_text(self):
        return "\n".join(r["EntryText"] for r in self.listing("Log", "EntryNo"))

    # ---- creating a profile, a group and a user, and logging in --------------------------

    def test_profile_group_and_user_created_by_packets(self):
        c = self.admin()
        self.assertEqual(send_packet(c, 2102, "Profiles", packet(
            ("ProfileName", "string", "Crew"), ("Privileges", "integer", "7"),
            ("AllowAttachments", "boolean", "1"), ("MaxAttachSize", "integer", "64"))), OK)
        self.assertEqual(send_packet(c, 2102, "groups", packet(
            ("GroupName", "string", "Deck"), ("ProfileName", "string", "Crew"))), OK)
        self.assertEqual(send_packet(c, 2102, "USERS", user_packet(
            "sailor", "knots", GroupName="Deck", AccountDisabled=False)), OK)
        self.assertTrue(os.path.isdir(self.folder("sailor")))
        self.assertTrue(any(f.lower().startswith("messages")
                            for f in os.listdir(self.folder("sailor"))))
        # the same key again: only the refusal, nothing changes
        before = self.snapshot()
        self.assertEqual(send_packet(c, 2102, "Users", user_packet("sailor", "other")), EXISTS)
        self.assertEqual(send_packet(c, 2102, "Groups", packet(
            ("GroupName", "string", "Deck"))), EXISTS)
        self.assertEqual(c.command("2105"), "+OK 1")
        self.assertEqual(self.snapshot(), before)
        with self.server.connect() as u:
            self.assertEqual(login(u, "sailor", "knots"), "+OK 1")
            self.assertEqual(u.command("2105"), "+OK 0")
        row = self.record("Users", "UserName", "sailor")
        self.assertEqual((row["GroupName"], row["Password"], row["AccountDisabled"]),
                         ("Deck", "knots", "0"))

    def test_user_created_without_account_field_is_disabled(self):
        c = self.admin()
        self.assertEqual(send_packet(c, 2102, "Users", user_packet("sleeper")), OK)
        with self.server.connect() as u:
            self.assertEqual(login(u, "sleeper"), "-ERR Invalid User Name or Password!")

    def test_update_and_delete(self):
        c = self.admin()
        self.assertEqual(send_packet(c, 2102, "Users", user_packet(
            "mover", AccountDisabled=False)), OK)
        self.assertEqual(send_packet(c, 2103, "Users", packet(
            ("UserName", "string", "mover"), ("PrimaryEmail", "string", "m@example.org"),
            ("PhoneNumber", "string", "it's \"ok\""))), OK)
        row = self.record("Users", "UserName", "mover")
        self.assertEqual((row["PrimaryEmail"], row["PhoneNumber"]),
                         ("m@example.org", "it's \"ok\""))
        # an update of a single field has no assignments: the statement fails
        self.assertEqual(send_packet(c, 2103, "Users", packet(
            ("UserName", "string", "mover"))), FAILED)
        self.assertIn("In cServer.HandleAdminManipulateResource (): ", self.log_text())
        # the folder goes with the record; the admin's own folder stays
        self.assertEqual(send_packet(c, 2104, "Users", packet(
            ("UserName", "string", "mover"))), OK)
        self.assertFalse(os.path.exists(self.folder("mover")))
        self.assertTrue(os.path.isdir(self.folder("admin")))
        self.assertIsNone(self.record("Users", "UserName", "mover"))

    def test_non_admin_is_refused_and_the_packet_drained(self):
        self.make_user("plain")
        self.assertEqual(login(self.c, "plain"), "+OK 1")
        before = self.snapshot()
        for code in (2102, 2103, 2104):
            self.assertEqual(send_packet(self.c, code, "Users", user_packet("x", "y")),
                             NO_RIGHTS)
            self.assertEqual(self.c.command("2105"), "+OK 0")
        self.assertEqual(self.c.command("2115 1"), NO_RIGHTS)
        # 2020 belongs to the authentication stage; its packet is dropped as well
        self.assertEqual(send_packet(self.c, 2020, "Users", user_packet("x", "y")),
                         "-ERR Unrecognized command: 2020")
        self.assertEqual(self.c.command("2105"), "+OK 0")
        self.assertEqual(self.snapshot(), before)

    def test_commands_of_the_wrong_stage_drain_their_packet(self):
        body = user_packet("early", "pw", HasAdminPower=True)
        self.assertEqual(send_packet(self.c, 2102, "Users", body),
                         "-ERR Unrecognized command in the authentication stage: 2102")
        self.assertEqual(self.c.command("2002"), "")  # questions of no account: empty lines
        self.assertEqual(self.c.read_line(), "")
        self.assertIsNone(self.record("Users", "UserName", "early"))

    def test_malformed_packets(self):
        c = self.admin()
        before = self.snapshot()
        self.assertEqual(c.command("2102 Users"), MALFORMED)      # no blank: length 0
        self.assertEqual(c.command("2102 abc Users"), MALFORMED)  # not a number: length 0
        self.assertEqual(c.command("2102 -5 Users"), MALFORMED)   # negative: nothing read
        self.assertEqual(send_packet(c, 2102, "Users", b"<<<not xml>>>"), MALFORMED)
        self.assertEqual(send_packet(c, 2102, "Users", b'<a b="1"/>'), FAILED)  # no fields
        # a NUL, raw or as a reference, cannot be carried by XML
        self.assertEqual(send_packet(c, 2102, "Users", user_packet("nul\0x")), MALFORMED)
        body = user_packet("nulref").replace(b"nulref", b"nul&#0;ref")
        self.assertEqual(send_packet(c, 2102, "Users", body), MALFORMED)
        body = user_packet("nulhex").replace(b"nulhex", b"nul&#x00;hex")
        self.assertEqual(send_packet(c, 2102, "Users", body), MALFORMED)
        self.assertEqual(c.command("2105"), "+OK 1")
        self.assertEqual(self.snapshot(), before)

    def test_huge_announced_size_is_refused_and_ends_the_connection(self):
        c = self.admin()
        before = self.snapshot()
        self.assertEqual(c.command("2102 99999999999999999999 Users"), TOO_LARGE)
        self.assertTrue(c.expect_closed())
        self.assertEqual(self.snapshot(), before)

    def test_connection_closing_before_the_packet_ends_the_read(self):
        c = self.admin()
        c.send_raw(b"2102 1000 Users\r\n<?xml")
        c.close()
        with self.server.connect() as d:  # the DatabaseLock was released
            self.admin(d)
            self.assertEqual(send_packet(d, 2102, "Groups", packet(
                ("GroupName", "string", "AfterAbort"))), OK)

    def test_hostile_input_changes_nothing(self):
        c = self.admin()
        self.make_user("victim")
        before = self.snapshot()
        long_name = "L" * 40
        cases = [
            # statements hidden in the table name
            (2102, "Users; Delete from Users", user_packet("t1")),
            (2104, "Users where 1=1 --", packet(("UserName", "string", "victim"))),
            (2102, "../Data/Users", user_packet("t2")),
            (2102, "/etc/passwd", user_packet("t3")),
            (2102, "NoSuchTable", user_packet("t4")),
            # field names that are no columns
            (2102, "Users", packet(("UserName", "string", "t5"),
                                   ("Password='' where 1=1; --", "string", "x"))),
            (2103, "Users", packet(("UserName", "string", "victim"),
                                   ("Nonsense", "string", "x"))),
            # the same field twice, and Users keyed by another field
            (2103, "Users", packet(("UserName", "string", "victim"),
                                   ("Password", "string", "a"), ("password", "string", "b"))),
            (2104, "Users", packet(("GroupName", "string", "Staff"))),
            (2103, "Users", packet(("Password", "string", "pw"),
                                   ("HasAdminPower", "boolean", "1"))),
            # values that are no literal of their type
            (2102, "Profiles", packet(("ProfileName", "string", "p1"),
                                      ("Privileges", "integer", "1); Delete from Users; --"))),
            (2102, "Profiles", packet(("ProfileName", "string", "p2"),
                                      ("Privileges", "integer", "1 or 1=1"))),
            (2102, "Users", user_packet("t6", LastLogin="1' or '1'='1")),
            # names that cannot be folders or hold control characters, over-long names
            (2102, "Users", user_packet("..")),
            (2102, "Users", user_packet("../escape")),
            (2102, "Users", user_packet("/tmp/absolute")),
            (2102, "Users", user_packet("")),
            (2102, "Users", user_packet("line\nbreak")),
            (2102, "Users", user_packet("tab\tname")),
            (2102, "Users", user_packet(long_name)),
            (2102, "Groups", packet(("GroupName", "string", "bad\r\ngroup"))),
            (2102, "Groups", packet(("GroupName", "string", "G" * 33))),
            (2102, "Profiles", packet(("ProfileName", "string", "bad\x01profile"),
                                      ("Privileges", "integer", "1"))),
            (2103, "Users", packet(("UserName", "string", "victim"),
                                   ("GroupName", "string", "evil\ngroup"))),
        ]
        for code, table, body in cases:
            with self.subTest(code=code, table=table, body=body[-120:]):
                self.assertEqual(send_packet(c, code, table, body), FAILED)
        # key values with quotes of both kinds select nothing and change nothing
        for key in ("victim' or '1'='1", 'victim" or "1"="1', "x'; Delete from Users; --"):
            with self.subTest(key=key):
                self.assertEqual(send_packet(c, 2103, "Users", packet(
                    ("UserName", "string", key), ("Password", "string", "owned"))), OK)
                self.assertEqual(send_packet(c, 2104, "Users", packet(
                    ("UserName", "string", key))), OK)
        # 2104 of a name that is no single folder removes no folder at all
        for key in ("..", ".", "../Data", "/"):
            self.assertEqual(send_packet(c, 2104, "Users", packet(
                ("UserName", "string", key))), OK)
        self.assertEqual(c.command("2105"), "+OK 1")
        self.assertEqual(self.snapshot(), before)
        self.assertTrue(os.path.isdir(os.path.join(self.server.home, "Data")))
        self.assertFalse(os.path.exists("/tmp/absolute"))
        log = self.log_text()
        self.assertIn("In cServer.HandleAdminManipulateResource (): ", log)

    def test_approve_arguments(self):
        c = self.admin()
        self.assertEqual(c.command("2115 424242"), APPROVED)
        before = self.snapshot()
        for argument in ("1; Delete from Users", "1 or 1=1", "-1", "99999999999", "", "'1'"):
            with self.subTest(argument=argument):
                self.assertEqual(c.command(("2115 " + argument).rstrip()), APPROVE_FAILED)
        self.assertEqual(self.snapshot(), before)
        self.assertIn("In cServer.HandleApproveAccountCreation (): ", self.log_text())

    # ---- self-service accounts ------------------------------------------------------------

    def test_self_service_account_is_active_at_once_and_without_rights(self):
        body = user_packet("newbie", "fresh", HasAdminPower=True, GroupName="Admins",
                           ProfileName="Crew", PrimaryEmail="n@example.org")
        self.assertEqual(send_packet(self.c, 2020, "Users", body), OK)
        row = self.record("Users", "UserName", "newbie")
        self.assertEqual((row["HasAdminPower"], row["GroupName"], row["ProfileName"],
                          row["PrimaryEmail"], row["AccountDisabled"]),
                         ("0", "", "", "n@example.org", "0"))
        self.assertTrue(os.path.isdir(self.folder("newbie")))
        self.assertEqual(login(self.c, "newbie", "fresh"), "+OK 1")
        self.assertEqual(self.c.command("2105"), "+OK 0")

    def test_self_service_refusals(self):
        before = self.snapshot()
        # another table, an existing account, a packet without UserName
        self.assertEqual(send_packet(self.c, 2020, "Groups", packet(
            ("GroupName", "string", "Mine"))), FAILED)
        self.assertEqual(send_packet(self.c, 2020, "Users", user_packet("admin", "x")), EXISTS)
        self.assertEqual(send_packet(self.c, 2020, "Users", packet(
            ("Password", "string", "x"))), FAILED)
        self.assertEqual(send_packet(self.c, 2020, "Users", user_packet("../up")), FAILED)
        self.assertEqual(self.snapshot(), before)
        self.assertEqual(login(self.c, "admin", "tarnlamp"), "+OK 1")

    # ---- sessions of a changed or deleted account -----------------------------------------

    def test_changing_a_logged_in_account_ends_its_sessions(self):
        c = self.admin()
        self.assertEqual(send_packet(c, 2102, "Users", user_packet(
            "deputy", "pw", HasAdminPower=True, AccountDisabled=False)), OK)
        other = self.server.connect()
        self.assertEqual(login(other, "deputy"), "+OK 1")
        self.assertEqual(other.command("2105"), "+OK 1")
        listener = self.server.connect()
        self.assertEqual(login(listener, "deputy"), "+OK 1")
        self.assertEqual(listener.command("2013"), "+OK You are now a listening socket!")
        # demoted: both connections end before the change is made
        self.assertEqual(send_packet(c, 2103, "Users", packet(
            ("UserName", "string", "deputy"), ("HasAdminPower", "boolean", "0"))), OK)
        self.assertTrue(other.expect_closed())
        self.assertTrue(listener.expect_closed())
        other.close()
        listener.close()
        again = self.server.connect()

        def relogged():
            return login(again, "deputy") == "+OK 1"
        self.assertTrue(wait_until(relogged, timeout=15))
        self.assertEqual(again.command("2105"), "+OK 0")
        self.assertEqual(send_packet(again, 2102, "Groups", packet(
            ("GroupName", "string", "Coup"))), NO_RIGHTS)
        # deleted: the session ends and the folder goes
        self.assertEqual(send_packet(c, 2104, "Users", packet(
            ("UserName", "string", "deputy"))), OK)
        self.assertTrue(again.expect_closed())
        again.close()
        self.assertFalse(os.path.exists(self.folder("deputy")))
        self.assertEqual(c.command("2105"), "+OK 1")

    def test_changing_ones_own_account_ends_the_session_after_the_reply(self):
        self.assertEqual(send_packet(self.watch, 2102, "Users", user_packet(
            "selfish", "pw", HasAdminPower=True, AccountDisabled=False)), OK)
        self.assertEqual(login(self.c, "selfish"), "+OK 1")
        self.assertEqual(send_packet(self.c, 2103, "Users", packet(
            ("UserName", "string", "selfish"), ("PrimaryEmail", "string", "me@example.org"))),
            OK)
        self.assertTrue(self.c.expect_closed())
        self.assertEqual(self.record("Users", "UserName", "selfish")["PrimaryEmail"],
                         "me@example.org")

    # ---- account requests -------------------------------------------------------------------

    def test_request_filed_and_approved(self):
        self.set_options(ActivateNewAccounts="0")
        body = user_packet("applicant", "please", AccountDisabled=False)
        self.assertEqual(send_packet(self.c, 2020, "Users", body), OK)
        self.assertEqual(login(self.c, "applicant", "please"),
                         "-ERR Invalid User Name or Password!")
        self.assertTrue(os.path.isdir(self.folder("applicant")))
        requests = [r for r in self.listing("Requests", "RequestID")
                    if r["From"] == "applicant"]
        self.assertEqual(len(requests), 1, requests)
        self.assertEqual(requests[0]["RequestType"], "User Activation Request")
        self.assertEqual(requests[0]["RequestDate"], time.strftime("%Y-%m-%d"))
        request_id = requests[0]["RequestID"]
        with self.server.connect() as a:
            self.admin(a)
            self.assertEqual(a.command("2115 " + request_id), APPROVED)
            self.assertEqual(a.command("2115 " + request_id), APPROVED)  # gone: still OK
        self.assertEqual([r for r in self.listing("Requests", "RequestID")
                          if r["From"] == "applicant"], [])
        self.assertEqual(login(self.c, "applicant", "please"), "+OK 1")

    def test_account_creation_disallowed_drains_the_packet(self):
        self.set_options(AllowUserAccountCreation="0")
        self.assertEqual(send_packet(self.c, 2020, "Users", user_packet("nope")), DISALLOWED)
        self.assertEqual(login(self.c, "admin", "tarnlamp"), "+OK 1")
        self.assertIsNone(self.record("Users", "UserName", "nope"))
        self.assertFalse(os.path.exists(self.folder("nope")))


if __name__ == "__main__":
    unittest.main()
