"""UPDATEs of every row in explicit transactions through zorvic-sql, killed with SIGKILL at
random moments: every row always holds the same value afterwards, and the table verifies clean.
The rounds and the seed are described in table_tool_kill_support.py.
"""
import shutil
import tempfile
import unittest

from table_tool_kill_support import ROUNDS, SQL_TOOL, TABLE_TOOL, kill_after, run, seeded, start_writer


class KilledUpdatesTest(unittest.TestCase):
    ROWS = 40

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
        seed, rng = seeded()
        value = 0
        seen = set()
        for round_no in range(ROUNDS):
            updates = []
            for _ in range(60):
                value += 1
                updates.append("Start Transaction;\nUpdate Acc set V = %d, Note = 'n%d%s';\n"
                               "Commit;\n" % (value, value, "q" * (value % 300)))
            proc = start_writer([SQL_TOOL, self.dir], "".join(updates).encode())
            kill_after(proc, rng.uniform(0.1, 0.6))
            context = "seed %d round %d: " % (seed, round_no)
            out = self.sql("Select ID, V, Note from Acc;\n")
            rows = [l.split("\t") for l in out.splitlines() if l][1:]
            self.assertEqual(len(rows), self.ROWS, context + out)
            values = {v for _, v, _ in rows}
            self.assertEqual(len(values), 1, context + out)
            seen |= values
            for _, v, note in rows:
                self.assertEqual(note, "n%s%s" % (v, "q" * (int(v) % 300)), context)
            verify = run(TABLE_TOOL, "verify", self.dir, "Acc")
            self.assertEqual(verify.returncode, 0, context + verify.stdout.decode())
        # The kills came both before and after commits.
        self.assertGreater(len(seen), 1)


if __name__ == "__main__":
    unittest.main()
