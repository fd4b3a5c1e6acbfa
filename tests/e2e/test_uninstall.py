"""The Apps list's entry and --uninstall: what goes, what another install keeps, what is refused."""
import os

from conftest import PLAY, V2

REMOVED = "Velmora has been removed.\n"


def registry_file(machine):
    return os.path.join(machine.dir, "home", ".config", "velmora", "registry.reg")


def sections(machine):
    """{key: {name: exported value}} of the registry file, {} when there is none."""
    keys, key = {}, None
    try:
        with open(registry_file(machine), encoding="utf-8") as f:
            for line in f.read().splitlines():
                if line.startswith("["):
                    key = line[1:-1].replace("HKEY_CURRENT_USER\\", "")
                    keys[key] = {}
                elif "=" in line and key:
                    name, value = line.split("=", 1)
                    keys[key][name.strip('"')] = value
    except FileNotFoundError:
        pass
    return keys


ENTRY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Velmora"
SCHEME = "Software\\Classes\\velmora-player"


def shortcuts(machine):
    apps = os.path.join(machine.dir, "home", ".local", "share", "applications")
    return sorted(os.listdir(apps)) if os.path.isdir(apps) else []


def kilobytes(folder):
    # The log goes on growing after the size is measured: it is left out of both sides.
    size = sum(os.lstat(os.path.join(d, n)).st_size for d, _, files in os.walk(folder) for n in files
               if not os.path.islink(os.path.join(d, n)) and os.path.basename(d) != "Logs")
    return (size + 1023) // 1024


def test_entry_names_the_install_and_its_size_is_measured_once_per_version(machine, host):
    machine.ok(PLAY)
    copy = os.path.join(machine.root, "Launcher", "velmora-launcher")
    entry = sections(machine)[ENTRY]
    measured = int(entry["EstimatedSize"].removeprefix("dword:"), 16)
    logs = os.path.getsize(os.path.join(machine.root, "Logs", "launcher.log"))
    assert kilobytes(machine.root) <= measured <= kilobytes(machine.root) + (logs + 1023) // 1024
    assert dict(entry, EstimatedSize=f"dword:{kilobytes(machine.root):08x}") == {
        "DisplayName": '"Velmora"', "DisplayIcon": f'"{machine.root}/icon.ico"',
        "DisplayVersion": f'"{V2}"', "Publisher": '"Velmora"',
        "InstallLocation": f'"{machine.root}"',
        "UninstallString": f'"\\"{copy}\\" --uninstall"',
        "QuietUninstallString": f'"\\"{copy}\\" --uninstall"',
        "EstimatedSize": f"dword:{kilobytes(machine.root):08x}",
        "ModifyPath": f'"\\"{copy}\\" --repair"',
        "NoModify": "dword:00000000", "NoRepair": "dword:00000001"}
    assert kilobytes(machine.root) > 100
    # An up-to-date start does not walk the tree again.
    with open(os.path.join(machine.versions, V2, "grown.bin"), "wb") as f:
        f.write(b"x" * 4_000_000)
    machine.ok(PLAY)
    assert sections(machine)[ENTRY] == entry


def test_uninstall_removes_this_install_and_leaves_another_installs_registrations(machine, host):
    other = os.path.join(machine.dir, "other")
    machine.ok(PLAY)
    outside = os.path.join(machine.dir, "outside")
    os.makedirs(outside)
    for name in ("keep.txt", ".complete"):
        open(os.path.join(outside, name), "w").close()
    for link in (os.path.join(machine.versions, V2, "link"), os.path.join(machine.versions, "old"),
                 os.path.join(machine.root, "link")):
        os.symlink(outside, link)
    # Another install of the same user registered itself last.
    machine.ok(PLAY, env_extra={"LOCALAPPDATA": other})
    registered = sections(machine)
    host.clear_requests()

    # As the Apps list runs it: the copy in the install root.
    copy = os.path.join(machine.root, "Launcher", "velmora-launcher")
    assert machine.run("--uninstall", binary=copy) == (0, REMOVED, "")
    assert not os.path.exists(machine.root) and sorted(os.listdir(outside)) == [".complete", "keep.txt"]
    assert sections(machine) == registered and shortcuts(machine) == []
    assert host.requests() == []

    assert machine.run("--uninstall", env_extra={"LOCALAPPDATA": other}) == (0, REMOVED, "")
    assert not os.path.exists(os.path.join(other, "Velmora"))
    assert not os.path.exists(registry_file(machine))
    # Nothing of the first install is remembered.
    assert machine.ok(PLAY).startswith(f"Installing Velmora {V2}\n")


def test_a_folder_that_is_not_an_install_is_refused_and_nothing_is_removed(machine, host):
    machine.ok(PLAY)
    registered, links = sections(machine), shortcuts(machine)
    stranger = os.path.join(machine.dir, "stranger")
    os.makedirs(os.path.join(stranger, "Velmora", "Saves"))
    rc, out, err = machine.run("--uninstall", env_extra={"LOCALAPPDATA": stranger})
    assert (rc, out) == (1, "")
    assert err == (f"Velmora launcher: {stranger}/Velmora is not a Velmora install; "
                   "nothing was removed\n")
    assert os.listdir(os.path.join(stranger, "Velmora")) == ["Saves"]
    assert (sections(machine), shortcuts(machine)) == (registered, links)
