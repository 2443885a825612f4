"""Self-installation of the real player: a package published with
tools/publish-update, served over HTTPS on loopback, confirmed in the update
dialog, downloaded with curl, unpacked over the application folder."""

import os
import stat
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

HOST = "update.ze-radio.vn"
BASE = "https://" + HOST
PACKAGE = "/tmp/ze-radio-update.zip"
APP = harness.APP_DIR


def make_package(path):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("ze-radio/", "")
        z.writestr("ze-radio/launch.sh", "#!/bin/sh\nexec ./bin/ze-radio\n")
        z.writestr(zipfile.ZipInfo("ze-radio/bin/ze-radio"), "new program")  # stored
        z.writestr("ze-radio/data/list.txt", "list")
        z.writestr(zipfile.ZipInfo("ze-radio/assets/noise.bin"), os.urandom(60000))


def damage(path):
    """Flips one byte inside the stored data of an entry."""
    with open(path, "r+b") as f:
        at = f.read().index(b"new program")
        f.seek(at)
        f.write(b"N")


class UpdateInstallTest(harness.SandboxTest):

    def setUp(self):
        super().setUp()
        harness.loopback_up()
        harness.map_hosts(self, [HOST])
        self.site = "/tmp/site"
        harness.write(APP + "/bin/old-helper", "old", 0o644)
        harness.write(APP + "/bin/ze-radio", "old program", 0o755)

    def publish(self, package, version="1.1.0"):
        subprocess.run([sys.executable, os.path.join(harness.SOURCE, "tools", "publish-update"),
                        "--package", package, "--catalog",
                        os.path.join(harness.SOURCE, "assets", "channels.json"),
                        "--version", version, "--base-url", BASE, self.site],
                       check=True, stdout=subprocess.DEVNULL)

    def serve(self):
        server = harness.HttpsServer(self.site, name=HOST)
        self.addCleanup(server.stop)
        return server

    def offer(self, player):
        mark = player.mark()
        player.send("X")
        player.wait_for(r"^\[OTA\] Newer version available: 1\.1\.0 \(current: 1\.0\.0\)$",
                        start=mark)
        return mark

    def test_confirmed_update_is_installed_and_the_player_restarts_with_42(self):
        os.makedirs("/tmp/dist")
        make_package("/tmp/dist/ze-radio-1.1.0.zip")
        self.publish("/tmp/dist/ze-radio-1.1.0.zip")
        server = self.serve()
        player = self.start_player()
        mark = self.offer(player)
        player.send("A", "A")  # the second press must not start a second installer
        self.assertEqual(player.wait_exit(30), 42)
        ota = [line for line in player.lines[mark:] if line.startswith("[OTA]")]
        self.assertEqual(ota[-3:], [
            "[OTA] Downloading package update from: %s/ze-radio-1.1.0.zip" % BASE,
            "[OTA] Installation completed to " + APP,
            "[OTA] Application updated successfully! Triggering restart code 42...",
        ])
        self.assertEqual(player.count(r"^\[Main\] Received action: Confirm$"), 2)
        self.assertEqual(server.requests.count("/ze-radio-1.1.0.zip"), 1)
        self.assertEqual(harness.read(APP + "/bin/ze-radio"), "new program")
        self.assertEqual(stat.S_IMODE(os.stat(APP + "/launch.sh").st_mode), 0o755)
        self.assertEqual(stat.S_IMODE(os.stat(APP + "/data/list.txt").st_mode), 0o644)
        self.assertTrue(os.stat(APP + "/bin/old-helper").st_mode & stat.S_IXUSR)
        self.assertEqual(os.path.getsize(APP + "/assets/noise.bin"), 60000)
        self.assertFalse(os.path.exists(APP + "/ze-radio"))
        self.assertFalse(os.path.exists(PACKAGE))

    def test_failed_installations_keep_the_player_and_its_files(self):
        os.makedirs(self.site + "/ota")
        harness.write(self.site + "/ota/ze-radio.json",
                      '{"id": "ze-radio", "version": "1.1.0", "downloadUrl": "%s/missing.zip"}' % BASE)
        self.serve()
        player = self.start_player()
        self.offer(player)
        player.send("A")
        player.wait_for(r"^\[OTA\] Update failed: Downloaded update file is too small or corrupt$")
        self.assertFalse(os.path.exists(PACKAGE))

        # A damaged package writes nothing, and a new check allows a new try.
        os.makedirs("/tmp/dist")
        make_package("/tmp/dist/ze-radio-1.1.0.zip")
        self.publish("/tmp/dist/ze-radio-1.1.0.zip")
        damage(self.site + "/ze-radio-1.1.0.zip")
        mark = self.offer(player)
        player.send("A")
        player.wait_for(r"^\[OTA\] Update failed: Failed to extract %s/bin/ze-radio: " % APP, start=mark)
        time.sleep(0.3)
        self.assertIsNone(player.process.poll())
        self.assertEqual(harness.read(APP + "/bin/ze-radio"), "old program")
        self.assertFalse(os.path.exists(APP + "/launch.sh"))
        self.assertTrue(os.path.exists(PACKAGE))  # kept for inspection


if __name__ == "__main__":
    harness.main(network=True)
