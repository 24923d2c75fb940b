"""Message retrieval over TCP (2004, 2005, 2008, 2009) with scrambling off and on: the exact
replies and record bytes, the little-endian id list, deleted and missing ids, arguments that
are no numbers (never reaching SQL), deletes of one and of every message, attachments that
outlive their messages, the log lines of failures, and RestrictAttachmentFetch.

Mailboxes are seeded with zorvic-sql before the users log in; one server per scrambling mode
serves every case, each case on accounts of its own. This module runs the cases with
scrambling off; test_retrieval_scrambled.py runs them with scrambling on."""
import os
import unittest

from harness import ServerProcess, write_ini
from login_support import add_users, login, no_more_data, q, sql
from retrieval_support import (ATTACH_ERROR, ATTACH_OK, DELETE_ERROR, DELETED, FETCH_ERROR,
                               FETCH_OK, INVALID_ATTACHMENT, INVALID_MESSAGE, LIST_ERROR,
                               LIST_OK, header_text, read_id_list, read_record, record_bytes,
                               seed_messages)

# The shared attachments every class stores at its start, in AttachID order (1, 2, 3).
ATTACHMENTS = ["payload bytes", "keep", "other"]
FETCHED = {"date": "2006-03-08 12:00:00", "size": 73, "priority": 2,
           "attachments": "12 5 a b.txt", "sender": "alice", "to": "fetch,Sales/*",
           "body": "Hello world"}


class RetrievalCases:
    """The cases, run once per scrambling mode by the classes below."""
    SCRAMBLING = None

    @classmethod
    def options(cls, **more):
        options = {"DataScrambling": "1" if cls.SCRAMBLING else "0", "EnableLogging": "1"}
        options.update(more)
        return options

    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(options=cls.options())
        sql(cls.server, "".join(f"Insert into Attachments (RefCount, BODY, Size) values (1, "
                                f"{q(body)}, {len(body)});" for body in ATTACHMENTS))
        add_users(cls.server, ["empty", "list", "fetch", "keeper", "carol"])
        seed_messages(cls.server, "list", [{"body": f"m{i}"} for i in range(9)])
        seed_messages(cls.server, "fetch", [FETCHED, {"date": "2006-03-08 18:00:00", "size": 1,
                                                      "body": "x"}, {"body": "third"}])
        seed_messages(cls.server, "keeper", [{"attachments": "1 13 p.txt", "size": 13}])
        seed_messages(cls.server, "carol", [{"attachments": "3 5 o.txt\n77 1 gone.txt"}])

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def connect(self, name, password="pw"):
        client = self.server.connect()
        self.addCleanup(client.close)
        self.assertEqual(login(client, name, password), "+OK 1" if self.SCRAMBLING else "+OK 0")
        return client

    def ids(self, c, after=None):
        self.assertEqual(c.command("2005" if after is None else f"2005 {after}"), LIST_OK)
        return read_id_list(c)[0]

    def test_list_of_an_empty_mailbox_is_a_zero_length_and_nothing_else(self):
        c = self.connect("empty")
        self.assertEqual(c.command("2005"), LIST_OK)
        self.assertEqual(c.read_int32(), 0)
        self.assertTrue(no_more_data(c))

    def test_list_after_an_id_sends_the_later_ids_little_endian(self):
        c = self.connect("list")
        for gone in (1, 2, 4, 5, 7, 8):
            self.assertEqual(c.command(f"2008 {gone}"), DELETED)
        self.assertEqual(c.command("2005 5"), LIST_OK)
        self.assertEqual(c.read_int32(), 8)
        self.assertEqual(c.read_exact(8), bytes.fromhex("0600000009000000"))
        self.assertEqual(self.ids(c), [3, 6, 9])
        self.assertEqual(self.ids(c, " 3 "), [6, 9])
        self.assertEqual(self.ids(c, 9), [])
        # Numbers beyond 32 bits still compare as numbers.
        self.assertEqual(self.ids(c, 99999999999), [])
        self.assertEqual(self.ids(c, -99999999999), [3, 6, 9])
        self.assertTrue(no_more_data(c))

    def test_fetch_delete_and_arguments_that_are_no_numbers(self):
        c = self.connect("fetch")
        # The exact record: attachment list in clear, header and body as the mode says.
        self.assertEqual(c.command("2004 1"), FETCH_OK)
        raw, _ = read_record(c)
        header = header_text("alice", "fetch,Sales/*", "38784.5", 73, 2)
        self.assertEqual(raw, record_bytes("12 5 a b.txt", header, "Hello world",
                                           self.SCRAMBLING))
        self.assertEqual(c.command("2004 2"), FETCH_OK)
        raw, parts = read_record(c)
        self.assertEqual(parts[0], b"")  # no attachments: A = 0
        self.assertEqual(raw, record_bytes("", header_text("alice", "fetch", "38784.75", 1, 0),
                                           "x", self.SCRAMBLING))
        # Arguments that are no decimal integer: the handler's error line, nothing changed.
        for argument in ("", "abc", "1 or 1=1", "1; Delete from Messages", "0x1", "1.0", "(1)",
                         "1--"):
            self.assertEqual(c.command(f"2004 {argument}".strip()), FETCH_ERROR, argument)
        for argument in ("abc", "0; Delete from Messages", "1 or 1=1"):
            self.assertEqual(c.command(f"2005 {argument}"), LIST_ERROR, argument)
            self.assertEqual(c.command(f"2008 {argument}"), DELETE_ERROR, argument)
        for argument in ("", "x", "2; Delete from Attachments", "2 or AttachID>0", "1,2"):
            self.assertEqual(c.command(f"2009 {argument}".strip()), ATTACH_ERROR, argument)
        self.assertEqual(self.ids(c), [1, 2, 3])
        self.assertEqual(c.command("2009 2"), ATTACH_OK)
        self.assertEqual(c.read_block(), b"keep")
        # Deleted and missing ids.
        self.assertEqual(c.command("2008 1"), DELETED)
        self.assertEqual(c.command("2004 1"), INVALID_MESSAGE)
        for missing in ("77", "99999999999", "-1", "0"):
            self.assertEqual(c.command(f"2004 {missing}"), INVALID_MESSAGE, missing)
            self.assertEqual(c.command(f"2008 {missing}"), DELETED, missing)
        self.assertEqual(self.ids(c), [2, 3])
        # Without an argument every message goes; an empty mailbox answers the same.
        self.assertEqual(c.command("2008"), DELETED)
        self.assertEqual(self.ids(c), [])
        self.assertEqual(c.command("2008"), DELETED)
        self.assertTrue(no_more_data(c))
        rows = sql(self.server, "Select EntryNo, EntryText from Log order by EntryNo;")
        texts = [row.split("\t", 1)[-1] for row in rows.split("\n")]
        self.assertIn("In cServer.HandleFetchMessageRequest (): Invalid message ID 'abc'", texts)
        self.assertIn("In cServer.HandleFetchMessagesList (): Invalid message ID 'abc'", texts)
        self.assertIn("In cServer.HandleDeleteMessage (): Invalid message ID 'abc'", texts)
        self.assertIn("cServer.HandleFetchAttachment (): 'Invalid attachment ID ''x'''", texts)

    def test_an_attachment_outlives_the_last_message_that_refers_to_it(self):
        c = self.connect("keeper")
        self.assertEqual(c.command("2009 1"), ATTACH_OK)
        self.assertEqual(c.read_block(), b"payload bytes")
        self.assertEqual(c.command("2008 1"), DELETED)
        self.assertEqual(c.command("2009 1"), ATTACH_OK)
        # The body goes out as stored, never scrambled.
        self.assertEqual(c.read_block(), b"payload bytes")
        self.assertEqual(c.command("2009 987654"), INVALID_ATTACHMENT)
        self.assertEqual(c.command("2009 99999999999"), INVALID_ATTACHMENT)
        self.assertTrue(no_more_data(c))

    def test_restricted_fetch_serves_referring_mailboxes_and_administrators_only(self):
        ini = os.path.join(self.server.home, "ServerOptions.ini")
        write_ini(ini, {"ServerOptions": self.options(RestrictAttachmentFetch="1")})
        self.addCleanup(write_ini, ini, {"ServerOptions": self.options()})
        c = self.connect("carol")
        self.assertEqual(c.command("2009 3"), ATTACH_OK)
        self.assertEqual(c.read_block(), b"other")
        self.assertEqual(c.command("2009 2"), INVALID_ATTACHMENT)
        # Listed in a message, but not in the shared table.
        self.assertEqual(c.command("2009 77"), INVALID_ATTACHMENT)
        admin = self.connect("admin", "tarnlamp")
        self.assertEqual(admin.command("2009 2"), ATTACH_OK)
        self.assertEqual(admin.read_block(), b"keep")
        self.assertEqual(admin.command("2009 5555"), INVALID_ATTACHMENT)
        # Once carol's message is gone, so is her right to its attachment.
        self.assertEqual(c.command("2008"), DELETED)
        self.assertEqual(c.command("2009 3"), INVALID_ATTACHMENT)
        write_ini(ini, {"ServerOptions": self.options()})
        self.assertEqual(c.command("2009 3"), ATTACH_OK)
        self.assertEqual(c.read_block(), b"other")
        self.assertTrue(no_more_data(c))

    def test_commands_before_login_are_refused(self):
        with self.server.connect() as c:
            for line in ("2004 1", "2005", "2008", "2009 1"):
                reply = c.command(line)
                self.assertTrue(reply.startswith("-ERR Unrecognized command in the "
                                                 "authentication stage"), reply)


class RetrievalClear(RetrievalCases, unittest.TestCase):
    SCRAMBLING = False


if __name__ == "__main__":
    unittest.main()
