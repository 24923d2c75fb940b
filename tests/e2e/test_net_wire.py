"""Line ends that arrive in pieces, against the real server over TCP: the LF of a CR LF that
comes in a later segment must not turn into an extra empty command."""
import time
import unittest

from harness import ServerProcess

AUTH_ERR = "-ERR Unrecognized command in the authentication stage: "


class SplitLineEndTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_lf_of_a_split_cr_lf_is_not_an_empty_command(self):
        with self.server.connect() as c:
            c.send_raw(b"2105\r")
            self.assertEqual(c.read_line(), AUTH_ERR + "2105")
            time.sleep(0.2)
            c.send_raw(b"\n2001\r")
            self.assertEqual(c.read_line(), AUTH_ERR + "2001")
            time.sleep(0.2)
            c.send_raw(b"\n")  # the late LF alone
            time.sleep(0.3)
            # The next reply answers the next command, not an empty line in between.
            self.assertEqual(c.command("2105"), AUTH_ERR + "2105")

    def test_lone_cr_lines_still_work_after_a_pause(self):
        with self.server.connect() as c:
            for code in ("2105", "2001", "2105"):
                c.send_raw(code.encode() + b"\r")
                self.assertEqual(c.read_line(), AUTH_ERR + code)
                time.sleep(0.1)
            c.send_raw(b"\r\n")  # an empty line after a lone CR ... its LF pairs with it
            c.send_raw(b"2001\r\n")
            self.assertEqual(c.read_line(), AUTH_ERR + "-1")
            self.assertEqual(c.read_line(), AUTH_ERR + "2001")


if __name__ == "__main__":
    unittest.main()
