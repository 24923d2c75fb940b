"""End-to-end tests of zorvic-table on tables with indexes: create with indexes, load in
batches through the engine, dump in index order, verify the trees, repair them.

Damage is made to the .IDX bytes at offsets computed from `info` and the page layout: a page n
starts at n * 4096 with a 13-byte header (type, entry count, previous, next, packed size);
uncompressed leaf entries are key + record number, node entries key + child + key count.
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
PAGE = 4096

USERS = {
    "fields": [
        {"name": "ID", "type": "AutoInc"},
        {"name": "UserName", "type": "String", "size": 20, "required": True},
        {"name": "FullName", "type": "String", "size": 40},
        {"name": "Age", "type": "Integer"},
        {"name": "Notes", "type": "Memo"},
    ],
    "blockSize": 64,
    "primary": {"fields": ["UserName"]},
    "indexes": [
        {"name": "ByAge", "fields": [{"field": "Age", "descending": True}]},
        {"name": "ByFullName", "fields": ["FullName", "ID"], "nocase": True, "compression": "full"},
    ],
}
KEY_PRIMARY = 1 + 21  # flag + String(20) zero-terminated
KEY_AGE = 1 + 4 + 4   # flag + Integer + RowId suffix


def run(*args, stdin=b""):
    return subprocess.run([TOOL, *args], input=stdin, capture_output=True, timeout=120)


def rows(count, start=1):
    lines = []
    for k in range(start, start + count):
        n = (k * 7919) % 1000
        lines.append("\\N\tuser%03d\t%s %d\t%s\t%s" % (
            n, "Smith" if k % 2 else "jones", k % 17, "\\N" if k % 10 == 0 else str(k % 60),
            "\\N" if k % 3 else "note " * (k % 20)))
    return ("\n".join(lines) + "\n").encode()


class TableToolIndexTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zorvic-table-index-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def ok(self, *args, stdin=b""):
        r = run(*args, stdin=stdin)
        self.assertEqual(r.returncode, 0, r.stderr + r.stdout)
        return r.stdout

    def make_users(self, count=300):
        self.ok("create", self.dir, "Users", stdin=json.dumps(USERS).encode())
        self.ok("load", self.dir, "Users", stdin=rows(count))

    def info(self):
        text = self.ok("info", self.dir, "Users").decode("latin-1")
        return dict(line.split(": ", 1) for line in text.splitlines())

    def test_create_info_and_dump_in_index_order(self):
        self.make_users()
        info = self.info()
        self.assertEqual(info["Index.SecondaryCount"], "2")
        self.assertEqual(info["Index.RecordCount"], "300")
        self.assertEqual(info["Index[0].IndexName"], "Primary")
        self.assertEqual(info["Index[0].KeySize"], str(KEY_PRIMARY))
        self.assertEqual(info["Index[1].IndexName"], "ByAge")
        self.assertEqual(info["Index[1].FieldDescending"], "1")
        self.assertEqual(info["Index[1].Unique"], "0")
        self.assertEqual(info["Index[2].KeyFields"], "3,1")
        self.assertEqual(info["Index[2].NoCase"], "1")
        self.assertEqual(info["Index[2].Compression"], "3")
        self.assertEqual(info["Index[31].IndexName"], "Sys Deleted")

        plain = self.ok("dump", self.dir, "Users").decode().splitlines()
        self.assertEqual([int(l.split("\t")[0]) for l in plain], list(range(1, 301)))
        by_name = self.ok("dump", self.dir, "Users", "--index", "Primary").decode().splitlines()
        self.assertEqual(sorted(plain, key=lambda l: l.split("\t")[1]), by_name)

        def age(line):
            a = line.split("\t")[3]
            return -1 if a == "\\N" else int(a)
        by_age = self.ok("dump", self.dir, "Users", "--index", "ByAge").decode().splitlines()
        # Descending, NULL last; equal ages in RowId order.
        self.assertEqual(sorted(plain, key=lambda l: (-age(l), int(l.split("\t")[0]))), by_age)
        by_full = self.ok("dump", self.dir, "Users", "--index", "byfullname").decode().splitlines()
        self.assertEqual(sorted(plain, key=lambda l: (l.split("\t")[2].upper(), int(l.split("\t")[0]))),
                         by_full)
        self.assertEqual(self.ok("verify", self.dir, "Users"), b"OK\n")
        bad = run("dump", self.dir, "Users", "--index", "Nope")
        self.assertEqual(bad.returncode, 1)

        # delete keeps every index right; a wrong number deletes nothing.
        self.ok("delete", self.dir, "Users", "5", "17")
        r = run("delete", self.dir, "Users", "6", "17")
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"8708", r.stderr)
        self.assertEqual(len(self.ok("dump", self.dir, "Users", "--index", "ByAge").splitlines()), 298)
        self.assertEqual(self.ok("verify", self.dir, "Users"), b"OK\n")

    def test_create_refuses_bad_index_definitions(self):
        cases = [
            ({"indexes": [{"name": "1st", "fields": ["Age"]}]}, b"VELDOR Engine Error"),
            ({"indexes": [{"name": "ByNotes", "fields": ["Notes"]}]}, b"VELDOR Engine Error"),
            ({"indexes": [{"name": "X", "fields": ["Age"]}, {"name": "x", "fields": ["ID"]}]},
             b"VELDOR Engine Error"),
            ({"indexes": [{"name": "X", "fields": ["Nope"]}]}, b"no field"),
            ({"indexes": [{"name": "X", "fields": ["Age"], "compression": "zip"}]}, b"compression"),
        ]
        for i, (extra, message) in enumerate(cases):
            definition = dict(USERS, **extra)
            r = run("create", self.dir, "C%d" % i, stdin=json.dumps(definition).encode())
            self.assertEqual(r.returncode, 1, extra)
            self.assertIn(message, r.stderr, extra)
            self.assertFalse(os.path.exists(self.path("C%d.DAT" % i)), extra)

    def test_load_in_batches_and_duplicate_keys(self):
        self.ok("create", self.dir, "Users", stdin=json.dumps(USERS).encode())
        lines = rows(25).decode().splitlines()
        lines[22] = "\\N\tbroken\tx\tnot a number\t\\N"
        r = run("load", self.dir, "Users", "--batch", "10", stdin=("\n".join(lines) + "\n").encode())
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"line 23", r.stderr)
        self.assertEqual(len(self.ok("dump", self.dir, "Users").splitlines()), 20)
        # A duplicate primary key on line 15 of the next load: the first batch of 10 stays.
        more = rows(20, start=101).decode().splitlines()
        more[14] = more[14].replace(more[14].split("\t")[1], "user%03d" % ((1 * 7919) % 1000))
        r = run("load", self.dir, "Users", "--batch", "10", stdin=("\n".join(more) + "\n").encode())
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"line 15", r.stderr)
        self.assertIn(b"9729", r.stderr)
        self.assertIn(b"'Primary'", r.stderr)
        self.assertEqual(len(self.ok("dump", self.dir, "Users").splitlines()), 30)
        self.assertEqual(self.info()["Index.RecordCount"], "30")
        self.assertEqual(self.ok("verify", self.dir, "Users"), b"OK\n")
        self.assertEqual(run("load", self.dir, "Users", "--batch", "0").returncode, 1)

    def damage_and_repair(self, damage, expected):
        good = self.read("Users.IDX")
        before = self.ok("dump", self.dir, "Users", "--index", "Primary")
        bad = bytearray(good)
        damage(bad)
        self.assertNotEqual(bytes(bad), good)
        self.write("Users.IDX", bad)
        r = run("verify", self.dir, "Users")
        self.assertEqual(r.returncode, 1, r.stdout)
        self.assertIn(expected, r.stdout.lower())
        out = self.ok("repair", self.dir, "Users")
        self.assertIn(b"rebuilt 3 indexes over 300 records", out)
        self.assertEqual(self.ok("verify", self.dir, "Users"), b"OK\n")
        self.assertEqual(self.ok("dump", self.dir, "Users", "--index", "Primary"), before)
        self.write("Users.IDX", good)

    def test_verify_finds_damage_and_repair_mends_it(self):
        self.make_users()
        info = self.info()
        root = int(info["Index[0].RootPage"])
        age_root = int(info["Index[1].RootPage"])
        idx = self.read("Users.IDX")
        self.assertEqual(idx[root * PAGE], 0, "the primary index is a tree of two levels")
        self.assertEqual(idx[age_root * PAGE], 3, "ByAge is one leaf")
        first_leaf = struct.unpack_from("<i", idx, root * PAGE + 13 + KEY_PRIMARY)[0]
        node_count = struct.unpack_from("<H", idx, root * PAGE + 1)[0]
        self.assertGreaterEqual(node_count, 2)

        def swap_keys(b):
            at = first_leaf * PAGE + 13
            e = KEY_PRIMARY + 4
            b[at:at + 2 * e] = b[at + e:at + 2 * e] + b[at:at + e]

        def wrong_count(b):
            at = root * PAGE + 13 + KEY_PRIMARY + 4
            struct.pack_into("<i", b, at, struct.unpack_from("<i", b, at)[0] + 1)

        def lost_page(b):
            struct.pack_into("<H", b, root * PAGE + 1, node_count - 1)

        def missing_record(b):
            at = age_root * PAGE + 1
            struct.pack_into("<H", b, at, struct.unpack_from("<H", b, at)[0] - 1)

        self.damage_and_repair(swap_keys, b"order")
        self.damage_and_repair(wrong_count, b"count")
        self.damage_and_repair(lost_page, b"lost")
        self.damage_and_repair(missing_record, b"index byage: record 300 has no key")

    def test_repair_brings_back_a_lost_index_file(self):
        self.make_users(40)
        plain = self.ok("dump", self.dir, "Users")
        os.remove(self.path("Users.IDX"))
        r = run("verify", self.dir, "Users")
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"8965", r.stdout)
        out = self.ok("repair", self.dir, "Users")
        self.assertIn(b"missing", out)
        self.assertEqual(self.ok("verify", self.dir, "Users"), b"OK\n")
        self.assertEqual(self.ok("dump", self.dir, "Users"), plain)
        self.assertEqual(self.info()["Index.SecondaryCount"], "0")
        self.assertFalse(os.path.exists(self.path("Users.IDX.rebuild")))

    def test_encrypted_table_with_indexes(self):
        definition = dict(USERS, encrypted=True, password="secret", language="German (Standard)")
        self.ok("create", self.dir, "Users", stdin=json.dumps(definition).encode())
        self.ok("load", self.dir, "Users", stdin=rows(120))
        self.assertNotIn(b"user", self.read("Users.IDX"))
        by_name = self.ok("dump", self.dir, "Users", "--index", "ByFullName")
        self.assertEqual(len(by_name.splitlines()), 120)
        self.ok("delete", self.dir, "Users", "3")
        self.assertEqual(self.ok("verify", self.dir, "Users"), b"OK\n")
        self.assertIn(b"over 119 records", self.ok("repair", self.dir, "Users"))
        self.assertEqual(self.ok("verify", self.dir, "Users"), b"OK\n")
        self.assertEqual(len(self.ok("dump", self.dir, "Users", "--index", "ByFullName").splitlines()), 119)
        self.assertNotIn(b"user", self.read("Users.IDX"))


if __name__ == "__main__":
    unittest.main()
