"""The package builder: archive layout, modes, size checks."""
import json
import os
import stat
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(__file__))
import console_shell as cs  # noqa: E402

TOOL = os.path.join(cs.SOURCE, "tools", "package")


class PackageTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="ze_package_")
        self.out = os.path.join(self.tmp.name, "dist")

    def tearDown(self):
        self.tmp.cleanup()

    def program(self, size, versions=("9.8.7",)):
        """A stand-in program of `size` bytes with the version records a
        real build carries."""
        path = os.path.join(self.tmp.name, "ze-radio")
        records = b"".join(b"\0ze-radio-version=" + v.encode() + b"\0" for v in versions)
        with open(path, "wb") as f:
            f.write(os.urandom(size - len(records)).replace(b"ze-radio", b"ze_radio") + records)
        return path

    def build(self, binary, *args, icon_tool="/nonexistent"):
        """Runs the package tool; `--engine` is added with a made-up engine
        unless the call names one."""
        env = dict(os.environ, ZE_RADIO_ICON_TOOL=icon_tool)
        return subprocess.run([TOOL, "--binary", binary, "--out", self.out, *args],
                              env=env, capture_output=True, text=True, timeout=120)

    def test_archive_holds_the_app_folder(self):
        icon_tool = os.path.join(self.tmp.name, "icon-tool")
        cs.write_script(icon_tool, 'printf "PNG of the icon" > "$1"\n')
        engine = os.path.join(self.tmp.name, "ze-stream")
        with open(engine, "wb") as f:
            f.write(b"engine program")
        result = self.build(self.program(80000), "--version", "9.8.7", "--engine", engine,
                            icon_tool=icon_tool)
        self.assertEqual(result.returncode, 0, result.stderr)
        archive = os.path.join(self.out, "ze-radio-9.8.7.zip")
        self.assertEqual(result.stdout.strip(), archive)
        self.assertGreaterEqual(os.path.getsize(archive), 50000)

        with zipfile.ZipFile(archive) as z:
            self.assertIsNone(z.testzip())
            entries = {i.filename: i for i in z.infolist()}
            files = {n for n in entries if not n.endswith("/")}
            self.assertTrue(all(n.startswith("ze-radio/") for n in entries))
            self.assertEqual(files, {
                "ze-radio/bin/ze-radio", "ze-radio/launch.sh", "ze-radio/config.json",
                "ze-radio/icon.png", "ze-radio/channels.json",
                "ze-radio/bin/play_stream.sh", "ze-radio/bin/ze-stream",
                "ze-radio/THIRD_PARTY.txt", "ze-radio/LICENSES/LGPL-2.1.txt"})
            for name in ("ze-radio/bin/ze-radio", "ze-radio/launch.sh",
                         "ze-radio/bin/play_stream.sh", "ze-radio/bin/ze-stream"):
                self.assertEqual(stat.S_IMODE(entries[name].external_attr >> 16), 0o755, name)

            config = json.loads(z.read("ze-radio/config.json"))
            self.assertEqual(config["launch"], "launch.sh")
            self.assertEqual(config["icon"], "icon.png")
            self.assertTrue(config["label"] and config["description"])
            with open(os.path.join(cs.SOURCE, "assets", "channels.json"), "rb") as f:
                self.assertEqual(z.read("ze-radio/channels.json"), f.read())
            self.assertEqual(z.read("ze-radio/icon.png"), b"PNG of the icon")
            self.assertEqual(len(z.read("ze-radio/bin/ze-radio")), 80000)
            self.assertEqual(z.read("ze-radio/bin/ze-stream"), b"engine program")
            self.assertIn(b"FFmpeg", z.read("ze-radio/THIRD_PARTY.txt"))
            self.assertIn(b"LESSER GENERAL PUBLIC LICENSE", z.read("ze-radio/LICENSES/LGPL-2.1.txt"))

    def test_default_version_is_the_programs_and_missing_icon_is_a_warning(self):
        result = self.build(self.program(80000, ("2.3.4",)))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.strip().endswith("/ze-radio-2.3.4.zip"))
        self.assertIn("no icon", result.stderr)
        self.assertIn("no bin/ze-stream", result.stderr)

    def test_version_other_than_the_programs_is_refused(self):
        for versions, args, message in ((("1.0.0",), ["--version", "1.1.0"],
                                         "reports version 1.0.0, not 1.1.0"),
                                        ((), [], "reports no version"),
                                        (("1.0.0", "1.1.0"), [], "more than one version")):
            result = self.build(self.program(80000, versions), *args)
            self.assertNotEqual(result.returncode, 0, versions)
            self.assertIn(message, result.stderr)
            self.assertFalse(os.path.exists(self.out) and os.listdir(self.out))

    def test_too_small_package_or_missing_program_fails(self):
        result = self.build(self.program(1000))
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("at least 50000", result.stderr)
        self.assertEqual(os.listdir(self.out), [])

        result = self.build(os.path.join(self.tmp.name, "missing"))
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("not found", result.stderr)

        result = self.build(self.program(80000), "--engine", os.path.join(self.tmp.name, "none"))
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("stream engine not found", result.stderr)


if __name__ == "__main__":
    unittest.main()
