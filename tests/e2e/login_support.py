"""Helpers shared by the login, listening and presence tests.

Accounts are created by writing the shared tables with zorvic-sql on the Data folder while the
server runs (the tables are shared between processes), and by creating the user's folder.
"""
import os
import subprocess

from harness import bin_dir

INVALID = "-ERR Invalid User Name or Password!"
ELSEWHERE = "-ERR You are already connected from somewhere else!"
DIED = ("-ERR You are already connected, but that connection seems to have died. "
        "Please re-login in a few seconds.")
LISTENING = "+OK You are now a listening socket!"

_scrambled = {}


def scramble(text):
    if text not in _scrambled:
        _scrambled[text] = subprocess.check_output(
            [os.path.join(bin_dir(), "zorvic-cli"), "scramble", "--", text]).decode().strip()
    return _scrambled[text]


def sql(server, text):
    """Runs SQL on the server's Data folder; returns standard output, fails on an error."""
    result = subprocess.run([os.path.join(bin_dir(), "zorvic-sql"),
                             os.path.join(server.home, "Data"), "--bail", "-c", text],
                            capture_output=True, timeout=60)
    if result.returncode != 0 or result.stderr:
        raise AssertionError(f"zorvic-sql failed on {text!r}: {result.stderr.decode()}")
    return result.stdout.decode("latin-1")


def q(text):
    return "'" + text.replace("'", "''") + "'"


def add_user(server, name, password="pw", group="Staff", folder=True, **columns):
    """Inserts an enabled account (columns override) and creates its folder."""
    values = {"UserName": name, "Password": password, "GroupName": group,
              "HasAdminPower": False, "AccountDisabled": False}
    values.update(columns)

    def literal(v):
        if v is None:
            return "NULL"
        if isinstance(v, bool):
            return "True" if v else "False"
        if isinstance(v, int):
            return str(v)
        return q(v)
    names = ", ".join(values)
    sql(server, f"Insert into Users ({names}) values "
                f"({', '.join(literal(v) for v in values.values())});")
    if folder:
        os.makedirs(os.path.join(server.home, "Users", name), exist_ok=True)


def add_users(server, names, password="pw", group="Staff"):
    """Many accounts in one zorvic-sql run."""
    text = "".join(f"Insert into Users (UserName, Password, GroupName, HasAdminPower, "
                   f"AccountDisabled) values ({q(n)}, {q(password)}, {q(group)}, False, False);"
                   for n in names)
    sql(server, text)
    for n in names:
        os.makedirs(os.path.join(server.home, "Users", n), exist_ok=True)


def login(client, name, password="pw", timeout=None):
    """1000 + 1001; returns the reply line."""
    client.send_line("1000 " + name)
    return client.command("1001 " + scramble(password), timeout=timeout)


def read_presence(client, timeout=None):
    code = client.read_int32(timeout)
    if code != 1:
        raise AssertionError(f"expected a presence record, got code {code}")
    name = client.read_line(timeout)
    group = client.read_line(timeout)
    return (name, group, client.read_int32(timeout))


def listen(server, name, password="pw"):
    """A logged-in connection that has sent 2013; returns it after the "+OK" line."""
    c = server.connect()
    reply = login(c, name, password)
    if reply not in ("+OK 1", "+OK 0"):
        raise AssertionError(f"login of {name} failed: {reply}")
    if c.command("2013") != LISTENING:
        raise AssertionError("2013 refused")
    return c


def no_more_data(client, wait=0.3):
    """True when nothing further arrives within `wait` seconds (and the socket is open)."""
    if client._buffer:
        return False
    client.sock.settimeout(wait)
    try:
        data = client.sock.recv(1, 0x02)  # MSG_PEEK
    except (TimeoutError, OSError):
        return True
    return data == b""

