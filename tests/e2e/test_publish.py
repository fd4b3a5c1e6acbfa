"""The publishing tool: which package gets each file, byte-identical archives, a signature that
minisign itself accepts."""
import os
import subprocess
import zipfile

import pytest

from conftest import PLAY, ROOT, V2, complete_tree
import publish

PUBLIC_KEY = os.path.join(ROOT, "tools", "test-release-key.pub")


def write_files(folder, paths, mode=0o644, mtime=None):
    for rel in paths:
        path = os.path.join(folder, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(rel.encode() * 50)
        os.chmod(path, 0o755 if rel.endswith(".exe") else mode)
        if mtime is not None:
            os.utime(path, (mtime, mtime))


# (file in the version folder, archive, entry name in it)
PLACES = [
    ("velmora-player.exe", "WindowsPlayer.zip", "velmora-player.exe"),
    ("content/icon.png", "WindowsPlayer.zip", "content/icon.png"),
    ("content/fontsx/a.ttf", "WindowsPlayer.zip", "content/fontsx/a.ttf"),  # not content/fonts/
    ("content/fonts/a.ttf", "content-fonts.zip", "a.ttf"),
    ("content/fonts/sub/b.ttf", "content-fonts.zip", "sub/b.ttf"),
    ("PlatformContent/pc/textures/t.dds", "content-textures3.zip", "t.dds"),
    ("shaders/s.bin", "shaders.zip", "s.bin"),
    ("Studio/velmora-studio.exe", "WindowsStudio.zip", "velmora-studio.exe"),
]


def test_each_file_lands_in_its_package_and_archives_are_reproducible(tmp_path):
    files = [rel for rel, _, _ in PLACES]
    write_files(tmp_path / "a", files, 0o644, mtime=1_000_000)
    write_files(tmp_path / "b", reversed(files), 0o600, mtime=2_000_000)  # other order, modes, times
    first = publish.publish("v1", str(tmp_path / "a"), str(tmp_path / "out1"),
                            key=os.path.join(ROOT, "tools", "test-release-key.key"), published=10)
    second = publish.publish("v1", str(tmp_path / "b"), str(tmp_path / "out2"), published=20)
    for name, _ in publish.ALL_PACKAGES:
        assert open(first[name], "rb").read() == open(second[name], "rb").read(), name
    for rel, archive, entry in PLACES:
        with zipfile.ZipFile(first[archive]) as zf:
            assert zf.read(entry) == rel.encode() * 50
            assert zf.getinfo(entry).external_attr >> 16 == (0o100755 if rel.endswith(".exe") else 0o100644)
    # The launcher makes each package's own folder; no archive names it.
    names = zipfile.ZipFile(first["WindowsPlayer.zip"]).namelist()
    assert "content/fonts/" not in names and "content/" in names
    out = tmp_path / "out1"
    subprocess.run(["minisign", "-V", "-q", "-p", PUBLIC_KEY, "-m", str(out / "v1-release.txt")], check=True)
    assert (out / "version").read_text() == "v1\n" and not (tmp_path / "out2" / "v1-release.txt.minisig").exists()
    cache = dict(line.split(" ", 1) for line in (out / "cache-control.txt").read_text().splitlines())
    assert cache.pop("version") == "public, max-age=60" and "v1-files.txt" in cache
    assert set(cache.values()) == {"public, max-age=31536000, immutable"}


@pytest.mark.parametrize("make, error", [
    (lambda d: os.symlink("velmora-player.exe", d / "link.exe"), "refusing symbolic link link.exe"),
    (lambda d: os.mkfifo(d / "pipe"), "refusing pipe: neither a file nor a folder"),
    (lambda d: write_files(d, ["content/\u00c9.txt", "content/\u00e9.txt"]),
     "refusing content/\u00e9.txt: Windows takes it and content/\u00c9.txt for one name"),
])
def test_what_the_launcher_would_refuse_is_not_published(tmp_path, make, error):
    write_files(tmp_path / "files", ["velmora-player.exe"])
    make(tmp_path / "files")
    with pytest.raises(publish.PublishError, match=error):
        publish.publish("v1", str(tmp_path / "files"), str(tmp_path / "out"))
    assert not (tmp_path / "out" / "version").exists()


def test_a_release_with_a_file_list_installs_with_the_launcher_from_before_lists(machine, host, releases):
    # Players keep their launcher until it updates itself (scripts/build-previous.sh).
    previous = os.path.join(ROOT, "build", "previous", "bin", "velmora-launcher")
    if not os.path.exists(previous):
        pytest.skip("build/previous is not built (scripts/build-previous.sh)")
    assert os.path.exists(os.path.join(releases, f"{V2}-files.txt"))
    rc, out, err = machine.run(PLAY, binary=previous)
    assert (rc, err) == (0, "") and out.splitlines()[0] == f"Installing Velmora {V2}"
    # Its record of what each package installed has an older form.
    tree, expected = machine.tree(V2), complete_tree(releases, V2)
    assert tree.pop(".files") and expected.pop(".files") and tree == expected
