"""End-to-end harness: runs the real player inside private namespaces.

A test module calls `harness.main()` instead of `unittest.main()`. Outside a
sandbox that re-runs the module under `unshare` (private mount and pid
namespaces, plus a network namespace when the module sets NETWORK = True),
with a small init process that reaps orphans so that a killed process really
disappears. Inside, every test gets fresh tmpfs mounts over /tmp and /mnt, so
the player's fixed paths (/tmp/ze_radio_*, /mnt/SDCARD/..., /mnt/UDISK/...)
are the test's own, and nothing the player does to processes reaches past
the sandbox.
"""

import os
import re
import shutil
import stat
import subprocess
import sys
import threading
import time
import unittest

INSIDE_ENV = "ZE_E2E_INSIDE"
SKIP = 77  # CTest's skip status for these tests

SOURCE = os.environ.get("ZE_RADIO_SOURCE", os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))))
BUILD = os.environ.get("ZE_RADIO_BUILD", os.path.join(SOURCE, "build"))
BINARY = os.environ.get("ZE_RADIO_BIN", os.path.join(BUILD, "ze-radio"))

FIFO = "/tmp/ze_radio_cmd"
APP_DIR = "/mnt/SDCARD/Apps/ze-radio"
SYSTEM_JSON = "/mnt/UDISK/system.json"
STATE_FILE = "/tmp/ze_radio_state.json"
PID_FILE = "/tmp/ze_radio_stream.pid"
PLAYING_MARKER = "/tmp/ze_radio_playing"
# Stands in for the console's stream engine: "plays" until killed. It stays
# the shell it was started as, as the real script does.
ENGINE = """#!/bin/sh
echo "$@" > /tmp/engine-args
sleep 0.3
echo 1 > "$ZE_RADIO_PLAYING_MARKER"
sleep 1000
"""
BANNER = ["=" * 50, "=== Starting ZE-Radio Vietnamese Internet Player ===", "=" * 50]


def run(*argv, check=True, **kwargs):
    return subprocess.run(list(argv), check=check, **kwargs)


def _reaper_init(argv):
    """PID 1 of the sandbox: starts the tests and reaps every orphan."""
    child = os.fork()
    if child == 0:
        os.execvpe(argv[0], argv, dict(os.environ, **{INSIDE_ENV: "1"}))
    while True:
        pid, status = os.wait()
        if pid == child:
            os._exit(os.waitstatus_to_exitcode(status) & 0xFF)


def main(network=False):
    """Entry point of an end-to-end test module."""
    if os.environ.get(INSIDE_ENV) == "1":
        _keep_project_reachable()
        unittest.main(verbosity=2)
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--reaper-init":
        _reaper_init(sys.argv[2:])
        return
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        print("SKIP: end-to-end tests need root and unshare for private namespaces")
        sys.exit(SKIP)
    flags = ["--mount", "--propagation", "private", "--pid", "--fork", "--mount-proc"]
    if network:
        flags.append("--net")
    probe = subprocess.run(["unshare"] + flags + ["true"], capture_output=True)
    if probe.returncode != 0:
        print("SKIP: private namespaces are not available here: " + probe.stderr.decode().strip())
        sys.exit(SKIP)
    script = os.path.abspath(sys.argv[0])
    inner = [sys.executable, "-B", script] + sys.argv[1:]
    result = subprocess.run(["unshare"] + flags + [sys.executable, "-B", script, "--reaper-init"]
                            + inner)
    sys.exit(result.returncode)


_kept_fds = []
_kept_folders = []  # (real path, path that stays reachable)


def _keep_project_reachable():
    """Keeps the build and source folders reachable when they lie under /tmp
    or /mnt, which every test covers with a fresh tmpfs."""
    global SOURCE, BUILD, BINARY
    for name in ("SOURCE", "BUILD"):
        path = os.path.realpath(globals()[name])
        if path.startswith("/tmp/") or path.startswith("/mnt/"):
            fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
            _kept_fds.append(fd)
            moved = "/proc/%d/fd/%d" % (os.getpid(), fd)
            _kept_folders.append((path, moved))
            globals()[name] = moved
    BINARY = reachable(BINARY)


def reachable(path):
    """`path` as it stays reachable inside the tests: a file under the build
    or source folder is reached through the folder kept open."""
    real = os.path.realpath(path)
    for folder, moved in _kept_folders:
        if real.startswith(folder + "/"):
            return moved + real[len(folder):]
    return path


def write(path, data, mode=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)
    if mode is not None:
        os.chmod(path, mode)


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def send_commands(commands, timeout, describe):
    """Writes command lines into the command pipe once a player reads it;
    `describe()` gives the text shown when none does in time."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            fd = os.open(FIFO, os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError:
            if time.monotonic() > deadline:
                raise AssertionError("command pipe has no reader:\n" + describe())
            time.sleep(0.02)
    try:
        os.set_blocking(fd, True)
        os.write(fd, "".join(c + "\n" for c in commands).encode())
    finally:
        os.close(fd)


def live_processes(programs):
    """Live (not zombie) processes whose command line names one of
    `programs` in its first three words (a script run by sh counts), as
    {pid: program}."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                argv = [a.decode(errors="replace") for a in f.read().split(b"\0")[:3]]
            with open("/proc/%s/stat" % entry) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        hit = [os.path.basename(a) for a in argv if os.path.basename(a) in programs]
        if state != "Z" and hit:
            found[int(entry)] = hit[0]
    return found


class Player:
    """The running player: its log lines, its command pipe, its exit."""

    def __init__(self, argv, env, cwd, stdin):
        self.lines = []
        self.times = []  # when each line arrived (monotonic seconds)
        self._new = threading.Condition()
        # stdin=None: the player starts with descriptor 0 closed.
        self.process = subprocess.Popen(argv, env=env, cwd=cwd, stdin=stdin,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        preexec_fn=(lambda: os.close(0)) if stdin is None else None)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.process.stdout:
            with self._new:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self.times.append(time.monotonic())
                self._new.notify_all()
        self.process.stdout.close()
        with self._new:
            self._new.notify_all()

    def output(self):
        with self._new:
            return "\n".join(self.lines)

    def wait_for(self, pattern, timeout=10.0, start=0):
        """The first line at index >= start matching the regular expression."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._new:
            while True:
                for line in self.lines[start:]:
                    if rx.search(line):
                        return line
                left = deadline - time.monotonic()
                if left <= 0 or (self.process.poll() is not None and not self._reader.is_alive()):
                    raise AssertionError("no line matching %r within %.1fs; output:\n%s"
                                         % (pattern, timeout, "\n".join(self.lines)))
                self._new.wait(min(left, 0.1))

    def mark(self):
        """Index of the next line, for wait_for(start=...)."""
        with self._new:
            return len(self.lines)

    def count(self, pattern):
        rx = re.compile(pattern)
        with self._new:
            return sum(1 for line in self.lines if rx.search(line))

    def send(self, *commands, timeout=5.0):
        """Writes command lines into the player's command pipe."""
        send_commands(commands, timeout, self.output)

    def wait_exit(self, timeout=10.0):
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("player still running; output:\n" + self.output())
        self._reader.join(2)
        return code

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


class SandboxTest(unittest.TestCase):
    """A test case with fresh /tmp and /mnt and helpers to run the player."""

    def setUp(self):
        self._mounts = []
        self._players = []
        self.mount_tmpfs("/tmp")
        self.mount_tmpfs("/mnt")
        self.stub_dir = "/tmp/.stubs"
        self.calls_dir = "/tmp/.calls"
        os.makedirs(self.stub_dir)
        os.makedirs(self.calls_dir)
        self.home = "/tmp/.home"
        # Audio from real players goes nowhere.
        write(self.home + "/.asoundrc", "pcm.!default { type null }\nctl.!default { type hw card 0 }\n")
        self.work = "/tmp/work"
        os.makedirs(self.work)

    def tearDown(self):
        for player in self._players:
            player.kill()
        for path in reversed(self._mounts):
            run("umount", "-l", path, check=False)

    # Mounts -----------------------------------------------------------------

    def mount_tmpfs(self, path):
        os.makedirs(path, exist_ok=True)
        run("mount", "-t", "tmpfs", "-o", "mode=1777", "tmpfs", path)
        self._mounts.append(path)

    def bind_file(self, source, target):
        run("mount", "--bind", source, target)
        self._mounts.append(target)

    def overlay_dir(self, target, files=None, hidden=()):
        """Covers a system folder with an overlay whose upper layer holds
        `files` ({name: (content, mode)}) and hides the names in `hidden`."""
        base = "/tmp/.overlay" + target.replace("/", "_")
        upper, work = base + "/upper", base + "/work"
        os.makedirs(upper)
        os.makedirs(work)
        for name, (content, mode) in (files or {}).items():
            write(os.path.join(upper, name), content, mode)
        for name in hidden:
            os.mknod(os.path.join(upper, name), stat.S_IFCHR, os.makedev(0, 0))
        run("mount", "-t", "overlay", "overlay", "-o",
            "lowerdir=%s,upperdir=%s,workdir=%s" % (target, upper, work), target)
        self._mounts.append(target)

    def fake_devices(self, event_count=2, framebuffer=True):
        """A private /dev with /dev/null and friends, /dev/fb0 as a plain file
        and /dev/input/event0.. as named pipes. Returns the event paths."""
        self.mount_tmpfs("/dev")
        for name, major, minor in (("null", 1, 3), ("zero", 1, 5), ("full", 1, 7),
                                   ("random", 1, 8), ("urandom", 1, 9), ("tty", 5, 0)):
            os.mknod("/dev/" + name, 0o666 | stat.S_IFCHR, os.makedev(major, minor))
        os.makedirs("/dev/shm")
        os.makedirs("/dev/input")
        if framebuffer:
            write("/dev/fb0", b"")
        events = []
        for n in range(event_count):
            path = "/dev/input/event%d" % n
            os.mkfifo(path)
            events.append(path)
        return events

    # Stubs ------------------------------------------------------------------

    def stub(self, name, body="exit 0", directory=None):
        """An executable that records each call's arguments (one line per
        call, arguments separated by 0x1f) in /tmp/.calls/NAME, then runs body."""
        directory = directory or self.stub_dir
        script = ("#!/bin/sh\n"
                  "{ for a in \"$@\"; do printf '%%s\\037' \"$a\"; done; echo; } >> %s/%s\n%s\n"
                  % (self.calls_dir, name, body))
        write(os.path.join(directory, name), script, 0o755)
        return os.path.join(directory, name)

    def calls(self, name):
        """Argument lists of every recorded call of a stub."""
        path = os.path.join(self.calls_dir, name)
        if not os.path.exists(path):
            return []
        return [line.split("\x1f")[:-1] for line in read(path).splitlines()]

    def without_players(self):
        """No installed mpv, no ffplay and no mpv on the search path."""
        self.overlay_dir("/usr/bin", hidden=["mpv", "ffplay"])

    def with_engine(self, engine=ENGINE):
        """The stream engine stub (or `engine`) as the only player."""
        self.without_players()
        write(self.work + "/bin/play_stream.sh", engine, 0o755)

    def with_bundled_engine(self):
        """The package's own engine as the only player, as on a console
        without mpv, ffplay, ffmpeg or aplay: bin/play_stream.sh and
        bin/ze-stream in the app's folder (start the player there)."""
        self.overlay_dir("/usr/bin", hidden=["mpv", "ffplay", "ffmpeg", "aplay"])
        write(APP_DIR + "/bin/play_stream.sh",
              read(os.path.join(SOURCE, "packaging", "bin", "play_stream.sh")), 0o755)
        shutil.copy(os.path.join(BUILD, "ze-stream"), APP_DIR + "/bin/ze-stream")

    def start_bystanders(self):
        """Programs under the players' names that the player did not start,
        as someone's download, encoder and players beside it: a real curl
        (uploading what it reads, from a pipe held open), a real ffmpeg
        encoding silence in real time, and sleepers named aplay and mpv.
        Returns their Popen objects; they are killed when the test ends."""
        folder = "/tmp/.bystanders"
        os.makedirs(folder)
        for name in ("aplay", "mpv"):
            os.symlink(shutil.which("sleep"), os.path.join(folder, name))
        quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        bystanders = [
            subprocess.Popen(["curl", "-s", "-T", "-", "file://" + folder + "/upload"],
                             stdin=subprocess.PIPE, **quiet),
            subprocess.Popen(["ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-f", "lavfi",
                              "-i", "anullsrc=r=8000", "-f", "null", "-"], **quiet),
            subprocess.Popen([folder + "/aplay", "1000"], **quiet),
            subprocess.Popen([folder + "/mpv", "1000"], **quiet),
        ]
        for process in bystanders:
            self.addCleanup(lambda p=process: p.poll() is None and (p.kill(), p.wait()))
        return bystanders

    def assert_alive(self, processes, when):
        for process in processes:
            self.assertIsNone(process.poll(), "%s was killed %s (status %s)"
                              % (process.args[0], when, process.returncode))

    # The player -------------------------------------------------------------

    def environment(self, simulator=True, extra=None):
        env = {
            "PATH": self.stub_dir + ":/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
            "HOME": self.home,
            "LANG": "C.UTF-8",
        }
        if simulator:
            env["TRIMUI_SIMULATOR"] = "1"
        env.update(extra or {})
        return env

    def start_player(self, simulator=True, env=None, cwd=None, stdin=subprocess.DEVNULL,
                     wait_ready=True, binary=None):
        """Starts the player (or another build of it); by default waits until
        its command pipe exists."""
        player = Player([binary or BINARY], self.environment(simulator, env), cwd or self.work,
                        stdin)
        self._players.append(player)
        if wait_ready:
            deadline = time.monotonic() + 10
            while not (os.path.exists(FIFO) and stat.S_ISFIFO(os.stat(FIFO).st_mode)):
                if time.monotonic() > deadline or player.process.poll() is not None:
                    raise AssertionError("player did not create its pipe:\n" + player.output())
                time.sleep(0.02)
            # Past the start-up grace period for Exit.
            time.sleep(0.7)
        return player

    def wait_until(self, condition, timeout=10.0, message="condition"):
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                raise AssertionError("timed out waiting for " + message)
            time.sleep(0.02)


# Network fixtures: an HTTPS server on loopback and host names mapped to it.
# They need the private network namespace of `main(network=True)`.

def loopback_up():
    """Brings up `lo` in the test's private network namespace."""
    run("ip", "link", "set", "lo", "up")


def map_hosts(test, names, address="127.0.0.1"):
    """Makes every name in `names` resolve to `address` for the rest of the
    test by bind-mounting a private hosts file over /etc/hosts."""
    path = "/tmp/.hosts"
    lines = ["127.0.0.1 localhost", "::1 localhost"] + ["%s %s" % (address, n) for n in names]
    write(path, "\n".join(lines) + "\n")
    test.bind_file(path, "/etc/hosts")


class HttpsServer:
    """A static HTTPS server on loopback with a self-signed certificate,
    serving the files of `root` from a thread of the test process. `requests`
    lists the paths asked for, in order. Missing files get a 404 page. With
    `rate` (bytes per second) the files' bodies are sent no faster, as over
    a slow network."""

    def __init__(self, root, port=443, host="127.0.0.1", name="localhost", rate=None):
        import functools
        import http.server
        self.root = root
        self.requests = []
        self.url = "https://%s%s" % (name, "" if port == 443 else ":%d" % port)
        requests = self.requests

        class Handler(http.server.SimpleHTTPRequestHandler):
            def do_GET(self):
                requests.append(self.path)
                super().do_GET()

            def copyfile(self, source, outputfile):
                if rate is None:
                    return super().copyfile(source, outputfile)
                chunk = max(rate // 20, 1)
                started, sent = time.monotonic(), 0
                while True:
                    data = source.read(chunk)
                    if not data:
                        return
                    outputfile.write(data)
                    outputfile.flush()
                    sent += len(data)
                    time.sleep(max(0.0, started + sent / rate - time.monotonic()))

            def log_message(self, *args):
                pass

        handler = functools.partial(Handler, directory=root)
        self._httpd, self._thread = serve_https(http.server.ThreadingHTTPServer, handler, name,
                                                host, port)

    def stop(self):
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(5)


def serve_https(server_class, handler, name, host="127.0.0.1", port=443,
                handshake_in_thread=False):
    """Starts `server_class` with `handler` on host:port behind TLS, with a
    fresh self-signed certificate for `name`, serving from a daemon thread.
    With `handshake_in_thread` the handshake happens in the request's own
    thread, so a client that stalls cannot hold up the others. Returns the
    server and its thread."""
    import ssl
    cert_dir = "/tmp/.tls"
    os.makedirs(cert_dir, exist_ok=True)
    key, cert = cert_dir + "/key.pem", cert_dir + "/cert.pem"
    run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
        "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=" + name,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    httpd = server_class((host, port), handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    httpd.socket = context.wrap_socket(httpd.socket, server_side=True,
                                       do_handshake_on_connect=not handshake_in_thread)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    return httpd, thread
