"""Runs one suite: ``run.py test_connection``. Exits 77 (CTest's skip) when every test
of the suite was skipped, so that a suite that cannot run here shows as skipped."""

from __future__ import annotations

import os
import sys
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent

# A sanitizer build names its runtime here; it has to be loaded before anything else in
# the interpreter that loads the library, but not in the shells and tools on the way.
PRELOAD = "NETPOD_TEST_PRELOAD"


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print("usage: run.py SUITE", file=sys.stderr)
        return 2
    runtime = os.environ.get(PRELOAD)
    if runtime and runtime not in os.environ.get("LD_PRELOAD", ""):
        os.execve(sys.executable, [sys.executable, *argv], dict(os.environ, LD_PRELOAD=runtime))
    sys.path.insert(0, str(HERE))
    suite = unittest.defaultTestLoader.loadTestsFromName(argv[1])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    # A class skipped in setUpClass counts one skip and runs none of its tests.
    if result.skipped and result.testsRun <= len(result.skipped):
        return 77
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
