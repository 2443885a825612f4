"""The stream engine ze-stream end to end, on loopback HTTPS with the real
curl: every stream format it plays, produced live, checked against ffmpeg's
own decode of the same source; and the faults it meets, each ending with its
exit status. Each group runs its producers and engines side by side."""

import json
import os
import random
import shutil
import stat
import threading
import time

import harness
import streamkit
from streamkit import Engine, LiveHls, SlidingPlaylist, Wav

# A tone whose phase moves by a clear fraction of a period over any whole
# number of seconds (its fractional part is near 1/phi): a lost or repeated
# one-second segment shows as a phase jump.
TONE = 997.618
SECOND_TONE = 1499.618
# How far the engine's output may be from ffmpeg's own decode.
LEVEL_DB = 0.1
FREQUENCY_SHARE = 0.0005
# Time allowed for SIGTERM to end the engine (timing belongs to benchmarks).
PROMPT_SECONDS = 3.0
SIGTERM_STATUS = 128 + 15


class Reference:
    """ffmpeg's decode of a source file: rate, tone frequency and levels."""

    def __init__(self, source, path):
        streamkit.ffmpeg("-i", source, "-c:a", "pcm_s16le", "-ac", "2", "-f", "wav", path)
        wav = Wav(path)
        self.rate = wav.rate
        left = wav.channel(0, 1.0, 3.0)
        self.frequency = streamkit.frequency(left, wav.rate)
        self.levels = (streamkit.rms_db(left), streamkit.rms_db(wav.channel(1, 1.0, 3.0)))


class StreamEngineTest(harness.SandboxTest):

    def setUp(self):
        super().setUp()
        harness.loopback_up()
        self.www = "/tmp/www"
        self.src = "/tmp/src"
        self.out = "/tmp/out"
        for folder in (self.www, self.src, self.out):
            os.makedirs(folder)
        self.server = streamkit.StreamServer(self.www)
        self.engines = []
        self.producers = []

    def tearDown(self):
        for producer in self.producers:
            producer.stop()
        for engine in self.engines:
            engine.kill()
        self.server.stop()
        super().tearDown()

    def engine(self, name, url, *options, env=None):
        engine = Engine(url, os.path.join(self.out, name + ".wav"), *options, env=env)
        engine.name = name
        self.engines.append(engine)
        self._players.append(engine)
        return engine

    def live(self, source, name, segment_type="mpegts"):
        producer = LiveHls(source, os.path.join(self.www, name), segment_type)
        self.producers.append(producer)
        return self.server.url + "/%s/index.m3u8" % name

    def aac(self, wav, name):
        return streamkit.encode(wav, os.path.join(self.src, name), "-c:a", "aac", "-b:a", "128k",
                                "-f", "adts")

    def check_tone(self, engine, reference, start=0.5, before_end=0.0, phase_tolerance=1.0):
        """The engine's output is a clean WAV file holding the reference's
        tone at the reference's level, with no silent block and no phase
        jump from `start` seconds to `before_end` seconds before its end."""
        wav = Wav(engine.output_path)
        self.assertEqual(wav.problems, [], engine.output())
        self.assertEqual(wav.rate, reference.rate)
        self.assertGreater(wav.seconds(), start + 2, engine.output())
        end = wav.seconds() - before_end
        left, right = wav.channel(0, start, end), wav.channel(1, start, end)
        self.assertEqual(streamkit.silent_blocks(left, wav.rate)[:5], [])
        self.assertEqual(streamkit.phase_jumps(left, wav.rate, reference.frequency,
                                               phase_tolerance)[:5], [])
        self.assertAlmostEqual(streamkit.frequency(left, wav.rate), reference.frequency,
                               delta=reference.frequency * FREQUENCY_SHARE)
        self.assertAlmostEqual(streamkit.rms_db(left), reference.levels[0], delta=LEVEL_DB)
        self.assertAlmostEqual(streamkit.rms_db(right), reference.levels[1], delta=LEVEL_DB)
        return wav

    def check_stopped(self, engine):
        self.assertEqual(engine.status, SIGTERM_STATUS, engine.output())
        self.assertLess(engine.stop_seconds, PROMPT_SECONDS)
        self.assertEqual(engine.leftover_curls(), [])
        self.assertIn("[ze-stream] stopped", engine.lines)

    def test_every_format_plays_live_like_ffmpegs_own_decode(self):
        fdkaac, why_not = streamkit.fdkaac()
        tone44 = streamkit.tone_wav(os.path.join(self.src, "tone44.wav"), TONE, 44100, 40)
        tone48 = streamkit.tone_wav(os.path.join(self.src, "tone48.wav"), TONE, 48000, 40)
        lc44 = self.aac(tone44, "lc44.aac")
        lc48 = self.aac(tone48, "lc48.aac")
        mp3 = streamkit.encode(tone44, os.path.join(self.src, "tone.mp3"), "-c:a", "libmp3lame",
                               "-b:a", "128k", "-write_xing", "0", "-id3v2_version", "0")
        sources = {"lc44": lc44, "lc48": lc48, "mp3": mp3}
        # A fetch that failed fails the test: HE-AAC is never left out quietly.
        self.assertTrue(fdkaac, "fdkaac could not be had (tools/fetch-test-tools): %s" % why_not)
        for name, profile, wav in (("he1", "5", tone44), ("he2", "29", tone48)):
            sources[name] = os.path.join(self.src, name + ".aac")
            harness.run(fdkaac, "-S", "-p", profile, "-f", "2", "-b", "48000", "-o",
                        sources[name], wav)

        # Producers: ffmpeg in real time for HLS, the test's own servers for
        # packed audio and Icecast-style streams.
        urls = {"lc": self.live(lc44, "lc"), "mp3ts": self.live(mp3, "mp3ts"),
                "fmp4": self.live(lc48, "fmp4", "fmp4")}
        urls["he1"] = self.live(sources["he1"], "he1")
        urls["he2"] = self.live(sources["he2"], "he2")
        with open(lc44, "rb") as f:
            adts, adts_rate = streamkit.adts_frames(f.read())
        with open(mp3, "rb") as f:
            mpeg, mpeg_rate = streamkit.mp3_frames(f.read())
        urls["packed"] = SlidingPlaylist(
            self.server, "/packed/", streamkit.packed_audio_segments(adts, 1024, adts_rate),
            ext="aac").url
        icy_mp3 = streamkit.IcyStream(self.server, "/icy.mp3", mpeg, 1152 / mpeg_rate, "audio/mpeg")
        icy_aac = streamkit.IcyStream(self.server, "/icy.aac", adts, 1024 / adts_rate, "audio/aac")
        urls["icy-mp3"], urls["icy-aac"] = icy_mp3.url, icy_aac.url
        missing = self.server.url + "/missing/stream"
        harness.write(self.www + "/list.pls", "[playlist]\nNumberOfEntries=2\nFile1=%s\n"
                      "Title1=Gone\nFile2=%s\nTitle2=Live\nVersion=2\n" % (missing, icy_mp3.url))
        harness.write(self.www + "/list.m3u", "%s\n%s\n" % (missing, icy_aac.url))
        harness.write(self.www + "/master.m3u8",
                      "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=128000,CODECS=\"mp4a.40.2\"\n"
                      "gone/index.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH=64000,CODECS=\"mp4a.40.2\"\n"
                      "lc/index.m3u8\n")
        urls["pls"] = self.server.url + "/list.pls"
        urls["m3u"] = self.server.url + "/list.m3u"
        urls["master"] = self.server.url + "/master.m3u8"
        for producer in self.producers:
            producer.wait_segments(2)

        references = {name: Reference(path, os.path.join(self.src, name + ".ref.wav"))
                      for name, path in sources.items()}
        of = {"lc": "lc44", "mp3ts": "mp3", "fmp4": "lc48", "he1": "he1", "he2": "he2",
              "packed": "lc44", "icy-mp3": "mp3", "icy-aac": "lc44", "pls": "mp3",
              "m3u": "lc44", "master": "lc44"}
        # The AAC-LC stream plays long enough to show any gap between live
        # segments; the others a few segments each.
        seconds = {name: 22 if name == "lc" else 8 for name in urls}
        started = time.monotonic()
        engines = {name: self.engine(name, url) for name, url in urls.items()}
        for name in sorted(engines, key=seconds.get):
            time.sleep(max(0.0, started + seconds[name] - time.monotonic()))
            engines[name].terminate()
        self.assertEqual(streamkit.processes("curl"), [])

        for name, engine in engines.items():
            with self.subTest(name):
                self.check_stopped(engine)
                self.assertIn("audio started", engine.output())
                self.check_tone(engine, references[of[name]])
        self.assertEqual(engines["pls"].count(r"playlist entry 1: .*404"), 1)
        self.assertEqual(engines["pls"].count(r"playlist entry 2 of 2: " + icy_mp3.url), 1)
        self.assertEqual(engines["m3u"].count(r"playlist entry 1: .*404"), 1)
        self.assertEqual(engines["master"].count(r"variant failed: .*404"), 1)
        self.assertEqual(engines["master"].count(r"HLS variant: .*/lc/index.m3u8$"), 1)
        # Icecast servers add metadata only when asked: the engine asks, and
        # the tone above shows the blocks taken out exactly.
        self.assertGreater(icy_mp3.asked_for_metadata, 0)
        self.assertGreater(icy_aac.asked_for_metadata, 0)
        self.assertGreater(engines["icy-mp3"].count(r"now playing: Test Song \d+$"), 0)
        long = Wav(engines["lc"].output_path)
        self.assertGreater(long.seconds(), 20)

    def test_faults_end_with_the_right_status(self):
        tone44 = streamkit.tone_wav(os.path.join(self.src, "tone44.wav"), TONE, 44100, 30)
        lc44 = self.aac(tone44, "lc44.aac")
        reference = Reference(lc44, os.path.join(self.src, "lc44.ref.wav"))
        vod = [(d, os.path.join(self.www, "vod", name))
               for d, name in streamkit.hls_vod(lc44, os.path.join(self.www, "vod"))]

        # An ended playlist whose second half, after a discontinuity, has
        # another sample rate and another tone.
        short44 = self.aac(streamkit.tone_wav(self.src + "/a.wav", TONE, 44100, 4), "a.aac")
        short48 = self.aac(streamkit.tone_wav(self.src + "/b.wav", SECOND_TONE, 48000, 4), "b.aac")
        rate_change = ["#EXTM3U", "#EXT-X-TARGETDURATION:1", "#EXT-X-PLAYLIST-TYPE:VOD"]
        for part, source in (("a", short44), ("b", short48)):
            if part == "b":
                rate_change.append("#EXT-X-DISCONTINUITY")
            for d, name in streamkit.hls_vod(source, os.path.join(self.www, "rate", part)):
                rate_change += ["#EXTINF:%.5f," % d, part + "/" + name]
        harness.write(self.www + "/rate/index.m3u8", "\n".join(rate_change + ["#EXT-X-ENDLIST"]))

        streamkit.hls_vod(tone44, os.path.join(self.www, "ac3"), "-t", "4", "-c:a", "ac3")
        os.makedirs(self.www + "/aes")
        harness.write(self.www + "/aes/key.bin", bytes(random.Random(7).randrange(256)
                                                       for _ in range(16)))
        harness.write(self.src + "/keyinfo", "%s/aes/key.bin\n%s/aes/key.bin\n"
                      % (self.server.url, self.www))
        streamkit.hls_vod(short44, os.path.join(self.www, "aes"),
                          extra=("-hls_key_info_file", self.src + "/keyinfo"))
        short_reference = Reference(short44, self.src + "/a.ref.wav")

        garbage = bytes(random.Random(3).randrange(256) for _ in range(256 * 1024))
        self.server.route("/garbage.mp3", lambda request, path: streamkit.send_body(
            request, garbage, content_type="audio/mpeg"))
        huge = b"#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\n" + b"a" * (10 << 20) + b".ts\n"
        self.server.route("/huge.m3u8", lambda request, path: streamkit.send_body(request, huge))
        self.server.route("/mute.mp3", lambda request, path: self.server.stopping.wait(60))
        silent = streamkit.SilentListener()
        self.addCleanup(silent.stop)

        # Live playlists from memory: one stops changing after five
        # segments, one answers its fourth segment request with a 404, one
        # turns to segments of noise after eight.
        frozen = SlidingPlaylist(self.server, "/frozen/", vod, freeze_after=5)
        holed = SlidingPlaylist(self.server, "/holed/", vod, fail_request=4)
        noise = random.Random(5)
        noisy = SlidingPlaylist(self.server, "/noisy/", vod[:8] + [
            (d, bytes(noise.randrange(256) for _ in range(20000))) for d, _ in vod[:20]])
        # A live answer without a length that the server closes after 10 KB,
        # every time.
        with open(lc44, "rb") as f:
            first_bytes = f.read(10240)
        closing = []

        def close_early(request, path):
            closing.append(path)
            request.send_response(200)
            request.send_header("Content-Type", "audio/aac")
            request.end_headers()
            request.wfile.write(first_bytes)
        self.server.route("/closing.aac", close_early)
        # A title in every 320 bytes: about fifty a second.
        with open(lc44, "rb") as f:
            adts, adts_rate = streamkit.adts_frames(f.read())
        flood = streamkit.IcyStream(self.server, "/flood", adts, 1024 / adts_rate, "audio/aac",
                                    metaint=320)
        flood_document = "/tmp/flood.json"
        replaced = []

        def watch_document():
            seen = None
            while not self.server.stopping.is_set():
                try:
                    inode = os.stat(flood_document).st_ino
                except FileNotFoundError:
                    inode = None
                if inode != seen and inode is not None:
                    replaced.append(inode)
                seen = inode
                time.sleep(0.002)
        threading.Thread(target=watch_document, daemon=True).start()
        url = self.server.url
        started = time.monotonic()
        e = {
            "404": self.engine("404", url + "/nothing.m3u8"),
            "frozen": self.engine("frozen", frozen.url),
            "holed": self.engine("holed", holed.url),
            "silent-tcp": self.engine("silent-tcp", silent.url, "--stall-timeout", "2"),
            "silent-http": self.engine("silent-http", url + "/mute.mp3", "--stall-timeout", "2"),
            "garbage": self.engine("garbage", url + "/garbage.mp3"),
            "huge": self.engine("huge", url + "/huge.m3u8"),
            "rate": self.engine("rate", url + "/rate/index.m3u8"),
            "ac3": self.engine("ac3", url + "/ac3/index.m3u8"),
            "aes": self.engine("aes", url + "/aes/index.m3u8"),
            "connecting": self.engine("connecting", silent.url),
            "noisy": self.engine("noisy", noisy.url, "--stall-timeout", "5"),
            "closing": self.engine("closing", url + "/closing.aac"),
            "flood": self.engine("flood", flood.url, "--now-playing", flood_document),
        }
        # SIGTERM while the only curl waits for a server that says nothing.
        self.wait_until(lambda: e["connecting"].curls, message="curl of the connecting engine")
        time.sleep(0.5)
        e["connecting"].terminate()
        time.sleep(max(0.0, started + 9 - time.monotonic()))
        e["holed"].terminate()
        e["closing"].terminate()
        flood_document_then = json.loads(harness.read(flood_document))
        e["flood"].terminate()
        for name, engine in e.items():
            if engine.status is None:
                engine.finish(max(1.0, started + 30 - time.monotonic()))
        self.assertEqual(streamkit.processes("curl"), [])

        expected = {"404": 2, "frozen": 1, "holed": SIGTERM_STATUS, "silent-tcp": 1,
                    "silent-http": 1, "garbage": 2, "huge": 2, "rate": 0, "ac3": 2, "aes": 0,
                    "connecting": SIGTERM_STATUS, "noisy": 1, "closing": SIGTERM_STATUS,
                    "flood": SIGTERM_STATUS}
        for name, engine in e.items():
            with self.subTest(name):
                self.assertEqual(engine.status, expected[name], engine.output())
                self.assertEqual(engine.leftover_curls(), [])
                # What cannot be played writes no audio at all, never noise;
                # whatever ends otherwise leaves a complete WAV file.
                if expected[name] == 2:
                    self.assertFalse(os.path.exists(engine.output_path))
                elif os.path.exists(engine.output_path):
                    self.assertEqual(Wav(engine.output_path).problems, [])
        self.check_stopped(e["connecting"])
        self.assertEqual(e["connecting"].count("audio started"), 0)
        self.assertEqual(e["404"].count(r"cannot play: .*404"), 1, e["404"].output())
        self.assertEqual(e["ac3"].count(r"cannot play: unsupported audio codec ac3$"), 1,
                         e["ac3"].output())
        self.assertEqual(e["huge"].count(r"cannot play: .*larger than 4 MB"), 1, e["huge"].output())

        # Lost within the stall bounds: curl's own limit and the engine's
        # guard, or three target durations plus five seconds unchanged.
        for name in ("silent-tcp", "silent-http"):
            self.assertLess(e[name].ended - started, 2 + 4, e[name].output())
        self.assertEqual(e["frozen"].count(r"stream lost: the playlist stopped changing"), 1,
                         e["frozen"].output())
        lost_after = e["frozen"].ended - frozen.frozen_at()
        self.assertGreater(lost_after, 3 * frozen.target + 5 - 2, e["frozen"].output())
        self.assertLess(lost_after, 3 * frozen.target + 5 + frozen.target + 4, e["frozen"].output())

        # Noise instead of audio ends the stream within its stall limit, so
        # that the script can try again; a live stream that its server
        # closes is connected again each time, never taken as ended.
        self.assertEqual(e["noisy"].count(r"stream lost: no audio in 5 s of data"), 1,
                         e["noisy"].output())
        self.assertLess(e["noisy"].ended - started, 8 * noisy.target + 5 + 5, e["noisy"].output())
        self.assertGreaterEqual(len(closing), 3, e["closing"].output())
        self.assertGreater(e["closing"].count(r"connection lost: the server closed the stream"), 1)
        self.assertEqual(e["closing"].count(r"stream ended"), 0, e["closing"].output())
        # Each new connection joins the one before without a silent block.
        joined = Wav(e["closing"].output_path)
        self.assertEqual(streamkit.silent_blocks(joined.channel(0, 0.1, joined.seconds() - 0.1),
                                                 joined.rate)[:5], [])

        # Fifty titles a second for about eight seconds: a line a second in
        # the log, the document replaced at most four times a second, and the
        # songs of the history not pushed out by titles that last a moment.
        self.assertGreater(flood.asked_for_metadata, 0)
        self.assertLessEqual(e["flood"].count(r"now playing: Test Song"), 10, e["flood"].output())
        self.assertGreater(e["flood"].count(r"titles came and went without a line"), 3)
        self.assertLessEqual(len(replaced), 4 * 10, len(replaced))
        self.assertLessEqual(len(flood_document_then["history"]), 1, flood_document_then)

        # A failed segment is skipped; the tone goes on before and after it.
        self.check_stopped(e["holed"])
        self.assertEqual(len(holed.failed), 1)
        skipped = r"segment %d failed, skipped: .*404" % holed.failed[0]
        self.assertEqual(e["holed"].count(skipped), 1, e["holed"].output())
        wav = Wav(e["holed"].output_path)
        for start, end in ((0.5, 2.5), (wav.seconds() - 2.5, wav.seconds() - 0.5)):
            part = wav.channel(0, start, end)
            self.assertAlmostEqual(streamkit.frequency(part, wav.rate), reference.frequency,
                                   delta=reference.frequency * FREQUENCY_SHARE)
            self.assertEqual(streamkit.silent_blocks(part, wav.rate), [])

        # The sample rate changes at the discontinuity: the output keeps the
        # first rate, and the second tone follows.
        self.assertEqual(e["rate"].count(r"audio format changed: 48000 Hz"), 1, e["rate"].output())
        wav = Wav(e["rate"].output_path)
        self.assertEqual((wav.problems, wav.rate), ([], 44100))
        self.assertAlmostEqual(wav.seconds(), 8, delta=0.5)
        first, second = wav.channel(0, 0.5, 3.5), wav.channel(0, 4.5, 7.5)
        self.assertAlmostEqual(streamkit.frequency(first, 44100), TONE,
                               delta=TONE * FREQUENCY_SHARE)
        self.assertAlmostEqual(streamkit.frequency(second, 44100), SECOND_TONE,
                               delta=SECOND_TONE * FREQUENCY_SHARE)
        self.assertEqual(streamkit.silent_blocks(wav.channel(0, 0.5, 7.5), 44100), [])

        # Encrypted segments decrypt into the same tone (up to the fade of
        # the source's own end).
        self.check_tone(e["aes"], short_reference, before_end=0.3)
        self.assertEqual(len(self.server.paths("/aes/key.bin")), 1)

    def test_proxies_odd_addresses_renumbered_playlists_and_cut_titles(self):
        """Through a CONNECT proxy of our own, an HTTPS Icecast-style station
        whose title a server cut in the middle of a UTF-8 letter, and live
        HLS whose now-playing document is a device node; a redirect to a
        folder with a space in its name; a live playlist whose media sequence
        leaps by a million."""
        tone44 = streamkit.tone_wav(os.path.join(self.src, "tone44.wav"), TONE, 44100, 40)
        lc44 = self.aac(tone44, "lc44.aac")
        reference = Reference(lc44, os.path.join(self.src, "lc44.ref.wav"))
        vod = [(d, os.path.join(self.www, "vod", name))
               for d, name in streamkit.hls_vod(lc44, os.path.join(self.www, "vod"))]
        with open(lc44, "rb") as f:
            adts, adts_rate = streamkit.adts_frames(f.read())
        proxy = streamkit.ConnectProxy()
        self.addCleanup(proxy.stop)
        icy = streamkit.IcyStream(self.server, "/icy.aac", adts, 1024 / adts_rate, "audio/aac")
        title = "Sơn Tùng M-TP - Lạc Trôi"
        icy.title = title.encode()[:-2]  # "...Tr\xc3": one byte of the "ô" left
        live = SlidingPlaylist(self.server, "/live/", vod)
        spaced = SlidingPlaylist(self.server, "/my%20dir/", vod)

        def moved(request, path):
            request.send_response(302)
            request.send_header("Location", "/my dir/index.m3u8")
            request.send_header("Content-Length", "0")
            request.end_headers()
        self.server.route("/moved/", moved)
        renumbered = SlidingPlaylist(self.server, "/renumbered/", vod, renumber=(8, 1000000))
        null = os.path.join(self.out, "null")
        os.mknod(null, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        now = os.path.join(self.out, "now.json")

        proxied = {"https_proxy": proxy.url}
        e = {
            "icy": self.engine("icy", icy.url, "--now-playing", now, env=proxied),
            "hls": self.engine("hls", live.url, "--now-playing", null, env=proxied),
            "space": self.engine("space", self.server.url + "/moved/index.m3u8"),
            "leap": self.engine("leap", renumbered.url),
        }
        time.sleep(14)
        # What the engines wrote, while they run.
        with open(now, encoding="utf-8") as f:
            document = json.load(f)
        null_stat = os.stat(null)
        for engine in e.values():
            engine.terminate()
        self.assertEqual(streamkit.processes("curl"), [])

        for name, engine in e.items():
            with self.subTest(name):
                self.check_stopped(engine)
                if name != "leap":
                    self.check_tone(engine, reference)
        # The proxy carried the two that were sent to it, and the station's
        # own head was read behind its answer: title, name and the metadata
        # blocks cut out of the audio (the tone above is whole).
        self.assertEqual(sorted(set(proxy.tunnels)), ["127.0.0.1:443"])
        self.assertGreaterEqual(len(proxy.tunnels), 2)
        shown = "Sơn Tùng M-TP - Lạc Tr"
        self.assertEqual(e["icy"].count(r"now playing: %s$" % shown), 1, e["icy"].output())
        self.assertEqual((document["title"], document["station_name"], document["carrier"]),
                         (shown, "Loopback Test Radio", "ICY"))
        # A device at the document's path is left as it is.
        self.assertTrue(stat.S_ISCHR(null_stat.st_mode))
        self.assertEqual(null_stat.st_rdev, os.makedev(1, 3))
        self.assertGreater(e["hls"].count(r"cannot write .*%s: a character device, not a regular "
                                          r"file: left as it is$" % null), 0, e["hls"].output())
        # Segments lead from where curl went: the folder's name encoded.
        self.assertGreater(len(self.server.paths("/my%20dir/s")), 5)
        self.assertEqual(e["space"].count("not an http"), 0, e["space"].output())
        # The leap is told as what it is; playback goes on from the live edge.
        self.assertEqual(e["leap"].count(r"the playlist's media sequence jumped from \d+ to "
                                         r"100\d{4}; starting again at its live edge$"), 1,
                         e["leap"].output())
        self.assertEqual(e["leap"].count("skipped"), 0, e["leap"].output())
        wav = Wav(e["leap"].output_path)
        self.assertGreater(wav.seconds(), 8, e["leap"].output())
        self.assertAlmostEqual(streamkit.frequency(wav.channel(0, 0.5, wav.seconds() - 0.5), wav.rate),
                               reference.frequency, delta=reference.frequency * FREQUENCY_SHARE)
        leapt = [path for path in self.server.paths("/renumbered/s") if int(
            path.rsplit("/s", 1)[1].split(".")[0]) >= 8]
        self.assertGreater(len(leapt), 2)

    def test_real_servers_redirects_drop_outs_old_servers_and_hostile_lists(self):
        """icecast2 and nginx as stations run them: HLS behind redirects
        (also to HTTPS), Icecast direct and through nginx's chunked proxy,
        a 15 s drop-out of the network under an HLS and an Icecast stream
        and a 5 s one under another Icecast listener; our own server plays an old Shoutcast ("ICY 200 OK") and the
        hostile playlists; the engine also writes into FIFOs."""
        outage_seconds = 15
        icecast = streamkit.Icecast("/tmp/icecast", more_ports=(8003,))
        self.producers.append(icecast)
        icecast_mp3 = icecast.feed("/tone.mp3", "-c:a", "libmp3lame", "-b:a", "128k",
                                   "-content_type", "audio/mpeg", "-f", "mp3")
        icecast_aac = icecast.feed("/tone.aac", "-c:a", "aac", "-b:a", "128k",
                                   "-content_type", "audio/aac", "-f", "adts")
        hls = streamkit.LiveTone(self.www + "/hls")
        self.producers.append(hls)
        nginx = streamkit.Nginx("/tmp/nginx", self.www, ports=(8080, 8082))
        self.producers.append(nginx)

        # Our own server: an old Shoutcast, and the hostile playlists.
        tone = streamkit.tone_wav(self.src + "/tone.wav", TONE, 44100, 60)
        with open(streamkit.encode(tone, self.src + "/tone.mp3", "-c:a", "libmp3lame", "-b:a",
                                   "128k", "-write_xing", "0", "-id3v2_version", "0"), "rb") as f:
            mpeg, mpeg_rate = streamkit.mp3_frames(f.read())
        icy = streamkit.IcyStream(self.server, "/icy200", mpeg, 1152 / mpeg_rate, "audio/mpeg",
                                  icy_status=True)
        os.makedirs(self.www + "/paced")
        shutil.copy(self.src + "/tone.mp3", self.www + "/paced/tone.mp3")
        self.server.route("/icy404", lambda request, path: request.wfile.write(
            b"ICY 404 Resource Not Found\r\n\r\n"))
        url = self.server.url
        entries = "".join("File%d=%s/self.pls?%d\n" % (n, url, n) for n in range(1, 101))
        self.server.route("/self.pls", lambda request, path: streamkit.send_body(
            request, ("[playlist]\n" + entries).encode(), content_type="audio/x-scpls"))
        began = time.monotonic()

        def tiny_playlist(request, path):
            if path.endswith(".m3u8"):
                first = int((time.monotonic() - began) * 10)
                lines = ["#EXTM3U", "#EXT-X-TARGETDURATION:0.001", "#EXT-X-MEDIA-SEQUENCE:%d" % first]
                for n in range(first, first + 3):
                    lines += ["#EXTINF:0.001,", "e%d.ts" % n]
                streamkit.send_body(request, "\n".join(lines).encode())
            else:
                streamkit.send_body(request, b"", content_type="video/mp2t")
        self.server.route("/tiny/", tiny_playlist)
        long_name = "/long/" + "a" * 8000 + "/index.m3u8"
        segments = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n" + "#EXTINF:1,\ns.ts\n" * 20000
        self.server.route("/long/", lambda request, path: streamkit.send_body(
            request, segments.encode()))

        # curl 7.63 and older know no --http0.9 (and let such answers through).
        harness.write("/tmp/oldcurl/curl", "#!/bin/sh\nfor a; do [ \"$a\" = --http0.9 ] && "
                      "{ echo 'curl: option --http0.9: is unknown' >&2; exit 2; }; done\n"
                      "exec /usr/bin/curl \"$@\"\n", 0o755)
        for name in ("fifo", "fifo-unread"):
            os.mkfifo(os.path.join(self.out, name + ".wav"))

        icecast.wait_mounts()
        hls.wait_segments(4)
        e = {
            "redirect": self.engine("redirect", "http://127.0.0.1:8080/r302/live.m3u8"),
            "tls": self.engine("tls", "http://127.0.0.1:8080/r301tls/live.m3u8"),
            "loop": self.engine("loop", "http://127.0.0.1:8080/loop.m3u8"),
            "hls-outage": self.engine("hls-outage", "http://127.0.0.1:8082/r302/live.m3u8"),
            "ice-outage": self.engine("ice-outage", icecast_mp3),
            "ice-short": self.engine("ice-short", icecast_mp3.replace(":8001", ":8003")),
            "file-outage": self.engine("file-outage", "http://127.0.0.1:8082/paced/tone.mp3"),
            "ice-aac": self.engine("ice-aac", icecast_aac.replace(":8001", ":8000")),
            "proxy": self.engine("proxy", "http://127.0.0.1:8080/icy/tone.mp3"),
            "icy200": self.engine("icy200", icy.url),
            "icy404": self.engine("icy404", url + "/icy404"),
            "old-curl": Engine(icecast_aac.replace(":8001", ":8000"), self.out + "/old-curl.wav",
                               path="/tmp/oldcurl:/usr/bin:/bin"),
            "self-list": self.engine("self-list", url + "/self.pls?0"),
            "tiny": self.engine("tiny", url + "/tiny/index.m3u8"),
            "long": self.engine("long", url + long_name),
            "fifo": self.engine("fifo", icecast_aac.replace(":8001", ":8000")),
            "fifo-unread": self.engine("fifo-unread", icecast_aac.replace(":8001", ":8000")),
        }
        self.engines.append(e["old-curl"])
        self._players.append(e["old-curl"])
        clocks = {name: streamkit.OutputClock(e[name].output_path)
                  for name in ("hls-outage", "ice-outage", "ice-short")}
        outages = {"hls-outage": streamkit.Outage(8082, 6, outage_seconds),
                   "ice-outage": streamkit.Outage(8001, 6, outage_seconds),
                   "ice-short": streamkit.Outage(8003, 6, 5)}
        # The FIFO's reader takes a second of audio and goes away.
        with open(e["fifo"].output_path, "rb") as fifo:
            taken = 0
            while taken < 44 + 44100 * 4:
                taken += len(fifo.read(4096) or b"x" * 4096)
        self.assertEqual(e["fifo"].finish(10), 4, e["fifo"].output())
        e["fifo-unread"].terminate()
        for outage in outages.values():
            outage.wait()
        time.sleep(8)
        for engine in e.values():
            if engine.status is None and engine.process.poll() is None:
                engine.terminate()
            elif engine.status is None:
                engine.finish(1)
        self.assertEqual(streamkit.processes("curl"), [])

        expected = {"loop": 2, "icy404": 2, "self-list": 2, "tiny": 1, "long": 2, "fifo": 4}
        for name, engine in e.items():
            with self.subTest(name):
                self.assertEqual(engine.status, expected.get(name, SIGTERM_STATUS), engine.output())
                self.assertEqual(engine.leftover_curls(), [])
        # What plays is the tone, whole, in every setup.
        for name in ("redirect", "tls", "ice-aac", "proxy", "icy200", "old-curl", "hls-outage",
                     "file-outage", "ice-short"):
            with self.subTest(name):
                wav = Wav(e[name].output_path)
                left = wav.channel(0, 0.5, wav.seconds() - 0.5)
                self.assertGreater(wav.seconds(), 5, e[name].output())
                self.assertAlmostEqual(streamkit.frequency(left, wav.rate), TONE,
                                       delta=TONE * FREQUENCY_SHARE)
                # (MP3 at 128 kbit/s comes out half a decibel lower.)
                self.assertAlmostEqual(streamkit.rms_db(left), streamkit.LEVEL_DB, delta=0.6)
                self.assertEqual(streamkit.phase_jumps(left, wav.rate, TONE)[:5], [])
                self.assertEqual(streamkit.silent_blocks(left, wav.rate)[:5], [])

        # Segments lead from where the redirect went: never a 404.
        self.assertEqual([r for r in nginx.requests() if r[0] >= 400], [])
        self.assertEqual([r for r in nginx.requests() if r[1].startswith("/r302/seg")], [])
        self.assertEqual(e["loop"].count(r"cannot play: .*redirects"), 1, e["loop"].output())
        self.assertEqual(e["icy404"].count(r"cannot play: .*ICY 404"), 1, e["icy404"].output())
        self.assertEqual(e["old-curl"].count(r"does not know --http0.9"), 1, e["old-curl"].output())
        self.assertEqual(e["fifo"].count(r"output closed by its reader"), 1, e["fifo"].output())
        self.check_stopped(e["fifo-unread"])

        # Hostile lists end within their limits, with few requests and lines.
        self.assertLessEqual(len(self.server.paths("/self.pls")), 51)
        self.assertLess(len(e["self-list"].lines), 120)
        self.assertGreater(e["self-list"].count("a playlist already read"), 0)
        self.assertEqual(e["self-list"].count(r"cannot play: .*more than 50 addresses"), 1)
        self.assertLess(len(self.server.paths("/tiny/")), 30)
        self.assertEqual(e["tiny"].count(r"segments keep failing: it holds no audio"), 1)
        self.assertEqual(e["long"].count(r"cannot play: .*add up to more than 4 MB"), 1)

        # The drop-outs: one line when each began and one when it ended;
        # none stayed silent much longer than the network. The HLS stream
        # lost nothing; the Icecast stream after 5 s took its stalled
        # connection back and lost nothing either, while after 15 s a new
        # connection took over within two seconds of the network's return.
        # The file went on from where it broke (its tone, checked above, is
        # whole).
        self.assertEqual(e["file-outage"].count(r"connection back after"), 1,
                         e["file-outage"].output())
        self.assertIn((206, "/paced/tone.mp3"), nginx.requests())
        for name, outage in outages.items():
            engine = e[name]
            with self.subTest(name):
                self.assertEqual(engine.count(r"connection lost: "), 1, engine.output())
                self.assertEqual(engine.count(r"connection back after"), 1, engine.output())
                # Gaps under a second are a loaded machine's scheduling,
                # which a sound card's buffer covers; an outage's are longer.
                silences = [(round(start - outage.began, 1), round(length, 1))
                            for start, length in clocks[name].silences() if length > 1.0]
                self.assertLessEqual(len(silences), 1, silences)
                longest = max((length for _, length in silences), default=0)
                self.assertLess(longest, outage.seconds + 2, (silences, engine.output()))
                wav = Wav(engine.output_path)
                lost = streamkit.lost_seconds(wav, 1, wav.seconds() - 1)
                print("%s: silent %s s, %.1f s of audio lost" % (name, silences, lost))
                if name != "ice-outage":
                    self.assertLess(abs(lost), 0.1)
                    self.assertEqual(engine.count("skipped"), 0)
                # The join after the drop-out leaves no silent block.
                self.assertEqual(streamkit.silent_blocks(wav.channel(0, 1, wav.seconds() - 1),
                                                         wav.rate)[:5], [])
                resumed = engine.count("the stalled connection resumed")
                self.assertEqual(resumed, 1 if name == "ice-short" else 0, engine.output())

if __name__ == "__main__":
    streamkit.fetch_test_tools()
    harness.main(network=True)
