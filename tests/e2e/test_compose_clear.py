"""The composition tests again with DataScrambling off: header and body travel in clear, and a
body of zero bytes is an empty message rather than text that cannot be descrambled."""
import unittest

import test_compose
from compose_support import SENT, mailbox


class ClearComposeTest(test_compose.ComposeTest):
    scrambling = False

    def test_empty_clear_body_is_delivered(self):
        sender = self.session("off")
        self.assertEqual(self.send(sender, "emptyto", b""), SENT)
        self.assertIn(mailbox(self.server, "emptyto")[-1][6], ("", "\\N"))


if __name__ == "__main__":
    unittest.main()
