"""Two zorvic-table loads into one table at the same time: each takes the table's locks like
any other session, so both finish, every row is there once and the table verifies."""
import json
import os
import random
import shutil
import subprocess
import tempfile
import unittest

BIN = os.environ.get("ZORVIC_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "bin"))
TOOL = os.path.join(BIN, "zorvic-table")
ROWS_EACH = 10000

TABLE = {
    "fields": [
        {"name": "ID", "type": "AutoInc"},
        {"name": "Name", "type": "String", "size": 34, "required": True},
        {"name": "Source", "type": "Integer"},
    ],
    "primary": {"fields": ["Name"]},
    "indexes": [{"name": "BySource", "fields": ["Source"], "compression": "full"}],
}


class ConcurrentLoadTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zorvic-table-concurrent-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_two_loads_at_once_keep_every_row(self):
        r = subprocess.run([TOOL, "create", self.dir, "Rows"], input=json.dumps(TABLE).encode(),
                           capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        rng = random.Random(20261209)
        keys = rng.sample(range(10**9), 2 * ROWS_EACH)
        procs = []
        for source in range(2):
            mine = keys[source::2]
            text = "".join("\\N\tkey%012d\t%d\n" % (k, source) for k in mine).encode()
            # Small batches so the two writers interleave many times.
            p = subprocess.Popen([TOOL, "load", self.dir, "Rows", "--batch", "100"],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
            procs.append((p, text))
        outputs = [p.communicate(text, timeout=600) for p, text in procs]
        for (p, _), (out, err) in zip(procs, outputs):
            self.assertEqual(p.returncode, 0, err)
        dump = subprocess.run([TOOL, "dump", self.dir, "Rows"], capture_output=True, timeout=120)
        self.assertEqual(dump.returncode, 0, dump.stderr)
        lines = dump.stdout.decode().splitlines()
        self.assertEqual(len(lines), 2 * ROWS_EACH)
        names = sorted(line.split("\t")[1] for line in lines)
        self.assertEqual(names, sorted("key%012d" % k for k in keys))
        ids = sorted(int(line.split("\t")[0]) for line in lines)
        self.assertEqual(ids, list(range(1, 2 * ROWS_EACH + 1)))
        verify = subprocess.run([TOOL, "verify", self.dir, "Rows"], capture_output=True, timeout=120)
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)


if __name__ == "__main__":
    unittest.main()
