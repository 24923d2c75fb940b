"""The README's first command: ./scripts/run builds the Release programs and starts the server.

The test runs the script itself on a free port in a temporary home, so it never touches
./zorvic-home or port 37000. On a fresh clone the script builds build-release/ first, which
takes a few minutes on a small machine; later runs start at once.
"""

# Runs alone: its timing must not be disturbed by other modules running beside it.
E2E_SERIAL = True

import os
import select
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from harness import BANNER, free_port

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
BUILD_TIMEOUT = 1500.0


class RunScriptTest(unittest.TestCase):
    def test_run_builds_starts_and_quits(self):
        home = tempfile.mkdtemp(prefix="zorvic-run-")
        port = free_port()
        proc = subprocess.Popen([os.path.join(ROOT, "scripts", "run"), "--port", str(port),
                                 "--home", home],
                                cwd=ROOT, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        try:
            lines, buffer, errors = [], b"", b""
            deadline = time.monotonic() + BUILD_TIMEOUT
            while len(lines) < len(BANNER) and time.monotonic() < deadline:
                ready, _, _ = select.select([proc.stdout, proc.stderr], [], [], 1.0)
                if proc.stderr in ready:
                    errors = (errors + os.read(proc.stderr.fileno(), 65536))[-4000:]
                if proc.stdout in ready:
                    chunk = os.read(proc.stdout.fileno(), 65536)
                    if not chunk:
                        break
                    buffer += chunk
                    while b"\n" in buffer:
                        line, buffer = buffer.split(b"\n", 1)
                        lines.append(line.decode(errors="replace").rstrip("\r"))
            self.assertEqual(lines[-len(BANNER):], BANNER, errors.decode(errors="replace"))
            # Serving on the port it was given, from the home it was given.
            # The banner comes only once the port is open: no retries here.
            try:
                sock = socket.create_connection(("127.0.0.1", port), timeout=10)
            except OSError as e:
                self.fail("%s after the banner; standard error: %s"
                          % (e, errors.decode(errors="replace")))
            with sock:
                sock.sendall(b"2105\r\n")
                reply = sock.makefile("rb").readline().decode().rstrip("\r\n")
                self.assertTrue(reply.startswith("-ERR"), reply)
            self.assertTrue(os.path.isdir(os.path.join(home, "Data")))
            proc.stdin.write(b"quit\n")
            proc.stdin.flush()
            self.assertEqual(proc.wait(timeout=30), 0)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
