"""Self-installation of the real player: a package published with
tools/publish-update, served over HTTPS on loopback, confirmed in the update
dialog, downloaded with curl, unpacked over the application folder."""

import json
import os
import re
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


SIGNED_BINARY = os.environ.get("ZE_RADIO_SIGNED_BIN", os.path.join(
    harness.BUILD, "tests", "e2e", "ze-radio-signed"))
TEST_KEY = os.environ.get("ZE_RADIO_TEST_KEY", os.path.join(
    harness.BUILD, "tests", "update-test-key"))


def program(version):
    """A stand-in program that reports `version` as a real build does."""
    return b"new program\0ze-radio-version=" + version.encode() + b"\0"


def make_package(path, version="1.1.0", noise=60000):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("ze-radio/", "")
        z.writestr("ze-radio/launch.sh", "#!/bin/sh\nexec ./bin/ze-radio\n")
        z.writestr(zipfile.ZipInfo("ze-radio/bin/ze-radio"), program(version))  # stored
        z.writestr("ze-radio/data/list.txt", "list")
        z.writestr(zipfile.ZipInfo("ze-radio/assets/noise.bin"), os.urandom(noise))


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

    def publish(self, package, version="1.1.0", key=None,
                catalog=os.path.join(harness.SOURCE, "assets", "channels.json")):
        subprocess.run([sys.executable, os.path.join(harness.SOURCE, "tools", "publish-update"),
                        "--package", package, "--catalog", catalog,
                        "--version", version, "--base-url", BASE, self.site]
                       + (["--secret-key", key] if key else []),
                       check=True, stdout=subprocess.DEVNULL)

    def serve(self, rate=None):
        server = harness.HttpsServer(self.site, name=HOST, rate=rate)
        self.addCleanup(server.stop)
        return server

    def offer(self, player, version="1.1.0"):
        mark = player.mark()
        player.send("X")
        player.wait_for(r"^\[OTA\] Newer version available: %s \(current: 1\.0\.0\)$"
                        % version.replace(".", r"\."), start=mark)
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
        ota = [line for line in player.lines[mark:]
               if line.startswith("[OTA]") and not line.startswith("[OTA] Downloaded ")]
        self.assertEqual(ota[-4:], [
            "[OTA] Downloading package update from: %s/ze-radio-1.1.0.zip" % BASE,
            "[OTA] Installing the package into " + APP,
            "[OTA] Installation completed to " + APP,
            "[OTA] Application updated successfully! Triggering restart code 42...",
        ])
        self.assertEqual(player.count(r"^\[Main\] Received action: Confirm$"), 2)
        self.assertEqual(server.requests.count("/ze-radio-1.1.0.zip"), 1)
        with open(APP + "/bin/ze-radio", "rb") as f:
            self.assertEqual(f.read(), program("1.1.0"))
        self.assertEqual(stat.S_IMODE(os.stat(APP + "/launch.sh").st_mode), 0o755)
        self.assertEqual(stat.S_IMODE(os.stat(APP + "/data/list.txt").st_mode), 0o644)
        self.assertTrue(os.stat(APP + "/bin/old-helper").st_mode & stat.S_IXUSR)
        self.assertEqual(os.path.getsize(APP + "/assets/noise.bin"), 60000)
        self.assertFalse(os.path.exists(APP + "/ze-radio"))
        self.assertFalse(os.path.exists(PACKAGE))

    def test_a_slow_download_shows_its_progress_then_each_step(self):
        """A 1.2 MB package at 300 KB/s: the progress shown rises a tenth at
        a time while the bytes arrive, then the signature check and the
        unpacking are shown until the restart."""
        os.makedirs("/tmp/dist")
        make_package("/tmp/dist/ze-radio-1.1.0.zip", noise=1200000)
        size = os.path.getsize("/tmp/dist/ze-radio-1.1.0.zip")
        self.publish("/tmp/dist/ze-radio-1.1.0.zip", key=TEST_KEY)
        self.serve(rate=300000)
        player = self.start_player(binary=SIGNED_BINARY)
        mark = self.offer(player)
        player.send("A")
        self.assertEqual(player.wait_exit(30), 42)

        steps = [(line, at) for line, at in zip(player.lines[mark:], player.times[mark:])
                 if line.startswith("[OTA]")]
        rx = re.compile(r"^\[OTA\] Downloaded (\d+)% \((\d+\.\d) of (\d+\.\d) MB\)$")
        progress = [(rx.match(line), at) for line, at in steps if rx.match(line)]
        percents = [int(m.group(1)) for m, _ in progress]
        self.assertGreaterEqual(len(percents), 8, percents)
        self.assertEqual(percents, sorted(set(percents)), "rising, each tenth once")
        self.assertEqual(percents[-1], 100)
        self.assertEqual({m.group(3) for m, _ in progress}, {"%.1f" % (size // 100000 / 10)})
        # Shown while the bytes came (about 4 s), not all at the end.
        self.assertGreater(progress[-1][1] - progress[0][1], 2.0)
        lines = [line for line, _ in steps]
        after = lines[lines.index(progress[-1][0].group(0)) + 1:]
        self.assertEqual(after, [
            "[OTA] Checking the package's signature",
            "[OTA] Installing the package into " + APP,
            "[OTA] Installation completed to " + APP,
            "[OTA] Application updated successfully! Triggering restart code 42...",
        ])
        with open(APP + "/bin/ze-radio", "rb") as f:
            self.assertEqual(f.read(), program("1.1.0"))

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
        # The dialog shows the failure now: A neither downloads the old offer
        # again nor leaves the player.
        mark = player.mark()
        player.send("A")
        player.wait_for(r"^\[Main\] Received action: Confirm$", start=mark)
        time.sleep(0.5)
        self.assertEqual(player.count(r"^\[OTA\] Downloading package update"), 1)

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

    def test_signed_build_installs_only_correctly_signed_newer_packages(self):
        """The build with the test key against packages and catalogs signed
        right, wrongly, not at all, altered after signing, or replayed."""
        os.makedirs("/tmp/dist")
        other_key = "/tmp/other-key"
        subprocess.run([sys.executable, os.path.join(harness.SOURCE, "tools", "make-update-key"),
                        other_key], check=True, stdout=subprocess.DEVNULL)
        package = "/tmp/dist/ze-radio-1.1.0.zip"
        served = self.site + "/ze-radio-1.1.0.zip"
        make_package(package)

        def flip(path, at):
            with open(path, "r+b") as f:
                f.seek(at)
                byte = f.read(1)
                f.seek(at)
                f.write(bytes([byte[0] ^ 0x04]))

        def unsigned():
            self.publish(package)

        def other():
            self.publish(package, key=other_key)

        def flipped_package():
            self.publish(package, key=TEST_KEY)
            flip(served, 40)

        def flipped_signature():
            self.publish(package, key=TEST_KEY)
            flip(served + ".sig", 10)

        def replayed_older():
            # An older package, rightly signed, offered under a newer version.
            make_package("/tmp/dist/ze-radio-0.9.0.zip", "0.9.0")
            self.publish("/tmp/dist/ze-radio-0.9.0.zip", "0.9.0", key=TEST_KEY)
            manifest = harness.read(self.site + "/ota/ze-radio.json")
            harness.write(self.site + "/ota/ze-radio.json",
                          manifest.replace('"0.9.0"', '"1.1.0"'))

        sig_url = BASE + "/ze-radio-1.1.0.zip.sig"
        cases = [
            (unsigned, "Package refused: no signature at " + sig_url),
            (other, "Package refused: signature does not match"),
            (flipped_package, "Package refused: signature does not match"),
            (flipped_signature, "Package refused: signature is not the base64 of 64 bytes|"
                                "Package refused: signature does not match"),
            (replayed_older, "Package refused: its program's version 0.9.0 is not newer "
                             "than 1.0.0"),
        ]
        self.serve()
        player = self.start_player(binary=SIGNED_BINARY)
        for prepare, error in cases:
            prepare()
            mark = self.offer(player)
            player.send("A")
            line = player.wait_for(r"^\[OTA\] Update failed: ", start=mark)
            self.assertRegex(line, r"^\[OTA\] Update failed: (%s)$" % error, prepare.__name__)
            self.assertEqual(player.count(r"^\[OTA\] Installation completed"), 0)
            self.assertEqual(harness.read(APP + "/bin/ze-radio"), "old program")
            self.assertFalse(os.path.exists(APP + "/launch.sh"))
            # A package failing its signature is deleted; a signed one that
            # is refused stays for inspection, as damaged archives do.
            self.assertEqual(os.path.exists(PACKAGE), prepare is replayed_older)

        # Catalogs: unsigned and altered ones are refused, the file is kept.
        self.publish(package, key=TEST_KEY)
        manifest = harness.read(self.site + "/ota/ze-radio.json")
        harness.write(self.site + "/ota/ze-radio.json", manifest.replace('"1.1.0"', '"1.0.0"'))
        harness.write(APP + "/channels.json", "old catalog")
        for damage_catalog, error in ((lambda: os.unlink(self.site + "/channels.json.sig"),
                                       "no signature at %s/channels.json.sig" % BASE),
                                      (lambda: flip(self.site + "/channels.json", 30),
                                       "signature does not match")):
            damage_catalog()
            mark = player.mark()
            player.send("X")
            player.wait_for(r"^\[OTA\] Catalog refused: %s$" % error, start=mark)
            self.assertEqual(harness.read(APP + "/channels.json"), "old catalog")
            self.publish(package, key=TEST_KEY)
            harness.write(self.site + "/ota/ze-radio.json",
                          manifest.replace('"1.1.0"', '"1.0.0"'))

        # A correctly signed catalog newer than the one held (here the
        # built-in one's 2026.09.28) is stored; then
        # the older one, rightly signed in its day, is refused.
        newer = json.loads(harness.read(os.path.join(harness.SOURCE, "assets", "channels.json")))
        newer["version"] = "2026.12.01"
        harness.write("/tmp/newer-channels.json", json.dumps(newer, ensure_ascii=False))
        for catalog, result in (("/tmp/newer-channels.json",
                                 r"Successfully updated channels.json \(version 2026.12.01\)"),
                                (os.path.join(harness.SOURCE, "assets", "channels.json"),
                                 r"Catalog refused: version 2026.09.28 is older than the stored "
                                 r"catalog's 2026.12.01")):
            self.publish(package, key=TEST_KEY, catalog=catalog)
            harness.write(self.site + "/ota/ze-radio.json", manifest.replace('"1.1.0"', '"1.0.0"'))
            mark = player.mark()
            player.send("X")
            player.wait_for(r"^\[OTA\] %s$" % result, start=mark)
            # The player found no catalog file at its start: it stores into
            # its working folder.
            self.assertEqual(json.loads(harness.read(self.work + "/channels.json"))["version"],
                             "2026.12.01")
        # And the package.
        self.publish(package, key=TEST_KEY)
        self.offer(player)
        player.send("A")
        self.assertEqual(player.wait_exit(30), 42)
        with open(APP + "/bin/ze-radio", "rb") as f:
            self.assertEqual(f.read(), program("1.1.0"))


if __name__ == "__main__":
    harness.main(network=True)
