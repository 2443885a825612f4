"""The desktop window on a real X server (Xvfb), driven with xdotool and
photographed with xwd: it shows exactly the frames the snapshot tool draws
for the same states, at whole multiples when enlarged, its keys are the
console's buttons with their autorepeat, and closing it ends the player with
status 0. With the bundled engine playing a station of our own, it shows the
title the station announces, in Vietnamese, soon after its audio is
played."""

import ctypes
import ctypes.util
import json
import os
import re
import select
import shutil
import struct
import subprocess
import sys
import time

import harness
import streamkit
from pictures import MOMENTS, differences, moving_pixels

X_TOOLS = ("Xvfb", "xdotool", "xwd")
SCREEN = (1280, 720)
ACTION = "[Main] Received action: "
NOW_PLAYING = "/tmp/ze_radio_now.json"
# Titles of the loopback station: the second with stacked tone marks and too
# long for its boxes.
FIRST_TITLE = "Mỹ Tâm - Đâu Chỉ Riêng Em"
SECOND_TITLE = ("Sơn Tùng M-TP - Chúng Ta Của Hiện Tại (Bản Phối Mới, Trực Tiếp Từ "
                "Nhà Hát Lớn Hà Nội, Ấn Bản Đặc Biệt Dành Cho Người Nghe Đài)")


# Pictures: (width, height, rows of blue-green-red bytes) ----------------------

class _PngImage(ctypes.Structure):
    """libpng's simplified reading interface (png_image, version 1)."""
    _fields_ = [("opaque", ctypes.c_void_p), ("version", ctypes.c_uint32),
                ("width", ctypes.c_uint32), ("height", ctypes.c_uint32),
                ("format", ctypes.c_uint32), ("flags", ctypes.c_uint32),
                ("colormap_entries", ctypes.c_uint32), ("warning_or_error", ctypes.c_uint32),
                ("message", ctypes.c_char * 64)]


def read_png(path):
    png = ctypes.CDLL(ctypes.util.find_library("png16") or "libpng16.so.16")
    image = _PngImage(version=1)
    if not png.png_image_begin_read_from_file(ctypes.byref(image), path.encode()):
        raise AssertionError("cannot read %s: %s" % (path, image.message.decode()))
    image.format = 0x12  # PNG_FORMAT_BGR
    size = image.width * image.height * 3
    buffer = ctypes.create_string_buffer(size)
    if not png.png_image_finish_read(ctypes.byref(image), None, buffer, 0, None):
        raise AssertionError("cannot read %s: %s" % (path, image.message.decode()))
    data, row = buffer.raw, image.width * 3
    return image.width, image.height, [data[y * row:(y + 1) * row] for y in range(image.height)]


def read_xwd(data):
    """An xwd dump of a 24-bit TrueColor window."""
    fields = struct.unpack(">25I", data[:100])
    header_size, width, height = fields[0], fields[4], fields[5]
    byte_order, bits_per_pixel, bytes_per_line, red_mask = fields[7], fields[11], fields[12], fields[14]
    if (bits_per_pixel, byte_order, red_mask) != (32, 0, 0xFF0000):
        raise AssertionError("unexpected xwd layout %r" % (fields,))
    start = header_size + fields[19] * 12  # after the colour entries
    rows = []
    for y in range(height):
        line = data[start + y * bytes_per_line:start + y * bytes_per_line + width * 4]
        out = bytearray(width * 3)
        out[0::3], out[1::3], out[2::3] = line[0::4], line[1::4], line[2::4]
        rows.append(bytes(out))
    return width, height, rows


def enlarged(picture, factor):
    width, height, rows = picture
    out = []
    for row in rows:
        wide = bytearray(len(row) * factor)
        for k in range(factor):
            for c in range(3):
                wide[3 * k + c::3 * factor] = row[c::3]
        out.extend([bytes(wide)] * factor)
    return width * factor, height * factor, out


def framed(picture, width, height):
    """The picture centred on black in a width x height area."""
    w, h, rows = picture
    x, y = (width - w) // 2, (height - h) // 2
    black = bytes(width * 3)
    side_l, side_r = bytes(x * 3), bytes((width - w - x) * 3)
    return width, height, [black] * y + [side_l + r + side_r for r in rows] + \
        [black] * (height - h - y)


# The X server -----------------------------------------------------------------

def close_request(display, window):
    """Asks the window to close as a window manager does (WM_DELETE_WINDOW)."""
    x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.c_void_p]
    x11.XFlush.argtypes = x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                    ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                    ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("l", ctypes.c_long * 5)]

    class Event(ctypes.Union):
        _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

    dpy = x11.XOpenDisplay(display.encode())
    if not dpy:
        raise AssertionError("cannot open display " + display)
    event = Event()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = window
    event.xclient.message_type = x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
    event.xclient.format = 32
    event.xclient.l[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
    x11.XSendEvent(dpy, window, 0, 0, ctypes.byref(event))
    x11.XFlush(dpy)
    x11.XCloseDisplay(dpy)


class WindowTest(harness.SandboxTest):

    def start_x_server(self):
        """Xvfb on a free display number, inside this test's /tmp."""
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                 "2600x1500x24", "-nolisten", "tcp"], pass_fds=(write_end,),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (xvfb.kill(), xvfb.wait()))
        os.close(write_end)
        number = b""
        while not number.endswith(b"\n"):
            if not select.select([read_end], [], [], 10)[0]:
                raise AssertionError("Xvfb did not start")
            chunk = os.read(read_end, 16)
            if not chunk:
                raise AssertionError("Xvfb ended at start")
            number += chunk
        os.close(read_end)
        self.display = ":" + number.decode().strip()

    def x(self, *argv):
        return subprocess.run(list(argv), env=dict(os.environ, DISPLAY=self.display),
                              check=True, capture_output=True, timeout=20).stdout.decode()

    def keys(self, *names):
        self.x("xdotool", "key", "--delay", "40", *names)

    def screenshot(self):
        return read_xwd(subprocess.run(["xwd", "-silent", "-id", str(self.window)],
                                       env=dict(os.environ, DISPLAY=self.display), check=True,
                                       capture_output=True, timeout=20).stdout)

    def snapshot(self, scenario, name="reference"):
        path = "/tmp/%s" % name
        harness.write(path + ".json", json.dumps(scenario))
        harness.run(os.path.join(harness.BUILD, "ze-radio-snapshot"), path + ".json",
                    path + ".png")
        return read_png(path + ".png")

    def open_window(self, env=None, cwd=None):
        """Xvfb and the player on it, its window found and focused."""
        self.start_x_server()
        self.player = self.start_player(env=dict(env or {}, DISPLAY=self.display), cwd=cwd)
        self.player.wait_for(r"^\[Framebuffer\] Desktop window: 1280x720 ")
        self.window = int(self.x("xdotool", "search", "--sync", "--name", "^ZE-Radio$").split()[0])
        self.x("xdotool", "windowfocus", "--sync", str(self.window))

    def animated(self, scenario, name):
        """The scenario's first moment as the snapshot tool draws it, and the
        pixels that move between its moments (level bars, meters, needles,
        listening time)."""
        moments = [self.snapshot(dict(scenario, frame=f, listeningSeconds=s), "%s%d" % (name, f))
                   for f, s in MOMENTS]
        moving = moving_pixels(moments)
        self.assertLess(len(moving), SCREEN[0] * SCREEN[1] // 20)
        return moments[0], moving

    def assert_shows(self, expected, what, ignored=None, timeout=5.0):
        """Waits until the window shows `expected`, leaving out `ignored`."""
        deadline = time.monotonic() + timeout
        while True:
            shot = self.screenshot()
            if ignored is None and shot == expected:
                return
            if ignored is not None and shot[:2] == expected[:2] and \
                    not differences(shot, expected, ignored):
                return
            if time.monotonic() > deadline:
                break
            time.sleep(0.1)
        self.assertEqual(shot[:2], expected[:2], what + ": window size")
        wrong = differences(shot, expected, ignored)
        rows, columns = [p[0] for p in wrong], [p[1] for p in wrong]
        self.fail("%s: %d pixels differ, in rows %d-%d, columns %d-%d; output:\n%s"
                  % (what, len(wrong), min(rows), max(rows), min(columns), max(columns),
                     self.player.output()))

    def at(self, selection, **scenario):
        """A scenario on the built-in catalog's channel `selection`, with the
        dial come to rest on its frequency (FM numbers only)."""
        with open(os.path.join(harness.SOURCE, "assets/channels.json"), encoding="utf-8") as f:
            frequency = json.load(f)["channels"][selection]["frequency"]
        mhz = float(re.search(r"FM ([0-9.]+) MHz", frequency).group(1))
        return dict(scenario, selection=selection, dial=mhz)

    def actions(self):
        return [line[len(ACTION):] for line in self.player.lines if line.startswith(ACTION)]

    def wait_actions(self, expected):
        self.wait_until(lambda: len(self.actions()) >= len(expected), timeout=5,
                        message="actions %s, got %s" % (expected, self.actions()))
        time.sleep(0.1)
        self.assertEqual(self.actions(), expected, self.player.output())

    def test_window_shows_the_frames_takes_the_buttons_and_closes_as_exit(self):
        self.with_engine()
        self.open_window()
        expected = []

        # The list as the player starts, a moved selection, the now-playing view.
        self.assert_shows(self.snapshot(self.at(0)), "list")
        self.keys("Down", "Down", "Right")
        expected += ["Down", "Down", "Right"]
        self.wait_actions(expected)
        moved = self.snapshot(self.at(6))
        self.assert_shows(moved, "moved selection")
        self.keys("Tab")
        expected.append("NowPlayingToggle")
        now_playing = self.snapshot(self.at(6, screen="NowPlaying"))
        self.assert_shows(now_playing, "now-playing view")

        # Resized: whole multiples when they fit, centred on black otherwise.
        # (xwd sees only what lies on the X screen.)
        self.x("xdotool", "windowmove", "--sync", str(self.window), "0", "0")
        self.x("xdotool", "windowsize", "--sync", str(self.window), "2560", "1440")
        self.assert_shows(enlarged(now_playing, 2), "window at twice the size")
        self.x("xdotool", "windowsize", "--sync", str(self.window), "1400", "800")
        self.assert_shows(framed(now_playing, 1400, 800), "window a little larger")
        self.x("xdotool", "windowsize", "--sync", str(self.window), "1280", "720")
        self.assert_shows(now_playing, "window back at the screen size")

        # Playing, then the exit dialog over the list. The level bars, meters
        # and listening time move with every frame: the pixels that differ
        # between frames drawn at different moments are left out.
        self.keys("Tab", "Return")
        expected += ["NowPlayingToggle", "Confirm"]
        line = self.player.wait_for(r"^\[Main\] Playing station: ")
        station = re.match(r"^\[Main\] Playing station: (.*) \(", line).group(1)
        self.wait_until(lambda: os.path.exists(harness.PLAYING_MARKER), message="playing marker")
        time.sleep(0.2)
        self.keys("Escape")
        expected.append("Exit")
        dialog, moving = self.animated(
            self.at(6, screen="ExitDialog", playback={"state": "Playing", "text": station}), "dialog")
        self.assert_shows(dialog, "exit dialog", ignored=moving)

        # Every other button: X leaves the dialog, then the list takes the
        # rest; Space and keypad Enter play, Backspace stops.
        self.keys("x", "y", "y", "q", "e", "minus", "plus", "equal", "KP_Subtract", "KP_Add",
                  "Shift_R", "Shift_R", "Shift_R", "Shift_R", "Shift_R", "space", "KP_Enter",
                  "BackSpace")
        expected += ["OtaUpdate", "ToggleFavorite", "ToggleFavorite", "PrevCategory",
                     "NextCategory", "VolumeDown", "VolumeUp", "VolumeUp", "VolumeDown",
                     "VolumeUp"] + ["MuteToggle"] * 5 + ["Confirm", "Confirm", "Cancel"]
        self.wait_actions(expected)

        # A held key repeats at the buttons' pace: one action at once, then
        # one every 33 ms after 250 ms.
        self.x("xdotool", "keydown", "Up")
        held = time.monotonic()
        time.sleep(0.6)
        self.x("xdotool", "keyup", "Up")
        held = time.monotonic() - held
        self.wait_until(lambda: len(self.actions()) > len(expected), message="Up")
        time.sleep(0.2)
        ups = self.actions()[len(expected):]
        self.assertEqual(set(ups), {"Up"})
        most = 1 + int((held - 0.25) / 0.033) + 1
        self.assertTrue(most // 2 <= len(ups) <= most, "%d Up in %.2fs" % (len(ups), held))
        expected += ups

        # Closing the window is Exit; nothing plays, so the player ends with 0.
        self.wait_until(lambda: not os.path.exists(harness.PLAYING_MARKER), message="stop")
        close_request(self.display, self.window)
        self.assertEqual(self.player.wait_exit(), 0)
        self.assertEqual(self.actions(), expected + ["Exit"])
        self.assertEqual(self.player.lines[-1], "[Main] Clean exit (not playing).")

    def now_playing(self, title):
        """The engine's now-playing document once it names `title`."""
        found = []

        def named():
            try:
                found[:] = [json.loads(harness.read(NOW_PLAYING))]
            except (OSError, ValueError):
                return False
            return found[0]["title"] == title
        self.wait_until(named, 10, "%r in the now-playing document" % title)
        return found[0]

    def test_window_shows_the_title_the_station_announces(self):
        if shutil.which("ffmpeg") is None or shutil.which("curl") is None:
            self.skipTest("ffmpeg and curl are needed")
        harness.loopback_up()
        os.makedirs("/tmp/www")
        server = streamkit.StreamServer("/tmp/www")
        self.addCleanup(server.stop)
        tone = streamkit.tone_wav("/tmp/tone.wav", 997.618, 44100, 4)
        mp3 = streamkit.encode(tone, "/tmp/tone.mp3", "-c:a", "libmp3lame", "-b:a", "128k",
                               "-write_xing", "0", "-id3v2_version", "0")
        with open(mp3, "rb") as f:
            frames, rate = streamkit.mp3_frames(f.read())
        station = streamkit.IcyStream(server, "/live", frames, 1152 / rate, "audio/mpeg",
                                      metaint=4000, bitrate=128)
        station.title = FIRST_TITLE
        self.with_bundled_engine()
        stations = harness.APP_DIR + "/my_stations.m3u"
        harness.write(stations, "#EXTM3U\n#EXTINF:-1,Đài Thử Nghiệm\n%s\n" % station.url)
        output = "/tmp/.calls/station.wav"
        clock = streamkit.OutputClock(output, rate)
        self.addCleanup(clock.stop)
        self.open_window(env={"ZE_RADIO_STREAM_OUTPUT": output}, cwd=harness.APP_DIR)

        # "Của tôi", after the catalog's categories, plays the first station.
        with open(os.path.join(harness.SOURCE, "assets/channels.json"), encoding="utf-8") as f:
            mine = len(json.load(f)["categories"])
        self.keys("q")
        self.wait_actions(["PrevCategory"])
        self.keys("Return")
        line = self.player.wait_for(r"^\[Main\] Playing station: ")
        shown = re.match(r"^\[Main\] Playing station: (.*) \(", line).group(1)
        self.player.wait_for(r"^\[play_stream\] playing .* with ze-stream$")
        self.wait_until(lambda: os.path.exists(harness.PLAYING_MARKER), 20, "the playing marker")
        self.keys("Tab")
        base = dict(categoryIndex=mine, selection=0, dial=95.0, userStations=stations,
                    playback={"state": "Playing", "text": shown})

        # The first title in the now-playing view.
        first = dict(base, screen="NowPlaying", nowPlaying=self.now_playing(FIRST_TITLE))
        playing, moving = self.animated(first, "first")
        self.assert_shows(playing, "now-playing view with the first title", ignored=moving)

        # The station changes its title: the view shows the new one soon after
        # its audio reaches the output.
        station.title = SECOND_TITLE
        deadline = time.monotonic() + 10
        while True:
            shot = self.screenshot()
            taken = time.monotonic()  # the change, if shown, was on screen by now
            if differences(shot, playing, moving):
                break
            self.assertLess(taken, deadline, "the view did not change:\n" + self.player.output())
        document = self.now_playing(SECOND_TITLE)
        self.wait_until(lambda: clock.reached(station.title_audio[SECOND_TITLE]), 5, "the audio")
        # Negative when the title came on screen before its audio was played.
        delay = taken - clock.reached(station.title_audio[SECOND_TITLE])
        print("\nthe new title was on screen %.2f s after its audio reached the output" % delay)
        # Never before its audio (a little for the clock's own grain): a
        # title shown early is on screen before the audio even counting the
        # screenshot's own time. And soon after it on a loaded machine.
        self.assertGreater(delay, -0.3)
        self.assertLess(delay, 3.0)
        self.assertEqual([played["title"] for played in document["history"][:2]],
                         [SECOND_TITLE, FIRST_TITLE])
        self.assertEqual((document["codec"], document["bitrate"], document["sample_rate"],
                          document["channels"], document["output"]), ("MP3", 128000, 44100, 2, "WAV"))
        second = self.snapshot(dict(first, nowPlaying=document, frame=0, listeningSeconds=0))
        self.assert_shows(second, "now-playing view with the new title", ignored=moving)
        self.assertEqual(self.player.count(r"^\[ze-stream\] now playing: %s$"
                                           % re.escape(SECOND_TITLE)), 1, self.player.output())

        # The list: the footer and the detail panel's history and format rows
        # (which differ from the fixed texts shown without the engine's facts).
        self.keys("Tab")
        listed, moving = self.animated(dict(base, nowPlaying=document), "list")
        self.assertTrue(differences(listed, self.snapshot(base), moving))
        self.assert_shows(listed, "list with the new title", ignored=moving)

        # Stopping takes the engine's document along.
        self.keys("BackSpace")
        self.wait_until(lambda: not os.path.exists(harness.PLAYING_MARKER), 10, "the stop")
        self.wait_until(lambda: not os.path.exists(NOW_PLAYING), 10, "the document's removal")


def window_built():
    with open(harness.BINARY, "rb") as binary:
        return b"[Framebuffer] Desktop window: " in binary.read()


if __name__ == "__main__":
    if os.environ.get(harness.INSIDE_ENV) != "1":
        missing = [tool for tool in X_TOOLS if shutil.which(tool) is None]
        if missing:
            print("SKIP: the window test needs " + ", ".join(missing))
            sys.exit(harness.SKIP)
        if not window_built():
            print("SKIP: this build has no desktop window")
            sys.exit(harness.SKIP)
    harness.main(network=True)
