"""End-to-end tests of zorvic-table: create, load, dump, delete, verify and info on real files.

Each test works in its own temporary folder and runs the tool as a child process.
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
BLOCK = 64  # BLOB block size of the test tables: 46 data bytes per block

ALL_TYPES = {
    "fields": [
        {"name": "ID", "type": "AutoInc"},
        {"name": "Name", "type": "String", "size": 20},
        {"name": "Born", "type": "Date"},
        {"name": "Ok", "type": "Boolean"},
        {"name": "Small", "type": "SmallInt"},
        {"name": "Count", "type": "Integer"},
        {"name": "Ratio", "type": "Float"},
        {"name": "Amount", "type": "BCD", "scale": 2},
        {"name": "Raw", "type": "Bytes", "size": 3},
        {"name": "At", "type": "Time"},
        {"name": "Stamp", "type": "TimeStamp"},
        {"name": "W", "type": "Word"},
        {"name": "Big", "type": "LargeInt"},
        {"name": "Body", "type": "Memo"},
        {"name": "Pic", "type": "Blob"},
    ],
    "blockSize": BLOCK,
    "description": "all types",
}


def run(*args, stdin=b""):
    return subprocess.run([TOOL, *args], input=stdin, capture_output=True, timeout=120)


def memo(n, seed):
    text = "".join(chr(ord("a") + (seed + i) % 26) for i in range(n))
    # Every character the dump escapes, now and then.
    if n >= 4 and seed % 3 == 0:
        text = "\\\t\n\r" + text[4:]
    return text


def escape(text):
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


def sample_lines(count):
    lengths = [0, 1, BLOCK - 18, BLOCK - 17, 3 * (BLOCK - 18) + 5]
    lines = []
    for k in range(1, count + 1):
        body_len = lengths[k % 5]
        pic_len = lengths[(k // 5) % 5]
        fields = [
            "\\N" if k % 4 == 0 else str(k * 3),  # \N lets the engine pick the RowId
            "\\N" if k % 7 == 0 else escape("name\t%d\\" % k),
            "\\N" if k % 11 == 0 else "20%02d-%02d-%02d" % (k % 100, k % 12 + 1, k % 28 + 1),
            ["True", "False", "\\N"][k % 3],
            str(k * 37 % 65536 - 32768),
            str(k * 1000003 % 2147483647 - 1000000000),
            "\\N" if k % 13 == 0 else repr(k * 0.1),
            "%d.%02d" % (k - 50, k % 100) if k >= 50 else "-%d.%02d" % (50 - k, k % 100),
            "\\x%06x" % (k * 2654435 % 16777216),
            "%02d:%02d:%02d%s" % (k % 24, k % 60, (k * 7) % 60, "" if k % 2 else ".%d" % (k % 1000 or 1)),
            "2024-03-%02d 10:%02d:00" % (k % 28 + 1, k % 60),
            str(k % 65536),
            str(k * 10 ** 12),
            "\\N" if body_len == 0 else escape(memo(body_len, k)),
            "\\N" if pic_len == 0 else "\\x" + bytes((k * 31 + i) % 256 for i in range(pic_len)).hex(),
        ]
        lines.append("\t".join(fields))
    return ("\n".join(lines) + "\n").encode("latin-1")


class TableToolTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zorvic-table-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def create(self, table, definition=ALL_TYPES):
        r = run("create", self.dir, table, stdin=json.dumps(definition).encode())
        self.assertEqual(r.returncode, 0, r.stderr)

    def path(self, name):
        return os.path.join(self.dir, name)

    def test_dump_load_round_trip_gives_the_same_files(self):
        self.create("A")
        r = run("load", self.dir, "A", stdin=sample_lines(2500))
        self.assertEqual(r.returncode, 0, r.stderr)
        first = run("dump", self.dir, "A")
        self.assertEqual(first.returncode, 0, first.stderr)
        self.assertEqual(first.stdout.count(b"\n"), 2500)
        self.create("B")
        r = run("load", self.dir, "B", stdin=first.stdout)
        self.assertEqual(r.returncode, 0, r.stderr)
        second = run("dump", self.dir, "B")
        self.assertEqual(first.stdout, second.stdout)
        for ext in (".DAT", ".BLB"):
            a = bytearray(open(self.path("A" + ext), "rb").read())
            b = bytearray(open(self.path("B" + ext), "rb").read())
            self.assertEqual(len(a), len(b), ext)
            # Only the change counter and (in the data header) the time stamp may differ.
            masked = [range(0, 4)] + ([range(27, 35)] if ext == ".DAT" else [])
            for r_ in masked:
                for i in r_:
                    a[i] = b[i] = 0
            self.assertEqual(a, b, ext)
        self.assertEqual(run("verify", self.dir, "B").returncode, 0)

    def test_dump_writes_the_value_forms(self):
        self.create("T")
        line = ("\\N\tSmith  \t1999-12-31\tTrue\t-32768\t42\t0.1\t-0.50\t\\x00ff10\t13:05:00.7"
                "\t2024-02-29 23:59:59.999\t65535\t-9223372036854775808\ta\\\\b\\tc\\nd\\re\t\\x"
                "0102\n")
        r = run("load", self.dir, "T", stdin=line.encode())
        self.assertEqual(r.returncode, 0, r.stderr)
        out = run("dump", self.dir, "T").stdout.decode("latin-1")
        # Trailing blanks go, the RowId is assigned, everything else reads back as given.
        self.assertEqual(out, line.replace("\\N\tSmith  ", "1\tSmith").replace("\\x\n", "\\N\n")
                         .replace("\\x0102", "\\x0102"))

    def test_bad_line_is_reported_and_earlier_lines_stay(self):
        self.create("T")
        lines = sample_lines(5).split(b"\n")
        lines[2] = lines[2].replace(b"2024-03", b"2024-13")
        r = run("load", self.dir, "T", stdin=b"\n".join(lines))
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"line 3", r.stderr)
        self.assertIn(b"not a valid date and time", r.stderr)
        # The whole batch (1,000 lines by default) is left out; with batches of 2 the first stays.
        self.assertEqual(run("dump", self.dir, "T").stdout, b"")
        r = run("load", self.dir, "T", "--batch", "2", stdin=b"\n".join(lines))
        self.assertEqual(r.returncode, 1)
        self.assertEqual(run("dump", self.dir, "T").stdout.count(b"\n"), 2)
        wrong_count = run("load", self.dir, "T", stdin=b"1\t2\n")
        self.assertEqual(wrong_count.returncode, 1)
        self.assertIn(b"line 1: expected 15 fields, found 2", wrong_count.stderr)
        self.assertEqual(run("verify", self.dir, "T").returncode, 0)

    def test_required_and_range_checks(self):
        definition = {"fields": [
            {"name": "N", "type": "Integer", "required": True, "min": "1", "max": "10"},
            {"name": "S", "type": "String", "size": 5, "min": "b"}]}
        self.create("R", definition)
        for text, code in ((b"\\N\tc\n", b"9732"), (b"0\tc\n", b"9730"), (b"11\tc\n", b"9731"),
                           (b"5\ta\n", b"9730"), (b"5\tabcdef\n", b"longer than 5")):
            r = run("load", self.dir, "R", stdin=text)
            self.assertEqual(r.returncode, 1, text)
            self.assertIn(code, r.stderr)
        self.assertEqual(run("load", self.dir, "R", stdin=b"10\tzz\n").returncode, 0)

    def test_delete_frees_the_record_and_its_blocks(self):
        self.create("T")
        self.assertEqual(run("load", self.dir, "T", stdin=sample_lines(10)).returncode, 0)
        r = run("delete", self.dir, "T", "4", "9")
        self.assertEqual(r.returncode, 0, r.stderr)
        ids = [line.split(b"\t")[0] for line in run("dump", self.dir, "T").stdout.splitlines()]
        self.assertEqual(len(ids), 8)
        info = run("info", self.dir, "T").stdout.decode()
        self.assertIn("FirstDeleted: 9\n", info)
        self.assertNotIn("Blob.FirstFreeBlock: 0\n", info)
        self.assertEqual(run("verify", self.dir, "T").returncode, 0)
        again = run("delete", self.dir, "T", "4")
        self.assertEqual(again.returncode, 1)
        self.assertIn(b"8708", again.stderr)
        self.assertEqual(run("delete", self.dir, "T", "11").returncode, 1)
        self.assertEqual(run("delete", self.dir, "T", "x").returncode, 1)

    def test_verify_reports_damage(self):
        self.create("T")
        self.assertEqual(run("load", self.dir, "T", stdin=sample_lines(20)).returncode, 0)
        ok = run("verify", self.dir, "T")
        self.assertEqual((ok.returncode, ok.stdout), (0, b"OK\n"))
        dat = self.path("T.DAT")
        good = open(dat, "rb").read()
        header = 127 + 768 * 15
        record_size = struct.unpack_from("<H", good, 21)[0]
        # A Boolean flag byte of record 2 set to 7.
        ok_offset = struct.unpack_from("<H", good, 127 + 768 * 3 + 90)[0]
        bad = bytearray(good)
        bad[header + record_size + ok_offset] = 7
        open(dat, "wb").write(bad)
        r = run("verify", self.dir, "T")
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"record 2", r.stdout)
        # A Blob reference pointing into another chain.
        body_offset = struct.unpack_from("<H", good, 127 + 768 * 13 + 90)[0]
        bad = bytearray(good)
        first1 = struct.unpack_from("<i", good, header + body_offset + 1)[0]
        struct.pack_into("<i", bad, header + 2 * record_size + body_offset + 1, first1)
        bad[header + 2 * record_size + body_offset] = 1
        open(dat, "wb").write(bad)
        self.assertEqual(run("verify", self.dir, "T").returncode, 1)
        # Missing records.
        open(dat, "wb").write(good[:-5])
        r = run("verify", self.dir, "T")
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"8961", r.stdout)
        # A whole record past the last slot is an interrupted append: tolerated.
        open(dat, "wb").write(good + good[-record_size:])
        r = run("verify", self.dir, "T")
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertIn(b"note:", r.stdout)
        os.remove(self.path("T.BLB"))
        r = run("verify", self.dir, "T")
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"11010", r.stdout)

    def test_info_names_every_header_and_descriptor_field(self):
        definition = dict(ALL_TYPES, encrypted=True, password="pw", language="German (Standard)",
                          sort="German Phone Book Order", userMajorVersion=3)
        self.create("E", definition)
        info = dict(line.split(": ", 1) for line in run("info", self.dir, "E").stdout.decode("latin-1").splitlines())
        for key in ("ChangeCount", "BlobBlockSize", "FormatVersion", "FirstDeleted", "NextRecordNo",
                    "LastAutoInc", "RecordSize", "FieldCount", "BlobFieldCount", "LastUpdated",
                    "TableDescription", "Encrypted", "TablePassword", "LocaleLanguage", "LocaleSort",
                    "UserMajorVersion", "UserMinorVersion", "HeaderModified", "WriterVersion"):
            self.assertIn(key, info)
        for key in ("FieldNo", "FieldName", "FieldDescription", "DataType", "SubType", "FieldSize",
                    "FieldScale", "PhysSize", "ScaleCopy", "FieldOffset", "Required", "CharCase",
                    "MinValue", "MaxValue", "DefaultValue", "NotStored"):
            self.assertIn("Field[15]." + key, info)
        self.assertEqual(info["TableDescription"], "all types")  # plain, though scrambled on disk
        self.assertNotIn(b"all types", open(self.path("E.DAT"), "rb").read())
        self.assertEqual(info["LocaleLanguage"], str(0x0407))
        self.assertEqual(info["SortOrder"], "German Phone Book Order")
        self.assertEqual(info["WriterVersion"], "32100")
        self.assertEqual(info["Field[8].FieldScale"], "2")
        self.assertEqual(info["Field[1].FieldOffset"], "5")
        self.assertEqual(info["Field[2].FieldOffset"], "9")
        self.assertEqual(run("load", self.dir, "E", stdin=sample_lines(3)).returncode, 0)
        self.assertEqual(run("dump", self.dir, "E").stdout.count(b"\n"), 3)

    def test_create_refuses_bad_definitions(self):
        cases = [
            (b"{", b"JSON error"),
            (b'{"fields": [{"name": "A", "type": "Integer"}, {"name": "a", "type": "Word"}]}', b"10038"),
            (b'{"fields": [{"name": "A", "type": "Nope"}]}', b"unknown type"),
            (b'{"fields": [{"name": "A", "type": "String", "size": 251}]}', b"10000"),
            (b'{"fields": [{"name": "A", "type": "Date", "min": "2024-02-30"}]}', b"10006"),
            (b'{"fields": [{"name": "A", "type": "Integer"}], "blockSize": 63}', b"9498"),
            (b'{"fields": [{"name": "A", "type": "Integer"}], "colour": 1}', b"unknown member"),
            (b'{"fields": [{"name": "A", "type": "Integer"}], "encrypted": true}', b"10015"),
        ]
        for i, (definition, message) in enumerate(cases):
            r = run("create", self.dir, "C%d" % i, stdin=definition)
            self.assertEqual(r.returncode, 1, definition)
            self.assertIn(message, r.stderr, definition)
            self.assertFalse(os.path.exists(self.path("C%d.DAT" % i)))
        self.create("Dup", {"fields": [{"name": "A", "type": "Integer"}]})
        r = run("create", self.dir, "Dup", stdin=b'{"fields": [{"name": "A", "type": "Integer"}]}')
        self.assertIn(b"13060", r.stderr)
        missing = run("dump", self.dir, "Nowhere")
        self.assertEqual(missing.returncode, 1)
        self.assertIn(b"11010", missing.stderr)
        self.assertIn(self.path("Nowhere.DAT").encode(), missing.stderr)
        self.assertEqual(run("frobnicate", self.dir, "T").returncode, 2)


if __name__ == "__main__":
    unittest.main()
