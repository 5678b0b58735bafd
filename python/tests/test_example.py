"""The Python example of the README and examples/python run as a newcomer runs them,
against the emulator, and so does ``python -m qorvi_netpod``."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import unittest

from support import PYTHON_DIR, REPO

from qorvi_netpod.emulator import find_emulator


def run(arguments: list[str]) -> subprocess.CompletedProcess[str]:
    # As a newcomer would: from the repository's root, the package not installed.
    environment = dict(os.environ)
    environment.pop("PYTHONPATH", None)
    return subprocess.run([sys.executable, *arguments], cwd=REPO, capture_output=True, text=True, timeout=120,
                          env=environment)


class Examples(unittest.TestCase):
    def setUp(self) -> None:
        if find_emulator() is None:
            self.skipTest("netpod-emulator not found")

    def test_the_readme_python_example_runs_as_written(self) -> None:
        readme = (REPO / "README.md").read_text()
        blocks = re.findall(r"^```python\n(.*?)^```$", readme, re.S | re.M)
        self.assertTrue(blocks, "no Python example in README.md")
        done = run(["-c", blocks[0]])
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("type=(8, 2)", done.stdout)
        self.assertIn("name='line 3', outputs=frozenset({0, 9})", done.stdout)
        self.assertIn("I2C devices: [72, 80]", done.stdout)
        self.assertIn("b'hello\\n'", done.stdout)

    def test_first_steps_against_the_emulator(self) -> None:
        done = run([str(REPO / "examples" / "python" / "first_steps.py")])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("EEPROM 0x10: status 0, data beef", done.stdout)

    def test_self_check(self) -> None:
        done = subprocess.run([sys.executable, "-m", "qorvi_netpod"], cwd=PYTHON_DIR, capture_output=True,
                              text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("self-check passed", done.stdout)

if __name__ == "__main__":
    unittest.main()
