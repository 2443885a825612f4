"""Soak test: the real player in simulator mode, driven at random for a fixed
time inside private namespaces.

    soak.py [SECONDS]        (or SOAK_SECONDS=..., default 120; SOAK_SEED=...)

For that time the test sends random actions through the command pipe and
through standard input (bursts, invalid lines, overlong lines, invalid UTF-8),
lets stub players start, play, die, hang and print garbage, and lets update
checks run against a local HTTPS server that answers well, badly, slowly or
not at all. The player ends only when the test asks it to (the exit dialog or
a plain exit); the test then checks the exit status and starts it again.

It fails on: death by a signal or an unexpected exit status; a player that
stops taking actions; resident memory growing by more than 1 MB after the
warm-up of a run; more open descriptors or threads at the end of a run than
after its warm-up (both counted when the player is idle); a child of the
player left a zombie for more than a few seconds; and any output line that is
not one whole line of a known form.

Memory of the test itself stays bounded: output lines are checked as they
stream, and only a short tail is kept for the failure report.
"""

import collections
import errno
import http.server
import json
import os
import random
import re
import resource
import select
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import harness  # noqa: E402

HOST = "update.ze-radio.vn"  # the build's update server
BASE = "https://" + HOST
RUNNING_VERSION = "1.0.0"
APP_CATALOG = harness.APP_DIR + "/channels.json"
WORK = "/tmp/work"
SOAK = "/tmp/.soak"
GARBAGE = SOAK + "/garbage"
CROSSMIX_MPV = "/mnt/SDCARD/Apps/CrossMix/bin/mpv"
STREAM_SCRIPT = WORK + "/bin/play_stream.sh"
BLUETOOTH_ADDRESS = "/tmp/btdev_addr"
FAVORITES = harness.APP_DIR + "/favorites.json"

RSS_LIMIT_KB = 1024
ZOMBIE_LIMIT = 3.0     # seconds a child of the player may stay a zombie
STALL_LIMIT = 20.0     # seconds the player may take to show an action it was sent
IDLE_LIMIT = 60.0      # seconds the player may take to become idle
EXIT_LIMIT = 30.0      # seconds the player may take to end when asked
TAIL = 200             # output lines kept for a failure report

ACTIONS = ["Up", "Down", "Left", "Right", "Confirm", "Cancel", "OtaUpdate", "ToggleFavorite",
           "PrevCategory", "NextCategory", "VolumeDown", "VolumeUp", "NowPlayingToggle",
           "MuteToggle", "Exit"]
WORDS = {
    "W": "Up", "UP": "Up", "S": "Down", "DOWN": "Down", "LEFT": "Left", "A_LEFT": "Left",
    "RIGHT": "Right", "D_RIGHT": "Right", "A": "Confirm", "PLAY": "Confirm", "CONFIRM": "Confirm",
    "B": "Cancel", "STOP": "Cancel", "CANCEL": "Cancel", "X": "OtaUpdate", "OTA": "OtaUpdate",
    "Y": "ToggleFavorite", "FAV": "ToggleFavorite", "FAVORITE": "ToggleFavorite",
    "L1": "PrevCategory", "PREV_CAT": "PrevCategory", "R1": "NextCategory",
    "NEXT_CAT": "NextCategory", "MINUS": "VolumeDown", "VOL_DOWN": "VolumeDown",
    "PLUS": "VolumeUp", "VOL_UP": "VolumeUp", "START": "NowPlayingToggle",
    "SELECT": "MuteToggle", "TIMER": "MuteToggle", "MENU": "Exit", "EXIT": "Exit",
}
EXIT_WORDS = ("MENU", "EXIT")
# Key bytes of standard input; the exit keys (escape, M, m) are sent only on purpose.
KEY_BYTES = b"WwSsAaDd\n jJBbKkUuXxIiYyQq[Ee]-_+=Pp"
EXIT_KEYS = b"\x1bMm"
OTHER_BYTES = bytes(b for b in range(256) if b not in KEY_BYTES and b not in EXIT_KEYS)

# What the player trims around a command word.
UNICODE_SPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006"
                 "\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000")
STUB_MARK = "~stub"  # lines the stub players print start with this


def _known_lines():
    words = "|".join(re.escape(w) for w in WORDS)
    actions = "|".join(ACTIONS)
    url = re.escape(BASE)
    lines = [
        r"={50}",
        r"=== Starting ZE-Radio Vietnamese Internet Player ===",
        r"\[Catalog\] Loaded \d+ channels from .+",
        r"\[Catalog\] File not found or invalid, using built-in default channels",
        r"\[OTA\] Checking for system update at: %s/ota/ze-radio\.json" % url,
        r"\[OTA\] Primary manifest failed, trying fallback: %s/ota/ze-radio\.json" % url,
        r"\[OTA\] Newer version available: \S+ \(current: %s\)" % re.escape(RUNNING_VERSION),
        r"\[OTA\] Already up to date: %s" % re.escape(RUNNING_VERSION),
        r"\[OTA\] Warning: Could not save channels\.json to disk: .+",
        r"\[OTA\] Successfully updated channels\.json \(version .*\)",
        r"\[OTA\] Channels already up to date \(version .*\)",
        r"\[OTA\] (Manifest|Catalog) refused: .+",
        r"\[OTA\] Syncing channels from: %s/channels\.json" % url,
        r"\[OTA\] Application updated successfully! Triggering restart code 42\.\.\.",
        r"\[OTA\] Update failed: .+",
        r"\[OTA\] Downloading package update from: .+",
        r"\[OTA\] Installation completed to .+",
        r"\[OTA\] Update already being installed; ignoring request for: .+",
        r"\[Input-FIFO\] Received command: (%s) -> (%s)" % (words, actions),
        r"\[Main\] Received action: (%s)" % actions,
        r"\[Main\] Playing station: .+ \(.*\)",
        r"\[Main\] Simulator mode: type keys on standard input, then Enter: .+",
        r"\[Main\] Ignoring Exit during initial 600ms grace period",
        r"\[Main\] Clean exit \(not playing\)\.",
        r"\[Main\] Full Exit selected\. Stopping playback and returning to MainUI\.",
        r"\[Main\] Background Playback Mode selected! Audio daemon will remain active\.",
        r"\[Favorites\] (Added \S+ to|Removed \S+ from) favorites",
        r"\[Favorites\] Kept unreadable \S+ as \S+\.bad",
        r"\[Favorites\] Could not keep unreadable \S+ as \S+\.bad: .+",
        r"\[SleepTimer\] Sleep timer set to: (15m|30m|45m|60m|Tắt)",
        r"\[SleepTimer\] Timer expired! Stopping audio playback\.",
        r"\[AudioPlayer\] Stopping player PID \d+: its station is no longer selected",
        r"\[AudioPlayer\] mpv process spawned successfully \(PID: \d+\)",
        r"\[AudioPlayer\] Using TrimUI stream engine \(.+\)",
        r"\[AudioPlayer\] Failed to spawn play_stream\.sh: .+",
        r"\[AudioPlayer\] stream engine spawned successfully \(PID: \d+\)",
        r"\[AudioPlayer\] Desktop player spawned successfully \(PID: \d+\)",
        r"\[AudioPlayer\] Starting radio stream: .+ \(.*, fallback: .*\)",
        r"\[AudioPlayer\] All audio backends failed for .+",
        r"\[AudioPlayer\] Stream process exited with status: (exit status: -?\d+|signal: \d+)",
        r"\[AudioPlayer\] Error checking child status: .+",
        r"\[AudioPlayer\] Terminating player process PID \d+",
        r"\[AudioPlayer\] Reconnected to background playback session \(PID: \d+, station: .*\)",
        r"\[AudioPlayer\] Removed stale background playback record \(PID: \d+\): .+",
        r"\[AudioPlayer\] Removed stale stream PID file \(PID: -?\d+\): not a process of this player",
        r"\[Framebuffer\] Notice: Could not open /dev/fb0 \(.*\)\. Initializing Desktop Simulator mode\.",
    ]
    return re.compile("^(?:%s)$" % "|".join("(?:%s)" % line for line in lines))


KNOWN_LINE = _known_lines()
FIFO_LINE = re.compile(r"^\[Input-FIFO\] Received command: (\S+) -> (\S+)$")


# Stub players ---------------------------------------------------------------

# One stub serves as installed mpv, desktop mpv, ffplay and the stream engine
# script. Each start picks its behaviour from a random number: die at once,
# die after a while, hang ignoring SIGTERM, print garbage and play, or play.
STUB_PLAYER = r"""#!/bin/sh
case "$1" in -version|--version) exit 0 ;; esac
r=$(od -An -N2 -tu2 /dev/urandom | tr -d ' ')
engine=%(engine)s
playing() {
  if [ "$engine" = 1 ]; then
    sleep 0.$((r %% 10))
    printf 1 > "$ZE_RADIO_PLAYING_MARKER"
    sleep 120 &
    echo " $!" > "$ZE_RADIO_STREAM_PID_FILE"
    wait
  else
    exec sleep 120
  fi
}
case $((r %% 10)) in
  0) exit $((r %% 3)) ;;
  1) sleep $((r %% 4)).$((r %% 10)); exit 1 ;;
  2) trap '' TERM INT HUP; sleep 40 ;;
  3) cat %(garbage)s; cat %(garbage)s >&2; playing ;;
  4) [ "$engine" = 1 ] && exec sleep 120; playing ;;
  *) playing ;;
esac
"""


def garbage_lines(rng):
    """Whole lines of random bytes (invalid UTF-8 among them), under the pipe's
    atomic write size so that a stub writes them at once."""
    out = bytearray()
    for _ in range(8):
        body = bytes(rng.choice([b for b in range(1, 256) if b != 10]) for _ in range(rng.randint(0, 120)))
        out += STUB_MARK.encode() + body + b"\n"
    return bytes(out)


# The update server ------------------------------------------------------------

def catalog_text(rng, version):
    names = ["VOV1 Thời sự", "VOV Giao thông Hà Nội", "Đài Phát thanh Thử", "Kênh Âm nhạc",
             "Radio Sài Gòn", "Tiếng Nói Nhân Dân", "Ca nhạc Bolero", "Tin tức 24h"]
    categories = [{"id": "news", "name": "Tin tức"}, {"id": "music", "name": "Âm nhạc"}]
    channels = []
    for n in range(rng.randint(1, 12)):
        channels.append({
            "id": "ch%d" % n, "name": "%s %d" % (rng.choice(names), n),
            "frequency": rng.choice(["FM 91.0 MHz", "AM 675 kHz", "", "FM 104.5"]),
            "category": rng.choice(["news", "music"]),
            "streamUrl": "http://127.0.0.1:9/s%d.mp3" % n,
            "fallbackUrl": rng.choice(["", "http://127.0.0.1:9/f%d.aac" % n])})
    return json.dumps({"version": version, "categories": categories, "channels": channels},
                      ensure_ascii=False)


class UpdateServer:
    """HTTPS server under the update host name whose every answer is drawn at
    random: well, badly (invalid JSON, 404, 500, cut short), slowly, or not at
    all (the connection is held without an answer). The package download never
    gets a valid archive, so an offered update always fails to install."""

    KINDS = ["good", "good", "good", "invalid", "404", "500", "truncated", "slow", "silent"]

    def __init__(self, rng, stats):
        self.rng = rng
        self.stats = stats
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"
            timeout = 30

            def do_GET(self):
                server.answer(self)

            def log_message(self, *args):
                pass

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = True

            def handle_error(self, request, client_address):
                pass  # curl killed mid-request, TLS cut short: nothing to report

        self._httpd, self._thread = harness.serve_https(Server, Handler, HOST,
                                                        handshake_in_thread=True)

    def pick(self, kinds):
        with self.lock:
            return self.rng.choice(kinds)

    def answer(self, handler):
        path = handler.path
        if path == "/ota/ze-radio.json":
            what = "manifest"
        elif path == "/channels.json":
            what = "catalog"
        else:
            what = "package"
        kind = self.pick(self.KINDS if what != "package" else
                         ["404", "500", "truncated", "garbage", "slow", "silent"])
        with self.lock:
            self.stats["answer %s %s" % (what, kind)] += 1
            version_pick = self.rng.random()
            catalog_seed = self.rng.random()
        if what == "manifest":
            version = "1.0.1" if version_pick < 0.4 else RUNNING_VERSION if version_pick < 0.8 else "0.9"
            good = json.dumps({"id": "ze-radio", "version": version,
                               "downloadUrl": BASE + "/ze-radio-%s.zip" % version}).encode()
        elif what == "catalog":
            good = catalog_text(random.Random(catalog_seed), "soak-%d" % int(catalog_seed * 1000)).encode()
        else:
            good = b"PK\x03\x04" + bytes(random.Random(catalog_seed).randrange(256) for _ in range(300))
        if kind == "slow":
            self.stopping.wait(random.Random(catalog_seed).uniform(1, 8))
            kind = "good" if what != "package" else "garbage"
        if kind == "silent":
            self.stopping.wait(20)  # longer than curl's time limits
            handler.close_connection = True
            return
        if kind in ("good", "garbage"):
            self.send(handler, 200, good)
        elif kind == "invalid":
            self.send(handler, 200, good[:len(good) // 2] + b"}{\xff\x00")
        elif kind in ("404", "500"):
            self.send(handler, int(kind), b"<html>error</html>")
        elif kind == "truncated":
            handler.send_response(200)
            handler.send_header("Content-Length", str(len(good) + 1000))
            handler.end_headers()
            handler.wfile.write(good[:len(good) // 3])
            handler.wfile.flush()
            handler.close_connection = True

    @staticmethod
    def send(handler, code, body):
        handler.send_response(code)
        handler.send_header("Content-Type", "application/json")
        handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        handler.wfile.write(body)

    def stop(self):
        self.stopping.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(5)


# The running player ------------------------------------------------------------

class Failure(AssertionError):
    pass


class RunningPlayer:
    """One run of the player: checks its output as it streams, samples its
    memory, descriptors, threads and children once a second."""

    def __init__(self, argv, env, cwd, soak):
        self.soak = soak
        self.tail = collections.deque(maxlen=TAIL)
        self.lock = threading.Lock()
        self.exit_lines = []          # exit lines seen, in order
        self.received = 0             # "[Main] Received action" lines
        self.last_received = time.monotonic()
        self.fifo_exit_words = 0      # Exit commands the pipe reader reported
        self.fifo_words = 0           # commands the pipe reader reported
        self.grace_lines = 0
        self.started = time.monotonic()
        self.process = subprocess.Popen(argv, env=env, cwd=cwd, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.pid = self.process.pid
        os.set_blocking(self.process.stdin.fileno(), False)
        self.readers = [threading.Thread(target=self._read, args=(self.process.stdout, "out"),
                                         daemon=True),
                        threading.Thread(target=self._read, args=(self.process.stderr, "err"),
                                         daemon=True)]
        for reader in self.readers:
            reader.start()
        # Samples: (time, rss_kb, fds, threads)
        self.rss_max_warm = 0
        self.rss_max_after = 0
        self.warm = True
        self.zombies = {}
        self.samples = 0

    # Output --------------------------------------------------------------

    def _read(self, stream, name):
        pending = b""
        fd = stream.fileno()
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                chunk = b""
            if not chunk:
                break
            pending += chunk
            *lines, pending = pending.split(b"\n")
            for raw in lines:
                self._line(raw, name)
            if len(pending) > 65536:
                self.soak.fault("an output line longer than 64 KiB on std%s: %r..." % (name, pending[:200]))
                pending = b""
        if pending:
            self._line(pending, name)
            self.soak.fault("std%s ended inside a line: %r" % (name, pending[:300]))
        stream.close()

    def _line(self, raw, stream_name):
        if raw.startswith(STUB_MARK.encode()):
            self.soak.stats["stub garbage lines"] += 1
            return
        try:
            line = raw.decode("utf-8")
        except UnicodeDecodeError:
            self.tail.append(repr(raw))
            self.soak.fault("output line is not UTF-8 (cut or mixed): %r" % raw[:300])
            return
        with self.lock:
            self.tail.append(("" if stream_name == "out" else "[stderr] ") + line)
        if not KNOWN_LINE.match(line):
            self.soak.fault("output line of no known form on std%s: %r" % (stream_name, line[:300]))
            return
        if stream_name == "err":
            self.soak.fault("player wrote to standard error: %r" % line[:300])
        self.soak.stats["log lines"] += 1
        if line.startswith("[Main] Received action: "):
            self.soak.stats["actions taken"] += 1
            with self.lock:
                self.received += 1
                self.last_received = time.monotonic()
        elif line.startswith("[Input-FIFO] "):
            word, action = FIFO_LINE.match(line).groups()
            with self.lock:
                self.fifo_words += 1
            if WORDS.get(word) != action:
                self.soak.fault("pipe word mapped to the wrong action: %r" % line)
            if action == "Exit":
                with self.lock:
                    self.fifo_exit_words += 1
        elif line.startswith("[Main] Ignoring Exit"):
            self.grace_lines += 1
        elif line.startswith("[Main] Clean exit") or line.startswith("[Main] Full Exit"):
            with self.lock:
                self.exit_lines.append(0)
        elif line.startswith("[Main] Background Playback"):
            with self.lock:
                self.exit_lines.append(10)
        elif "Triggering restart code 42" in line:
            with self.lock:
                self.exit_lines.append(42)
        for key, text in (("checks started", "[OTA] Checking for system update"),
                          ("newer version offered", "[OTA] Newer version available"),
                          ("already up to date", "[OTA] Already up to date"),
                          ("catalog stored", "[OTA] Successfully updated channels.json"),
                          ("catalog sync requests", "[OTA] Syncing channels"),
                          ("package downloads", "[OTA] Downloading package update"),
                          ("install failures", "[OTA] Update failed"),
                          ("player starts", "[AudioPlayer] Starting radio stream"),
                          ("player exits seen", "[AudioPlayer] Stream process exited"),
                          ("player terminations", "[AudioPlayer] Terminating player process"),
                          ("no backend", "[AudioPlayer] All audio backends failed"),
                          ("reconnections", "[AudioPlayer] Reconnected to background"),
                          ("sleep timer expiries", "[SleepTimer] Timer expired")):
            if line.startswith(text):
                self.soak.stats[key] += 1

    def output_tail(self):
        with self.lock:
            return "\n".join(self.tail)

    # Sampling --------------------------------------------------------------

    def status_fields(self):
        fields = {}
        try:
            with open("/proc/%d/status" % self.pid) as f:
                for row in f:
                    key, _, value = row.partition(":")
                    fields[key] = value.strip()
        except OSError:
            return None
        if fields.get("State", "").startswith("Z"):
            return None
        return fields

    def counts(self):
        """(rss kB, open descriptors, threads), or None once the process has ended."""
        fields = self.status_fields()
        if fields is None:
            return None
        try:
            fds = len(os.listdir("/proc/%d/fd" % self.pid))
            threads = len(os.listdir("/proc/%d/task" % self.pid))
        except OSError:
            return None
        return int(fields["VmRSS"].split()[0]), fds, threads

    def children(self):
        """{pid: state} of the player's child processes."""
        found = {}
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as f:
                    stat = f.read()
            except OSError:
                continue
            fields = stat[stat.rfind(")") + 2:].split()
            if int(fields[1]) == self.pid:
                found[int(entry)] = fields[0]
        return found

    def sample(self):
        counts = self.counts()
        if counts is None:
            return
        rss, _, _ = counts
        self.samples += 1
        if self.warm:
            self.rss_max_warm = max(self.rss_max_warm, rss)
        else:
            self.rss_max_after = max(self.rss_max_after, rss)
        now = time.monotonic()
        children = self.children()
        for pid in list(self.zombies):
            if children.get(pid) != "Z":
                del self.zombies[pid]
        for pid, state in children.items():
            if state == "Z":
                first = self.zombies.setdefault(pid, now)
                if now - first > ZOMBIE_LIMIT and self.process.poll() is None:
                    self.soak.fault("child %d of the player has been a zombie for %.1f s"
                                    % (pid, now - first))
                    self.zombies[pid] = float("inf")


# The soak ------------------------------------------------------------------------

class Soak(harness.SandboxTest):

    def setUp(self):
        super().setUp()
        self.seconds = float(os.environ.get("SOAK_SECONDS", "120"))
        self.seed = int(os.environ.get("SOAK_SEED", str(int(time.time()))))
        self.rng = random.Random(self.seed)
        self.stats = collections.Counter()
        self.faults = []
        self.fault_lock = threading.Lock()
        self.player = None
        self.runs = []            # per run: dict of figures
        self.exit_words_sent = 0  # Exit commands written into the pipe during this run
        self.run_pipe_words = 0   # command words written into the pipe in this run
        self.run_keys = 0         # action keys written on standard input in this run
        self.t0 = time.monotonic()
        harness.loopback_up()
        harness.map_hosts(self, [HOST])
        # The machine's own players are hidden; the stubs come and go.
        self.overlay_dir("/usr/bin", hidden=("mpv", "ffplay"))
        os.makedirs(SOAK)
        harness.write(GARBAGE, garbage_lines(self.rng))
        harness.write(SOAK + "/player", STUB_PLAYER % {"engine": 0, "garbage": GARBAGE}, 0o755)
        harness.write(SOAK + "/engine", STUB_PLAYER % {"engine": 1, "garbage": GARBAGE}, 0o755)
        harness.write(APP_CATALOG, catalog_text(self.rng, "soak-start"))
        harness.write(harness.SYSTEM_JSON, '{"vol": 10}')
        harness.write(self.stub_dir + "/tinymix", "#!/bin/sh\nexit 0\n", 0o755)
        self.server = UpdateServer(self.rng, self.stats)
        self.addCleanup(self.server.stop)

    def tearDown(self):
        if self.player and self.player.process.poll() is None:
            self.player.process.kill()
            self.player.process.wait()
        super().tearDown()

    # Faults --------------------------------------------------------------

    def fault(self, text):
        with self.fault_lock:
            if len(self.faults) < 50:
                self.faults.append("%.1fs: %s" % (time.monotonic() - self.t0, text))
            self.stats["faults"] += 1

    def check_faults(self):
        with self.fault_lock:
            if self.faults:
                tail = self.player.output_tail() if self.player else ""
                raise Failure("\n".join(self.faults) + "\n--- last output:\n" + tail)

    # Backends --------------------------------------------------------------

    def shuffle_backends(self):
        """Makes a random set of player backends available (possibly none)."""
        for path, source in ((CROSSMIX_MPV, "player"), (STREAM_SCRIPT, "engine"),
                             (self.stub_dir + "/ffplay", "player"), (self.stub_dir + "/mpv", "player")):
            want = self.rng.random() < 0.45
            if want and not os.path.exists(path):
                harness.write(path + ".new", harness.read(SOAK + "/" + source), 0o755)
                os.rename(path + ".new", path)
            elif not want and os.path.exists(path):
                os.unlink(path)
        self.stats["backend changes"] += 1

    def shuffle_files(self):
        """Rewrites the files of the console that the player reads while it
        runs: the Bluetooth device address and the settings with the volume."""
        choice = self.rng.random()
        if choice < 0.5:
            if os.path.exists(BLUETOOTH_ADDRESS):
                os.unlink(BLUETOOTH_ADDRESS)
            else:
                harness.write(BLUETOOTH_ADDRESS, self.rng.choice(
                    ["", "00:11:22:33:44:55\n", " AA:BB:CC:DD:EE:FF ", b"\xff\xfe"]))
        else:
            text = self.rng.choice(['{"vol": %d}' % self.rng.randint(0, 20), '{"vol": 25}',
                                    '{"vol": "x"}', "{", "", None, '{"other": 1,\n "vol": 7\n}'])
            if text is None:
                if os.path.exists(harness.SYSTEM_JSON):
                    os.unlink(harness.SYSTEM_JSON)
            else:
                harness.write(harness.SYSTEM_JSON, text)
        self.stats["settings changes"] += 1

    def shuffle_start_files(self):
        """Favourites as a user's card may hold them, before a start."""
        text = self.rng.choice(['["ch1", "ch3"]', "[]", "[", '{"ch1": true}', None, '["ch0"]'])
        if text is None:
            if os.path.exists(FAVORITES):
                os.unlink(FAVORITES)
        else:
            harness.write(FAVORITES, text)

    # Input --------------------------------------------------------------

    def send_pipe(self, data, valid_words=()):
        """Writes bytes into the command pipe, in pieces; fails when the player
        does not take them in time. Every write starts a new line, so that a
        last line left without its line feed by the write before (which the
        reader takes whole only once it sees the end of input) is not joined
        to the first line of this one."""
        data = b"\n" + data
        for line in data.split(b"\n"):
            if len(line) < 64:
                word = line.decode("utf-8", "replace").strip(UNICODE_SPACE).upper()
                if word in WORDS:
                    self.stats["pipe actions"] += 1
                    self.run_pipe_words += 1
                    if word in EXIT_WORDS:
                        self.exit_words_sent += 1
        deadline = time.monotonic() + STALL_LIMIT
        while True:
            try:
                fd = os.open(harness.FIFO, os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC)
                break
            except OSError as e:
                if e.errno not in (errno.ENXIO, errno.ENOENT):
                    raise
                if self.player.process.poll() is not None:
                    return False
                if time.monotonic() > deadline:
                    self.fault("nobody opened the command pipe for %.0f s" % STALL_LIMIT)
                    return False
                time.sleep(0.01)
        try:
            view = memoryview(data)
            while view:
                piece = self.rng.choice([len(view), 1, 7, 512, 4096, 70000])
                try:
                    n = os.write(fd, view[:piece])
                    view = view[n:]
                except BlockingIOError:
                    if time.monotonic() > deadline:
                        self.fault("the command pipe was not read for %.0f s" % STALL_LIMIT)
                        return False
                    select.select([], [fd], [], 0.1)
                except BrokenPipeError:
                    return False
                if self.rng.random() < 0.05:
                    time.sleep(0.01)
        finally:
            os.close(fd)
        self.stats["pipe writes"] += 1
        self.stats["pipe bytes"] += len(data)
        if valid_words:
            self.expect_reaction()
        return True

    def send_stdin(self, data):
        try:
            n = os.write(self.player.process.stdin.fileno(), data)
            self.stats["stdin bytes"] += n
            keys = sum(1 for b in data[:n] if b in KEY_BYTES or b in EXIT_KEYS)
            self.stats["stdin keys"] += keys
            self.run_keys += keys
        except (BlockingIOError, BrokenPipeError):
            pass

    def expect_reaction(self):
        if self.pending_since is None:
            self.pending_since = (time.monotonic(), self.player.received)

    def random_word(self):
        word = self.rng.choice([w for w in WORDS if w not in EXIT_WORDS])
        style = self.rng.random()
        if style < 0.3:
            word = word.lower()
        elif style < 0.4:
            word = " \t" + word + "\u3000 "
        elif style < 0.5:
            word = word + "\r"
        return word

    def random_noise_line(self):
        kind = self.rng.randrange(7)
        if kind == 0:  # invalid UTF-8, sometimes around a word
            return self.rng.choice([b"\xff", b"\xc3", b"UP\x80", b"\xed\xa0\x80DOWN"]) 
        if kind == 1:  # overlong line that ends like an exit command
            return b"x" * self.rng.choice([8185, 8188, 8191, 8192, 8193, 16380, 65536, 200000]) + b"EXIT"
        if kind == 2:  # two words on one line, unknown words
            return self.rng.choice([b"play pause", b"D", b"A_UP", b"D_LEFT", b"exit now", b"", b"  "])
        if kind == 3:  # control bytes and NUL
            return bytes(self.rng.randrange(1, 32) for _ in range(self.rng.randint(1, 20))).replace(b"\n", b"")
        if kind == 4:  # random bytes
            return bytes(self.rng.randrange(256) for _ in range(self.rng.randint(1, 300))).replace(b"\n", b"")
        if kind == 5:  # a word with a non-breaking or odd space inside
            return "PL\u00a0AY".encode()
        return "ẽxit".encode()

    def random_action_burst(self):
        """Sends one random batch of input; returns the time to wait after it."""
        choice = self.rng.random()
        if choice < 0.45:
            count = self.rng.choice([1, 1, 1, 2, 3, 5, 20, 60])
            lines = []
            words = []
            for _ in range(count):
                if self.rng.random() < 0.25:
                    lines.append(self.random_noise_line())
                else:
                    word = self.random_word()
                    words.append(word)
                    lines.append(word.encode())
            data = b"\n".join(lines) + (b"\n" if self.rng.random() < 0.9 else b"")
            self.send_pipe(data, words)
        elif choice < 0.75:
            count = self.rng.choice([1, 1, 2, 4, 10, 50])
            data = bytes(self.rng.choice(KEY_BYTES) if self.rng.random() < 0.8
                         else self.rng.choice(OTHER_BYTES) for _ in range(count))
            self.send_stdin(data)
            self.stats["stdin sends"] += 1
        elif choice < 0.85:
            self.send_pipe(b"OTA\n", ["OTA"])
            self.stats["update checks asked"] += 1
            if self.rng.random() < 0.5:
                time.sleep(self.rng.uniform(0, 3))
                self.send_pipe(self.rng.choice([b"A\n", b"B\n", b"A\nA\n", b"X\n"]), ["A"])
        elif choice < 0.95:
            self.send_pipe(self.rng.choice([b"B\nA\n", b"A\n", b"DOWN\nPLAY\n", b"START\nA\n"]), ["A"])
            self.stats["plays asked"] += 1
        elif choice < 0.975:
            self.shuffle_backends()
        else:
            self.shuffle_files()
        # Random rates: mostly short pauses, sometimes long ones.
        return self.rng.choice([0, 0.005, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2])

    # Checks while running --------------------------------------------------------------

    def check_alive(self):
        """Samples the player; checks that it takes actions; returns False once
        it has ended."""
        player = self.player
        if player.process.poll() is not None:
            return False
        now = time.monotonic()
        if now - self.last_sample >= 1.0:
            self.last_sample = now
            player.sample()
        if self.pending_since is not None:
            since, received = self.pending_since
            if player.received > received:
                self.pending_since = None
            elif now - since > STALL_LIMIT:
                self.fault("no action taken for %.0f s after one was sent" % STALL_LIMIT)
                self.pending_since = None
        return True

    def unexpected_end(self):
        code = self.player.process.returncode
        time.sleep(1)  # let the readers see the last lines
        if code < 0:
            self.fault("player died of signal %d" % -code)
        else:
            self.fault("player ended with status %d without being asked" % code)
        raise Failure("\n".join(self.faults) + "\n--- last output:\n" + self.player.output_tail())

    def wait_idle(self):
        """Stops playback and waits until the player has no child process and a
        steady thread count; returns (rss, fds, threads)."""
        self.send_pipe(b"B\nB\nB\n", ["B"])
        deadline = time.monotonic() + IDLE_LIMIT
        steady = []
        while time.monotonic() < deadline:
            if not self.check_alive():
                self.unexpected_end()
            counts = self.player.counts()
            children = self.player.children()
            if counts and not children:
                steady.append(counts)
                if len(steady) >= 4 and len({c[1:] for c in steady[-4:]}) == 1:
                    self.check_actions_taken()
                    return counts
            else:
                steady = []
            time.sleep(0.5)
        self.fault("player not idle after %.0f s: children %r, counts %r"
                   % (IDLE_LIMIT, self.player.children(), self.player.counts()))
        return self.player.counts() or (0, 0, 0)

    def check_actions_taken(self):
        """Every command the pipe reader reported and every key sent on
        standard input in this run has been taken, once; every command word
        written has been reported. A word written in the instant between the
        reader's end of input and its close of the pipe is dropped with the
        pipe's buffer (no reader and no writer left): such losses are counted,
        not failed."""
        player = self.player
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and not (
                player.fifo_words == self.run_pipe_words
                and player.received == player.fifo_words + self.run_keys):
            time.sleep(0.1)
        if player.received != player.fifo_words + self.run_keys:
            self.fault("%d pipe commands reported and %d keys sent in this run, %d actions taken"
                       % (player.fifo_words, self.run_keys, player.received))
        if player.fifo_words > self.run_pipe_words:
            self.fault("%d pipe commands reported, %d written" % (player.fifo_words, self.run_pipe_words))
        self.stats["pipe words lost"] += max(0, self.run_pipe_words - player.fifo_words)
        self.run_pipe_words = player.fifo_words
        self.run_keys = player.received - player.fifo_words

    # Runs --------------------------------------------------------------

    def start_run(self):
        self.shuffle_start_files()
        env = self.environment(extra={"PATH": self.stub_dir + ":/usr/bin:/bin:/usr/sbin:/sbin"})
        self.player = RunningPlayer([harness.BINARY], env, WORK, self)
        self.stats["runs"] += 1
        self.pending_since = None
        self.run_pipe_words = 0
        self.run_keys = 0
        self.exit_asked = False
        self.last_sample = 0
        if self.rng.random() < 0.3:
            # An exit the moment the pipe is read falls in the start-up grace period.
            self.exit_asked = True
            self.send_pipe(b"EXIT\n")
            self.stats["early exits asked"] += 1

    def ask_exit(self):
        """Ends the run the way a user does; returns the exit status."""
        self.exit_asked = True
        deadline = time.monotonic() + EXIT_LIMIT
        while time.monotonic() < deadline:
            if self.rng.random() < 0.7:
                self.send_pipe(self.rng.choice([b"EXIT\n", b"menu\n", b" Exit \r\n"]))
            else:
                self.send_stdin(self.rng.choice(EXIT_KEYS).to_bytes(1, "big"))
            end = time.monotonic() + 1.5
            while time.monotonic() < end and self.player.process.poll() is None:
                time.sleep(0.05)
            if self.player.process.poll() is not None:
                break
            # The exit dialog is open (something plays): stay, close it again,
            # or leave with or without the radio.
            choice = self.rng.random()
            if choice < 0.15:
                self.send_pipe(b"X\n")
            elif choice < 0.3:
                self.send_pipe(b"EXIT\n")
            elif choice < 0.65:
                self.send_pipe(self.rng.choice([b"A\n", b"confirm\n"]))
            else:
                self.send_pipe(self.rng.choice([b"B\n", b"stop\n"]))
            end = time.monotonic() + 1.5
            while time.monotonic() < end and self.player.process.poll() is None:
                time.sleep(0.05)
            if self.player.process.poll() is not None:
                break
        else:
            self.fault("player did not end within %.0f s of being asked" % EXIT_LIMIT)
            self.player.process.kill()
        return self.finish_run()

    def finish_run(self):
        player = self.player
        code = player.process.wait()
        try:
            player.process.stdin.close()
        except OSError:
            pass
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            with player.lock:
                if player.exit_lines:
                    break
            time.sleep(0.05)
        with player.lock:
            last_exit = player.exit_lines[-1] if player.exit_lines else None
        if code < 0:
            self.fault("player died of signal %d" % -code)
        elif not self.exit_asked:
            self.fault("player ended with status %d without being asked" % code)
        elif last_exit != code:
            self.fault("player ended with status %d after exit line for %r" % (code, last_exit))
        else:
            self.stats["exits with status %d" % code] += 1
        # Exit commands the pipe reader saw beyond those sent (an overlong line
        # cut into pieces would make one).
        if player.fifo_exit_words > self.exit_words_sent:
            self.fault("the pipe reader reported %d Exit commands; %d were sent"
                       % (player.fifo_exit_words, self.exit_words_sent))
        self.exit_words_sent = 0
        return code

    def run_session(self, length, leak_check):
        """One run of the player for `length` seconds; with leak_check, idle
        counts after the warm-up and at the end are compared."""
        self.start_run()
        player = self.player
        started = time.monotonic()
        warm_end = started + max(10.0, 0.25 * length)
        end = started + length
        baseline = None
        while True:
            now = time.monotonic()
            if not self.check_alive():
                if self.exit_asked:
                    # The early exit was acted on after all.
                    self.finish_run()
                    self.stats["early exits taken"] += 1
                    return
                self.unexpected_end()
            if leak_check and baseline is None and now >= warm_end:
                baseline = self.wait_idle()
                player.warm = False
                self.stats["idle checks"] += 1
            if now >= end:
                break
            time.sleep(self.random_action_burst())
            self.check_faults()
        figures = {"length": time.monotonic() - started}
        if leak_check and baseline is not None:
            final = self.wait_idle()
            self.stats["idle checks"] += 1
            player.sample()
            figures.update(rss_warm=player.rss_max_warm, rss_after=player.rss_max_after,
                           fds=(baseline[1], final[1]), threads=(baseline[2], final[2]))
            if player.rss_max_after - player.rss_max_warm > RSS_LIMIT_KB:
                self.fault("resident memory grew from %d kB (warm-up) to %d kB"
                           % (player.rss_max_warm, player.rss_max_after))
            if final[1] > baseline[1]:
                self.fault("open descriptors grew from %d to %d" % (baseline[1], final[1]))
            if final[2] > baseline[2]:
                self.fault("threads grew from %d to %d" % (baseline[2], final[2]))
        figures["status"] = self.ask_exit()
        self.runs.append(figures)

    def test_soak(self):
        self.t0 = time.monotonic()
        self.shuffle_backends()
        deadline = self.t0 + self.seconds
        # A short first run, then runs of about ten minutes (at least one); the
        # actions of each run stop a few seconds before its planned end, for
        # the idle checks and the exit.
        first = min(20.0, 0.15 * self.seconds)
        sessions = max(1, round((self.seconds - first) / 600))
        try:
            self.run_session(first - 3, leak_check=False)
            for n in range(sessions):
                left = deadline - time.monotonic()
                remaining = sessions - n
                share = left / remaining
                if remaining > 1:
                    share *= self.rng.uniform(0.85, 1.15)
                self.run_session(max(20.0, share - 6), leak_check=True)
                self.check_faults()
        finally:
            self.summary()
        self.check_faults()

    def summary(self):
        s = self.stats
        print("\n==== soak summary (seed %d) ====" % self.seed)
        print("duration: %.0f s (asked %.0f s)" % (time.monotonic() - self.t0, self.seconds))
        print("runs: %d, exits: %s" % (s["runs"], ", ".join(
            "%s %d" % (k[len("exits with "):], v) for k, v in sorted(s.items())
            if k.startswith("exits with "))))
        print("actions sent: %d (%d command words in %d pipe writes of %d bytes in all, "
              "%d keys among %d bytes on standard input); actions taken: %d" % (
                  s["pipe actions"] + s["stdin keys"], s["pipe actions"], s["pipe writes"],
                  s["pipe bytes"], s["stdin keys"], s["stdin bytes"], s["actions taken"]))
        print("player starts: %d, ended by themselves: %d, terminated: %d, no backend: %d, "
              "reconnections: %d, backend changes: %d, settings changes: %d" % (
                  s["player starts"], s["player exits seen"], s["player terminations"],
                  s["no backend"], s["reconnections"], s["backend changes"], s["settings changes"]))
        print("update checks: %d started, %d newer offered, %d up to date, %d catalogs stored, "
              "%d package downloads, %d install failures" % (
                  s["checks started"], s["newer version offered"], s["already up to date"],
                  s["catalog stored"], s["package downloads"], s["install failures"]))
        print("server answers: " + ", ".join("%s %d" % (k[len("answer "):], v)
                                             for k, v in sorted(s.items()) if k.startswith("answer ")))
        print("log lines checked: %d, stub garbage lines: %d, early exits asked/taken: %d/%d"
              % (s["log lines"], s["stub garbage lines"], s["early exits asked"],
                 s["early exits taken"]))
        for n, run in enumerate(self.runs):
            if "rss_warm" in run:
                print("run %d: %.0f s, RSS max warm-up %d kB, max after %d kB; fds %d -> %d; "
                      "threads %d -> %d; exit %s" % (
                          n + 1, run["length"], run["rss_warm"], run["rss_after"], run["fds"][0],
                          run["fds"][1], run["threads"][0], run["threads"][1], run["status"]))
            else:
                print("run %d: %.0f s (short run), exit %s" % (n + 1, run["length"], run["status"]))
        print("pipe words lost between the reader's end of input and its close: %d"
              % s["pipe words lost"])
        print("soak process: max RSS %d kB" % resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
        print("faults: %d" % s["faults"])
        sys.stdout.flush()


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1].replace(".", "", 1).isdigit():
        os.environ["SOAK_SECONDS"] = sys.argv.pop(1)
    harness.main(network=True)
