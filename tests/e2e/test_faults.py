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
NEW_PROGRAM = "new program\0ze-radio-version=1.1.0\0"
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
    """Completes the TLS handshake, reads each request and never answers,
    except for the paths in `answers` ({path: text}), which it serves."""

    def __init__(self, name=HOST, answers=None):
        self.requests = []
        self._stopped = threading.Event()
        requests, stopped, answers = self.requests, self._stopped, answers or {}

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                requests.append(self.path)
                if self.path in answers:
                    body = answers[self.path].encode()
                    self.send_response(200)
                    self.send_header("Content-Length", str(len(body)))
                    self.end_headers()
                    self.wfile.write(body)
                    return
                stopped.wait()

            def log_message(self, *args):
                pass

        self._httpd, self._thread = harness.serve_https(http.server.ThreadingHTTPServer,
                                                        Handler, name)

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
        """The player still takes commands: a harmless one (a step of the
        sleep timer) comes through."""
        mark = player.mark()
        player.send("TIMER")
        player.wait_for(r"^\[Main\] Received action: MuteToggle$", start=mark)
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


    # Full and read-only cards ----------------------------------------------

    def toggle(self, player, *moves):
        """Moves, toggles the selected channel's favourite and returns the
        logged change once the frame that saved it has passed."""
        mark = player.mark()
        player.send(*(list(moves) + ["FAV"]))
        line = player.wait_for(TOGGLE.pattern, start=mark)
        self.still_running(player)
        return line

    def test_favourites_on_a_full_or_read_only_card_keep_the_old_file(self):
        self.small_folder(APP_DIR)
        write(FAVORITES, favorites_text(["vov1"]))
        player = self.start_player()
        fill(APP_DIR)
        before = snapshot(APP_DIR)
        self.assertEqual(self.toggle(player), "[Favorites] Removed vov1 from favorites")
        self.assertEqual(snapshot(APP_DIR), before)

        for filler in [n for n in os.listdir(APP_DIR) if n.startswith(".filler")]:
            os.unlink(os.path.join(APP_DIR, filler))
        self.remount(APP_DIR, "ro")
        self.assertEqual(self.toggle(player, "DOWN"), "[Favorites] Added vov2 to favorites")
        self.assertEqual(read(FAVORITES), favorites_text(["vov1"]))
        self.assertEqual(self.leftovers("favorites.json"), [])

        # Both changes lived on in memory and reach the card once it takes them.
        self.remount(APP_DIR, "rw")
        self.assertEqual(self.toggle(player, "DOWN"), "[Favorites] Added vov3 to favorites")
        self.assertEqual(read(FAVORITES), favorites_text(["vov2", "vov3"]))
        self.assertEqual(self.leftovers("favorites.json"), [])
        self.assertEqual([l for l in player.lines if l.startswith("[Favorites]") and not
                          TOGGLE.match(l)], [])

    def sync(self, player, catalog, expected):
        """Serves `catalog`, runs an update check and waits for the line
        `expected` about storing it."""
        write(self.site + "/channels.json", catalog)
        mark = player.mark()
        player.send("X")
        player.wait_for(r"^\[OTA\] Syncing channels from: %s/channels.json$" % BASE, 20, mark)
        line = player.wait_for(r"^\[OTA\] (Successfully|Warning)", 20, mark)
        self.assertEqual(line, expected)
        time.sleep(0.2)  # the frame that applies the new catalog
        return mark

    def first_channel_id(self, player):
        """Closes the update dialog; the id of the first channel of the list
        in memory, read from toggling its favourite."""
        player.send("B")
        line = self.toggle(player)
        return TOGGLE.match(line).group(2)

    def test_catalog_sync_on_a_full_or_read_only_card_keeps_the_old_file(self):
        self.small_folder(APP_DIR)
        old = catalog_text("old", 3, "old")
        write(CATALOG, old)
        write(self.site + "/ota/ze-radio.json", manifest_text("1.0.0"))
        self.serve()
        player = self.start_player()
        player.wait_for(r"^\[Catalog\] Loaded 3 channels from %s$" % CATALOG)
        fill(APP_DIR)
        self.sync(player, catalog_text("full", 40, "full"),
                  "[OTA] Warning: Could not save channels.json to disk: "
                  "No space left on device (os error 28)")
        self.assertEqual(read(CATALOG), old)
        self.assertEqual(self.leftovers("channels.json"), ["favorites.json"] if
                         os.path.exists(FAVORITES) else [])
        # The downloaded catalog is used in memory all the same.
        self.assertEqual(self.first_channel_id(player), "full0")

        for filler in [n for n in os.listdir(APP_DIR) if n.startswith(".filler")]:
            os.unlink(os.path.join(APP_DIR, filler))
        self.remount(APP_DIR, "ro")
        self.sync(player, catalog_text("ro", 5, "ro"),
                  "[OTA] Warning: Could not save channels.json to disk: "
                  "Read-only file system (os error 30)")
        self.assertEqual(read(CATALOG), old)
        self.assertEqual(self.first_channel_id(player), "ro0")

        self.remount(APP_DIR, "rw")
        fine = catalog_text("fine", 2, "fine")
        self.sync(player, fine, "[OTA] Successfully updated channels.json (version fine)")
        self.assertEqual(read(CATALOG), fine)
        player.kill()
        self.start_player().wait_for(r"^\[Catalog\] Loaded 2 channels from %s$" % CATALOG)

    def publish_package(self):
        os.makedirs("/tmp/dist")
        package = "/tmp/dist/ze-radio-1.1.0.zip"
        with zipfile.ZipFile(package, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("ze-radio/", "")
            z.writestr("ze-radio/launch.sh", "#!/bin/sh\nexec ./bin/ze-radio\n")
            # The version record that the publishing tool reads from a program.
            z.writestr(zipfile.ZipInfo("ze-radio/bin/ze-radio"), NEW_PROGRAM)
            z.writestr("ze-radio/data/list.txt", "new list")
            z.writestr(zipfile.ZipInfo("ze-radio/assets/noise.bin"), os.urandom(60000))
        subprocess.run([sys.executable, os.path.join(harness.SOURCE, "tools", "publish-update"),
                        "--package", package, "--catalog",
                        os.path.join(harness.SOURCE, "assets", "channels.json"),
                        "--version", "1.1.0", "--base-url", BASE, self.site],
                       check=True, stdout=subprocess.DEVNULL)

    def install(self, player, expected):
        mark = player.mark()
        player.send("X")
        player.wait_for(r"^\[OTA\] Newer version available: 1\.1\.0 \(current: 1\.0\.0\)$",
                        20, mark)
        player.send("A")
        line = player.wait_for(r"^\[OTA\] (Update failed|Installation completed)", 30, mark)
        if isinstance(expected, re.Pattern):
            self.assertRegex(line, expected)
        else:
            self.assertEqual(line, expected)
        if line.startswith("[OTA] Update failed: "):
            self.still_running(player)

    def test_install_on_a_full_or_read_only_card_changes_nothing(self):
        self.small_folder(APP_DIR, "128k")
        write(APP_DIR + "/launch.sh", "#!/bin/sh\nold\n", 0o755)
        write(APP_DIR + "/bin/ze-radio", "old program", 0o755)
        write(APP_DIR + "/data/list.txt", "old list", 0o644)
        self.publish_package()
        self.serve()
        player = self.start_player()
        fill(APP_DIR, leave_pages=4)  # room for the small files, not for the big one
        before = snapshot(APP_DIR)
        # The package's files are counted against the free space first.
        self.install(player, re.compile(r"^\[OTA\] Update failed: Not enough free space in %s: "
                                        r"the package needs 73728 bytes, \d+ are free$"
                                        % re.escape(APP_DIR)))
        self.assertEqual(snapshot(APP_DIR), before, "the app folder was changed in part")
        self.assertTrue(os.path.exists(PACKAGE))  # kept, as after any failed extraction

        for filler in [n for n in os.listdir(APP_DIR) if n.startswith(".filler")]:
            os.unlink(os.path.join(APP_DIR, filler))
        before = snapshot(APP_DIR)
        self.remount(APP_DIR, "ro")
        self.install(player, "[OTA] Update failed: Failed to create %s/.ze-update: "
                             "Read-only file system (os error 30)" % APP_DIR)
        self.assertEqual(snapshot(APP_DIR), before)

        # No room in /tmp for the download itself.
        self.remount(APP_DIR, "rw")
        os.unlink(PACKAGE)
        tmp = os.statvfs("/tmp")
        used = (tmp.f_blocks - tmp.f_bfree) * tmp.f_frsize
        self.remount("/tmp", "size=%d" % (used + 32 * 1024))
        self.install(player, "[OTA] Update failed: Failed to download update file")
        self.assertEqual(snapshot(APP_DIR), before)
        self.assertLess(os.path.getsize(PACKAGE), 60000)  # what fitted stays, as after any failed download

        # With room again the same package installs.
        self.remount("/tmp", "size=64m")
        self.install(player, "[OTA] Installation completed to " + APP_DIR)
        player.wait_for(r"^\[OTA\] Application updated successfully! Triggering restart code 42\.\.\.$")
        self.assertEqual(player.wait_exit(), 42)
        self.assertEqual(read(APP_DIR + "/bin/ze-radio"), NEW_PROGRAM)
        self.assertEqual(self.leftovers("launch.sh"), ["assets", "bin", "data"])

    # An update server that never answers -----------------------------------

    def test_silent_server_check_gives_up_in_time_while_frames_go_on(self):
        server = SilentHttpsServer()
        self.addCleanup(server.stop)
        # curl as found on the search path: the first call stands for a curl
        # that ignores its own time limit and never ends; every later call is
        # the real curl, timed.
        times = self.calls_dir + "/curl-times"
        self.stub("curl", 'if [ ! -e /tmp/.first-curl ]; then echo $$ > /tmp/.first-curl; '
                          'exec sleep 1000; fi\n'
                          'start=$(date +%%s.%%N)\n/usr/bin/curl "$@"\nrc=$?\n'
                          'echo "$start $(date +%%s.%%N) $rc" >> %s\nexit $rc' % times)
        self.addCleanup(lambda: os.path.exists("/tmp/.first-curl") and _kill_quietly(
            int(read("/tmp/.first-curl"))))
        player = self.start_player()
        pid = player.process.pid
        mark = player.mark()
        player.send("X")
        player.wait_for(r"^\[OTA\] Checking for system update at: ", 10, mark)
        started = time.monotonic()
        switches, cpu = main_thread_switches(pid), main_thread_cpu(pid)

        # While the check waits, every command is taken at once.
        delays = []
        retried = None
        while not os.path.exists(times) or len(read(times).splitlines()) < 2:
            self.assertLess(time.monotonic() - started, 45, "the check never gave up:\n"
                            + player.output())
            if retried is None and player.count(r"^\[OTA\] Primary manifest failed") > 0:
                retried = time.monotonic() - started
            sent = time.monotonic()
            self.still_running(player)
            delays.append(time.monotonic() - sent)
            time.sleep(0.3)
        elapsed = time.monotonic() - started
        frames_per_second = (main_thread_switches(pid) - switches) / elapsed
        cpu_used = main_thread_cpu(pid) - cpu

        # The curl that ignored its limit was stopped a second after it.
        self.assertIsNotNone(retried)
        self.assertGreater(retried, 12.5)
        self.assertLess(retried, 15)
        self.assertFalse(_alive(int(read("/tmp/.first-curl"))))
        # The real curl kept its limits: 12 s for the manifest, 10 s for the catalog.
        runs = [tuple(float(x) for x in line.split()) for line in read(times).splitlines()]
        durations = [end - begin for begin, end, _ in runs]
        self.assertEqual([int(rc) for _, _, rc in runs], [28, 28])  # curl's time-out
        for took, limit in zip(durations, (12, 10)):
            self.assertGreater(took, limit - 0.5)
            self.assertLess(took, limit + 2.5)
        self.assertLess(elapsed, 13 + 12 + 10 + 3)
        self.assertEqual(player.count(r"^\[OTA\] Primary manifest failed, trying fallback: "), 1)
        self.assertEqual(player.count(r"^\[OTA\] Syncing channels from: "), 1)
        self.assertEqual(player.count(r"^\[OTA\] (Successfully|Warning)"), 0)
        self.assertEqual(server.requests, ["/ota/ze-radio.json", "/channels.json"])
        self.assertLess(max(delays), 1.0)
        self.assertGreater(frames_per_second, 20)
        self.assertGreater(cpu_used, 0)
        print("\nsilent server: a curl ignoring its limit stopped after %.1f s (limit 12), "
              "the real curl ran %s s (limits 12, 10), check over after %.1f s; %d commands "
              "taken within %.0f ms at most; %.0f frames a second"
              % (retried, ", ".join("%.1f" % d for d in durations), elapsed, len(delays),
                 max(delays) * 1000, frames_per_second), file=sys.stderr)

    def test_download_that_never_ends_leaves_the_player_running(self):
        """The download runs beside the main loop; curl's limit of 120 s ends
        it (waited for only when FAULT_LONG=1, otherwise a few seconds are
        watched)."""
        server = SilentHttpsServer(answers={"/ota/ze-radio.json": manifest_text("1.1.0")})
        self.addCleanup(server.stop)
        times = self.calls_dir + "/curl-times"
        self.stub("curl", 'start=$(date +%%s.%%N)\n/usr/bin/curl "$@"\nrc=$?\n'
                          'echo "$start $(date +%%s.%%N) $rc" >> %s\nexit $rc' % times)
        player = self.start_player()
        pid = player.process.pid
        player.send("X")
        player.wait_for(r"^\[OTA\] Newer version available: 1\.1\.0 \(current: 1\.0\.0\)$", 20)
        player.send("A")
        player.wait_for(r"^\[OTA\] Downloading package update from: %s/ze-radio-1.1.0.zip$"
                        % BASE)
        self.wait_until(lambda: "/ze-radio-1.1.0.zip" in server.requests, 10, "the download")
        started = time.monotonic()
        switches = main_thread_switches(pid)
        watch = 125 if os.environ.get("FAULT_LONG") == "1" else 3
        while time.monotonic() - started < watch and player.count(r"^\[OTA\] Update failed") == 0:
            self.still_running(player)
            time.sleep(0.5)
        elapsed = time.monotonic() - started
        self.assertGreater((main_thread_switches(pid) - switches) / elapsed, 20)
        if watch > 100:
            player.wait_for(r"^\[OTA\] Update failed: Failed to download update file$", 10)
            begin, end, rc = (float(x) for x in read(times).splitlines()[-1].split())
            self.assertEqual(int(rc), 28)
            self.assertGreater(end - begin, 119.5)
            self.assertLess(end - begin, 123)
            print("\ndownload: curl gave up after %.1f s (limit 120)" % (end - begin),
                  file=sys.stderr)
        else:
            self.assertEqual(player.count(r"^\[OTA\] Update failed"), 0)
        self.still_running(player)


def main_thread_cpu(pid):
    """Processor time of the player's main thread, in clock ticks."""
    with open("/proc/%d/task/%d/stat" % (pid, pid)) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def _alive(pid):
    """Whether a process runs (a zombie counts as ended)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def _kill_quietly(pid):
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass

if __name__ == "__main__":
    harness.main(network=True)
