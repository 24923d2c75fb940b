"""The command protocol's line format and the dispatcher's own replies, over real TCP."""
import time
import unittest

from harness import ServerProcess

AUTH_ERR = "-ERR Unrecognized command in the authentication stage: "


class ProtocolTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.client = self.server.connect()

    def tearDown(self):
        self.client.close()

    def test_cr_lf_and_crlf_end_a_line(self):
        c = self.client
        for ending in ("\r\n", "\n", "\r"):
            c.send_line("2105", ending=ending)
            self.assertEqual(c.read_line(), AUTH_ERR + "2105", repr(ending))
        # After each terminator the next line starts with the very next byte.
        c.send_raw(b"2001\r2105\n2001\r\n2105\r\r\n")
        self.assertEqual([c.read_line() for _ in range(5)],
                         [AUTH_ERR + "2001", AUTH_ERR + "2105", AUTH_ERR + "2001",
                          AUTH_ERR + "2105", AUTH_ERR + "-1"])

    def test_unknown_lines_get_code_minus_one(self):
        c = self.client
        for line in ("hello world", "", "0x7D0", "2000a", "99999999999", " 2000", "\t2000"):
            self.assertEqual(c.command(line), AUTH_ERR + "-1", repr(line))
        self.assertEqual(c.command("2001"), AUTH_ERR + "2001")
        self.assertEqual(c.command("2105 ignored argument"), AUTH_ERR + "2105")
        self.assertEqual(c.command("-7"), AUTH_ERR + "-7")

    def test_overlong_line_gives_an_empty_line_then_its_tail(self):
        c = self.client
        c.send_line("A" * 3000)
        self.assertEqual(c.read_line(), AUTH_ERR + "-1")  # the first 2048 or so characters
        self.assertEqual(c.read_line(), AUTH_ERR + "-1")  # the tail
        self.assertEqual(c.command("2105"), AUTH_ERR + "2105")
        self.assertTrue(c.is_open())

    def test_goodbye_is_delivered_then_the_connection_closes(self):
        c = self.client
        self.assertEqual(c.command("2000"), "+OK Goodbye!")
        self.assertTrue(c.expect_closed(5.0))

    def test_goodbye_with_a_trailing_blank_and_with_more_lines_behind_it(self):
        c = self.client
        self.assertEqual(c.command("2000 "), "+OK Goodbye!")
        self.assertTrue(c.expect_closed(5.0))
        # Lines sent in the same packet after 2000 must not turn the goodbye into a reset.
        for _ in range(20):
            with self.server.connect() as other:
                other.send_raw(b"2000\r\n" + b"2105\r\n" * 200)
                self.assertEqual(other.read_line(), "+OK Goodbye!")
                self.assertTrue(other.expect_closed(5.0))

    def test_goodbye_before_and_after_other_commands(self):
        c = self.client
        self.assertEqual(c.command("2105"), AUTH_ERR + "2105")
        c.send_raw(b"2001\r\n2000\r\n")
        self.assertEqual(c.read_line(), AUTH_ERR + "2001")
        self.assertEqual(c.read_line(), "+OK Goodbye!")
        self.assertTrue(c.expect_closed(5.0))

    def test_blank_before_goodbye_is_not_goodbye(self):
        c = self.client
        self.assertEqual(c.command(" 2000"), AUTH_ERR + "-1")
        self.assertTrue(c.is_open())

    def test_pipelined_commands_are_answered_in_order(self):
        c = self.client
        c.send_raw(b"".join(b"%d\r\n" % code for code in (2001, 2105) * 50))
        for code in (2001, 2105) * 50:
            self.assertEqual(c.read_line(), AUTH_ERR + str(code))

    def test_line_trickled_one_byte_at_a_time(self):
        c = self.client
        for byte in b"2105\r\n":
            c.send_raw(bytes([byte]))
            time.sleep(0.05)
        self.assertEqual(c.read_line(), AUTH_ERR + "2105")


if __name__ == "__main__":
    unittest.main()
