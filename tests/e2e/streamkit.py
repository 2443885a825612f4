"""Fixtures for end-to-end tests of the stream engine: test tones encoded
with ffmpeg (and fdkaac for HE-AAC), a loopback HTTPS server with routes for
live HLS playlists, Icecast-style endless streams and faults, the engine run
as a process, and pure-Python checks of the PCM it writes (WAV header, tone
level and frequency, gaps and phase jumps)."""

import array
import functools
import http.server
import math
import os
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import harness

TOOLS_ENV = "ZE_TEST_TOOLS"
TOOLS_ERROR_ENV = "ZE_TEST_TOOLS_ERROR"


def fetch_test_tools():
    """Outside the sandbox (whose network namespace has no network): fetches
    fdkaac with tools/fetch-test-tools and hands its folder, or why it could
    not be had, to the tests inside through the environment."""
    if os.environ.get(harness.INSIDE_ENV) == "1" or os.environ.get(TOOLS_ENV):
        return
    script = os.path.join(harness.SOURCE, "tools", "fetch-test-tools")
    try:
        done = subprocess.run([script], capture_output=True, text=True, timeout=300)
    except (OSError, subprocess.TimeoutExpired) as error:
        os.environ[TOOLS_ERROR_ENV] = str(error)
        return
    if done.returncode == 0 and done.stdout.strip():
        os.environ[TOOLS_ENV] = done.stdout.strip()
    else:
        os.environ[TOOLS_ERROR_ENV] = (done.stderr.strip().splitlines() or ["failed"])[-1]


def fdkaac():
    """The fdkaac program, or None with the reason."""
    folder = os.environ.get(TOOLS_ENV)
    if folder and os.access(os.path.join(folder, "bin", "fdkaac"), os.X_OK):
        return os.path.join(folder, "bin", "fdkaac"), None
    return None, os.environ.get(TOOLS_ERROR_ENV, "tools/fetch-test-tools was not run")


def engine_binary():
    path = os.environ.get("ZE_STREAM_BIN")
    return harness.reachable(path) if path else os.path.join(harness.BUILD, "ze-stream")


# Sources ----------------------------------------------------------------------

def ffmpeg(*args):
    harness.run("ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", *args)


def tone_wav(path, frequency, rate, seconds, left=0.5, right=0.25):
    """A stereo WAV of one sine tone, louder on the left than on the right
    (so that swapped or mixed channels show)."""
    expr = "%g*sin(2*PI*%s*t)|%g*sin(2*PI*%s*t)" % (left, frequency, right, frequency)
    ffmpeg("-f", "lavfi", "-i", "aevalsrc=exprs='%s':s=%d:d=%g" % (expr, rate, seconds),
           "-c:a", "pcm_s16le", path)
    return path


def encode(wav, path, *codec):
    ffmpeg("-i", wav, *codec, path)
    return path


def hls_vod(source, folder, *codec, segment_type="mpegts", extra=()):
    """Cuts `source` into an ended HLS playlist folder/index.m3u8 with about
    one-second segments named s<sequence>; returns [(seconds, file name)]."""
    os.makedirs(folder, exist_ok=True)
    ext = "m4s" if segment_type == "fmp4" else "ts"
    ffmpeg("-i", source, *(codec or ("-c", "copy")), "-f", "hls", "-hls_time", "1",
           "-hls_list_size", "0", "-hls_playlist_type", "vod", "-hls_segment_type", segment_type,
           "-hls_segment_filename", os.path.join(folder, "s%d." + ext), *extra,
           os.path.join(folder, "index.m3u8"))
    return playlist_segments(os.path.join(folder, "index.m3u8"))


def playlist_segments(path):
    segments, duration = [], None
    for line in harness.read(path).splitlines():
        if line.startswith("#EXTINF:"):
            duration = float(line[8:].split(",")[0])
        elif line and not line.startswith("#"):
            segments.append((duration, line))
    return segments


class LiveHls:
    """A live HLS stream made by ffmpeg in real time from a pre-encoded
    source, copying its audio as it is: folder/index.m3u8 with a sliding
    window of six one-second segments."""

    def __init__(self, source, folder, segment_type="mpegts"):
        os.makedirs(folder, exist_ok=True)
        self.playlist = os.path.join(folder, "index.m3u8")
        ext = "m4s" if segment_type == "fmp4" else "ts"
        self.process = subprocess.Popen(
            ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re", "-i", source,
             "-c", "copy", *(("-bsf:a", "aac_adtstoasc") if segment_type == "fmp4" else ()),
             "-f", "hls", "-hls_time", "1", "-hls_list_size", "6",
             "-hls_flags", "delete_segments", "-hls_segment_type", segment_type,
             "-hls_segment_filename", os.path.join(folder, "s%d." + ext), self.playlist],
            stdin=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def wait_segments(self, count, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(self.playlist) and \
                    harness.read(self.playlist).count("#EXTINF") >= count:
                return
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError("ffmpeg made no live playlist in %s: %s" % (
            self.playlist, self.process.stderr.read().decode() if self.process.poll() is not None
            else "still running"))

    def stop(self):
        end_process(self.process)
        self.process.stderr.close()


# Audio frames -----------------------------------------------------------------

def adts_frames(data):
    """Splits an ADTS stream into its frames; returns (frames, samples per
    second of the frames' sample rate)."""
    rates = [96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000]
    frames, at, rate = [], 0, None
    while at + 7 <= len(data):
        if data[at] != 0xFF or data[at + 1] & 0xF6 != 0xF0:
            raise ValueError("no ADTS frame at byte %d" % at)
        length = ((data[at + 3] & 3) << 11) | (data[at + 4] << 3) | (data[at + 5] >> 5)
        rate = rate or rates[(data[at + 2] >> 2) & 15]
        frames.append(data[at:at + length])
        at += length
    return frames, rate


def mp3_frames(data):
    """Splits an MPEG-1 layer III stream into its frames; returns (frames,
    sample rate)."""
    bitrates = [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320]
    rates = [44100, 48000, 32000]
    frames, at, rate = [], 0, None
    while at + 4 <= len(data):
        if data[at] != 0xFF or data[at + 1] & 0xFE != 0xFA:
            raise ValueError("no MPEG-1 layer III frame at byte %d" % at)
        rate = rates[(data[at + 2] >> 2) & 3]
        length = 144000 * bitrates[data[at + 2] >> 4] // rate + ((data[at + 2] >> 1) & 1)
        frames.append(data[at:at + length])
        at += length
    return frames, rate


def id3_timestamp(pts):
    """The ID3v2 tag that begins every packed-audio HLS segment: a PRIV frame
    with the segment's first 90 kHz MPEG-TS timestamp."""
    owner = b"com.apple.streaming.transportStreamTimestamp\0"
    body = owner + struct.pack(">Q", pts & ((1 << 33) - 1))
    frame = b"PRIV" + struct.pack(">I", len(body)) + b"\0\0" + body
    size = len(frame)
    synchsafe = bytes([(size >> 21) & 0x7F, (size >> 14) & 0x7F, (size >> 7) & 0x7F, size & 0x7F])
    return b"ID3\x04\x00\x00" + synchsafe + frame


def packed_audio_segments(frames, samples_per_frame, rate, seconds=1.0):
    """Cuts audio frames at frame boundaries into segments of about
    `seconds`, each led by its timestamp tag: [(seconds, bytes)]."""
    per_segment = max(1, round(seconds * rate / samples_per_frame))
    segments = []
    for first in range(0, len(frames) - per_segment + 1, per_segment):
        pts = first * samples_per_frame * 90000 // rate
        body = id3_timestamp(pts) + b"".join(frames[first:first + per_segment])
        segments.append((per_segment * samples_per_frame / rate, body))
    return segments


# The server ---------------------------------------------------------------------

class StreamServer:
    """An HTTPS server on loopback port 443: `route(prefix, handler)` sends
    every GET whose path starts with the prefix to `handler(request, path)`;
    other paths are files under `root` (404 when missing). `requests` lists
    (path, headers) in order. Handlers end when `stopping` is set."""

    def __init__(self, root):
        self.root = root
        self.url = "https://127.0.0.1"
        self.requests = []
        self.stopping = threading.Event()
        self._routes = []
        server = self

        class Handler(http.server.SimpleHTTPRequestHandler):
            def do_GET(self):
                server.requests.append((self.path, dict(self.headers)))
                for prefix, handler in server._routes:
                    if self.path.startswith(prefix):
                        try:
                            handler(self, self.path)
                        except (BrokenPipeError, ConnectionResetError, OSError):
                            pass
                        return
                super().do_GET()

            def log_message(self, *args):
                pass

        self._httpd, self._thread = harness.serve_https(
            http.server.ThreadingHTTPServer, functools.partial(Handler, directory=root),
            "localhost", handshake_in_thread=True)

    def route(self, prefix, handler):
        self._routes.append((prefix, handler))
        return self.url + prefix

    def paths(self, prefix=""):
        return [path for path, _ in self.requests if path.startswith(prefix)]

    def stop(self):
        self.stopping.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(5)


def send_body(request, body, status=200, content_type="application/octet-stream"):
    request.send_response(status)
    request.send_header("Content-Type", content_type)
    request.send_header("Content-Length", str(len(body)))
    request.end_headers()
    request.wfile.write(body)


class SlidingPlaylist:
    """A live HLS media playlist served from memory: segment i appears when
    the stream has run for the durations up to and including it (the stream
    started `head_start` seconds before the server), the playlist shows the
    newest `window`. With `freeze_after` the playlist stops changing after
    that many segments, without ending. The `fail_request`th segment request
    gets a 404 (its sequence goes to `failed`). With `renumber` = (count,
    offset) the server counts anew once `count` segments have appeared: the
    media sequence leaps by `offset` (the segments' names stay)."""

    def __init__(self, server, prefix, segments, ext="ts", window=6, head_start=3.0,
                 freeze_after=None, fail_request=None, discontinuity_at=None, renumber=None):
        self.segments = segments
        self.ext = ext
        self.window = window
        self.freeze_after = freeze_after
        self.fail_request = fail_request
        self.renumber = renumber
        self.failed = []
        self.requests = 0
        self.started = time.monotonic() - head_start
        self.ends = []
        total = 0.0
        for duration, _ in segments:
            total += duration
            self.ends.append(total)
        self.target = max(1, math.ceil(max(d for d, _ in segments) - 0.001))
        self._lock = threading.Lock()
        self.url = server.route(prefix, self._serve) + "index.m3u8"

    def available(self):
        elapsed = time.monotonic() - self.started
        count = sum(1 for end in self.ends if end <= elapsed)
        if self.freeze_after is not None:
            count = min(count, self.freeze_after)
        return count

    def frozen_at(self):
        """When the playlist last changed, on the monotonic clock."""
        return self.started + self.ends[self.freeze_after - 1]

    def _serve(self, request, path):
        name = path.rsplit("/", 1)[-1].split("?")[0]
        if name == "index.m3u8":
            count = self.available()
            first = max(0, count - self.window)
            offset = self.renumber[1] if self.renumber and count >= self.renumber[0] else 0
            lines = ["#EXTM3U", "#EXT-X-VERSION:3", "#EXT-X-TARGETDURATION:%d" % self.target,
                     "#EXT-X-MEDIA-SEQUENCE:%d" % (first + offset)]
            for n in range(first, count):
                lines += ["#EXTINF:%.5f," % self.segments[n][0], "s%d.%s" % (n, self.ext)]
            send_body(request, ("\n".join(lines) + "\n").encode(),
                      content_type="application/vnd.apple.mpegurl")
            return
        match = re.fullmatch(r"s(\d+)\.%s" % self.ext, name)
        n = int(match.group(1)) if match else -1
        if n < 0 or n >= self.available():
            send_body(request, b"not found", 404, "text/plain")
            return
        with self._lock:
            self.requests += 1
            fail = self.requests == self.fail_request
            if fail:
                self.failed.append(n)
        if fail:
            send_body(request, b"not found", 404, "text/plain")
            return
        body = self.segments[n][1]
        if isinstance(body, str):
            with open(body, "rb") as f:
                body = f.read()
        send_body(request, body, content_type="video/mp2t")


class IcyStream:
    """An Icecast-style endless stream of audio frames at real-time pace,
    starting at the live position with a one-second burst. ICY metadata
    blocks are inserted every `metaint` bytes only when the request asks with
    "Icy-MetaData: 1", as such servers do: each names a new numbered test
    song, or, once `title` is set (text, or bytes sent as they are), carries
    `title` whenever it has changed (and is empty otherwise). `bitrate` (kbit/s) is announced in "icy-br"."""

    def __init__(self, server, path, frames, frame_seconds, content_type, metaint=8192,
                 icy_status=False, bitrate=None):
        self.server, self.frames, self.frame_seconds = server, frames, frame_seconds
        self.content_type, self.metaint = content_type, metaint
        self.icy_status = icy_status  # answer "ICY 200 OK" as old Shoutcast servers do
        self.bitrate = bitrate
        self.started = time.monotonic()
        self.asked_for_metadata = 0
        self.title = None
        # {title: seconds of audio the latest connection carried before it,
        # to within a frame}
        self.title_audio = {}
        self.url = server.route(path, self._serve)

    def _serve(self, request, path):
        icy = request.headers.get("Icy-MetaData", "").strip() == "1"
        if icy:
            self.asked_for_metadata += 1
        if self.icy_status:
            request.wfile.write(("ICY 200 OK\r\ncontent-type: %s\r\nicy-name: Loopback Test Radio"
                                 "\r\n%s%s\r\n" % (self.content_type, "icy-metaint: %d\r\n"
                                                     % self.metaint if icy else "",
                                                     "icy-br: %d\r\n" % self.bitrate
                                                     if self.bitrate else "")).encode())
        else:
            request.send_response(200)
            request.send_header("Content-Type", self.content_type)
            request.send_header("icy-name", "Loopback Test Radio")
            if self.bitrate:
                request.send_header("icy-br", str(self.bitrate))
            if icy:
                request.send_header("icy-metaint", str(self.metaint))
            request.end_headers()
        now = time.monotonic()
        index = max(0, int((now - self.started) / self.frame_seconds) - int(1 / self.frame_seconds))
        sent_audio, since_meta, song, announced = 0.0, 0, 0, None
        begin = now - 1.0
        deadline = now + 120
        while not self.server.stopping.is_set() and time.monotonic() < deadline:
            frame = self.frames[index % len(self.frames)]
            index += 1
            out = bytearray()
            for byte_at in range(0, len(frame), 4096):
                chunk = frame[byte_at:byte_at + 4096]
                while icy and since_meta + len(chunk) >= self.metaint:
                    take = self.metaint - since_meta
                    out += chunk[:take]
                    chunk = chunk[take:]
                    song += 1
                    if self.title is None:
                        text = ("StreamTitle='Test Song %d';" % song).encode()
                    elif self.title != announced:
                        announced = self.title
                        self.title_audio[announced] = sent_audio + self.frame_seconds
                        raw = announced if isinstance(announced, bytes) else announced.encode()
                        text = b"StreamTitle='" + raw + b"';"
                    else:
                        text = b""
                    blocks = (len(text) + 15) // 16
                    out += bytes([blocks]) + text.ljust(blocks * 16, b"\0")
                    since_meta = 0
                out += chunk
                since_meta += len(chunk)
            request.wfile.write(bytes(out))
            sent_audio += self.frame_seconds
            ahead = begin + sent_audio - time.monotonic()
            if ahead > 0:
                time.sleep(ahead)


class LoopbackListener:
    """A TCP port on loopback whose every connection goes to `_take`, from
    a thread of its own until `stop`."""

    def __init__(self, port):
        self._socket = socket.socket()
        self._socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._socket.bind(("127.0.0.1", port))
        self._socket.listen(16)
        self._socket.settimeout(0.2)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self):
        while not self._stop.is_set():
            try:
                connection, _ = self._socket.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self._take(connection)

    def _take(self, connection):
        raise NotImplementedError

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        self._socket.close()


class SilentListener(LoopbackListener):
    """A TCP port on loopback that accepts connections and never sends a
    byte (not even a TLS handshake)."""

    def __init__(self, port=8443):
        self.url = "https://127.0.0.1:%d/stream" % port
        self._held = []
        self.accepted = 0
        super().__init__(port)

    def _take(self, connection):
        self.accepted += 1
        self._held.append(connection)

    def stop(self):
        super().stop()
        for connection in self._held:
            connection.close()


class ConnectProxy(LoopbackListener):
    """An HTTPS proxy on loopback, as https_proxy names one: it answers each
    CONNECT with "HTTP/1.0 200 Connection established" and passes the bytes
    of the tunnel both ways. `tunnels` lists the addresses asked for."""

    def __init__(self, port=3128):
        self.url = "http://127.0.0.1:%d" % port
        self.tunnels = []
        super().__init__(port)

    def _take(self, connection):
        threading.Thread(target=self._tunnel, args=(connection,), daemon=True).start()

    def _tunnel(self, client):
        upstream = None
        try:
            head = b""
            while b"\r\n\r\n" not in head:
                data = client.recv(4096)
                if not data:
                    return
                head += data
            head, rest = head.split(b"\r\n\r\n", 1)
            method, target = (head.split(b"\r\n")[0].decode("latin-1").split() + ["", ""])[:2]
            if method != "CONNECT":
                client.sendall(b"HTTP/1.0 405 Method Not Allowed\r\n\r\n")
                return
            self.tunnels.append(target)
            host, port = target.rsplit(":", 1)
            upstream = socket.create_connection((host, int(port)), 5)
            client.sendall(b"HTTP/1.0 200 Connection established\r\nProxy-agent: streamkit\r\n\r\n")
            if rest:
                upstream.sendall(rest)
            while not self._stop.is_set():
                ready, _, _ = select.select([client, upstream], [], [], 0.2)
                for side in ready:
                    data = side.recv(65536)
                    if not data:
                        return
                    (upstream if side is client else client).sendall(data)
        except OSError:
            pass
        finally:
            client.close()
            if upstream:
                upstream.close()


# Real servers -------------------------------------------------------------------
# icecast2 and nginx from Debian, each with its own configuration in a folder
# of the test, on loopback in the test's network namespace; live tones made
# by ffmpeg in real time.

TONE = 997.618
# The right channel tells the source's own time: its frequency rises by
# CLOCK_SLOPE Hz a second from CLOCK_BASE, starting again every CLOCK_PERIOD
# seconds (where the phase happens to meet itself again).
CLOCK_BASE, CLOCK_SLOPE, CLOCK_PERIOD = 400.0, 4.0, 200.0
LEVEL_DB = 20 * math.log10(0.5 / math.sqrt(2))  # the left channel's tone


def clock_tone(rate=44100):
    """ffmpeg's lavfi input of the endless test tone: TONE at half scale on
    the left, the source clock at a quarter on the right."""
    right = "0.25*sin(2*PI*(%g*t+%g*pow(mod(t,%g),2)))" % (CLOCK_BASE, CLOCK_SLOPE / 2, CLOCK_PERIOD)
    return ["-f", "lavfi", "-i", "aevalsrc=exprs='0.5*sin(2*PI*%s*t)|%s':s=%d"
            % (TONE, right, rate)]


def source_time(wav, at, window=0.25):
    """The source's own time (modulo CLOCK_PERIOD) of the audio that the
    output holds `at` seconds in, read from the right channel's frequency."""
    part = wav.channel(1, at - window / 2, at + window / 2)
    return (frequency(part, wav.rate) - CLOCK_BASE) / CLOCK_SLOPE


def lost_seconds(wav, start, end):
    """Seconds of the source that never reached the output between `start`
    and `end` seconds of it (negative: heard twice)."""
    lost = source_time(wav, end) - source_time(wav, start) - (end - start)
    return (lost + CLOCK_PERIOD / 2) % CLOCK_PERIOD - CLOCK_PERIOD / 2


class Daemon:
    """A server process of the test, ended with it."""

    def __init__(self, argv, log):
        self.log = log
        with open(log, "ab") as out:
            self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=subprocess.STDOUT)

    def stop(self):
        end_process(self.process)


def end_process(process, grace=5):
    """Ends a process of the test: SIGTERM, then SIGKILL after GRACE
    seconds. Returns its exit status when it had already ended by itself,
    otherwise None."""
    exited = process.poll()
    if exited is None:
        process.terminate()
    try:
        process.wait(grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    return exited


def wait_port(port, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), 0.5).close()
            return
        except OSError:
            time.sleep(0.05)
    raise AssertionError("nothing listens on port %d" % port)


class Icecast(Daemon):
    """icecast2: sources connect to `source_port`, which listeners may use
    too; `listen_port` (and each of `more_ports`) serves listeners only, so
    that an outage there leaves the sources streaming. Runs as nobody, as
    icecast2 insists."""

    def __init__(self, folder, source_port=8000, listen_port=8001, more_ports=()):
        os.makedirs(folder + "/log")
        os.chmod(folder + "/log", 0o777)
        self.source_port, self.listen_port = source_port, listen_port
        harness.write(folder + "/icecast.xml", """<icecast>
  <location>loopback</location><admin>test@localhost</admin><hostname>127.0.0.1</hostname>
  <limits><clients>50</clients><sources>8</sources><queue-size>524288</queue-size>
    <client-timeout>30</client-timeout><header-timeout>15</header-timeout>
    <source-timeout>10</source-timeout><burst-on-connect>1</burst-on-connect>
    <burst-size>65535</burst-size></limits>
  <authentication><source-password>pw</source-password><admin-user>admin</admin-user>
    <admin-password>pw</admin-password></authentication>
  <listen-socket><port>%d</port></listen-socket>
  <listen-socket><port>%d</port></listen-socket>%s
  <paths><basedir>%s</basedir><logdir>%s/log</logdir><pidfile>%s/log/icecast.pid</pidfile>
    <webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin</adminroot></paths>
  <logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog>
    <loglevel>2</loglevel></logging>
  <security><chroot>0</chroot><changeowner><user>nobody</user><group>nogroup</group>
    </changeowner></security>
</icecast>
""" % (source_port, listen_port,
       "".join("\n  <listen-socket><port>%d</port></listen-socket>" % port for port in more_ports),
       folder, folder, folder))
        super().__init__(["icecast2", "-c", folder + "/icecast.xml"], folder + "/icecast.out")
        self.feeds = []
        wait_port(source_port)

    def feed(self, mount, *codec):
        """A live tone encoded by ffmpeg into `mount` ("/tone.mp3"); returns
        the listeners' address."""
        self.feeds.append(Daemon(
            ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re", *clock_tone(),
             *codec, "icecast://source:pw@127.0.0.1:%d%s" % (self.source_port, mount)],
            self.log))
        return "http://127.0.0.1:%d%s" % (self.listen_port, mount)

    def wait_mounts(self, timeout=10):
        deadline = time.monotonic() + timeout
        for feed in self.feeds:
            mount = feed.process.args[-1].split("%d" % self.source_port, 1)[1]
            while True:
                try:
                    with socket.create_connection(("127.0.0.1", self.source_port), 1) as c:
                        c.sendall(("GET %s HTTP/1.0\r\n\r\n" % mount).encode())
                        if c.recv(12).endswith(b"200"):
                            break
                except OSError:
                    pass
                if time.monotonic() > deadline:
                    raise AssertionError("icecast2 has no %s: %s" % (mount, harness.read(self.log)))
                time.sleep(0.1)

    def stop(self):
        for feed in self.feeds:
            feed.stop()
        super().stop()


class Nginx(Daemon):
    """nginx serving `root` over HTTP on each of `ports` and over HTTPS on
    `tls_port` (the test server's self-signed certificate), with the
    redirects stations behind load balancers send, a proxy to an Icecast
    port (chunked, unbuffered) and files under /paced/ sent at 160 kbit/s."""

    def __init__(self, folder, root, ports=(8080,), tls_port=8443, icecast_port=8000):
        os.makedirs(folder, exist_ok=True)
        listen = "".join("listen 127.0.0.1:%d;\n" % port for port in ports)
        harness.write(folder + "/nginx.conf", """daemon off;
worker_processes 1;
pid %(d)s/nginx.pid;
error_log %(d)s/error.log warn;
events { worker_connections 128; }
http {
  access_log %(d)s/access.log;
  client_body_temp_path %(d)s/body; proxy_temp_path %(d)s/proxy;
  fastcgi_temp_path %(d)s/fastcgi; uwsgi_temp_path %(d)s/uwsgi; scgi_temp_path %(d)s/scgi;
  types { application/vnd.apple.mpegurl m3u8; video/mp2t ts; audio/x-scpls pls; }
  server {
    %(listen)s
    listen 127.0.0.1:%(tls)d ssl;
    ssl_certificate /tmp/.tls/cert.pem;
    ssl_certificate_key /tmp/.tls/key.pem;
    root %(root)s;
    location = /r302/live.m3u8 { return 302 /hls/live.m3u8; }
    location = /r301tls/live.m3u8 { return 301 https://127.0.0.1:%(tls)d/hls/live.m3u8; }
    location = /loop.m3u8 { return 302 /loop.m3u8; }
    location /icy/ { proxy_pass http://127.0.0.1:%(ice)d/; proxy_buffering off; }
    location /paced/ { limit_rate_after 64k; limit_rate 20k; }
  }
}
""" % {"d": folder, "root": root, "listen": listen, "tls": tls_port, "ice": icecast_port})
        self.access_log = folder + "/access.log"
        super().__init__(["nginx", "-p", folder, "-c", folder + "/nginx.conf",
                          "-e", folder + "/error.log"], folder + "/nginx.out")
        for port in (*ports, tls_port):
            wait_port(port)

    def requests(self):
        """(status, path) of every request served so far."""
        if not os.path.exists(self.access_log):
            return []
        found = []
        for line in harness.read(self.access_log).splitlines():
            match = re.search(r'"GET (\S+) [^"]*" (\d+)', line)
            if match:
                found.append((int(match.group(2)), match.group(1)))
        return found


class LiveTone(LiveHls):
    """The endless test tone as live HLS made by ffmpeg in real time:
    AAC-LC in MPEG-TS, two-second segments, a window of ten (20 s)."""

    def __init__(self, folder):
        os.makedirs(folder, exist_ok=True)
        self.playlist = os.path.join(folder, "live.m3u8")
        self.process = subprocess.Popen(
            ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re", *clock_tone(),
             "-c:a", "aac", "-b:a", "128k", "-f", "hls", "-hls_time", "2", "-hls_list_size", "10",
             "-hls_flags", "delete_segments+temp_file",
             "-hls_segment_filename", os.path.join(folder, "seg%05d.ts"), self.playlist],
            stdin=subprocess.DEVNULL, stderr=subprocess.PIPE)


class Outage:
    """The network to and from a loopback port drops every packet (iptables
    in the test's own namespace) from `start` seconds on for `seconds`."""

    def __init__(self, port, start, seconds):
        self.port, self.seconds = port, seconds
        self.began = self.ended = None
        self._rules = [["INPUT", "-p", "tcp", "--dport", str(port), "-j", "DROP"],
                       ["INPUT", "-p", "tcp", "--sport", str(port), "-j", "DROP"]]
        self._timer = threading.Timer(start, self._run)
        self._timer.daemon = True
        self._timer.start()

    def _run(self):
        for rule in self._rules:
            harness.run("iptables", "-I", *rule)
        self.began = time.monotonic()
        time.sleep(self.seconds)
        for rule in self._rules:
            harness.run("iptables", "-D", *rule)
        self.ended = time.monotonic()

    def wait(self):
        self._timer.join(self.seconds + 30)


class OutputClock:
    """Watches a WAV file grow and tells how a listener would have heard it:
    playback starts with the first audio and runs in real time; whenever it
    catches up with what was written, the listener hears silence."""

    def __init__(self, path, rate=44100):
        self.path, self.rate = path, rate
        self.samples = []  # (monotonic time, seconds of audio written)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()

    def _watch(self):
        while not self._stop.is_set():
            try:
                size = os.stat(self.path).st_size
            except FileNotFoundError:
                size = 0
            self.samples.append((time.monotonic(), max(0, size - 44) / (4 * self.rate)))
            time.sleep(0.02)

    def first_audio(self):
        return next((t for t, written in self.samples if written > 0), None)

    def reached(self, seconds):
        """When the file first held `seconds` of audio (None: not yet)."""
        return next((t for t, written in self.samples if written >= seconds), None)

    def stop(self):
        self._stop.set()
        self._thread.join(2)

    def silences(self):
        """[(start on the monotonic clock, seconds)] of every silence."""
        self.stop()
        found, played, previous, quiet_since = [], 0.0, None, None
        for t, written in self.samples:
            if previous is None:
                if written > 0:
                    previous = t
                continue
            played += t - previous
            previous = t
            if played > written:
                if quiet_since is None:
                    quiet_since = t - (played - written)
                played = written
            elif quiet_since is not None and written > played:
                found.append((quiet_since, t - quiet_since))
                quiet_since = None
        if quiet_since is not None:
            found.append((quiet_since, previous - quiet_since))
        return found


# The engine ---------------------------------------------------------------------

def alive(pid):
    """Whether a process exists and is no zombie."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(") ", 1)[1][0] != "Z"
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return False


def processes(name, parent=None):
    """Live processes called `name` (optionally children of `parent`)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except (FileNotFoundError, ProcessLookupError):
            continue
        comm = stat[stat.index("(") + 1:stat.rindex(")")]
        fields = stat[stat.rindex(")") + 2:].split()
        if comm == name and fields[0] != "Z" and (parent is None or int(fields[1]) == parent):
            found.append(int(entry))
    return found


class Engine(harness.Player):
    """ze-stream running with its log lines collected; `curls` gathers the
    curl processes it has been seen to start."""

    def __init__(self, url, output, *options, path="/usr/local/bin:/usr/bin:/bin", env=None):
        super().__init__([engine_binary(), "--output", output, *options, url],
                         {"PATH": path, "LANG": "C.UTF-8", **(env or {})}, "/tmp",
                         subprocess.DEVNULL)
        self.output_path = output
        self.curls = set()
        self.stop_seconds = None
        self.status = None
        self.ended = None  # when it was seen to end, on the monotonic clock
        self._watch = threading.Thread(target=self._watch_curls, daemon=True)
        self._watch.start()

    def _watch_curls(self):
        while self.process.poll() is None:
            self.curls.update(processes("curl", self.process.pid))
            time.sleep(0.05)
        self.ended = time.monotonic()

    def terminate(self, timeout=10.0):
        """SIGTERM; returns the exit status and keeps how long the engine
        took to end."""
        self.curls.update(processes("curl", self.process.pid))
        sent = time.monotonic()
        self.process.send_signal(signal.SIGTERM)
        self.status = self.wait_exit(timeout)
        self.stop_seconds = time.monotonic() - sent
        return self.status

    def finish(self, timeout):
        self.status = self.wait_exit(timeout)
        return self.status

    def leftover_curls(self):
        self._watch.join(2)
        return [pid for pid in self.curls if alive(pid)]


# PCM checks -----------------------------------------------------------------------

class Wav:
    """A 16-bit PCM WAV file as written by the engine; `problems` lists what
    is wrong with its header."""

    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        self.problems = []
        if len(data) < 44 or data[:4] != b"RIFF" or data[8:12] != b"WAVE":
            raise AssertionError("%s is no WAV file (%d bytes)" % (path, len(data)))
        riff_size = struct.unpack_from("<I", data, 4)[0]
        if riff_size != len(data) - 8:
            self.problems.append("RIFF size %d, file has %d bytes" % (riff_size, len(data)))
        at, fmt, self.samples = 12, None, None
        while at + 8 <= len(data):
            chunk, size = data[at:at + 4], struct.unpack_from("<I", data, at + 4)[0]
            if chunk == b"fmt ":
                fmt = struct.unpack_from("<HHIIHH", data, at + 8)
            elif chunk == b"data":
                if at + 8 + size != len(data):
                    self.problems.append("data size %d, %d bytes follow the header"
                                         % (size, len(data) - at - 8))
                body = data[at + 8:at + 8 + size]
                self.samples = array.array("h")
                self.samples.frombytes(body[:len(body) // 4 * 4])
                if sys.byteorder == "big":
                    self.samples.byteswap()
                break
            at += 8 + size + (size & 1)
        if fmt is None or self.samples is None:
            raise AssertionError("%s has no fmt or data chunk" % path)
        audio_format, self.channels, self.rate, byte_rate, align, bits = fmt
        if (audio_format, self.channels, bits, align, byte_rate) != (1, 2, 16, 4, self.rate * 4):
            self.problems.append("not 16-bit stereo PCM: %r" % (fmt,))

    def seconds(self):
        return len(self.samples) / 2 / self.rate

    def channel(self, index, start=0.0, end=None):
        """One channel's samples from `start` to `end` seconds."""
        first = int(start * self.rate) * 2 + index
        last = len(self.samples) if end is None else min(len(self.samples),
                                                          int(end * self.rate) * 2)
        return self.samples[first:last:2]


def rms_db(samples):
    if not samples:
        return -math.inf
    power = sum(x * x for x in samples) / len(samples)
    return 10 * math.log10(power / 32768.0 ** 2) if power > 0 else -math.inf


def crossings(samples):
    """Positions (in samples, interpolated) where the signal crosses zero
    going up."""
    found = []
    previous = samples[0] if samples else 0
    for i in range(1, len(samples)):
        current = samples[i]
        if previous < 0 <= current:
            found.append(i - 1 + previous / (previous - current))
        previous = current
    return found


def frequency(samples, rate):
    points = crossings(samples)
    if len(points) < 3:
        return 0.0
    return (len(points) - 1) * rate / (points[-1] - points[0])


def silent_blocks(samples, rate, milliseconds=10, floor=200):
    """Start times (s) of the blocks whose peak-to-peak stays under `floor`."""
    size = rate * milliseconds // 1000
    return [n / rate for n in range(0, len(samples) - size + 1, size)
            if max(samples[n:n + size]) - min(samples[n:n + size]) < floor]


def phase_jumps(samples, rate, tone, tolerance=1.0):
    """(time, period in samples) of every tone period that is not within
    `tolerance` samples of rate/tone: a dropped, repeated or foreign piece
    of audio breaks the tone's phase there."""
    period = rate / tone
    points = crossings(samples)
    return [(round(b / rate, 3), round(b - a, 2)) for a, b in zip(points, points[1:])
            if abs(b - a - period) > tolerance]
