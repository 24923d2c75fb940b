"""Helpers of the kill tests: writers killed with SIGKILL at random moments, the table checked
after each kill.

The rounds are ZORVIC_KILL_ROUNDS (50 by default; 1000 for a long run); ZORVIC_KILL_SEED
replays a run (the seed is printed with every failure).
"""
import collections
import json
import os
import random
import signal
import subprocess

BIN = os.environ.get("ZORVIC_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "bin"))
TABLE_TOOL = os.path.join(BIN, "zorvic-table")
SQL_TOOL = os.path.join(BIN, "zorvic-sql")
ROUNDS = int(os.environ.get("ZORVIC_KILL_ROUNDS", "50"))
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


def seeded():
    seed = int(os.environ.get("ZORVIC_KILL_SEED", str(random.randrange(10**9))))
    return seed, random.Random(seed)


def kill_after(proc, seconds):
    """Kills the process with SIGKILL after the given time (or when it ended by itself)."""
    try:
        proc.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        proc.send_signal(signal.SIGKILL)
        proc.wait(timeout=30)


def start_writer(args, text):
    """Starts a child writing text to its standard input; the kill may come before it read it."""
    proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        proc.stdin.write(text)
        proc.stdin.close()
    except BrokenPipeError:
        pass
    return proc


def load_lines(batches):
    return "".join("\\N\t%d\t%d\t%s\n" % (b, s, body(b, s))
                   for b in batches for s in range(BATCH)).encode()


def check_loaded_table(test, directory, context, journals=(".JNL", ".JNX")):
    """Opens Rows (playing back a journal), verifies it and returns {batch: [seq, ...]}.

    A journal present after the kill is first reported by info and verify."""
    for ext in journals:
        if os.path.exists(os.path.join(directory, "Rows" + ext)):
            verify = run(TABLE_TOOL, "verify", directory, "Rows")
            test.assertEqual(verify.returncode, 1, context)
            test.assertIn(b"journal present", verify.stdout)
            break
    dump = run(TABLE_TOOL, "dump", directory, "Rows")
    test.assertEqual(dump.returncode, 0, context + dump.stderr.decode())
    verify = run(TABLE_TOOL, "verify", directory, "Rows")
    test.assertEqual(verify.returncode, 0, context + verify.stdout.decode())
    rows = collections.defaultdict(list)
    for line in dump.stdout.decode().splitlines():
        fields = line.split("\t")
        batch, seq = int(fields[1]), int(fields[2])
        test.assertEqual(fields[3], body(batch, seq), context)
        rows[batch].append(seq)
    for batch, seqs in rows.items():
        test.assertEqual(sorted(seqs), list(range(BATCH)), context + " batch %d" % batch)
    for ext in journals:
        test.assertFalse(os.path.exists(os.path.join(directory, "Rows" + ext)), context)
    return rows


def create_rows(test, directory):
    r = run(TABLE_TOOL, "create", directory, "Rows", stdin=json.dumps(TABLE).encode())
    test.assertEqual(r.returncode, 0, r.stderr)
