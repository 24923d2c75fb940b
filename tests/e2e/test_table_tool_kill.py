"""Loads killed with SIGKILL at random moments: after every kill the table opens, verifies clean
and holds whole transactions only, and only rows that were loaded. The SQL and the exclusive
variants are test_table_tool_kill_sql.py and test_table_tool_kill_exclusive.py; the rounds and
the seed are described in table_tool_kill_support.py.
"""
import json
import os
import shutil
import tempfile
import unittest

from table_tool_kill_support import (BATCH, ROUNDS, TABLE, TABLE_TOOL, body, check_loaded_table,
                                     create_rows, kill_after, load_lines, run, seeded,
                                     start_writer)


class KilledLoadTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zorvic-kill-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_loads_killed_at_random_keep_whole_batches(self):
        create_rows(self, self.dir)
        seed, rng = seeded()
        next_batch = 0
        committed = set()
        for round_no in range(ROUNDS):
            batches = list(range(next_batch, next_batch + 8))
            next_batch += 8
            proc = start_writer([TABLE_TOOL, "load", self.dir, "Rows", "--batch", str(BATCH)],
                                load_lines(batches))
            kill_after(proc, rng.uniform(0.02, 0.3))
            context = "seed %d round %d: " % (seed, round_no)
            rows = check_loaded_table(self, self.dir, context)
            self.assertTrue(set(rows) <= committed | set(batches), context)
            # What was there stays there.
            self.assertTrue(committed <= set(rows), context)
            committed = set(rows)


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

    def test_a_retired_journal_is_reported_as_such_and_goes_at_the_next_open(self):
        # What a writer leaves between its writes when it dies with the table open: a zero
        # header over the bytes of an old journal. Nothing of it is played back.
        lines = "".join("\\N\t%d\t%d\t%s\n" % (1, s, body(1, s)) for s in range(3)).encode()
        self.assertEqual(run(TABLE_TOOL, "load", self.dir, "Rows", stdin=lines).returncode, 0)
        before = run(TABLE_TOOL, "dump", self.dir, "Rows").stdout
        with open(os.path.join(self.dir, "Rows.JNL"), "wb") as f:
            f.write(b"\0" * 48 + b"ZVJRNL01" + b"\x07" * 500)
        info = run(TABLE_TOOL, "info", self.dir, "Rows").stdout
        self.assertIn(b"Journal: present, retired", info)
        self.assertEqual(run(TABLE_TOOL, "dump", self.dir, "Rows").stdout, before)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "Rows.JNL")))
        self.assertIn(b"Journal: none\n", run(TABLE_TOOL, "info", self.dir, "Rows").stdout)

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
