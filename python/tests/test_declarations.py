"""The ctypes declarations against the C header they mirror.

The record layouts are compared with what the C compiler makes of the header (a small
program prints every field's offset and size), and every function and callback type
with the header's prototypes, so that a moved field, a missing function or a wrong
argument type fails here rather than corrupting memory at run time.
"""

from __future__ import annotations

import ctypes
import os
import re
import shutil
import subprocess
import tempfile
import unittest
from ctypes import POINTER, c_bool, c_char, c_float, c_int32, c_uint8, c_uint32, c_void_p
from pathlib import Path
from typing import Any

from support import include_dir, tool_environment

from qorvi_netpod import _native

HEADER = include_dir() / "qorvi_netpod.h"
RECORDS = (_native.RegisterValues, _native.ModuleInfo)


def header_text() -> str:
    text = HEADER.read_text()
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", " ", text)


def compiler() -> str | None:
    wanted = os.environ.get("NETPOD_CC") or "cc"
    return shutil.which(wanted)


def compiled_layout() -> dict[str, tuple[int, int]]:
    """{"Record": (size, 0), "Record.Field": (offset, size)} as the C compiler lays out
    the header's records."""
    lines = ["#include <stddef.h>", "#include <stdio.h>", '#include "qorvi_netpod.h"', "int main(void) {"]
    for record in RECORDS:
        name = record.__name__
        lines.append(f'    printf("{name} %zu 0\\n", sizeof({name}));')
        for field, _ in record._fields_:
            lines.append(f'    printf("{name}.{field} %zu %zu\\n", offsetof({name}, {field}), '
                         f"sizeof((({name}*)0)->{field}));")
    lines += ["    return 0;", "}"]
    with tempfile.TemporaryDirectory() as work:
        source = Path(work) / "layout.c"
        program = Path(work) / "layout"
        source.write_text("\n".join(lines) + "\n")
        build = subprocess.run([compiler(), "-std=c11", "-I", str(HEADER.parent), str(source), "-o", str(program)],
                               capture_output=True, text=True, env=tool_environment())
        if build.returncode != 0:
            raise AssertionError("the layout program does not compile against the header:\n" + build.stderr)
        run = subprocess.run([str(program)], capture_output=True, text=True, check=True, env=tool_environment())
    layout = {}
    for line in run.stdout.splitlines():
        key, first, second = line.split()
        layout[key] = (int(first), int(second))
    return layout


def struct_fields(text: str, name: str) -> list[str]:
    """The field names of `typedef struct name { ... } name;`, in order."""
    body = re.search(r"typedef\s+struct\s+%s\s*\{(.*?)\}\s*%s\s*;" % (name, name), text, re.S)
    assert body is not None, f"struct {name} not found in the header"
    return re.findall(r"(\w+)\s*(?:\[\s*\d+\s*\])?\s*;", body.group(1))


def c_type(text: str) -> Any:
    """The ctypes type for a C type of the header."""
    text = " ".join(text.replace("*", " * ").split())
    pointer = text.endswith("*")
    base = text.rstrip("* ").replace("const ", "").strip()
    scalar = {
        "void": None, "bool": c_bool, "int32_t": c_int32, "uint32_t": c_uint32, "float": c_float,
        "uint8_t": c_uint8, "char": c_char, "ComID": c_void_p, "RegisterValues": _native.RegisterValues,
        "ModuleInfo": _native.ModuleInfo,
    }
    scalar.update(_native.CALLBACK_TYPES)
    if base not in scalar:
        raise AssertionError(f"no ctypes equivalent known for C type {text!r}")
    kind = scalar[base]
    return POINTER(kind) if pointer else kind


def split_parameter(parameter: str) -> str:
    """The type of one parameter declaration ("const int32_t* IPAddress" -> "const int32_t*")."""
    match = re.match(r"^(.*?[\s*])(\w+)$", parameter.strip())
    assert match is not None, f"cannot read parameter {parameter!r}"
    return match.group(1).strip()


def header_functions(text: str) -> dict[str, tuple[Any, list[Any]]]:
    functions = {}
    for result, name, parameters in re.findall(r"QORVI_NETPOD_API\s+([\w\s*]+?)\s*\b(\w+)\s*\(([^)]*)\)\s*;", text):
        arguments = [] if parameters.strip() in ("", "void") else [
            c_type(split_parameter(p)) for p in parameters.split(",")]
        functions[name] = (c_type(result), arguments)
    return functions


def header_callbacks(text: str) -> dict[str, tuple[Any, list[Any]]]:
    callbacks = {}
    for result, name, parameters in re.findall(r"typedef\s+(\w+)\s*\(\s*\*\s*(\w+)\s*\)\s*\(([^)]*)\)\s*;", text):
        callbacks[name] = (c_type(result), [c_type(split_parameter(p)) for p in parameters.split(",")])
    return callbacks


def name_of(kind: Any) -> str:
    return "void" if kind is None else getattr(kind, "__name__", repr(kind))


class RecordLayout(unittest.TestCase):
    def test_fields_are_those_of_the_header_in_its_order(self) -> None:
        text = header_text()
        for record in RECORDS:
            with self.subTest(record=record.__name__):
                self.assertEqual([f for f, _ in record._fields_], struct_fields(text, record.__name__))

    def test_sizes_and_offsets_match_the_c_compiler(self) -> None:
        if compiler() is None:
            self.skipTest("no C compiler (set NETPOD_CC) to lay out the header's records")
        layout = compiled_layout()
        for record in RECORDS:
            name = record.__name__
            self.assertEqual(ctypes.sizeof(record), layout[name][0], f"sizeof({name})")
            for field, _ in record._fields_:
                described = getattr(record, field)
                with self.subTest(field=f"{name}.{field}"):
                    self.assertEqual((described.offset, described.size), layout[f"{name}.{field}"],
                                     f"{name}.{field}: (offset, size) in Python vs the C compiler")

class FunctionDeclarations(unittest.TestCase):
    def test_every_function_of_the_header_is_declared_and_no_other(self) -> None:
        declared = set(_native.FUNCTIONS)
        in_header = set(header_functions(header_text()))
        self.assertEqual(sorted(in_header - declared), [], "in the header, not declared in Python")
        self.assertEqual(sorted(declared - in_header), [], "declared in Python, not in the header")

    def test_argument_and_result_types_match_the_prototypes(self) -> None:
        for name, (result, arguments) in header_functions(header_text()).items():
            restype, argtypes = _native.FUNCTIONS[name]
            with self.subTest(function=name):
                self.assertIs(restype, result, f"result: {name_of(restype)} vs {name_of(result)}")
                self.assertEqual([name_of(a) for a in argtypes], [name_of(a) for a in arguments])
                self.assertTrue(all(a is b for a, b in zip(argtypes, arguments)))

    def test_callback_types_match_the_typedefs(self) -> None:
        callbacks = header_callbacks(header_text())
        self.assertEqual(sorted(callbacks), sorted(_native.CALLBACK_TYPES))
        for name, (result, arguments) in callbacks.items():
            kind = _native.CALLBACK_TYPES[name]
            with self.subTest(callback=name):
                self.assertIs(kind._restype_, result)
                self.assertEqual([name_of(a) for a in kind._argtypes_], [name_of(a) for a in arguments])


if __name__ == "__main__":
    unittest.main()
