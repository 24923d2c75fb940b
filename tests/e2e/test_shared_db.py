"""The shared database through the real server: what the first start creates, what later starts
leave alone, the Log table with logging on and off, mailboxes opened by logins and shared by
sessions, the open-file limit, and the tables written by zorvic-sql while the server runs."""
import datetime
import os
import resource
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from harness import ServerProcess, bin_dir, server_binary, free_port, wait_until
from login_support import INVALID, add_user, login, sql

TABLES = ["Profiles", "Groups", "Users", "Attachments", "Requests", "Log"]


def rows(server, text):
    """The result lines of one SELECT, without the header and the blank line after it."""
    lines = sql(server, text).split("\n")
    return [line for line in lines[1:] if line]


def log_texts(server):
    return [r.split("\t", 1)[1]
            for r in rows(server, "Select EntryNo, EntryText from Log order by EntryNo;")]


def folder_listing(home):
    found = []
    for root, dirs, files in os.walk(home):
        for name in dirs + files:
            path = os.path.join(root, name)
            if name.endswith(".ini"):
                continue
            found.append((os.path.relpath(path, home),
                          os.path.getsize(path) if os.path.isfile(path) else None))
    return sorted(found)


class FirstAndLaterStarts(unittest.TestCase):
    def test_first_start_creates_six_tables_the_index_and_the_admin_account(self):
        with ServerProcess() as server:
            data = os.path.join(server.home, "Data")
            for table in TABLES:
                self.assertTrue(os.path.isfile(os.path.join(data, table + ".DAT")), table)
            self.assertEqual(rows(server, "Select UserName, Password, GroupName, HasAdminPower, "
                                          "AccountDisabled from Users;"),
                             ["admin\ttarnlamp\tAdmins\tTrue\tFalse"])
            self.assertEqual(rows(server, "Select GroupName, ProfileName from Groups;"),
                             ["Admins\t\\N"])
            self.assertTrue(os.path.isdir(os.path.join(server.home, "Users", "admin")))
            info = subprocess.run([os.path.join(bin_dir(), "zorvic-table"), "info", data, "Users"],
                                  capture_output=True, timeout=60)
            self.assertEqual(info.returncode, 0, info.stderr)
            self.assertIn(b"UserGroupNames", info.stdout)
            # admin can log in with the default password at once.
            with server.connect() as c:
                self.assertEqual(login(c, "admin", "tarnlamp"), "+OK 1")
            # Nothing was said about the bootstrap on the console.
            self.assertFalse([l for l in server.stdout_lines() if "Exception" in l])

    def test_a_second_start_adds_nothing_and_an_empty_users_table_is_seeded_again(self):
        home = tempfile.mkdtemp(prefix="zorvic-e2e-")
        try:
            with ServerProcess(home=home) as first:
                add_user(first, "alice")
            before = folder_listing(home)
            with ServerProcess(home=home) as second:
                self.assertEqual(rows(second, "Select count(*) from Users;"), ["2"])
                self.assertEqual(rows(second, "Select count(*) from Groups;"), ["1"])
                self.assertEqual(folder_listing(home), before)
                # Every user deleted while the server runs; the next start adds admin again.
                sql(second, "Delete from Users;")
            with ServerProcess(home=home) as third:
                self.assertEqual(rows(third, "Select UserName from Users;"), ["admin"])
                self.assertEqual(rows(third, "Select count(*) from Groups;"), ["1"])
                # Users/admin was still there: its creation failed and was reported.
                self.assertTrue(any(l.startswith("Exception in Main Server Thread: '")
                                    for l in third.stdout_lines()), third.stdout_lines())
                with third.connect() as c:
                    self.assertEqual(login(c, "admin", "tarnlamp"), "+OK 1")
        finally:
            shutil.rmtree(home, ignore_errors=True)


class ServerLog(unittest.TestCase):
    def test_logging_on_marks_the_run_and_the_logins(self):
        with ServerProcess(options={"EnableLogging": "1"}) as server:
            with server.connect() as c:
                self.assertEqual(login(c, "admin", "tarnlamp"), "+OK 1")
            with server.connect() as d:
                self.assertEqual(login(d, "admin", "wrong"), INVALID)
            self.assertTrue(wait_until(lambda: len(log_texts(server)) >= 2))
            # Read by another process while the server runs and keeps the table open.
            texts = log_texts(server)
            self.assertEqual(texts[0], "Start of log file")
            self.assertIn("User admin logged in from 127.0.0.1", texts)
            self.assertEqual(server.quit(), 0)
            final = log_texts(server)
            self.assertEqual(final[-1], "Server is closing. End of logfile.")
            dates = rows(server, "Select distinct EntryDate from Log;")
            self.assertEqual(len(dates), 1)
            self.assertIn(dates[0], {datetime.date.today().isoformat(),
                                     (datetime.date.today() - datetime.timedelta(days=1)).isoformat()})

    def test_logging_off_leaves_the_log_empty_whatever_happens(self):
        with ServerProcess() as server:
            with server.connect() as c:
                self.assertEqual(login(c, "admin", "tarnlamp"), "+OK 1")
                self.assertEqual(c.command("9999"), "-ERR Unrecognized command: 9999")
            self.assertEqual(server.quit(), 0)
            self.assertEqual(rows(server, "Select count(*) from Log;"), ["0"])

    def test_a_taken_port_is_logged_and_the_server_keeps_running(self):
        with socket.socket() as taken:
            taken.bind(("0.0.0.0", 0))
            taken.listen(1)
            port = taken.getsockname()[1]
            server = ServerProcess(port=port, options={"EnableLogging": "1"}, wait_listening=False)
            with server:
                server.wait_for_stdout("Zorvic Server 1.04 has started.")
                # Under a hard open-file limit below what 10000 sessions need, start-up also
                # logs its warning, before or after the listener fails.
                def texts():
                    return [t for t in log_texts(server)
                            if not t.startswith("Warning: the open-file limit")]
                self.assertTrue(wait_until(lambda: len(texts()) >= 2))
                self.assertEqual(texts()[:2],
                                 ["Start of log file", "Could not start server socket, error #10048"])
                self.assertTrue(server.running())
                self.assertEqual(server.quit(), 0)


class Mailboxes(unittest.TestCase):
    def test_login_opens_the_mailbox_and_sessions_share_it(self):
        with ServerProcess() as server:
            add_user(server, "alice")
            add_user(server, "bob")
            # The shared tables a login reads stay open between statements (a bounded number
            # per database), so the count starts after a first session has come and gone.
            warm = server.connect()
            self.assertEqual(login(warm, "bob"), "+OK 1")
            warm.command("2000")
            warm.close()
            fd_dir = "/proc/%d/fd" % server.pid

            def bob_files_open():
                names = []
                for fd in os.listdir(fd_dir):
                    try:
                        names.append(os.readlink(os.path.join(fd_dir, fd)))
                    except OSError:
                        pass
                return any(os.sep + "bob" + os.sep in name for name in names)
            self.assertTrue(wait_until(lambda: not bob_files_open()))
            time.sleep(0.3)  # the session's socket goes with its thread
            base = server.fd_count()
            a = server.connect()
            self.assertEqual(login(a, "alice"), "+OK 1")
            self.assertTrue(os.path.isfile(os.path.join(server.home, "Users", "alice",
                                                        "Messages.DAT")))
            one = server.fd_count()
            b = server.connect()
            self.assertEqual(login(b, "alice"), "+OK 1")
            # The second session adds its socket only: the mailbox files are shared.
            self.assertEqual(server.fd_count(), one + 1)
            self.assertEqual(rows(server, "Select count(*) from Users where UserName = 'alice' "
                                          "and LastLogin is not NULL;"), ["1"])
            a.command("2000")
            b.command("2000")
            a.close()
            b.close()
            self.assertTrue(wait_until(lambda: server.fd_count() == base), server.fd_count())

    def test_names_that_are_not_folder_names_never_reach_the_disk(self):
        with ServerProcess() as server:
            for name in ["..", ".", "a/../../x", "x\\y"]:
                sql(server, "Insert into Users (UserName, Password, AccountDisabled) values "
                            f"('{name}', 'pw', False);")
                with server.connect() as c:
                    self.assertEqual(login(c, name), INVALID, name)
            self.assertEqual(sorted(os.listdir(os.path.join(server.home, "Users"))), ["admin"])
            self.assertFalse(os.path.exists(os.path.join(server.home, "x")))
            self.assertFalse(os.path.exists(os.path.join(server.home, "Messages.DAT")))


class OpenFileLimit(unittest.TestCase):
    def test_a_low_limit_is_raised_as_far_as_it_goes_and_reported(self):
        home = tempfile.mkdtemp(prefix="zorvic-e2e-")
        with open(os.path.join(home, "ServerOptions.ini"), "w") as f:
            f.write("[ServerOptions]\nEnableLogging=1\n")
        port = free_port()

        def limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (256, 2048))
        proc = subprocess.Popen([server_binary(), "--home", home, "--port", str(port)],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, preexec_fn=limit)
        try:
            def open_files():
                with open(f"/proc/{proc.pid}/limits") as f:
                    line = [l for l in f if l.startswith("Max open files")][0]
                return line.split()[3:5]
            # Soft limit up to the hard limit, which an unprivileged process cannot pass.
            self.assertTrue(wait_until(lambda: open_files() == ["2048", "2048"]), open_files())
            harness_server = ServerProcess(home=home, port=port, start=False)
            self.assertTrue(wait_until(lambda: len(log_texts(harness_server)) >= 2))
            out, err = proc.communicate(b"quit\n", timeout=60)
            self.assertEqual(proc.returncode, 0, err)
            self.assertIn(b"the open-file limit is 2048, below the", err)
            texts = log_texts(harness_server)
            self.assertTrue(texts[1].startswith("Warning: the open-file limit is 2048"), texts)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
