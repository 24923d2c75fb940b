"""End-to-end test harness: runs the real zorvic-server and talks to it over TCP.

Standard library only. Every server test builds on two classes:

ServerProcess -- one zorvic-server process in a temporary home folder on a free port.

    with ServerProcess() as server:          # starts it, waits until the port accepts
        client = server.connect()
        ...
    # leaving the block types "quit", waits for the exit (kills it after a time-out) and
    # fails the test when the server wrote a sanitizer report or exited with a non-zero
    # status; the home folder is removed.

    server.home, server.port, server.pid     where it runs
    server.stdout_lines()                    console lines so far (without line ends)
    server.wait_for_stdout(text)             wait until a console line equals text
    server.console(line)                     type a line on the server's standard input
    server.quit()                            "quit", wait for the exit, return the status
    server.signal(signal.SIGTERM)            send a signal
    server.wait_exit(timeout)                wait for the exit, return the status
    server.thread_count(), server.fd_count() from /proc/<pid>

    ServerProcess(home=..., port=..., args=[...], options={"EnableLogging": "1"}, start=False)
    lets a test prepare the home folder (ServerOptions.ini) or start the server itself.

Client -- one TCP connection speaking the command protocol.

    client.send_line("2105")                 text + CR LF (ending= to send CR or LF alone)
    client.read_line()                       one reply line without its CR LF
    client.command("2105")                   send_line + read_line
    client.send_raw(b"...")                  raw bytes
    client.read_int32(), client.read_exact(n), client.read_block()  (int32 length + bytes)
    client.write_int32(v), client.write_block(b)
    client.expect_closed()                   True when the server closed the connection

The binary comes from ZORVIC_BIN_DIR (set by run.py), else build/bin of this checkout.
Time-outs are generous because the server under test is built with AddressSanitizer.
"""
import os
import random
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_TIMEOUT = 10.0
BANNER = [
    "Zorvic Server 1.04 has started.",
    "Please use the Zorvic Management Console to manage user accounts.",
    "To configure how Zorvic Server starts, run the Server Configuration utility.",
    'To close Zorvic Server, type "quit" and press the Enter key.',
]
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "ThreadSanitizer")


def bin_dir():
    return os.environ.get("ZORVIC_BIN_DIR") or os.path.join(HERE, "..", "..", "build", "bin")


def server_binary():
    return os.path.join(bin_dir(), "zorvic-server")


def free_port():
    """A TCP port that was free a moment ago on the loopback address.

    Picked at random below the system's range of ephemeral ports, so that the client
    connections of tests running beside this one (which take ephemeral ports) cannot take it
    between this call and the server's bind."""
    low = 20000
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range", encoding="ascii") as ranges:
            low = min(low, int(ranges.read().split()[0]))
    except (OSError, ValueError, IndexError):
        pass
    for _ in range(200):
        port = random.randrange(max(1024, low - 12000), low)
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout=DEFAULT_TIMEOUT, interval=0.02):
    """Polls predicate until it is true (returns True) or the time-out passes (False)."""
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(interval)


def write_ini(path, sections):
    """Writes {section: {key: value}} as an INI file."""
    with open(path, "w", encoding="latin-1") as f:
        for section, keys in sections.items():
            f.write(f"[{section}]\n")
            for key, value in keys.items():
                f.write(f"{key}={value}\n")


class ServerProcess:
    def __init__(self, home=None, port=None, args=(), options=None, start=True,
                 wait_listening=True):
        self._own_home = home is None
        self.home = home or tempfile.mkdtemp(prefix="zorvic-e2e-")
        self.port = port or free_port()
        self.args = list(args)
        self.proc = None
        self._stdout = []
        self._stderr = []
        self._lock = threading.Lock()
        self._readers = []
        if options:
            write_ini(os.path.join(self.home, "ServerOptions.ini"), {"ServerOptions": options})
        if start:
            self.start(wait_listening=wait_listening)

    # ------------------------------------------------------------------ life cycle
    def start(self, wait_listening=True):
        cmd = [server_binary(), "--home", self.home, "--port", str(self.port)] + self.args
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        for stream, sink in ((self.proc.stdout, self._stdout), (self.proc.stderr, self._stderr)):
            t = threading.Thread(target=self._pump, args=(stream, sink), daemon=True)
            t.start()
            self._readers.append(t)
        if wait_listening:
            self.wait_listening()
        return self

    def _pump(self, stream, sink):
        for raw in iter(stream.readline, b""):
            with self._lock:
                sink.append(raw.decode("latin-1").rstrip("\r\n"))
        stream.close()

    def wait_listening(self, timeout=DEFAULT_TIMEOUT):
        def accepts():
            if self.proc.poll() is not None:
                raise AssertionError(f"server exited with {self.proc.returncode}:\n"
                                     + self.output_text())
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                    return True
            except OSError:
                return False
        if not wait_until(accepts, timeout):
            raise AssertionError(f"server did not accept on port {self.port}:\n"
                                 + self.output_text())

    @property
    def pid(self):
        return self.proc.pid

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def console(self, line):
        self.proc.stdin.write(line.encode("latin-1") + b"\n")
        self.proc.stdin.flush()

    def close_stdin(self):
        self.proc.stdin.close()

    def signal(self, signum):
        self.proc.send_signal(signum)

    def wait_exit(self, timeout=DEFAULT_TIMEOUT):
        """Waits for the process to end; kills it and fails when it does not."""
        try:
            status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError(f"server did not exit within {timeout} s:\n" + self.output_text())
        for t in self._readers:
            t.join(timeout=DEFAULT_TIMEOUT)
        return status

    def quit(self, timeout=DEFAULT_TIMEOUT):
        if self.running():
            try:
                self.console("quit")
            except (BrokenPipeError, ValueError):
                pass
        return self.wait_exit(timeout)

    def check_clean(self):
        """Fails when the server's output holds a sanitizer report."""
        text = self.output_text()
        for mark in SANITIZER_MARKS:
            if mark in text:
                raise AssertionError("sanitizer report from the server:\n" + text)

    def stop(self):
        """Ends the server if it still runs and removes the home folder; checks the output."""
        try:
            if self.proc is not None:
                if self.proc.returncode is None:
                    status = self.quit()
                    if status != 0:
                        raise AssertionError(f"server exited with {status}:\n"
                                             + self.output_text())
                self.check_clean()
        finally:
            if self.proc is not None and self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            if self._own_home:
                shutil.rmtree(self.home, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            self.stop()
        else:  # keep the original failure; still clean up
            try:
                self.stop()
            except AssertionError:
                pass
        return False

    # ------------------------------------------------------------------ output
    def stdout_lines(self):
        with self._lock:
            return list(self._stdout)

    def stderr_lines(self):
        with self._lock:
            return list(self._stderr)

    def output_text(self):
        return ("--- stdout\n" + "\n".join(self.stdout_lines()) +
                "\n--- stderr\n" + "\n".join(self.stderr_lines()))

    def wait_for_stdout(self, line, timeout=DEFAULT_TIMEOUT):
        if not wait_until(lambda: line in self.stdout_lines(), timeout):
            raise AssertionError(f"no console line {line!r}:\n" + self.output_text())

    # ------------------------------------------------------------------ /proc
    def thread_count(self):
        with open(f"/proc/{self.pid}/status") as f:
            for line in f:
                if line.startswith("Threads:"):
                    return int(line.split()[1])
        raise AssertionError("no Threads line")

    def fd_count(self):
        return len(os.listdir(f"/proc/{self.pid}/fd"))

    # ------------------------------------------------------------------ clients
    def connect(self, timeout=DEFAULT_TIMEOUT):
        return Client(self.port, timeout=timeout)


class ProtocolError(AssertionError):
    pass


class Client:
    def __init__(self, port, host="127.0.0.1", timeout=DEFAULT_TIMEOUT):
        self.timeout = timeout
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._buffer = b""

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def abort(self):
        """Closes with a reset instead of a FIN (a client that vanishes)."""
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        self.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # ------------------------------------------------------------------ sending
    def send_raw(self, data):
        self.sock.sendall(data)

    def send_line(self, text, ending="\r\n"):
        if isinstance(text, str):
            text = text.encode("latin-1")
        self.sock.sendall(text + ending.encode("latin-1"))

    def write_int32(self, value):
        self.sock.sendall(struct.pack(">i", value))

    def write_block(self, data):
        self.sock.sendall(struct.pack(">i", len(data)) + data)

    # ------------------------------------------------------------------ receiving
    def _fill(self, timeout):
        self.sock.settimeout(timeout)
        try:
            chunk = self.sock.recv(65536)
        except socket.timeout:
            raise ProtocolError(f"no reply within {timeout} s (buffered: {self._buffer!r})")
        if not chunk:
            raise ProtocolError(f"connection closed by the server (buffered: {self._buffer!r})")
        self._buffer += chunk

    def read_line(self, timeout=None):
        """One line sent by the server, without its CR LF (the server always sends CR LF)."""
        timeout = timeout or self.timeout
        deadline = time.monotonic() + timeout
        while b"\r\n" not in self._buffer:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise ProtocolError(f"no complete line within {timeout} s: {self._buffer!r}")
            self._fill(remaining)
        line, self._buffer = self._buffer.split(b"\r\n", 1)
        return line.decode("latin-1")

    def read_exact(self, n, timeout=None):
        timeout = timeout or self.timeout
        deadline = time.monotonic() + timeout
        while len(self._buffer) < n:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise ProtocolError(f"only {len(self._buffer)} of {n} bytes within {timeout} s")
            self._fill(remaining)
        data, self._buffer = self._buffer[:n], self._buffer[n:]
        return data

    def read_int32(self, timeout=None):
        return struct.unpack(">i", self.read_exact(4, timeout))[0]

    def read_block(self, timeout=None):
        """An int32 length followed by that many bytes."""
        n = self.read_int32(timeout)
        if n < 0:
            raise ProtocolError(f"negative block length {n}")
        return self.read_exact(n, timeout)

    def command(self, line, timeout=None):
        self.send_line(line)
        return self.read_line(timeout)

    def expect_closed(self, timeout=None):
        """True when the server closes the connection (FIN or reset) within the time-out; any
        bytes still arriving before the close are kept for read_line."""
        timeout = timeout or self.timeout
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return False
            self.sock.settimeout(remaining)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                return False
            except ConnectionResetError:
                return True
            if not chunk:
                return True
            self._buffer += chunk

    def is_open(self, wait=0.2):
        """True when the server has not closed the connection within `wait` seconds."""
        return not self.expect_closed(wait)
