"""The stream engine beside mpv on real servers, measured in one run:

- first audio on Icecast MP3, Icecast AAC (icecast2 fed by ffmpeg) and live
  HLS (ffmpeg's two-second segments, a 20 s window, served by nginx): for
  ze-stream the time to its playing marker, for mpv to its audio output
  opening (what bin/play_stream.sh takes as playing for each);
- network drop-outs of 5, 15 and 60 seconds (iptables DROP on the server's
  port) under both players on both servers: the longest silence a listener
  hears (playback starting with the first audio, in real time) and the
  seconds of the source that never reached the output (read from the test
  tone's clock channel), and whether the player gave up.

Everything runs on loopback in a private network namespace (root and
unshare needed); nothing is fetched.

Usage: python3 bench/stream_outage.py [--rounds N] [--outages 5,15,60]
(make bench-stream-outage). Environment: ZE_STREAM_BIN (default build/ze-stream)."""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import harness  # noqa: E402
import streamkit as sk  # noqa: E402

ENGINE = os.environ.get("ZE_STREAM_BIN", os.path.join(harness.BUILD, "ze-stream"))
HLS_PORT, ICECAST_PORT = 8080, 8001
MPV = ["mpv", "--no-config", "--no-video", "--ao=pcm", "--audio-format=s16",
       "--audio-samplerate=44100", "--audio-channels=stereo",
       "--msg-level=all=error,cplayer=info"]


class Player:
    """ze-stream or mpv writing a WAV file; `started` is when it counted as
    playing, on the monotonic clock."""

    def __init__(self, kind, url, wav, marker):
        self.kind, self.wav = kind, wav
        self.began = time.monotonic()
        self.started = None
        if kind.startswith("ze-stream"):
            # "ze-stream/90": with --stall-timeout 90
            extra = ["--stall-timeout", kind.split("/")[1]] if "/" in kind else []
            argv = [ENGINE, "--output", wav, "--marker", marker, *extra, url]
        else:
            argv = MPV + ["--ao-pcm-file=" + wav, url]
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT)
        self.lines = []
        threading.Thread(target=self._read, args=(marker,), daemon=True).start()
        if kind.startswith("ze-stream"):
            threading.Thread(target=self._watch_marker, args=(marker,), daemon=True).start()

    def _read(self, marker):
        for raw in self.process.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.lines.append(line)
            if self.kind == "mpv" and line.startswith("AO: [") and self.started is None:
                self.started = time.monotonic()

    def _watch_marker(self, marker):
        while self.started is None and self.process.poll() is None:
            if os.path.exists(marker):
                self.started = time.monotonic()
            time.sleep(0.002)

    def wait_started(self, timeout=15):
        deadline = time.monotonic() + timeout
        while self.started is None and time.monotonic() < deadline and self.process.poll() is None:
            time.sleep(0.01)
        return None if self.started is None else self.started - self.began

    def stop(self):
        return sk.end_process(self.process, 10)


def first_audio(work, urls, rounds):
    print("First audio (s), %d rounds each, median (min-max):" % rounds)
    print("%-14s %-22s %-22s %s" % ("stream", "ze-stream", "mpv", "difference"))
    for name, url in urls.items():
        times = {"ze-stream": [], "mpv": []}
        for n in range(rounds):
            for kind in times:
                player = Player(kind, url, "%s/first-%s.wav" % (work, kind),
                                "%s/marker-%s-%d" % (work, name, n))
                times[kind].append(player.wait_started())
                player.stop()
                time.sleep(0.2)

        def show(values):
            got = [v for v in values if v is not None]
            if not got:
                return "never"
            return "%.2f (%.2f-%.2f)%s" % (statistics.median(got), min(got), max(got),
                                            "" if len(got) == len(values) else " %d failed"
                                            % (len(values) - len(got)))
        z, m = times["ze-stream"], times["mpv"]
        both = [a - b for a, b in zip(z, m) if a is not None and b is not None]
        print("%-14s %-22s %-22s %s" % (name, show(z), show(m), "%+.2f" % statistics.median(both)
                                         if both else "-"))


def outages(work, urls, lengths):
    print()
    print("Drop-outs after 10 s of play (HLS: 2 s segments, 20 s window; the player's")
    print("default settings): longest silence heard and source seconds lost")
    print("(ze-stream/90: with --stall-timeout 90; \"lost\" counts only what reached the output")
    print("before a player ended)")
    print("%-8s %-8s %-12s %-10s %-8s %s" % ("outage", "stream", "player", "silence", "lost", "ended"))
    for seconds in lengths:
        players = {}
        # Past the engine's default stall limit, also with a longer one.
        kinds = ("ze-stream", "mpv") + (("ze-stream/90",) if seconds > 30 else ())
        for name, url in urls.items():
            for kind in kinds:
                wav = "%s/out-%d-%s-%s.wav" % (work, seconds, name, kind.replace("/", "-"))
                players[name, kind] = (Player(kind, url, wav, wav + ".marker"),
                                       sk.OutputClock(wav))
        cuts = [sk.Outage(HLS_PORT, 10, seconds), sk.Outage(ICECAST_PORT, 10, seconds)]
        for cut in cuts:
            cut.wait()
        time.sleep(15)
        for (name, kind), (player, clock) in sorted(players.items()):
            exited = player.stop()
            silences = clock.silences()
            longest = max((length for _, length in silences if length > 0.2), default=0.0)
            try:
                wav = sk.Wav(player.wav)
                lost = "%.1f s" % sk.lost_seconds(wav, 1, wav.seconds() - 1)
            except (AssertionError, OSError, ValueError, ZeroDivisionError):
                lost = "-"
            if exited is not None:
                ended = "exit %d" % exited
                if kind.startswith("ze-stream"):
                    said = [line for line in player.lines if "stream lost" in line]
                    ended += (": " + said[-1].split("] ", 1)[-1]) if said else ""
            else:
                ended = "no"
            skipped = [line.split("] ", 1)[-1] for line in player.lines
                       if "skipped" in line and "[ze-stream]" in line]
            print("%-8s %-8s %-12s %-10s %-8s %s%s" % ("%d s" % seconds, name, kind,
                                                   "%.1f s" % longest, lost, ended,
                                                   ("; " + skipped[0]) if skipped else ""))


def inside(arguments):
    harness.loopback_up()
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/tmp"], check=True)
    work = tempfile.mkdtemp(prefix="ze_outage_bench_")
    os.chmod(work, 0o755)  # icecast2 runs as nobody
    # nginx's HTTPS port wants a certificate, as in the tests.
    os.makedirs("/tmp/.tls")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", "/tmp/.tls/key.pem",
                    "-out", "/tmp/.tls/cert.pem", "-days", "2", "-subj", "/CN=localhost"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    servers = []
    try:
        icecast = sk.Icecast(work + "/icecast", 8000, ICECAST_PORT)
        servers.append(icecast)
        mp3 = icecast.feed("/tone.mp3", "-c:a", "libmp3lame", "-b:a", "128k", "-content_type",
                           "audio/mpeg", "-f", "mp3")
        aac = icecast.feed("/tone.aac", "-c:a", "aac", "-b:a", "128k", "-content_type",
                           "audio/aac", "-f", "adts")
        hls = sk.LiveTone(work + "/www/hls")
        servers.append(hls)
        servers.append(sk.Nginx(work + "/nginx", work + "/www", ports=(HLS_PORT,)))
        icecast.wait_mounts()
        hls.wait_segments(10, timeout=30)
        hls_url = "http://127.0.0.1:%d/hls/live.m3u8" % HLS_PORT
        first_audio(work, {"Icecast MP3": mp3, "Icecast AAC": aac, "HLS": hls_url},
                    arguments.rounds)
        outages(work, {"HLS": hls_url, "Icecast": mp3}, arguments.outages)
    finally:
        for server in servers:
            server.stop()
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--outages", type=lambda text: [int(x) for x in text.split(",")],
                        default=[5, 15, 60])
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.inside:
        inside(arguments)
        return
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        sys.exit("this benchmark needs root and unshare for a private network namespace")
    sys.exit(subprocess.run(["unshare", "--net", "--mount", "--propagation", "private",
                             sys.executable, "-B", os.path.abspath(__file__), "--inside",
                             *sys.argv[1:]]).returncode)


if __name__ == "__main__":
    main()
