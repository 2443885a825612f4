"""A console-like shell for the package's scripts: busybox applets only.

Scripts under test run with PATH set to a folder of stub programs followed by
a folder of busybox applet links, so they can use nothing the console's
busybox lacks.
"""
import os
import shutil
import stat
import time

BUSYBOX = shutil.which("busybox") or "/bin/busybox"
SOURCE = os.environ.get(
    "ZE_RADIO_SOURCE",
    os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))

APPLETS = ("sh cat dd date sleep rm mv tr wc head tail touch mkdir dirname chmod "
           "basename printf echo test kill ls grep env seq").split()


def make_busybox_dir(root):
    """Creates root/bb with one link per busybox applet the scripts may use."""
    bb = os.path.join(root, "bb")
    os.makedirs(bb, exist_ok=True)
    for applet in APPLETS:
        os.symlink(BUSYBOX, os.path.join(bb, applet))
    return bb


def write_script(path, body):
    """Writes an executable busybox shell script."""
    with open(path, "w") as f:
        f.write(f"#!{BUSYBOX} sh\n{body}")
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)


def wait_for(condition, timeout=10.0, interval=0.02):
    """Polls condition() until it is true; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(interval)


def group_members(pgid):
    """PIDs of live (not zombie) processes in the process group pgid."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        state, group = fields[0], int(fields[2])
        if group == pgid and state != "Z":
            members.append(int(entry))
    return members
