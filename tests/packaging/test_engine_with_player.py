"""The package's stream engine driven by the real player: with no mpv and no
ffplay the player starts bin/play_stream.sh, which fetches a loopback radio
stream with curl and decodes it with ffmpeg into aplay (a stub that keeps the
audio). Runs in the end-to-end harness's private namespaces."""

import json
import os
import shutil
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402
from harness import APP_DIR, PID_FILE, PLAYING_MARKER, STATE_FILE, read, write  # noqa: E402

STREAM_URL = "http://127.0.0.1:8000/live.mp3"
AUDIO = "/tmp/.calls/aplay.pcm"
ENGINE_PROGRAMS = ("play_stream.sh", "curl", "ffmpeg", "aplay")


class RadioServer:
    """An endless MP3 stream on loopback, paced like a live station. With
    `drop_after` set, each connection ends after that many seconds and later
    requests get 404."""

    def __init__(self, mp3, drop_after=None):
        import http.server
        with open(mp3, "rb") as f:
            data = f.read()
        self.stopping = threading.Event()
        self.connections = 0
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                server.connections += 1
                if drop_after is not None and server.connections > 1:
                    self.send_error(404)
                    return
                self.send_response(200)
                self.send_header("Content-Type", "audio/mpeg")
                self.end_headers()
                started = time.monotonic()
                try:
                    while not server.stopping.is_set():
                        for at in range(0, len(data), 4096):
                            if drop_after is not None and time.monotonic() - started > drop_after:
                                return
                            self.wfile.write(data[at:at + 4096])
                            time.sleep(0.05)
                except (BrokenPipeError, ConnectionResetError):
                    pass

            def log_message(self, *args):
                pass

        self._httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 8000), Handler)
        self._httpd.daemon_threads = True
        self._thread = threading.Thread(target=self._httpd.serve_forever, daemon=True)
        self._thread.start()

    def stop(self):
        self.stopping.set()
        self._httpd.shutdown()
        self._httpd.server_close()


def engine_processes():
    """PIDs of live processes of the stream engine and its pipeline."""
    return list(harness.live_processes(ENGINE_PROGRAMS))


class EngineWithPlayerTest(harness.SandboxTest):

    def setUp(self):
        super().setUp()
        harness.loopback_up()
        self.overlay_dir("/usr/bin", hidden=["mpv", "ffplay"])
        self.stub("aplay", 'cat > %s' % AUDIO)
        write(APP_DIR + "/bin/play_stream.sh",
              read(os.path.join(harness.SOURCE, "packaging", "bin", "play_stream.sh")), 0o755)
        catalog = json.loads(read(os.path.join(harness.SOURCE, "assets", "channels.json")))
        catalog["channels"][0]["streamUrl"] = STREAM_URL
        catalog["channels"][0]["fallbackUrl"] = ""
        write(APP_DIR + "/channels.json", json.dumps(catalog, ensure_ascii=False))
        mp3 = "/tmp/tone.mp3"
        subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
                        "sine=frequency=440:duration=2", "-c:a", "libmp3lame", "-b:a", "64k",
                        "-id3v2_version", "0", "-write_xing", "0", mp3], check=True)
        self.mp3 = mp3

    def serve(self, **options):
        server = RadioServer(self.mp3, **options)
        self.addCleanup(server.stop)
        return server

    def start(self, **env):
        return self.start_player(cwd=APP_DIR, env=env)

    def play_first_station(self, player):
        player.send("A")
        player.wait_for(r"^\[AudioPlayer\] Using TrimUI stream engine \(\./bin/play_stream\.sh\)$")
        self.wait_until(lambda: os.path.exists(PLAYING_MARKER), 15, "the playing marker")
        self.wait_until(lambda: os.path.exists(AUDIO) and os.path.getsize(AUDIO) > 0, 10, "audio")

    def assert_everything_stopped(self):
        self.wait_until(lambda: not engine_processes(), 10, "the engine's processes to end")
        # The player removes its runtime files last.
        for path in (PLAYING_MARKER, PID_FILE, STATE_FILE):
            self.wait_until(lambda: not os.path.exists(path), 10, "removal of " + path)

    def test_station_plays_through_the_engine_and_stop_ends_everything(self):
        self.serve()
        player = self.start()
        self.play_first_station(player)

        with open("/proc/%s/cmdline" % read(PID_FILE).strip()) as f:
            self.assertIn("aplay", f.read())
        self.assertEqual(json.loads(read(STATE_FILE))["stream_url"], STREAM_URL)
        size = os.path.getsize(AUDIO)
        self.wait_until(lambda: os.path.getsize(AUDIO) > size, 10, "more audio")

        player.send("B")
        player.wait_for(r"^\[AudioPlayer\] Terminating player")
        self.assert_everything_stopped()
        self.assertIsNone(player.process.poll())

    def test_dropped_stream_is_retried_then_shown_as_lost(self):
        server = self.serve(drop_after=1.0)
        player = self.start(ZE_RADIO_RETRY_DELAY="0", ZE_RADIO_RETRY_LIMIT="3")
        self.play_first_station(player)
        player.wait_for(r"^\[AudioPlayer\] Stream process exited with status: exit status: 1$",
                        timeout=30)
        self.assertEqual(server.connections, 3)
        self.assertFalse(os.path.exists(PLAYING_MARKER))
        self.assertFalse(os.path.exists(PID_FILE))
        self.assertEqual(engine_processes(), [])

    def test_background_playback_is_found_again_and_stopped(self):
        self.serve()
        player = self.start()
        self.play_first_station(player)
        time.sleep(0.1)  # a frame sees the marker
        player.send("EXIT")
        player.wait_for(r"Received action: Exit")
        time.sleep(0.2)
        player.send("A")
        self.assertEqual(player.wait_exit(), 10)

        size = os.path.getsize(AUDIO)
        self.wait_until(lambda: os.path.getsize(AUDIO) > size, 10, "audio after the player left")
        engine = json.loads(read(STATE_FILE))["pid"]

        player = self.start()
        player.wait_for(r"Reconnected to background playback session \(PID: %d, " % engine)
        player.send("MENU")
        player.wait_for(r"Received action: Exit")
        time.sleep(0.2)
        player.send("B")
        self.assertEqual(player.wait_exit(), 0)
        self.assert_everything_stopped()


if __name__ == "__main__":
    if shutil.which("ffmpeg") is None or shutil.which("curl") is None:
        print("SKIP: ffmpeg and curl are needed")
        sys.exit(harness.SKIP)
    harness.main(network=True)
