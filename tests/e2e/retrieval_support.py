"""Helpers of the retrieval tests: mailbox rows seeded with zorvic-sql, shared attachments,
and reading the replies of 2004, 2005 and 2009."""
import os
import struct
import subprocess

from harness import bin_dir
from login_support import q, scramble

MESSAGES_DDL = ("Create Table IF NOT EXISTS Messages(MessageID AUTOINC,MessageDate TIMESTAMP,"
                "Size INTEGER,Priority INTEGER,Attachments MEMO,From VARCHAR(100),"
                "To VARCHAR(250),Body MEMO,Primary Key (MessageID));")
LIST_OK = "+OK Message list size and contents follow"
FETCH_OK = "+OK Message Follows"
ATTACH_OK = "+OK Attachment body follows"
DELETED = "+OK Message Deleted"
INVALID_MESSAGE = "-ERR Invalid Message ID!"
INVALID_ATTACHMENT = "-ERR Invalid attachment ID"
LIST_ERROR = "-ERR Server-side error during fetch of message list"
FETCH_ERROR = "-ERR Server-side error during message fetch operation"
ATTACH_ERROR = "-ERR Server-side error in attach fetch operation"
DELETE_ERROR = "-ERR Server-side error during operation"


def run_sql(folder, text):
    result = subprocess.run([os.path.join(bin_dir(), "zorvic-sql"), folder, "--bail", "-c", text],
                            capture_output=True, timeout=60)
    if result.returncode != 0 or result.stderr:
        raise AssertionError(f"zorvic-sql failed on {text!r}: {result.stderr.decode()}")
    return result.stdout.decode("latin-1")


def seed_messages(server, user, messages):
    """Appends rows to the user's Messages table (created when missing). Each message is a dict
    with date ('YYYY-MM-DD HH:MM:SS'), size, priority, attachments, sender, to, body."""
    text = MESSAGES_DDL
    for m in messages:
        text += ("Insert into Messages (MessageDate, Size, Priority, Attachments, \"From\", "
                 f"\"To\", Body) values ({q(m.get('date', '2006-03-08 12:00:00'))}, "
                 f"{m.get('size', 0)}, {m.get('priority', 0)}, {q(m.get('attachments', ''))}, "
                 f"{q(m.get('sender', 'alice'))}, {q(m.get('to', user))}, {q(m.get('body', ''))});")
    run_sql(os.path.join(server.home, "Users", user), text)


def header_text(sender, to, date, size, priority):
    return f"From: {sender}\r\nTo: {to}\r\nDate: {date}\r\nSize: {size}\r\nPriority: {priority}"


def record_bytes(attachments, header, body, scrambling):
    """The exact record transfer the server sends for these texts."""
    if scrambling:
        header = scramble(header)
        body = scramble(body)

    def block(text):
        raw = text.encode("latin-1")
        return struct.pack(">i", len(raw)) + raw
    return block(attachments) + block(header) + block(body)


def read_id_list(client):
    """After LIST_OK: the length and the little-endian ids."""
    data = client.read_block()
    assert len(data) % 4 == 0, data
    return [struct.unpack("<i", data[i:i + 4])[0] for i in range(0, len(data), 4)], data


def read_record(client):
    """After FETCH_OK: the raw bytes of the three blocks, re-framed."""
    parts = [client.read_block() for _ in range(3)]
    return b"".join(struct.pack(">i", len(p)) + p for p in parts), parts
