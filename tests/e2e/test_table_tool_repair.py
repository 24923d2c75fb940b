"""End-to-end tests of zorvic-table repair on tables damaged on purpose.

Each case damages the files of a freshly loaded table, runs the real tool's repair and checks
that the changes are listed, verify is clean afterwards, the old files stay as backups and every
value that could be read is still there (a cut value keeps its readable start).
"""
import json
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

BIN = os.environ.get("ZORVIC_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "bin"))
TOOL = os.path.join(BIN, "zorvic-table")
BLOCK = 64
CAP = BLOCK - 18
DEFINITION = {
    "fields": [
        {"name": "ID", "type": "AutoInc"},
        {"name": "Name", "type": "String", "size": 20},
        {"name": "Body", "type": "Memo"},
    ],
    "primary": {"fields": ["ID"]},
    "blockSize": BLOCK,
}
HEADER = 127 + 768 * 3


def run(*args, stdin=b""):
    return subprocess.run([TOOL, *args], input=stdin, capture_output=True, timeout=120)


def body(k):
    n = [0, 5, CAP, CAP + 1, 3 * CAP + 7][k % 5]
    return "".join(chr(ord("a") + (k + i) % 26) for i in range(n))


def rows(count):
    return ("".join("\\N\tname %d\t%s\n" % (k, body(k) or "\\N") for k in range(1, count + 1))).encode()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def dump(folder):
    r = run("dump", folder, "T")
    assert r.returncode == 0, r.stderr
    out = {}
    for line in r.stdout.decode().splitlines():
        f = line.split("\t")
        out[int(f[0])] = (f[1], "" if f[2] == "\\N" else f[2])
    return out


class TableRepairTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zorvic-repair-")
        r = run("create", self.dir, "T", stdin=json.dumps(DEFINITION).encode())
        self.assertEqual(r.returncode, 0, r.stderr)
        r = run("load", self.dir, "T", stdin=rows(30))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.before = dump(self.dir)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, ext):
        return os.path.join(self.dir, "T" + ext)

    def patch(self, ext, offset, data):
        with open(self.path(ext), "r+b") as f:
            f.seek(offset)
            f.write(data)

    def record_size(self):
        return struct.unpack_from("<H", read(self.path(".DAT")), 21)[0]

    def body_ref(self, n):
        dat = read(self.path(".DAT"))
        off = struct.unpack_from("<H", dat, 127 + 768 * 2 + 90)[0]
        return struct.unpack_from("<i", dat, HEADER + (n - 1) * self.record_size() + off + 1)[0]

    def repair(self, *extra, code=0):
        r = run("repair", self.dir, "T", *extra)
        self.assertEqual(r.returncode, code, r.stdout + r.stderr)
        for ext in (".DBK", ".BBK", ".IBK"):
            self.assertTrue(os.path.exists(self.path(ext)), ext)
        return r.stdout.decode()

    def assert_clean(self):
        r = run("verify", self.dir, "T")
        self.assertEqual((r.returncode, r.stdout), (0, b"OK\n"), r.stdout)

    def assert_values_kept(self, after, cut=()):
        # Every record keeps its name; every body is whole except the cut ones, which keep a
        # readable start.
        self.assertEqual(sorted(after), sorted(self.before))
        for k, (name, text) in self.before.items():
            self.assertEqual(after[k][0], name)
            if k in cut:
                self.assertTrue(text.startswith(after[k][1]), k)
            else:
                self.assertEqual(after[k][1], text, k)

    def test_cut_chain_and_lost_blocks(self):
        self.assertNotEqual(run("verify", self.dir, "T").returncode, 1)
        # Record 4 holds a 3-block-and-more body: its second block points outside the file.
        first = self.body_ref(4)
        blb = read(self.path(".BLB"))
        second = struct.unpack_from("<i", blb, 512 + (first - 1) * BLOCK + 4)[0]
        self.patch(".BLB", 512 + (second - 1) * BLOCK + 4, struct.pack("<i", 999999))
        self.assertEqual(run("verify", self.dir, "T").returncode, 1)
        out = self.repair()
        self.assertIn("record 4 field 3: value cut from %d to %d bytes" % (3 * CAP + 7, 2 * CAP), out)
        self.assertIn("returned to the free list", out)
        self.assert_clean()
        after = dump(self.dir)
        self.assert_values_kept(after, cut={4})
        self.assertEqual(len(after[4][1]), 2 * CAP)
        # The backup is the damaged file as it was.
        self.assertEqual(struct.unpack_from("<i", read(self.path(".BBK")),
                                            512 + (second - 1) * BLOCK + 4)[0], 999999)

    def test_truncated_blob_file_and_flipped_owner(self):
        size = os.path.getsize(self.path(".BLB"))
        os.truncate(self.path(".BLB"), size - 2 * BLOCK - 10)
        # The owner of record 9's first block flipped: the chain is still whole.
        self.patch(".BLB", 512 + (self.body_ref(9) - 1) * BLOCK + 10, struct.pack("<i", 7777))
        out = self.repair()
        self.assertIn("bytes of a partial block at the end cut off", out)
        self.assertIn("BLOB header: NextBlockNo", out)
        self.assertIn("record 9 field 3: links, counts or owner", out)
        self.assert_clean()
        after = dump(self.dir)
        cut = {k for k in self.before if after[k][1] != self.before[k][1]}
        self.assertTrue(cut)  # the last values lost their tails
        self.assertNotIn(9, cut)
        self.assert_values_kept(after, cut=cut)

    def test_cut_free_list(self):
        r = run("delete", self.dir, "T", "4", "9", "14")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.before = dump(self.dir)
        self.patch(".BLB", 9, struct.pack("<i", 0))  # FirstFreeBlock
        self.assertEqual(run("verify", self.dir, "T").returncode, 1)
        out = self.repair()
        self.assertIn("in no chain returned to the free list", out)
        self.assertIn("FirstFreeBlock 0 set to", out)
        self.assert_clean()
        self.assert_values_kept(dump(self.dir))
        # The freed blocks are used again.
        size = os.path.getsize(self.path(".BLB"))
        self.assertEqual(run("load", self.dir, "T", stdin=b"\\N\tnew\tabc\n").returncode, 0)
        self.assertEqual(os.path.getsize(self.path(".BLB")), size)
        self.assert_clean()

    def test_bad_record_is_reported_and_dropped_only_when_asked(self):
        off = struct.unpack_from("<H", read(self.path(".DAT")), 127 + 768 * 1 + 90)[0]
        self.patch(".DAT", HEADER + 5 * self.record_size() + off, b"\x07")  # record 6's Name flag
        out = self.repair(code=1)
        self.assertIn("bad record kept (--drop-bad-records removes it): record 6: field Name", out)
        self.assertEqual(run("verify", self.dir, "T").returncode, 1)
        out = self.repair("--drop-bad-records")
        self.assertIn("record 6 removed: field Name", out)
        self.assertIn("returned to the free list", out)
        self.assert_clean()
        after = dump(self.dir)
        del self.before[6]
        self.assert_values_kept(after)

    def test_flipped_index_page_and_truncated_data_file(self):
        with open(self.path(".IDX"), "r+b") as f:
            f.seek(4096 + 40)
            f.write(b"\xff" * 16)
        os.truncate(self.path(".DAT"), os.path.getsize(self.path(".DAT")) - 3)
        out = self.repair()
        self.assertIn("record slot 30 is cut by the end of the file", out)
        self.assertIn("rebuilt 1 index over 30 records", out)
        self.assert_clean()
        self.assert_values_kept(dump(self.dir))

    def test_sound_table_and_options(self):
        out = self.repair()
        self.assertIn("nothing to mend", out)
        self.assert_clean()
        self.assert_values_kept(dump(self.dir))
        self.assertEqual(run("verify", self.dir, "T", "--drop-bad-records").returncode, 2)
        self.assertIn(b"--drop-bad-records", run("repair", "--help").stdout)


if __name__ == "__main__":
    unittest.main()
