#!/usr/bin/python3
"""Compares the launcher with curl and bsdtar doing the same work by hand, on this machine.

Runs against a local HTTPS setup host on the port the benchmark build was configured with
(scripts/bench.sh builds it). Prints figures and an informational PASS/MISS per target; exits
non-zero only when something could not be run or gave a wrong result.
"""
import argparse
import collections
import glob
import hashlib
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import certs  # noqa: E402
import make_release  # noqa: E402
import nginx_host  # noqa: E402
import line_host  # noqa: E402
import testlib  # noqa: E402

PLAY = ("velmora-player:1+launchmode:play+gameinfo:ticket+placelauncherurl:https%3A%2F%2F"
        "www.velmora.com%2FGame%2FPlaceLauncher.ashx%3FplaceId%3D7+browsertrackerid:42")
BIG, SMALL = "version-20270101000000", "version-20270101000001"
START_RATIO, PEAK_MIB, FLAT_GROWTH = 1.0, 32.0, 0.10
# (profile, name, host options, {(packages, by-hand method or "line"): the launcher's
# greatest time ratio to it}, the line: (bytes a second, seconds per round, rounds a start
# needs) or None); the network profile's equal-package goals are its ratios before SHA-256
# came from libcrypto: no worse.
PROFILES = [("loopback", "loopback, unlimited", {}, {("equal", "one by one"): 0.6}, None),
            ("network", "network: 8 MB/s per connection, 40 ms per response",
             {"rate": 8_000_000, "delay": 0.04},
             {("equal", "parallel curl"): 0.83, ("equal", "one by one"): 0.29,
              ("uneven", "parallel curl"): 0.4},
             # Ten connections' worth; the version, the release and the packages answer in turn.
             (10 * 8_000_000, 0.04, 3)),
            ("namespace", "namespace: a 100 Mbit/s line, 40 ms round trip, 0.1 % loss",
             {"line": (100_000_000, 0.04, 0.001)},
             {("equal", "line"): 1.3, ("uneven", "line"): 1.3},
             # TCP's and TLS's handshakes, then the version, the release and the packages.
             (100_000_000 / 8, 0.04, 5))]
METHODS = ("launcher", "one by one", "parallel curl")
# BIG's bytes with one content package holding this share, as a game's textures do.
UNEVEN, HEAVY = "version-20270101000005", 0.6
PACKAGES = {"equal": BIG, "uneven": UNEVEN}
NEXT = "version-20270101000002"  # BIG with only the player package changed
# BIG with a new player and about 1 % of every content package's files changed, with a file
# list and, as an update before file lists would see it, without one.
PATCH, PATCH_WHOLE = "version-20270101000003", "version-20270101000004"
PATCH_SHARE, PLAYER_MB = 0.01, 2
# The patch's update: at most this share of the release plus the new player, and at most this
# share of a fresh install's time in each profile.
PATCH_BYTES, PATCH_TIME = 0.03, {"loopback": 0.2, "network": 0.1}
# The same patch on a release four times as large: at most this much slower, and reading at
# most this much from files, since what it carries unchanged is trusted without reading it.
SIZED, SIZED_GROWTH, SIZED_READ = "version-20270201000000", 1.3, 60e6


class Failure(Exception):
    pass


Usage = collections.namedtuple("Usage", "kib cpu rchar", defaults=(None,))


def base_url(build):
    """The setup host address baked into the build, from its CMake cache."""
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            m = re.search(r"^VELMORA_SETUP_BASE_URL:STRING=(.*)$", f.read(), re.M)
    except FileNotFoundError:
        m = None
    if not m:
        raise Failure(f"{build} is not a configured build; run scripts/bench.sh")
    url = urllib.parse.urlsplit(m.group(1))
    if url.scheme != "https" or url.hostname != "localhost" or not url.port:
        raise Failure(f"{build} is built for {m.group(1)}, not a local host")
    return m.group(1), url.port


def io_read(pid):
    """Bytes a process (and the children it reaped) read through read calls, or None."""
    try:
        with open(f"/proc/{pid}/io") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("rchar:"))
    except (OSError, StopIteration):
        return None


def timed(cmd, env=None, cwd=None, peak=False):
    """(wall seconds, usage) of one process that must succeed: its CPU seconds, its children's
    included, and with peak its peak resident KiB."""
    if peak:
        # Not os.wait4: a child forked from this interpreter starts out with its resident
        # size, and the high-water mark survives exec.
        fd, out = tempfile.mkstemp(prefix="peak-")
        os.close(fd)
        cmd = ["/usr/bin/time", "-f", "%M %U %S", "-o", out] + list(cmd)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    # Read stderr before waiting, so a chatty failure cannot fill the pipe.
    err = proc.stderr.read()
    # What it read from files (its reaped children's too), while it can still be asked.
    os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT)
    seconds = time.perf_counter() - t0
    rchar = io_read(proc.pid)
    proc.wait()
    proc.stderr.close()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    usage = Usage(None, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime, rchar)
    if peak:
        with open(out) as f:
            fields = f.read().split()
        os.remove(out)
        if proc.returncode == 0:
            usage = Usage(int(fields[-3]), float(fields[-2]) + float(fields[-1]), rchar)
    if proc.returncode != 0:
        raise Failure(f"{' '.join(cmd)} exited with {proc.returncode}: "
                      f"{err.decode(errors='replace')}")
    return seconds, usage


def quiesce():
    # Flushes the previous run's writes and deletions so they are not billed to the next one.
    os.sync()
    time.sleep(0.3)


class Machine:
    """A user's folders: the launcher in downloads, an install root, a home."""

    def __init__(self, folder, launcher, ca):
        self.dir = folder
        self.root = os.path.join(folder, "appdata", "Velmora")
        self.log = os.path.join(folder, "standin.log")
        downloads = os.path.join(folder, "downloads")
        home = os.path.join(folder, "home")
        for d in (downloads, home, os.path.dirname(self.root)):
            os.makedirs(d)
        self.launcher = shutil.copy(launcher, downloads)
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8", "HOME": home,
                    "XDG_CONFIG_HOME": os.path.join(home, ".config"),
                    "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
                    "XDG_CACHE_HOME": os.path.join(home, ".cache"),
                    "LOCALAPPDATA": os.path.dirname(self.root), "YRT_CA_BUNDLE": ca,
                    "VELMORA_STANDIN_LOG": self.log}

    def start(self, binary=None, peak=False):
        result = timed([binary or self.launcher, PLAY], env=self.env, cwd=self.dir, peak=peak)
        if not self.players():
            raise Failure("the launcher exited without starting the player")
        return result

    def players(self):
        try:
            with open(self.log) as f:
                return sum(1 for line in f if '"velmora-player"' in line)
        except FileNotFoundError:
            return 0

    def version(self, version):
        return os.path.join(self.root, "Versions", version)


def baseline_script(path, url, version, ca, dest):
    """The launcher's install done by hand: per package download, unpack, delete."""
    lines = ["set -e"]
    for archive, prefix in make_release.PLAYER_ARCHIVES:
        folder = os.path.join(dest, prefix)
        target = os.path.join(folder, archive)
        lines += [f"mkdir -p '{folder}'",
                  f"curl -sSf --cacert '{ca}' -o '{target}' '{url}{version}-{archive}'",
                  f"bsdtar -xf '{target}' -C '{folder}'",
                  f"rm '{target}'"]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def parallel_script(path, url, version, ca, dest):
    """The best by hand: every package at once with one curl, then each unpacked in order."""
    lines = ["set -e"]
    fetch = f"curl -sSf --parallel --parallel-max 50 --cacert '{ca}'"
    for archive, prefix in make_release.PLAYER_ARCHIVES:
        folder = os.path.join(dest, prefix)
        lines.append(f"mkdir -p '{folder}'")
        fetch += f" -o '{os.path.join(folder, archive)}' '{url}{version}-{archive}'"
    lines.append(fetch)
    for archive, prefix in make_release.PLAYER_ARCHIVES:
        folder = os.path.join(dest, prefix)
        target = os.path.join(folder, archive)
        lines += [f"bsdtar -xf '{target}' -C '{folder}'", f"rm '{target}'"]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def expected(release, version):
    tree = make_release.expected_tree(release, version, studio=False)
    tree[".complete"] = hashlib.sha256(b"").hexdigest()
    tree.update(make_release.expected_records(release, version))
    return tree


def median(values):
    return statistics.median(values)


def hashing_seconds(release, version, tree):
    """CPU seconds that SHA-256 takes, with the launcher's library on Linux (OpenSSL's libcrypto,
    as hashlib uses), over what an install hashes: every archive as it streams and every file
    it unpacks. Bytes are read first so only the hashing is timed."""
    paths = [os.path.join(release, f"{version}-{n}") for n, _ in make_release.PLAYER_ARCHIVES]
    paths += [os.path.join(tree, rel) for rel, _ in make_release._dir_files(tree)
              if not os.path.basename(rel).startswith(".")]
    seconds, size = 0.0, 0
    for path in paths:
        with open(path, "rb") as f:
            while chunk := f.read(1 << 20):
                t0 = time.process_time()
                hashlib.sha256(chunk).digest()
                seconds += time.process_time() - t0
                size += len(chunk)
    return seconds, size


def verdict(ok):
    return "PASS" if ok else "MISS"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "bench"),
                    help="a Release build for a local host (default: build/bench)")
    ap.add_argument("--quick", action="store_true", help="60 MB release, 2 install runs, 10 starts")
    ap.add_argument("--mb", type=int, help="size of the large release (default 300, quick 60)")
    ap.add_argument("--small-files", type=int, default=2000,
                    help="small files in the large release (default 2000)")
    ap.add_argument("--runs", type=int, help="install runs of each kind (default 5, quick 2)")
    ap.add_argument("--starts", type=int, help="up-to-date starts of each kind (default 20, quick 10)")
    ap.add_argument("--work", help="where the scratch folder goes (default: the build); "
                    "tmpfs, e.g. /dev/shm, leaves the disk out of the figures")
    ap.add_argument("--keep", action="store_true", help="keep the scratch folder")
    ap.add_argument("--profiles", default="loopback,network,namespace",
                    help="network profiles to install in (default: loopback,network,namespace; "
                    "namespace needs root for its own network namespace)")
    ap.add_argument("--patch-only", action="store_true",
                    help="only the patch's update and the repair (as for choosing VELMORA_SPAN_GAP)")
    ap.add_argument("--host", choices=("nginx", "python"), default="nginx",
                    help="the static host of the loopback figures (default nginx); the network "
                    "profile's rate and delay are the Python host's alone")
    ap.add_argument("--packages", default="equal,uneven",
                    help="the releases to install: ten equal packages, one holding "
                    f"{HEAVY * 100:.0f} %% of the bytes (default: equal,uneven)")
    ap.add_argument("--sizes", help="MB of the two releases the same patch is applied to "
                    "(default: --mb and four times it)")
    a = ap.parse_args()
    mb = a.mb or (60 if a.quick else 300)
    a.sizes = [int(x) for x in a.sizes.split(",")] if a.sizes else [mb, 4 * mb]
    runs = a.runs or (2 if a.quick else 5)
    starts = a.starts or (10 if a.quick else 20)
    small_mb = max(1, mb // 4)

    a.build = os.path.abspath(a.build)  # the launcher runs from other folders
    url, port = base_url(a.build)
    launcher = os.path.join(a.build, "bin", "velmora-launcher")
    standins = os.path.join(a.build, "tools", "standin")
    for tool in ("curl", "bsdtar"):
        if not shutil.which(tool):
            raise Failure(f"{tool} is not installed (scripts/install-deps.sh)")
    if not os.path.isfile(launcher):
        raise Failure(f"no launcher at {launcher}")

    work = tempfile.mkdtemp(prefix="velmora-bench-", dir=a.work or a.build)
    try:
        run_all(a, url, port, launcher, standins, work, mb, small_mb, runs, starts)
    finally:
        if not a.keep:
            shutil.rmtree(work, ignore_errors=True)


def run_all(a, url, port, launcher, standins, work, mb, small_mb, runs, starts):
    print(f"launcher {launcher}, host {url} ({a.host} for the loopback figures), "
          f"cpus {os.cpu_count()}, load average {os.getloadavg()[0]:.2f}")
    pki = certs.generate(os.path.join(work, "certs"))
    ca = pki["ca"][0]
    release = os.path.join(work, "release")
    t0 = time.perf_counter()
    files = {}
    for version, size in ((BIG, mb), (SMALL, small_mb)):
        # The small release keeps the same mix, scaled down.
        files[version] = max(10, a.small_files * size // mb)
        make_release.build(version, release, os.path.join(standins, "player"),
                           os.path.join(standins, "studio"), bulk_mb=size,
                           small_files=files[version], version_file=False)
    patch_changed = make_release.patch(release, BIG, PATCH, release, share=PATCH_SHARE,
                                       player_bytes=PLAYER_MB << 20, version_document=False)
    make_release.patch(release, BIG, PATCH_WHOLE, release, share=PATCH_SHARE,
                       player_bytes=PLAYER_MB << 20, version_document=False, file_list=False)
    kinds = [k for k in PACKAGES
             if k in a.packages.split(",") and not (k == "uneven" and a.patch_only)]
    if "uneven" in kinds:
        make_release.build(UNEVEN, release, os.path.join(standins, "player"),
                           os.path.join(standins, "studio"), bulk_mb=mb,
                           small_files=files[BIG], version_file=False, heavy=HEAVY)
    sizes = {v: sum(os.path.getsize(os.path.join(release, f"{v}-{n}"))
                    for n, _ in make_release.PLAYER_ARCHIVES)
             for v in (BIG, SMALL, PATCH) + ((UNEVEN,) if "uneven" in kinds else ())}
    print(f"releases built in {time.perf_counter() - t0:.1f}s")
    for v in (BIG, SMALL):
        print(f"  {v}: {sizes[v] / 1e6:.0f} MB in ten packages, {files[v]} small files "
              f"and {mb if v == BIG else small_mb} MiB in all unpacked")

    def announce(version):
        with open(os.path.join(release, "version"), "w") as f:
            f.write(version + "\n")

    cert, key = pki["localhost"]
    serial = iter(range(1_000_000))
    profiles = [p for p in PROFILES if p[0] in a.profiles.split(",")]
    if not profiles:
        raise Failure(f"no such profile: {a.profiles}")
    targets, big_peaks = [], []

    def serve(options=None):
        if options and "line" in options:
            return line_host.LineHost(release, os.path.join(a.build, "line"), *options["line"],
                                      port=port, cert=cert, key=key)
        if options or a.host == "python":
            return testlib.SetupHost(release, port=port, cert=cert, key=key, **(options or {}))
        return nginx_host.NginxHost(release, port=port, cert=cert, key=key)

    def host_name(host):
        return {"nginx": "nginx", "line": "nginx behind the line"}.get(getattr(host, "name", ""),
                                                                       "the Python host")

    def fresh(kind):
        folder = os.path.join(work, f"{kind}{next(serial)}")
        os.makedirs(folder)
        return folder

    hashed = []  # (CPU seconds, bytes) of the hashing one install does

    # Each run's files are deleted right after it, so every run starts from the same state.
    def launcher_install(version, check=False):
        m = Machine(fresh("machine"), launcher, ca)
        quiesce()
        seconds, usage = m.start(peak=True)
        if check and make_release.installed_tree(m.version(version)) != expected(release, version):
            raise Failure("the launcher's install differs from the release")
        if check and not hashed:
            hashed.append(hashing_seconds(release, version, m.version(version)))
        shutil.rmtree(m.dir)
        return seconds, usage

    def by_hand_install(script_for, version, check=False):
        folder = fresh("byhand")
        dest = os.path.join(folder, "Versions", version)
        script = os.path.join(folder, "install.sh")
        script_for(script, url, version, ca, dest)
        quiesce()
        seconds, usage = timed(["/bin/sh", script], peak=True)
        # No records: only the launcher writes them.
        tree = make_release.expected_tree(release, version, studio=False)
        if check and make_release.installed_tree(dest) != tree:
            raise Failure("the by-hand install differs from the release")
        shutil.rmtree(folder)
        return seconds, usage

    installs = {"launcher": launcher_install,
                "one by one": lambda v, check: by_hand_install(baseline_script, v, check),
                "parallel curl": lambda v, check: by_hand_install(parallel_script, v, check)}

    def downloaded(host):
        """Bytes of archives the host sent since its requests were cleared, and the requests."""
        got, count = 0, 0
        for r in host.requests():
            if not r.path.endswith(".zip"):
                continue
            count += 1
            if r.range == "-":
                got += os.path.getsize(os.path.join(release, r.path.lstrip("/")))
            else:
                first, last = r.range.removeprefix("bytes=").split("-")
                got += int(last) + 1 - int(first)
        return got, count

    def patch_update(profile, host):
        """The patch installed by an update with the package carry alone (no list), by files
        alone, and on an empty root; then the repair."""
        rows = {}
        for kind, target, over in (("package carry", PATCH_WHOLE, BIG), ("by files", PATCH, BIG),
                                   ("fresh install", PATCH, None)):
            m = Machine(fresh("machine"), launcher, ca)
            if over:
                announce(over)
                m.start()
            announce(target)
            host.clear_requests()
            quiesce()
            seconds, usage = m.start(peak=True)
            if make_release.installed_tree(m.version(target)) != expected(release, target):
                raise Failure(f"the patch's update ({kind}) differs from the release")
            rows[kind] = (seconds, *downloaded(host), usage)
            if kind == "by files":
                repaired = m
            else:
                shutil.rmtree(m.dir)
        # The new program, random bytes stored as they are, and its local header.
        player = PLAYER_MB << 20
        print(f"\n== The patch ({PATCH_SHARE * 100:.0f} % of each content package's files changed, "
              f"and the player's program, now {PLAYER_MB} MiB larger), {profile}, {host_name(host)}")
        for kind, (seconds, got, count, usage) in rows.items():
            read = f", {usage.rchar / 1e6:7.1f} MB read" if usage.rchar is not None else ""
            print(f"  {kind:13}: {got / 1e6:7.1f} MB in {count:3} requests, {seconds:6.2f}s, "
                  f"peak {usage.kib / 1024:4.1f} MiB{read}")
        share = (rows["by files"][1] - player) / sizes[PATCH]
        ratio = rows["by files"][0] / rows["fresh install"][0]
        print(f"  by files: {share * 100:.2f} % of the release beyond the new player, "
              f"{ratio:.3f} of a fresh install's time")
        targets.append((f"{profile}: patch by files downloads {share * 100:.2f} % of the release "
                        f"beyond the player <= {PATCH_BYTES * 100:.0f} %", share <= PATCH_BYTES))
        if profile in PATCH_TIME:
            targets.append((f"{profile}: patch by files {ratio:.3f} of a fresh install's time <= "
                            f"{PATCH_TIME[profile]}", ratio <= PATCH_TIME[profile]))
        peak = rows["by files"][3].kib / 1024
        targets.append((f"{profile}: patch by files peak memory {peak:.1f} MiB < {PEAK_MIB:.0f} MiB",
                        peak < PEAK_MIB))
        if profile != "loopback":
            shutil.rmtree(repaired.dir)
            return
        folder = repaired.version(PATCH)
        env = dict(repaired.env)
        for label, damage in (("an intact version", ()), ("10 damaged files", patch_changed[1:11])):
            for rel in damage:
                with open(os.path.join(folder, rel), "r+b") as f:
                    f.truncate(max(0, os.path.getsize(os.path.join(folder, rel)) // 2))
            host.clear_requests()
            quiesce()
            seconds, _ = timed([repaired.launcher, "--repair"], env=env, cwd=repaired.dir)
            got, count = downloaded(host)
            print(f"  repair of {label}: {seconds:.2f}s, {got / 1e6:.2f} MB in {count} requests")
        if make_release.installed_tree(folder) != expected(release, PATCH):
            raise Failure("the repaired version differs from the release")
        shutil.rmtree(repaired.dir)

    def patch_by_size(host):
        """The same patch on releases of a.sizes MB with the same files: a fresh install and
        the update by files of each, and what the update read from files."""
        rows = []
        for i, size in enumerate(a.sizes):
            old, new = f"{SIZED[:-2]}{2 * i:02d}", f"{SIZED[:-2]}{2 * i + 1:02d}"
            make_release.build(old, release, os.path.join(standins, "player"),
                               os.path.join(standins, "studio"), bulk_mb=size,
                               small_files=a.small_files, version_file=False, big_files=10)
            make_release.patch(release, old, new, release, share=PATCH_SHARE,
                               player_bytes=PLAYER_MB << 20, version_document=False)
            figures = []
            for over in (None, old):
                m = Machine(fresh("machine"), launcher, ca)
                if over:
                    announce(over)
                    m.start()
                announce(new)
                quiesce()
                figures.append(m.start(peak=True))
                if make_release.installed_tree(m.version(new)) != expected(release, new):
                    raise Failure(f"the patch of the {size} MB release differs from the release")
                shutil.rmtree(m.dir)
            rows.append((size, *figures))
            for v in (old, new):  # a 1.2 GB release twice over is much of a tmpfs
                for path in glob.glob(os.path.join(release, f"{v}-*")):
                    os.remove(path)
        print(f"\n== The same patch on {len(rows)} release sizes with the same "
              f"{a.small_files} small files, loopback, {host_name(host)}")
        print("  release   fresh install   update by files       read by the update   peak")
        for size, (fresh_s, _), (update_s, usage) in rows:
            print(f"  {size:5} MB  {fresh_s:10.2f}s   {update_s:8.3f}s ({update_s / fresh_s:.3f})"
                  f"  {usage.rchar / 1e6:12.1f} MB   {usage.kib / 1024:5.1f} MiB")
        (_, _, (small_s, _)), (_, _, (large_s, large)) = rows[0], rows[-1]
        growth = large_s / small_s
        targets.append((f"patch on {a.sizes[-1]} MB {growth:.2f}x its time on {a.sizes[0]} MB "
                        f"<= {SIZED_GROWTH}", growth <= SIZED_GROWTH))
        targets.append((f"patch on {a.sizes[-1]} MB reads {large.rchar / 1e6:.1f} MB <= "
                        f"{SIZED_READ / 1e6:.0f} MB", large.rchar <= SIZED_READ))
        peak = max(usage.kib for *_, (_, usage) in rows) / 1024
        targets.append((f"patch on either size peak memory {peak:.1f} MiB < {PEAK_MIB:.0f} MiB",
                        peak < PEAK_MIB))

    def install_figures(profile, title, goals, line, host, kind):
        """The launcher against the same install by hand, and the line's own time."""
        version = PACKAGES[kind]
        # By hand one by one is the slow baseline of equal packages alone.
        methods = METHODS if kind == "equal" else ("launcher", "parallel curl")
        announce(version)
        shape = ("ten equal packages" if kind == "equal" else
                 f"one package of ten holding {HEAVY * 100:.0f} % of the bytes")
        print(f"\n== Install of {sizes[version] / 1e6:.0f} MB in {shape} on an empty install root, "
              f"{title}: the launcher; curl + bsdtar + rm per package (one by one); curl "
              f"--parallel for all, then bsdtar + rm per package (parallel curl); {runs} runs "
              f"each, rotating; {host_name(host)}")
        got = {m: [] for m in methods}
        connections = {}
        for i in range(runs):
            # Each kind goes first in turn, so drift in the machine hits all of them.
            order = methods[i % len(methods):] + methods[:i % len(methods)]
            for method in order:
                host.clear_requests()
                got[method].append(installs[method](version, i == 0))
                connections[method] = host.connections()
            print(f"  run {i + 1}: " + "   ".join(
                f"{m} {got[m][-1][0]:6.2f}s (cpu {got[m][-1][1].cpu:5.2f}s)" for m in methods))
        for method in methods:
            wall = [w for w, _ in got[method]]
            print(f"  {method:13}: median {median(wall):6.2f}s, cpu median "
                  f"{median(u.cpu for _, u in got[method]):5.2f}s, peak "
                  f"{max(u.kib for _, u in got[method]) / 1024:5.1f} MiB, "
                  f"{connections[method]} TLS connections")
        cpu = {m: median(u.cpu for _, u in got[m]) for m in methods}
        if "one by one" in cpu:
            print(f"  launcher CPU / curl and bsdtar's CPU one by one: {cpu['launcher']:.2f}s / "
                  f"{cpu['one by one']:.2f}s = {cpu['launcher'] / cpu['one by one']:.3f}; hashing "
                  f"{hashed[0][1] / 1e6:.0f} MB (archives and files) takes {hashed[0][0]:.2f}s, "
                  f"{hashed[0][0] / cpu['launcher'] * 100:.0f}% of the launcher's CPU")
        if line:
            rate, round_s, rounds = line
            line_s = sizes[version] / rate + rounds * round_s
            print(f"  the line's own time: {sizes[version] / 1e6:.0f} MB at {rate * 8 / 1e6:.0f} "
                  f"Mbit/s and {rounds} rounds of {round_s * 1e3:.0f} ms: {line_s:.2f}s; the "
                  f"launcher's median {median(w for w, _ in got['launcher']) / line_s:.2f} of it")
        for (packages, method), goal in goals.items():
            if packages != kind:
                continue
            if method == "line":
                ratio = median(w for w, _ in got["launcher"]) / line_s
            else:
                ratio = median(l[0] / b[0] for l, b in zip(got["launcher"], got[method]))
                print(f"  launcher / {method} (median of per-run ratios): {ratio:.3f}")
            targets.append((f"{profile}, {kind}: launcher / {method} {ratio:.3f} <= {goal}",
                            ratio <= goal))
        peak = max(u.kib for _, u in got["launcher"]) / 1024
        big_peaks.append(peak)
        targets.append((f"{profile}, {kind}: peak memory {peak:.1f} MiB < {PEAK_MIB:.0f} MiB",
                        peak < PEAK_MIB))

    if a.patch_only:
        for profile, title, options, goals, line in profiles:
            with serve(options) as host:
                patch_update(profile, host)
                if profile == "loopback":
                    patch_by_size(host)
        print("\n== Targets (informational)")
        for text, ok in targets:
            print(f"  {text}: {verdict(ok)}")
        return

    for profile, title, options, goals, line in profiles:
        with serve(options) as host:
            patch_update(profile, host)
            if profile == "loopback":
                patch_by_size(host)
            for kind in kinds:
                install_figures(profile, title, goals, line, host, kind)

    with serve() as host:
        print(f"\n== Up-to-date start (registered copy, play link) vs one curl request for the "
              f"version document ({starts} each, alternating), {host_name(host)}")
        announce(BIG)
        last = Machine(fresh("machine"), launcher, ca)
        last.start()
        registered = os.path.join(last.root, "Launcher", "velmora-launcher")
        curl = ["curl", "-sSf", "--cacert", ca, "-o", "/dev/null", url + "version"]
        last.start(registered)  # warms the caches for both
        timed(curl)
        quiesce()
        host.clear_requests()
        started, fetched, start_cpu, fetch_cpu = [], [], [], []
        for i in range(starts):
            for kind in (("launcher", "curl") if i % 2 == 0 else ("curl", "launcher")):
                if kind == "launcher":
                    seconds, usage = last.start(registered)
                    started.append(seconds)
                    start_cpu.append(usage.cpu)
                else:
                    seconds, usage = timed(curl)
                    fetched.append(seconds)
                    fetch_cpu.append(usage.cpu)
        if {r.path for r in host.requests()} != {"/version"}:
            raise Failure("an up-to-date start asked the host for more than the version")
        start_ratio = median(started) / median(fetched)
        print(f"  launcher median {median(started) * 1e3:.1f} ms (min {min(started) * 1e3:.1f}, "
              f"max {max(started) * 1e3:.1f})")
        print(f"  curl     median {median(fetched) * 1e3:.1f} ms (min {min(fetched) * 1e3:.1f}, "
              f"max {max(fetched) * 1e3:.1f})")
        print(f"  ratio (median / median) {start_ratio:.3f}; CPU medians: launcher "
              f"{median(start_cpu) * 1e3:.1f} ms, curl {median(fetch_cpu) * 1e3:.1f} ms")
        shutil.rmtree(last.dir)

        print("\n== Launcher peak resident memory during an install")
        announce(SMALL)
        small_peaks = []
        for _ in range(2):
            m = Machine(fresh("machine"), launcher, ca)
            quiesce()
            small_peaks.append(m.start(peak=True)[1].kib)
            shutil.rmtree(m.dir)
        peak_small = max(small_peaks) / 1024
        peak_big = max(big_peaks)
        growth = peak_big / peak_small - 1
        print(f"  {sizes[SMALL] / 1e6:4.0f} MB release: {peak_small:.1f} MiB")
        print(f"  {sizes[BIG] / 1e6:4.0f} MB release: {peak_big:.1f} MiB "
              f"({sizes[BIG] / sizes[SMALL]:.1f}x the data, {growth * 100:+.1f}% memory)")


        print("\n== Update in which one package of ten changed (the player's), against the full "
              "download an update took before")
        announce(BIG)
        m = Machine(fresh("machine"), launcher, ca)
        m.start()
        files = os.path.join(fresh("files"), "version")
        shutil.copytree(m.version(BIG), files,
                        ignore=shutil.ignore_patterns(".complete", ".release", ".files", ".identities"))
        with open(os.path.join(files, "release-notes.txt"), "a") as f:
            f.write("one fix\n")
        make_release.publish.publish(NEXT, files, release, key=make_release.TEST_KEY,
                                     version_document=False)
        shutil.rmtree(os.path.dirname(files))
        announce(NEXT)
        host.clear_requests()
        quiesce()
        seconds = m.start()[0]
        got, count = downloaded(host)
        if make_release.installed_tree(m.version(NEXT)) != expected(release, NEXT):
            raise Failure("the update differs from the release")
        print(f"  update: {got / 1e6:.1f} MB in {count} archive(s), {seconds:.2f}s; a full "
              f"download is {sizes[BIG] / 1e6:.0f} MB")
        shutil.rmtree(m.dir)

        print("\n== First install killed when half its packages are done, then started again")
        announce(BIG)
        m = Machine(fresh("machine"), launcher, ca)
        host.clear_requests()
        proc = subprocess.Popen([m.launcher, PLAY], env=m.env, cwd=m.dir, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        record = os.path.join(m.root, "Versions", BIG + ".partial", ".files")
        done = 0
        while proc.poll() is None and done < 5:
            try:
                with open(record) as f:
                    done = f.read().count("package ")
            except OSError:
                pass
            time.sleep(0.005)
        proc.kill()
        proc.wait()
        before, _ = downloaded(host)
        host.clear_requests()
        seconds = m.start()[0]
        again, count = downloaded(host)
        if make_release.installed_tree(m.version(BIG)) != expected(release, BIG):
            raise Failure("the resumed install differs from the release")
        print(f"  killed after {done} of 10 packages ({before / 1e6:.1f} MB of archives asked for); the next start "
              f"fetched {again / 1e6:.1f} MB in {count} archive(s) in {seconds:.2f}s "
              f"(without resuming: {sizes[BIG] / 1e6:.0f} MB)")
        shutil.rmtree(m.dir)

    print("\n== Targets (informational)")
    for text, ok in targets:
        print(f"  {text}: {verdict(ok)}")
    print(f"  up-to-date start ratio {start_ratio:.3f} <= {START_RATIO}: "
          f"{verdict(start_ratio <= START_RATIO)}")
    print(f"  peak memory {max(peak_small, peak_big):.1f} MiB < {PEAK_MIB:.0f} MiB: "
          f"{verdict(max(peak_small, peak_big) < PEAK_MIB)}")
    print(f"  peak memory flat ({growth * 100:+.1f}% for {sizes[BIG] / sizes[SMALL]:.1f}x the data, "
          f"at most +{FLAT_GROWTH * 100:.0f}%): {verdict(growth <= FLAT_GROWTH)}")


if __name__ == "__main__":
    t_start = time.perf_counter()
    try:
        main()
    except Failure as e:
        sys.exit(f"bench: {e}")
    print(f"\ntotal {time.perf_counter() - t_start:.0f}s")
