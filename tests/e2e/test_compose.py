"""Message composition (2003) over real TCP with scrambling on: the prompts and replies, the
exact push records, recipient expansion, attachment and body limits, refusals, bounded sizes
and a client that leaves in the middle of an attachment."""
import os
import socket
import time
import unittest

from compose_support import (ATTACH_TOO_LARGE, MESSAGE_TOO_LARGE, NO_ATTACHMENTS, NOT_ALLOWED,
                             PROCEED, SEND_BODY, SEND_REST, SENT, SERVER_ERROR, add_profile,
                             cipher, log_texts, logged_in, mailbox, message_count, read_push,
                             send_message, start_listening)
from harness import ServerProcess, wait_until
from login_support import add_users, no_more_data, q, sql

SCRAMBLING = True

# (name, group, profile) of every account the tests use.
ACCOUNTS = [(n, "Staff", "") for n in (
    "alice", "bob", "arg", "argto", "pri", "prito", "ord", "bobo", "alio", "off", "offto",
    "grp", "odd", "oddto", "limto", "bodyto", "refto", "neg", "negto", "ceil", "ceilto",
    "stall", "stallto", "other", "large", "largeto", "brk", "brkto", "brkbox", "emptyto", "longfrom", "longto")]
ACCOUNTS += [("sa", "Sales", ""), ("sb", "Sales", ""), ("ea", "SalesEast", ""),
             ("lim", "Staff", "Limited"), ("body", "Staff", "Limited"),
             ("ro", "Staff", "ReadOnly"), ("nf", "Staff", "NoFiles")]


class ComposeTest(unittest.TestCase):
    """One server for the class; every test uses accounts of its own."""
    scrambling = SCRAMBLING
    options = {"EnableLogging": "1", "LimitMessageSize": "1", "MaxMsgSize": "2",
               "MaxUploadSize": "64", "MaxPacketSize": "4"}
    counter = 0

    @classmethod
    def setUpClass(cls):
        options = dict(cls.options)
        options["DataScrambling"] = "1" if cls.scrambling else "0"
        cls.server = ServerProcess(options=options)
        text = ("Insert into Profiles (ProfileName, Privileges, RestrictAttachSize, "
                "MaxAttachSize, AllowAttachments) values ('Limited', 0, True, 1, True);"
                "Insert into Profiles (ProfileName, Privileges) values ('ReadOnly', 1);"
                "Insert into Profiles (ProfileName, Privileges, AllowAttachments) "
                "values ('NoFiles', 0, False);")
        for name, group, profile in ACCOUNTS:
            text += (f"Insert into Users (UserName, Password, GroupName, ProfileName, "
                     f"HasAdminPower, AccountDisabled) values ({q(name)}, 'pw', {q(group)}, "
                     f"{q(profile)}, False, False);")
            os.makedirs(os.path.join(cls.server.home, "Users", name), exist_ok=True)
        sql(cls.server, text)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.clients = []

    def tearDown(self):
        for c in self.clients:
            c.close()

    def users(self, *names, **_):
        return list(names)

    def session(self, name):
        c = logged_in(self.server, name, "+OK 1" if self.scrambling else "+OK 0")
        self.clients.append(c)
        return c

    def listener(self, name):
        c = start_listening(self.server, name)
        self.clients.append(c)
        return c

    def send(self, client, recipients, body=b"", **kw):
        return send_message(client, recipients, body, scrambling=self.scrambling, **kw)

    def wire(self, body):
        return cipher(body) if self.scrambling else body

    # ---------------------------------------------------------------- exchange and push
    def test_exchange_and_push_bytes_exactly(self):
        a, b = self.users("alice", "bob")
        lb = self.listener(b)
        sender = self.session(a)
        body = b"Hello Bob, lunch at noon?"
        self.assertEqual(self.send(sender, b, body), SENT)
        self.assertTrue(no_more_data(sender))
        code = lb.read_int32()
        self.assertEqual(code, 2)
        message_id = lb.read_int32()
        self.assertEqual(message_id, 1)
        self.assertEqual(lb.read_block(), b"")  # no attachments: A = 0
        header = lb.read_block()
        body_block = lb.read_block()
        self.assertEqual(body_block, self.wire(body))
        clear = cipher(header, decrypt=True) if self.scrambling else header
        lines = clear.decode().split("\r\n")
        self.assertEqual(lines[0], f"From: {a}")
        self.assertEqual(lines[1], f"To: {b}")
        self.assertRegex(lines[2], r"^Date: \d{5}\.\d+$")
        self.assertEqual(lines[3:], [f"Size: {len(self.wire(body))}", "Priority: 0"])
        days = float(lines[2][6:])
        now = time.time() / 86400 + 25569
        self.assertLess(abs(days - now), 1.0)  # local time: within a day of UTC
        rows = mailbox(self.server, b)
        self.assertEqual(len(rows), 1)
        self.assertIn(rows[0][3], ("", "\\N"))  # an empty memo
        self.assertEqual(rows[0][:3] + rows[0][4:],
                         ("1", str(len(self.wire(body))), "0", a, b, body.decode()))
        self.assertIn(f"New message delivered to {b}", log_texts(self.server))

    def test_argument_forms_take_no_attachments(self):
        a, b = self.users("arg", "argto")
        sender = self.session(a)
        for argument in ("0", "-3", "x"):
            self.assertEqual(self.send(sender, b, b"m", argument=argument), SENT)
        self.assertEqual(message_count(self.server, b), 3)

    def test_priority_258_is_urgent_and_high_is_not(self):
        a, b = self.users("pri", "prito")
        lb = self.listener(b)
        sender = self.session(a)
        self.assertEqual(self.send(sender, b, b"urgent", priority=258), SENT)
        code, _, _, fields, body = read_push(lb, self.scrambling)
        self.assertEqual((code, fields[4], body), (3, "2", b"urgent"))
        self.assertEqual(self.send(sender, b, b"high", priority=1), SENT)
        code, _, _, fields, _ = read_push(lb, self.scrambling)
        self.assertEqual((code, fields[4]), (2, "1"))
        self.assertEqual([r[2] for r in mailbox(self.server, b)], ["2", "1"])

    def test_delivery_runs_from_last_recipient_to_first(self):
        a, b, c = self.users("ord", "bobo", "alio")
        lb, lc = self.listener(b), self.listener(c)
        sender = self.session(a)
        self.assertEqual(self.send(sender, f"{b},{c}", b"x"), SENT)
        read_push(lb, self.scrambling)
        read_push(lc, self.scrambling)
        log = log_texts(self.server)
        self.assertLess(log.index(f"New message delivered to {c}"),
                        log.index(f"New message delivered to {b}"))
        for user in (b, c):
            self.assertEqual(mailbox(self.server, user)[0][5], f"{b},{c}")

    def test_offline_recipient_gets_copy_without_log_line(self):
        a, b = self.users("off", "offto")
        sender = self.session(a)
        self.assertEqual(self.send(sender, f"{b},{b}", b"twice"), SENT)
        self.assertEqual(message_count(self.server, b), 2)
        self.assertNotIn(f"New message delivered to {b}", log_texts(self.server))

    def test_long_recipient_line_is_cut_alike_in_store_and_push(self):
        a, b = self.users("longfrom", "longto")
        lb = self.listener(b)
        sender = self.session(a)
        line = f"{b}," + "x" * 300
        self.assertEqual(self.send(sender, line, b"long"), SENT)
        fields = read_push(lb, self.scrambling)[3]
        self.assertEqual(fields[1], line[:250])
        self.assertEqual(mailbox(self.server, b)[-1][5], line[:250])

    # ---------------------------------------------------------------- recipients
    def test_group_items_by_prefix_and_exactly(self):
        sales, a = "Sales", "grp"
        members = ["sa", "sb"]
        listeners = [self.listener(m) for m in members + ["ea"]]
        sender = self.session(a)
        files = [("plan.txt", b"P" * 300)]
        self.assertEqual(self.send(sender, f"{sales}/*", b"to all", attachments=files), SENT)
        pushes = [read_push(l, self.scrambling) for l in listeners]
        lists = {p[2] for p in pushes}
        self.assertEqual(len(lists), 1)  # one stored attachment for every member
        attach_id = lists.pop().split(b" ")[0].decode()
        self.assertEqual(sql(self.server, f"Select RefCount, Size from Attachments where "
                                          f"AttachID = {attach_id};").splitlines()[1], "3\t300")
        self.assertEqual(self.send(sender, f"{sales}x?", b"exact"), SENT)
        for l in listeners[:2]:
            self.assertEqual(read_push(l, self.scrambling)[4], b"exact")
        self.assertTrue(no_more_data(listeners[2]))
        self.assertEqual(message_count(self.server, "ea"), 1)

    def test_hostile_and_odd_items_never_widen_or_escape(self):
        a, b = self.users("odd", "oddto")
        sender = self.session(a)
        everyone = sql(self.server, "Select Count(*) from Users;").splitlines()[1]
        self.assertNotEqual(everyone, "0")
        items = ['x" or GroupName like "/*', "x' or ''='/?", "../" + b, f"{b}/..", " " + b,
                 ",", "", ",,"]
        for item in items:
            self.assertEqual(self.send(sender, item, b"no"), SENT, item)
        self.assertEqual(message_count(self.server, b), 0)
        # a short item is an empty group text, never a read outside the item
        self.assertEqual(self.send(sender, f"?,{b},*x?", b"yes"), SENT)
        self.assertEqual(message_count(self.server, b), 1)
        self.assertFalse(os.path.exists(os.path.join(self.server.home, "Users", "..", b)))

    # ---------------------------------------------------------------- attachments
    def test_two_attachments_and_the_exact_size_limit(self):
        (a,) = self.users("lim", ProfileName="Limited")
        (b,) = self.users("limto")
        lb = self.listener(b)
        sender = self.session(a)
        files = [("exact.bin", bytes(range(256)) * 4), ("small.txt", b"abc")]
        self.assertEqual(self.send(sender, b, b"two files", attachments=files), SENT)
        _, _, listing, fields, _ = read_push(lb, self.scrambling)
        lines = listing.decode().split("\r\n")
        self.assertEqual(len(lines), 2)
        first, second = (line.split(" ", 2) for line in lines)
        self.assertEqual(first[1:], ["1024", "exact.bin"])
        self.assertEqual(second[1:], ["3", "small.txt"])
        self.assertEqual(int(second[0]), int(first[0]) + 1)
        self.assertEqual(fields[3], str(1024 + 3 + len(self.wire(b"two files"))))
        # one byte more is refused before its body is sent, and the session goes on
        self.assertEqual(sender.command("2003 1"), SEND_REST)
        sender.write_int32(0)
        sender.send_line(b)
        sender.send_line("big.bin")
        sender.write_int32(1025)
        self.assertEqual(sender.read_line(), ATTACH_TOO_LARGE)
        self.assertTrue(no_more_data(sender))
        self.assertEqual(self.send(sender, b, b"still here"), SENT)

    def test_body_limit_of_the_options(self):
        (a,) = self.users("body", ProfileName="Limited")
        (b,) = self.users("bodyto")
        sender = self.session(a)
        self.assertEqual(sender.command("2003"), SEND_REST)
        sender.write_int32(0)
        sender.send_line(b)
        sender.write_int32(2049)
        self.assertEqual(sender.read_line(), MESSAGE_TOO_LARGE)
        self.assertTrue(no_more_data(sender))
        if self.scrambling:
            text = b"y" * 1400  # scrambled: 1408 cipher bytes, 1880 Base64 characters
            self.assertEqual(self.send(sender, b, text), SENT)
        else:
            self.assertEqual(self.send(sender, b, b"y" * 2048), SENT)
        self.assertEqual(message_count(self.server, b), 1)

    def test_refusals_of_the_profile(self):
        (r,) = self.users("ro", ProfileName="ReadOnly")
        (nf,) = self.users("nf", ProfileName="NoFiles")
        (b,) = self.users("refto")
        c = self.session(r)
        self.assertEqual(c.command("2003"), NOT_ALLOWED)
        self.assertTrue(no_more_data(c))
        d = self.session(nf)
        self.assertEqual(d.command("2003 1"), NO_ATTACHMENTS)
        self.assertTrue(no_more_data(d))
        self.assertEqual(self.send(d, b, b"text only", argument="0"), SENT)
        self.assertEqual(message_count(self.server, b), 1)

    def test_negative_sizes_get_the_error_line(self):
        a, b = self.users("neg", "negto")
        sender = self.session(a)
        self.assertEqual(sender.command("2003 1"), SEND_REST)
        sender.write_int32(0)
        sender.send_line(b)
        sender.send_line("f")
        sender.write_int32(-1)
        self.assertEqual(sender.read_line(), SERVER_ERROR)
        self.assertEqual(sender.command("2003"), SEND_REST)
        sender.write_int32(0)
        sender.send_line(b)
        sender.write_int32(-5)
        self.assertEqual(sender.read_line(), SERVER_ERROR)
        self.assertEqual(self.send(sender, b, b"ok"), SENT)
        self.assertEqual(message_count(self.server, b), 1)

    def test_sizes_above_the_ceiling_end_the_connection(self):
        a, b = self.users("ceil", "ceilto")
        sender = self.session(a)
        self.assertEqual(sender.command("2003 1"), SEND_REST)
        sender.write_int32(0)
        sender.send_line(b)
        sender.send_line("huge")
        sender.write_int32(64 * 1024 + 1)
        self.assertEqual(sender.read_line(), ATTACH_TOO_LARGE)
        self.assertTrue(sender.expect_closed())
        other = self.session(a)
        self.assertEqual(other.command("2003"), SEND_REST)
        other.write_int32(0)
        other.send_line(b)
        other.write_int32(4 * 1024 + 1)
        self.assertEqual(other.read_line(), MESSAGE_TOO_LARGE)
        self.assertTrue(other.expect_closed())
        # exactly the ceiling is taken
        third = self.session(a)
        data = os.urandom(64 * 1024)
        self.assertEqual(self.send(third, b, b"big", attachments=[("f", data)]), SENT)

    def test_stalled_attachment_blocks_nobody_and_disconnect_frees_all(self):
        a, b, c = self.users("stall", "stallto", "other")
        lb = self.listener(b)
        staller = self.session(a)
        self.assertEqual(staller.command("2003 1"), SEND_REST)
        staller.write_int32(0)
        staller.send_line(b)
        staller.send_line("slow.bin")
        staller.write_int32(60000)
        self.assertEqual(staller.read_line(), PROCEED)
        staller.send_raw(b"z" * 5000)
        # while the upload stalls, another sender's attachment goes through at once
        other = self.session(c)
        started = time.monotonic()
        self.assertEqual(self.send(other, b, b"fast", attachments=[("q.txt", b"quick")]), SENT)
        self.assertLess(time.monotonic() - started, 1.0)
        self.assertEqual(read_push(lb, self.scrambling)[4], b"fast")
        staller.abort()
        time.sleep(0.2)
        started = time.monotonic()
        self.assertEqual(self.send(other, b, b"again", attachments=[("r.txt", b"r")]), SENT)
        self.assertLess(time.monotonic() - started, 1.0)
        read_push(lb, self.scrambling)
        self.assertEqual(message_count(self.server, b), 2)
        leftovers = [f for f in os.listdir(os.path.join(self.server.home, "Temp"))
                     if f.startswith("attachment-")]
        self.assertEqual(leftovers, [])

    def test_large_attachment_streams_through_a_file(self):
        a, b = self.users("large", "largeto")
        sender = self.session(a)
        data = os.urandom(60 * 1024)
        self.assertEqual(self.send(sender, b, b"l", attachments=[("l.bin", data)]), SENT)
        listing = mailbox(self.server, b)[0][3]
        attach_id = listing.split(" ")[0]
        self.assertEqual(sql(self.server, f"Select Size from Attachments where AttachID = "
                                          f"{attach_id};").splitlines()[1], str(len(data)))

    def test_broken_mailbox_skips_only_that_recipient(self):
        a, b, broken = self.users("brk", "brkto", "brkbox")
        box = os.path.join(self.server.home, "Users", broken)
        for ext in ("dat", "idx", "blb"):
            with open(os.path.join(box, f"Messages.{ext}"), "wb") as f:
                f.write(b"\xff" * 100)
        lb = self.listener(b)
        sender = self.session(a)
        self.assertEqual(self.send(sender, f"{b},{broken}", b"x"), SENT)
        self.assertEqual(sender.read_line(), SERVER_ERROR)
        self.assertEqual(read_push(lb, self.scrambling)[4], b"x")
        self.assertEqual(message_count(self.server, b), 1)
        self.assertTrue(any(t.startswith("In cServer.ReferenceUserQuery (): ")
                            for t in log_texts(self.server)))


@unittest.skipUnless(SCRAMBLING, "scrambling only")
class ScrambledBodyTest(unittest.TestCase):
    def test_empty_scrambled_body_is_refused_after_attachments_stay(self):
        with ServerProcess(options={"EnableLogging": "1"}) as server:
            add_users(server, ["ea", "eb"])
            c = logged_in(server, "ea")
            before = sql(server, "Select Count(*) from Attachments;").splitlines()[1]
            self.assertEqual(c.command("2003 1"), SEND_REST)
            c.write_int32(0)
            c.send_line("eb")
            c.send_line("kept.txt")
            c.write_int32(4)
            self.assertEqual(c.read_line(), PROCEED)
            c.send_raw(b"keep")
            c.write_int32(0)
            self.assertEqual(c.read_line(), SEND_BODY)
            self.assertEqual(c.read_line(), SERVER_ERROR)
            self.assertTrue(no_more_data(c))
            after = sql(server, "Select Count(*) from Attachments;").splitlines()[1]
            self.assertEqual(int(after), int(before) + 1)
            self.assertEqual(message_count(server, "eb"), 0)
            self.assertTrue(any(t.startswith("In cServer.HandleUserComposingMessage (): ")
                                for t in log_texts(server)))
            c.close()


if __name__ == "__main__":
    unittest.main()
