"""Signed releases: whatever is wrong with the release file, its signature or an archive, nothing
of that version is installed, and the start falls back to the installed version with a warning
that names the reason, or fails with it."""
import os
import shutil
import subprocess

import pytest

from conftest import EDIT, PLAY, PUBLISHED, V1, V2, complete_tree, flip_byte, make_release, reseal, rewrite, sign

SKY = f"{V2}-content-sky.zip"


@pytest.fixture(scope="session")
def other_key(tmp_path_factory):
    folder = tmp_path_factory.mktemp("other-key")
    subprocess.run(["minisign", "-G", "-W", "-p", str(folder / "other.pub"), "-s",
                    str(folder / "other.key")], check=True, stdout=subprocess.DEVNULL)
    return str(folder / "other.key")


def edit_release(root, edit, key=make_release.TEST_KEY):
    """Rewrites V2's release file with `edit` of its lines and signs it again with `key`."""
    sign(rewrite(os.path.join(root, f"{V2}-release.txt"),
                 lambda text: "".join(line + "\n" for line in edit(text.splitlines()))), key)


def edit_archive(root, edit):
    rewrite(os.path.join(root, SKY), edit, binary=True)


NOT_SIGNED = f"release {V2} is not signed by Velmora: "
MISMATCH = "content-sky.zip does not match the signed release"
# (case, what it does to the host's V2, reason the launcher must give, applies with nothing installed)
CASES = [
    ("wrong key", lambda root, key: edit_release(root, lambda lines: lines, key),
     NOT_SIGNED + "signed with key ", True),
    ("signature of another file", lambda root, key: shutil.copy(
        os.path.join(root, f"{V1}-release.txt.minisig"), os.path.join(root, f"{V2}-release.txt.minisig")),
     NOT_SIGNED + "signature does not match", True),
    ("edited release file", lambda root, key: open(os.path.join(root, f"{V2}-release.txt"), "a").write(
        "0" * 64 + " 1 extra.zip\n"), NOT_SIGNED + "signature does not match", True),
    ("version line names another version", lambda root, key: edit_release(
        root, lambda lines: [f"version {V1}"] + lines[1:]), f"the release file of {V2} names version {V1}",
     True),
    ("archive not listed", lambda root, key: edit_release(
        root, lambda lines: [line for line in lines if not line.endswith(" content-sky.zip")]),
     f"the release file of {V2} does not list content-sky.zip", True),
    ("archive with one byte changed", lambda root, key: flip_byte(os.path.join(root, SKY), -1), MISMATCH,
     True),
    ("archive one byte longer", lambda root, key: edit_archive(root, lambda data: data + b"\0"),
     MISMATCH, True),
    ("archive one byte shorter", lambda root, key: edit_archive(root, lambda data: data[:-1]),
     MISMATCH, True),
    ("missing signature", lambda root, key: os.remove(os.path.join(root, f"{V2}-release.txt.minisig")),
     NOT_SIGNED + "the setup host has no signature", True),
    ("missing release file", lambda root, key: os.remove(os.path.join(root, f"{V2}-release.txt")),
     NOT_SIGNED + "the setup host has no release file", True),
]


@pytest.mark.parametrize("tamper,reason,alone", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_tampered_release_installs_nothing_and_names_the_reason(machine, host, releases, other_key,
                                                                 tamper, reason, alone):
    tamper(host.root, other_key)
    if alone:
        rc, out, err = machine.run(PLAY)
        assert rc == 1 and err.startswith("Velmora launcher: " + reason) and err.count("\n") == 1, err
        assert set(machine.installed()) <= {V2 + ".partial"} and machine.records(0) == []

    host.announce(V1)
    machine.ok(PLAY)
    host.announce(V2)
    rc, out, err = machine.run(PLAY)
    assert rc == 0 and err.startswith("warning: " + reason), err
    assert err.endswith(f"; starting the installed {V1}\n") and err.count("\n") == 1, err
    assert os.path.basename(machine.records(2)[-1]["cwd"]) == V1
    assert set(machine.installed()) - {V2 + ".partial"} == {V1}
    assert machine.tree(V1) == complete_tree(releases, V1)


def grow_studio(root):
    with open(os.path.join(root, f"{V2}-WindowsStudio.zip"), "ab") as f:
        f.write(b"\0")


# (what happens to the version's record, to the host, what the start refuses with)
STUDIO_CASES = [
    ("record kept", grow_studio, "WindowsStudio.zip does not match the signed release"),
    # Installed before signing, or the record lost: the version's release is verified now.
    ("record deleted", grow_studio, "WindowsStudio.zip does not match the signed release"),
    ("record deleted", lambda root: os.remove(os.path.join(root, f"{V2}-release.txt")),
     NOT_SIGNED + "the setup host has no release file"),
    ("record without the studio", lambda root: None,
     f"the release file of {V2} does not list WindowsStudio.zip"),
]


@pytest.mark.parametrize("record,tamper,reason", STUDIO_CASES,
                         ids=[f"{c[0]}, {c[2][:40]}" for c in STUDIO_CASES])
def test_the_studio_is_installed_only_against_a_verified_release(machine, host, record, tamper, reason):
    machine.ok(PLAY)
    if record == "record deleted":
        os.remove(os.path.join(machine.versions, V2, ".release"))
    elif record == "record without the studio":
        rewrite(os.path.join(machine.versions, V2, ".release"),
                lambda text: "".join(line for line in text.splitlines(True) if "WindowsStudio" not in line))
    tamper(host.root)
    rc, out, err = machine.run(EDIT)
    assert (rc, err) == (1, f"Velmora launcher: {reason}\n")
    assert not os.path.exists(os.path.join(machine.versions, V2, "Studio"))


@pytest.mark.parametrize("published,key,installs", [
    (PUBLISHED[V1], os.path.join(make_release.TOOLS, "test-release-spare.key"), True),
    (PUBLISHED[V1] - 1, make_release.TEST_KEY, False),
], ids=["same second, signed with the spare key", "a second earlier"])
def test_a_release_is_refused_only_when_published_before_the_installed(machine, host, releases,
                                                                       published, key, installs):
    host.announce(V1)
    machine.ok(PLAY)
    reseal(host.root, V2, published, key)
    host.announce(V2)
    rc, out, err = machine.run(PLAY)
    if installs:
        assert (rc, err) == (0, "") and machine.installed() == [V2]
        assert machine.tree(V2) == complete_tree(host.root, V2)
    else:
        assert (rc, err) == (0, f"warning: release {V2} was published before the installed {V1}; "
                                f"starting the installed {V1}\n")
        assert machine.installed() == [V1]


def test_a_kept_older_version_runs_again_only_once_published_again(machine, host, releases, tmp_path):
    host.announce(V1)
    machine.ok(PLAY)
    shutil.copytree(os.path.join(machine.versions, V1), tmp_path / "kept")
    host.announce(V2)
    machine.ok(PLAY)
    # Windows keeps an old version that was in use at the update.
    shutil.copytree(tmp_path / "kept", os.path.join(machine.versions, V1))
    host.announce(V1)
    assert machine.run(PLAY) == (0, "", f"warning: release {V1} was published before the installed "
                                        f"{V2}; starting the installed {V2}\n")
    assert os.path.basename(machine.records(3)[-1]["cwd"]) == V2
    assert machine.installed() == [V1, V2]

    # A rollback: the same build published again, after V2.
    reseal(host.root, V1, PUBLISHED[V2] + 1)
    host.clear_requests()
    assert machine.ok(PLAY) == ""
    paths = [r.path for r in host.requests()]  # the release and its signature come side by side
    assert paths[0] == "/version" and sorted(paths[1:]) == [f"/{V1}-release.txt",
                                                            f"/{V1}-release.txt.minisig"]
    assert os.path.basename(machine.records(4)[-1]["cwd"]) == V1 and machine.installed() == [V1]
    assert machine.tree(V1) == complete_tree(host.root, V1)
    # The newest now, offline too.
    host.set_faults({"version": {"status": 404}})
    rc, out, err = machine.run(PLAY)
    assert rc == 0 and err.endswith(f"; starting the installed {V1}\n"), err
