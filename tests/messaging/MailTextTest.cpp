// The mailer's texts: dot-stuffing and line ends, address checks, header values that cannot
// add lines, the dates, the forwarded and password mails, and the SMTPServer option's forms.
#include "messaging/MailText.h"

#include <gtest/gtest.h>

#include <string>

#include "messaging/SmtpClient.h"

using namespace zorvic;

TEST(MailTextTest, DotStuffingAndLineEnds) {
  EXPECT_EQ(DotStuffBody(""), "");
  EXPECT_EQ(DotStuffBody("a"), "a\r\n");
  EXPECT_EQ(DotStuffBody("a\r\n"), "a\r\n");
  // bare LF, bare CR and CR LF all become CR LF; LF CR is two line ends
  EXPECT_EQ(DotStuffBody("a\nb\rc\r\nd\n\re"), "a\r\nb\r\nc\r\nd\r\n\r\ne\r\n");
  // a line of one "." can never end the mail, wherever it stands and whatever ends it
  EXPECT_EQ(DotStuffBody("."), "..\r\n");
  EXPECT_EQ(DotStuffBody("x\n.\nMAIL FROM:<evil@x>"), "x\r\n..\r\nMAIL FROM:<evil@x>\r\n");
  EXPECT_EQ(DotStuffBody("x\r.\r"), "x\r\n..\r\n");
  EXPECT_EQ(DotStuffBody("..a\n a.\n"), "...a\r\n a.\r\n");
  // no CR or LF is ever left alone
  std::string stuffed = DotStuffBody("\r\r\n\n\r\n\r");
  EXPECT_EQ(stuffed, "\r\n\r\n\r\n\r\n\r\n");
}

TEST(MailTextTest, AddressesThatCouldChangeTheCommandsAreRefused) {
  EXPECT_TRUE(IsSafeMailAddress("bob@example.com"));
  EXPECT_TRUE(IsSafeMailAddress("o'neil+tag@[127.0.0.1]"));
  for (const char* bad : {"", "bob@x\r\nRCPT TO:<eve@x>", "bob@x\n", "bob@x\r", "<bob@x>", "bob@x>",
                          "bob @x", "bob\t@x", "bob\x01@x", "bob\x7f@x"}) {
    EXPECT_FALSE(IsSafeMailAddress(bad)) << PrintableMailAddress(bad);
  }
  EXPECT_TRUE(IsSafeMailAddress(std::string(254, 'a')));
  EXPECT_FALSE(IsSafeMailAddress(std::string(255, 'a')));
  EXPECT_EQ(PrintableMailAddress("a\r\nb"), "a\\x0D\\x0Ab");
  EXPECT_EQ(PrintableMailAddress(std::string(100, 'a')), std::string(80, 'a') + "...");
}

TEST(MailTextTest, HeaderValuesLoseTheirLineEnds) {
  EXPECT_EQ(CleanHeaderValue("Hi\r\nBcc: eve@x\rX\n"), "HiBcc: eve@xX");
  EXPECT_EQ(HeaderPhrase("al\"ice\\\r\nBcc: x"), "\"al\\\"ice\\\\Bcc: x\"");

  cMailMessage mail =
      ForwardedMail("alice\r\nBcc: eve@x", "", "bob@x", "", "Sub\r\nject\n", cMailDate{}, "hello");
  std::string text = MailDataText(mail);
  std::string header = text.substr(0, text.find("\r\n\r\n") + 2);
  // exactly the four header lines
  int lines = 0;
  for (std::size_t i = 0; (i = header.find("\r\n", i)) != std::string::npos; i += 2)
    ++lines;
  EXPECT_EQ(lines, 4) << header;
  EXPECT_EQ(header.find("\nBcc"), std::string::npos);
  EXPECT_NE(header.find("Subject: Subject\r\n"), std::string::npos);
}

TEST(MailTextTest, Dates) {
  cMailDate date;
  date.Year = 2006;
  date.Month = 3;
  date.Day = 8;
  date.Hour = 12;
  date.Minute = 5;
  date.Second = 9;
  date.UtcOffsetMinutes = 90;
  EXPECT_EQ(FormatMailDate(date), "Wed, 08 Mar 2006 12:05:09 +0130");
  date.UtcOffsetMinutes = -300;
  date.Year = 2000;
  date.Month = 2;
  date.Day = 29;
  EXPECT_EQ(FormatMailDate(date), "Tue, 29 Feb 2000 12:05:09 -0500");

  cMailDate parsed;
  ASSERT_TRUE(ParseLocalTimeStamp("2026-12-09 21:51:07.250", parsed));
  EXPECT_EQ(parsed.Year, 2026);
  EXPECT_EQ(parsed.Month, 12);
  EXPECT_EQ(parsed.Day, 9);
  EXPECT_EQ(parsed.Hour, 21);
  EXPECT_EQ(parsed.Minute, 51);
  EXPECT_EQ(parsed.Second, 7);
  EXPECT_TRUE(ParseLocalTimeStamp("2026-12-09 21:51:07", parsed));
  EXPECT_FALSE(ParseLocalTimeStamp("2026-12-09", parsed));
  EXPECT_FALSE(ParseLocalTimeStamp("2026-13-09 21:51:07", parsed));
  EXPECT_FALSE(ParseLocalTimeStamp("2026-12-09 21:51:07x", parsed));
}

TEST(MailTextTest, ForwardedMail) {
  cMailDate date;
  date.Year = 2026;
  date.Month = 12;
  date.Day = 9;
  cMailMessage mail = ForwardedMail("alice", "", "bob@x", "", "", date, "line 1\n.\nline 3");
  EXPECT_EQ(mail.FromAddress, kMailerPlaceholderAddress);
  ASSERT_EQ(mail.To.size(), 1u);
  EXPECT_EQ(mail.Subject, "Forwarded Zorvic Messenger message from alice");
  EXPECT_EQ(MailDataText(mail),
            "From: \"alice\" <zorvic-admin@localhost>\r\n"
            "To: bob@x\r\n"
            "Subject: Forwarded Zorvic Messenger message from alice\r\n"
            "Date: Wed, 09 Dec 2026 00:00:00 +0000\r\n"
            "\r\n"
            "This message was forwarded to you by Zorvic Messenger:\r\n"
            "\r\n"
            "line 1\r\n"
            "..\r\n"
            "line 3\r\n"
            ".\r\n");

  mail = ForwardedMail("alice", "alice@x", "bob@x", "bob@home", "Office mail", date, "");
  EXPECT_EQ(mail.FromAddress, "alice@x");
  EXPECT_EQ(mail.To, (std::vector<std::string>{"bob@x", "bob@home"}));
  EXPECT_EQ(mail.Subject, "Office mail");
  EXPECT_NE(MailDataText(mail).find("\r\nTo: bob@x, bob@home\r\n"), std::string::npos);
}

TEST(MailTextTest, PasswordMail) {
  cMailMessage mail = PasswordMail("bob", "s3cret", "bob@x", cMailDate{});
  EXPECT_EQ(mail.FromName, "Zorvic Messenger Admin");
  EXPECT_EQ(mail.Subject, "Your Zorvic Messenger login info");
  EXPECT_EQ(DotStuffBody(mail.Body),
            "This is your Zorvic Messenger login information:\r\nUser Name: bob\r\n"
            "Password: s3cret\r\n");
}

TEST(MailTextTest, SmtpServerOption) {
  std::string host, error;
  int port = 0;
  ASSERT_TRUE(ParseSmtpServer("mail.example.com", host, port, error));
  EXPECT_EQ(host, "mail.example.com");
  EXPECT_EQ(port, 25);
  ASSERT_TRUE(ParseSmtpServer(" 127.0.0.1:2525 ", host, port, error));
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 2525);
  ASSERT_TRUE(ParseSmtpServer("[::1]:26", host, port, error));
  EXPECT_EQ(host, "::1");
  EXPECT_EQ(port, 26);
  ASSERT_TRUE(ParseSmtpServer("::1", host, port, error));
  EXPECT_EQ(host, "::1");
  EXPECT_EQ(port, 25);
  for (const char* bad : {"", "  ", "host:", "host:0", "host:65536", "host:25x", "host:-1", "[::1",
                          "[::1]x", "bad host", ":25"}) {
    EXPECT_FALSE(ParseSmtpServer(bad, host, port, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}
