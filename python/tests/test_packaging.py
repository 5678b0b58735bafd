"""Installing the package: with pip, offline, into a virtual environment; and with
`cmake --install`, where the installed package must find the installed library by
itself. Both copies are then used against an emulated module."""

from __future__ import annotations

import glob
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path

from support import PYTHON_DIR, start_emulator, tool_environment

from qorvi_netpod import LIBRARY_ENV

# Reads TYPE from the module whose address is argv[1] and tells where everything came from.
USE_IT = textwrap.dedent("""
    import os, sys
    import qorvi_netpod
    with qorvi_netpod.connect(sys.argv[1]) as module:
        print("type", module.read("type").type)
    print("package", os.path.dirname(qorvi_netpod.__file__))
    print("library", qorvi_netpod.library_path())
""")


def quiet_environment(tool: bool = False, **extra: str) -> dict[str, str]:
    """The environment of a child: no pip configuration of this machine, no package
    path or library of the test's own, and for a build tool no preloaded runtime."""
    source = tool_environment() if tool else os.environ
    environment = {k: v for k, v in source.items()
                   if not k.startswith("PIP_") and k not in ("PYTHONPATH", LIBRARY_ENV)}
    environment.update(PIP_CONFIG_FILE=os.devnull, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    environment.update(extra)
    return environment


class Packaging(unittest.TestCase):
    def setUp(self) -> None:
        self.work = Path(tempfile.mkdtemp(prefix="netpod-python-"))
        self.addCleanup(shutil.rmtree, self.work, True)

    def use(self, python: str, address: str, **environment: str) -> dict[str, str]:
        done = subprocess.run([python, "-c", USE_IT, address], cwd=self.work, capture_output=True, text=True,
                              timeout=120, env=quiet_environment(**environment))
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        return dict(line.split(" ", 1) for line in done.stdout.splitlines())

    def test_pip_installs_offline_into_a_virtual_environment(self) -> None:
        for needed in ("venv", "ensurepip", "setuptools", "wheel"):
            if importlib.util.find_spec(needed) is None:
                self.skipTest(f"{sys.executable} lacks {needed}, which an offline build with pip needs")
        # A copy, so that the build leaves nothing in the source tree.
        source = self.work / "source"
        shutil.copytree(PYTHON_DIR, source, ignore=shutil.ignore_patterns("tests", "build", "*.egg-info",
                                                                          "__pycache__"))
        venv = self.work / "venv"
        subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True,
                       capture_output=True, timeout=300, env=quiet_environment(tool=True))
        python = str(venv / "bin" / "python")
        done = subprocess.run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", str(source)],
                              capture_output=True, text=True, timeout=300, env=quiet_environment(tool=True))
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

        emulator = start_emulator(self)
        library = os.environ.get(LIBRARY_ENV) or str(PYTHON_DIR.parent / "build" / "src" / "libqorvi-netpod.so.2")
        seen = self.use(python, emulator.address, **{LIBRARY_ENV: library})
        self.assertEqual(seen["type"], "(8, 2)")
        self.assertTrue(seen["package"].startswith(str(venv)), seen["package"])
        self.assertTrue((Path(seen["package"]) / "py.typed").is_file())

    def test_cmake_install_puts_the_package_beside_the_library_it_finds(self) -> None:
        build = os.environ.get("NETPOD_BUILD_DIR")
        if not build or shutil.which("cmake") is None:
            self.skipTest("needs cmake and the build folder (NETPOD_BUILD_DIR, set by CTest)")
        prefix = self.work / "prefix"
        done = subprocess.run(["cmake", "--install", build, "--prefix", str(prefix)], capture_output=True,
                              text=True, timeout=300, env=tool_environment())
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        found = glob.glob(str(prefix / "**" / "qorvi_netpod" / "_install_location.py"), recursive=True)
        self.assertEqual(len(found), 1, found)
        site = str(Path(found[0]).parent.parent)
        installed_library = glob.glob(str(prefix / "**" / "libqorvi-netpod.so.2.0.0"), recursive=True)
        self.assertEqual(len(installed_library), 1)

        emulator = start_emulator(self)
        # No QORVI_NETPOD_LIBRARY: the installed package must find the installed library.
        seen = self.use(sys.executable, emulator.address, PYTHONPATH=site)
        self.assertEqual(seen["type"], "(8, 2)")
        self.assertEqual(seen["package"], str(Path(site) / "qorvi_netpod"))
        self.assertEqual(seen["library"], os.path.realpath(installed_library[0]))


if __name__ == "__main__":
    unittest.main()
