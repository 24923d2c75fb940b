"""Forwarding of delivered messages by e-mail against a real SMTP server: the exact envelope,
header and body, dot-stuffing, the profile's conditions online and offline, and a refused
recipient followed by good items."""
import time
import unittest

from login_support import listen, login, read_presence
from mailer_support import DATE, HIGH, NORMAL, PREFIX, URGENT, ForwardingBase


class ForwardContentTest(ForwardingBase):
    def test_forwarded_mail_exact(self):
        start = self.smtp.count()
        self.send("bob", "Hello Bob,\nsee you at noon.")
        mail = self.smtp.wait_for(start + 1)
        self.assertEqual(mail.mail_from, "alice@example.com")
        self.assertEqual(mail.rcpt_tos, ["bob@example.com", "bob@home.example"])
        header = mail.header()
        self.assertEqual(header[0], 'From: "alice" <alice@example.com>')
        self.assertEqual(header[1], "To: bob@example.com, bob@home.example")
        self.assertEqual(header[2], "Subject: Forwarded Zorvic Messenger message from alice")
        self.assertRegex(header[3][len("Date: "):], DATE)
        self.assertEqual(mail.body(), "This message was forwarded to you by Zorvic Messenger:\r\n"
                                      "\r\nHello Bob,\r\nsee you at noon.\r\n")
        self.wait_log("Message forwarded to bob@example.com, bob@home.example")

    def test_sender_without_address_and_dot_stuffing(self):
        start = self.smtp.count()
        sam = self.server.connect()
        self.assertEqual(login(sam, "sam"), "+OK 0")
        # a "." line and SMTP commands in the body stay body text; bare CR and LF become CR LF
        self.send("dan", "first\n.\nMAIL FROM:<x@y>\r\nRCPT TO:<eve@y>\r\n..two\rend\n.",
                  client=sam)
        sam.close()
        mail = self.smtp.wait_for(start + 1)
        self.assertEqual(mail.mail_from, "zorvic-admin@localhost")
        self.assertEqual(mail.rcpt_tos, ["dan@example.com"])
        self.assertEqual(mail.header()[0], 'From: "sam" <zorvic-admin@localhost>')
        self.assertEqual(mail.body(), "This message was forwarded to you by Zorvic Messenger:\r\n"
                                      "\r\nfirst\r\n.\r\nMAIL FROM:<x@y>\r\nRCPT TO:<eve@y>\r\n"
                                      "..two\r\nend\r\n.\r\n")
        time.sleep(0.5)
        self.assertEqual(self.smtp.count(), start + 1)

    def test_conditions_offline_and_online(self):
        start = self.smtp.count()
        # offline: normal and urgent are forwarded, high is not (its flag is off)
        self.send("cara", "offline normal", NORMAL)
        self.send("cara", "offline high", HIGH)
        self.send("cara", "offline urgent", URGENT)
        # 258 is stored as 2 and treated as urgent
        self.send("cara", "offline 258", 258)
        # online with the stored status 1: normal asks for do-not-disturb, urgent does not
        listener = listen(self.server, "cara")
        # its own presence record follows the registration, which follows the "+OK" reply
        self.assertEqual(read_presence(listener)[0], "cara")
        try:
            self.send("cara", "online normal", NORMAL)
            self.send("cara", "online urgent", URGENT)
            # with no conditions a listening recipient still gets every message
            bob = listen(self.server, "bob")
            self.assertEqual(read_presence(bob)[0], "bob")
            self.send("bob", "bob online", NORMAL)
            bob.close()
            self.smtp.wait_for(start + 5)
            time.sleep(0.5)
        finally:
            listener.close()
        self.assertEqual(self.bodies_since(start),
                         [PREFIX + t + "\r\n" for t in ("offline normal", "offline urgent",
                                                         "offline 258", "online urgent",
                                                         "bob online")])

    def test_refused_recipient_then_good_items(self):
        start = self.smtp.count()
        self.smtp.refuse_rcpt.add("refused@example.com")
        # delivery runs from the last name to the first: rick's item comes first
        self.send("dan,bob,rick", "to three")
        self.smtp.wait_for(start + 2)
        time.sleep(1.0)  # the refused item is not tried again
        with self.smtp.lock:
            got = [m.rcpt_tos for m in self.smtp.mails[start:]]
        self.assertEqual(got, [["bob@example.com", "bob@home.example"], ["dan@example.com"]])



if __name__ == "__main__":
    unittest.main()
