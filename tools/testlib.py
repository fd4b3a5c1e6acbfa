"""Helpers for end-to-end tests of the launcher against a local setup host."""
import atexit
import collections
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

TOOLS = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, TOOLS)
import certs as _certs  # noqa: E402
import make_release  # noqa: E402,F401  (re-exported for tests)

PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
PORT = int(os.environ.get("VELMORA_TEST_PORT", "28443"))
Request = collections.namedtuple("Request", "method path status range", defaults=("-",))


class Certs:
    """Test PKI; attributes are file paths: ca, and (cert, key) pairs per server cert."""
    _session = None

    def __init__(self, outdir):
        paths = _certs.generate(outdir)
        self.dir = outdir
        self.ca = paths["ca"][0]
        self.localhost, self.wronghost = paths["localhost"], paths["wronghost"]
        self.expired, self.untrusted = paths["expired"], paths["untrusted"]

    @classmethod
    def session(cls):
        """One set per test process, removed at exit."""
        if cls._session is None:
            d = tempfile.mkdtemp(prefix="velmora-certs-")
            atexit.register(shutil.rmtree, d, True)
            cls._session = cls(d)
        return cls._session


class SetupHost:
    """Runs setup_host.py as a subprocess; a context manager, or start()/stop() by hand."""

    def __init__(self, root, port=PORT, cert=None, key=None, plain=False, bind=None, rate=None,
                 delay=None):
        if not plain and cert is None:
            cert, key = Certs.session().localhost
        self.root, self.port, self.plain = root, port, plain
        self.cmd = [PYTHON, os.path.join(TOOLS, "setup_host.py"), "--root", root, "--port", str(port)]
        self.cmd += ["--plain"] if plain else ["--cert", cert, "--key", key]
        self.cmd += ["--bind", bind] if bind else []
        self.cmd += ["--rate", str(rate)] if rate else []
        self.cmd += ["--delay", str(delay)] if delay else []
        self.proc = None

    @property
    def url(self):
        return f"{'http' if self.plain else 'https'}://localhost:{self.port}/"

    def start(self, timeout=10):
        self._tmp = tempfile.mkdtemp(prefix="velmora-host-")
        ready = os.path.join(self._tmp, "ready")
        self._err = open(os.path.join(self._tmp, "stderr"), "w+")
        self.proc = subprocess.Popen(self.cmd + ["--ready-file", ready], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=self._err)
        deadline = time.monotonic() + timeout
        while not os.path.exists(ready):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                msg = self.errors()
                shutil.rmtree(self._tmp, True)
                raise RuntimeError(f"setup host did not start: {msg}")
            time.sleep(0.02)
        return self

    def stop(self):
        stop_child(self.proc)
        self.proc = None

    def errors(self):
        """What the server printed on stderr (empty when all went well)."""
        self._err.seek(0)
        return self._err.read()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        shutil.rmtree(self._tmp, True)

    def set_faults(self, faults):
        path = os.path.join(self.root, "_faults.json")
        with open(path + ".tmp", "w") as f:  # replaced whole so no request sees half a file
            json.dump(faults, f)
        os.replace(path + ".tmp", path)

    def clear_faults(self):
        _remove(os.path.join(self.root, "_faults.json"))

    def requests(self):
        try:
            with open(os.path.join(self.root, "_requests.log")) as f:
                return [Request(m, p, int(s), *rest) for m, p, s, *rest in (line.split() for line in f)]
        except FileNotFoundError:
            return []

    def clear_requests(self):
        """Forgets the requests and the connections made so far."""
        _remove(os.path.join(self.root, "_requests.log"))
        _remove(os.path.join(self.root, "_connections.log"))

    def connections(self):
        """How many connections were accepted (TLS ones, unless the host is plain)."""
        try:
            with open(os.path.join(self.root, "_connections.log")) as f:
                return sum(1 for _ in f)
        except FileNotFoundError:
            return 0


def stop_child(proc):
    """Ends a server child: SIGTERM, then SIGKILL after 5 s."""
    if proc and proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def _remove(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def wine_path(path):
    """The name a Windows program under Wine sees for a Unix path (Wine's Z: drive)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_launcher(binary, args, root_dir, env_extra=None, timeout=60, input=None, wrapper=None,
                 ca=None, cwd=None):
    """Runs the launcher with a private environment under root_dir; returns (rc, stdout, stderr).

    env_extra entries set to None remove that variable. With a wrapper (e.g. Wine), paths
    handed to the program are given in their Windows form.
    """
    env = launcher_env(root_dir, env_extra, wrapper, ca)
    proc = subprocess.Popen(list(wrapper or []) + [binary] + list(args), cwd=cwd or root_dir, env=env,
                            stdin=subprocess.PIPE if input is not None else subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            encoding="utf-8", errors="replace", start_new_session=True)
    try:
        out, err = proc.communicate(input, timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)  # its own session: takes anything it started too
        out, err = proc.communicate()
        raise AssertionError(f"launcher still running after {timeout}s\nstdout:\n{out}\nstderr:\n{err}")
    return proc.returncode, out, err


def launcher_env(root_dir, env_extra=None, wrapper=None, ca=None):
    """The private environment run_launcher gives the launcher (creating its folders)."""
    home = os.path.join(root_dir, "home")
    paths = {
        "LOCALAPPDATA": os.path.join(root_dir, "appdata"),
        "YRT_CA_BUNDLE": ca or Certs.session().ca,
        "VELMORA_STANDIN_LOG": os.path.join(root_dir, "standin.log"),
    }
    for p in (home, paths["LOCALAPPDATA"]):
        os.makedirs(p, exist_ok=True)
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8", "HOME": home,
           "XDG_CONFIG_HOME": os.path.join(home, ".config"),
           "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
           "XDG_CACHE_HOME": os.path.join(home, ".cache")}
    if wrapper:
        paths = {k: wine_path(v) for k, v in paths.items()}
        env.update({k: v for k, v in os.environ.items() if k.startswith("WINE")})
        env.setdefault("WINEDEBUG", "-all")
    env.update(paths)
    for k, v in (env_extra or {}).items():
        if v is None:
            env.pop(k, None)
        else:
            env[k] = v
    return env


def standin_records(root_dir):
    """The stand-in programs' start records, oldest first."""
    try:
        # Bytes that are not UTF-8 stay visible, as U+DC80..U+DCFF.
        with open(os.path.join(root_dir, "standin.log"), encoding="utf-8",
                  errors="surrogateescape") as f:
            return [json.loads(line) for line in f if line.strip()]
    except FileNotFoundError:
        return []


def wait_for_standins(root_dir, count, timeout=10):
    """For programs started detached: waits until count records are there, returns them."""
    deadline = time.monotonic() + timeout
    while len(records := standin_records(root_dir)) < count and time.monotonic() < deadline:
        time.sleep(0.05)
    return records
