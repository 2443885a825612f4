"""The launch script under busybox sh, with a stub player."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import console_shell as cs  # noqa: E402

SCRIPT = os.path.join(cs.SOURCE, "packaging", "launch.sh")

# The stub player counts its starts and exits with the status listed for that
# start in the file "statuses" (the last one repeats).
PLAYER = r'''
n=$(cat starts 2>/dev/null || echo 0)
n=$((n + 1))
echo $n > starts
echo "player start $n in $(pwd)"
echo "player error output $n" >&2
status=$(sed -n "${n}p" statuses)
[ -n "$status" ] || status=$(tail -n 1 statuses)
exit $status
'''


class LaunchTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="ze_launch_")
        self.bb = cs.make_busybox_dir(self.tmp.name)
        os.symlink(cs.BUSYBOX, os.path.join(self.bb, "sed"))
        self.app = os.path.join(self.tmp.name, "ze-radio")
        os.mkdir(self.app)
        shutil.copy(SCRIPT, os.path.join(self.app, "launch.sh"))
        os.mkdir(os.path.join(self.app, "bin"))
        cs.write_script(os.path.join(self.app, "bin", "ze-radio"), PLAYER)

    def tearDown(self):
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.app, name)

    def launch(self, *statuses):
        with open(self.path("statuses"), "w") as f:
            f.write("".join(f"{s}\n" for s in statuses))
        # Started from another folder, as the launcher does.
        result = subprocess.run(
            [cs.BUSYBOX, "sh", self.path("launch.sh")], cwd=self.tmp.name,
            env={"PATH": self.bb}, capture_output=True, text=True, timeout=30)
        return result.returncode

    def starts(self):
        with open(self.path("starts")) as f:
            return int(f.read())

    def log(self):
        with open(self.path("ze-radio.log")) as f:
            return f.read()

    def test_restart_after_update_then_return(self):
        self.assertEqual(self.launch(42, 0), 0)
        self.assertEqual(self.starts(), 2)
        log = self.log()
        self.assertIn(f"player start 1 in {self.app}\n", log)
        self.assertIn("player error output 1\n", log)
        self.assertIn("player start 2", log)
        self.assertIn("updated itself", log)

    def test_background_exit_returns_after_one_start(self):
        # A copy that lost its permission bits still starts.
        os.chmod(self.path("bin/ze-radio"), 0o644)
        self.assertEqual(self.launch(10), 0)
        self.assertEqual(self.starts(), 1)
        self.assertIn("playback continues in the background", self.log())

    def test_crash_is_logged_and_returned(self):
        self.assertEqual(self.launch(139), 139)
        self.assertEqual(self.starts(), 1)
        self.assertIn("ended with status 139", self.log())

    def test_endless_restarts_are_cut_off(self):
        self.assertEqual(self.launch(42), 1)
        self.assertEqual(self.starts(), 11)

    def test_log_is_appended_and_kept_bounded(self):
        self.launch(0)
        self.launch(0)
        self.assertEqual(self.log().count("player start"), 2)

        big = "x" * 99 + "\n"
        with open(self.path("ze-radio.log"), "a") as f:
            f.write(big * 6000)
        size = os.path.getsize(self.path("ze-radio.log"))
        self.launch(0)
        self.assertEqual(os.path.getsize(self.path("ze-radio.log.old")), size)
        self.assertLess(os.path.getsize(self.path("ze-radio.log")), 1000)
        self.assertIn("player start 3", self.log())


if __name__ == "__main__":
    unittest.main()
