#!/usr/bin/env python3
"""Checks that the library's folders depend on each other one way only.

Every `#include "folder/file.h"` under src/ names the folder it reaches into. A
folder may include its own files, the public header, and the folders below it:

    exports    -> connection, discovery, diagnostics
    connection -> protocol, transport, platform, diagnostics
    discovery  -> protocol, transport, diagnostics
    transport, diagnostics -> platform
    protocol   -> the public header only

and, through them, whatever those may include. An include against these arrows,
one of an unknown folder, or two folders that include each other fail the check,
each named with its file and line.
"""
import pathlib
import re
import sys

ARROWS = {
    "exports": {"connection", "discovery", "diagnostics"},
    "connection": {"protocol", "transport", "platform", "diagnostics"},
    "discovery": {"protocol", "transport", "diagnostics"},
    "transport": {"platform"},
    "diagnostics": {"platform"},
    "protocol": set(),
    "platform": set(),
}
PUBLIC_HEADERS = {"qorvi_netpod.h"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def reachable(folder):
    """The folders `folder` may include: the arrows, followed to their ends."""
    seen, todo = set(), list(ARROWS.get(folder, ()))
    while todo:
        below = todo.pop()
        if below not in seen:
            seen.add(below)
            todo.extend(ARROWS.get(below, ()))
    return seen


def check(src):
    faults = []
    edges = {}
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp") or not path.is_file():
            continue
        relative = path.relative_to(src)
        if len(relative.parts) < 2:
            faults.append(f"{relative}: a source file outside the layer folders")
            continue
        folder = relative.parts[0]
        if folder not in ARROWS:
            faults.append(f"{relative}: folder '{folder}' is not a known layer")
            continue
        allowed = reachable(folder)
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            target = match.group(1)
            if target in PUBLIC_HEADERS:
                continue
            parts = target.split("/")
            if len(parts) < 2:
                faults.append(f"{relative}:{number}: includes \"{target}\" without its folder")
                continue
            into = parts[0]
            if into == folder:
                continue
            edges.setdefault((folder, into), f"{relative}:{number}")
            if into not in ARROWS:
                faults.append(f"{relative}:{number}: includes \"{target}\" from unknown folder '{into}'")
            elif into not in allowed:
                faults.append(f"{relative}:{number}: {folder} may not include {into} (\"{target}\")")
    for (a, b), where in sorted(edges.items()):
        if a < b and (b, a) in edges:
            faults.append(f"{a} and {b} include each other: {where} and {edges[(b, a)]}")
    return faults


def main(argv):
    src = pathlib.Path(argv[1] if len(argv) > 1 else pathlib.Path(__file__).resolve().parents[2] / "src")
    faults = check(src)
    for fault in faults:
        print(fault)
    if faults:
        print(f"layer check: {len(faults)} include(s) against the arrows")
        return 1
    print("layer check: every include follows the arrows")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
