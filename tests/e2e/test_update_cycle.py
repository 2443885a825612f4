"""The whole update cycle on a console-like file system: an installed package
at /mnt/SDCARD/Apps/ze-radio started by its launch.sh, a newer package built
with tools/package and published with tools/publish-update on an HTTPS server,
the update offered, confirmed, installed, and launch.sh starting the new
program after exit status 42. The packages carry the desktop build."""

import json
import os
import shutil
import stat
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

HOST = "update.ze-radio.vn"
BASE = "https://" + HOST
APP = harness.APP_DIR
LOG = APP + "/ze-radio.log"
PROGRAM = APP + "/bin/ze-radio"
# The same program built at the next version, and both with a test update key.
NEXT = os.environ.get("ZE_RADIO_NEXT_VERSION", "1.0.1")
NEXT_BINARY = os.environ.get("ZE_RADIO_NEXT_BIN", os.path.join(harness.BUILD, "tests", "e2e",
                                                               "ze-radio-next"))
VARIANTS = os.path.dirname(NEXT_BINARY)
SIGNED_BINARY = os.environ.get("ZE_RADIO_SIGNED_BIN", os.path.join(VARIANTS, "ze-radio-signed"))
SIGNED_NEXT_BINARY = os.environ.get("ZE_RADIO_SIGNED_NEXT_BIN",
                                    os.path.join(VARIANTS, "ze-radio-signed-next"))
TEST_KEY = os.environ.get("ZE_RADIO_TEST_KEY",
                          os.path.join(os.path.dirname(VARIANTS), "update-test-key"))


class UpdateCycleTest(harness.SandboxTest):

    def setUp(self):
        super().setUp()
        harness.loopback_up()
        harness.map_hosts(self, [HOST])
        self.launch = None
        # The console's shell is busybox.
        busybox = shutil.which("busybox")
        if busybox:
            os.symlink(busybox, os.path.join(self.stub_dir, "sh"))

    def tearDown(self):
        if self.launch and self.launch.poll() is None:
            self.launch.kill()
            self.launch.wait()
        for pid in self.players():
            os.kill(pid, 9)
        super().tearDown()

    def package(self, binary, version):
        """Builds a package with tools/package; returns its path."""
        result = subprocess.run(
            [os.path.join(harness.SOURCE, "tools", "package"), "--binary", binary,
             "--version", version, "--out", "/tmp/dist"],
            env=dict(os.environ, ZE_RADIO_ICON_TOOL=os.path.join(harness.BUILD, "ze-radio-icon")),
            capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout.strip()

    def install_by_hand(self, package):
        """What a user does: unpack the package's folder into the Apps folder."""
        with zipfile.ZipFile(package) as z:
            z.extractall("/mnt/SDCARD/Apps")
            for info in z.infolist():
                mode = stat.S_IMODE(info.external_attr >> 16)
                if mode:
                    os.chmod(os.path.join("/mnt/SDCARD/Apps", info.filename), mode)

    def log(self):
        try:
            return harness.read(LOG)
        except FileNotFoundError:
            return ""

    def wait_log(self, text, count=1, timeout=20):
        self.wait_until(lambda: self.log().count(text) >= count, timeout,
                        "%r x%d in the log:\n%s" % (text, count, self.log()))

    def players(self):
        """PIDs of running programs started from the installed ze-radio file."""
        found = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if os.readlink("/proc/%s/exe" % entry).startswith(PROGRAM):
                        found.append(int(entry))
                except OSError:
                    pass
        return found

    def send(self, *commands, timeout=10.0):
        """Writes commands into the command pipe once a player reads it."""
        harness.send_commands(commands, timeout, self.log)

    def cycle(self, old_binary, new_binary, secret_key=None):
        """Installs old_binary's package by hand, publishes new_binary's at
        the next version, confirms the update and checks that launch.sh runs
        the new program, which reports the new version and is up to date."""
        old_version = "1.0.0"
        self.install_by_hand(self.package(old_binary, old_version))
        new_package = self.package(new_binary, NEXT)
        publish = [sys.executable, os.path.join(harness.SOURCE, "tools", "publish-update"),
                   "--package", new_package, "--catalog",
                   os.path.join(harness.SOURCE, "assets", "channels.json"),
                   "--version", NEXT, "--base-url", BASE, "/tmp/site"]
        if secret_key:
            publish += ["--secret-key", secret_key]
        subprocess.run(publish, check=True, stdout=subprocess.DEVNULL)
        server = harness.HttpsServer("/tmp/site", name=HOST)
        self.addCleanup(server.stop)

        self.launch = subprocess.Popen(["sh", APP + "/launch.sh"], cwd="/",
                                       env=self.environment(),
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        self.wait_log(harness.BANNER[1])
        self.wait_until(lambda: os.path.exists(harness.FIFO), 10, "the command pipe")
        time.sleep(0.7)  # past the start-up grace period
        self.send("OTA")
        self.wait_log("[OTA] Newer version available: %s (current: %s)" % (NEXT, old_version))
        self.send("A")

        self.wait_log(harness.BANNER[1], count=2, timeout=60)
        log = self.log()
        self.assertIn("[OTA] Installation completed to " + APP, log)
        self.assertIn("[OTA] Application updated successfully! Triggering restart code 42...", log)
        self.assertIn("updated itself; starting the new version", log)
        self.assertEqual(server.requests.count("/ze-radio-%s.zip" % NEXT), 1)
        if secret_key:
            self.assertEqual(server.requests.count("/ze-radio-%s.zip.sig" % NEXT), 1)

        with open(PROGRAM, "rb") as f:
            with open(new_binary, "rb") as g:
                self.assertEqual(f.read(), g.read())
        for name in ("bin/ze-radio", "launch.sh", "bin/play_stream.sh"):
            self.assertEqual(stat.S_IMODE(os.stat(APP + "/" + name).st_mode), 0o755, name)
        self.assertFalse(os.path.exists("/tmp/ze-radio-update.zip"))

        # The running program is the new file, not the replaced one.
        self.wait_until(lambda: len(self.players()) == 1, 10, "one running player")
        (pid,) = self.players()
        self.assertEqual(os.stat("/proc/%d/exe" % pid).st_ino, os.stat(PROGRAM).st_ino)

        # It reports the new version: the same offer is not made again, and the
        # catalog is synchronised instead. The package brought the server's
        # catalog along: a signed build, which stores only a newer one, keeps
        # its file.
        time.sleep(0.7)
        self.send("OTA")
        self.wait_log("[OTA] Already up to date: " + NEXT)
        shipped = json.loads(harness.read(os.path.join(harness.SOURCE, "assets", "channels.json")))
        self.wait_log("[OTA] Channels already up to date (version %s)" % shipped["version"]
                      if secret_key else "[OTA] Successfully updated channels.json")
        self.assertEqual(self.log().count("[OTA] Newer version available"), 1)

        self.send("B", "EXIT")
        self.assertEqual(self.launch.wait(20), 0)
        self.assertIn("[Main] Clean exit (not playing).", self.log())
        # Start, update note, start of the new version, end.
        self.assertEqual(self.log().count("[launch]"), 4)
        self.assertEqual(self.players(), [])

    def test_update_is_installed_and_launch_script_starts_the_new_program(self):
        self.cycle(harness.BINARY, NEXT_BINARY)

    def test_signed_update_cycle(self):
        self.cycle(SIGNED_BINARY, SIGNED_NEXT_BINARY, secret_key=TEST_KEY)


if __name__ == "__main__":
    harness.main(network=True)
