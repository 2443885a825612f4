"""The update check of the real player against a real HTTPS server on
loopback, reached through curl under the build's update host name."""

import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

HOST = "update.ze-radio.vn"  # the build's default update server
BASE = "https://" + HOST
APP_CATALOG = harness.APP_DIR + "/channels.json"


def catalog(version, names):
    return json.dumps({
        "version": version,
        "categories": [{"id": "news", "name": "Tin tức"}],
        "channels": [{"id": "ch%d" % n, "name": name, "category": "news",
                      "streamUrl": "http://127.0.0.1:9/%d" % n} for n, name in enumerate(names)],
    }, ensure_ascii=False, indent=1) + "\n"


def manifest(version):
    return json.dumps({"id": "ze-radio", "version": version,
                       "downloadUrl": BASE + "/ze-radio-%s.zip" % version})


class UpdateCheckTest(harness.SandboxTest):

    def setUp(self):
        super().setUp()
        harness.loopback_up()
        harness.map_hosts(self, [HOST])
        self.site = "/tmp/site"
        os.makedirs(self.site + "/ota")
        self.old = catalog("old", ["Old Station"])
        harness.write(APP_CATALOG, self.old)
        self.server = None

    def serve(self, manifest_text=None, catalog_text=None):
        for path, text in (("/ota/ze-radio.json", manifest_text), ("/channels.json", catalog_text)):
            if text is None:
                if os.path.exists(self.site + path):
                    os.unlink(self.site + path)
            else:
                harness.write(self.site + path, text)
        if self.server is None:
            self.server = harness.HttpsServer(self.site, name=HOST)
            self.addCleanup(self.server.stop)

    def check(self, player):
        """Presses the update button; returns the index of its first log line."""
        mark = player.mark()
        player.send("X")
        player.wait_for(r"^\[OTA\] Checking for system update at: %s/ota/ze-radio.json$" % BASE,
                        start=mark)
        return mark

    def first_station_played(self, player):
        """Closes the dialog and plays the first listed station; its name."""
        mark = player.mark()
        player.send("B", "A")
        player.wait_for(r"^\[Main\] Received action: Confirm$", start=mark)
        time.sleep(0.3)
        for line in player.lines[mark:]:
            if line.startswith("[Main] Playing station: "):
                return line[len("[Main] Playing station: "):].split(" (")[0]
        return None

    def wait_served(self, path, count=1):
        self.wait_until(lambda: self.server.requests.count(path) >= count, 20, "request " + path)
        time.sleep(0.5)  # the player parses, stores and applies the answer

    def test_newer_manifest_offers_the_update_and_leaves_the_catalog(self):
        self.serve(manifest("v1.1"), catalog("new", ["New Station"]))
        player = self.start_player()
        mark = self.check(player)
        player.wait_for(r"^\[OTA\] Newer version available: v1\.1 \(current: 1\.0\.0\)$", start=mark)
        time.sleep(0.5)
        self.assertEqual(self.server.requests, ["/ota/ze-radio.json"])
        self.assertEqual(player.count(r"^\[OTA\] Syncing channels"), 0)
        self.assertEqual(harness.read(APP_CATALOG), self.old)
        self.assertEqual(self.first_station_played(player), "Old Station")

    def test_same_older_or_unreadable_manifest_synchronises_the_catalog(self):
        player = self.start_player()
        cases = [("1.0.0", "[OTA] Already up to date: 1.0.0"),
                 ("0.9.9", "[OTA] Already up to date: 1.0.0"),
                 ('{"id": "ze-radio", "version": "9.0"}', None),  # no downloadUrl
                 ("<html>broken</html>", None)]
        for n, (served, up_to_date) in enumerate(cases):
            text = catalog("v%d" % n, ["Station %d" % n, "Second"])
            self.serve(manifest(served) if up_to_date else served, text)
            mark = self.check(player)
            player.wait_for(r"^\[OTA\] Successfully updated channels.json \(version v%d\)$" % n,
                            start=mark)
            ota = [line for line in player.lines[mark:] if line.startswith("[OTA]")]
            expected = ["[OTA] Checking for system update at: %s/ota/ze-radio.json" % BASE]
            expected += [up_to_date] if up_to_date else []
            expected += ["[OTA] Syncing channels from: %s/channels.json" % BASE,
                         "[OTA] Successfully updated channels.json (version v%d)" % n]
            self.assertEqual(ota, expected)
            self.assertEqual(harness.read(APP_CATALOG), text)
        # The new catalog replaced the one in memory.
        self.assertEqual(self.first_station_played(player), "Station 3")
        player.kill()
        again = self.start_player()
        again.wait_for(r"^\[Catalog\] Loaded 2 channels from %s$" % APP_CATALOG)

    def test_failed_synchronisation_leaves_catalog_and_list_as_they_were(self):
        player = self.start_player()
        mark = self.check(player)  # nothing listens on the server's port yet
        player.wait_for(r"^\[OTA\] Primary manifest failed, trying fallback: %s/ota/ze-radio.json$"
                        % BASE, start=mark)
        player.wait_for(r"^\[OTA\] Syncing channels from: %s/channels.json$" % BASE, start=mark)
        time.sleep(0.5)  # its catalog request is refused before the server starts
        self.serve(manifest("1.0.0"), '{"version": "bad", "categories": []}')
        self.check(player)
        self.wait_served("/channels.json")
        self.serve(manifest("1.0.0"), None)  # the server's not-found page
        self.check(player)
        self.wait_served("/channels.json", 2)
        self.assertEqual(player.count(r"^\[OTA\] (Successfully|Warning)"), 0)
        self.assertEqual(harness.read(APP_CATALOG), self.old)
        self.assertEqual(self.first_station_played(player), "Old Station")

    def test_catalog_without_channels_is_stored_and_empties_the_list(self):
        empty = catalog("empty", [])
        self.serve(manifest("1.0.0"), empty)
        player = self.start_player()
        mark = self.check(player)
        player.wait_for(r"^\[OTA\] Successfully updated channels.json \(version empty\)$", start=mark)
        self.assertEqual(harness.read(APP_CATALOG), empty)
        self.assertIsNone(self.first_station_played(player))
        player.kill()
        self.start_player().wait_for(r"^\[Catalog\] Loaded 0 channels from %s$" % APP_CATALOG)

    def test_without_a_catalog_file_the_sync_creates_one_in_the_working_folder(self):
        os.unlink(APP_CATALOG)
        text = catalog("fresh", ["Fresh"])
        self.serve(manifest("1.0.0"), text)
        player = self.start_player()
        mark = self.check(player)
        player.wait_for(r"^\[OTA\] Successfully updated channels.json \(version fresh\)$", start=mark)
        self.assertEqual(harness.read(self.work + "/channels.json"), text)
        self.assertEqual([n for n in os.listdir(self.work) if n != "channels.json"], [])

    def test_endless_chunked_answers_are_cut_off_at_the_limit_while_they_arrive(self):
        # A server that answers the manifest and the catalog with chunks that
        # never end, as fast as it can: curl has no length to refuse, and the
        # player's peak resident memory grows by about the limit it enforces,
        # not by what the server sends.
        import http.server
        sent = []

        class Endless(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                chunk = b"%x\r\n%s\r\n" % (65536, b"[" * 65536)
                total = 0
                try:
                    while total < 1 << 30:
                        self.wfile.write(chunk)
                        total += 65536
                finally:
                    sent.append(total)

            def log_message(self, *args):
                pass

        httpd, thread = harness.serve_https(http.server.ThreadingHTTPServer, Endless, HOST)
        self.addCleanup(lambda: (httpd.shutdown(), httpd.server_close(), thread.join(5)))
        player = self.start_player()
        status = "/proc/%d/status" % player.process.pid
        before = peak_kib(status)
        mark = self.check(player)
        player.wait_for(r"^\[OTA\] Manifest refused: document larger than 4194304 bytes$",
                        start=mark, timeout=20)
        player.wait_for(r"^\[OTA\] Catalog refused: document larger than 4194304 bytes$",
                        start=mark, timeout=20)
        grown = peak_kib(status) - before
        self.wait_until(lambda: len(sent) == 2, message="both answers to end")
        self.assertEqual(player.count(r"Primary manifest failed"), 0)
        self.assertEqual(harness.read(APP_CATALOG), self.old)
        # The limit is 4 MiB; a little more is the reading's own buffers.
        self.assertLess(grown, 4096 + 3072, "peak resident memory grew by %d KiB (%d KiB before); "
                        "the server sent %s bytes" % (grown, before, sent))
        self.assertGreater(min(sent), 4 << 20)


def peak_kib(status_path):
    """The peak resident memory (VmHWM) in a /proc/PID/status file, in KiB."""
    for line in harness.read(status_path).splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    raise AssertionError("no VmHWM in " + status_path)


if __name__ == "__main__":
    harness.main(network=True)
