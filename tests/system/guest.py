"""A small arm64 Linux guest under qemu-system-aarch64, for tests that need a
real kernel (sound cards, framebuffers, input devices) on a machine that has
none of them.

The kernel is Debian 12's arm64 kernel package and the user space is
busybox-static; both are fetched with `apt-get download` once and kept under
~/.cache/ze-radio/system, keyed by package version, beside the snd-dummy
module that the kernel package leaves out, built for it once from the same
version's headers and source. A test builds an
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
import json
import lzma
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

QEMU = "qemu-system-aarch64"
CACHE = Path(os.environ.get("ZE_SYSTEM_CACHE", Path.home() / ".cache" / "ze-radio" / "system"))
EXIT_MARKER = "ZE-GUEST-EXIT:"
READY_MARKER = "ZE-GUEST-READY"
SHELL_ENDED_MARKER = "ZE-GUEST-SHELL-ENDED"


# Kernel modules of sound cards, as (name, parameters) for Initramfs: the
# loopback card as card 0, one substream per device, so that a second user
# finds it busy; and three dummy cards in models that take only some
# layouts: card 1 32-bit samples on 26 channels in two periods, card 2
# 16-bit stereo at 48 kHz only, card 3 32-bit samples on ten channels.
LOOPBACK_CARD = ("snd-aloop", "index=0 pcm_substreams=1")
DUMMY_CARDS = ("snd-dummy", "enable=1,1,1 index=1,2,3 model=rme9652,ac97,ice1712 "
               "pcm_devs=1,1,1 pcm_substreams=1,1,1")


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


# Set in a process that must not reach the network (the tests re-run
# themselves inside a private network namespace): what is not in the cache by
# then is an error naming what is missing, never a fetch that cannot succeed.
OFFLINE = "ZE_SYSTEM_OFFLINE"


def _may_fetch(what):
    if os.environ.get(OFFLINE) == "1":
        raise GuestError(f"{what} is not in {CACHE} and this process may not fetch it: "
                         "run prefetch() outside the network namespace first")


def _unpacked(package, version, cache, apt_options=()):
    """The folder where PACKAGE at VERSION is unpacked, fetched on first use
    (with APT_OPTIONS, for a private package list). A partly unpacked folder
    is never seen: the tree is renamed into place."""
    key = f"{package.split(':')[0]}_{version.replace(':', '%')}"
    target = Path(cache) / key
    if target.is_dir():
        return target
    _may_fetch(f"{package}={version}")
    Path(cache).mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=cache, prefix=".fetch-") as work:
        fetched = subprocess.run(["apt-get", *apt_options, "download", f"{package}={version}"],
                                 cwd=work,
                                 capture_output=True, text=True)
        debs = list(Path(work).glob("*.deb"))
        if fetched.returncode != 0 or not debs:
            raise GuestError(f"apt-get download {package}={version} failed: "
                             f"{fetched.stderr.strip()[-500:]}")
        tree = Path(work) / "tree"
        subprocess.run(["dpkg", "-x", str(debs[0]), str(tree)], check=True)
        _rename_into_place(tree, target)
    return target


def _rename_into_place(made, target):
    """Puts the finished folder MADE at TARGET in one rename, so that no
    reader ever sees it half made; another run that got there first is
    fine."""
    try:
        made.rename(target)
    except OSError:
        if not target.is_dir():
            raise


@dataclasses.dataclass
class Kernel:
    release: str  # "6.1.0-57-arm64"
    root: Path    # the unpacked package
    image: Path   # the kernel image qemu boots
    version: str = ""  # of the package: "6.1.192-3"
    # Module name -> absolute path of modules built for this kernel here.
    built_modules: dict = dataclasses.field(default_factory=dict)

    @property
    def modules_dir(self):
        return self.root / "lib" / "modules" / self.release

    def _module_files(self):
        """Module name -> path relative to modules_dir (absolute for the
        modules built here), for every module."""
        files = {}
        for folder, _, names in os.walk(self.modules_dir / "kernel"):
            for name in names:
                if re.search(r"\.ko(\.xz)?$", name):
                    path = Path(folder) / name
                    files[_module_name(name)] = str(path.relative_to(self.modules_dir))
        files.update({name: str(path) for name, path in self.built_modules.items()})
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


def _elf_sections(elf):
    """Section name -> (offset, size) of a 64-bit little-endian ELF file."""
    if elf[:4] != b"\x7fELF" or elf[4] != 2 or elf[5] != 1:
        raise GuestError("not a 64-bit little-endian ELF file")
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
    sections = {}
    for index in range(shnum):
        name, offset, size = section(index)
        end = elf.index(b"\0", names_at + name)
        sections[elf[names_at + name:end].decode(errors="replace")] = (offset, size)
    return sections


def _modinfo(elf):
    """The key=value pairs of a kernel module's .modinfo."""
    offset, size = _elf_sections(elf).get(".modinfo", (0, 0))
    info = {}
    for entry in elf[offset:offset + size].split(b"\0"):
        if entry:
            key, _, value = entry.decode(errors="replace").partition("=")
            info.setdefault(key, value)
    return info


def elf_needed(elf):
    """The DT_NEEDED names of a dynamically linked ELF file, in order."""
    sections = _elf_sections(elf)
    if ".dynamic" not in sections:
        return []
    dyn_at, dyn_size = sections[".dynamic"]
    str_at, _ = sections[".dynstr"]
    names = []
    for at in range(dyn_at, dyn_at + dyn_size, 16):
        tag = int.from_bytes(elf[at:at + 8], "little")
        value = int.from_bytes(elf[at + 8:at + 16], "little")
        if tag == 0:
            break
        if tag == 1:  # DT_NEEDED
            end = elf.index(b"\0", str_at + value)
            names.append(elf[str_at + value:end].decode())
    return names


def _module_name(path):
    base = os.path.basename(path)
    base = re.sub(r"\.ko(\.xz|\.gz|\.zst)?$", "", base)
    return base.replace("-", "_")


def fetch_kernel(cache=CACHE):
    """Debian 12's current arm64 kernel, unpacked in the cache, with the
    snd-dummy module that its package leaves out built for it."""
    meta = _apt_field("linux-image-arm64:arm64", "Depends")
    match = re.search(r"linux-image-(\S+?-arm64)\b", meta or "")
    if not match:
        raise GuestError("cannot resolve linux-image-arm64:arm64 to a kernel package: run "
                         "tools/install-deps device (arm64 package lists) and apt-get update")
    release = match.group(1)
    package, version = _resolve(f"linux-image-{release}:arm64")
    root = _unpacked(package, version, cache)
    image = root / "boot" / f"vmlinuz-{release}"
    if not image.is_file():
        raise GuestError(f"{image} is missing from the kernel package")
    kernel = Kernel(release=release, root=root, image=image, version=version)
    kernel.built_modules["snd_dummy"] = _dummy_sound_module(kernel, cache)
    return kernel


DUMMY_SOURCE = "sound/drivers/dummy.c"


def _dummy_sound_module(kernel, cache):
    """The snd-dummy module for KERNEL, built once and kept in the cache.
    Debian's arm64 kernel is configured without the dummy sound card, so it
    is built the way an out-of-tree module is: its one source file from the
    same version's kernel source, against that kernel's headers (with the
    host's kbuild tools), by the cross compiler. A failed build leaves
    nothing in the cache: the module's folder is renamed into place when
    complete."""
    folder = Path(cache) / f"snd-dummy_{kernel.release}_{kernel.version.replace(':', '%')}"
    module = folder / "snd-dummy.ko"
    if module.is_file():
        return module
    _may_fetch(f"snd-dummy for {kernel.release}")
    series = re.match(r"\d+\.\d+", kernel.release).group(0)  # "6.1"
    abi = kernel.release.rsplit("-", 1)[0]                   # "6.1.0-57"
    compiler = "aarch64-linux-gnu-gcc-12"
    if shutil.which(compiler) is None:
        raise GuestError(f"{compiler} is missing: run tools/install-deps system")
    Path(cache).mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=cache, prefix=".build-") as work:
        work = Path(work)
        packages = [f"linux-headers-{kernel.release}:arm64", f"linux-headers-{abi}-common",
                    f"linux-kbuild-{series}", f"linux-source-{series}"]
        fetched = subprocess.run(["apt-get", "download",
                                  *[f"{name}={kernel.version}" for name in packages]],
                                 cwd=work, capture_output=True, text=True)
        debs = sorted(work.glob("*.deb"))
        if fetched.returncode != 0 or len(debs) != len(packages):
            raise GuestError(f"apt-get download of the kernel's headers and source failed: "
                             f"{fetched.stderr.strip()[-500:]}")
        tree = work / "tree"
        for deb in debs:
            subprocess.run(["dpkg", "-x", str(deb), str(tree)], check=True)
        headers = tree / "usr" / "src"
        source = work / "module"
        source.mkdir()
        (source / "Kbuild").write_text("obj-m := snd-dummy.o\nsnd-dummy-objs := dummy.o\n")
        with open(source / "dummy.c", "wb") as out:
            extracted = subprocess.run(
                ["tar", "-xJOf", str(headers / f"linux-source-{series}.tar.xz"),
                 f"linux-source-{series}/{DUMMY_SOURCE}"], stdout=out, stderr=subprocess.PIPE)
        if extracted.returncode != 0:
            raise GuestError(f"no {DUMMY_SOURCE} in linux-source-{series}: "
                             f"{extracted.stderr.decode(errors='replace')[-300:]}")
        built = subprocess.run(
            ["make", "-C", str(headers / f"linux-headers-{kernel.release}"),
             "-f", str(headers / f"linux-headers-{abi}-common" / "Makefile"),
             f"M={source}", "ARCH=arm64", "CROSS_COMPILE=aarch64-linux-gnu-", "modules"],
            capture_output=True, text=True)
        if built.returncode != 0 or not (source / "snd-dummy.ko").is_file():
            raise GuestError(f"building snd-dummy failed:\n{built.stdout[-1500:]}"
                             f"{built.stderr[-1500:]}")
        done = work / "done"
        done.mkdir()
        shutil.copyfile(source / "snd-dummy.ko", done / "snd-dummy.ko")
        _rename_into_place(done, folder)
    return module


def fetch_busybox(cache=CACHE):
    """Path of an arm64 static busybox, unpacked in the cache."""
    root = _unpacked(*_resolve("busybox-static:arm64"), cache)
    busybox = root / "bin" / "busybox"
    if not busybox.is_file():
        raise GuestError(f"{busybox} is missing from busybox-static")
    return busybox


# The console's firmware is older than this machine: its curl and C library
# come from Debian 11 (bullseye, glibc 2.31), through apt with a package list
# of its own so that the machine's apt sources stay as they are.
OLD_RELEASE = "bullseye"
MIRROR = os.environ.get("ZE_RADIO_DEBIAN_MIRROR", "http://deb.debian.org/debian")
LIBRARY_DIRS = ("lib/aarch64-linux-gnu", "usr/lib/aarch64-linux-gnu")
# Loaded by name at run time, so no DT_NEEDED entry names them: host name
# lookup through /etc/hosts.
NSS_LIBRARIES = ("libnss_files.so.2", "libnss_dns.so.2", "libresolv.so.2")


class PrivateApt:
    """apt-get and apt-cache on a package list of their own under CACHE."""

    def __init__(self, release=OLD_RELEASE, cache=CACHE):
        self.root = Path(cache) / f"apt-{release}-arm64"
        self.release = release

    def options(self):
        root = self.root
        return ["-o", f"Dir::Etc::sourcelist={root}/sources.list", "-o", "Dir::Etc::sourceparts=-",
                "-o", f"Dir::Etc::preferencesparts={root}/preferences.d",
                "-o", f"Dir::State::Lists={root}/lists", "-o", f"Dir::State::status={root}/status",
                "-o", f"Dir::Cache={root}/cache", "-o", "APT::Architecture=arm64",
                "-o", "APT::Architectures=arm64", "-o", "Debug::NoLocking=1"]

    def _has_index(self):
        lists = self.root / "lists"
        return lists.is_dir() and any(lists.glob("*_Packages*"))

    def update(self):
        """Fetches the package list into a folder of its own and puts it in
        place only when apt has written an index: apt-get update reports an
        unreachable mirror as a warning and exits 0, and a list folder left
        empty by such a run must never be taken for a fetched one."""
        _may_fetch(f"the {self.release} package list")
        for folder in ("cache/archives/partial", "preferences.d"):
            (self.root / folder).mkdir(parents=True, exist_ok=True)
        (self.root / "status").touch()
        (self.root / "sources.list").write_text(
            f"deb [arch=arm64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] "
            f"{MIRROR} {self.release} main\n")
        fresh = Path(tempfile.mkdtemp(dir=self.root, prefix=".lists-"))
        try:
            (fresh / "partial").mkdir()
            options = [o if not o.startswith("Dir::State::Lists=") else f"Dir::State::Lists={fresh}"
                       for o in self.options()]
            done = subprocess.run(["apt-get", *options, "update"], capture_output=True, text=True)
            complaint = re.search(r"^(W: Failed to fetch|E: |Err:).*$", done.stderr + done.stdout,
                                  re.MULTILINE)
            if done.returncode != 0 or complaint or not any(fresh.glob("*_Packages*")):
                said = complaint.group(0) if complaint else done.stderr.strip()[-500:]
                raise GuestError(f"apt-get update for {self.release} from {MIRROR} failed: "
                                 f"{said or 'no package index was written'}")
            lists = self.root / "lists"
            if lists.exists():
                shutil.rmtree(lists)
            fresh.rename(lists)
        finally:
            shutil.rmtree(fresh, ignore_errors=True)

    def closure(self, package):
        """(name, version) of PACKAGE and everything it depends on."""
        if not self._has_index():
            self.update()
        plan = subprocess.run(["apt-get", *self.options(), "-s", "install",
                               "--no-install-recommends", package], capture_output=True, text=True)
        found = re.findall(r"^Inst (\S+) \((\S+)", plan.stdout, re.MULTILINE)
        if plan.returncode != 0 or not found:
            raise GuestError(f"cannot resolve {package} in {self.release}: {plan.stderr[-500:]}")
        return found

    def unpacked(self, package):
        """The unpacked trees of PACKAGE and its dependencies. A version the
        mirror no longer has is looked up once more in a fresh list."""
        try:
            return [_unpacked(name, version, CACHE, self.options())
                    for name, version in self.closure(package)]
        except GuestError:
            if os.environ.get(OFFLINE) == "1":
                raise
            self.update()
            return [_unpacked(name, version, CACHE, self.options())
                    for name, version in self.closure(package)]


def old_userland(programs=("curl",)):
    """Guest path -> (bytes, mode) of bullseye's PROGRAMS (from /usr/bin),
    every shared library they load, the dynamic loader and the host name
    lookup libraries."""
    apt = PrivateApt()
    trees = [tree for program in programs for tree in apt.unpacked(program)]

    def find(relative_dirs, name):
        for tree in trees:
            for folder in relative_dirs:
                path = tree / folder / name
                if path.exists():
                    return "/" + folder + "/" + name, path.resolve()
        raise GuestError(f"no {name} in the {OLD_RELEASE} packages")

    files = {}
    wanted = [find(("usr/bin",), program) for program in programs]
    wanted.append(("/lib/ld-linux-aarch64.so.1", find(LIBRARY_DIRS, "ld-linux-aarch64.so.1")[1]))
    wanted += [find(LIBRARY_DIRS, name) for name in NSS_LIBRARIES]
    while wanted:
        guest_path, path = wanted.pop()
        if guest_path in files:
            continue
        data = path.read_bytes()
        files[guest_path] = (data, 0o755)
        wanted += [find(LIBRARY_DIRS, name) for name in elf_needed(data)
                   if name != "ld-linux-aarch64.so.1"]
    return files


def prefetch(old_programs=("curl",)):
    """Fetches everything a guest needs (kernel with the snd-dummy module
    built for it, busybox, the older system's programs) into the cache. Runs before a test enters its network
    namespace; a failure stops the test with the reason."""
    fetch_kernel()
    fetch_busybox()
    old_userland(old_programs)


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

    def set_console_init(self, kernel, modules=(), setup=()):
        """An /init for a guest that stays up (see Console): mounts the kernel
        file systems, loads MODULES, runs the SETUP shell lines, prints
        READY_MARKER and hands the serial console to a shell with echo off."""
        lines = ["#!/bin/sh",
                 "/bin/busybox --install -s /bin",
                 "mount -t proc proc /proc",
                 "mount -t sysfs sysfs /sys",
                 "mount -t devtmpfs devtmpfs /dev",
                 "mount -t tmpfs tmpfs /tmp",
                 "echo 1 > /proc/sys/kernel/printk"]
        lines += self.add_modules(kernel, modules) if modules else []
        lines += list(setup)
        # The shell runs as a child of init, and a new one takes over if it
        # ends, so that nothing a test does to it can end init (a kernel
        # panic); SHELL_ENDED_MARKER tells the test. (Background work goes
        # through Console.start, see there.)
        lines += ["stty -echo", f"echo {READY_MARKER}",
                  f"while :; do sh; echo {SHELL_ENDED_MARKER} $?; done"]
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


class Console:
    """A guest that stays up while a test drives it: shell commands on the
    serial console (an init from Initramfs.set_console_init) and qemu's own
    controls through QMP (keys, screenshots). EXTRA_ARGS adds devices and
    the network; without a -netdev the guest has no network card."""

    def __init__(self, kernel, initrd, folder, memory="512M", cpus=1, append="", extra_args=(),
                 boot_timeout=300):
        self.folder = Path(folder)
        self._qmp_path = self.folder / "qmp.sock"
        argv = [QEMU, "-M", "virt", "-cpu", "cortex-a53", "-smp", str(cpus), "-m", memory,
                "-display", "none", "-no-reboot", "-nodefaults", "-serial", "stdio",
                "-monitor", "none", "-qmp", f"unix:{self._qmp_path},server=on,wait=off",
                "-kernel", str(kernel.image), "-initrd", str(initrd),
                "-append", f"console=ttyAMA0 rdinit=/init panic=-1 quiet {append}".strip()]
        if not any(arg == "-netdev" for arg in extra_args):
            argv += ["-nic", "none"]
        argv += list(extra_args)
        self.started = time.monotonic()
        self._output = bytearray()
        self._changed = threading.Condition()
        self._count = 0
        self._qemu = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self._qmp = None
        self.boot_seconds = None
        self._wait_text(READY_MARKER, boot_timeout)
        self.boot_seconds = time.monotonic() - self.started

    def _read(self):
        while True:
            chunk = self._qemu.stdout.read1(65536)
            with self._changed:
                if not chunk:
                    self._changed.notify_all()
                    return
                self._output += chunk
                self._changed.notify_all()

    def output(self):
        """Everything the serial console printed so far."""
        with self._changed:
            return self._output.decode(errors="replace").replace("\r\n", "\n")

    def _wait_text(self, text, timeout, start=0):
        """Index just past TEXT in the output, waiting for it to appear."""
        needle = text.encode()
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                at = self._output.find(needle, start)
                if at >= 0:
                    return at + len(needle)
                if self._qemu.poll() is not None and not self._reader.is_alive():
                    raise GuestError(f"qemu ended ({self._qemu.returncode}) before {text!r}:\n"
                                     + self.output()[-3000:])
                left = deadline - time.monotonic()
                if left <= 0:
                    raise GuestError(f"no {text!r} within {timeout} s:\n" + self.output()[-3000:])
                self._changed.wait(min(left, 0.5))

    def run(self, command, timeout=60):
        """Runs one shell line in the guest; returns (exit status, output)."""
        self._count += 1
        marker = f"@@{self._count}:"
        with self._changed:
            start = len(self._output)
        self._qemu.stdin.write(f"{command}\necho {marker}$?\n".encode())
        self._qemu.stdin.flush()
        end = self._wait_text(marker, timeout, start)
        line_end = self._wait_text("\n", timeout, end)
        with self._changed:
            text = self._output[start:end - len(marker)].decode(errors="replace")
            status = int(self._output[end:line_end].strip() or b"-1")
        return status, text.replace("\r\n", "\n")

    def start(self, command):
        """Starts a shell line in the background, its input and output on
        /dev/null. With echo off busybox's shell reads its commands through
        stdio, and a background job of its own that ends while it waits
        breaks that read (SIGCHLD, EINTR), which the shell takes for the end
        of its input: it exits. So the line runs under a subshell that ends
        at once, and init adopts it."""
        self.check(f"( ( {command} ) </dev/null >/dev/null 2>&1 & )")

    def check(self, command, timeout=60):
        """Runs a shell line that must succeed; returns its output."""
        status, text = self.run(command, timeout)
        if status != 0:
            raise GuestError(f"guest command failed ({status}): {command}\n{text}")
        return text

    def qmp(self, execute, **arguments):
        """One QMP command; returns its "return" value."""
        if self._qmp is None:
            self._qmp = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self._qmp.connect(str(self._qmp_path))
            self._qmp_file = self._qmp.makefile("rwb")
            self._qmp_reply()  # the greeting
            self.qmp("qmp_capabilities")
        request = {"execute": execute}
        if arguments:
            request["arguments"] = arguments
        self._qmp_file.write(json.dumps(request).encode() + b"\n")
        self._qmp_file.flush()
        reply = self._qmp_reply()
        if "error" in reply:
            raise GuestError(f"QMP {execute} failed: {reply['error']}")
        return reply.get("return")

    def _qmp_reply(self):
        while True:
            line = self._qmp_file.readline()
            if not line:
                raise GuestError("QMP connection closed")
            message = json.loads(line)
            if "event" not in message:
                return message

    def screendump(self, path):
        """The guest's display as (width, height, RGB bytes), also kept in PATH."""
        self.qmp("screendump", filename=str(path))
        return read_ppm(path)

    def close(self):
        """Powers the guest off (or kills it); returns the whole console text."""
        if self._qemu.poll() is None:
            try:
                self._qemu.stdin.write(b"poweroff -f\n")
                self._qemu.stdin.flush()
                self._qemu.wait(30)
            except (OSError, subprocess.TimeoutExpired):
                self._qemu.kill()
                self._qemu.wait()
        self._reader.join(5)
        if self._qmp is not None:
            self._qmp.close()
        return self.output()


def read_ppm(path):
    """(width, height, RGB bytes) of a binary PPM (P6) file with 8-bit samples."""
    data = Path(path).read_bytes()
    fields = []
    at = 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b"#":
            at = data.index(b"\n", at)
            continue
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    if fields[0] != b"P6" or fields[3] != b"255":
        raise GuestError(f"{path} is not an 8-bit binary PPM")
    width, height = int(fields[1]), int(fields[2])
    pixels = data[at + 1:at + 1 + width * height * 3]
    return width, height, pixels
