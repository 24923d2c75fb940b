"""zorvic-cli's user, group, profile and approve commands against the real server: records
created, changed and deleted, a request approved, and refusals printed with exit status 1."""
import os
import subprocess
import unittest

from harness import ServerProcess, bin_dir
from login_support import add_user, login, sql

OK = "+OK Admin Resource Manipulation Successful"


class CliManipulationTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(options={"ActivateNewAccounts": "0"})

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def cli(self, *args, user="admin", password="tarnlamp"):
        env = dict(os.environ, ZORVIC_PASSWORD=password)
        result = subprocess.run(
            [os.path.join(bin_dir(), "zorvic-cli"), *args, "--port", str(self.server.port),
             "--user", user, "--host", "127.0.0.1"],
            capture_output=True, timeout=60, env=env)
        return result.returncode, result.stdout.decode(), result.stderr.decode()

    def test_profile_group_user_round(self):
        self.assertEqual(self.cli("profile", "add", "Pilots", "Privileges=3",
                                  "AllowAttachments=no"), (0, OK + "\n", ""))
        self.assertEqual(self.cli("group", "add", "Wing", "ProfileName=Pilots")[0], 0)
        status, out, err = self.cli("user", "add", "flyer", "password=up high",
                                    "GroupName=Wing", "AccountDisabled=false",
                                    "PrimaryEmail=f@example.org")
        self.assertEqual((status, out, err), (0, OK + "\n", ""))
        self.assertTrue(os.path.isdir(os.path.join(self.server.home, "Users", "flyer")))
        with self.server.connect() as c:
            self.assertEqual(login(c, "flyer", "up high"), "+OK 1")
        self.assertEqual(self.cli("user", "set", "flyer", "PhoneNumber=555 'x'")[0], 0)
        self.assertEqual(self.cli("profile", "set", "Pilots", "MaxAttachSize=12")[0], 0)
        rows = sql(self.server, "Select PhoneNumber from Users where UserName='flyer';"
                                "Select MaxAttachSize, AllowAttachments from Profiles;")
        self.assertIn("555 'x'", rows)
        self.assertIn("12\tFalse", rows)
        # refusals: printed on standard error with status 1
        status, out, err = self.cli("user", "add", "flyer", "Password=x")
        self.assertEqual((status, out), (1, ""))
        self.assertEqual(err.strip(), "-ERR a resource with that identifier already exists!")
        status, _, err = self.cli("user", "add", "../evil", "Password=x")
        self.assertEqual(status, 1)
        self.assertEqual(err.strip(), "-ERR Server-side exception while performing operation")
        self.assertEqual(self.cli("user", "del", "flyer")[0], 0)
        self.assertFalse(os.path.exists(os.path.join(self.server.home, "Users", "flyer")))
        self.assertEqual(self.cli("group", "del", "Wing")[0], 0)
        self.assertNotIn("Wing", sql(self.server, "Select GroupName from Groups;"))

    def test_arguments_checked_before_sending(self):
        for args in (("user", "add", "x", "NoSuchField=1"), ("user", "add", "x", "HasAdminPower=maybe"),
                     ("approve", "1;2")):
            with self.subTest(args=args):
                status, out, err = self.cli(*args)
                self.assertEqual((status, out), (1, ""))
                self.assertTrue(err.startswith("zorvic-cli: "), err)
        for args in (("user", "set", "x"), ("user", "add", "x", "novalue")):
            with self.subTest(args=args):
                self.assertEqual(self.cli(*args)[0], 2)
        status, out, _ = self.cli("user", "--help")
        self.assertEqual(status, 0)
        self.assertIn("user add|set|del NAME", out)

    def test_non_admin_is_refused(self):
        add_user(self.server, "clerk")
        status, out, err = self.cli("group", "add", "Mine", user="clerk", password="pw")
        self.assertEqual((status, out), (1, ""))
        self.assertEqual(err.strip(),
                         "-ERR You do not have the permissions to perform this operation")
        self.assertEqual(self.cli("approve", "1", user="clerk", password="pw")[0], 1)

    def test_request_approved(self):
        with self.server.connect() as c:
            body = (b'<?xml version="1.0" standalone="yes" ?><LiteDataPacket version="1.0">'
                    b'<metadata><field name="UserName" type="string" /><field name="Password" '
                    b'type="string" /></metadata><data><row UserName="hopeful" Password="pw" />'
                    b'</data></LiteDataPacket>')
            c.send_raw(f"2020 {len(body)} Users\r\n".encode() + body)
            self.assertEqual(c.read_line(), OK)
        rows = sql(self.server, "Select RequestID from Requests where From='hopeful';")
        request_id = rows.splitlines()[1]
        self.assertEqual(self.cli("approve", request_id), (0, "+OK Request approved\n", ""))
        with self.server.connect() as c:
            self.assertEqual(login(c, "hopeful"), "+OK 1")


if __name__ == "__main__":
    unittest.main()
