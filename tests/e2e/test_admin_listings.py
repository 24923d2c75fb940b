"""Listings over real TCP: the user list (2010), group members (2011) and the administration
listings of the shared tables (2100, 2101): their packets, the rights they need, and client
text in table, field and value arguments that must never reach SQL as such."""
import unittest
import xml.etree.ElementTree as ET

from harness import ServerProcess
from login_support import add_user, add_users, login, sql

AUTH_ERR = "-ERR Unrecognized command in the authentication stage: "
NO_ADMIN = "-ERR You do not have admin permissions"
ADMIN_ERR = "-ERR Server-side error during admin operation"
NO_MATCH = "-ERR No matching record"


def packet(client, expected_line):
    """Reads the reply line and the framed packet; returns (raw bytes, parsed root)."""
    line = client.read_line()
    if line != expected_line:
        raise AssertionError(f"expected {expected_line!r}, got {line!r}")
    raw = client.read_block()
    return raw, ET.fromstring(raw)


def rows(root, *names):
    return [tuple(r.get(n) for n in names) for r in root.findall("./data/row")]


def field_names(root):
    return [f.get("name") for f in root.findall("./metadata/field")]


class ListingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(options={"EnableLogging": "1"})
        s = cls.server
        sql(s, "Insert into Groups (GroupName) values ('Staff');"
               "Insert into Groups (GroupName) values ('Sales');"
               "Insert into Groups (GroupName) values ('Empty');")
        add_user(s, "carol", group="Staff")
        add_user(s, "alice", group="Staff", PrimaryEmail="alice@example.org")
        add_user(s, "bob", group="Sales")
        add_user(s, "quote'o", group="Staff")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.c = self.server.connect()

    def tearDown(self):
        self.c.close()

    def as_admin(self):
        self.assertEqual(login(self.c, "admin", "tarnlamp"), "+OK 1")
        return self.c

    def as_user(self, name="alice"):
        self.assertEqual(login(self.c, name), "+OK 1")
        self.assertEqual(self.c.command("2105"), "+OK 0")
        return self.c

    def table_snapshot(self):
        return (sql(self.server, "Select * from Users order by UserName;"),
                sql(self.server, "Select * from Groups order by GroupName;"))

    # ---- 2010 and 2011 ------------------------------------------------------------------

    def test_user_list_and_group_members(self):
        c = self.as_user()
        c.send_line("2010")
        _, root = packet(c, "+OK Query Result Follows")
        self.assertEqual(field_names(root), ["UserName", "GroupName"])
        listed = rows(root, "UserName", "GroupName")
        self.assertEqual(sorted(listed), sorted([("admin", "Admins"), ("alice", "Staff"),
                                                 ("bob", "Sales"), ("carol", "Staff"),
                                                 ("quote'o", "Staff")]))
        groups = [g for _, g in listed]
        self.assertEqual(groups, sorted(groups))  # ordered by group

        c.send_line("2011 Staff")
        _, root = packet(c, "+OK Query Result Follows")
        self.assertEqual(field_names(root), ["UserName"])
        self.assertEqual(rows(root, "UserName"), [("alice",), ("carol",), ("quote'o",)])

        # A group without members, an unknown group and an empty name: no rows.
        for line in ("2011 Empty", "2011 Nobody", "2011"):
            c.send_line(line)
            raw, root = packet(c, "+OK Query Result Follows")
            self.assertEqual(rows(root, "UserName"), [], line)
            self.assertIn(b"<data></data>", raw)

    def test_group_name_is_a_value_never_sql(self):
        c = self.as_user()
        before = self.table_snapshot()  # after the login, which sets LastLogin
        for name in ('Staff" or "x"="x', "Staff' or 'x'='x", 'Staff"; Delete From Users',
                     "x' ; Drop Table Users; --", 'Sales" order by Password --'):
            c.send_line("2011 " + name)
            _, root = packet(c, "+OK Query Result Follows")
            self.assertEqual(rows(root, "UserName"), [], name)
        self.assertEqual(self.table_snapshot(), before)

    def test_user_listings_need_a_login(self):
        for code in ("2010", "2011 Staff", "2100 Users UserName", "2101 Users UserName 'bob'"):
            self.assertEqual(self.c.command(code), AUTH_ERR + code.split()[0])
        self.assertEqual(login(self.c, "alice"), "+OK 1")  # the session carries on

    # ---- 2100 and 2101 ------------------------------------------------------------------

    def test_whole_table_listing(self):
        c = self.as_admin()
        c.send_line("2100 Groups GroupName")
        raw, root = packet(c, "+OK Admin data follows")
        self.assertEqual(rows(root, "GroupName"),
                         [("Admins",), ("Empty",), ("Sales",), ("Staff",)])
        self.assertIn(b'<field name="GroupName" type="string" WIDTH="32" />', raw)
        # Names compare without regard to case; order by another column.
        c.send_line("2100 users groupname")
        raw, root = packet(c, "+OK Admin data follows")
        self.assertIn(b'<field name="HasAdminPower" type="boolean" required="true" />', raw)
        # A date column that was never set shows day 0.
        self.assertEqual(dict(rows(root, "UserName", "LastLogin"))["carol"], "1899-12-30")
        self.assertEqual(field_names(root)[:4],
                         ["UserName", "Password", "GroupName", "ProfileName"])
        groups = [g for (g,) in rows(root, "GroupName")]
        self.assertEqual(groups, sorted(groups))
        self.assertEqual(len(groups), 5)
        flags = dict(rows(root, "UserName", "HasAdminPower"))
        self.assertEqual((flags["admin"], flags["alice"]), ("1", "0"))

    def test_empty_table_and_keyword_column(self):
        c = self.as_admin()
        # Requests is empty; its column From is named like a keyword.
        for line in ("2100 Requests RequestID", "2100 Requests From"):
            c.send_line(line)
            raw, root = packet(c, "+OK Admin data follows")
            self.assertEqual(root.findall("./data/row"), [], line)
            self.assertIn(b"</metadata><data></data></LiteDataPacket>", raw)
            self.assertEqual(field_names(root),
                             ["RequestID", "From", "RequestType", "RequestDate"])

    def test_matching_records(self):
        c = self.as_admin()
        c.send_line("2101 Users UserName 'alice'")
        _, root = packet(c, "+OK Admin data follows")
        self.assertEqual(rows(root, "UserName", "PrimaryEmail"),
                         [("alice", "alice@example.org")])
        # Inner quotes doubled; blanks around the literal are allowed.
        c.send_line("2101 Users UserName   'quote''o'  ")
        _, root = packet(c, "+OK Admin data follows")
        self.assertEqual(rows(root, "UserName"), [("quote'o",)])
        c.send_line("2101 Users GroupName 'Staff'")
        _, root = packet(c, "+OK Admin data follows")
        self.assertEqual(rows(root, "UserName"), [("alice",), ("carol",), ("quote'o",)])
        c.send_line("2101 Users HasAdminPower TRUE")
        _, root = packet(c, "+OK Admin data follows")
        self.assertEqual(rows(root, "UserName"), [("admin",)])
        # A number literal on an AutoInc key (the log holds the logins of these tests).
        c.send_line("2101 Log EntryNo 1")
        _, root = packet(c, "+OK Admin data follows")
        self.assertEqual(rows(root, "EntryNo"), [("1",)])
        # Nothing matches: no packet follows, the next command is answered normally.
        self.assertEqual(c.command("2101 Requests From 'bob'"), NO_MATCH)
        self.assertEqual(c.command("2101 Log EntryNo -7"), NO_MATCH)
        self.assertEqual(c.command("2101 Users UserName 'nobody'"), NO_MATCH)
        self.assertEqual(c.command("2105"), "+OK 1")

    def test_unquoted_or_missing_value_fails(self):
        c = self.as_admin()
        for line in ("2101 Users UserName admin", "2101 Users UserName",
                     "2101 Users UserName ", "2100 Users", "2100", "2100 Users  UserName"):
            self.assertEqual(c.command(line), ADMIN_ERR, line)
        self.assertEqual(c.command("2105"), "+OK 1")
        log = sql(self.server, "Select EntryText from Log;")
        self.assertIn("In cServer.SendAdminListing (): The value is not one SQL literal: "
                      "'admin'", log)
        self.assertIn("In cServer.SendAdminListing (): Table Users has no field named ''", log)

    def test_ordinary_user_is_refused(self):
        c = self.as_user("bob")
        for line in ("2100 Users UserName", "2101 Users UserName 'bob'",
                     "2100 NoSuchTable x"):
            self.assertEqual(c.command(line), NO_ADMIN, line)
        self.assertEqual(c.command("2105"), "+OK 0")

    def test_injection_in_names_and_values_changes_nothing(self):
        c = self.as_admin()
        before = self.table_snapshot()
        attempts = [
            "2100 Users;Delete From Users UserName",
            "2100 Users UserName;Delete From Users",
            "2100 Users UserName;Drop Table Groups",
            "2100 \"Users\" UserName",
            "2100 Users \"UserName\"",
            "2100 Users UserName,Password",
            "2100 Users Password--",
            "2100 Messages MessageID",            # a mailbox table, not a shared one
            "2100 NoSuchTable UserName",
            "2100 Users NoSuchField",
            "2100 Groups UserName",                # a column of another table
            "2101 Users UserName 'alice';Delete From Users",
            "2101 Users UserName 'alice'; Drop Table Groups;",
            "2101 Users UserName 'x' or 'a'='a'",
            "2101 Users UserName 'x' or 1=1",
            "2101 Users UserName 'alice' --",
            "2101 Users UserName 'alice' /* */",
            "2101 Users UserName 'it's'",
            "2101 Users UserName \"alice\"",
            "2101 Users UserName 1 or 1=1",
            "2101 Users UserName UserName",
            "2101 Users UserName (Select Password from Users)",
            "2101 Users UserName 'al\x00ice'",
            "2101 Users UserName 'al\x01ice'",
            "2101 Users UserName ''''||Password",
            "2100 " + "U" * 1500 + " UserName",
        ]
        for line in attempts:
            self.assertEqual(c.command(line), ADMIN_ERR, repr(line[:80]))
        self.assertEqual(c.command("2105"), "+OK 1")
        self.assertEqual(self.table_snapshot(), before)


class LargeListingTest(unittest.TestCase):
    def test_many_rows_and_a_reader_that_goes_away(self):
        with ServerProcess() as s:
            names = [f"user{i:04d}" for i in range(400)]
            add_users(s, names)
            with s.connect() as c:
                self.assertEqual(login(c, "admin", "tarnlamp"), "+OK 1")
                c.send_line("2100 Users UserName")
                _, root = packet(c, "+OK Admin data follows")
                self.assertEqual([n for (n,) in rows(root, "UserName")], ["admin"] + names)
            # A client that leaves before reading its listing ends only its own session: the
            # database lock is left and the next listing is served.
            for _ in range(3):
                gone = s.connect()
                self.assertEqual(login(gone, "admin", "tarnlamp"), "+OK 1")
                gone.send_line("2100 Users UserName")
                gone.abort()
            with s.connect() as c:
                self.assertEqual(login(c, "user0001"), "+OK 1")
                c.send_line("2011 Staff")
                _, root = packet(c, "+OK Query Result Follows")
                self.assertEqual(len(rows(root, "UserName")), 400)


if __name__ == "__main__":
    unittest.main()
