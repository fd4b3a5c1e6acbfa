"""Signed releases: whatever is wrong with the release file, its signature or an archive, nothing
of that version is installed, and the start falls back to the installed version with a warning
that names the reason, or fails with it."""
import base64
import fnmatch
import os
import shutil
import subprocess

import pytest

from conftest import (EDIT, PLAY, PUBLISHED, V1, V2, asked_head, complete_tree, flip_byte, head, make_release, reseal,
                      rewrite, sign)

SKY = f"{V2}-content-sky.zip"
OUR_KEY_ID = base64.b64decode(open(make_release.TEST_KEY.replace(".key", ".pub")).read().splitlines()[1])[2:10]


@pytest.fixture(scope="session")
def other_key(tmp_path_factory):
    folder = tmp_path_factory.mktemp("other-key")
    subprocess.run(["minisign", "-G", "-W", "-p", str(folder / "other.pub"), "-s", str(folder / "other.key")],
                   check=True, stdout=subprocess.DEVNULL)
    return str(folder / "other.key")


def edit_release(root, edit, key=make_release.TEST_KEY):
    """Rewrites V2's release file with `edit` of its lines and signs it again with `key`."""
    sign(rewrite(os.path.join(root, f"{V2}-release.txt"),
                 lambda text: "".join(line + "\n" for line in edit(text.splitlines()))), key)


def edit_signature(root, at, edit, raw=True):
    """Rewrites line `at` of V2's signature (1 the signature, 2 the trusted comment, 3 the global
    signature) with `edit` of its bytes (`raw`) or of its text."""
    def line(text):
        return base64.b64encode(edit(base64.b64decode(text))).decode() if raw else edit(text)
    rewrite(os.path.join(root, f"{V2}-release.txt.minisig"),
            lambda text: "".join((line(t) if i == at else t) + "\n" for i, t in enumerate(text.splitlines())))


def edit_archive(root, edit):
    rewrite(os.path.join(root, SKY), edit, binary=True)


NOT_SIGNED = f"release {V2} is not signed by Velmora: "
MISMATCH = "content-sky.zip does not match the signed release"
# (case, what it does to the host's V2, reason the launcher must give)
CASES = [
    ("wrong key", lambda root, key: edit_release(root, lambda lines: lines, key), NOT_SIGNED + "signed with key "),
    ("wrong key, our key id", lambda root, key: (edit_release(root, lambda lines: lines, key), edit_signature(
        root, 1, lambda b: b[:2] + OUR_KEY_ID + b[10:])), NOT_SIGNED + "signature does not match"),
    ("signature of another file", lambda root, key: shutil.copy(
        os.path.join(root, f"{V1}-release.txt.minisig"), os.path.join(root, f"{V2}-release.txt.minisig")),
     NOT_SIGNED + "signature does not match"),
    # A prehashed signature relabelled as one of the message itself.
    ("form switched", lambda root, key: edit_signature(root, 1, lambda b: b"Ed" + b[2:]),
     NOT_SIGNED + "signature does not match"),
    ("trusted comment edited", lambda root, key: edit_signature(root, 2, lambda t: t + " ", raw=False),
     NOT_SIGNED + "trusted comment signature does not match"),
    ("global signature edited", lambda root, key: edit_signature(root, 3, lambda b: bytes([b[0] ^ 1]) + b[1:]),
     NOT_SIGNED + "trusted comment signature does not match"),
    ("edited release file", lambda root, key: open(os.path.join(root, f"{V2}-release.txt"), "a").write(
        "0" * 64 + " 1 extra.zip\n"), NOT_SIGNED + "signature does not match"),
    ("version line names another version", lambda root, key: edit_release(
        root, lambda lines: [f"version {V1}"] + lines[1:]), f"the release file of {V2} names version {V1}"),
    ("archive not listed", lambda root, key: edit_release(
        root, lambda lines: [line for line in lines if not line.endswith(" content-sky.zip")]),
     f"the release file of {V2} does not list content-sky.zip"),
    ("archive with one byte changed", lambda root, key: flip_byte(os.path.join(root, SKY), -1), MISMATCH),
    ("archive one byte longer", lambda root, key: edit_archive(root, lambda data: data + b"\0"), MISMATCH),
    ("archive one byte shorter", lambda root, key: edit_archive(root, lambda data: data[:-1]), MISMATCH),
    ("missing signature", lambda root, key: os.remove(os.path.join(root, f"{V2}-release.txt.minisig")),
     NOT_SIGNED + "the setup host has no signature"),
    ("missing release file", lambda root, key: os.remove(os.path.join(root, f"{V2}-release.txt")),
     NOT_SIGNED + "the setup host has no release file"),
    # The file list on the host is not the one the release signed, or larger than a list may be. Which
    # lists are refused is FileList's (unit tests).
    ("file list edited", lambda root, key: open(os.path.join(root, f"{V2}-files.txt"), "a").write("x"),
     "files.txt does not match the signed release"),
    ("file list too large", lambda root, key: edit_release(root, lambda lines: [
        " ".join([*line.split()[:1], "16777217", "files.txt"]) if line.endswith(" files.txt") else line
        for line in lines]), f"the file list of {V2} is larger than 16777216 bytes"),
]


@pytest.mark.parametrize("tamper,reason", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_tampered_release_installs_nothing_and_names_the_reason(machine, host, releases, other_key, tamper, reason):
    tamper(host.root, other_key)
    rc, out, err = machine.run(PLAY)
    assert rc == 1 and fnmatch.fnmatchcase(err, f"Velmora launcher: {reason}*") and err.count("\n") == 1, err
    assert set(machine.installed()) <= {V2 + ".partial"} and machine.records(0) == []
    machine.on(host, V1)
    rc, out, err = machine.run(PLAY)
    assert rc == 0 and fnmatch.fnmatchcase(err, f"warning: {reason}*") and err.count("\n") == 1, err
    assert err.endswith(f"; starting the installed {V1}\n") and os.path.basename(machine.records(2)[-1]["cwd"]) == V1
    assert set(machine.installed()) - {V2 + ".partial"} == {V1} and machine.tree(V1) == complete_tree(releases, V1)


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
    assert machine.run(EDIT)[::2] == (1, f"Velmora launcher: {reason}\n")
    assert not os.path.exists(os.path.join(machine.versions, V2, "Studio"))


@pytest.mark.parametrize("published,key,installs", [
    (PUBLISHED[V1], os.path.join(make_release.TOOLS, "test-release-spare.key"), True),
    (PUBLISHED[V1] - 1, make_release.TEST_KEY, False),
], ids=["same second, signed with the spare key in minisign's legacy form", "a second earlier"])
def test_a_release_is_refused_only_when_published_before_the_installed(machine, host, releases,
                                                                       published, key, installs):
    machine.on(host, V1)
    reseal(host.root, V2, published, key)
    if installs:
        sign(os.path.join(host.root, f"{V2}-release.txt"), key, "-l")
    rc, out, err = machine.run(PLAY)
    if installs:
        assert (rc, err) == (0, "") and machine.installed() == [V2] and machine.tree(V2) == complete_tree(host.root, V2)
    else:
        assert (rc, err) == (0, f"warning: release {V2} was published before the installed {V1}; "
                                f"starting the installed {V1}\n") and machine.installed() == [V1]


def test_a_kept_older_version_runs_again_only_once_published_again(machine, host, releases, tmp_path):
    machine.on(host, V1)
    shutil.copytree(os.path.join(machine.versions, V1), tmp_path / "kept")
    machine.ok(PLAY)
    # Windows keeps an old version that was in use at the update.
    shutil.copytree(tmp_path / "kept", os.path.join(machine.versions, V1))
    host.announce(V1)
    assert machine.run(PLAY) == (0, "", f"warning: release {V1} was published before the installed "
                                        f"{V2}; starting the installed {V2}\n")
    assert os.path.basename(machine.records(3)[-1]["cwd"]) == V2 and machine.installed() == [V1, V2]

    # A rollback: the same build published again, after V2.
    reseal(host.root, V1, PUBLISHED[V2] + 1)
    host.clear_requests()
    assert machine.ok(PLAY) == ""
    assert asked_head(host.paths()) == [p for p in head(V1) if not p.endswith("files.txt")]
    assert os.path.basename(machine.records(4)[-1]["cwd"]) == V1 and machine.installed() == [V1]
    assert machine.tree(V1) == complete_tree(host.root, V1)
    # The newest now, offline too.
    host.set_faults({"version": {"status": 404}})
    rc, out, err = machine.run(PLAY)
    assert rc == 0 and err.endswith(f"; starting the installed {V1}\n"), err
