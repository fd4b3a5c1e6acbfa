"""Setup hosts that misbehave: bad certificates, wrong answers, redirects away from TLS, cut and
stalled transfers. The version request falls back to what is installed; a package never does."""
import os
import shutil

import pytest

from conftest import PLAY, V1, V2, Host, complete_tree, make_release, testlib

BASE = f"https://localhost:{testlib.PORT}/"
PAGE = ('<!DOCTYPE html>\n<html lang="en">\n<head><title>Velmora</title></head>\n'
        "<body><p>Back soon.</p></body>\n</html>\n")


class Site:
    """The release folder, served by one host at a time with the certificate asked for."""

    def __init__(self, root):
        self.root, self.host = root, None

    def serve(self, cert="localhost"):
        self.close()
        pem, key = getattr(testlib.Certs.session(), cert)
        self.host = Host(self.root, cert=pem, key=key).__enter__()
        return self.host

    def close(self):
        if self.host:
            self.host.__exit__(None, None, None)
            self.host = None


@pytest.fixture
def site(releases, tmp_path):
    root = str(tmp_path / "host")
    shutil.copytree(releases, root)
    s = Site(root)
    s.serve().announce(V2)
    yield s
    s.close()


@pytest.fixture
def plain(tmp_path):
    """A plain-HTTP host holding a valid version, to redirect to."""
    root = tmp_path / "plain"
    root.mkdir()
    (root / "version").write_text(V2)
    with testlib.SetupHost(str(root), port=testlib.PORT + 1, plain=True) as h:
        yield h


def install_v1(machine, site):
    site.serve().announce(V1)
    site.host.clear_faults()
    assert machine.run(PLAY)[:3:2] == (0, "")
    site.host.announce(V2)


FAILED = f"download of {BASE}version failed: "
CLEANED = "".join(c for c in PAGE if not c.isspace() and c != '"')
# (what goes wrong, how to make it happen, how the message starts)
VERSION_FAULTS = [
    ("wronghost", {"cert": "wronghost"}, FAILED),
    ("expired", {"cert": "expired"}, FAILED),
    ("untrusted", {"cert": "untrusted"}, FAILED),
    ("error 500", {"status": 500}, FAILED + "HTTP response code said error"),
    ("stalled body", {"stall_after": 0}, FAILED + "Timeout was reached"),
    ("redirect to http", {"redirect": "PLAIN"}, FAILED),
    ("redirect to ftp", {"redirect": "ftp://localhost/version"}, FAILED),
    ("redirect to file", {"redirect": "file:///etc/hostname"}, FAILED),
    ("html page", {"body": PAGE}, f"setup host returned an invalid version: '{CLEANED}'"),
]


@pytest.mark.parametrize("fault,expected", [f[1:] for f in VERSION_FAULTS],
                         ids=[f[0] for f in VERSION_FAULTS])
def test_version_fault_falls_back_or_fails_with_one_message(machine, site, request, fault, expected):
    plain = None
    if fault.get("redirect") == "PLAIN":
        plain = request.getfixturevalue("plain")
        fault = {"redirect": plain.url + "version"}

    def break_host():
        if "cert" in fault:
            site.serve(fault["cert"])
        else:
            site.host.set_faults({"version": fault})

    break_host()
    rc, out, err = machine.run(PLAY, timeout=30)
    assert (rc, out) == (1, ""), err
    assert err.startswith("Velmora launcher: " + expected) and err.count("\n") == 1, err
    message = err[len("Velmora launcher: "):-1]
    assert machine.installed() == [] and machine.records(0) == []

    install_v1(machine, site)
    break_host()
    rc, out, err = machine.run(PLAY, timeout=30)
    assert (rc, out, err) == (0, "", f"warning: {message}; starting the installed {V1}\n")
    player = machine.records(2)[-1]
    assert os.path.basename(player["cwd"]) == V1
    assert machine.installed() == [V1]
    if plain:
        assert plain.requests() == []


ARCHIVE = f"{V2}-WindowsPlayer.zip"
ARCHIVE_FAULTS = [(what, with_v1) for what in ("reset midway", "html page", "redirect to http")
                  for with_v1 in (False, True)] + [("stall midway", False)]  # a stall costs ~10 s
ARCHIVE_IDS = [f"{w}-{'older installed' if v else 'nothing installed'}" for w, v in ARCHIVE_FAULTS]


@pytest.mark.parametrize("what,with_v1", ARCHIVE_FAULTS, ids=ARCHIVE_IDS)
def test_archive_fault_ends_the_start_and_a_later_start_recovers(machine, site, releases, request,
                                                                 what, with_v1):
    if with_v1:
        install_v1(machine, site)
    half = os.path.getsize(os.path.join(site.root, ARCHIVE)) // 2
    fault = {"reset midway": {"reset_after": half}, "stall midway": {"stall_after": half},
             "html page": {"body": PAGE}}.get(what)
    if what == "redirect to http":
        plain = request.getfixturevalue("plain")
        shutil.copy(os.path.join(site.root, ARCHIVE), plain.root)
        fault = {"redirect": plain.url + ARCHIVE}
    site.host.set_faults({ARCHIVE: fault})

    rc, out, err = machine.run(PLAY, timeout=30)
    assert rc == 1 and out == f"Installing Velmora {V2}\n", err
    cause = "extracting " if what == "html page" else f"download of {BASE}{ARCHIVE} failed: "
    assert err.startswith("Velmora launcher: " + cause) and err.count("\n") == 1, err
    assert "WindowsPlayer.zip" in err
    # Nothing under the final name, and the older version untouched.
    assert set(machine.installed()) <= {V1, V2 + ".partial"} and (V1 in machine.installed()) == with_v1
    if with_v1:
        tree = make_release.installed_tree(os.path.join(machine.versions, V1))
        assert tree == complete_tree(releases, V1)
    assert len(machine.records(0)) == int(with_v1)
    if what == "redirect to http":
        assert plain.requests() == []

    site.host.clear_faults()
    rc, out, err = machine.run(PLAY, timeout=30)
    assert (rc, err) == (0, "") and machine.installed() == [V2]
    tree = make_release.installed_tree(os.path.join(machine.versions, V2))
    assert tree == complete_tree(releases, V2)


def test_ca_bundle_naming_a_missing_file_fails_the_version_download(machine, site, tmp_path):
    missing = {"YRT_CA_BUNDLE": str(tmp_path / "no-such-ca.pem")}
    rc, out, err = machine.run(PLAY, env_extra=missing, timeout=30)
    assert rc == 1 and err.startswith(f"Velmora launcher: download of {BASE}version failed: ")
    assert err.count("\n") == 1 and machine.installed() == []
    install_v1(machine, site)
    rc, out, err = machine.run(PLAY, env_extra=missing, timeout=30)
    assert rc == 0 and err.startswith(f"warning: download of {BASE}version failed: ")
    assert err.endswith(f"; starting the installed {V1}\n") and err.count("\n") == 1


@pytest.mark.parametrize("variable", [None, ""], ids=["unset", "empty"])
def test_install_root_ca_bundle_is_trusted_unless_the_variable_names_another(machine, site, variable):
    env = {"YRT_CA_BUNDLE": variable}
    # Without it the system's store does not know the test CA.
    rc, out, err = machine.run(PLAY, env_extra=env, timeout=30)
    assert rc == 1 and err.startswith(f"Velmora launcher: download of {BASE}version failed: ")
    os.makedirs(machine.root, exist_ok=True)
    shutil.copy(testlib.Certs.session().ca, os.path.join(machine.root, "ca-bundle.pem"))
    rc, out, err = machine.run(PLAY, env_extra=env, timeout=30)
    assert (rc, err) == (0, "") and machine.installed() == [V2]
    # A bundle named by the variable wins over the install root's.
    rogue = {"YRT_CA_BUNDLE": testlib.Certs.session().untrusted[0]}
    rc, out, err = machine.run(PLAY, env_extra=rogue, timeout=30)
    assert rc == 0 and err.startswith(f"warning: download of {BASE}version failed: ")
