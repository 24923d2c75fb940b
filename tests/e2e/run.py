#!/usr/bin/env python3
"""Runs every end-to-end test module (tests/e2e/test_*.py) against the binaries in --bin.

Each test starts its own zorvic-server on a free port in a temporary home folder (see
harness.py). The last line printed is "E2E: N passed, N failed", which scripts/test reads.
"""
import argparse
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "..", "build", "bin"))
    parser.add_argument("-k", dest="pattern", default=None, help="only tests whose id contains this")
    args = parser.parse_args()
    os.environ["ZORVIC_BIN_DIR"] = os.path.abspath(args.bin)
    sys.path.insert(0, HERE)

    suite = unittest.defaultTestLoader.discover(HERE, pattern="test_*.py", top_level_dir=HERE)
    if args.pattern:
        def walk(s):
            for t in s:
                if isinstance(t, unittest.TestSuite):
                    yield from walk(t)
                else:
                    yield t
        suite = unittest.TestSuite(t for t in walk(suite) if args.pattern in t.id())
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    passed = result.testsRun - failed - len(result.skipped)
    print(f"E2E: {passed} passed, {failed} failed", flush=True)
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
