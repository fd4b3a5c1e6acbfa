"""The launcher copy, the scheme registration, the icon file and the shortcuts."""
import os
import zipfile

import pytest

from conftest import PLAY, V2, make_release, publish, reseal


def test_copy_takes_only_the_launcher_and_a_start_from_it_copies_nothing(machine, host):
    # Downloads is anybody's folder: a DLL planted beside the launcher must not follow it.
    open(os.path.join(machine.downloads, "helper.dll"), "w").close()
    machine.ok(PLAY)
    folder = os.path.join(machine.root, "Launcher")
    copy = os.path.join(folder, "velmora-launcher")
    assert os.listdir(folder) == ["velmora-launcher"] and open(copy, "rb").read() == open(machine.launcher, "rb").read()
    os.utime(copy, ns=(0, 0))  # a copy made now would carry the time
    # Nor from the copy, through a linked install root too (only its identity tells it is the
    # copy), nor the same bytes from the download folder.
    os.symlink(os.path.dirname(machine.root), os.path.join(machine.dir, "alias"))
    machine.ok(PLAY, binary=copy)
    machine.ok(PLAY, binary=copy, env_extra={"LOCALAPPDATA": os.path.join(machine.dir, "alias")})
    machine.ok(PLAY)
    assert os.listdir(folder) == ["velmora-launcher"] and os.stat(copy).st_mtime_ns == 0
    with open(machine.launcher, "ab") as f:
        f.write(b"\0newer")
    machine.ok(PLAY)
    assert os.listdir(folder) == ["velmora-launcher"] and os.path.getsize(copy) == os.path.getsize(machine.launcher)


# Relative XDG folders would put the registry and the shortcuts wherever the link was opened from.
@pytest.mark.parametrize("appdata,xdg", [("appdata", {}), ("Local App Data é", {}),
                                         ("100%u done", {"XDG_CONFIG_HOME": "cfg", "XDG_DATA_HOME": "data"})])
def test_registry_shortcuts_and_player_use_the_install_root(machine, host, appdata, xdg):
    root = os.path.join(machine.dir, appdata)
    machine.ok(PLAY, env_extra={"LOCALAPPDATA": root, **xdg})
    copy = os.path.join(root, "Velmora", "Launcher", "velmora-launcher")
    scheme = "Software\\Classes\\velmora-player"
    assert open(machine.registry_file, encoding="utf-8").read().startswith("Windows Registry Editor Version 5.00\n")
    assert {k: v for k, v in machine.registry().items() if k.startswith(scheme)} == {
        scheme: {"@": '"URL:Velmora Protocol"', "URL Protocol": '""'},
        scheme + "\\DefaultIcon": {"@": f'"\\"{copy}\\",0"'},
        scheme + "\\shell\\open\\command": {"@": f'"\\"{copy}\\" \\"%1\\""'}}
    exec_copy = copy.replace("%", "%%")  # else the start would expand a field code
    assert {n: (s["Name"], s["Exec"]) for n, s in machine.shortcuts().items()} == {
        "Velmora": ("Velmora", f'"{exec_copy}"'), "Velmora Studio": ("Velmora Studio", f'"{exec_copy}" "--studio"')}
    assert machine.records()[0]["cwd"] == os.path.join(root, "Velmora", "Versions", V2)
    assert not {"cfg", "data"} & set(os.listdir(machine.dir))


# Which images make an icon is IconFileBytes' (unit tests).
@pytest.mark.parametrize("png", [make_release.png(48, 48), None], ids=["48x48", "none"])
def test_icon_file_wraps_the_png_or_the_shortcuts_name_the_launcher(machine, host, build, png):
    publish(build, V2, host.root)
    archive = os.path.join(host.root, f"{V2}-WindowsPlayer.zip")
    with zipfile.ZipFile(archive) as old, zipfile.ZipFile(archive + ".new", "w") as new:
        for item in old.infolist():
            if (data := png if item.filename == "content/icon.png" else old.read(item)) is not None:
                new.writestr(item, data)
    os.replace(archive + ".new", archive)
    reseal(host.root, V2)
    machine.ok(PLAY)
    icon = os.path.join(machine.root, "icon.ico")
    if png:
        assert open(icon, "rb").read() == (b"\0\0\1\0\1\0" + bytes([48, 48]) + b"\0\0\1\0\x20\0" +
                                           len(png).to_bytes(4, "little") + b"\x16\0\0\0" + png)
    else:
        assert not os.path.exists(icon)
        icon = os.path.join(machine.root, "Launcher", "velmora-launcher")
    assert [s["Icon"] for s in machine.shortcuts().values()] == [icon, icon]
