"""Service mode under systemd: INSTALL and UNINSTALL write and remove the unit file, and a
server started by a stand-in service manager (a datagram socket of the test's own named by
NOTIFY_SOCKET) serves silently, reports READY=1 and stops on SIGTERM with STOPPING=1.

The unit folder is always a temporary one (ZORVIC_UNIT_DIR); a fake systemctl first in PATH
records what it is asked, so nothing of the machine's own service manager is touched even
where systemd runs (there the calls are expected; elsewhere none may happen).
"""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import unittest

from harness import (BANNER, DEFAULT_TIMEOUT, ServerProcess, free_port, server_binary,
                     wait_until)
from login_support import login, sql

UNIT = "ServerSocketClass.service"
INSTALLED = "Service installed successfully"
UNINSTALLED = "Service uninstalled successfully"
SYSTEMD_RUNS = os.path.isdir("/run/systemd/system")
DESCRIPTOR_WARNING = "zorvic-server: Warning: the open-file limit is "
AUTH_ERR = "-ERR Unrecognized command in the authentication stage: "
NOT_MANAGED = ("zorvic-server: RunAsService is set, but the server was not started by the "
               "service manager (no NOTIFY_SOCKET); running in console mode")

# A test run started under a service manager must not hand its socket to the servers here.
os.environ.pop("NOTIFY_SOCKET", None)


def log_texts(server):
    lines = sql(server, "Select EntryNo, EntryText from Log order by EntryNo;").split("\n")
    return [line.split("\t", 1)[1] for line in lines[1:] if line]


class NotifySocket:
    """The stand-in for the service manager's notification socket."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.messages = []

    def wait_for(self, line, timeout=DEFAULT_TIMEOUT):
        """Waits for a message holding `line`; returns it."""
        def seen():
            return next((m for m in self.messages if line in m.split("\n")), None)
        found = seen()
        self.sock.settimeout(0.1)
        deadline = timeout
        while found is None and deadline > 0:
            try:
                self.messages.append(self.sock.recv(4096).decode())
            except socket.timeout:
                deadline -= 0.1
            found = seen()
        if found is None:
            raise AssertionError(f"no {line!r} from the server; got {self.messages!r}")
        return found

    def close(self):
        self.sock.close()


class ServiceSwitches(unittest.TestCase):
    """INSTALL and UNINSTALL against one home folder (one shared database for all runs)."""

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="zorvic-service-")
        # A blank and a percent sign in the folder: the unit file must carry them unchanged.
        cls.home = os.path.join(cls.root, "home 100%")
        cls.units = os.path.join(cls.root, "units")
        cls.fakebin = os.path.join(cls.root, "bin")
        cls.calls = os.path.join(cls.root, "systemctl-calls")
        os.mkdir(cls.units)
        os.mkdir(cls.fakebin)
        fake = os.path.join(cls.fakebin, "systemctl")
        with open(fake, "w") as f:
            f.write(f'#!/bin/sh\necho "$@" >> "{cls.calls}"\n')
        os.chmod(fake, 0o755)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def run_server(self, *switches, unit_dir=None):
        env = dict(os.environ, ZORVIC_UNIT_DIR=unit_dir or self.units,
                   PATH=self.fakebin + os.pathsep + os.environ.get("PATH", ""))
        result = subprocess.run([server_binary(), "--home", self.home, "--port", str(free_port()),
                                 *switches], env=env, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=60)
        out, err = result.stdout.decode(), result.stderr.decode()
        for mark in ("AddressSanitizer", "runtime error:", "LeakSanitizer"):
            self.assertNotIn(mark, err)
        # Under a low hard limit of open files the server warns first, whatever the switches.
        err = [line for line in err.splitlines() if not line.startswith(DESCRIPTOR_WARNING)]
        return result.returncode, out.splitlines(), err

    def systemctl_calls(self):
        if not os.path.exists(self.calls):
            return []
        with open(self.calls) as f:
            lines = f.read().splitlines()
        os.remove(self.calls)
        return lines

    def unit_path(self):
        return os.path.join(self.units, UNIT)

    def test_install_and_uninstall_in_every_spelling(self):
        binary = os.path.realpath(server_binary())
        for install, uninstall in (("-INSTALL", "/uninstall"), ("/install", "-UNINSTALL"),
                                   ("\\InStall", "\\UnInstall")):
            with self.subTest(install=install, uninstall=uninstall):
                status, out, err = self.run_server(install)
                self.assertEqual((status, out), (0, [INSTALLED]), err)
                self.assertNotIn(BANNER[0], out)  # no server ran
                with open(self.unit_path()) as f:
                    unit = f.read().splitlines()
                self.assertIn("Description=Zorvic Server Socket Class", unit)
                self.assertIn("Type=notify", unit)
                self.assertIn("Restart=on-failure", unit)
                self.assertIn("WantedBy=multi-user.target", unit)
                home = os.path.realpath(self.home) + "/"
                self.assertIn(f'ExecStart={binary} --home "{home.replace("%", "%%")}"', unit)
                self.assertFalse(os.path.exists(self.unit_path() + ".tmp"))
                expected = ["daemon-reload", "enable " + UNIT] if SYSTEMD_RUNS else []
                self.assertEqual(self.systemctl_calls(), expected)

                status, out, err = self.run_server(uninstall)
                self.assertEqual((status, out), (0, [UNINSTALLED]), err)
                self.assertFalse(os.path.exists(self.unit_path()))
                expected = ["disable " + UNIT, "daemon-reload"] if SYSTEMD_RUNS else []
                self.assertEqual(self.systemctl_calls(), expected)

    def test_silent_switches_show_nothing(self):
        self.assertEqual(self.run_server("-install", "/silent"), (0, [], []))
        self.assertTrue(os.path.isfile(self.unit_path()))
        self.assertEqual(self.run_server("/Silent", "-uninstall"), (0, [], []))
        self.assertFalse(os.path.exists(self.unit_path()))
        self.systemctl_calls()

    def test_failures_say_why_unless_silent(self):
        status, out, err = self.run_server("-UNINSTALL")  # nothing installed
        self.assertEqual(status, 1)
        self.assertEqual(out, [])
        self.assertEqual(len(err), 1, err)
        self.assertTrue(err[0].startswith(
            'Service "ServerSocketClass" failed to uninstall with error: "'), err)
        self.assertIn("No such file or directory", err[0])
        self.assertEqual(self.run_server("-UNINSTALL", "-SILENT"), (1, [], []))

        missing = os.path.join(self.root, "no such folder")
        status, out, err = self.run_server("/INSTALL", unit_dir=missing)
        self.assertEqual((status, out), (1, []))
        self.assertEqual(len(err), 1, err)
        self.assertTrue(err[0].startswith(
            'Service "ServerSocketClass" failed to install with error: "'), err)
        self.assertTrue(err[0].endswith('No such file or directory"'), err)
        self.assertFalse(os.path.exists(missing))
        self.assertEqual(self.systemctl_calls(), [])


class ServiceRun(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="zorvic-notify-")
        self.notify = NotifySocket(self.folder)

    def tearDown(self):
        self.notify.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def start_service(self, server):
        """Starts the prepared server as the service manager would."""
        os.environ["NOTIFY_SOCKET"] = self.notify.path
        try:
            server.start(wait_listening=False)
        finally:
            os.environ.pop("NOTIFY_SOCKET", None)

    def test_service_serves_silently_and_stops_on_sigterm(self):
        with ServerProcess(options={"RunAsService": "1", "EnableLogging": "1"},
                           start=False) as server:
            self.start_service(server)
            ready = self.notify.wait_for("READY=1")
            self.assertIn(f"STATUS=Listening on port {server.port}", ready.split("\n"))
            with server.connect() as client:
                self.assertEqual(client.command("2105"), AUTH_ERR + "2105")
                self.assertEqual(login(client, "admin", "tarnlamp"), "+OK 1")
            # Standard input is not read: "quit" changes nothing.
            server.console("quit")
            self.assertFalse(wait_until(lambda: not server.running(), 0.5))
            server.signal(signal.SIGTERM)
            self.assertEqual(server.wait_exit(), 0)
            self.notify.wait_for("STOPPING=1")
            self.assertEqual(server.stdout_lines(), [])
            texts = log_texts(server)
            self.assertEqual(texts[0], "Start of log file")
            self.assertEqual(texts[-1], "Server is closing. End of logfile.")

    def test_listener_failure_in_service_mode_exits_with_an_error(self):
        blocker = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        blocker.bind(("0.0.0.0", 0))
        blocker.listen(1)
        port = blocker.getsockname()[1]
        try:
            with ServerProcess(port=port, options={"RunAsService": "1", "EnableLogging": "1"},
                               start=False) as server:
                self.start_service(server)
                status = server.wait_exit()
                self.assertNotEqual(status, 0, server.output_text())
                self.assertEqual(server.stdout_lines(), [])
                self.assertTrue(any(line.startswith("Could not start server socket, error #")
                                    for line in server.stderr_lines()), server.output_text())
                self.assertFalse(any("READY=1" in m.split("\n") for m in self.notify.messages))
                texts = log_texts(server)
                failed = [i for i, t in enumerate(texts)
                          if t.startswith("Could not start server socket, error #")]
                self.assertEqual(len(failed), 1, texts)
                self.assertEqual(texts[0], "Start of log file")
                self.assertEqual(texts[-1], "Server is closing. End of logfile.")
                self.assertLess(failed[0], len(texts) - 1)
                server.check_clean()
        finally:
            blocker.close()

    def test_run_as_service_outside_the_manager_runs_in_console_mode(self):
        with ServerProcess(options={"RunAsService": "1"}) as server:
            server.wait_for_stdout(BANNER[-1])
            self.assertEqual(server.stdout_lines(), BANNER)
            self.assertIn(NOT_MANAGED, server.stderr_lines())
            self.assertEqual(server.stderr_lines().count(NOT_MANAGED), 1)
            self.assertEqual(server.quit(), 0)

    def test_console_mode_under_the_manager_still_reports_ready(self):
        with ServerProcess(start=False) as server:
            self.start_service(server)
            server.wait_listening()
            self.notify.wait_for("READY=1")
            server.wait_for_stdout(BANNER[-1])
            self.assertEqual(server.quit(), 0)
            self.notify.wait_for("STOPPING=1")


if __name__ == "__main__":
    unittest.main()
