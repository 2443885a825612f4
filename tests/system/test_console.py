"""The whole program on an emulated console: Debian's arm64 kernel under
qemu-system-aarch64 with a console-like user space (busybox, Debian 11's curl
and glibc 2.31, no mpv, ffmpeg or aplay), a virtio GPU giving /dev/fb0, a
virtio keyboard, a uinput gamepad made in the guest, the snd-aloop sound card
(and three snd-dummy cards that take only some sample formats, channel counts
or rates) and a network that reaches only this test's own update server and
live HLS station. The package is unpacked at /mnt/SDCARD/Apps/ze-radio and
started through its launch.sh; the test drives it only with key presses and
checks the log, the screen (QMP screendump against ze-radio-snapshot, pixel for
pixel), the sound on the loopback card, the processes and the update cycle;
its stream engine also plays on each card by itself.

One boot per screen size: 1280 x 720, then 1024 x 768 with the brick model
file. Fetches the guest's packages first, then runs itself again inside a
private network namespace (unshare --net), so neither qemu nor the servers
can reach beyond this machine. Exits 77
(skipped) when qemu-system-aarch64 cannot run at all, or when a host too busy
for the emulator to keep time spoilt a sound capture every time it was taken
(the console's own timing is watched beside each capture: lost sound counts
against the program only while the console kept time); the test then stops
there and says so. Screenshots that do
not match are kept with a difference image in ./system-console.
"""

import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "e2e"))
import guest  # noqa: E402
import harness  # noqa: E402
from pictures import MOMENTS, differences, moving_pixels  # noqa: E402

SKIP = 77
INSIDE = "ZE_SYSTEM_INSIDE"
SOURCE = Path(os.environ.get("ZE_RADIO_SOURCE", HERE.parent.parent))
BUILD = Path(os.environ.get("ZE_RADIO_BUILD", SOURCE / "build"))
DEVICE_BUILD = Path(os.environ.get("ZE_RADIO_DEVICE_BUILD", SOURCE / "build-device"))
ARTIFACTS = Path(os.environ.get("ZE_SYSTEM_ARTIFACTS", Path.cwd() / "system-console"))

APP = "/mnt/SDCARD/Apps/ze-radio"
LOG = APP + "/ze-radio.log"
UPDATE_HOST = "update.ze-radio.vn"
RADIO_HOST = "radio.test"
STATION_URL = f"http://{RADIO_HOST}/live/live.m3u8"
BROKEN_URL = f"http://{RADIO_HOST}/not-audio.txt"
HTTPS_PORT, HLS_PORT = 8443, 8080
TONE_HZ = 440
# ffmpeg's sine source has amplitude 1/8 (-21.07 dBFS RMS); made stereo, each
# channel carries it 3.01 dB lower.
TONE_DBFS = -24.08
OLD_VERSION = "1.0.0"
NEW_VERSION = os.environ.get("ZE_RADIO_NEXT_VERSION", "1.0.1")
# The console program at both versions, trusting the test update key.
OLD_BINARY = DEVICE_BUILD / "tests" / "system" / "ze-radio-signed"
NEW_BINARY = DEVICE_BUILD / "tests" / "system" / "ze-radio-signed-next"
TEST_KEY = DEVICE_BUILD / "tests" / "update-test-key"
MODULES = ["virtio_pci", "virtio_input", "evdev", "uinput", ("drm_kms_helper",
           "drm_fbdev_overalloc=200"), "virtio_gpu", guest.LOOPBACK_CARD, guest.DUMMY_CARDS,
           "virtio_net"]
LOST_STREAM = "Mất tín hiệu luồng / Thử lại"
# A finished stream of the tone at 44.1 kHz, and what the engine says it
# plays it on, on each dummy card (guest.DUMMY_CARDS).
TONE_FILE_URL = f"http://{RADIO_HOST}/tone-44k.aac"
TONE_FILE_SECONDS = 6
DUMMY_CARD_SETUPS = {
    1: "32-bit 26 channels (left and right on the first two) at 44100 Hz",
    2: "16-bit stereo at 48000 Hz",
    3: "32-bit 10 channels (left and right on the first two) at 44100 Hz",
}
PLAYING_MARKER = "/tmp/ze_radio_playing"
NOW_PLAYING = "/tmp/ze_radio_now.json"

# Keys: the virtio keyboard's QMP names, and the gamepad's codes.
KEYBOARD = {"up": (103, "Up"), "down": (108, "Down"), "left": (105, "Left"),
            "right": (106, "Right"), "esc": (1, "Cancel"), "volumedown": (114, "VolumeDown"),
            "volumeup": (115, "VolumeUp")}
BTN = {"south": (304, "Cancel"), "east": (305, "Confirm"), "north": (307, "ToggleFavorite"),
       "west": (308, "OtaUpdate"), "tl": (310, "PrevCategory"), "tr": (311, "NextCategory"),
       "tl2": (312, "VolumeDown"), "tr2": (313, "VolumeUp"), "select": (314, "MuteToggle"),
       "start": (315, "NowPlayingToggle"), "mode": (316, "Exit")}
IGNORED_BUTTONS = (306, 309)  # BTN_C, BTN_Z


def run_tool(*argv, **kwargs):
    return subprocess.run([str(a) for a in argv], check=True, capture_output=True, **kwargs)


# --- host side: packages, servers, pictures ---------------------------------

def package(work, binary, version):
    """A package of BINARY and the console build's stream engine, built by
    tools/package as `make package` builds it."""
    out = run_tool(SOURCE / "tools" / "package", "--binary", binary, "--engine",
                   DEVICE_BUILD / "ze-stream", "--version", version,
                   "--out", work / f"dist-{version}",
                   env=dict(os.environ, ZE_RADIO_ICON_TOOL=str(BUILD / "ze-radio-icon")))
    return Path(out.stdout.decode().strip())


def test_catalog(work):
    """The built-in catalog with the first station on the test's live HLS
    stream and the second on a document that is no audio."""
    catalog = json.loads((SOURCE / "assets" / "channels.json").read_text())
    catalog["channels"][0].update(streamUrl=STATION_URL, fallbackUrl="")
    catalog["channels"][1].update(streamUrl=BROKEN_URL, fallbackUrl="")
    path = work / "channels.json"
    path.write_text(json.dumps(catalog, ensure_ascii=False, indent=2))
    return path, catalog


class HlsStation:
    """A live HLS stream of a steady tone (ffmpeg -re) served over HTTP on
    loopback, with a plain text file beside it. Its playlist is answered
    only while `playlists` is set (up to a minute later otherwise), so that a
    test can see a player connecting for as long as it needs."""

    def __init__(self, work):
        import functools
        import http.server
        self.playlists = threading.Event()
        self.playlists.set()
        playlists = self.playlists
        root = work / "hls"
        (root / "live").mkdir(parents=True)
        (root / "not-audio.txt").write_text("this is not a radio stream\n" * 200)
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                        f"sine=frequency={TONE_HZ}:sample_rate=44100:duration={TONE_FILE_SECONDS}",
                        "-ac", "2", "-c:a", "aac", "-b:a", "96k", "-f", "adts",
                        str(root / "tone-44k.aac")], check=True)
        # Segments of a few seconds, as a station's are: each costs the guest
        # one curl for the segment and one for the playlist, which its
        # emulated CPU can afford every few seconds, not every second.
        self.ffmpeg = subprocess.Popen(
            ["ffmpeg", "-nostdin", "-v", "error", "-re", "-f", "lavfi", "-i",
             f"sine=frequency={TONE_HZ}:sample_rate=48000", "-ac", "2", "-c:a", "aac",
             "-b:a", "96k", "-f", "hls", "-hls_time", "4", "-hls_list_size", "6",
             "-hls_flags", "delete_segments", str(root / "live" / "live.m3u8")])

        class Quiet(http.server.SimpleHTTPRequestHandler):
            def do_GET(self):
                if self.path.endswith(".m3u8"):
                    playlists.wait(60)
                super().do_GET()

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(
            ("127.0.0.1", HLS_PORT), functools.partial(Quiet, directory=str(root)))
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def stop(self):
        self.ffmpeg.kill()
        self.ffmpeg.wait()
        self.httpd.shutdown()
        self.httpd.server_close()


def snapshot(work, name, scenario):
    """ze-radio-snapshot's picture of SCENARIO as RGB bytes (and its PNG)."""
    scenario_path = work / f"{name}.json"
    scenario_path.write_text(json.dumps(scenario, ensure_ascii=False))
    png = work / f"{name}-expected.png"
    run_tool(BUILD / "ze-radio-snapshot", scenario_path, png)
    raw = run_tool("ffmpeg", "-v", "error", "-i", png, "-f", "rawvideo", "-pix_fmt", "rgb24", "-")
    return png, raw.stdout


def as_picture(width, height, data):
    """RGB bytes as (width, height, rows), for the comparisons that leave
    the moving parts out."""
    row = width * 3
    return width, height, [data[y * row:(y + 1) * row] for y in range(height)]


def keep_mismatch(name, screen_ppm, expected_png, width, height, got, want, ignored=None):
    """Keeps the screenshot, the expected picture and a difference image
    (differing pixels red over a dimmed copy of the expected picture; the
    IGNORED places, (row, pixel) pairs, are left out)."""
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(expected_png, ARTIFACTS / f"{name}-expected.png")
    run_tool("ffmpeg", "-v", "error", "-y", "-i", screen_ppm, ARTIFACTS / f"{name}-screen.png")
    diff = bytearray(len(want))
    differing = 0
    for at in range(0, len(want), 3):
        if got[at:at + 3] != want[at:at + 3] and (
                ignored is None or divmod(at // 3, width) not in ignored):
            diff[at:at + 3] = b"\xff\x00\x00"
            differing += 1
        else:
            diff[at:at + 3] = bytes(v // 3 for v in want[at:at + 3])
    ppm = ARTIFACTS / f"{name}-diff.ppm"
    ppm.write_bytes(b"P6\n%d %d\n255\n" % (width, height) + bytes(diff))
    run_tool("ffmpeg", "-v", "error", "-y", "-i", ppm, ARTIFACTS / f"{name}-diff.png")
    ppm.unlink()
    return differing


def dial_target(frequency):
    match = re.search(r"\d+(\.\d+)?", frequency)
    if not match:
        return 95.0
    value = float(match.group(0))
    return value if "AM" not in frequency.upper() else 93.0


# --- the guest -----------------------------------------------------------

def build_initrd(path, kernel, archive, catalog_path, model):
    image = guest.Initramfs()
    image.add_busybox(guest.fetch_busybox())
    for guest_path, (data, mode) in guest.old_userland(("curl",)).items():
        image.add_file(guest_path, data, mode)
    with zipfile.ZipFile(archive) as z:
        for info in z.infolist():
            if info.is_dir():
                continue
            mode = (info.external_attr >> 16) & 0o777 or 0o644
            image.add_file("/mnt/SDCARD/Apps/" + info.filename, z.read(info), mode)
    image.add_file(APP + "/channels.json", catalog_path.read_bytes())
    image.add_file("/mnt/UDISK/system.json",
                   b'{\n\t"vol":\t16,\n\t"keymap":\t"L,L2,R,R2,X,A,B,Y",\n\t"brightness":\t7\n}\n')
    image.add_file("/etc/trimui_device.txt", model.encode())
    image.add_file("/etc/hosts", f"127.0.0.1 localhost\n10.0.2.100 {UPDATE_HOST}\n"
                   f"10.0.2.101 {RADIO_HOST}\n".encode())
    image.add_file("/etc/nsswitch.conf", b"hosts: files\n")
    image.add_file("/etc/passwd", b"root:x:0:0:root:/root:/bin/sh\n")
    # The console's mixer tool; here it only records what it was asked.
    image.add_file("/usr/bin/tinymix", b'#!/bin/sh\necho "$*" >> /tmp/tinymix.calls\n', 0o755)
    image.add_file("/usr/bin/console_tool",
                   (DEVICE_BUILD / "tests" / "system" / "console_tool").read_bytes(), 0o755)
    image.set_console_init(kernel, MODULES, setup=[
        "export PATH=/usr/bin:/bin:/usr/sbin:/sbin HOME=/root PS1=",
        "mkdir -p /root /dev/shm",
        # The kernel's text console would draw over the program's frames.
        "echo 0 > /sys/class/vtconsole/vtcon1/bind",
        "ip link set lo up; ip link set eth0 up; ip addr add 10.0.2.15/24 dev eth0",
        "ip route add default via 10.0.2.2",
        "mkfifo /tmp/pad; console_tool gamepad /tmp/pad > /tmp/pad.log 2>&1 &",
        "while ! grep -q ready /tmp/pad.log; do sleep 0.1; done"])
    image.write(path)


class Console:
    """The emulated console: the guest, its app log and its keys."""

    def __init__(self, test, vm, work, width, height):
        self.test, self.vm, self.work = test, vm, work
        self.width, self.height = width, height
        self.log = ""
        self.shots = 0

    # Log ------------------------------------------------------------------

    def read_log(self):
        status, text = self.vm.run(f"tail -c +{len(self.log.encode()) + 1} {LOG} 2>/dev/null")
        self.log += text
        return self.log

    def wait_log(self, pattern, start=0, timeout=60, count=1):
        """The log text from START once PATTERN has appeared COUNT times."""
        rx = re.compile(pattern, re.MULTILINE)
        deadline = time.monotonic() + timeout
        while True:
            text = self.read_log()[start:]
            if len(rx.findall(text)) >= count:
                return text
            if time.monotonic() > deadline:
                raise AssertionError(f"no {pattern!r} in the log within {timeout} s:\n{text[-4000:]}")
            time.sleep(0.3)

    def mark(self):
        return len(self.read_log())

    # Keys -----------------------------------------------------------------

    def keyboard(self, qcode, down):
        self.vm.qmp("input-send-event", events=[
            {"type": "key", "data": {"down": down, "key": {"type": "qcode", "data": qcode}}}])

    def pad(self, *events):
        """Gamepad events: (kind, code, value) with kind "key" or "abs"."""
        lines = "".join(f"{kind} {code} {value}\\n" for kind, code, value in events)
        self.vm.check(f"printf '{lines}' > /tmp/pad")

    def press(self, key, expect_count=1):
        """Presses and releases one key of the table (a keyboard qcode or a
        gamepad button name) and checks that it gave exactly one action."""
        start = self.mark()
        if key in KEYBOARD:
            code, action = KEYBOARD[key]
            self.keyboard(key, True)
            self.keyboard(key, False)
        else:
            code, action = BTN[key]
            self.pad(("key", code, 1), ("key", code, 0))
        self.expect_actions(start, action, expect_count, code=code)
        return start

    def expect_actions(self, start, action, count, code=None, settle=0.8):
        text = self.wait_log(rf"^\[Main\] Received action: {action}$", start, count=count)
        time.sleep(settle)
        text = self.read_log()[start:]
        received = re.findall(r"^\[Main\] Received action: (\w+)$", text, re.MULTILINE)
        self.test.assertEqual(received, [action] * count, f"actions after {action}:\n{text}")
        if code is not None:
            events = re.findall(r"^\[Input-Device\] EV_KEY code: (\d+) value: (\d) -> action: (\w+)$",
                                text, re.MULTILINE)
            self.test.assertEqual(len(events), count, text)
            self.test.assertTrue(all(int(c) == code and a == action for c, _, a in events), text)
        return text

    def expect_no_action(self, start, wait=1.5):
        time.sleep(wait)
        text = self.read_log()[start:]
        self.test.assertNotIn("Received action", text)

    # Screen ---------------------------------------------------------------

    def screen_matches(self, name, scenario, timeout=30, listening_since=None, moving=False):
        """Waits until the display shows exactly what ze-radio-snapshot draws
        for SCENARIO; keeps the pictures and a difference image otherwise.
        With LISTENING_SINCE (this machine's monotonic time of a station's
        start) the listening time shown may be any second near the time
        passed since then. With MOVING the screen is animated (level bars,
        needles, the listening time): it is compared outside the squares in
        which the pictures of the same state at different moments differ.
        Returns the expected picture (RGB bytes) and the places left out."""
        scenario = dict({"width": self.width, "height": self.height, "volume": 80}, **scenario)
        expected = {}
        ignored = None
        if moving:
            moments = [snapshot(self.work, f"{name}-moment{frame}",
                                dict(scenario, frame=frame, listeningSeconds=seconds))
                       for frame, seconds in MOMENTS]
            ignored = moving_pixels([as_picture(self.width, self.height, raw)
                                     for _, raw in moments])
            self.test.assertLess(len(ignored), self.width * self.height // 4,
                                 f"screen {name!r}: most of it moves")
            expected[None] = moments[0]

        def same(got, want):
            if ignored is None:
                return got == want
            return not differences(as_picture(self.width, self.height, got),
                                   as_picture(self.width, self.height, want), ignored)

        def candidates():
            if listening_since is None or moving:
                return [None]
            passed = int(time.monotonic() - listening_since)
            return [s for s in range(passed - 4, passed + 2) if s >= 0]

        def picture(seconds):
            if seconds not in expected:
                variant = dict(scenario)
                if seconds is not None:
                    variant["listeningSeconds"] = seconds
                expected[seconds] = snapshot(self.work, f"{name}-{seconds}", variant)
            return expected[seconds]

        deadline = time.monotonic() + timeout
        while True:
            shot = self.work / f"{name}.ppm"
            width, height, got = self.vm.screendump(shot)
            for seconds in candidates():
                expected_png, want = picture(seconds)
                if (width, height) == (self.width, self.height) and same(got, want):
                    self.shots += 1
                    return want, ignored or set()
            if time.monotonic() > deadline:
                break
            time.sleep(1)
        self.test.assertEqual((width, height), (self.width, self.height), "display size")
        differing = keep_mismatch(name, shot, expected_png, width, height, got, want, ignored)
        self.test.fail(f"screen {name!r}: {differing} pixels differ from the snapshot; "
                       f"pictures in {ARTIFACTS}")

    # Processes ------------------------------------------------------------

    def processes(self):
        """(pid, state, command line) of every process but kernel threads."""
        listing = self.vm.check(
            "for p in /proc/[0-9]*; do c=$(tr '\\0' ' ' < $p/cmdline 2>/dev/null); "
            "[ -n \"$c\" ] && echo \"${p#/proc/} $(cut -d' ' -f3 $p/stat) $c\"; done 2>/dev/null; true")
        found = []
        for line in listing.splitlines():
            parts = line.split(" ", 2)
            if len(parts) == 3 and parts[0].isdigit():
                found.append((int(parts[0]), parts[1], parts[2]))
        return found

    def players(self):
        return [p for p in self.processes()
                if re.search(r"ze-stream|play_stream|curl|bin/ze-radio", p[2])]

    def zombies(self):
        return [p for p in self.processes() if p[1] == "Z"]

    def launch(self):
        """Starts the app the way the console's launcher does."""
        self.vm.start(f"cd / && sh {APP}/launch.sh; echo $? > /tmp/launch.status")

    def launch_status(self, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            status, text = self.vm.run("cat /tmp/launch.status 2>/dev/null")
            if status == 0 and text.strip():
                self.vm.check("rm -f /tmp/launch.status")
                return int(text.strip())
            time.sleep(0.5)
        raise AssertionError("launch.sh did not end:\n" + self.read_log()[-3000:])

    def wait_guest(self, command, what, timeout=60):
        """Waits until a shell line succeeds in the guest."""
        deadline = time.monotonic() + timeout
        while self.vm.run(command)[0] != 0:
            if time.monotonic() > deadline:
                raise AssertionError(f"no {what} within {timeout} s:\n" + self.read_log()[-3000:])
            time.sleep(0.5)

    def cpu_seconds(self, program):
        """User and system seconds the running PROGRAM has used so far."""
        fields = self.vm.check(f"cat /proc/$(pidof {program})/stat").rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / 100  # USER_HZ

    def capture(self, seconds):
        """What the loopback card carries over SECONDS, as a dict of numbers."""
        text = self.vm.check(f"console_tool capture {seconds}", timeout=seconds + 60)
        return numbers(self.test, text)

    def start_clock(self, seconds):
        """Starts watching the console's own timing for SECONDS beside what
        the test does next; `clock` gives the result."""
        self.vm.start(f"console_tool clock {seconds} > /tmp/clock.txt")
        self.wait_guest("grep -q watching /tmp/clock.txt", "clock watch", timeout=30)

    def clock(self, timeout=30):
        """How late the console woke from its 10 ms sleeps while watched."""
        self.wait_guest("grep -q steps= /tmp/clock.txt", "clock result", timeout=timeout)
        return numbers(self.test, self.vm.check("cat /tmp/clock.txt"))

    def timed_capture(self, seconds):
        """A capture of SECONDS with the console's timing watched over it."""
        self.start_clock(seconds + 1)
        sound = self.capture(seconds)
        return sound, self.clock()


def numbers(test, text):
    """The "key=value" pairs of a console_tool result, as numbers."""
    values = dict(re.findall(r"(\w+)=(\S+)", text))
    test.assertNotIn("error", values, text)
    return {k: float(v) for k, v in values.items()}


def host_too_busy(clock):
    """Why the console could not keep time while watched, or None. A plain
    program that sleeps 10 ms at a time woke late by more than 50 ms (two
    sound periods), or for more than a quarter of the time: the emulator
    was starved by its host, and sound lost meanwhile says nothing about the
    program. A console left alone wakes a millisecond or so late."""
    watched_ms = clock["steps"] * 10 + clock["late_ms"]
    if clock["stalls"] == 0 and clock["late_ms"] < watched_ms / 4:
        return None
    return (f"host too busy: the emulated console's own 10 ms sleeps woke up to "
            f"{clock['longest_ms']:.0f} ms late ({clock['stalls']:.0f} times by more than 50 ms, "
            f"{clock['late_ms']:.0f} ms lost in {watched_ms / 1000:.0f} s)")


# Captures taken again when the host starved the emulator during one.
SOUND_ATTEMPTS = 3


# --- the checks ----------------------------------------------------------

class ConsoleTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="ze-system-"))
        cls.kernel = guest.fetch_kernel()
        cls.catalog_path, cls.catalog = test_catalog(cls.work)
        cls.old_package = package(cls.work, OLD_BINARY, OLD_VERSION)
        new_package = package(cls.work, NEW_BINARY, NEW_VERSION)
        cls.new_binary_md5 = hashlib.md5(
            zipfile.ZipFile(new_package).read("ze-radio/bin/ze-radio")).hexdigest()
        # Signed with the test key. The catalog the new version takes up once
        # it is current is the test's own, so the list stays as it was.
        run_tool(sys.executable, SOURCE / "tools" / "publish-update", "--package", new_package,
                 "--catalog", cls.catalog_path, "--version", NEW_VERSION,
                 "--base-url", f"https://{UPDATE_HOST}", "--secret-key", TEST_KEY,
                 cls.work / "site")
        cls.update_server = harness.HttpsServer(str(cls.work / "site"), port=HTTPS_PORT,
                                                name=UPDATE_HOST)
        cls.station = HlsStation(cls.work)
        cls.started = time.monotonic()

    @classmethod
    def tearDownClass(cls):
        cls.station.stop()
        cls.update_server.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def boot(self, name, width, height, model):
        initrd = self.work / f"{name}.cpio"
        build_initrd(initrd, self.kernel, self.old_package, self.catalog_path, model)
        relay = f"{sys.executable} -B {HERE / 'relay.py'}"
        netdev = (f"user,id=net0,restrict=on,"
                  f"guestfwd=tcp:10.0.2.100:443-cmd:{relay} {HTTPS_PORT},"
                  f"guestfwd=tcp:10.0.2.101:80-cmd:{relay} {HLS_PORT}")
        vm = guest.Console(self.kernel, initrd, self.work, memory="768M", cpus=2,
                           append="vt.global_cursor_default=0",
                           extra_args=["-device", f"virtio-gpu-pci,xres={width},yres={height}",
                                       "-device", "virtio-keyboard-pci",
                                       "-netdev", netdev, "-device", "virtio-net-pci,netdev=net0,romfile="])
        self.addCleanup(lambda: print(f"--- guest {name} console (last lines) ---\n"
                                      + vm.close()[-3000:]))
        print(f"{name}: booted in {vm.boot_seconds:.1f} s", flush=True)
        return Console(self, vm, self.work, width, height)

    def scenario(self, selection=0, **extra):
        channel = self.catalog["channels"][selection]
        return dict({"catalog": str(self.catalog_path), "selection": selection,
                     "dial": dial_target(channel["frequency"])}, **extra)

    def with_engine_facts(self, c, scenario):
        """SCENARIO with the engine's now-playing document as the player
        reads it (the stream's real format in the panel), once the engine
        has its bitrate."""
        found = {}
        deadline = time.monotonic() + 30
        while not found.get("bitrate"):
            self.assertLess(time.monotonic(), deadline, "no bitrate in " + NOW_PLAYING)
            status, text = c.vm.run(f"cat {NOW_PLAYING}")
            try:
                found = json.loads(text) if status == 0 else {}
            except ValueError:
                found = {}
            time.sleep(0.5)
        return dict(scenario, nowPlaying=found)

    def start_app(self, c, count=1):
        c.launch()
        c.wait_log(r"^\[Framebuffer\] Mapped /dev/fb0: ", count=count, timeout=90)
        time.sleep(1)  # past the start-up grace period for Exit

    def test_console_1280x720(self):
        c = self.boot("smart-pro", 1280, 720, "TrimUI Smart Pro\n")
        self.check_userland(c)
        self.check_start_and_display(c, 1280, 720)
        self.check_keys(c)
        self.check_volume(c)
        self.check_playback(c)
        self.check_sound_cards(c)
        self.check_update_dialog_and_error(c)
        self.check_update_cycle(c)
        start = c.press("mode")
        c.wait_log(r"^\[Main\] Clean exit \(not playing\)\.$", start)
        self.assertEqual(c.launch_status(), 0)
        # The first start, the one after leaving with playback, the new version.
        self.check_clean_end(c, launches=3)
        print(f"1280x720: {c.shots} screens matched; {time.monotonic() - self.started:.0f} s so far",
              flush=True)

    def test_console_1024x768_brick(self):
        c = self.boot("brick", 1024, 768, "TrimUI Brick\n")
        self.check_start_and_display(c, 1024, 768)
        start = c.press("volumeup")
        c.screen_matches("brick-volume-notice", self.scenario(volume=85, volumeCounter=1))
        c.press("volumedown")
        c.press("down")
        c.screen_matches("brick-list-second", self.scenario(selection=1), timeout=45)
        del start
        start = c.mark()
        c.pad(("key", BTN["mode"][0], 1), ("key", BTN["mode"][0], 0))
        c.wait_log(r"^\[Main\] Clean exit \(not playing\)\.$", start)
        self.assertEqual(c.launch_status(), 0)
        self.check_clean_end(c, launches=1)

    # Parts of the scenario ---------------------------------------------------

    def check_userland(self, c):
        self.assertIn("curl 7.74.0", c.vm.check("curl --version"))
        self.assertIn("release version 2.31", c.vm.check("/lib/aarch64-linux-gnu/libc.so.6"))
        status, found = c.vm.run("command -v mpv ffmpeg ffplay aplay")
        self.assertNotEqual(status, 0, f"the console has no players, found: {found}")
        listing = c.vm.check(f"ls {APP} {APP}/bin")
        for name in ("launch.sh", "channels.json", "config.json", "ze-radio", "play_stream.sh",
                     "ze-stream"):
            self.assertIn(name, listing)
        # The update server answers through the network's one open door.
        self.assertIn('"version"', c.vm.check(f"curl -4 -k -s https://{UPDATE_HOST}/ota/ze-radio.json"))

    def check_start_and_display(self, c, width, height):
        # A program that ran before left the display panned down.
        info = c.vm.check(f"console_tool fb-pan {height}")
        self.assertIn(f"yoffset={height}", info)
        self.start_app(c)
        log = c.read_log()
        self.assertIn(f"[Framebuffer] Mapped /dev/fb0: {width}x{height} stride: {width * 4} bytes",
                      log)
        self.assertIn("[Input] Opened input device: /dev/input/event0", log)
        self.assertIn("[Input] Opened input device: /dev/input/event1", log)
        info = c.vm.check("console_tool fb-info")
        self.assertIn("xoffset=0 yoffset=0", info, "the pan is reset")
        self.assertIn(f"xres={width} yres={height}", info)
        c.screen_matches(f"list-{width}x{height}", self.scenario())

    def check_keys(self, c):
        for _ in range(8):
            c.press("down")
        c.screen_matches("list-scrolled", self.scenario(selection=8), timeout=45)
        # Autorepeat of a held keyboard key: one action for the press and one
        # for each repeat the kernel makes; the release gives none.
        start = c.mark()
        c.keyboard("up", True)
        time.sleep(0.8)
        c.keyboard("up", False)
        text = c.wait_log(r"^\[Main\] Received action: Up$", start)
        time.sleep(1)
        text = c.read_log()[start:]
        repeats = len(re.findall(r"EV_KEY code: 103 value: 2 ", text))
        presses = len(re.findall(r"EV_KEY code: 103 value: 1 ", text))
        self.assertEqual(presses, 1, text)
        self.assertGreaterEqual(repeats, 1, "the held key repeats:\n" + text)
        self.assertEqual(text.count("[Main] Received action: Up"), 1 + repeats, text)
        # Back to the top of the list.
        for _ in range(8 - min(8, 1 + repeats)):
            c.press("up")
        for key in ("right", "left", "esc"):
            c.press(key)
        # The hat: one action per direction, none for centring or for the
        # same direction again without centring.
        for axis, value, action in ((17, 1, "Down"), (17, -1, "Up"), (16, 1, "Right"),
                                    (16, -1, "Left")):
            start = c.mark()
            c.pad(("abs", axis, value), ("abs", axis, value))
            c.expect_actions(start, action, 1)
            start = c.mark()
            c.pad(("abs", axis, 0))
            c.expect_no_action(start, wait=0.5)
        for key in ("tr", "tl", "south", "start", "start", "north", "north"):
            c.press(key)
        start = c.mark()
        for _ in range(5):
            c.press("select")
        labels = re.findall(r"^\[SleepTimer\] Sleep timer set to: (\S+)$", c.read_log()[start:],
                            re.MULTILINE)
        self.assertEqual(labels, ["15m", "30m", "45m", "60m", "Tắt"])
        start = c.mark()
        c.pad(*[("key", code, value) for code in IGNORED_BUTTONS for value in (1, 0)])
        c.expect_no_action(start)
        c.screen_matches("list-after-keys", self.scenario())

    def check_volume(self, c):
        c.vm.check("rm -f /tmp/tinymix.calls")
        c.press("volumeup")
        c.screen_matches("volume-notice", self.scenario(volume=85, volumeCounter=1), timeout=10)
        self.assertIn('"vol": 17', c.vm.check("cat /mnt/UDISK/system.json"))
        c.press("volumedown")
        # A held shoulder button: press and two autorepeats, three steps.
        start = c.mark()
        code = BTN["tl2"][0]
        c.pad(("key", code, 1), ("key", code, 2), ("key", code, 2), ("key", code, 0))
        c.expect_actions(start, "VolumeDown", 3, code=code)
        start = c.mark()
        code = BTN["tr2"][0]
        c.pad(("key", code, 1), ("key", code, 2), ("key", code, 2), ("key", code, 0))
        c.expect_actions(start, "VolumeUp", 3, code=code)
        calls = c.vm.check("cat /tmp/tinymix.calls").split("\n")
        calls = [line for line in calls if line]
        # 85, 80, 75, 70, 65, 70, 75, 80: levels 17, 16, 15, 14, 13, 14, 15, 16.
        self.assertEqual(calls, [f"set 3 {(20 - level) * 38 // 20}"
                                 for level in (17, 16, 15, 14, 13, 14, 15, 16)])
        self.assertIn('"vol": 16', c.vm.check("cat /mnt/UDISK/system.json"))
        self.assertIn('"brightness":\t7', c.vm.check("cat /mnt/UDISK/system.json"))

    def check_playback(self, c):
        """A plays the live station through play_stream.sh and ze-stream:
        connecting until the station answers, then playing, the tone on the
        loopback card without a gap. Exit and A leave it playing (status
        10), a new start takes it up again, and B stops it for good."""
        name = self.catalog["channels"][0]["name"]
        playing = self.scenario(playback={"state": "Playing", "text": name})
        self.station.playlists.clear()
        try:
            start = c.press("east")
            c.wait_log(r"^\[play_stream\] playing http://\S+ with ze-stream$", start)
            connecting = c.screen_matches(
                "connecting", self.scenario(playback={"state": "Connecting", "text": name}),
                moving=True)
            self.assertNotEqual(c.vm.run(f"test -e {PLAYING_MARKER}")[0], 0)
        finally:
            self.station.playlists.set()
        c.wait_guest(f"test -e {PLAYING_MARKER}", "playing marker", timeout=90)
        playing = self.with_engine_facts(c, playing)
        shown = c.screen_matches("playing", playing, moving=True)
        self.assertTrue(differences(as_picture(c.width, c.height, connecting[0]),
                                    as_picture(c.width, c.height, shown[0]),
                                    connecting[1] | shown[1]),
                        "connecting and playing look alike outside their moving parts")
        used, since = c.cpu_seconds("ze-radio"), time.monotonic()
        self.judge_sound(lambda: c.timed_capture(20), lambda sound: self.check_tone(sound, 20),
                         "20 s of the station")
        share = (c.cpu_seconds("ze-radio") - used) / (time.monotonic() - since)
        print(f"the player used {share:.0%} of one emulated CPU while playing", flush=True)
        c.press("start")
        c.screen_matches("now-playing", dict(playing, screen="NowPlaying"), moving=True)
        c.press("start")

        # Leaving with playback: the engine goes on and the next start finds it.
        start = c.press("mode")
        c.screen_matches("exit-dialog", dict(playing, screen="ExitDialog"), moving=True)
        c.press("east")
        self.assertEqual(c.launch_status(), 0)
        log = c.read_log()[start:]
        self.assertIn("[Main] Background Playback Mode selected! Audio daemon will remain active.",
                      log)
        self.assertRegex(log, r"\[launch\] .* ze-radio ended, playback continues in the background")
        running = [p[2] for p in c.players()]
        self.assertEqual(sum("bin/ze-stream" in p for p in running), 1, running)
        self.assertFalse([p for p in running if "bin/ze-radio" in p], running)
        self.judge_sound(lambda: c.timed_capture(5), lambda sound: self.check_tone(sound, 5),
                         "5 s of background playback")
        start = c.mark()
        self.start_app(c, count=2)
        c.wait_log(r"^\[AudioPlayer\] Reconnected to background playback session "
                   rf"\(PID: \d+, station: {re.escape(name)}\)$", start)
        c.screen_matches("reconnected", self.with_engine_facts(c, playing), moving=True)

        # B stops it, and nothing of it is left.
        c.press("south")
        deadline = time.monotonic() + 30
        while [p for p in c.players() if "bin/ze-radio" not in p[2]]:
            self.assertLess(time.monotonic(), deadline, f"still running: {c.players()}")
            time.sleep(0.5)
        self.assertNotEqual(c.vm.run(f"test -e {PLAYING_MARKER}")[0], 0)
        self.assertEqual(c.capture(2)["sound_blocks"], 0, "silence after the stop")
        c.screen_matches("stopped", self.scenario())

    def check_sound_cards(self, c):
        """The engine on cards that take only some layouts, with a 44.1 kHz
        stream that ends: on each dummy card it plays to the end in what the
        card takes, as its log says; on the loopback, held by its capture to
        32-bit mono at 48 kHz, the tone arrives resampled and mixed down."""
        engine = f"{APP}/bin/ze-stream"
        for card, setup in DUMMY_CARD_SETUPS.items():
            status, text = c.vm.run(f"{engine} --card {card} {TONE_FILE_URL} 2>&1", timeout=90)
            self.assertEqual(status, 0, text)
            self.assertIn(f"[ze-stream] sound card /dev/snd/pcmC{card}D0p: {setup}, buffer ", text)
            self.assertIn("[ze-stream] audio started", text)
            self.assertIn("[ze-stream] stream ended", text)
            rate = re.search(r" at (\d+) Hz", setup).group(1)
            if rate != "44100":
                self.assertIn(f"[ze-stream] output at {rate} Hz (the stream has 44100 Hz)", text)
        def take():
            c.vm.start(f"console_tool capture {TONE_FILE_SECONDS + 8} s32 1 > /tmp/capture.txt")
            c.wait_guest("grep -q capturing /tmp/capture.txt", "capture")
            c.start_clock(TONE_FILE_SECONDS + 8)
            status, text = c.vm.run(f"{engine} --card 0 {TONE_FILE_URL} 2>&1", timeout=90)
            self.assertEqual(status, 0, text)
            self.assertIn("[ze-stream] sound card /dev/snd/pcmC0D0p: 32-bit mono (left and right "
                          "mixed) at 48000 Hz", text)
            self.assertIn("[ze-stream] output at 48000 Hz (the stream has 44100 Hz)", text)
            c.wait_guest("grep -q frames= /tmp/capture.txt", "capture result", timeout=30)
            return numbers(self, c.vm.check("cat /tmp/capture.txt")), c.clock()

        def judge(sound):
            # The tone without a gap from its first sound to its last (which
            # FFmpeg's probing of the stream's start may leave out a second of).
            self.assertGreaterEqual(sound["sound_blocks"], TONE_FILE_SECONDS * 100 // 2, sound)
            self.assertEqual(sound["gaps"], 0, sound)
            self.assertEqual(sound["overruns"], 0, sound)
            self.assertAlmostEqual(sound["frequency"], TONE_HZ, delta=1.0, msg=sound)
            self.assertAlmostEqual(sound["level_dbfs"], TONE_DBFS, delta=0.5, msg=sound)

        self.judge_sound(take, judge, "the 44.1 kHz stream on the loopback at 48 kHz mono")

    def judge_sound(self, take, judge, what):
        """Takes sound with TAKE (which returns the capture and the console's
        timing over it) and judges it with JUDGE. A capture that fails while
        the console could not keep time is taken again, after a pause, up to
        SOUND_ATTEMPTS times; if the host starves the emulator every time,
        the test ends there as skipped with that reason instead of failing
        the program (what a starved console played since, and shows, says
        nothing of the program either)."""
        reason = None
        for attempt in range(1, SOUND_ATTEMPTS + 1):
            sound, clock = take()
            print(f"{what}: the console's 10 ms sleeps woke up to {clock['longest_ms']:.0f} ms "
                  f"late, {clock['late_ms']:.0f} ms in all", flush=True)
            try:
                judge(sound)
                return sound
            except AssertionError:
                reason = host_too_busy(clock)
                if reason is None:
                    raise  # the console kept time: the program lost the sound
                print(f"{what}, attempt {attempt} of {SOUND_ATTEMPTS}: {reason}; sound {sound}",
                      flush=True)
                time.sleep(10)
        self.skipTest(f"{what}: {reason}")

    def check_tone(self, sound, seconds):
        """The capture carried the station's tone from its first sample to its
        last: the right pitch and level, no silent 10 ms block, no overrun."""
        self.assertLess(sound["sound_from_ms"], 20, sound)
        self.assertGreaterEqual(sound["sound_blocks"], seconds * 100 - 2, sound)
        self.assertEqual(sound["silent_blocks"], 0, sound)
        self.assertEqual(sound["overruns"], 0, sound)
        self.assertAlmostEqual(sound["frequency"], TONE_HZ, delta=1.0, msg=sound)
        self.assertAlmostEqual(sound["level_dbfs"], TONE_DBFS, delta=0.5, msg=sound)

    def check_update_cycle(self, c):
        """X, A: the newer package and its signature come over HTTPS, it is
        installed, the program ends with 42, launch.sh starts the new
        version, and that one offers nothing more."""
        start = c.press("west")
        c.wait_log(rf"^\[OTA\] Newer version available: {NEW_VERSION} \(current: {OLD_VERSION}\)$",
                   start)
        c.press("east")
        c.wait_log(r"^\[OTA\] Application updated successfully! Triggering restart code 42\.\.\.$",
                   start, timeout=300)
        log = c.wait_log(r"^\[Framebuffer\] Mapped /dev/fb0: ", start, timeout=90)
        self.assertIn(f"[OTA] Installation completed to {APP}", log)
        self.assertRegex(log, r"\[launch\] .* ze-radio updated itself; starting the new version")
        self.assertEqual(c.vm.check(f"md5sum {APP}/bin/ze-radio").split()[0], self.new_binary_md5)
        for name in (f"ze-radio-{NEW_VERSION}.zip", f"ze-radio-{NEW_VERSION}.zip.sig"):
            self.assertEqual(self.update_server.requests.count("/" + name), 1, name)
        time.sleep(1)  # past the start-up grace period
        start = c.press("west")
        c.wait_log(rf"^\[OTA\] Already up to date: {NEW_VERSION}$", start)
        c.press("south")
        self.assertNotIn("Newer version available", c.read_log()[start:])

    def check_update_dialog_and_error(self, c):
        start = c.press("west")
        c.wait_log(rf"^\[OTA\] Newer version available: {NEW_VERSION} \(current: {OLD_VERSION}\)$",
                   start)
        c.screen_matches("update-dialog", self.scenario(
            screen="UpdateDialog", update={"state": "UpdateAvailable", "version": NEW_VERSION}))
        c.press("south")
        # A station whose address is no audio ends in the lost-stream state.
        c.press("down")
        started = time.monotonic()
        start = c.press("east")
        c.wait_log(r"^\[AudioPlayer\] Stream process exited with status: ", start)
        # The header keeps offering the update that was turned down.
        c.screen_matches("error-state", self.scenario(
            selection=1, playback={"state": "Error", "text": LOST_STREAM},
            update={"state": "UpdateAvailable", "version": NEW_VERSION}),
            listening_since=started)
        c.press("south")
        c.press("up")

    def check_clean_end(self, c, launches):
        time.sleep(1)
        self.assertNotIn(guest.SHELL_ENDED_MARKER, c.vm.output(), "the control shell lived on")
        self.assertEqual(c.players(), [], "no process left")
        self.assertEqual(c.zombies(), [], "no zombie")
        log = c.read_log()
        self.assertTrue(log.endswith("\n"), "the log ends with a whole line")
        self.assertEqual(log.count("=== Starting ZE-Radio Vietnamese Internet Player ==="), launches)
        self.assertEqual(len(re.findall(r"^\[launch\] .* starting ze-radio$", log, re.MULTILINE)),
                         launches)
        # Besides the player's lines, busybox's shell may report a job of the
        # stream script that a stop killed ("Killed"): a whole line too.
        for line in log.splitlines():
            self.assertRegex(line, r"^(\[[\w-]+\] |=+$|=== |Killed$|Terminated$)",
                             "every log line is whole")


def main():
    problem = guest.qemu_problem()
    if problem:
        print(f"SKIP: {problem}")
        return SKIP
    if os.environ.get(INSIDE) != "1":
        # Everything from the archive is fetched here, before the network
        # namespace: inside it nothing can be reached.
        try:
            guest.prefetch(("curl",))
        except guest.GuestError as error:
            print(f"FAIL: cannot fetch the guest's packages: {error}")
            return 1
        flags = ["--net"] if os.geteuid() == 0 else ["--net", "--map-root-user"]
        inner = ["unshare", *flags, sys.executable, "-B", str(Path(__file__).resolve()), *sys.argv[1:]]
        env = dict(os.environ, **{INSIDE: "1", guest.OFFLINE: "1"})
        return subprocess.run(inner, env=env).returncode
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    for path in (OLD_BINARY, NEW_BINARY, TEST_KEY, DEVICE_BUILD / "ze-stream",
                 DEVICE_BUILD / "tests" / "system" / "console_tool", BUILD / "ze-radio-snapshot"):
        if not path.is_file():
            print(f"FAIL: {path} is missing: build it with `make test-system`")
            return 1
    started = time.monotonic()
    result = unittest.main(exit=False, verbosity=2).result
    print(f"system console test ran {time.monotonic() - started:.0f} s")
    if not result.wasSuccessful():
        return 1
    for test, reason in result.skipped:
        print(f"SKIP: {test.id()}: {reason}")
    return SKIP if result.skipped else 0


if __name__ == "__main__":
    sys.exit(main())
