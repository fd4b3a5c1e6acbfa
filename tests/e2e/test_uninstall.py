"""The Apps list's entry and --uninstall: what goes, what another install keeps, what is refused."""
import os

from conftest import PLAY, V2

REMOVED = "Velmora has been removed.\n"
ENTRY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Velmora"


def kilobytes(folder):
    # The log goes on growing after the size is measured: it is left out of both sides.
    size = sum(os.lstat(os.path.join(d, n)).st_size for d, _, files in os.walk(folder) for n in files
               if not os.path.islink(os.path.join(d, n)) and os.path.basename(d) != "Logs")
    return (size + 1023) // 1024


def test_entry_names_the_install_and_its_size_is_measured_once_per_version(machine, host):
    machine.ok(PLAY)
    copy, root = os.path.join(machine.root, "Launcher", "velmora-launcher"), machine.root
    entry = machine.registry()[ENTRY]
    measured = int(entry["EstimatedSize"].removeprefix("dword:"), 16)
    logs = os.path.getsize(os.path.join(root, "Logs", "launcher.log"))
    assert 100 < kilobytes(root) <= measured <= kilobytes(root) + (logs + 1023) // 1024
    # What the Apps list runs, and what tells this install from another.
    assert (entry["UninstallString"], entry["ModifyPath"], entry["InstallLocation"], entry["DisplayVersion"]) == (
        f'"\\"{copy}\\" --uninstall"', f'"\\"{copy}\\" --repair"', f'"{root}"', f'"{V2}"')
    # An up-to-date start does not walk the tree again.
    with open(os.path.join(machine.versions, V2, "grown.bin"), "wb") as f:
        f.write(b"x" * 4_000_000)
    machine.ok(PLAY)
    assert machine.registry()[ENTRY] == entry


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
    registered = machine.registry()
    host.clear_requests()
    # As the Apps list runs it: the copy in the install root.
    copy = os.path.join(machine.root, "Launcher", "velmora-launcher")
    assert machine.run("--uninstall", binary=copy) == (0, REMOVED, "")
    assert not os.path.exists(machine.root) and sorted(os.listdir(outside)) == [".complete", "keep.txt"]
    assert machine.registry() == registered and machine.shortcuts() == {} and host.requests() == []
    assert machine.run("--uninstall", env_extra={"LOCALAPPDATA": other}) == (0, REMOVED, "")
    assert not os.path.exists(os.path.join(other, "Velmora")) and not os.path.exists(machine.registry_file)
    # Nothing of the first install is remembered.
    assert machine.ok(PLAY).startswith(f"Installing Velmora {V2}\n")


def test_a_folder_that_is_not_an_install_is_refused_and_nothing_is_removed(machine, host):
    machine.ok(PLAY)
    before = machine.registry(), machine.shortcuts()
    stranger = os.path.join(machine.dir, "stranger")
    os.makedirs(os.path.join(stranger, "Velmora", "Saves"))
    assert machine.run("--uninstall", env_extra={"LOCALAPPDATA": stranger}) == (
        1, "", f"Velmora launcher: {stranger}/Velmora is not a Velmora install; nothing was removed\n")
    assert os.listdir(os.path.join(stranger, "Velmora")) == ["Saves"]
    assert (machine.registry(), machine.shortcuts()) == before
