"""Writers killed with SIGKILL at random moments: after every kill the table opens, verifies
clean and holds whole transactions only.

One test loads rows in batches with zorvic-table load; the other runs UPDATEs of every row in
explicit transactions through zorvic-sql. The rounds are ZORVIC_KILL_ROUNDS (20 by default;
1000 for a long run); the seed is printed with every failure so that a round can be replayed.
"""
import collections
import json
import os
import random
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

BIN = os.environ.get("ZORVIC_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "bin"))
TABLE_TOOL = os.path.join(BIN, "zorvic-table")
SQL_TOOL = os.path.join(BIN, "zorvic-sql")
ROUNDS = int(os.environ.get("ZORVIC_KILL_ROUNDS", "20"))
BATCH = 40

TABLE = {
    "fields": [
        {"name": "ID", "type": "AutoInc"},
        {"name": "Batch", "type": "Integer"},
        {"name": "Seq", "type": "Integer"},
        {"name": "Body", "type": "Memo"},
    ],
    "primary": {"fields": ["ID"]},
    "indexes": [{"name": "ByBatch", "fields": ["Batch", "Seq"]}],
    "blockSize": 64,
}


def body(batch, seq):
    return ("b%d.s%d:" % (batch, seq)) + "x" * ((batch * 31 + seq * 17) % 700)


def run(*args, stdin=b"", timeout=120):
    return subprocess.run(list(args), input=stdin, capture_output=True, timeout=timeout)


def kill_after(proc, seconds):
    """Kills the process with SIGKILL after the given time (or when it ended by itself)."""
    try:
        proc.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        proc.send_signal(signal.SIGKILL)
        proc.wait(timeout=30)


class KilledLoadTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zorvic-kill-")
        self.journals_seen = 0

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def check_table(self, context):
        if os.path.exists(os.path.join(self.dir, "Rows.JNL")):
            # A load was killed inside a commit: the tools say so until the table is opened.
            self.journals_seen += 1
            verify = run(TABLE_TOOL, "verify", self.dir, "Rows")
            self.assertEqual(verify.returncode, 1, context)
            self.assertIn(b"journal present", verify.stdout)
            info = run(TABLE_TOOL, "info", self.dir, "Rows")
            self.assertIn(b"Journal: present", info.stdout)
        # The dump opens the table through a session, which plays back a journal first.
        dump = run(TABLE_TOOL, "dump", self.dir, "Rows")
        self.assertEqual(dump.returncode, 0, context + dump.stderr.decode())
        verify = run(TABLE_TOOL, "verify", self.dir, "Rows")
        self.assertEqual(verify.returncode, 0, context + verify.stdout.decode())
        self.assertIn(b"OK", verify.stdout)
        rows = collections.defaultdict(list)
        for line in dump.stdout.decode().splitlines():
            fields = line.split("\t")
            batch, seq = int(fields[1]), int(fields[2])
            self.assertEqual(fields[3], body(batch, seq), context)
            rows[batch].append(seq)
        for batch, seqs in rows.items():
            self.assertEqual(sorted(seqs), list(range(BATCH)), context + " batch %d" % batch)
        return rows

    def test_loads_killed_at_random_keep_whole_batches(self):
        r = run(TABLE_TOOL, "create", self.dir, "Rows", stdin=json.dumps(TABLE).encode())
        self.assertEqual(r.returncode, 0, r.stderr)
        seed = int(os.environ.get("ZORVIC_KILL_SEED", str(random.randrange(10**9))))
        rng = random.Random(seed)
        next_batch = 0
        committed = set()
        for round_no in range(ROUNDS):
            batches = list(range(next_batch, next_batch + 25))
            next_batch += 25
            text = "".join("\\N\t%d\t%d\t%s\n" % (b, s, body(b, s))
                           for b in batches for s in range(BATCH)).encode()
            proc = subprocess.Popen([TABLE_TOOL, "load", self.dir, "Rows", "--batch", str(BATCH)],
                                    stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            try:
                proc.stdin.write(text)
                proc.stdin.close()
            except BrokenPipeError:
                pass
            kill_after(proc, rng.uniform(0.05, 0.5))
            context = "seed %d round %d: " % (seed, round_no)
            rows = self.check_table(context)
            self.assertTrue(set(rows) <= committed | set(batches), context)
            # What was there stays there.
            self.assertTrue(committed <= set(rows), context)
            committed = set(rows)
            self.assertFalse(os.path.exists(os.path.join(self.dir, "Rows.JNL")), context)


class KilledUpdatesTest(unittest.TestCase):
    ROWS = 60

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zorvic-kill-sql-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def sql(self, text):
        r = run(SQL_TOOL, self.dir, stdin=text.encode())
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        return r.stdout.decode()

    def test_updates_of_every_row_killed_at_random_leave_one_value(self):
        script = "Create Table Acc(ID Integer, V Integer, Note Memo, Primary Key (ID));\n"
        script += "".join("Insert into Acc (ID, V, Note) values (%d, 0, 'n0');\n" % i
                          for i in range(self.ROWS))
        self.sql(script)
        seed = int(os.environ.get("ZORVIC_KILL_SEED", str(random.randrange(10**9))))
        rng = random.Random(seed)
        value = 0
        for round_no in range(ROUNDS):
            updates = []
            for _ in range(200):
                value += 1
                updates.append("Start Transaction;\nUpdate Acc set V = %d, Note = 'n%d%s';\n"
                               "Commit;\n" % (value, value, "q" * (value % 300)))
            proc = subprocess.Popen([SQL_TOOL, self.dir], stdin=subprocess.PIPE,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                proc.stdin.write("".join(updates).encode())
                proc.stdin.close()
            except BrokenPipeError:
                pass
            kill_after(proc, rng.uniform(0.05, 0.5))
            context = "seed %d round %d: " % (seed, round_no)
            out = self.sql("Select ID, V, Note from Acc;\n")
            rows = [l.split("\t") for l in out.splitlines() if l][1:]
            self.assertEqual(len(rows), self.ROWS, context + out)
            values = {v for _, v, _ in rows}
            self.assertEqual(len(values), 1, context + out)
            for _, v, note in rows:
                self.assertEqual(note, "n%s%s" % (v, "q" * (int(v) % 300)), context)
            verify = run(TABLE_TOOL, "verify", self.dir, "Acc")
            self.assertEqual(verify.returncode, 0, context + verify.stdout.decode())


class ToolJournalAndOptionsTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zorvic-tool-journal-")
        r = run(TABLE_TOOL, "create", self.dir, "Rows", stdin=json.dumps(TABLE).encode())
        self.assertEqual(r.returncode, 0, r.stderr)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_info_and_verify_report_a_journal_until_the_table_is_opened(self):
        info = run(TABLE_TOOL, "info", self.dir, "Rows")
        self.assertIn(b"Journal: none\n", info.stdout)
        # A journal cut short: it never counted, so opening the table throws it away.
        with open(os.path.join(self.dir, "Rows.JNL"), "wb") as f:
            f.write(b"ZVJRNL01" + b"\x01" * 20)
        self.assertIn(b"Journal: present, incomplete", run(TABLE_TOOL, "info", self.dir, "Rows").stdout)
        verify = run(TABLE_TOOL, "verify", self.dir, "Rows")
        self.assertEqual(verify.returncode, 1)
        self.assertTrue(verify.stdout.startswith(b"journal present: "), verify.stdout)
        self.assertEqual(run(TABLE_TOOL, "dump", self.dir, "Rows").returncode, 0)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "Rows.JNL")))
        self.assertEqual(run(TABLE_TOOL, "verify", self.dir, "Rows").returncode, 0)

    def test_options_stand_anywhere_and_every_command_has_help(self):
        lines = "".join("\\N\t%d\t%d\t%s\n" % (1, s, body(1, s)) for s in range(3)).encode()
        self.assertEqual(run(TABLE_TOOL, "load", "--batch", "2", self.dir, "Rows", stdin=lines).returncode, 0)
        self.assertEqual(run(TABLE_TOOL, "load", self.dir, "Rows", "--batch", "2", stdin=lines).returncode, 0)
        a = run(TABLE_TOOL, "dump", "--index", "ByBatch", self.dir, "Rows")
        b = run(TABLE_TOOL, "dump", self.dir, "Rows", "--index", "ByBatch")
        self.assertEqual(a.returncode, 0, a.stderr)
        self.assertEqual(a.stdout, b.stdout)
        self.assertEqual(len(a.stdout.splitlines()), 6)
        for args in (["--help"], ["verify", "--help"], ["load", "-h"]):
            r = run(TABLE_TOOL, *args)
            self.assertEqual(r.returncode, 0)
            self.assertIn(b"--batch N", r.stdout)
        bad = run(TABLE_TOOL, "dump", self.dir, "Rows", "--frobnicate")
        self.assertEqual(bad.returncode, 2)
        self.assertIn(b"unknown option '--frobnicate'", bad.stderr)
        self.assertEqual(run(TABLE_TOOL, "load", self.dir, "Rows", "--batch").returncode, 2)


if __name__ == "__main__":
    unittest.main()
