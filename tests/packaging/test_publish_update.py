"""The publishing tool's reading of versions: the player's rule, checked
against the version table the player's own test goes through."""
import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import console_shell as cs  # noqa: E402

TOOL = os.path.join(cs.SOURCE, "tools", "publish-update")
TABLE = os.path.join(cs.SOURCE, "tests", "update", "version_table.txt")


def load_tool():
    loader = importlib.machinery.SourceFileLoader("publish_update", TOOL)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


def table():
    """(line number, a, relation, b) for every row: "A < B", "A = B", "! A"."""
    with open(TABLE) as f:
        for number, line in enumerate(f, 1):
            words = line.split()
            if not words or words[0].startswith("#"):
                continue
            if words[0] == "!":
                yield number, words[1], "!", None
            else:
                yield number, words[0], words[1], words[2]


class PublishVersionTest(unittest.TestCase):
    def test_the_shared_table_holds(self):
        tool = load_tool()
        rows = list(table())
        self.assertGreater(len(rows), 40)
        for number, a, relation, b in rows:
            with self.subTest(line=number):
                if relation == "!":
                    with self.assertRaises(tool.Invalid) as refused:
                        tool.parse_version(a)
                    self.assertTrue(str(refused.exception).startswith(
                        "'%s' is not a version (" % a[:65]), refused.exception)
                    continue
                expected = -1 if relation == "<" else 0
                self.assertEqual(tool.compare_versions(a, b), expected)
                self.assertEqual(tool.compare_versions(b, a), -expected)

    def test_a_version_outside_the_rule_is_refused_with_the_rule(self):
        with tempfile.TemporaryDirectory(prefix="ze_publish_") as tmp:
            result = subprocess.run(
                [sys.executable, TOOL, "--package", os.path.join(tmp, "p.zip"), "--catalog",
                 os.path.join(tmp, "c.json"), "--version", "1.x.5", "--base-url",
                 "https://update.example.org", os.path.join(tmp, "out")],
                capture_output=True, text=True, timeout=60)
            self.assertEqual(result.returncode, 2, result.stderr)
            self.assertIn("--version: '1.x.5' is not a version (numbers separated by dots",
                          result.stderr)
            self.assertFalse(os.path.exists(os.path.join(tmp, "out")))


if __name__ == "__main__":
    unittest.main()
