"""Login over real TCP: 1000, 1001 (password or security answers), 1002, 1003, 2002, 2001, the
profile's rights, LastLogin, the log entries, and client text that must not reach SQL."""
import datetime
import os
import unittest

from harness import ServerProcess
from login_support import INVALID, add_user, login, scramble, sql

AUTH_ERR = "-ERR Unrecognized command in the authentication stage: "


class LoginTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(options={"EnableLogging": "1", "LimitMessageSize": "1",
                                            "MaxMsgSize": "7"})
        s = cls.server
        sql(s, "Insert into Profiles (ProfileName, Privileges, AllowAttachments, "
               "RestrictAttachSize, MaxAttachSize) values ('Limited', 2, False, True, 3);"
               "Insert into Groups (GroupName, ProfileName) values ('Staff', 'Limited');"
               "Insert into Groups (GroupName, ProfileName) values ('Ghosts', 'NoSuchProfile');")
        add_user(s, "alice", "secret", Question1="Pet?", Answer1="cat", Question2="City?",
                 Answer2="Oslo")
        add_user(s, "quote'o", "it's")
        add_user(s, "disabled", "pw", AccountDisabled=True)
        add_user(s, "nofolder", "pw", folder=False)
        add_user(s, "ghost", "pw", group="Ghosts")
        add_user(s, "Bob", "pw")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.c = self.server.connect()

    def tearDown(self):
        self.c.close()

    def log_texts(self):
        out = sql(self.server, "Select EntryNo, EntryText from Log order by EntryNo;")
        return [line.split("\t", 1)[1] for line in out.splitlines()[1:] if line]

    def test_admin_logs_in_with_the_scrambled_password(self):
        self.assertEqual(login(self.c, "admin", "tarnlamp"), "+OK 1")
        self.assertEqual(self.c.command("2105"), "+OK 1")
        self.assertEqual(self.c.command("2001"), "tarnlamp")
        # The command stage refuses the login codes.
        self.assertEqual(self.c.command("1000 admin"), "-ERR Unrecognized command: 1000")
        self.assertIn("User admin logged in from 127.0.0.1", self.log_texts())
        today = datetime.date.today().isoformat()
        out = sql(self.server, "Select LastLogin from Users where UserName = 'admin';")
        self.assertEqual(out.splitlines()[1], today)

    def test_refusals_all_read_the_same(self):
        c = self.c
        self.assertEqual(c.command("1001"), INVALID)  # no account loaded, empty argument
        self.assertEqual(login(c, "alice", "wrong"), INVALID)
        self.assertEqual(login(c, "Alice", "secret"), INVALID)  # names are case-sensitive
        self.assertEqual(login(c, "nobody", "pw"), INVALID)
        self.assertEqual(login(c, "disabled", "pw"), INVALID)
        self.assertEqual(login(c, "nofolder", "pw"), INVALID)
        # A known account, then an unknown one: nothing stays loaded.
        c.send_line("1000 alice")
        c.send_line("1000 nobody")
        self.assertEqual(c.command("1001 " + scramble("secret")), INVALID)
        # The session is still in the authentication stage and can log in now.
        self.assertEqual(c.command("2001"), AUTH_ERR + "2001")
        self.assertEqual(login(c, "alice", "secret"), "+OK 1")

    def test_text_that_is_not_scrambled_is_a_wrong_password(self):
        c = self.c
        c.send_line("1000 alice")
        for bad in ("not*base64!", "QUJD", "secret"):
            self.assertEqual(c.command("1001 " + bad), INVALID, bad)
        self.assertEqual(c.command("1001 " + scramble("secret")), "+OK 1")

    def test_security_questions_and_answers(self):
        c = self.c
        c.send_line("2002")
        self.assertEqual([c.read_line(), c.read_line()], ["", ""])  # nothing loaded yet
        c.send_line("1002 cat")  # answers may come before the account
        c.send_line("1000 alice")
        c.send_line("2002")
        self.assertEqual([c.read_line(), c.read_line()], ["Pet?", "City?"])
        # One answer only: the answers are not checked.
        self.assertEqual(c.command("1001 " + scramble("wrong")), INVALID)
        c.send_line("1003 Paris")
        self.assertEqual(c.command("1001 " + scramble("wrong")), INVALID)
        c.send_line("1003 Oslo")
        self.assertEqual(c.command("1001 " + scramble("wrong")), "+OK 1")
        self.assertEqual(c.command("2001"), "secret")

    def test_quotes_and_sql_in_client_text_stay_values(self):
        c = self.c
        self.assertEqual(login(c, "quote'o", "it's"), "+OK 1")
        d = self.server.connect()
        try:
            for name in ("x' or '1'='1", "admin'; Delete from Users; --", "../admin", "a/b"):
                self.assertEqual(login(d, name, "tarnlamp"), INVALID, name)
        finally:
            d.close()
        out = sql(self.server, "Select count(UserName) from Users;")
        self.assertEqual(int(out.splitlines()[1]), 7)

    def test_profile_rights_reach_the_session(self):
        # Bob's group Staff has the profile Limited with Privileges 2: 2105 tells admin rights
        # only, so the rights show through the login succeeding and 2105 saying 0.
        self.assertEqual(login(self.c, "Bob", "pw"), "+OK 1")
        self.assertEqual(self.c.command("2105"), "+OK 0")
        d = self.server.connect()
        try:  # a group whose profile has no row still logs in
            self.assertEqual(login(d, "ghost", "pw"), "+OK 1")
        finally:
            d.close()

    def test_group_list_in_either_stage(self):
        c = self.c
        c.send_line("2012")
        self.assertEqual(c.read_line(), "+OK Query Result Follows")
        xml = c.read_block().decode()
        self.assertIn('<row GroupName="Admins" /><row GroupName="Ghosts" />'
                      '<row GroupName="Staff" />', xml)
        self.assertTrue(xml.startswith('<?xml version="1.0" standalone="yes" ?>'
                                       '<LiteDataPacket version="1.0"><metadata>'
                                       '<field name="GroupName" type="string" WIDTH="32" />'))
        self.assertEqual(login(c, "alice", "secret"), "+OK 1")
        c.send_line("2012")
        self.assertEqual(c.read_line(), "+OK Query Result Follows")
        self.assertEqual(c.read_block().decode(), xml)


class LoginOptionsTest(unittest.TestCase):
    def test_scrambling_off_answers_zero_and_logging_off_writes_nothing(self):
        with ServerProcess(options={"DataScrambling": "0"}) as s:
            c = s.connect()
            self.assertEqual(login(c, "admin", "tarnlamp"), "+OK 0")
            c.close()
            out = sql(s, "Select EntryText from Log;")
            self.assertEqual([line for line in out.splitlines()[1:] if line], [])

    def test_a_mailbox_that_cannot_be_opened_refuses_the_login(self):
        with ServerProcess(options={"EnableLogging": "1"}) as s:
            add_user(s, "carol", "pw")
            # A plain file where the mailbox table must go: the folder exists, the table not.
            with open(os.path.join(s.home, "Users", "carol", "Messages.DAT"), "wb") as f:
                f.write(b"this is no table")
            c = s.connect()
            self.assertEqual(login(c, "carol", "pw"), INVALID)
            self.assertEqual(c.command("2001"), AUTH_ERR + "2001")
            c.close()
            texts = sql(s, "Select EntryText from Log;").splitlines()[1:]
            self.assertTrue(any(t.startswith("In cServer.ReferenceUserQuery (): ") for t in texts),
                            texts)
            self.assertNotIn("User carol logged in from 127.0.0.1", texts)


if __name__ == "__main__":
    unittest.main()
