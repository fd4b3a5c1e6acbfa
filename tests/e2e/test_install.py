"""Install, update and fallback of the built launcher against the local setup host."""
import hashlib
import os
import time

import pytest

from conftest import EDIT, PLAY, V1, V2, make_release, testlib

EMPTY = hashlib.sha256(b"").hexdigest()
BASE = f"https://localhost:{testlib.PORT}/"


def tree_of(releases, version, studio=False):
    tree = make_release.expected_tree(releases, version, studio=studio)
    tree[".complete"] = EMPTY
    if studio:
        tree["Studio/.complete"] = EMPTY
    return tree


def test_fresh_install_starts_the_player_from_the_new_version(machine, host, releases):
    rc, out, err = machine.run(PLAY)
    assert (rc, err) == (0, "")
    assert out.splitlines()[0] == f"Installing Velmora {V2}"
    assert machine.installed() == [V2]
    version = os.path.join(machine.versions, V2)
    assert make_release.installed_tree(version) == tree_of(releases, V2)
    [player] = machine.records()
    assert player["program"] == "velmora-player"
    assert os.path.realpath(player["cwd"]) == os.path.realpath(version)
    assert player["args"] == ["--play", "-a", "https://www.velmora.com/Login/Negotiate.ashx", "-t",
                              "ticket", "-j", "https://www.velmora.com/Game/PlaceLauncher.ashx?placeId=7",
                              "-b", "42"]
    paths = [r.path for r in host.requests()]
    assert paths[0] == "/version" and len(paths) == 11


def test_up_to_date_start_makes_one_request_and_writes_nothing(machine, host):
    assert machine.run(PLAY)[0] == 0
    version = os.path.join(machine.versions, V2)
    before = {p: os.stat(os.path.join(d, p)).st_mtime_ns
              for d, _, files in os.walk(machine.versions) for p in files}
    host.clear_requests()
    time.sleep(0.01)
    rc, out, err = machine.run(PLAY)
    assert (rc, out, err) == (0, "", "")
    assert [r.path for r in host.requests()] == ["/version"]
    after = {p: os.stat(os.path.join(d, p)).st_mtime_ns
             for d, _, files in os.walk(machine.versions) for p in files}
    assert after == before and os.listdir(machine.versions) == [V2]
    assert len(machine.records(2)) == 2 and os.path.isdir(version)


def test_update_replaces_and_prunes_the_old_version(machine, host, releases):
    host.announce(V1)
    assert machine.run(PLAY)[0] == 0
    # Leftovers of other attempts are pruned with the old version.
    os.makedirs(os.path.join(machine.versions, "other.partial", "x"))
    open(os.path.join(machine.versions, "stray.txt"), "w").close()
    # Quotes and white space anywhere are dropped.
    host.announce(f'"{V2[:12]} {V2[12:]}"\r\n')
    rc, out, err = machine.run(PLAY)
    assert (rc, err) == (0, "") and f"Installing Velmora {V2}" in out
    assert machine.installed() == [V2]
    assert make_release.installed_tree(os.path.join(machine.versions, V2)) == tree_of(releases, V2)


@pytest.mark.parametrize("document,cleaned", [
    ("a" * 65, "a" * 65),
    ("../evil", "../evil"),
    ("a/b", "a/b"),
    ("a\\b", "a\\b"),
    (".", "."),
    ("CON", "CON"),
    ("<html>x</html>", "<html>x</html>"),
])
def test_unusable_version_falls_back_with_a_warning(machine, host, document, cleaned):
    host.announce(V1)
    assert machine.run(PLAY)[0] == 0
    host.announce(document)
    host.clear_requests()
    rc, out, err = machine.run(PLAY)
    assert (rc, out) == (0, "")
    assert err == (f"warning: setup host returned an invalid version: '{cleaned}'; "
                   f"starting the installed {V1}\n")
    assert [r.path for r in host.requests()] == ["/version"]
    assert machine.records(2)[-1]["program"] == "velmora-player"


def test_64_byte_version_is_used_as_the_folder_name(machine, host, releases, build):
    name = "v" * 64
    make_release.build(name, host.root, os.path.join(build["standins"], "player"),
                       os.path.join(build["standins"], "studio"))
    rc, out, err = machine.run(PLAY)
    assert (rc, err) == (0, "") and machine.installed() == [name]


@pytest.mark.parametrize("fault", [{"status": 500}, {"status": 404}, {"reset_after": 0},
                                   {"stall_after": 0}])
def test_unreachable_version_falls_back_or_fails(machine, host, fault):
    rc, out, err = machine.run(PLAY, timeout=30)
    assert rc == 0
    host.set_faults({"version": fault})
    rc, out, err = machine.run(PLAY, timeout=30)
    assert rc == 0, err
    assert err.startswith(f"warning: download of {BASE}version failed: ")
    assert err.endswith(f"; starting the installed {V2}\n") and err.count("\n") == 1


def test_nothing_installed_and_no_host_reports_the_download_error(machine):
    rc, out, err = machine.run(PLAY)
    assert rc == 1 and out == ""
    assert err.startswith(f"Velmora launcher: download of {BASE}version failed: ")
    assert err.count("\n") == 1 and not os.path.exists(machine.versions)


def test_package_failure_ends_the_start_even_with_an_older_version(machine, host):
    host.announce(V1)
    assert machine.run(PLAY)[0] == 0
    host.announce(V2)
    host.set_faults({f"{V2}-content-sky.zip": {"status": 404}})
    rc, out, err = machine.run(PLAY)
    assert rc == 1
    assert err == (f"Velmora launcher: download of {BASE}{V2}-content-sky.zip failed: "
                   "HTTP response code said error\n")
    assert len(machine.records(1)) == 1  # nothing started this time
    # The half-built staging folder is never used and is rebuilt next time.
    assert sorted(machine.installed()) == [V1, V2 + ".partial"]
    host.clear_faults()
    rc, out, err = machine.run(PLAY)
    assert (rc, err) == (0, "") and machine.installed() == [V2]


def test_truncated_or_stalled_archive_is_never_installed(machine, host, releases):
    for fault in ({"truncate": 1000}, {"reset_after": 300}, {"stall_after": 100}):
        host.set_faults({f"{V2}-shaders.zip": fault})
        rc, out, err = machine.run(PLAY, timeout=30)
        assert rc == 1 and f"{V2}-shaders.zip" in err, (fault, err)
        assert V2 not in machine.installed()
    host.clear_faults()
    assert machine.run(PLAY)[0] == 0
    assert make_release.installed_tree(os.path.join(machine.versions, V2)) == tree_of(releases, V2)


def test_slow_but_moving_download_completes(machine, host):
    # Slower than the stall bound per package, but never silent for long.
    host.set_faults({f"{V2}-content-sky.zip": {"rate": 2000}})
    rc, out, err = machine.run(PLAY, timeout=60)
    assert (rc, err) == (0, "")


def test_redirects_are_followed_only_to_https(machine, host, tmp_path):
    host.set_faults({"version": {"redirect": f"{BASE}elsewhere"}, "elsewhere": {"body": V2 + "\n"}})
    assert machine.run(PLAY)[:3:2] == (0, "")
    with testlib.SetupHost(str(tmp_path), port=testlib.PORT + 1, plain=True) as plain:
        with open(os.path.join(str(tmp_path), "version"), "w") as f:
            f.write(V2)
        for target in (plain.url + "version", "ftp://localhost/version", "file:///etc/hostname"):
            host.set_faults({"version": {"redirect": target}})
            rc, out, err = machine.run(PLAY)
            assert rc == 0 and err.startswith(f"warning: download of {BASE}version failed: "), target
        assert plain.requests() == []


def test_studio_is_installed_on_first_use_into_the_current_version(machine, host, releases):
    assert machine.run(PLAY)[0] == 0
    host.clear_requests()
    rc, out, err = machine.run(EDIT)
    assert (rc, out, err) == (0, "Installing Velmora Studio\n", "")
    assert [r.path for r in host.requests()] == ["/version", f"/{V2}-WindowsStudio.zip"]
    version = os.path.join(machine.versions, V2)
    assert make_release.installed_tree(version) == tree_of(releases, V2, studio=True)
    studio = machine.records(2)[-1]
    assert studio["program"] == "velmora-studio"
    assert os.path.realpath(studio["cwd"]) == os.path.realpath(os.path.join(version, "Studio"))
    # Complete now: the next studio start downloads nothing more.
    host.clear_requests()
    assert machine.run("--studio")[:2] == (0, "")
    assert [r.path for r in host.requests()] == ["/version"]
    assert machine.records(3)[-1]["args"] == []


def test_fallback_version_fetches_its_own_studio(machine, host):
    host.announce(V1)
    assert machine.run(PLAY)[0] == 0
    host.set_faults({"version": {"status": 500}})
    host.clear_requests()
    rc, out, err = machine.run("--studio", "place.rbxl", "ignored")
    assert rc == 0 and out == "Installing Velmora Studio\n"
    assert f"/{V1}-WindowsStudio.zip" in [r.path for r in host.requests()]
    assert machine.records(2)[-1]["args"] == [os.path.join(machine.dir, "place.rbxl")]


def test_tool_server_owns_stdout_and_passes_its_exit_code(machine, host):
    rc, out, err = machine.run("--studio-mcp", input="ping\n", env_extra={"VELMORA_STANDIN_EXIT": "5"})
    assert rc == 5
    # Our own lines went to standard error; standard output is the tool server's alone.
    assert out.splitlines()[-1] == "echo: ping" and "Installing" not in out
    assert f"Installing Velmora {V2}\nInstalling Velmora Studio\n" in err
    assert machine.records()[0]["args"] == ["--stdio"]
