"""The player's key readers, end to end: button records from the event
devices on the console, single keys from standard input in simulator mode,
and the command pipe beside either."""

import fcntl
import os
import struct
import subprocess
import termios
import time

import harness

EV_KEY, EV_ABS = 1, 3
ABS_HAT0X, ABS_HAT0Y = 16, 17
KEY_UP, KEY_DOWN, BTN_C = 103, 108, 306


def record(type_, code, value):
    """An input_event as a 64-bit kernel writes it (time stamp zero)."""
    return struct.pack("=qqHHi", 0, 0, type_, code, value)


def received(player):
    return [line.split(": ", 1)[1] for line in list(player.lines)
            if line.startswith("[Main] Received action: ")]


class InputTest(harness.SandboxTest):

    def wait_actions(self, player, expected):
        self.wait_until(lambda: len(received(player)) >= len(expected), timeout=5,
                        message="actions %s; output:\n%s" % (expected, player.output()))
        time.sleep(0.2)
        self.assertEqual(received(player), expected, player.output())

    def test_console_reads_every_event_device_and_discards_old_input(self):
        events = self.fake_devices(event_count=2)
        # Held open for reading and writing, so writes never wait for the player.
        ends = [os.open(path, os.O_RDWR | os.O_NONBLOCK) for path in events]
        os.write(ends[0], record(EV_KEY, KEY_UP, 1))  # pressed before the start
        player = self.start_player(simulator=False)
        for path in events:
            player.wait_for(r"^\[Input\] Opened input device: %s$" % path)
        # The reader throws away everything it finds until the devices are
        # empty. Hat pushes show when it reads: those thrown away are lost,
        # and after the first one read the hat is held, so exactly one Down
        # arrives, and the old press never does.
        deadline = time.monotonic() + 5
        while not received(player) and time.monotonic() < deadline:
            os.write(ends[0], record(EV_ABS, ABS_HAT0Y, 1))
            time.sleep(0.02)
        os.write(ends[0], record(EV_ABS, ABS_HAT0Y, 0))
        self.wait_actions(player, ["Down"])
        for end in ends:
            pending = struct.unpack("i", fcntl.ioctl(end, termios.FIONREAD, b"\0" * 4))[0]
            self.assertEqual(pending, 0, "old input was left in the device")

        os.write(ends[0], record(EV_KEY, KEY_DOWN, 1) + record(EV_KEY, KEY_DOWN, 2)
                 + record(EV_KEY, KEY_DOWN, 0) + record(EV_KEY, BTN_C, 1))
        self.wait_actions(player, ["Down", "Down", "Down"])
        player.wait_for(r"^\[Input-Device\] EV_KEY code: 108 value: 2 -> action: Down$")
        os.write(ends[1], record(EV_ABS, ABS_HAT0X, 1) + record(EV_ABS, ABS_HAT0X, 1))
        self.wait_actions(player, ["Down", "Down", "Down", "Right"])
        player.send("  up \r")
        player.wait_for(r"^\[Input-FIFO\] Received command: UP -> Up$")
        self.wait_actions(player, ["Down", "Down", "Down", "Right", "Up"])
        self.assertEqual(player.count(r"^\[Input-Device\]"), 2, player.output())
        for end in ends:
            os.close(end)

    def test_simulator_reads_keys_from_standard_input(self):
        self.fake_devices(event_count=1)
        player = self.start_player(simulator=True, stdin=subprocess.PIPE)
        player.process.stdin.write(b"sS7w]")
        player.process.stdin.flush()
        self.wait_actions(player, ["Down", "Down", "Up", "NextCategory"])
        self.assertEqual(player.count(r"^\[Input"), 0, "event devices were opened")
        # The end of standard input does not stop the player or its commands.
        player.process.stdin.close()
        time.sleep(0.2)
        player.send("s")
        self.wait_actions(player, ["Down", "Down", "Up", "NextCategory", "Down"])
        self.assertIsNone(player.process.poll())

    def test_closed_standard_input_is_never_the_command_pipe(self):
        self.fake_devices(event_count=1)
        player = self.start_player(simulator=True, stdin=None)
        # With descriptor 0 closed the command pipe would open as standard
        # input, and the key reader would take its bytes as keys. A writer
        # that holds the pipe open gives that reader time to wait on it.
        end = os.open(harness.FIFO, os.O_WRONLY)
        time.sleep(0.3)
        for _ in range(10):
            os.write(end, b"DOWN\n")
            time.sleep(0.05)
        os.close(end)
        self.wait_actions(player, ["Down"] * 10)
        self.assertEqual(player.count(r"^\[Main\] Playing station"), 0, player.output())


if __name__ == "__main__":
    harness.main()
