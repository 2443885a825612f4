"""The whole chain on a console without mpv, ffplay, ffmpeg or aplay: the
user's own station list names a live HLS station over HTTPS on loopback;
the real player starts it through bin/play_stream.sh, which starts the
bundled engine bin/ze-stream, which plays it (real curl) into a WAV file.
The station's address holds brackets and braces in its query. The station
counts as playing only once audio flows; B stops everything;
background playback is found again. Runs in the end-to-end harness's
private namespaces."""

import json
import os
import re
import shutil
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402
from harness import APP_DIR, PID_FILE, PLAYING_MARKER, STATE_FILE, read, write  # noqa: E402

# "[0]" and "{1,2}" in the query are taken literally by curl, not as a range
# or a set of addresses.
STATION_URL = "https://127.0.0.1:8443/live/live.m3u8?ids[0]=5&x={1,2}"
STATION_NAME = "Trạm Thử Của Tôi"
OUTPUT = "/tmp/.calls/station.wav"
CHAIN_PROGRAMS = ("play_stream.sh", "ze-stream", "curl")


def chain_processes():
    """Live processes of the engine's chain, as {pid: program name}."""
    return harness.live_processes(CHAIN_PROGRAMS)


def wav_data_bytes(path):
    """Bytes of audio in the WAV file as written so far (0 without one)."""
    try:
        with open(path, "rb") as f:
            header = f.read(44)
            f.seek(0, os.SEEK_END)
            size = f.tell()
    except OSError:
        return 0
    if len(header) < 44 or header[:4] != b"RIFF" or header[36:40] != b"data":
        return 0
    channels, rate = struct.unpack("<HI", header[22:28])
    assert (channels, rate) == (2, 48000), (channels, rate)
    return size - 44


class EngineChainTest(harness.SandboxTest):

    def setUp(self):
        super().setUp()
        harness.loopback_up()
        # The live station, started before ffmpeg is hidden from the player,
        # under another name: the player's stop kills every "ffmpeg".
        os.makedirs("/tmp/station/live")
        shutil.copy(shutil.which("ffmpeg"), "/tmp/station-producer")
        self.producer = subprocess.Popen(
            ["/tmp/station-producer", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
             "sine=frequency=997.3:sample_rate=48000", "-ac", "2", "-c:a", "aac", "-b:a", "96k",
             "-f", "hls", "-hls_time", "1", "-hls_list_size", "5", "-hls_flags", "delete_segments",
             "/tmp/station/live/live.m3u8"], stdin=subprocess.DEVNULL)
        self.addCleanup(self.producer.kill)
        server = harness.HttpsServer("/tmp/station", port=8443, name="127.0.0.1")
        self.addCleanup(server.stop)
        self.with_bundled_engine()
        for name in ("mpv", "ffplay", "ffmpeg", "aplay"):
            self.assertIsNone(shutil.which(name, path=self.environment()["PATH"]), name)
        write(APP_DIR + "/my_stations.m3u",
              "#EXTM3U\n#EXTINF:-1,%s\n%s\n" % (STATION_NAME, STATION_URL))
        self.wait_until(lambda: len(os.listdir("/tmp/station/live")) >= 4, 20, "the live station")

    def start(self):
        return self.start_player(cwd=APP_DIR, env={"ZE_RADIO_STREAM_OUTPUT": OUTPUT})

    def assert_everything_stopped(self):
        self.wait_until(lambda: not chain_processes(), 10, "the chain's processes to end")
        for path in (PLAYING_MARKER, PID_FILE, STATE_FILE):
            self.wait_until(lambda: not os.path.exists(path), 10, "removal of " + path)

    def test_live_hls_station_plays_through_the_bundled_engine(self):
        player = self.start()
        # "Của tôi" is the last tab while there are no favourites; a frame
        # takes the new tab's list after its actions, so A comes a bit later.
        player.send("PREV_CAT")
        time.sleep(0.2)
        player.send("A")
        player.wait_for(r"^\[Main\] Playing station: %s \(%s\)$" % (STATION_NAME, re.escape(STATION_URL)))
        player.wait_for(r"^\[AudioPlayer\] Using TrimUI stream engine \(\./bin/play_stream\.sh\)$")
        player.wait_for(r"^\[play_stream\] playing %s with ze-stream$" % re.escape(STATION_URL))

        # Playing only once audio flows: when the marker appears, the engine
        # has already written audio.
        self.wait_until(lambda: os.path.exists(PLAYING_MARKER), 20, "the playing marker")
        self.assertGreater(wav_data_bytes(OUTPUT), 0)
        player.wait_for(r"^\[ze-stream\] audio started$")
        engine = int(read(PID_FILE).strip())
        with open("/proc/%d/cmdline" % engine, "rb") as f:
            self.assertIn(b"ze-stream", f.read().split(b"\0")[0])
        self.assertEqual(json.loads(read(STATE_FILE))["stream_url"], STATION_URL)
        size = wav_data_bytes(OUTPUT)
        self.wait_until(lambda: wav_data_bytes(OUTPUT) > size + 48000 * 4, 10, "a second of audio")
        # The engine's curl runs for each playlist reload and segment.
        self.wait_until(lambda: "curl" in chain_processes().values(), 10, "the engine's curl")

        # Playing: leaving offers background playback, and it goes on.
        player.send("EXIT")
        player.wait_for(r"Received action: Exit")
        time.sleep(0.2)
        player.send("A")
        self.assertEqual(player.wait_exit(), 10)
        size = wav_data_bytes(OUTPUT)
        self.wait_until(lambda: wav_data_bytes(OUTPUT) > size, 10, "audio after the player left")

        # A new start finds it; B stops the engine and its curl.
        player = self.start()
        player.wait_for(r"Reconnected to background playback session \(PID: \d+, ")
        player.send("B")
        player.wait_for(r"^\[AudioPlayer\] Terminating player|Received action: Cancel")
        self.assert_everything_stopped()
        self.assertIsNone(player.process.poll())
        self.assertNotIn("no audio player found", player.output())


if __name__ == "__main__":
    if shutil.which("ffmpeg") is None or shutil.which("curl") is None:
        print("SKIP: ffmpeg and curl are needed")
        sys.exit(harness.SKIP)
    harness.main(network=True)
