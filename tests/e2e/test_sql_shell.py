"""zorvic-sql DIR: running SQL on a database folder through the real binary, from a pipe, -c,
-f and an interactive terminal (a pseudo-terminal), with its output, errors and exit status."""
import os
import pty
import re
import select
import subprocess
import tempfile
import time
import unittest

BIN_DIR = os.environ.get(
    "ZORVIC_BIN_DIR",
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "bin"))
SQL = os.path.join(BIN_DIR, "zorvic-sql")
SQL_ERROR = "VELDOR Engine Error # 11949 SQL error - "

CREATE = ("Create Table T(ID AUTOINC, S VARCHAR(20), D Date, B Boolean, F Float, M Memo, "
          "X BLOB, N DECIMAL(10,2), Primary Key (ID));\n")


def run(folder, text="", *args, timeout=60):
    result = subprocess.run([SQL, folder, *args], input=text.encode(), capture_output=True,
                            timeout=timeout)
    return result.returncode, result.stdout.decode(), result.stderr.decode()


class SqlShellTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.db = os.path.join(self.tmp.name, "db")

    def tearDown(self):
        self.tmp.cleanup()

    def test_a_script_prints_results_errors_and_changes(self):
        script = (CREATE +
                  "Insert into T (S, D, B, F, M, X, N) values ('a;b\\c', '2005-01-31', TRUE, 0.1, "
                  "'two\nlines\tand tab', 'ab', 12.5);\n"
                  "/* a comment; with a semicolon */ Insert into T (S) values (NULL);\n"
                  "Select ID, S, D, B, F, M, X, N from T order by ID;\n"
                  "Select Nope from T;\n"
                  "Update T set F = 1e20 where ID = 2;\n"
                  "Select F from T where ID = 2;\n"
                  "Delete from T where ID = 99\n")
        status, out, err = run(self.db, script, "--changes")
        self.assertEqual(status, 1, err)
        self.assertEqual(out.split("\n"), [
            "0 rows affected",
            "1 rows affected",
            "1 rows affected",
            "ID\tS\tD\tB\tF\tM\tX\tN",
            "1\ta;b\\\\c\t2005-01-31\tTrue\t0.1\ttwo\\nlines\\tand tab\t\\x6162\t12.50",
            "2\t\\N\t\\N\t\\N\t\\N\t\\N\t\\N\t\\N",
            "",
            "1 rows affected",
            "F",
            "1e+20",
            "",
            "0 rows affected",
            ""])
        self.assertEqual(err, SQL_ERROR + "Invalid column name 'Nope' or table correlation name "
                         "'' specified in source columns\n")
        self.assertTrue(os.path.isfile(os.path.join(self.db, "T.DAT")))

    def test_without_changes_only_results_print_and_success_exits_zero(self):
        status, out, err = run(self.db, CREATE + "Insert into T (S) values ('x');\n"
                               "Select S from T where S = 'none';\nSelect COUNT(*) AS C from T")
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(out, "S\n\nC\n1\n\n")

    def test_statements_span_lines_and_literals_hold_semicolons(self):
        status, out, err = run(self.db, "Create Table T(S VARCHAR(30)\n);\nInsert into T (S)\n"
                               "values ('x;\n y');\nSelect\n S from T\n;\n")
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(out, "S\nx;\\n y\n\n")

    def test_bail_stops_at_the_first_failure(self):
        script = CREATE + "Insert into Nowhere (A) values (1);\nInsert into T (S) values ('x');\n"
        status, out, err = run(self.db, script, "--bail")
        self.assertEqual(status, 1)
        self.assertEqual(len(err.splitlines()), 1)
        self.assertIn("Nowhere.DAT' does not exist", err)
        status, out, err = run(self.db, "Select COUNT(*) AS C from T;")
        self.assertEqual(out, "C\n0\n\n")
        # Without --bail the script goes on.
        status, out, err = run(self.db, "Insert into Nowhere (A) values (1);\n"
                               "Insert into T (S) values ('x');\nSelect S from T;")
        self.assertEqual(status, 1)
        self.assertEqual(out, "S\nx\n\n")

    def test_c_and_f_with_options_before_or_after_the_folder(self):
        status, out, err = run(self.db, "", "-c", CREATE + "Insert into T (S) values ('c');",
                               "--changes")
        self.assertEqual((status, out, err), (0, "0 rows affected\n1 rows affected\n", ""))
        path = os.path.join(self.tmp.name, "script.sql")
        with open(path, "w") as f:
            f.write("Select S from T;\nSelect Bad from T;\n")
        result = subprocess.run([SQL, "-f", path, self.db], capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout.decode(), "S\nc\n\n")
        self.assertTrue(result.stderr.decode().startswith(SQL_ERROR))

    def test_dot_commands_from_a_pipe(self):
        run(self.db, CREATE + "Create NOCASE Index ByS on T(S);\nCreate Table A(X Integer);")
        status, out, err = run(self.db, ".tables\n.indexes T\n.schema A\n.bogus\n.schema Nope\n"
                               ".quit\nSelect X from A;\n")
        self.assertEqual(status, 1)
        self.assertEqual(out.splitlines(), [
            "A", "T",
            "Primary\tID\tprimary,unique", "ByS\tS\tnocase",
            'Create Table "A"(', '  "X" INTEGER', ");"])
        errors = err.splitlines()
        self.assertEqual(errors[0], "unknown command .bogus (.help lists the commands)")
        self.assertIn("Nope.DAT' does not exist", errors[1])
        self.assertEqual(len(errors), 2)

    def test_timer_shows_the_reads_of_each_statement(self):
        rows = "".join("Insert into T (S) values ('s%d');\n" % i for i in range(300))
        run(self.db, CREATE + rows)
        status, out, err = run(self.db, ".timer on\nSelect S from T where ID = 150;\n"
                               "Select S from T where S = 'none';\nTEXTSEARCH;\n")
        self.assertEqual(status, 1)
        times = [line for line in out.splitlines() if line.startswith("Time: ")]
        self.assertEqual(len(times), 3, out)
        pattern = r"Time: \d+\.\d{3} ms, (\d+) index pages and (\d+) records read$"
        reads = [tuple(int(n) for n in re.match(pattern, line).groups()) for line in times]
        # The key lookup goes through the primary index; no index serves S, so every record
        # is read; a statement that does not parse reads nothing.
        self.assertTrue(1 <= reads[0][0] <= 10 and 1 <= reads[0][1] <= 2, reads)
        self.assertGreaterEqual(reads[1][1], 300)
        self.assertEqual(reads[2], (0, 0))
        self.assertIn("S\ns149\n", out)

    def test_usage_help_and_the_folder(self):
        for args in ([], [self.db, "other"], [self.db, "--nope"], [self.db, "-c"],
                     [self.db, "-c", "x", "-f", "y"], ["--check"], [self.db, "--explain"]):
            result = subprocess.run([SQL, *args], capture_output=True, timeout=30)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn("usage:", result.stderr.decode())
            self.assertEqual(result.stdout, b"")
        result = subprocess.run([SQL, "--help"], capture_output=True, timeout=30)
        self.assertEqual(result.returncode, 0)
        text = result.stdout.decode()
        for word in ("-c TEXT", "-f FILE", "--changes", "--bail", "--check", ".tables",
                     ".schema", ".indexes", ".timer", ".quit"):
            self.assertIn(word, text)
        # A missing folder is created; a file in its place is refused.
        nested = os.path.join(self.tmp.name, "a", "b")
        self.assertEqual(run(nested, "")[0], 0)
        self.assertTrue(os.path.isdir(nested))
        plain = os.path.join(self.tmp.name, "file")
        open(plain, "w").close()
        status, out, err = run(plain, "")
        self.assertEqual(status, 2)
        self.assertIn("is not a folder", err)
        result = subprocess.run([SQL, self.db, "-f", os.path.join(self.tmp.name, "none.sql")],
                                capture_output=True, timeout=30)
        self.assertEqual(result.returncode, 2)


class Terminal:
    """zorvic-sql on a pseudo-terminal: what it writes is collected, lines are typed."""

    def __init__(self, folder, home):
        self.master, slave = pty.openpty()
        env = dict(os.environ, HOME=home, TERM="dumb")
        self.proc = subprocess.Popen([SQL, folder], stdin=slave, stdout=slave, stderr=slave,
                                     env=env, close_fds=True)
        os.close(slave)
        self.output = b""

    def read_until(self, text, timeout=30):
        deadline = time.monotonic() + timeout
        want = text.encode()
        while want not in self.output:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no %r in %r" % (text, self.output[-500:]))
            ready, _, _ = select.select([self.master], [], [], left)
            if ready:
                try:
                    chunk = os.read(self.master, 4096)
                except OSError:
                    chunk = b""
                if not chunk:
                    raise AssertionError("closed before %r: %r" % (text, self.output[-500:]))
                self.output += chunk
        at = self.output.index(want) + len(want)
        seen, self.output = self.output[:at], self.output[at:]
        return seen.decode(errors="replace").replace("\r\n", "\n")

    def type(self, line):
        os.write(self.master, line.encode() + b"\r")

    def finish(self, timeout=30):
        try:
            while True:
                ready, _, _ = select.select([self.master], [], [], 1)
                if not ready:
                    if self.proc.poll() is not None:
                        break
                    continue
                chunk = os.read(self.master, 4096)
                if not chunk:
                    break
                self.output += chunk
        except OSError:
            pass
        status = self.proc.wait(timeout=timeout)
        os.close(self.master)
        return status


class SqlShellTerminalTest(unittest.TestCase):
    def test_an_interactive_session(self):
        with tempfile.TemporaryDirectory() as home:
            db = os.path.join(home, "db")
            term = Terminal(db, home)
            try:
                term.read_until("zorvic> ")
                term.type("Create Table T(S VARCHAR(10),")
                term.read_until("   ...> ")
                term.type("  N Integer);")
                term.read_until("zorvic> ")
                term.type("Insert into T (S, N) values ('x;y', 1);")
                term.read_until("zorvic> ")
                term.type(".tables")
                self.assertIn("\nT\n", term.read_until("zorvic> "))
                term.type("Select S, N from T;")
                seen = term.read_until("zorvic> ")
                self.assertIn("S\tN\nx;y\t1\n\n", seen)
                term.type("Select Bad from T;")
                self.assertIn(SQL_ERROR + "Invalid column name 'Bad'", term.read_until("zorvic> "))
                term.type(".timer on")
                term.read_until("zorvic> ")
                term.type("Select N from T;")
                self.assertIn("Time: ", term.read_until("zorvic> "))
                term.type(".quit")
                status = term.finish()
            except BaseException:
                term.proc.kill()
                term.finish()
                raise
            # One statement failed in the session.
            self.assertEqual(status, 1)
            with open(os.path.join(home, ".zorvic_sql_history")) as f:
                # The line editor writes blanks and line feeds as octal escapes.
                history = f.read().replace("\\040", " ").replace("\\012", "\n")
            self.assertIn("Insert into T", history)
            self.assertIn(".tables", history)
            # A statement entered over two lines is one entry.
            self.assertIn("Create Table T(S VARCHAR(10),\n  N Integer);", history)


if __name__ == "__main__":
    unittest.main()
