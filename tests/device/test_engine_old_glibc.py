"""The console build of the stream engine on an older system: the static
aarch64 ze-stream plays a live HLS stream into a WAV file under qemu-aarch64
with Debian 11's arm64 C library (glibc 2.31) as the emulated root, as on a
console's older firmware. A static program that loaded a shared object at run
time (name lookup, character-set conversion) would find 2.31's and abort.

The root is Debian 11's libc6:arm64, fetched once with apt through a private
source list (the machine's own apt sources are left alone) and unpacked with
dpkg -x into ~/.cache/ze-radio/bullseye-arm64. Curl is the build machine's:
qemu-user runs the engine's curl children natively.

Environment: ZE_STREAM_DEVICE_BIN (the aarch64 ze-stream)."""

import http.server
import functools
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SKIP = 77
ENGINE = os.environ.get("ZE_STREAM_DEVICE_BIN", "build-device/ze-stream")
CACHE = os.path.join(os.environ.get("ZE_RADIO_CACHE", os.path.expanduser("~/.cache/ze-radio")),
                     "bullseye-arm64")


def old_root():
    """A folder holding Debian 11's arm64 C library; made once."""
    root = os.path.join(CACHE, "root")
    if os.path.exists(os.path.join(root, ".complete")):
        return root
    apt = os.path.join(CACHE, "apt")
    for sub in ("lists/partial", "cache/archives/partial", "debs"):
        os.makedirs(os.path.join(apt, sub), exist_ok=True)
    with open(os.path.join(apt, "sources.list"), "w") as f:
        f.write("deb http://deb.debian.org/debian bullseye main\n")
    options = []
    for key, value in (("Dir::Etc::SourceList", apt + "/sources.list"),
                       ("Dir::Etc::SourceParts", "/dev/null"),
                       ("Dir::State::Lists", apt + "/lists"), ("Dir::Cache", apt + "/cache"),
                       ("Dir::State::status", "/dev/null"), ("APT::Sandbox::User", "root"),
                       ("APT::Architecture", "arm64"), ("APT::Architectures", "arm64")):
        options += ["-o", "%s=%s" % (key, value)]
    subprocess.run(["apt-get"] + options + ["-qq", "update"], check=True)
    subprocess.run(["apt-get"] + options + ["-qq", "download", "libc6"], check=True,
                   cwd=os.path.join(apt, "debs"))
    shutil.rmtree(root, ignore_errors=True)
    for deb in os.listdir(os.path.join(apt, "debs")):
        subprocess.run(["dpkg", "-x", os.path.join(apt, "debs", deb), root], check=True)
    open(os.path.join(root, ".complete"), "w").close()
    return root


class EngineOnOldGlibcTest(unittest.TestCase):

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="ze_old_glibc_")
        self.addCleanup(self.tmp.cleanup)

    def serve_live_station(self):
        live = os.path.join(self.tmp.name, "live")
        os.makedirs(live)
        # Not named ffmpeg, like every producer of the tests.
        producer = os.path.join(self.tmp.name, "station-producer")
        shutil.copy(shutil.which("ffmpeg"), producer)
        process = subprocess.Popen(
            [producer, "-loglevel", "error", "-re", "-f", "lavfi", "-i",
             "sine=frequency=997.3:sample_rate=44100", "-ac", "2", "-c:a", "aac", "-b:a", "64k",
             "-f", "hls", "-hls_time", "1", "-hls_list_size", "5", "-hls_flags", "delete_segments",
             os.path.join(live, "live.m3u8")], stdin=subprocess.DEVNULL)
        self.addCleanup(process.kill)
        handler = functools.partial(Quiet, directory=self.tmp.name)
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.shutdown)
        deadline = time.monotonic() + 20
        while len(os.listdir(live)) < 4:
            self.assertLess(time.monotonic(), deadline, "the live station did not start")
            time.sleep(0.1)
        return "http://127.0.0.1:%d/live/live.m3u8" % server.server_address[1]

    def test_static_engine_plays_a_live_stream_with_glibc_2_31(self):
        root = old_root()
        libc = [n for n in os.listdir(os.path.join(root, "lib", "aarch64-linux-gnu"))
                if n.startswith("libc-2.")]
        self.assertEqual(libc, ["libc-2.31.so"])
        url = self.serve_live_station()
        out = os.path.join(self.tmp.name, "out.wav")
        engine = subprocess.Popen(["qemu-aarch64", "-L", root, ENGINE, "--output", out, url],
                                  stderr=subprocess.PIPE, text=True)
        time.sleep(8)
        self.assertIsNone(engine.poll(), engine.stderr.read() if engine.poll() is not None else "")
        engine.send_signal(signal.SIGTERM)
        log = engine.communicate(timeout=10)[1]
        self.assertEqual(engine.returncode, 128 + signal.SIGTERM, log)
        self.assertIn("[ze-stream] audio started", log)
        with open(out, "rb") as f:
            header = f.read(44)
            data = len(f.read())
        channels, rate = struct.unpack("<HI", header[22:28])
        self.assertEqual((channels, rate), (2, 44100))
        self.assertEqual(struct.unpack("<I", header[40:44])[0], data)
        self.assertGreater(data, 44100 * 4 * 3, "at least 3 s of audio")


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


if __name__ == "__main__":
    for tool in ("qemu-aarch64", "ffmpeg", "curl", "apt-get", "dpkg"):
        if shutil.which(tool) is None:
            print("SKIP: %s is needed" % tool)
            sys.exit(SKIP)
    unittest.main(verbosity=2)
