"""What the stream engine costs, measured side by side with ffmpeg in one run:

- CPU time (user + system) to play a 60 s, 128 kbit/s HE-AAC HLS stream
  (served on loopback) into /dev/null, as a ratio to `ffmpeg -i URL -f null -`
  decoding the same stream; the engine's figure includes its curl children;
- the engine's peak resident memory while it plays a live stream;
- the time from the start of the engine to its first audio, once the live
  stream's first segment is on the server.

Usage: python3 bench/stream_cost.py [--rounds N]   (make bench-stream)
Environment: ZE_STREAM_BIN (default build/ze-stream)."""

import argparse
import functools
import http.server
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


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def serve(folder):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0),
                                             functools.partial(Quiet, directory=folder))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, "http://127.0.0.1:%d" % server.server_address[1]


TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(argv):
    """CPU time of a command itself and of the children it waited for, read
    from its last /proc record before it is reaped, and its exit status."""
    process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    own = children = 0.0
    while True:
        with open("/proc/%d/stat" % process.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        if fields[0] == "Z":
            # utime, stime, cutime, cstime are fields 14 to 17 of the record.
            own = (int(fields[11]) + int(fields[12])) / TICK
            children = (int(fields[13]) + int(fields[14])) / TICK
            break
        time.sleep(0.002)
    process.wait()
    return own, children, process.returncode


def peak_memory_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    rounds = parser.parse_args().rounds
    sk.fetch_test_tools()
    work = tempfile.mkdtemp(prefix="ze_stream_bench_")
    try:
        wav = sk.tone_wav(os.path.join(work, "tone.wav"), 997.3, 44100, 60)
        encoder, why = sk.fdkaac()
        if encoder:
            source = os.path.join(work, "he.aac")
            harness.run(encoder, "-p", "5", "-b", "128000", "-f", "2", "-o", source, wav,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            kind = "HE-AAC v1 128 kbit/s"
        else:
            source = sk.encode(wav, os.path.join(work, "lc.aac"), "-c:a", "aac", "-b:a", "128k")
            kind = "AAC-LC 128 kbit/s (no HE-AAC encoder: %s)" % why
        # Six-second segments, as radio stations serve them.
        sk.hls_vod(source, os.path.join(work, "vod"), "-c", "copy", extra=("-hls_time", "6"))
        server, base = serve(work)
        url = base + "/vod/index.m3u8"

        engine_cpu, curl_cpu, ffmpeg_cpu = [], [], []
        for _ in range(rounds):
            own, children, status = cpu_seconds([ENGINE, "--output", "/dev/null", url])
            assert status == 0, "ze-stream failed with %d" % status
            engine_cpu.append(own)
            curl_cpu.append(children)
            own, children, status = cpu_seconds(["ffmpeg", "-nostdin", "-loglevel", "error",
                                                 "-i", url, "-f", "null", "-"])
            assert status == 0, "ffmpeg failed with %d" % status
            ffmpeg_cpu.append(own + children)

        # A live stream: time to the first audio, and memory while playing.
        live_dir = os.path.join(work, "live")
        startups, peaks = [], []
        for n in range(3):
            folder = os.path.join(live_dir, str(n))
            live = sk.LiveHls(source, folder)
            try:
                live.wait_segments(1)
                marker = os.path.join(work, "marker%d" % n)
                started = time.monotonic()
                engine = subprocess.Popen(
                    [ENGINE, "--output", "/dev/null", "--marker", marker,
                     "%s/live/%d/index.m3u8" % (base, n)],
                    stderr=subprocess.DEVNULL)
                while not os.path.exists(marker) and engine.poll() is None:
                    time.sleep(0.005)
                startups.append(time.monotonic() - started)
                time.sleep(8)
                peaks.append(peak_memory_kib(engine.pid))
                engine.terminate()
                engine.wait(5)
            finally:
                live.stop()
        server.shutdown()

        e, c = statistics.median(engine_cpu), statistics.median(curl_cpu)
        f = statistics.median(ffmpeg_cpu)
        print("stream: %s, 60 s in 6 s segments, HLS on loopback, %d rounds" % (kind, rounds))
        print("CPU ze-stream itself   median %.3f s (min %.3f, max %.3f)"
              % (e, min(engine_cpu), max(engine_cpu)))
        print("CPU its curl children  median %.3f s (min %.3f, max %.3f)"
              % (c, min(curl_cpu), max(curl_cpu)))
        print("CPU ffmpeg -f null     median %.3f s (min %.3f, max %.3f)"
              % (f, min(ffmpeg_cpu), max(ffmpeg_cpu)))
        print("ratio ze-stream / ffmpeg: %.2f (target <= 1.2); with curl %.2f" % (e / f, (e + c) / f))
        print("peak resident memory of ze-stream on a live stream: %.1f MB (target <= 16)"
              % (max(peaks) / 1024))
        print("first audio after start, first segment already served: median %.2f s "
              "(max %.2f; target <= 1.5)" % (statistics.median(startups), max(startups)))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
