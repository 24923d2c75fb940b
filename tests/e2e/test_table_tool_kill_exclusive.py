"""Exclusive loads killed with SIGKILL at random moments: zorvic-table load --exclusive writes
to make room in its caches between flushes, so every kill lands among such writes; after each
the table opens, verifies clean and holds whole batches (flushes) only. The rounds and the seed
are described in table_tool_kill_support.py.
"""
import os
import shutil
import tempfile
import time
import unittest

from table_tool_kill_support import (BATCH, ROUNDS, TABLE_TOOL, check_loaded_table, create_rows,
                                     kill_after, load_lines, run, seeded, start_writer)


def wait_for_undo_journal(proc, directory, limit=10.0):
    """Returns once the load has begun its undo journal, has ended, or after the limit."""
    path = os.path.join(directory, "Rows.JNX")
    deadline = time.monotonic() + limit
    while proc.poll() is None and not os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.001)


class KilledExclusiveLoadTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zorvic-kill-excl-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_exclusive_loads_killed_at_random_return_to_the_last_flush(self):
        create_rows(self, self.dir)
        seed, rng = seeded()
        next_batch = 0
        committed = set()
        undo_seen = 0
        for round_no in range(ROUNDS):
            # Flushes of four batches: a flush holds 160 rows, far more than the caches.
            batches = list(range(next_batch, next_batch + 8))
            next_batch += 8
            proc = start_writer([TABLE_TOOL, "load", self.dir, "Rows", "--exclusive", "--batch",
                                 str(4 * BATCH)], load_lines(batches))
            if round_no % 2:
                # Every other kill waits for the load's first write between flushes, so that
                # kills land there however fast or slow the machine runs the load.
                wait_for_undo_journal(proc, self.dir)
                kill_after(proc, rng.uniform(0.0, 0.01))
            else:
                kill_after(proc, rng.uniform(0.02, 0.3))
            context = "seed %d round %d: " % (seed, round_no)
            if os.path.exists(os.path.join(self.dir, "Rows.JNX")):
                undo_seen += 1
                info = run(TABLE_TOOL, "info", self.dir, "Rows")
                self.assertIn(b"Journal: present, undo journal", info.stdout,
                              context + "exit status %d: %s" % (info.returncode,
                                                                 info.stderr.decode()))
            rows = check_loaded_table(self, self.dir, context)
            self.assertTrue(set(rows) <= committed | set(batches), context)
            self.assertTrue(committed <= set(rows), context)
            # A flush writes four batches at once.
            self.assertEqual(len(set(rows) - committed) % 4, 0, context)
            committed = set(rows)
        self.assertGreater(undo_seen, 0, "no kill landed between flushes")


if __name__ == "__main__":
    unittest.main()
