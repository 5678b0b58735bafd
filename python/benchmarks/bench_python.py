#!/usr/bin/env python3
"""The package's costs beside the library's own, against an emulated module on loopback.

    python3 python/benchmarks/bench_python.py [--rounds 3] [--seconds 3] [--trips 500]

Measures, in alternating rounds so that a machine busy with other work weighs on both
alike:
- the answers per second that ``module.poll("inputs", "input_voltages", period_ms=1)``
  delivers to Python code, and the on-demand round trip of ``module.read("inputs")``;
- the same two figures from c_reference.c, a small C program using the C interface.

A benchmark, not a test: it asserts nothing and is not run by ``make test``.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent
sys.path.insert(0, str(REPO / "python"))

import qorvi_netpod  # noqa: E402
from qorvi_netpod.emulator import Emulator  # noqa: E402


def python_figures(address: str, seconds: float, trips: int) -> tuple[float, float]:
    with qorvi_netpod.connect(address) as module:
        took = []
        for _ in range(trips):
            start = time.perf_counter()
            module.read("inputs")
            took.append(time.perf_counter() - start)
        count = 0
        with module.poll("inputs", "input_voltages", period_ms=1) as poll:
            start = time.monotonic()
            for _ in poll:
                count += 1
                if time.monotonic() - start >= seconds:
                    break
            elapsed = time.monotonic() - start
    return count / elapsed, statistics.median(took) * 1e6


def build_c_reference(work: Path) -> Path:
    library = Path(qorvi_netpod.library_path())
    program = work / "c_reference"
    compiler = os.environ.get("CC") or shutil.which("cc") or "gcc"
    subprocess.run([compiler, "-std=c11", "-O2", "-I", str(REPO / "include"), str(HERE / "c_reference.c"),
                    "-o", str(program), str(library), f"-Wl,-rpath,{library.parent}", "-pthread"], check=True)
    return program


def c_figures(program: Path, address: str, seconds: float, trips: int) -> tuple[float, float]:
    done = subprocess.run([str(program), address, str(seconds), str(trips)], capture_output=True, text=True,
                          check=True, timeout=120)
    figures = dict(line.split() for line in done.stdout.splitlines())
    return float(figures["poll_per_second"]), float(figures["round_trip_us"])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--trips", type=int, default=500)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as work, Emulator(["--static"]) as emulated:
        program = build_c_reference(Path(work))
        rows = {"C": [], "Python": []}
        for round_number in range(options.rounds):
            for name in ("C", "Python") if round_number % 2 == 0 else ("Python", "C"):
                run = c_figures if name == "C" else python_figures
                argument = (program,) if name == "C" else ()
                figures = run(*argument, emulated.address, options.seconds, options.trips)  # type: ignore[operator]
                rows[name].append(figures)
                print(f"round {round_number + 1} {name:6} poll {figures[0]:7.1f} answers/s   "
                      f"round trip {figures[1]:7.1f} us", flush=True)
    c_poll = statistics.median(r[0] for r in rows["C"])
    py_poll = statistics.median(r[0] for r in rows["Python"])
    c_trip = statistics.median(r[1] for r in rows["C"])
    py_trip = statistics.median(r[1] for r in rows["Python"])
    print(f"median  C      poll {c_poll:7.1f} answers/s   round trip {c_trip:7.1f} us")
    print(f"median  Python poll {py_poll:7.1f} answers/s   round trip {py_trip:7.1f} us")
    print(f"Python / C     poll {py_poll / c_poll:7.2f}              round trip {py_trip / c_trip:7.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
