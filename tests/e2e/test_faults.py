"""Faults the player must live through: killed outright while it stores the
favourites or a downloaded catalog, a full or read-only card under the
favourites, the catalog and a package installation, and an update server that
never answers while the screen keeps being drawn.

FAULT_ROUNDS sets the number of kill rounds of each power-cut test (default
12); FAULT_SEED repeats a run's random kill moments."""

import errno
import http.server
import json
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import APP_DIR, FIFO, read, write  # noqa: E402

HOST = "update.ze-radio.vn"  # the build's default update server
BASE = "https://" + HOST
FAVORITES = APP_DIR + "/favorites.json"
CATALOG = APP_DIR + "/channels.json"
PACKAGE = "/tmp/ze-radio-update.zip"
ROUNDS = int(os.environ.get("FAULT_ROUNDS", "12"))
SEED = int(os.environ.get("FAULT_SEED", str(time.time_ns() % 1000000)))
TOGGLE = re.compile(r"^\[Favorites\] (Added|Removed) (.+) (?:to|from) favorites$")


def strict_json(text):
    """Parses like the player does: duplicate keys make a document invalid."""
    def unique(pairs):
        keys = [k for k, _ in pairs]
        if len(keys) != len(set(keys)):
            raise ValueError("duplicate key")
        return dict(pairs)
    return json.loads(text, object_pairs_hook=unique)


def favorites_text(ids):
    """The favourites file exactly as the player writes it."""
    return json.dumps(sorted(ids), indent=2, ensure_ascii=False)


def catalog_text(version, count, prefix="ch"):
    return json.dumps({
        "version": version,
        "categories": [{"id": "news", "name": "Tin tức"}],
        "channels": [{"id": "%s%d" % (prefix, n), "name": "Đài %s %d" % (version, n),
                      "category": "news", "streamUrl": "http://127.0.0.1:9/%d" % n,
                      "frequency": "FM %d.%d" % (n % 108, n % 10)} for n in range(count)],
    }, ensure_ascii=False, indent=2) + "\n"


def manifest_text(version):
    return json.dumps({"id": "ze-radio", "version": version,
                       "downloadUrl": BASE + "/ze-radio-%s.zip" % version})


def snapshot(folder):
    """Every file below `folder` with its bytes and permission bits."""
    files = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                files[os.path.relpath(path, folder)] = (f.read(), os.stat(path).st_mode & 0o777)
    return files


def fill(folder, leave_pages=0):
    """Fills the file system of `folder` with page-sized files, then frees
    `leave_pages` of them again."""
    fillers = []
    while True:
        path = "%s/.filler%d" % (folder, len(fillers))
        try:
            with open(path, "wb") as f:
                f.write(b"\0" * 4096)
        except OSError as e:
            if e.errno != errno.ENOSPC:
                raise
            os.unlink(path)
            break
        fillers.append(path)
    for path in fillers[len(fillers) - leave_pages:]:
        os.unlink(path)
    return fillers[:len(fillers) - leave_pages]


def main_thread_switches(pid):
    """Voluntary context switches of the player's main thread: one per frame,
    when it sleeps out the rest of the frame."""
    with open("/proc/%d/task/%d/status" % (pid, pid)) as f:
        for line in f:
            if line.startswith("voluntary_ctxt_switches:"):
                return int(line.split()[1])
    raise AssertionError("no context switch count for %d" % pid)


class SilentHttpsServer:
    """Completes the TLS handshake, reads each request and never answers."""

    def __init__(self, name=HOST):
        cert_dir = "/tmp/.tls-silent"
        os.makedirs(cert_dir)
        key, cert = cert_dir + "/key.pem", cert_dir + "/cert.pem"
        harness.run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=" + name,
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        import ssl
        self.requests = []
        self._stopped = threading.Event()
        requests, stopped = self.requests, self._stopped

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                requests.append(self.path)
                stopped.wait()

            def log_message(self, *args):
                pass

        self._httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 443), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        self._httpd.socket = context.wrap_socket(self._httpd.socket, server_side=True)
        self._thread = threading.Thread(target=self._httpd.serve_forever, daemon=True)
        self._thread.start()

    def stop(self):
        self._stopped.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(5)


class FaultTest(harness.SandboxTest):

    def setUp(self):
        super().setUp()
        harness.loopback_up()
        harness.map_hosts(self, [HOST])
        self.site = "/tmp/site"
        os.makedirs(self.site + "/ota")
        self.rng = random.Random(SEED)

    # Helpers ----------------------------------------------------------------

    def serve(self):
        server = harness.HttpsServer(self.site, name=HOST)
        self.addCleanup(server.stop)
        return server

    def small_folder(self, path, size="64k"):
        os.makedirs(path, exist_ok=True)
        harness.run("mount", "-t", "tmpfs", "-o", "size=%s,mode=0755" % size, "tmpfs", path)
        self._mounts.append(path)

    def remount(self, path, options):
        harness.run("mount", "-o", "remount," + options, path)

    def start_quickly(self):
        """Starts the player without waiting out the start-up grace period."""
        if os.path.lexists(FIFO):
            os.unlink(FIFO)
        return self.start_player(wait_ready=False)

    def kill(self, player):
        os.kill(player.process.pid, signal.SIGKILL)
        self.assertEqual(player.wait_exit(), -signal.SIGKILL)

    def still_running(self, player):
        """The player still takes commands: a harmless one comes through."""
        mark = player.mark()
        player.send("DOWN")
        player.wait_for(r"^\[Main\] Received action: Down$", start=mark)
        self.assertIsNone(player.process.poll())

    def leftovers(self, name):
        return sorted(n for n in os.listdir(APP_DIR) if n != name and not n.startswith(".filler"))

    # Power cuts -------------------------------------------------------------

    def test_killed_while_saving_favourites_leaves_the_old_or_the_new_list(self):
        os.makedirs(APP_DIR)
        write(FAVORITES, "[]")
        saved = set()
        burst_time = None
        stats = {"mid_burst": 0, "temp_left": 0}
        temps_seen = set()
        for round_no in range(ROUNDS + 1):
            player = self.start_quickly()
            burst = []
            for _ in range(300):
                burst += ["DOWN"] * self.rng.randint(0, 2) + ["FAV"]
            toggles = burst.count("FAV")
            player.send(*burst)
            player.wait_for(TOGGLE.pattern)
            started = time.monotonic()
            if burst_time is None:
                # The first round measures how long a burst takes to be saved.
                self.wait_until(lambda: player.count(TOGGLE.pattern) == toggles, 20, "the burst")
                burst_time = time.monotonic() - started
            else:
                time.sleep(self.rng.uniform(0, burst_time * 0.4))
            self.kill(player)

            # Replays the logged toggles on the list the player loaded; each
            # toggle is logged before its save.
            states = [set(saved)]
            for line in player.lines:
                m = TOGGLE.match(line)
                if m:
                    current = set(states[-1])
                    if m.group(1) == "Added":
                        self.assertNotIn(m.group(2), current, "loaded list differs: " + line)
                        current.add(m.group(2))
                    else:
                        self.assertIn(m.group(2), current, "loaded list differs: " + line)
                        current.remove(m.group(2))
                    states.append(current)
            if 0 < len(states) - 1 < toggles:
                stats["mid_burst"] += 1
            text = read(FAVORITES)
            ids = strict_json(text)
            self.assertIsInstance(ids, list)
            self.assertTrue(all(isinstance(i, str) for i in ids), text)
            self.assertEqual(text, favorites_text(ids), "not the player's own layout")
            self.assertIn(set(ids), states[-2:], "round %d: neither the old nor the new list"
                          % round_no)
            saved = set(ids)
            left = self.leftovers("favorites.json")
            if left:
                stats["temp_left"] += 1
            temps_seen.update(left)
            # A kill may leave the temporary file of the save it cut short; the
            # next save reuses it, so they never pile up.
            self.assertLessEqual(len(temps_seen), 1, "temporary files pile up: %s" % temps_seen)
        print("\nfavourites: %d kill rounds (seed %d), burst of %.0f ms, %d cut a burst short, "
              "%d left a temporary file" % (ROUNDS, SEED, burst_time * 1000, stats["mid_burst"],
                                            stats["temp_left"]), file=sys.stderr)

    def test_killed_while_storing_a_catalog_leaves_the_old_or_the_new_file(self):
        old = catalog_text("r0", 1500)
        write(CATALOG, old)
        write(self.site + "/ota/ze-radio.json", manifest_text("1.0.0"))
        self.serve()
        store_time = None
        stats = {"new": 0, "temp_left": 0}
        temps_seen = set()
        for round_no in range(1, ROUNDS + 2):
            new = catalog_text("r%d" % round_no, 1500 + round_no)
            write(self.site + "/channels.json", new)
            player = self.start_quickly()
            # The program's own reading of what the last kill left.
            count = len(strict_json(old)["channels"])
            player.wait_for(r"^\[Catalog\] Loaded %d channels from %s$" % (count, CATALOG))
            mark = player.mark()
            player.send("X")
            player.wait_for(r"^\[OTA\] Syncing channels from: ", 20, start=mark)
            synced = time.monotonic()
            if store_time is None:
                player.wait_for(r"^\[OTA\] Successfully updated channels.json \(version r1\)$", 20)
                store_time = time.monotonic() - synced
            else:
                time.sleep(self.rng.uniform(store_time * 0.6, store_time * 1.6))
            self.kill(player)
            text = read(CATALOG)
            self.assertIn(text, (old, new), "round %d: a mixed catalog file" % round_no)
            strict_json(text)
            if player.count(r"^\[OTA\] Successfully updated channels.json") > 0:
                self.assertEqual(text, new, "reported as stored but not on disk")
            if text == new:
                stats["new"] += 1
            old = text
            left = self.leftovers("channels.json")
            if left:
                stats["temp_left"] += 1
            temps_seen.update(left)
            self.assertLessEqual(len(temps_seen), 1, "temporary files pile up: %s" % temps_seen)
        print("\ncatalog: %d kill rounds (seed %d), download and store take %.0f ms, %d kept the "
              "new file, %d left a temporary file" % (ROUNDS, SEED, store_time * 1000,
                                                      stats["new"] - 1, stats["temp_left"]),
              file=sys.stderr)


if __name__ == "__main__":
    harness.main(network=True)
