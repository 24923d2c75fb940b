#!/usr/bin/env python3
"""Runs every end-to-end test module (tests/e2e/test_*.py) against the binaries in --bin.

Each test starts its own zorvic-server on a free port in a temporary home folder (see
harness.py), so modules run side by side: each in a process of its own, --jobs at a time
(default: the number of processors). A module that must have the machine to itself (load,
stress or kill loops whose timing a neighbour would disturb) sets E2E_SERIAL = True at module
level; those run one after another once the others are done. A module's output is printed
in one piece when it ends, with a line "--- MODULE: N passed, N failed in S s". The last
line printed is "E2E: N passed, N failed", which scripts/test reads.
"""
import argparse
import concurrent.futures
import os
import re
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SUMMARY = re.compile(r"^E2E module: (\d+) passed, (\d+) failed$", re.MULTILINE)


def walk(suite):
    for test in suite:
        if isinstance(test, unittest.TestSuite):
            yield from walk(test)
        else:
            yield test


def run_in_process(module, pattern):
    """Runs one module's tests here and returns the exit status (the child side)."""
    sys.path.insert(0, HERE)
    suite = unittest.defaultTestLoader.loadTestsFromName(module)
    if pattern:
        suite = unittest.TestSuite(t for t in walk(suite) if pattern in t.id())
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    passed = max(0, result.testsRun - failed - len(result.skipped))
    print(f"E2E module: {passed} passed, {failed} failed", flush=True)
    return 0 if failed == 0 else 1


def module_names():
    return sorted(name[:-3] for name in os.listdir(HERE)
                  if name.startswith("test_") and name.endswith(".py"))


def is_serial(module):
    path = os.path.join(HERE, module + ".py")
    with open(path, encoding="utf-8") as source:
        return re.search(r"^E2E_SERIAL\s*=\s*True", source.read(), re.MULTILINE) is not None


def run_module(module, pattern):
    """Runs one module in a child process; returns (module, passed, failed, output, seconds)."""
    command = [sys.executable, os.path.abspath(__file__), "--module", module,
               "--bin", os.environ["ZORVIC_BIN_DIR"]]
    if pattern:
        command += ["-k", pattern]
    started = time.monotonic()
    child = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           env=os.environ.copy(), cwd=HERE)
    output = child.stdout.decode("utf-8", "replace")
    seconds = time.monotonic() - started
    found = SUMMARY.findall(output)
    if found:
        passed, failed = int(found[-1][0]), int(found[-1][1])
    else:
        passed, failed = 0, 1  # the module could not even report
    if child.returncode != 0 and failed == 0:
        failed = 1
    return module, passed, failed, output, seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "..", "build", "bin"))
    parser.add_argument("-k", dest="pattern", default=None, help="only tests whose id contains this")
    parser.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1,
                        help="modules run at once (default: the number of processors)")
    parser.add_argument("--module", default=None, help=argparse.SUPPRESS)
    parser.add_argument("modules", nargs="*", help="module names (test_x or test_x.py); default all")
    args = parser.parse_args()
    os.environ["ZORVIC_BIN_DIR"] = os.path.abspath(args.bin)
    if args.module:
        return run_in_process(args.module, args.pattern)

    modules = [m[:-3] if m.endswith(".py") else m for m in args.modules] or module_names()
    parallel = [m for m in modules if not is_serial(m)]
    serial = [m for m in modules if is_serial(m)]
    total_passed = total_failed = 0

    def report(outcome):
        nonlocal total_passed, total_failed
        module, passed, failed, output, seconds = outcome
        sys.stdout.write(output)
        print(f"--- {module}: {passed} passed, {failed} failed in {seconds:.1f} s", flush=True)
        total_passed += passed
        total_failed += failed

    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        for outcome in pool.map(lambda m: run_module(m, args.pattern), parallel):
            report(outcome)
    for module in serial:
        report(run_module(module, args.pattern))
    print(f"E2E: {total_passed} passed, {total_failed} failed", flush=True)
    return 0 if total_failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
