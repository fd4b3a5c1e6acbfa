"""The launcher copy, the scheme registration, the icon file and the shortcuts."""
import os
import shutil
import zipfile

import pytest

from conftest import PLAY, V2, make_release


def registry(machine):
    with open(os.path.join(machine.dir, "home", ".config", "velmora", "registry.reg")) as f:
        return f.read()


def shortcut(machine, name):
    path = os.path.join(machine.dir, "home", ".local", "share", "applications", name + ".desktop")
    with open(path) as f:
        return dict(line.split("=", 1) for line in f.read().splitlines() if "=" in line)


def test_copy_takes_the_files_beside_the_launcher_but_not_folders(machine, host):
    with open(os.path.join(machine.downloads, "helper.dll"), "w") as f:
        f.write("beside")
    os.makedirs(os.path.join(machine.downloads, "sub"))
    open(os.path.join(machine.downloads, "sub", "deep.txt"), "w").close()
    assert machine.run(PLAY)[0] == 0
    copy = os.path.join(machine.root, "Launcher")
    assert sorted(os.listdir(copy)) == ["helper.dll", "velmora-launcher"]
    with open(os.path.join(copy, "velmora-launcher"), "rb") as a, open(machine.launcher, "rb") as b:
        assert a.read() == b.read()


def test_a_start_from_the_copy_copies_nothing(machine, host):
    assert machine.run(PLAY)[0] == 0
    copy = os.path.join(machine.root, "Launcher")
    before = {n: os.stat(os.path.join(copy, n)).st_mtime_ns for n in os.listdir(copy)}
    # Through another spelling of the same folder: identity decides, not text.
    other = os.path.join(machine.dir, "alias")
    os.symlink(copy, other)
    for binary in (os.path.join(copy, "velmora-launcher"), os.path.join(other, "velmora-launcher")):
        rc, out, err = machine.run(PLAY, binary=binary)
        assert (rc, err) == (0, "")
    assert {n: os.stat(os.path.join(copy, n)).st_mtime_ns for n in os.listdir(copy)} == before


def test_launcher_folder_that_is_a_file_ends_the_start(machine, host):
    os.makedirs(machine.root)
    open(os.path.join(machine.root, "Launcher"), "w").close()
    rc, out, err = machine.run(PLAY)
    assert rc == 1 and err.startswith("Velmora launcher: ") and err.count("\n") == 1
    assert "Launcher" in err
    assert machine.records(0) == [] and not os.path.exists(os.path.join(machine.root, "icon.ico"))


@pytest.mark.parametrize("appdata", ["appdata", "app data with blanks"])
def test_registry_names_the_copy(machine, host, appdata):
    root = os.path.join(machine.dir, appdata)
    assert machine.run(PLAY, env_extra={"LOCALAPPDATA": root})[0] == 0
    copy = os.path.join(root, "Velmora", "Launcher", "velmora-launcher")
    assert registry(machine) == (
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\Software\\Classes\\velmora-player]\n"
        '@="URL:Velmora Protocol"\n"URL Protocol"=""\n\n'
        "[HKEY_CURRENT_USER\\Software\\Classes\\velmora-player\\DefaultIcon]\n"
        f'@="\\"{copy}\\",0"\n\n'
        "[HKEY_CURRENT_USER\\Software\\Classes\\velmora-player\\shell\\open\\command]\n"
        f'@="\\"{copy}\\" \\"%1\\""\n')


def publish_with_icon(host, build, version, icon):
    """Publishes `version` whose player package carries `icon` as content/icon.png."""
    make_release.build(version, host.root, os.path.join(build["standins"], "player"),
                       os.path.join(build["standins"], "studio"))
    archive = os.path.join(host.root, f"{version}-WindowsPlayer.zip")
    with zipfile.ZipFile(archive) as old, zipfile.ZipFile(archive + ".new", "w") as new:
        for item in old.infolist():
            data = icon if item.filename == "content/icon.png" else old.read(item)
            if data is not None:
                new.writestr(item, data)
    os.replace(archive + ".new", archive)


@pytest.mark.parametrize("width,height,entry", [(48, 48, (48, 48)), (256, 256, (0, 0)),
                                                (300, 48, (0, 48))])
def test_icon_file_wraps_the_png(machine, host, build, width, height, entry):
    png = make_release.png(width, height)
    publish_with_icon(host, build, V2, png)
    assert machine.run(PLAY)[0] == 0
    with open(os.path.join(machine.root, "icon.ico"), "rb") as f:
        ico = f.read()
    assert ico[22:] == png and len(ico) == 22 + len(png)
    assert (ico[6], ico[7]) == entry
    assert ico[:6] == b"\0\0\1\0\1\0" and ico[14:22] == len(png).to_bytes(4, "little") + b"\x16\0\0\0"
    icon = os.path.join(machine.root, "icon.ico")
    assert shortcut(machine, "Velmora")["Icon"] == icon


@pytest.mark.parametrize("icon", [b"x" * 24, None])
def test_unusable_icon_source_leaves_the_launcher_as_the_icon(machine, host, build, icon):
    publish_with_icon(host, build, V2, icon)
    assert machine.run(PLAY)[0] == 0
    assert not os.path.exists(os.path.join(machine.root, "icon.ico"))
    copy = os.path.join(machine.root, "Launcher", "velmora-launcher")
    for name in ("Velmora", "Velmora Studio"):
        assert shortcut(machine, name)["Icon"] == copy


def test_shortcuts_start_the_copy(machine, host):
    assert machine.run(PLAY)[0] == 0
    copy = os.path.join(machine.root, "Launcher", "velmora-launcher")
    player, studio = shortcut(machine, "Velmora"), shortcut(machine, "Velmora Studio")
    assert (player["Name"], player["Exec"]) == ("Velmora", f'"{copy}"')
    assert (studio["Name"], studio["Exec"]) == ("Velmora Studio", f'"{copy}" "--studio"')


def test_unwritable_programs_folder_warns_and_goes_on(machine, host):
    apps = os.path.join(machine.dir, "home", ".local", "share", "applications")
    os.makedirs(apps)
    for name in ("Velmora.desktop", "Velmora Studio.desktop"):
        os.makedirs(os.path.join(apps, name))  # a folder where the file should go
    rc, out, err = machine.run(PLAY)
    assert rc == 0
    assert err == "".join(f"warning: could not create {apps}/{n}.desktop\n"
                          for n in ("Velmora", "Velmora Studio"))
    assert machine.records()[0]["program"] == "velmora-player"
