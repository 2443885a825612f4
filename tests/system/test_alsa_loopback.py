"""The sound-card sink on a real kernel: boots Debian's arm64 kernel under
qemu-system-aarch64 with the snd-aloop loopback card (one substream per
device, so a second user finds it busy) and three snd-dummy cards in models
that take only some formats, channel counts and rates, and runs
alsa_loopback_check, the console build's static program that plays through
AlsaPcm, checks what the loopback's capture side records and plays on each
dummy card. Exits 77 (skipped) only when qemu-system-aarch64 cannot run at
all."""

import os
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import guest  # noqa: E402

SKIP = 77
PROGRAM = os.environ.get("ZE_SYSTEM_PROGRAM", "build-device/tests/system/alsa_loopback_check")


def main():
    problem = guest.qemu_problem()
    if problem:
        print(f"SKIP: {problem}")
        return SKIP
    program = Path(PROGRAM)
    if not program.is_file():
        print(f"FAIL: {program} is missing: build it with `make test-system`")
        return 1
    kernel = guest.fetch_kernel()
    image = guest.Initramfs()
    image.add_busybox(guest.fetch_busybox())
    image.add_file("/test/alsa_loopback_check", program.read_bytes(), 0o755)
    image.set_init(kernel, modules=[guest.LOOPBACK_CARD, guest.DUMMY_CARDS],
                   commands=["ls /dev/snd", "cat /proc/asound/cards",
                             "/test/alsa_loopback_check"])
    with tempfile.TemporaryDirectory(prefix="ze-system-") as work:
        initrd = Path(work) / "initrd.cpio"
        image.write(initrd)
        run = guest.boot(kernel, initrd, timeout=900, append="quiet")
    print(run.output)
    print(f"guest ran {run.seconds:.0f} s on kernel {kernel.release}")
    if run.timed_out:
        print("FAIL: the guest did not power off in time")
        return 1
    if run.exit_status != 0:
        print(f"FAIL: the guest's test ended with status {run.exit_status}")
        return 1
    checks = [line for line in run.output.splitlines() if line.startswith("CHECK ")]
    if not checks or any(": FAIL" in line for line in checks):
        print("FAIL: a check failed or none ran")
        return 1
    print(f"PASS: {len(checks)} checks")
    return 0


if __name__ == "__main__":
    sys.exit(main())
