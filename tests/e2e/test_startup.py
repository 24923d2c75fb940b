"""Start-up, console and shutdown of the real zorvic-server."""
import os
import signal
import socket
import subprocess
import time
import unittest

from harness import (BANNER, DEFAULT_TIMEOUT, ServerProcess, free_port, server_binary,
                     wait_until, write_ini)

AUTH_ERR = "-ERR Unrecognized command in the authentication stage: "


class StartupTest(unittest.TestCase):
    def test_banner_and_folders(self):
        with ServerProcess() as server:
            server.wait_for_stdout(BANNER[-1])
            self.assertEqual(server.stdout_lines(), BANNER)
            for name in ("Data", "Users", "Temp", "Updates"):
                self.assertTrue(os.path.isdir(os.path.join(server.home, name)), name)
            with server.connect() as client:
                self.assertEqual(client.command("2105"), AUTH_ERR + "2105")

    def test_second_start_keeps_existing_files(self):
        with ServerProcess(start=False) as server:
            data = os.path.join(server.home, "Data")
            os.mkdir(data)
            with open(os.path.join(data, "keep.DAT"), "wb") as f:
                f.write(b"\x01\x02")
            write_ini(os.path.join(server.home, "ServerOptions.ini"),
                      {"ServerOptions": {"SMTPServer": "mail.local"}})
            before = open(os.path.join(server.home, "ServerOptions.ini"), "rb").read()
            server.start()
            self.assertEqual(server.quit(), 0)
            with open(os.path.join(data, "keep.DAT"), "rb") as f:
                self.assertEqual(f.read(), b"\x01\x02")
            self.assertEqual(open(os.path.join(server.home, "ServerOptions.ini"), "rb").read(),
                             before)

    def test_only_exact_quit_ends_the_server(self):
        with ServerProcess() as server:
            server.wait_for_stdout(BANNER[-1])
            for line in ("Quit", " quit", "quit ", "QUIT", "", "stop"):
                server.console(line)
            time.sleep(0.5)
            self.assertTrue(server.running())
            with server.connect() as client:  # still serving
                self.assertEqual(client.command("2001"), AUTH_ERR + "2001")
            started = time.monotonic()
            self.assertEqual(server.quit(), 0)
            self.assertLess(time.monotonic() - started, 5.0)
            self.assertEqual(server.stdout_lines(), BANNER)

    def test_stop_signals_end_the_server_like_quit(self):
        for signum in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=signum), ServerProcess() as server:
                client = server.connect()
                self.assertEqual(client.command("2105"), AUTH_ERR + "2105")
                started = time.monotonic()
                server.signal(signum)
                self.assertEqual(server.wait_exit(), 0)
                self.assertLess(time.monotonic() - started, 5.0)
                # The open session was shut down, not left to the process end.
                self.assertTrue(client.expect_closed(2.0))
                client.close()

    def test_quit_with_open_sessions_is_prompt(self):
        with ServerProcess() as server:
            clients = [server.connect() for _ in range(20)]
            for c in clients[:10]:
                c.send_raw(b"21")  # half a command line
            for c in clients[10:]:
                self.assertEqual(c.command("2001"), AUTH_ERR + "2001")
            started = time.monotonic()
            self.assertEqual(server.quit(), 0)
            self.assertLess(time.monotonic() - started, 5.0)
            for c in clients:
                self.assertTrue(c.expect_closed(2.0))
                c.close()

    def test_end_of_input_keeps_serving(self):
        with ServerProcess() as server:
            server.close_stdin()
            time.sleep(0.5)
            self.assertTrue(server.running())
            with server.connect() as client:
                self.assertEqual(client.command("2105"), AUTH_ERR + "2105")
            server.signal(signal.SIGTERM)
            self.assertEqual(server.wait_exit(), 0)

    def test_port_taken_still_prints_banner_and_runs(self):
        blocker = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        blocker.bind(("0.0.0.0", 0))
        blocker.listen(1)
        port = blocker.getsockname()[1]
        try:
            with ServerProcess(port=port, wait_listening=False) as server:
                server.wait_for_stdout(BANNER[-1])
                self.assertTrue(wait_until(
                    lambda: any("Could not start server socket, error #" in line
                                for line in server.stderr_lines())), server.output_text())
                time.sleep(0.5)
                self.assertTrue(server.running())
                self.assertEqual(server.stdout_lines(), BANNER)
                self.assertEqual(server.quit(), 0)
        finally:
            blocker.close()

    def test_run_as_service_outside_the_service_manager_runs_in_console_mode(self):
        # INSTALL, UNINSTALL and the service start are in test_service.py.
        with ServerProcess(options={"RunAsService": "1"}) as server:
            server.wait_for_stdout(BANNER[-1])
            self.assertEqual(server.quit(), 0)

    def test_home_folder_is_created(self):
        with ServerProcess(start=False) as outer:
            home = os.path.join(outer.home, "new", "home")
            with ServerProcess(home=home) as server:
                server.wait_for_stdout(BANNER[-1])
                self.assertTrue(os.path.isdir(os.path.join(home, "Updates")))


class StartupFailureTest(unittest.TestCase):
    def run_server(self, *args, stdin=b""):
        proc = subprocess.run([server_binary(), *args], input=stdin, capture_output=True,
                              timeout=DEFAULT_TIMEOUT)
        return proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1")

    def test_folder_that_cannot_be_created_ends_start_up(self):
        with ServerProcess(start=False) as holder:
            with open(os.path.join(holder.home, "Users"), "w") as f:
                f.write("a file where a folder belongs")
            status, out, _ = self.run_server("--home", holder.home, "--port", str(free_port()),
                                             stdin=b"quit\n")
            self.assertNotEqual(status, 0)
            lines = out.splitlines()
            self.assertEqual(len(lines), 1, out)
            self.assertTrue(lines[0].startswith("Exception in Main Function: "), out)
            self.assertIn(os.path.join(holder.home, "Users"), lines[0])
            self.assertTrue(os.path.isdir(os.path.join(holder.home, "Data")))
            self.assertFalse(os.path.exists(os.path.join(holder.home, "Temp")))

    def test_help_version_and_bad_arguments(self):
        status, out, _ = self.run_server("--version")
        self.assertEqual((status, out), (0, "Zorvic Server 1.04\n"))
        status, out, _ = self.run_server("--help")
        self.assertEqual(status, 0)
        self.assertIn("--home DIR", out)
        for bad in (["--port", "0"], ["--port", "x"], ["--bogus"], ["--home"]):
            status, out, err = self.run_server(*bad)
            self.assertEqual(status, 2, bad)
            self.assertEqual(out, "")
            self.assertIn("Usage:", err)


if __name__ == "__main__":
    unittest.main()
