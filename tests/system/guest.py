"""A small arm64 Linux guest under qemu-system-aarch64, for tests that need a
real kernel (sound cards, framebuffers, input devices) on a machine that has
none of them.

The kernel is Debian 12's arm64 kernel package and the user space is
busybox-static; both are fetched with `apt-get download` once and kept under
~/.cache/ze-radio/system, keyed by package version. A test builds an
initramfs holding busybox, the kernel modules it needs (in dependency order)
and its own static programs, then boots it; the guest's init runs the test's
commands, prints their exit status on the serial console and powers off.

    kernel = guest.fetch_kernel()
    image = guest.Initramfs()
    image.add_busybox(guest.fetch_busybox())
    image.add_file("/test/prog", open("prog", "rb").read(), 0o755)
    image.set_init(kernel, modules=[("snd-aloop", "pcm_substreams=1")],
                   commands=["/test/prog"])
    image.write(path)
    run = guest.boot(kernel, path, timeout=600)
    run.exit_status, run.output

Everything here runs on the build machine; only the Python standard library,
apt-get, dpkg and qemu-system-aarch64 are used.
"""

import dataclasses
import lzma
import os
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

QEMU = "qemu-system-aarch64"
CACHE = Path(os.environ.get("ZE_SYSTEM_CACHE", Path.home() / ".cache" / "ze-radio" / "system"))
EXIT_MARKER = "ZE-GUEST-EXIT:"


class GuestError(Exception):
    """A guest could not be prepared (packages, modules, files)."""


def qemu_problem():
    """Why qemu-system-aarch64 cannot run here, or None when it can."""
    if shutil.which(QEMU) is None:
        return f"{QEMU} is not installed (tools/install-deps system)"
    try:
        probe = subprocess.run([QEMU, "-M", "virt", "-cpu", "cortex-a53", "-display", "none",
                                "-S", "-monitor", "none", "-serial", "none", "-nodefaults",
                                "-machine", "accel=tcg", "-device", "help"],
                               capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        return f"{QEMU} cannot run: {error}"
    if probe.returncode != 0:
        return f"{QEMU} cannot run: {probe.stderr.strip()[:300]}"
    return None


# --- packages -----------------------------------------------------------

def _apt_field(package, field):
    shown = subprocess.run(["apt-cache", "show", "--no-all-versions", package],
                           capture_output=True, text=True)
    match = re.search(rf"^{field}: (.+)$", shown.stdout, re.MULTILINE)
    return match.group(1).strip() if match else None


def _resolve(package):
    """(package name, version) of the candidate for PACKAGE."""
    version = _apt_field(package, "Version")
    if version is None:
        raise GuestError(f"apt knows no {package}: run tools/install-deps device "
                         "(arm64 package lists) and apt-get update")
    return package, version


def _unpacked(package, version, cache):
    """The folder where PACKAGE at VERSION is unpacked, fetched on first use.
    A partly unpacked folder is never seen: the tree is renamed into place."""
    key = f"{package.split(':')[0]}_{version.replace(':', '%')}"
    target = Path(cache) / key
    if target.is_dir():
        return target
    Path(cache).mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=cache, prefix=".fetch-") as work:
        fetched = subprocess.run(["apt-get", "download", f"{package}={version}"], cwd=work,
                                 capture_output=True, text=True)
        debs = list(Path(work).glob("*.deb"))
        if fetched.returncode != 0 or not debs:
            raise GuestError(f"apt-get download {package}={version} failed: "
                             f"{fetched.stderr.strip()[-500:]}")
        tree = Path(work) / "tree"
        subprocess.run(["dpkg", "-x", str(debs[0]), str(tree)], check=True)
        try:
            tree.rename(target)
        except OSError:
            if not target.is_dir():  # another run that got there first is fine
                raise
    return target


@dataclasses.dataclass
class Kernel:
    release: str  # "6.1.0-57-arm64"
    root: Path    # the unpacked package
    image: Path   # the kernel image qemu boots

    @property
    def modules_dir(self):
        return self.root / "lib" / "modules" / self.release

    def _module_files(self):
        """Module name -> path relative to modules_dir, for every module."""
        files = {}
        for folder, _, names in os.walk(self.modules_dir / "kernel"):
            for name in names:
                if re.search(r"\.ko(\.xz)?$", name):
                    path = Path(folder) / name
                    files[_module_name(name)] = str(path.relative_to(self.modules_dir))
        return files

    def module_data(self, relative):
        """A module's bytes, decompressed."""
        data = (self.modules_dir / relative).read_bytes()
        if relative.endswith(".xz"):
            return lzma.decompress(data)
        if not relative.endswith(".ko"):
            raise GuestError(f"cannot decompress {relative}")
        return data

    def modules_in_load_order(self, names):
        """Paths (relative to modules_dir) of the named modules and everything
        they need, each after its dependencies. The package ships no
        modules.dep (depmod makes it on install), so the dependencies are read
        from each module's own .modinfo."""
        files = self._module_files()
        order = []

        def visit(name, trail):
            path = files.get(name)
            if path is None:
                raise GuestError(f"kernel {self.release} has no module {name}")
            if path in order:
                return
            if name in trail:
                raise GuestError(f"module dependency loop at {name}")
            for dep in _modinfo(self.module_data(path)).get("depends", "").split(","):
                if dep:
                    visit(dep.replace("-", "_"), trail + [name])
            order.append(path)

        for name in names:
            visit(name.replace("-", "_"), [])
        return order


def _modinfo(elf):
    """The key=value pairs of a 64-bit little-endian ELF module's .modinfo."""
    if elf[:4] != b"\x7fELF" or elf[4] != 2 or elf[5] != 1:
        raise GuestError("not a 64-bit little-endian ELF module")
    shoff = int.from_bytes(elf[0x28:0x30], "little")
    shentsize = int.from_bytes(elf[0x3A:0x3C], "little")
    shnum = int.from_bytes(elf[0x3C:0x3E], "little")
    shstrndx = int.from_bytes(elf[0x3E:0x40], "little")

    def section(index):
        at = shoff + index * shentsize
        name = int.from_bytes(elf[at:at + 4], "little")
        offset = int.from_bytes(elf[at + 0x18:at + 0x20], "little")
        size = int.from_bytes(elf[at + 0x20:at + 0x28], "little")
        return name, offset, size

    _, names_at, _ = section(shstrndx)
    for index in range(shnum):
        name, offset, size = section(index)
        end = elf.index(b"\0", names_at + name)
        if elf[names_at + name:end] == b".modinfo":
            info = {}
            for entry in elf[offset:offset + size].split(b"\0"):
                key, _, value = entry.decode(errors="replace").partition("=")
                info.setdefault(key, value)
            return info
    return {}


def _module_name(path):
    base = os.path.basename(path)
    base = re.sub(r"\.ko(\.xz|\.gz|\.zst)?$", "", base)
    return base.replace("-", "_")


def fetch_kernel(cache=CACHE):
    """Debian 12's current arm64 kernel, unpacked in the cache."""
    meta = _apt_field("linux-image-arm64:arm64", "Depends")
    match = re.search(r"linux-image-(\S+?-arm64)\b", meta or "")
    if not match:
        raise GuestError("cannot resolve linux-image-arm64:arm64 to a kernel package: run "
                         "tools/install-deps device (arm64 package lists) and apt-get update")
    release = match.group(1)
    root = _unpacked(*_resolve(f"linux-image-{release}:arm64"), cache)
    image = root / "boot" / f"vmlinuz-{release}"
    if not image.is_file():
        raise GuestError(f"{image} is missing from the kernel package")
    return Kernel(release=release, root=root, image=image)


def fetch_busybox(cache=CACHE):
    """Path of an arm64 static busybox, unpacked in the cache."""
    root = _unpacked(*_resolve("busybox-static:arm64"), cache)
    busybox = root / "bin" / "busybox"
    if not busybox.is_file():
        raise GuestError(f"{busybox} is missing from busybox-static")
    return busybox


# --- initramfs ----------------------------------------------------------

class Initramfs:
    """The files of an initramfs, written as an uncompressed cpio (newc)."""

    def __init__(self):
        self._entries = {}  # guest path -> (mode, data)
        for folder in ("/bin", "/dev", "/proc", "/sys", "/tmp", "/lib", "/lib/modules", "/test"):
            self.add_dir(folder)

    def add_dir(self, path, mode=0o755):
        self._entries[path] = (0o040000 | mode, b"")

    def add_file(self, path, data, mode=0o644):
        self._add_parents(path)
        self._entries[path] = (0o100000 | mode, bytes(data))

    def add_symlink(self, path, target):
        self._add_parents(path)
        self._entries[path] = (0o120000 | 0o777, target.encode())

    def add_busybox(self, busybox):
        self.add_file("/bin/busybox", Path(busybox).read_bytes(), 0o755)
        self.add_symlink("/bin/sh", "busybox")

    def add_modules(self, kernel, modules):
        """Copies the modules and their dependencies (decompressed, since
        busybox's insmod may not read compressed ones) to /lib/modules and
        returns the shell lines that load them in order. MODULES: names or
        (name, parameters) pairs."""
        params = {}
        names = []
        for module in modules:
            name, args = (module, "") if isinstance(module, str) else module
            names.append(name)
            params[name.replace("-", "_")] = args
        lines = []
        for relative in kernel.modules_in_load_order(names):
            data = kernel.module_data(relative)
            name = _module_name(relative)
            self.add_file(f"/lib/modules/{name}.ko", data)
            args = params.get(name, "")
            lines.append(f"insmod /lib/modules/{name}.ko {args}".rstrip()
                         + f" || echo 'guest: insmod {name} failed'")
        return lines

    def set_init(self, kernel, modules=(), commands=()):
        """An /init that mounts the kernel file systems, loads MODULES, runs
        COMMANDS (shell lines) in order until one fails, prints the status
        after EXIT_MARKER and powers off."""
        lines = ["#!/bin/sh",
                 "/bin/busybox --install -s /bin",
                 "mount -t proc proc /proc",
                 "mount -t sysfs sysfs /sys",
                 "mount -t devtmpfs devtmpfs /dev",
                 "mount -t tmpfs tmpfs /tmp"]
        lines += self.add_modules(kernel, modules) if modules else []
        lines.append("status=0")
        for command in commands:
            lines.append(f"if [ $status -eq 0 ]; then {command}; status=$?; fi")
        lines += [f"echo '{EXIT_MARKER}' $status", "poweroff -f"]
        self.add_file("/init", ("\n".join(lines) + "\n").encode(), 0o755)

    def write(self, path):
        with open(path, "wb") as out:
            for number, (name, (mode, data)) in enumerate(sorted(self._entries.items()), 1):
                _cpio_entry(out, name.lstrip("/"), mode, data, number)
            _cpio_entry(out, "TRAILER!!!", 0, b"", 0)

    def _add_parents(self, path):
        parent = os.path.dirname(path)
        while parent not in ("", "/") and parent not in self._entries:
            self.add_dir(parent)
            parent = os.path.dirname(parent)


def _cpio_entry(out, name, mode, data, inode):
    encoded = name.encode() + b"\0"
    fields = [inode, mode, 0, 0, 1 if mode & 0o040000 == 0 else 2, 0, len(data),
              0, 0, 0, 0, len(encoded), 0]
    header = b"070701" + b"".join(b"%08X" % field for field in fields)
    out.write(header + encoded)
    out.write(b"\0" * (-(len(header) + len(encoded)) % 4))
    out.write(data)
    out.write(b"\0" * (-len(data) % 4))


# --- running ------------------------------------------------------------

@dataclasses.dataclass
class GuestRun:
    output: str             # everything the serial console printed
    exit_status: int | None  # the init's status line, None when it never came
    timed_out: bool
    seconds: float


def boot(kernel, initrd, timeout=600, memory="512M", append="", extra_args=()):
    """Boots the guest with INITRD and returns what it printed. The guest
    powers itself off; a guest still running at TIMEOUT is killed."""
    argv = [QEMU, "-M", "virt", "-cpu", "cortex-a53", "-m", memory, "-nographic",
            "-no-reboot", "-nic", "none", "-kernel", str(kernel.image), "-initrd", str(initrd),
            "-append", f"console=ttyAMA0 rdinit=/init panic=-1 {append}".strip(), *extra_args]
    started = time.monotonic()
    with subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT) as qemu:
        try:
            output, _ = qemu.communicate(timeout=timeout)
            timed_out = False
        except subprocess.TimeoutExpired:
            qemu.kill()
            output, _ = qemu.communicate()
            timed_out = True
    text = output.decode(errors="replace").replace("\r\n", "\n")
    match = re.search(rf"^{EXIT_MARKER} (\d+)\s*$", text, re.MULTILINE)
    return GuestRun(output=text, exit_status=int(match.group(1)) if match else None,
                    timed_out=timed_out, seconds=time.monotonic() - started)
