"""Fixtures for black-box tests of the built launcher against a local HTTPS setup host."""
import contextlib
import hashlib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import make_release  # noqa: E402
import nginx_host  # noqa: E402
import testlib  # noqa: E402

V1 = "version-20261101000000"
V2 = "version-20261206000000"
# Fixed, so that whether two releases share a second never depends on the clock.
PUBLISHED = {V1: 1793491200, V2: 1796515200}
SITE = "www.velmora.com"
BASE = f"https://localhost:{testlib.PORT}/"
PLAY = ("velmora-player:1+launchmode:play+gameinfo:ticket+placelauncherurl:https%3A%2F%2F" + SITE +
        "%2FGame%2FPlaceLauncher.ashx%3FplaceId%3D7+browsertrackerid:42")
EDIT = "velmora-player:1+launchmode:edit+gameinfo:ticket+script:https%3A%2F%2F" + SITE + "%2Fe"
# The leak checker of a sanitizer build fails a traced process at its exit.
NO_LEAK_CHECK = {"ASAN_OPTIONS": "detect_leaks=0"}


def traced(*options):
    """strace around a start, with `options` (what to trace, a fault to inject)."""
    return [shutil.which("strace") or "strace", "-f", "-qq", "-o", os.devnull, *options]


def head(version):
    """The requests of an install before its archives: the release, its signature and the file
    list come side by side, in any order."""
    return ["/version", *sorted(f"/{version}-{n}" for n in ("files.txt", "release.txt", "release.txt.minisig"))]


def asked_head(paths):
    return paths[:1] + sorted(paths[1:4])


def archives_size(root, version):
    return sum(os.path.getsize(os.path.join(root, f"{version}-{n}")) for n, _ in make_release.PLAYER_ARCHIVES)


def listed(root, version):
    """{path below the version folder: (archive, offset, length)} from a release's file list."""
    entries, archive, prefix = {}, None, ""
    for line in open(os.path.join(root, f"{version}-files.txt")).read().splitlines()[1:]:
        kind, rest = line.split(" ", 1)
        if kind == "package":
            archive, prefix = rest, dict(make_release.ARCHIVES)[rest]
        elif kind == "file":
            fields = rest.split(" ", 7)
            entries[prefix + fields[7]] = (archive, int(fields[4]), int(fields[5]))
    return entries


def wait_for(condition, timeout=30):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.05)
    return condition()


def kill(proc):
    """Ends a start and whatever it started (its own session)."""
    with contextlib.suppress(ProcessLookupError):
        os.killpg(proc.pid, signal.SIGKILL)  # before the wait, while the group is still there
    proc.wait()


def complete_tree(release_dir, version, studio=False):
    """What a finished install of `version` holds, its markers and release record included."""
    tree = make_release.expected_tree(release_dir, version, studio=studio)
    for marker in (".complete", "Studio/.complete") if studio else (".complete",):
        tree[marker] = hashlib.sha256(b"").hexdigest()
    tree.update(make_release.expected_records(release_dir, version))
    return tree


def reseal(root, version, published=None, key=make_release.TEST_KEY):
    """Writes the file list, and signs the release file, again after a test edited an archive by
    hand."""
    if os.path.exists(os.path.join(root, f"{version}-{make_release.publish.FILE_LIST}")):
        make_release.publish.write_file_list(version, root)
    make_release.publish.write_release(version, root, published or PUBLISHED.get(version, int(time.time())),
                                       key)


def sign(path, key=make_release.TEST_KEY, *flags):
    """Signs `path` into `path`.minisig with minisign, as publish.py does."""
    subprocess.run(["minisign", "-S", *flags, "-s", key, "-m", path, "-x", path + ".minisig", "-t", "test"],
                   check=True, stdout=subprocess.DEVNULL)


def rewrite(path, edit, binary=False):
    """Replaces the content of the file at `path` with `edit` of it; returns the path."""
    with open(path, "rb" if binary else "r") as f:
        data = edit(f.read())
    with open(path, "wb" if binary else "w") as f:
        f.write(data)
    return path


def flip_byte(path, at=0):
    def flip(data):
        data = bytearray(data)
        data[at] ^= 1
        return bytes(data)
    rewrite(path, flip, binary=True)


def publish(build, version, out, **kw):
    kw.setdefault("published", PUBLISHED.get(version))
    make_release.build(version, out, os.path.join(build["standins"], "player"),
                       os.path.join(build["standins"], "studio"), **kw)


def publish_edited(installed, version, host_root, edit, tmp):
    """Publishes `version`: the installed folder's files, with `edit` applied to a copy of them."""
    shutil.copytree(installed, tmp, ignore=shutil.ignore_patterns(".complete", ".release", ".files",
                                                                 ".identities"))
    edit(tmp)
    make_release.publish.publish(version, tmp, host_root, key=make_release.TEST_KEY)


def append_line(relpath):
    """An edit for publish_edited: one more line in one file."""
    return lambda folder: open(os.path.join(folder, relpath), "a").write("one fix\n")


@pytest.fixture(scope="session")
def build():
    """Paths of the launcher under test and the stand-in programs it installs."""
    if not (os.environ.get("VELMORA_LAUNCHER") and os.environ.get("VELMORA_STANDINS")):
        pytest.skip("VELMORA_LAUNCHER or VELMORA_STANDINS is not set (run through ctest)")
    return {"launcher": os.environ["VELMORA_LAUNCHER"], "standins": os.environ["VELMORA_STANDINS"]}


@pytest.fixture(scope="session")
def releases(build, tmp_path_factory):
    """A release folder holding two versions; each test serves a copy of it."""
    out = str(tmp_path_factory.mktemp("releases"))
    for version in (V1, V2):
        publish(build, version, out)
    return out


class Announcing:
    def announce(self, text):
        with open(os.path.join(self.root, "version"), "w") as f:
            f.write(text)

    def paths(self):
        return [r.path for r in self.requests()]


class Nginx(Announcing, nginx_host.NginxHost):
    pass


class Host(Announcing, testlib.SetupHost):
    def serve(self, cert):
        """Goes on serving the same folder with another of the session's certificates."""
        self.__exit__()
        at = self.cmd.index("--cert")
        self.cmd[at + 1], self.cmd[at + 3] = getattr(testlib.Certs.session(), cert)
        self.start()


def serving(root, request):
    """The Python host with its faults; or, as a test's parameter asks, nginx serving the folder
    as static files ("nginx"), with every range answered whole ("nginx without ranges")."""
    kind = getattr(request, "param", "python")
    return Host(root) if kind == "python" else Nginx(root, ranges=kind == "nginx")


@pytest.fixture
def host(releases, tmp_path, request):
    root = str(tmp_path / "host")
    shutil.copytree(releases, root)
    with serving(root, request) as h:
        h.announce(V2 + "\n")
        yield h


class Machine:
    """One user's machine: an install root, a home, and the launcher in a downloads folder."""
    wrapper, env, run_timeout, records_timeout = [], {}, 60, 10  # how the program runs (Wine's, for Windows)

    def __init__(self, build, folder):
        self.dir = str(folder)
        self.downloads = os.path.join(self.dir, "downloads")
        os.makedirs(self.downloads)
        self.launcher = shutil.copy(build["launcher"], self.downloads)
        self.root = os.path.join(self.dir, "appdata", "Velmora")
        self.versions = os.path.join(self.root, "Versions")
        self.registry_file = os.path.join(self.dir, "home", ".config", "velmora", "registry.reg")

    def run(self, *args, binary=None, env_extra=None, **kw):
        """(status, stdout, stderr) of one start; the stand-ins' own report lines are left out."""
        rc, out, err = testlib.run_launcher(binary or self.launcher, list(args), self.dir, wrapper=self.wrapper,
                                            env_extra=dict(self.env, **(env_extra or {})),
                                            **dict({"timeout": self.run_timeout}, **kw))
        out = "".join(line for line in out.splitlines(True) if " started in " not in line)
        return rc, out.replace("\r\n", "\n"), err.replace("\r\n", "\n")

    def ok(self, *args, **kw):
        """Standard output of a start that must succeed without a word on standard error."""
        rc, out, err = self.run(*args, **kw)
        assert (rc, err) == (0, ""), err
        return out

    def start(self, *args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
              wrapper=(), binary=None, env_extra=None):
        """A start left running in its own session, with the environment run() gives."""
        return subprocess.Popen([*wrapper, *self.wrapper, binary or self.launcher, *args], cwd=self.dir,
                                stdin=stdin, stdout=stdout, stderr=stderr, start_new_session=True,
                                env=testlib.launcher_env(self.dir, dict(self.env, **(env_extra or {})),
                                                         wrapper=self.wrapper))

    def records(self, count=1, timeout=None):
        return testlib.wait_for_standins(self.dir, count, timeout or self.records_timeout)

    def log(self, name="launcher.log"):
        """The texts of the log's lines, after each line's UTC time and process id."""
        path = os.path.join(self.root, "Logs", name)
        lines = open(path, encoding="utf-8").read().splitlines() if os.path.isfile(path) else []
        stamp = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[\d+\] ")
        assert all(stamp.match(line) for line in lines), lines
        return [line.split("] ", 1)[1] for line in lines]

    def installed(self):
        return sorted(os.listdir(self.versions)) if os.path.isdir(self.versions) else []

    def on(self, host, version, then=V2):
        """Installs `version`, then has the host announce `then`."""
        host.announce(version)
        self.ok(PLAY)
        host.announce(then)

    def registry(self):
        """{key: {name: exported value}} of the registry file, {} when there is none."""
        keys, key = {}, None
        with contextlib.suppress(FileNotFoundError), open(self.registry_file, encoding="utf-8") as f:
            for line in f.read().splitlines():
                if line.startswith("["):
                    key = keys.setdefault(line[1:-1].replace("HKEY_CURRENT_USER\\", ""), {})
                elif "=" in line and key is not None:
                    name, value = line.split("=", 1)
                    key[name.strip('"')] = value
        return keys

    def shortcuts(self):
        """{name: {field: value}} of the Start-menu entries."""
        apps = os.path.join(self.dir, "home", ".local", "share", "applications")
        return {n.removesuffix(".desktop"): dict(line.split("=", 1) for line in open(os.path.join(apps, n))
                                                   .read().splitlines() if "=" in line)
                for n in (sorted(os.listdir(apps)) if os.path.isdir(apps) else [])}

    def tree(self, version):
        return make_release.installed_tree(os.path.join(self.versions, version))


@pytest.fixture
def machine(build, tmp_path):
    return Machine(build, tmp_path / "machine")


@pytest.fixture
def proxy(tmp_path):
    """tinyproxy on loopback; yields the file its log goes to."""
    if not shutil.which("tinyproxy"):
        pytest.skip("tinyproxy is not installed (scripts/install-deps.sh)")
    conf, log = tmp_path / "tinyproxy.conf", tmp_path / "tinyproxy.log"
    conf.write_text(f"Port {testlib.PORT + 1}\nListen 127.0.0.1\nTimeout 60\nLogLevel Connect\nMaxClients 20\n"
                    "Allow 127.0.0.1\n")
    with open(log, "w") as out:
        proc = subprocess.Popen(["tinyproxy", "-d", "-c", str(conf)], stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL)

    def listening():
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", testlib.PORT + 1), 1):
            return True
    try:
        assert wait_for(lambda: proc.poll() is not None or listening(), 10) and proc.poll() is None, log.read_text()
        yield log
    finally:
        proc.terminate()
        proc.wait(5)
