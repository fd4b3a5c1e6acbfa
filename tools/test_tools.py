"""The test tooling itself, checked end to end with curl: if these lie, launcher tests lie."""
import hashlib
import os
import stat
import subprocess
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import testlib  # noqa: E402
from testlib import make_release  # noqa: E402

VERSION = "version-0a1b2c"


@pytest.fixture(scope="module")
def release(tmp_path_factory):
    base = tmp_path_factory.mktemp("release")
    player, studio = base / "player", base / "studio"
    player.mkdir(), studio.mkdir()
    (player / "velmora-player.exe").write_bytes(b"#!/bin/sh\nexit 0\n")
    (player / "velmora-player.exe").chmod(0o755)
    (studio / "velmora-studio.exe").write_bytes(b"studio")
    (studio / "velmora-studio-mcp.exe").write_bytes(b"mcp")
    out = base / "out"
    make_release.build(VERSION, str(out), str(player), str(studio), bulk_mb=4, small_files=30)
    return str(out)


@pytest.fixture
def host(release):
    with testlib.SetupHost(release) as h:
        h.clear_faults()
        h.clear_requests()
        yield h
    assert h.errors() == ""


def curl(host, path, *extra, ca=None):
    """(exit code, body bytes, seconds)."""
    t = time.monotonic()
    p = subprocess.run(["curl", "-sS", "--cacert", ca or testlib.Certs.session().ca, *extra,
                        host.url + path],
                       capture_output=True, timeout=30)
    return p.returncode, p.stdout, time.monotonic() - t


def sha(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class TestServing:
    def test_files_byte_for_byte_over_ipv4_and_ipv6(self, host, release):
        big = f"{VERSION}-content-textures.zip"
        for flag in ("-4", "-6"):
            rc, body, _ = curl(host, big, flag)
            assert rc == 0 and hashlib.sha256(body).hexdigest() == sha(os.path.join(release, big))
        assert curl(host, "version")[:2] == (0, (VERSION + "\n").encode())

    def test_head_and_missing_file(self, host, release):
        rc, headers, _ = curl(host, "version", "-I")
        assert rc == 0 and b"Content-Length: %d" % (len(VERSION) + 1) in headers
        assert curl(host, "nope.zip", "-f")[0] == 22
        assert curl(host, "../../etc/passwd", "-f", "--path-as-is")[0] == 22

    def test_request_log_counts_every_request(self, host):
        curl(host, "version")
        curl(host, "version", "-I")
        curl(host, "missing")
        assert host.requests() == [("GET", "/version", 200), ("HEAD", "/version", 200),
                                   ("GET", "/missing", 404)]


class TestFaults:
    def test_status_body_and_redirect(self, host):
        host.set_faults({"*": {"status": 500}, "version": {"body": "other\n"}})
        assert curl(host, "version")[:2] == (0, b"other\n")
        assert curl(host, f"{VERSION}-shaders.zip", "-f")[0] == 22
        host.set_faults({"version": {"redirect": "http://localhost:1/version", "code": 301}})
        rc, out, _ = curl(host, "version", "-i")
        assert out.startswith(b"HTTP/1.1 301") and b"Location: http://localhost:1/version" in out

    def test_times_limits_a_fault_to_the_first_requests(self, host):
        host.set_faults({"version": {"status": 404, "times": 2}})
        assert [curl(host, "version", "-f")[0] for _ in range(3)] == [22, 22, 0]
        host.set_faults({"version": {"status": 404, "times": 1}})  # a new file counts afresh
        assert curl(host, "version", "-f")[0] == 22

    def test_truncate_and_reset_are_errors(self, host):
        path = f"{VERSION}-content-sky.zip"
        host.set_faults({path: {"truncate": 1000}})
        assert curl(host, path)[0] == 18  # partial file
        host.set_faults({path: {"reset_after": 1000}})
        assert curl(host, path)[0] == 56  # reset by peer

    def test_stall_times_out_without_blocking_others(self, host):
        path = f"{VERSION}-content-music.zip"
        host.set_faults({path: {"stall_after": 100}})
        result = {}
        t = threading.Thread(target=lambda: result.update(r=curl(host, path, "--max-time", "2")))
        t.start()
        time.sleep(0.3)
        assert curl(host, "version")[0] == 0
        t.join()
        rc, _, took = result["r"]
        assert rc == 28 and 1.8 < took < 4

    def test_rate_and_delay_slow_down_but_deliver(self, host):
        host.set_faults({"version": {"body": "x" * 3000, "rate": 3000}})
        rc, body, took = curl(host, "version")
        assert rc == 0 and body == b"x" * 3000 and 0.7 < took < 3
        host.set_faults({"version": {"delay": 1}})
        rc, _, took = curl(host, "version")
        assert rc == 0 and 0.9 < took < 3

    def test_stop_is_prompt_while_a_download_stalls(self, release):
        h = testlib.SetupHost(release).start()
        h.set_faults({"version": {"stall_after": 1}})
        p = subprocess.Popen(["curl", "-sS", "--cacert", testlib.Certs.session().ca, h.url + "version"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        t = time.monotonic()
        h.__exit__(None, None, None)
        h.clear_faults()
        assert time.monotonic() - t < 3
        assert p.wait(5) != 0


@pytest.mark.parametrize("name,ok", [("localhost", True), ("wronghost", False),
                                     ("expired", False), ("untrusted", False)])
def test_certificates(release, name, ok):
    # Same fixed port each time: the host must be able to restart on it at once.
    cert, key = getattr(testlib.Certs.session(), name)
    with testlib.SetupHost(release, cert=cert, key=key) as h:
        rc = curl(h, "version")[0]
    assert (rc == 0) if ok else (rc == 60)


def test_plain_mode(release):
    with testlib.SetupHost(release, port=testlib.PORT + 1, plain=True) as h:
        p = subprocess.run(["curl", "-sS", h.url + "version"], capture_output=True)
    assert p.returncode == 0 and p.stdout == (VERSION + "\n").encode()


class TestRelease:
    def test_extracted_packages_match_expected_tree(self, release, tmp_path):
        for name, prefix in make_release.ARCHIVES:
            dest = tmp_path / prefix
            dest.mkdir(parents=True, exist_ok=True)
            subprocess.run(["bsdtar", "-xf", os.path.join(release, f"{VERSION}-{name}")],
                           cwd=dest, check=True)
        tree = make_release.expected_tree(release, VERSION)
        assert make_release.installed_tree(str(tmp_path)) == tree
        assert len(tree) > 40
        assert os.stat(tmp_path / "velmora-player.exe").st_mode & stat.S_IXUSR
        assert (tmp_path / "content/fonts/overlap.txt").read_text().startswith("from content-fonts")
        assert (tmp_path / "content/icon.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
        assert "Studio/velmora-studio-mcp.exe" in tree

    def test_versions_differ_and_builds_repeat(self, release, tmp_path):
        player = os.path.join(release, "..", "player")
        studio = os.path.join(release, "..", "studio")
        for out, v in (("a", "v2"), ("b", "v2"), ("c", "v3")):
            make_release.build(v, str(tmp_path / out), player, studio)
        a, b = (make_release.expected_tree(str(tmp_path / o), "v2") for o in "ab")
        c = make_release.expected_tree(str(tmp_path / "c"), "v3")
        assert a == b
        assert a["content/sky/content-sky-a.dat"] != c["content/sky/content-sky-a.dat"]
