"""Large attachments end to end: a 20 MB file uploaded with 2003 and fetched with 2009 comes back
byte for byte while the server's resident memory grows by far less than the file, and sizes
around the in-memory limit (received and read into memory up to 1 MiB, through temporary
files and the BLOB chain beyond) come back intact."""
import os
import threading
import time
import unittest

from compose_support import SENT, send_message
from harness import ServerProcess
from login_support import add_users, login
from retrieval_support import ATTACH_OK, FETCH_OK, LIST_OK, read_id_list, read_record

MIB = 1024 * 1024

# RSS is sampled while 20 MB move: run alone, so that other servers do not disturb the figures.
E2E_SERIAL = True


def rss_bytes(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


class PeakRss:
    """Samples the server's VmRSS while the block runs; peak_growth is the most it grew."""

    def __init__(self, pid):
        self.pid = pid
        self.before = self.peak = rss_bytes(pid)
        self.running = True
        self.thread = threading.Thread(target=self._sample, daemon=True)

    def _sample(self):
        while self.running:
            self.peak = max(self.peak, rss_bytes(self.pid))
            time.sleep(0.005)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.running = False
        self.thread.join()
        self.peak = max(self.peak, rss_bytes(self.pid))

    @property
    def peak_growth(self):
        return self.peak - self.before


class BlobStreaming(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(options={"DataScrambling": "0", "EnableLogging": "1"})
        add_users(cls.server, ["alice", "bob", "carol"])

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def upload(self, to, files):
        with self.server.connect() as c:
            self.assertEqual(login(c, "alice"), "+OK 0")
            self.assertEqual(send_message(c, to, b"files", files, scrambling=False), SENT)

    def attachment_ids(self, client, user):
        """The attachment ids of the user's newest message."""
        self.assertEqual(client.command("2005"), LIST_OK)
        ids, _ = read_id_list(client)
        self.assertEqual(client.command(f"2004 {ids[-1]}"), FETCH_OK)
        _, (attachments, _, _) = read_record(client)
        return [line.split(b" ")[0].decode() for line in attachments.split(b"\r\n") if line]

    def test_a_twenty_megabyte_attachment_round_trip_keeps_memory_flat(self):
        data = os.urandom(20 * MIB)
        # Warm the server up with a small message first, so that its caches are there already.
        self.upload("bob", [("warm.bin", b"warm")])
        with PeakRss(self.server.pid) as up:
            self.upload("bob", [("big.bin", data)])
        with self.server.connect() as c:
            self.assertEqual(login(c, "bob"), "+OK 0")
            (attach_id,) = self.attachment_ids(c, "bob")
            with PeakRss(self.server.pid) as down:
                self.assertEqual(c.command(f"2009 {attach_id}", timeout=60), ATTACH_OK)
                back = c.read_block(timeout=60)
        self.assertEqual(len(back), len(data))
        self.assertTrue(back == data, "the attachment came back changed")
        self.assertLess(up.peak_growth, 0.4 * len(data),
                        f"upload grew the server by {up.peak_growth / MIB:.1f} MiB")
        self.assertLess(down.peak_growth, 0.4 * len(data),
                        f"download grew the server by {down.peak_growth / MIB:.1f} MiB")

    def test_sizes_around_the_in_memory_and_streaming_limits_come_back_intact(self):
        sizes = (0, 1, 64 * 1024 - 1, 64 * 1024, MIB - 1, MIB, MIB + 1, 3 * MIB + 7)
        files = [(f"f{n}.bin", os.urandom(n)) for n in sizes]
        self.upload("carol", files)
        with self.server.connect() as c:
            self.assertEqual(login(c, "carol"), "+OK 0")
            ids = self.attachment_ids(c, "carol")
            self.assertEqual(len(ids), len(files))
            for attach_id, (name, data) in zip(ids, files):
                self.assertEqual(c.command(f"2009 {attach_id}", timeout=30), ATTACH_OK, name)
                self.assertTrue(c.read_block(timeout=30) == data, name)
        # No temporary copy is left behind.
        temp = os.path.join(self.server.home, "Temp")
        if os.path.isdir(temp):
            self.assertEqual([f for f in os.listdir(temp) if f.endswith(".tmp")], [])


if __name__ == "__main__":
    unittest.main()
