"""Playback through the real program: the argument vector an installed mpv
receives, and a real mpv playing a live stream served on loopback until the
user stops it."""

import json
import os
import subprocess
import time

import harness

NETWORK = True
PLAYING_MARKER = harness.PLAYING_MARKER


def write_catalog(directory, urls):
    channels = [{"id": "ch%d" % n, "name": "Kênh Thử %d" % n, "frequency": "FM 9%d.0 MHz" % n,
                 "category": "test", "streamUrl": url, "fallbackUrl": ""}
                for n, url in enumerate(urls)]
    harness.write(os.path.join(directory, "channels.json"), json.dumps({
        "version": "1", "categories": [{"id": "all", "name": "Tất cả"}], "channels": channels}))


def process_gone(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(") ")[1].startswith("Z")
    except (FileNotFoundError, ProcessLookupError):
        return True


class PlaybackTest(harness.SandboxTest):

    def test_installed_mpv_gets_the_exact_arguments_and_is_gone_after_stop(self):
        write_catalog(self.work, ["http://127.0.0.1:9/one.mp3", "http://127.0.0.1:9/two.mp3"])
        harness.write(harness.SYSTEM_JSON, '{"vol": 12}')
        recorder = self.stub("mpv", "exec sleep 60", directory="/tmp/.mpv")
        self.overlay_dir("/usr/bin", {"mpv": (harness.read(recorder), 0o755)})
        player = self.start_player()
        player.send("DOWN", "A")
        line = player.wait_for(r"\[AudioPlayer\] mpv process spawned successfully \(PID: \d+\)")
        pid = int(line.split("PID: ")[1].rstrip(")"))
        self.assertIn("[Main] Playing station: Kênh Thử 1 (http://127.0.0.1:9/two.mp3)",
                      player.lines)
        self.wait_until(lambda: self.calls("mpv"), message="mpv call")
        self.assertEqual(self.calls("mpv"), [[
            "--no-video", "--really-quiet", "--cache=yes", "--demuxer-max-bytes=4096KiB",
            "--demuxer-readahead-secs=10", "--volume=60",
            "--user-agent=Mozilla/5.0 (Linux; Android 10; TrimUI)",
            "http://127.0.0.1:9/two.mp3"]])
        # The marker follows the spawn line and holds "1".
        self.wait_until(lambda: os.path.exists(PLAYING_MARKER) and harness.read(PLAYING_MARKER) == "1",
                        message="playing marker")

        player.send("B")
        player.wait_for(r"\[AudioPlayer\] Terminating player process PID %d$" % pid)
        self.wait_until(lambda: process_gone(pid), message="mpv to end")
        self.wait_until(lambda: not os.path.exists(PLAYING_MARKER), message="marker removal")
        self.assertEqual(player.count(r"Stream process exited"), 0)

    def test_real_mpv_plays_a_live_stream_until_cancel(self):
        harness.loopback_up()
        url = "http://127.0.0.1:8765/live.mp3"
        # Every start stops whatever plays, killing all processes named
        # ffmpeg; the stream server runs under a name of its own.
        os.makedirs("/tmp/.server")
        os.symlink("/usr/bin/ffmpeg", "/tmp/.server/tone-server")
        server = subprocess.Popen(
            ["/tmp/.server/tone-server", "-nostdin", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
             "sine=frequency=440", "-c:a", "libmp3lame", "-f", "mp3", "-listen", "1", url],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: server.poll() is None and server.kill())
        # mpv gives up at once when nothing listens yet, which a busy machine
        # would turn into a lost stream.
        self.wait_until(lambda: self.tcp_state(8765, "0A"), message="stream server to listen")
        write_catalog(self.work, [url])
        player = self.start_player()
        player.send("A")
        line = player.wait_for(r"\[AudioPlayer\] mpv process spawned successfully \(PID: \d+\)")
        pid = int(line.split("PID: ")[1].rstrip(")"))
        self.wait_until(lambda: self.tcp_state(8765, "01"), message="mpv to connect")
        time.sleep(4)
        self.assertFalse(process_gone(pid), player.output())
        self.assertEqual(harness.read("/proc/%d/comm" % pid).strip(), "mpv")
        self.assertEqual(player.count(r"Stream process exited"), 0, player.output())

        player.send("B")
        player.wait_for(r"\[AudioPlayer\] Terminating player process PID %d$" % pid)
        self.wait_until(lambda: process_gone(pid), message="mpv to end")
        self.assertEqual(player.count(r"Stream process exited"), 0)

    @staticmethod
    def tcp_state(port, state):
        """Whether a loopback socket on local `port` is in `state` (01 established, 0A listening)."""
        with open("/proc/net/tcp") as f:
            for row in f.read().splitlines()[1:]:
                fields = row.split()
                if fields[3] == state and int(fields[1].split(":")[1], 16) == port:
                    return True
        return False


if __name__ == "__main__":
    harness.main(network=NETWORK)
