"""zorvic-cli scramble / unscramble: round trips through the real binary, its error exits and
its usage exits."""
import os
import subprocess
import unittest

BIN_DIR = os.environ.get(
    "ZORVIC_BIN_DIR",
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "bin"))
CLI = os.path.join(BIN_DIR, "zorvic-cli")


def run_cli(*args):
    return subprocess.run([CLI, *args], capture_output=True, timeout=30)


class CliScrambleTest(unittest.TestCase):
    def scramble(self, text):
        result = run_cli("scramble", text)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, b"")
        self.assertTrue(result.stdout.endswith(b"\n"))
        return result.stdout[:-1]

    def test_round_trips(self):
        texts = [b"", b"1234567", b"12345678", b"123456789", b"plain text",
                 "Gr\u00fc\u00dfe, \u65e5\u672c".encode("utf-8"), b"tab\there\nnew line\r\n",
                 bytes(range(1, 256)), b"x" * 5000]
        for text in texts:
            with self.subTest(length=len(text)):
                scrambled = self.scramble(text)
                cipher_len = 8 * (len(text) // 8 + 1)
                self.assertEqual(len(scrambled), (cipher_len + 2) // 3 * 4)
                self.assertNotIn(b"\n", scrambled)
                result = run_cli("unscramble", scrambled)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, text + b"\n")

    def test_sizes_and_fixed_forms(self):
        self.assertEqual(len(self.scramble(b"1234567")), 12)
        self.assertEqual(len(self.scramble(b"12345678")), 24)
        self.assertEqual(self.scramble(b""), b"X8zQ7mm3KWc=")
        self.assertEqual(self.scramble(b"abcdefgh"), b"uR5L+Ymh3VBfzNDuabcpZw==")

    def test_invalid_input_exits_1_with_the_message(self):
        scrambled = self.scramble(b"a text that scrambles into more than one line's worth")
        cases = [
            (scrambled[:16] + b"\r\n" + scrambled[16:], b"Invalid Base64 Character"),
            (b"AB C", b"Invalid Base64 Character"),
            (scrambled[:-1], b"Invalid Base64 Character"),
            (b"", b"Invalid file format"),
            (b"AAAA", b"Invalid file format"),
            (b"AAAAAAAAAAAAAAAA", b"Invalid file format"),
        ]
        for text, message in cases:
            with self.subTest(text=text):
                result = run_cli("unscramble", text)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, b"")
                self.assertEqual(result.stderr, message + b"\n")

    def test_wrong_usage_exits_2_with_usage(self):
        for args in [(), ("scramble",), ("scramble", "a", "b"), ("unscramble",), ("frobnicate", "x")]:
            with self.subTest(args=args):
                result = run_cli(*args)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, b"")
                self.assertIn(b"Usage: zorvic-cli", result.stderr)
        result = run_cli("help")
        self.assertEqual(result.returncode, 0)
        self.assertIn(b"unscramble TEXT", result.stdout)


if __name__ == "__main__":
    unittest.main()
