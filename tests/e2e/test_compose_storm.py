"""Many clients sending to each other at once, each message with a 1 KB attachment: every
message lands exactly once in the right mailbox, intact, and every push reaches its listener.
10 clients x 10 messages by default; ZORVIC_COMPOSE_STORM=1 runs 100 x 100."""
import os
import random
import threading
import unittest

from compose_support import SENT, mailbox, read_push, send_message, start_listening
from harness import ServerProcess
from login_support import add_users, login

E2E_SERIAL = True
FULL = os.environ.get("ZORVIC_COMPOSE_STORM") == "1"
CLIENTS = 100 if FULL else 10
MESSAGES = 100 if FULL else 10


class ComposeStormTest(unittest.TestCase):
    def test_everyone_sends_to_everyone(self):
        names = [f"storm{i}" for i in range(CLIENTS)]
        plan = random.Random(7)
        targets = {n: [plan.choice([m for m in names if m != n]) for _ in range(MESSAGES)]
                   for n in names}
        expected = {n: 0 for n in names}
        for n in names:
            for t in targets[n]:
                expected[t] += 1
        with ServerProcess(options={"DataScrambling": "0"}) as server:
            add_users(server, names)
            # a client logs its command session in first, then its listening connection
            sessions = {}
            for n in names:
                sessions[n] = server.connect()
                assert login(sessions[n], n) == "+OK 0"
            listeners = {n: start_listening(server, n) for n in names}
            received = {n: [] for n in names}
            errors = []

            def listen(name):
                try:
                    for _ in range(expected[name]):
                        received[name].append(read_push(listeners[name], False, timeout=120))
                except Exception as e:  # reported below
                    errors.append(f"{name}: {e!r}")

            def send(name):
                try:
                    c = sessions[name]
                    for i, target in enumerate(targets[name]):
                        body = f"{name}->{target} #{i}".encode()
                        blob = (body * 100)[:1024]
                        reply = send_message(c, target, body, [(f"f{i}.bin", blob)],
                                             scrambling=False)
                        assert reply == SENT, reply
                except Exception as e:
                    errors.append(f"{name} sending: {e!r}")

            readers = [threading.Thread(target=listen, args=(n,)) for n in names]
            senders = [threading.Thread(target=send, args=(n,)) for n in names]
            for t in readers + senders:
                t.start()
            for t in senders + readers:
                t.join(300)
            self.assertEqual(errors, [])
            for n in names:
                got = sorted(p[4].decode() for p in received[n])
                want = sorted(f"{s}->{n} #{i}" for s in names
                              for i, t in enumerate(targets[s]) if t == n)
                self.assertEqual(got, want, n)
                for code, _, listing, fields, _ in received[n]:
                    self.assertEqual(code, 2)
                    self.assertEqual(listing.split(b" ", 2)[1:2], [b"1024"])
                    self.assertEqual(fields[1], n)
            for c in list(listeners.values()) + list(sessions.values()):
                c.close()
            for n in names if FULL else names[:5]:
                rows = mailbox(server, n)
                self.assertEqual(sorted(r[6] for r in rows),
                                 sorted(p[4].decode() for p in received[n]))
                self.assertEqual(len({r[0] for r in rows}), len(rows))


if __name__ == "__main__":
    unittest.main()
