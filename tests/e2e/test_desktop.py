"""The launcher copy, the scheme registration, the icon file and the shortcuts."""
import os
import zipfile

import pytest

from conftest import PLAY, V2, make_release, publish, reseal


def registry(machine):
    with open(os.path.join(machine.dir, "home", ".config", "velmora", "registry.reg"),
              encoding="utf-8") as f:
        return f.read()


def shortcut(machine, name):
    path = os.path.join(machine.dir, "home", ".local", "share", "applications", name + ".desktop")
    with open(path, encoding="utf-8") as f:
        return dict(line.split("=", 1) for line in f.read().splitlines() if "=" in line)


def test_copy_takes_only_the_launcher_and_a_start_from_it_copies_nothing(machine, host):
    # Downloads is anybody's folder: a DLL planted beside the launcher must not follow it.
    with open(os.path.join(machine.downloads, "helper.dll"), "w") as f:
        f.write("beside")
    machine.ok(PLAY)
    copy = os.path.join(machine.root, "Launcher")
    assert os.listdir(copy) == ["velmora-launcher"]
    with open(os.path.join(copy, "velmora-launcher"), "rb") as a, open(machine.launcher, "rb") as b:
        assert a.read() == b.read()
    for name in os.listdir(copy):
        os.utime(os.path.join(copy, name), ns=(0, 0))  # a copy made now would carry the time
    machine.ok(PLAY, binary=os.path.join(copy, "velmora-launcher"))
    # The same bytes from the download folder are not copied again either.
    machine.ok(PLAY)
    assert {n: os.stat(os.path.join(copy, n)).st_mtime_ns for n in os.listdir(copy)} == {
        "velmora-launcher": 0}
    # A newer launcher replaces the copy.
    with open(machine.launcher, "ab") as f:
        f.write(b"\0newer")
    machine.ok(PLAY)
    assert os.listdir(copy) == ["velmora-launcher"]
    assert os.path.getsize(os.path.join(copy, "velmora-launcher")) == os.path.getsize(machine.launcher)


def test_a_start_from_the_copy_through_a_linked_install_root_copies_nothing(machine, host):
    # The own path is always the resolved one, so only the install root can take another
    # spelling; then only a comparison by identity keeps the copy from copying onto itself.
    machine.ok(PLAY)
    copy = os.path.join(machine.root, "Launcher", "velmora-launcher")
    os.utime(copy, ns=(0, 0))
    alias = os.path.join(machine.dir, "alias")
    os.symlink(os.path.dirname(machine.root), alias)
    machine.ok(PLAY, binary=copy, env_extra={"LOCALAPPDATA": alias})
    assert os.stat(copy).st_mtime_ns == 0


def test_launcher_folder_that_is_a_file_ends_the_start(machine, host):
    os.makedirs(machine.root)
    open(os.path.join(machine.root, "Launcher"), "w").close()
    rc, out, err = machine.run(PLAY)
    assert rc == 1 and err.startswith("Velmora launcher: ") and err.count("\n") == 1
    assert "Launcher" in err
    assert machine.records(0) == [] and not os.path.exists(os.path.join(machine.root, "icon.ico"))


@pytest.mark.parametrize("appdata", ["appdata", "Local App Data é", "100%u done"])
def test_registry_shortcuts_and_player_use_the_install_root(machine, host, appdata):
    root = os.path.join(machine.dir, appdata)
    machine.ok(PLAY, env_extra={"LOCALAPPDATA": root})
    copy = os.path.join(root, "Velmora", "Launcher", "velmora-launcher")
    assert registry(machine).startswith(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\Software\\Classes\\velmora-player]\n"
        '@="URL:Velmora Protocol"\n"URL Protocol"=""\n\n'
        "[HKEY_CURRENT_USER\\Software\\Classes\\velmora-player\\DefaultIcon]\n"
        f'@="\\"{copy}\\",0"\n\n'
        "[HKEY_CURRENT_USER\\Software\\Classes\\velmora-player\\shell\\open\\command]\n"
        f'@="\\"{copy}\\" \\"%1\\""\n')
    player, studio = shortcut(machine, "Velmora"), shortcut(machine, "Velmora Studio")
    exec_copy = copy.replace("%", "%%")  # else the start would expand a field code
    assert (player["Name"], player["Exec"]) == ("Velmora", f'"{exec_copy}"')
    assert (studio["Name"], studio["Exec"]) == ("Velmora Studio", f'"{exec_copy}" "--studio"')
    assert machine.records()[0]["cwd"] == os.path.join(root, "Velmora", "Versions", V2)


def test_relative_xdg_folders_are_ignored(machine, host):
    # They would put the registry and the shortcuts wherever the link was opened from.
    machine.ok(PLAY, env_extra={"XDG_CONFIG_HOME": "cfg", "XDG_DATA_HOME": "data"})
    assert "velmora-player" in registry(machine) and shortcut(machine, "Velmora")["Name"] == "Velmora"
    assert not {"cfg", "data"} & set(os.listdir(machine.dir))


def publish_with_icon(host, build, icon):
    """Publishes V2 again with `icon` as its content/icon.png (None: without one)."""
    publish(build, V2, host.root)
    archive = os.path.join(host.root, f"{V2}-WindowsPlayer.zip")
    with zipfile.ZipFile(archive) as old, zipfile.ZipFile(archive + ".new", "w") as new:
        for item in old.infolist():
            data = icon if item.filename == "content/icon.png" else old.read(item)
            if data is not None:
                new.writestr(item, data)
    os.replace(archive + ".new", archive)
    reseal(host.root, V2)


# Which images make an icon is IconFileBytes' (unit tests).
@pytest.mark.parametrize("png,size", [(make_release.png(48, 48), (48, 48)), (None, None)],
                         ids=["48x48", "none"])
def test_icon_file_wraps_the_png_or_the_shortcuts_name_the_launcher(machine, host, build, png, size):
    publish_with_icon(host, build, png)
    machine.ok(PLAY)
    icon = os.path.join(machine.root, "icon.ico")
    if size:
        with open(icon, "rb") as f:
            assert f.read() == (b"\0\0\1\0\1\0" + bytes(size) + b"\0\0\1\0\x20\0" +
                                len(png).to_bytes(4, "little") + b"\x16\0\0\0" + png)
    else:
        assert not os.path.exists(icon)
        icon = os.path.join(machine.root, "Launcher", "velmora-launcher")
    for name in ("Velmora", "Velmora Studio"):
        assert shortcut(machine, name)["Icon"] == icon


def test_unwritable_programs_folder_warns_and_goes_on(machine, host):
    apps = os.path.join(machine.dir, "home", ".local", "share", "applications")
    for name in ("Velmora", "Velmora Studio"):
        os.makedirs(os.path.join(apps, name + ".desktop"))  # a folder where the file should go
    rc, out, err = machine.run(PLAY)
    assert rc == 0
    assert err == "".join(f"warning: could not create {apps}/{n}.desktop\n"
                          for n in ("Velmora", "Velmora Studio"))
    assert machine.records()[0]["program"] == "velmora-player"
