"""The player as a whole: start-up, browsing, favourites, volume, the exit
statuses and the reconnection to background playback."""

import json
import os
import shutil
import subprocess
import time

import harness
from harness import APP_DIR, BANNER, PLAYING_MARKER, STATE_FILE, SYSTEM_JSON, read, write

# The engine stub with two fetchers under the names the old kill by name
# went for: one in the engine's process group, one that left it. Their PIDs
# are written to /tmp/escaped-<engine PID>.
ENGINE_WITH_FETCHERS = """#!/bin/sh
/tmp/.engine/curl 1000 &
in_group=$!
setsid /tmp/.engine/ffmpeg 1000 &
echo "$in_group $!" > /tmp/escaped-$$
sleep 0.3
echo 1 > "$ZE_RADIO_PLAYING_MARKER"
sleep 1000
"""


class AppTest(harness.SandboxTest):

    def test_banner_catalog_and_clean_exit(self):
        player = self.start_player()
        player.send("exit")
        self.assertEqual(player.wait_exit(), 0)
        self.assertEqual(player.lines[:3], BANNER)
        self.assertIn("[Framebuffer] Notice: Could not open /dev/fb0 (Forced simulator mode). "
                      "Initializing Desktop Simulator mode.", player.lines)
        self.assertIn("[Catalog] File not found or invalid, using built-in default channels",
                      player.lines)
        tail = player.lines[-2:]
        self.assertEqual(tail, ["[Main] Received action: Exit", "[Main] Clean exit (not playing)."])

    def test_catalog_from_the_app_folder_and_browsing_through_the_pipe(self):
        catalog = json.load(open(os.path.join(harness.SOURCE, "assets/channels.json")))
        catalog["channels"] = catalog["channels"][:3]
        write(APP_DIR + "/channels.json", json.dumps(catalog, ensure_ascii=False))
        player = self.start_player()
        player.send("down", "  Vol_Up \r", "R1", "select", "play pause", "MENU")
        self.assertEqual(player.wait_exit(), 0)
        self.assertIn("[Catalog] Loaded 3 channels from /mnt/SDCARD/Apps/ze-radio/channels.json",
                      player.lines)
        received = [l for l in player.lines if l.startswith("[Main] Received action")]
        self.assertEqual(received, ["[Main] Received action: " + a for a in
                                    ("Down", "VolumeUp", "NextCategory", "MuteToggle", "Exit")])
        self.assertIn("[Input-FIFO] Received command: VOL_UP -> VolumeUp", player.lines)
        self.assertIn("[SleepTimer] Sleep timer set to: 15m", player.lines)

    def test_favourites_persist_across_starts(self):
        os.makedirs(APP_DIR)
        player = self.start_player()
        player.send("DOWN", "FAV", "RIGHT", "Y", "EXIT")
        self.assertEqual(player.wait_exit(), 0)
        self.assertIn("[Favorites] Added vov2 to favorites", player.lines)
        self.assertIn("[Favorites] Added voh-fm999 to favorites", player.lines)
        self.assertEqual(read(APP_DIR + "/favorites.json"), '[\n  "voh-fm999",\n  "vov2"\n]')

        player = self.start_player()
        player.send("DOWN", "FAV", "RIGHT", "Y", "EXIT")
        self.assertEqual(player.wait_exit(), 0)
        self.assertIn("[Favorites] Removed vov2 from favorites", player.lines)
        self.assertEqual(read(APP_DIR + "/favorites.json"), "[]")

    def test_keys_on_standard_input(self):
        player = self.start_player(stdin=subprocess.PIPE)
        player.process.stdin.write(b"s\x00y9q")
        player.process.stdin.flush()
        player.wait_for(r"Received action: PrevCategory")
        player.process.stdin.write(b"m")
        player.process.stdin.close()
        self.assertEqual(player.wait_exit(), 0)
        received = [l for l in player.lines if l.startswith("[Main] Received action")]
        self.assertEqual(received, ["[Main] Received action: " + a for a in
                                    ("Down", "ToggleFavorite", "PrevCategory", "Exit")])
        self.assertIn("[Favorites] Added vov2 to favorites", player.lines)
        self.assertEqual(read(self.work + "/favorites.json"), '[\n  "vov2"\n]')

    def test_volume_drives_the_mixer_and_the_settings_file(self):
        write(SYSTEM_JSON, '{\n\t"vol" : 16,\n\t"bright": 7\n}')
        self.stub("tinymix")
        player = self.start_player()
        player.send("PLUS", "MINUS", "MINUS", "EXIT")
        self.assertEqual(player.wait_exit(), 0)
        self.assertEqual(self.calls("tinymix"), [["set", "3", "5"], ["set", "3", "7"],
                                                 ["set", "3", "9"]])
        self.assertEqual(read(SYSTEM_JSON), '{\n\t"vol": 15,\n\t"bright": 7\n}')

    def test_background_playback_survives_and_stops_end_only_what_the_player_started(self):
        # With the real killall on the search path and programs named curl,
        # ffmpeg, aplay and mpv running beside the player that it did not
        # start: every PLAY, stop and exit ends the engine and all it started
        # (also a fetcher that left the engine's process group), and none of
        # the others.
        self.assertIsNotNone(shutil.which("killall"), "the real killall must be present")
        for name in ("curl", "ffmpeg"):
            os.makedirs("/tmp/.engine", exist_ok=True)
            os.symlink(shutil.which("sleep"), "/tmp/.engine/" + name)
        self.with_engine(ENGINE_WITH_FETCHERS)
        bystanders = self.start_bystanders()
        player = self.start_player()

        def play(*keys):
            mark = player.mark()
            player.send(*keys)
            line = player.wait_for(r"stream engine spawned successfully \(PID: \d+\)", start=mark)
            engine = int(line.split("PID: ")[1].rstrip(")"))
            self.wait_until(lambda: os.path.exists("/tmp/escaped-%d" % engine), message="fetchers")
            self.wait_until(lambda: read("/tmp/escaped-%d" % engine).endswith("\n"),
                            message="fetcher PIDs")
            return [engine] + [int(p) for p in read("/tmp/escaped-%d" % engine).split()]

        def gone(pids, when):
            self.wait_until(lambda: not any(_alive(p) for p in pids), message="engine " + when)
            self.assert_alive(bystanders, when)

        first = play("A")
        self.assertIn("[AudioPlayer] Using TrimUI stream engine (./bin/play_stream.sh)", player.lines)
        second = play("DOWN", "A")
        gone(first, "by a PLAY")
        player.send("B")
        gone(second, "by a stop")

        engine, *fetchers = play("UP", "A")
        self.wait_until(lambda: os.path.exists(PLAYING_MARKER), message="playing marker")
        state = json.loads(read(STATE_FILE))
        self.assertEqual(state["station_id"], "vov1 - thời sự & chính trị")
        self.assertEqual(state["pid"], engine)
        self.assertEqual(state["process_name"], "sh")
        time.sleep(0.1)  # a frame sees the marker
        player.send("EXIT")
        player.wait_for(r"Received action: Exit")
        time.sleep(0.2)
        self.assertIsNone(player.process.poll())  # the exit dialog is open
        player.send("A")
        self.assertEqual(player.wait_exit(), 10)
        self.assertEqual(player.lines[-1], "[Main] Background Playback Mode selected! "
                                           "Audio daemon will remain active.")
        self.assertTrue(all(_alive(p) for p in [engine] + fetchers))  # still playing
        self.assertTrue(os.path.exists(STATE_FILE))

        player = self.start_player()
        player.wait_for(r"Reconnected to background playback session \(PID: %d, station: "
                        r"VOV1 - Thời sự & Chính trị\)" % engine)
        player.send("MENU")
        player.wait_for(r"Received action: Exit")
        time.sleep(0.2)
        self.assertIsNone(player.process.poll())
        player.send("B")
        self.assertEqual(player.wait_exit(), 0)
        self.assertIn("[Main] Full Exit selected. Stopping playback and returning to MainUI.",
                      player.lines)
        gone([engine] + fetchers, "by a full exit")
        self.assertFalse(os.path.exists(STATE_FILE))
        self.assertFalse(os.path.exists(PLAYING_MARKER))

        # A clean exit with nothing playing stops as well.
        player = self.start_player()
        player.send("EXIT")
        self.assertEqual(player.wait_exit(), 0)
        self.assert_alive(bystanders, "by a clean exit")

    def test_stale_state_file_is_removed_and_a_broken_one_kept(self):
        gone = subprocess.Popen(["true"])
        gone.wait()
        record = {"station_id": "x", "station_name": "X", "stream_url": "u", "frequency": "f",
                  "pid": gone.pid, "started_at": 1}
        write(STATE_FILE, json.dumps(record))
        player = self.start_player()
        player.send("EXIT")
        self.assertEqual(player.wait_exit(), 0)
        self.assertFalse(os.path.exists(STATE_FILE))
        self.assertFalse(any("Reconnected" in l for l in player.lines))

        write(STATE_FILE, "{not json")
        player = self.start_player()
        self.assertEqual(read(STATE_FILE), "{not json")
        player.send("EXIT")  # leaving stops playback, which clears the file
        self.assertEqual(player.wait_exit(), 0)
        self.assertFalse(os.path.exists(STATE_FILE))

    def test_exit_is_ignored_right_after_start(self):
        player = self.start_player(wait_ready=False)
        self.wait_until(lambda: os.path.exists(harness.FIFO), message="pipe")
        player.send("EXIT")
        player.wait_for(r"Ignoring Exit during initial 600ms grace period")
        time.sleep(0.7)
        player.send("EXIT")
        self.assertEqual(player.wait_exit(), 0)


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie counts as gone.
    with open("/proc/%d/stat" % pid) as f:
        return f.read().split(")")[-1].split()[0] != "Z"


if __name__ == "__main__":
    harness.main()
