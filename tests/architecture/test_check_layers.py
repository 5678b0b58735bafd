"""The layer check passes on the real tree and catches what it is there to catch."""
import pathlib
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import check_layers  # noqa: E402

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"


class LayerCheck(unittest.TestCase):
    def tree(self, files):
        root = pathlib.Path(tempfile.mkdtemp())
        for name, text in files.items():
            path = root / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
        return root

    def test_the_library_follows_the_arrows(self):
        self.assertEqual(check_layers.check(SRC), [])

    def test_downward_and_transitive_includes_pass(self):
        root = self.tree({
            "exports/a.cpp": '#include "connection/b.h"\n#include "protocol/c.h"\n#include "qorvi_netpod.h"\n',
            "connection/b.h": '#include "platform/d.h"\n',
        })
        self.assertEqual(check_layers.check(root), [])

    def test_an_upward_include_is_named_with_file_and_line(self):
        root = self.tree({"platform/event.cpp": '#include <mutex>\n\n#include "diagnostics/error_log.h"\n'})
        self.assertEqual(check_layers.check(root),
                         ['platform/event.cpp:3: platform may not include diagnostics ("diagnostics/error_log.h")'])

    def test_protocol_stays_pure(self):
        root = self.tree({"protocol/packet.cpp": '#include "transport/socket.h"\n'})
        self.assertEqual(len(check_layers.check(root)), 1)

    def test_siblings_including_each_other_are_reported_as_a_loop(self):
        root = self.tree({
            "transport/a.cpp": '#include "diagnostics/log.h"\n',
            "diagnostics/log.cpp": '#include "transport/a.h"\n',
        })
        faults = check_layers.check(root)
        self.assertIn("diagnostics and transport include each other: diagnostics/log.cpp:1 and transport/a.cpp:1",
                      faults)

    def test_unknown_folders_and_loose_files_fail(self):
        root = self.tree({"helpers/x.cpp": "", "loose.cpp": "", "exports/y.cpp": '#include "bare.h"\n'})
        self.assertEqual(len(check_layers.check(root)), 3)


if __name__ == "__main__":
    unittest.main()
