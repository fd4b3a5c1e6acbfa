"""Install, update, fallback and studio installs against the local setup host. Hosts that
misbehave are test_hostile.py's."""
import hashlib
import os
import shutil
import zipfile

import pytest

from conftest import (BASE, EDIT, PLAY, V1, V2, append_line, asked_head, complete_tree, flip_byte, head, make_release,
                      publish, publish_edited, reseal, rewrite)


@pytest.mark.parametrize("host", ["python", "nginx"], indirect=True)
def test_fresh_install_starts_the_player_from_the_new_version(machine, host, releases):
    assert machine.ok(PLAY).splitlines()[0] == f"Installing Velmora {V2}"
    assert machine.installed() == [V2] and machine.tree(V2) == complete_tree(releases, V2)
    [player] = machine.records()
    assert player["program"] == "velmora-player"
    assert os.path.realpath(player["cwd"]) == os.path.realpath(os.path.join(machine.versions, V2))
    assert player["args"] == [
        "--play", "-a", "https://www.velmora.com/Login/Negotiate.ashx", "-t", "ticket",
        "-j", "https://www.velmora.com/Game/PlaceLauncher.ashx?placeId=7", "-b", "42"]
    paths = host.paths()
    assert asked_head(paths) == head(V2)
    assert sorted(paths[4:]) == sorted(f"/{V2}-{name}" for name, _ in make_release.PLAYER_ARCHIVES)
    # The version's connection carries a package too: at most one handshake per parallel transfer
    # (fewer when a package is done before the last one starts).
    assert host.connections() <= 10
    # The log tells what the start did, never the ticket.
    log = machine.log()
    assert log[0].startswith("velmora-launcher 1.0.0 (Linux, ") and log[0].endswith(f", link, setup host {BASE}")
    assert f"Installing Velmora {V2}" in log and "ticket" not in "\n".join(log)
    assert log[-2].endswith(f"{V2}/velmora-player.exe with 9 arguments") and log[-1].startswith("exit status 0 after ")


@pytest.mark.parametrize("kind", ["full", "cannot be written", "a pipe"])
def test_the_log_keeps_one_older_file_and_never_fails_a_start(machine, host, kind):
    logs = os.path.join(machine.root, "Logs")
    log, older = os.path.join(logs, "launcher.log"), os.path.join(logs, "launcher.1.log")
    os.makedirs(older if kind != "full" else logs)
    {"full": lambda: open(log, "w").write("x" * (1 << 20) + "\n"),
     "a pipe": lambda: os.mkfifo(log),  # nobody reads it: a write would wait
     "cannot be written": lambda: os.mkdir(log)}[kind]()  # root may write anywhere: no file there
    machine.ok(PLAY)
    assert machine.installed() == [V2]
    assert kind != "full" or (os.path.getsize(older) == (1 << 20) + 1 and machine.log()[0].startswith("velmora-"))


def add_entry(archive, name, data):
    """Rewrites a ZIP with one more file entry."""
    with zipfile.ZipFile(archive) as old, zipfile.ZipFile(archive + ".new", "w") as new:
        for info in old.infolist():
            new.writestr(info, old.read(info))
        new.writestr(name, data)
    os.replace(archive + ".new", archive)


@pytest.mark.parametrize("slow", ["WindowsPlayer.zip", "content-fonts.zip"])
def test_a_later_package_replaces_an_earlier_ones_file_whichever_arrives_first(machine, host, slow):
    add_entry(os.path.join(host.root, f"{V2}-WindowsPlayer.zip"), "content/fonts/both.txt", "player")
    add_entry(os.path.join(host.root, f"{V2}-content-fonts.zip"), "both.txt", "fonts")
    reseal(host.root, V2)
    size = os.path.getsize(os.path.join(host.root, f"{V2}-{slow}"))
    host.set_faults({f"{V2}-{slow}": {"rate": size}})  # a second behind the others
    machine.ok(PLAY)
    with open(os.path.join(machine.versions, V2, "content", "fonts", "both.txt")) as f:
        assert f.read() == "fonts"
    assert machine.tree(V2) == complete_tree(host.root, V2)
    # The repair holds the file to the package that wrote it last.
    assert machine.run("--repair") == (0, f"Velmora {V2} is intact\n", "")


def test_up_to_date_start_makes_one_request_and_writes_nothing(machine, host):
    machine.ok(PLAY)
    # Any write, replacement or new entry would carry the current time: the install root, the
    # registry file and the shortcuts alike. Only the log grows.
    def paths():
        folders = [machine.root, os.path.join(machine.dir, "home")]
        return folders + [os.path.join(d, n) for folder in folders for d, dirs, files in os.walk(folder)
                          for n in dirs + files if os.path.basename(d) != "Logs"]
    before = paths()
    for path in before:
        os.utime(path, ns=(0, 0))
    host.clear_requests()
    assert machine.ok(PLAY) == "" and host.paths() == ["/version"] and host.connections() == 1
    assert {p: os.stat(p).st_mtime_ns for p in paths()} == dict.fromkeys(before, 0)
    assert len(machine.records(2)) == 2


def test_update_installs_the_announced_version_and_prunes_the_rest(machine, host, build, tmp_path):
    machine.on(host, V1)
    # Leftovers of other attempts go with the old version; a link inside it is removed,
    # never followed, and a folder we may not write to is no obstacle.
    os.makedirs(os.path.join(machine.versions, "other.partial", "x"))
    open(os.path.join(machine.versions, "stray.txt"), "w").close()
    outside = tmp_path / "outside"
    (outside / "keep").mkdir(parents=True)
    (outside / "keep" / "file").write_text("mine")
    os.symlink(outside, os.path.join(machine.versions, V1, "content", "linked"))
    os.symlink(outside / "keep" / "file", os.path.join(machine.versions, V1, "linked-file"))
    os.chmod(os.path.join(machine.versions, V1, "content"), 0o500)
    new = "v" * 64  # the longest name that is accepted
    publish(build, new, host.root)
    host.announce(f'"{new[:12]} {new[12:]}"\r\n')  # quotes and white space anywhere are dropped
    assert f"Installing Velmora {new}\n" in machine.ok(PLAY)
    assert machine.installed() == [new] and machine.tree(new) == complete_tree(host.root, new)
    assert (outside / "keep" / "file").read_text() == "mine"
    # What an earlier start had to leave (a version in use, a killed install) goes with the
    # next start that finds the current version complete.
    for leftover in (V1, V2 + ".partial", f".{V1}.0123abcd.old"):  # the last set aside by a kill
        os.makedirs(os.path.join(machine.versions, leftover, "content"))
    open(os.path.join(machine.versions, V1, ".complete"), "w").close()
    host.clear_requests()
    assert machine.ok(PLAY) == "" and host.paths() == ["/version"] and machine.installed() == [new]


V3 = "version-20270101000000"


def carried_file(machine):
    return os.path.join(machine.versions, V1, "content", "fonts", "manifest.txt")


def nest_in_player(machine, host):
    # The publishing tool never makes such a release, but the later row must still win.
    with zipfile.ZipFile(os.path.join(host.root, f"{V3}-WindowsPlayer.zip"), "a") as zf:
        zf.writestr("content/sky/manifest.txt", "the player's copy\n")
    reseal(host.root, V3)


@pytest.mark.parametrize("change,downloaded", [
    (lambda machine, host: None, []),
    (lambda machine, host: flip_byte(carried_file(machine)), ["content-fonts.zip"]),
    (lambda machine, host: os.remove(carried_file(machine)), ["content-fonts.zip"]),
    (nest_in_player, []),
], ids=["unchanged", "carried file edited", "carried file missing", "player nests a carried file"])
def test_update_downloads_only_the_packages_that_changed(machine, host, change, downloaded):
    machine.on(host, V1)
    # The next release is the installed files with only the player's notes changed.
    publish_edited(os.path.join(machine.versions, V1), V3, host.root, append_line("release-notes.txt"),
                   os.path.join(machine.dir, "files"))
    change(machine, host)
    # A carried file is the old version's file under a second name: the prune of the old version
    # must leave its read-only mode alone.
    shared = os.path.join("content", "sky", "manifest.txt")
    os.chmod(os.path.join(machine.versions, V1, shared), 0o444)
    host.clear_requests()
    host.announce(V3)
    machine.ok(PLAY)
    assert os.stat(os.path.join(machine.versions, V3, shared)).st_mode & 0o777 == 0o444
    assert asked_head(host.paths()) == head(V3)
    assert sorted(host.paths()[4:]) == sorted(f"/{V3}-{name}" for name in ["WindowsPlayer.zip"] + downloaded)
    assert machine.installed() == [V3] and machine.tree(V3) == complete_tree(host.root, V3)


def files_under(folder):
    """{path: (inode, links, sha256)} of the files below `folder`, links not followed."""
    return {os.path.relpath(p, folder): (os.lstat(p).st_ino, os.lstat(p).st_nlink,
                                         hashlib.sha256(open(p, "rb").read()).hexdigest())
            for d, _, files in os.walk(folder) for p in (os.path.join(d, n) for n in files)}


def link_in_staging(resume, staging, outside):
    # A later attempt was cut off too, with only the player's package done; where its other
    # packages would go, a link leads out.
    os.makedirs(staging)
    record = open(os.path.join(resume, ".files")).read()
    open(os.path.join(staging, ".files"), "w").write(record[:record.index("package ", 1)])
    shutil.copytree(os.path.join(resume, "content"), outside)
    os.symlink(outside, os.path.join(staging, "content"))


def link_in_resume(resume, staging, outside):
    shutil.move(os.path.join(resume, "content", "fonts"), outside)
    os.symlink(outside, os.path.join(resume, "content", "fonts"))


def record_linked_in_staging(resume, staging, outside):
    # Whole and tied to its packages, but reached through a link: it describes another folder.
    os.makedirs(outside)
    os.makedirs(staging)
    os.symlink(shutil.copy(os.path.join(resume, ".files"), os.path.join(outside, "record")),
               os.path.join(staging, ".files"))


def record_cut_short(resume, staging, outside):
    # As a power cut can leave it: one file line fewer (content-sky's last), its file still there.
    def drop(text):
        lines = text.splitlines(True)
        at = next(i for i, line in enumerate(lines) if line.startswith("package ") and " content-sky" in line)
        end = next((i for i in range(at + 1, len(lines)) if lines[i].startswith("package ")), len(lines))
        del lines[max(i for i in range(at, end) if lines[i].startswith("file "))]
        return "".join(lines)
    rewrite(os.path.join(resume, ".files"), drop)


# Without a file list, only the record says which cut-off files are whole; a record reached
# through a link is not it, and the packages it names are carried from the folder's own.
@pytest.mark.parametrize("damage,listed", [(link_in_staging, True), (link_in_resume, True),
                                           (record_linked_in_staging, True), (record_cut_short, True),
                                           (record_cut_short, False), (record_linked_in_staging, False)])
def test_cut_off_packages_are_carried_only_whole_and_never_through_a_link(machine, host, tmp_path, damage, listed):
    machine.ok(PLAY)
    # A cut-off attempt that finished every package.
    version = os.path.join(machine.versions, V2)
    os.rename(version, version + ".resume")
    outside = str(tmp_path / "outside")
    damage(version + ".resume", version + ".partial", outside)
    before = files_under(outside)
    if not listed:
        os.remove(os.path.join(host.root, f"{V2}-files.txt"))
        reseal(host.root, V2)
    host.clear_requests()
    machine.ok(PLAY)
    assert machine.installed() == [V2] and machine.tree(V2) == complete_tree(host.root, V2)
    assert damage is not record_linked_in_staging or not [p for p in host.paths() if p.endswith(".zip")]
    # Nothing outside the root was removed, replaced or linked into the version.
    assert files_under(outside) == before


def test_studio_is_installed_on_first_use_into_the_current_version(machine, host, releases):
    machine.ok(PLAY)
    host.clear_requests()
    assert machine.ok(EDIT) == "Installing Velmora Studio\n" and host.connections() == 1
    assert host.paths() == ["/version", f"/{V2}-WindowsStudio.zip"]
    assert machine.tree(V2) == complete_tree(releases, V2, studio=True)
    studio, folder = machine.records(2)[-1], os.path.join(machine.versions, V2, "Studio")
    assert studio["program"] == "velmora-studio" and os.path.realpath(studio["cwd"]) == os.path.realpath(folder)
    # Complete now: the next studio start downloads nothing more. A file to open is made absolute.
    host.clear_requests()
    assert machine.ok("--studio", "place.vplace", "ignored") == "" and host.paths() == ["/version"]
    assert machine.records(3)[-1]["args"] == [os.path.join(machine.dir, "place.vplace")]
