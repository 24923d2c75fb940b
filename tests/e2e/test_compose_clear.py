"""The composition tests again with DataScrambling off: header and body travel in clear, and a
body of zero bytes is an empty message rather than text that cannot be descrambled."""
import unittest

import test_compose
from compose_support import SENT, mailbox


class ClearComposeTest(test_compose.ComposeTest):
    scrambling = False
    # Cases where scrambling plays no part run once, with it on.
    test_argument_forms_take_no_attachments = None
    test_delivery_runs_from_last_recipient_to_first = None
    test_offline_recipient_gets_copy_without_log_line = None
    test_hostile_and_odd_items_never_widen_or_escape = None
    test_refusals_of_the_profile = None
    test_negative_sizes_get_the_error_line = None
    test_sizes_above_the_ceiling_end_the_connection = None
    test_stalled_attachment_blocks_nobody_and_disconnect_frees_all = None
    test_large_attachment_streams_through_a_file = None
    test_broken_mailbox_skips_only_that_recipient = None

    def test_empty_clear_body_is_delivered(self):
        sender = self.session("off")
        self.assertEqual(self.send(sender, "emptyto", b""), SENT)
        self.assertIn(mailbox(self.server, "emptyto")[-1][6], ("", "\\N"))


if __name__ == "__main__":
    unittest.main()
