"""Helpers of the message composition tests: the 2003 exchange, pushes, mailbox contents."""
import os
import re
import subprocess

from harness import bin_dir
from login_support import login, q, read_presence, sql

SEND_REST = "+OK Send the rest of the message"
PROCEED = "+OK Proceed with attachment body"
SEND_BODY = "+OK Send msg body"
SENT = "+OK Message sent out successfuly"
SERVER_ERROR = "-ERR Server-side error during message composition"
NOT_ALLOWED = ("-ERR You are not allowed to send messages. Please contact the network "
               "administrator for more details.")
NO_ATTACHMENTS = "-ERR Attachments are not allowed"
ATTACH_TOO_LARGE = "-ERR Attachment exceeds allowed size"
MESSAGE_TOO_LARGE = "-ERR Your message size exceeds the allowed maximum"
HEADER = re.compile(r"^From: (.*)\r\nTo: (.*)\r\nDate: ([0-9.]+)\r\nSize: (\d+)\r\n"
                    r"Priority: (\d+)$", re.S)


def cipher(data, decrypt=False):
    """Scrambles (or unscrambles) bytes with the program key through zorvic-cli."""
    command = "unscramble" if decrypt else "scramble"
    out = subprocess.run([os.path.join(bin_dir(), "zorvic-cli"), command, "--", data],
                         capture_output=True, check=True).stdout
    return out[:-1] if out.endswith(b"\n") else out


def send_message(client, recipients, body=b"", attachments=(), priority=0, scrambling=True,
                 argument=None):
    """One whole 2003 exchange that the server accepts; returns the lines after the body."""
    count = len(attachments)
    line = "2003" if argument is None and count == 0 else f"2003 {count if argument is None else argument}"
    assert client.command(line) == SEND_REST
    client.write_int32(priority)
    client.send_line(recipients)
    for name, data in attachments:
        client.send_line(name)
        client.write_int32(len(data))
        assert client.read_line() == PROCEED
        client.send_raw(data)
    wire = cipher(body) if scrambling else body
    client.write_int32(len(wire))
    assert client.read_line() == SEND_BODY
    client.send_raw(wire)
    return client.read_line()


def read_push(listener, scrambling=True, timeout=None):
    """(code, id, attachments, header fields, body) of one new-message push."""
    code = listener.read_int32(timeout)
    if code == 1:  # a presence record in between: skip it
        listener.read_line(timeout)
        listener.read_line(timeout)
        listener.read_int32(timeout)
        return read_push(listener, scrambling, timeout)
    message_id = listener.read_int32(timeout)
    attachments = listener.read_block(timeout)
    header = listener.read_block(timeout)
    body = listener.read_block(timeout)
    if scrambling:
        header = cipher(header, decrypt=True)
        body = cipher(body, decrypt=True)
    match = HEADER.match(header.decode("latin-1"))
    assert match, header
    return code, message_id, attachments, match.groups(), body


def mailbox(server, user):
    """The rows of a user's Messages table: (MessageID, Size, Priority, Attachments, From, To,
    Body) texts, in id order."""
    out = subprocess.run([os.path.join(bin_dir(), "zorvic-sql"),
                          os.path.join(server.home, "Users", user), "--bail", "-c",
                          "Select MessageID, Size, Priority, Attachments, From, To, Body "
                          "from Messages order by MessageID;"],
                         capture_output=True, timeout=60)
    if out.returncode != 0:
        if b"does not exist" in out.stderr:  # no message was ever stored there
            return []
        raise AssertionError(out.stderr.decode())
    lines = out.stdout.decode("latin-1").splitlines()[1:]
    return [tuple(line.split("\t")) for line in lines if line]


def message_count(server, user):
    return len(mailbox(server, user))


def log_texts(server):
    out = sql(server, "Select EntryNo, EntryText from Log order by EntryNo;")
    return [line.split("\t", 1)[1] for line in out.splitlines()[1:] if line]


def add_profile(server, name, **columns):
    values = {"ProfileName": name, "Privileges": 0}
    values.update(columns)

    def literal(v):
        if isinstance(v, bool):
            return "True" if v else "False"
        if isinstance(v, int):
            return str(v)
        return q(v)
    sql(server, f"Insert into Profiles ({', '.join(values)}) values "
                f"({', '.join(literal(v) for v in values.values())});")


def logged_in(server, name, expect="+OK 1"):
    c = server.connect()
    reply = login(c, name)
    assert reply == expect, reply
    return c


def start_listening(server, name):
    from login_support import listen
    c = listen(server, name)
    assert read_presence(c)[0] == name
    return c
