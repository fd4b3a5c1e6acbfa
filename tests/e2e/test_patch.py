"""Updates that fetch only the files that changed, each with a range request into its archive,
the room an install needs, and the repair."""
import fnmatch
import glob
import os
import shutil
import subprocess

import pytest

from conftest import (NO_LEAK_CHECK, PLAY, PUBLISHED, V1, Host, archives_size, asked_head, complete_tree,
                      flip_byte, head, kill, listed, make_release, publish, serving, traced, wait_for)

V3 = "version-20270101000000"
SKY = f"{V3}-content-sky.zip"


@pytest.fixture(scope="session")
def bulky(build, tmp_path_factory):
    """V1 with enough in each package that a few files cost less than its archive, and V3: V1
    with the player's notes and about 2 % of every content package's files changed."""
    out = str(tmp_path_factory.mktemp("bulky"))
    publish(build, V1, out, bulk_mb=4, small_files=1500)
    changed = make_release.patch(out, V1, V3, out, share=0.02, published=PUBLISHED[V1] + 86400,
                                 version_document=False)
    return out, changed


@pytest.fixture
def patch(bulky, machine, tmp_path, request):
    """A host serving both, the machine on V1, V3 announced; yields the host and V3's changes."""
    out, changed = bulky
    root = str(tmp_path / "host")
    shutil.copytree(out, root)
    with serving(root, request) as host:
        host.announce(V1)
        machine.ok(PLAY)
        host.clear_requests()
        host.announce(V3)
        yield host, changed


def asked(requests, version):
    """{archive: [(first, last)]} of the range requests among `requests`."""
    spans = {}
    for r in requests:
        spans.setdefault(r.path.removeprefix(f"/{version}-"), []).append(
            tuple(map(int, r.range.removeprefix("bytes=").split("-"))))
    return spans


def fetched(host, path, version=V3, skip=4):
    archive, offset, length = listed(host.root, version)[path]
    return any(a <= offset and offset + length - 1 <= b
               for a, b in asked(host.requests()[skip:], version).get(archive, []))


@pytest.mark.parametrize("patch", ["python", "nginx"], indirect=True)
def test_a_patch_fetches_only_the_changed_files_each_with_a_range(machine, patch):
    host, changed = patch
    assert machine.ok(PLAY).splitlines() == [f"Installing Velmora {V3}"]
    requests = host.requests()
    assert asked_head(host.paths()) == head(V3)
    assert all(r.status == 206 and r.range != "-" for r in requests[4:]), requests[4:]
    # Each range runs from a changed file's entry to another's, with gaps of 64 KiB at most.
    entries, spans = listed(host.root, V3), asked(requests[4:], V3)
    for archive, ranges in spans.items():
        for first, last in ranges:
            inside = sorted((offset, offset + length) for path, (a, offset, length) in entries.items()
                            if a == archive and path in changed and first <= offset <= last)
            assert inside and inside[0][0] == first and inside[-1][1] == last + 1, archive
            assert all(b[0] - a[1] <= 65536 for a, b in zip(inside, inside[1:])), archive
    assert sum(len(inside) for inside in spans.values()) >= 10
    assert {entries[path][0] for path in changed} == set(spans)
    print(f"fetched {sum(b + 1 - a for r in spans.values() for a, b in r)} of {archives_size(host.root, V3)}"
          f" bytes in {len(requests) - 4} requests")
    # The same version as a fresh install gives, records included.
    assert machine.installed() == [V3] and machine.tree(V3) == complete_tree(host.root, V3)


def stale_sky(host, changed):
    """A copy of content-sky.zip whose changed entries' last bytes differ from the list."""
    stale = shutil.copy(os.path.join(host.root, SKY), os.path.join(host.root, "stale.zip"))
    for path in (p for p in changed if p.startswith("content/sky/")):
        _, offset, length = listed(host.root, V3)[path]
        flip_byte(stale, offset + length - 1)
    return {"file": "stale.zip"}


@pytest.mark.parametrize("fault, reason", [
    (stale_sky, "content-sky.zip entry * does not match the file list: *"),
    # An empty 200 to a range, which once counted as every entry written.
    (lambda host, changed: {"body": ""}, "the host does not answer range requests"),
    (lambda host, changed: {"range_limit": 10}, "the host answered another range than asked"),
    (lambda host, changed: {"range_from": 0}, "the host answered another range than asked"),
    (lambda host, changed: {"overlong": 1000}, "the host sent more than the range asked"),
    # Each attempt resumes where the last was cut, and is cut again.
    (lambda host, changed: [{"cut_ranges": 100}] * 99, "Transferred a partial file"),
    (lambda host, changed: {"header": 110000, "ranges_only": True},
     "the host sent a response header too large to read"),
], ids=["stale bytes", "empty answer", "short range", "shifted range", "long range", "always cut",
        "huge header"])
def test_where_ranges_fail_the_package_comes_whole_once(machine, patch, fault, reason):
    host, changed = patch
    faults = fault(host, changed)
    host.set_faults({SKY: faults if isinstance(faults, list) else [faults]})
    rc, out, err = machine.run(PLAY)
    assert rc == 0 and out.splitlines() == [f"Installing Velmora {V3}"], err
    # Spans of one package fail side by side: the retries of another may still come after the fall-back.
    [whole] = [line for line in err.splitlines() if not line.endswith("; trying again")]
    assert fnmatch.fnmatchcase(whole, f"warning: content-sky.zip: {reason}; downloading it whole"), err
    log = machine.log()
    assert whole in log and [line for line in log if line.startswith("transfer content-sky.zip ")
                            and ": abandoned: " in line]
    assert_whole_once(host, [SKY])
    assert machine.tree(V3) == complete_tree(host.root, V3)


@pytest.fixture(scope="session")
def lopsided(build, tmp_path_factory):
    """V1 with one package holding most of its bytes in one large stored file; as published, and
    without its file list."""
    roots = {listed: str(tmp_path_factory.mktemp("lopsided")) for listed in ("list", "no list")}
    for listed, root in roots.items():
        publish(build, V1, root, bulk_mb=3, small_files=30, big_files=1, file_list=listed == "list")
    return roots


BIG = make_release.PLAYER_ARCHIVES[1][0]


def stale_big(root):
    """Ranges of a copy of the large package with a byte of its large file flipped."""
    stale = shutil.copy(os.path.join(root, f"{V1}-{BIG}"), os.path.join(root, "stale.zip"))
    flip_byte(stale, os.path.getsize(stale) // 2)
    return {"file": "stale.zip", "ranges_only": True}


@pytest.mark.parametrize("listed", ["list", "no list"])
@pytest.mark.parametrize("fault, warning", [
    (None, None),
    # Whichever piece is asked first is cut, and resumes.
    (lambda root: {"cut_ranges": 100_000, "times": 1}, "*: Transferred a partial file; trying again"),
    (stale_big, {"list": "* entry bulk/big0.bin does not match the file list: another size or SHA-256",
                 "no list": "its pieces do not make the archive the release lists"}),
    (lambda root: {"no_ranges": True}, "the host does not answer range requests"),
    (lambda root: {"status": 403, "ranges_only": True},
     "the host refused a range request (HTTP 403)"),
], ids=["whole", "piece cut", "stale piece", "no ranges", "ranges refused"])
def test_a_large_package_comes_in_pieces_side_by_side(machine, lopsided, tmp_path, request, listed,
                                                      fault, warning):
    root = shutil.copytree(lopsided[listed], str(tmp_path / "host"))
    with serving(root, request) as host:
        host.announce(V1)
        host.set_faults({f"{V1}-{BIG}": fault(root)} if fault else {})
        rc, out, err = machine.run(PLAY)
        assert (rc, out) == (0, f"Installing Velmora {V1}\n"), err
        warning = warning[listed] if isinstance(warning, dict) else warning
        warning = warning if not warning or warning.endswith("again") else f"{BIG}: {warning}; downloading it whole"
        assert [fnmatch.fnmatchcase(ln, f"warning: {warning}") for ln in err.splitlines()] == [True] * bool(warning), err
        asked = {n: [r.range for r in host.requests() if r.path == f"/{V1}-{n}"]
                 for n, _ in make_release.PLAYER_ARCHIVES}
        # Only the large one is split; one that fails comes whole once, after its pieces.
        assert all(asked[name] == ["-"] for name, _ in make_release.PLAYER_ARCHIVES if name != BIG)
        pieces = [r for r in asked[BIG] if r != "-"]
        assert len(set(pieces)) >= 4 and asked[BIG][-1] == ("-" if "whole" in err else pieces[-1])
        assert machine.tree(V1) == complete_tree(root, V1)
        if "not answer" in str(warning) and listed == "list":  # a repair's whole package: whole once
            flip_byte(os.path.join(machine.versions, V1, make_release.PLAYER_ARCHIVES[1][1], "bulk", "big0.bin"))
            assert machine.run("--repair") == (0, f"Repaired 1 files of Velmora {V1}\n", f"warning: {warning}\n")


def assert_whole_once(host, archives):
    for name in archives:
        whole = [(r.status, r.range == "-") for r in host.requests() if r.path == "/" + name]
        assert len(whole) >= 2 and whole[-1] == (200, True) and not any(w for _, w in whole[:-1]), whole


@pytest.mark.parametrize("patch", ["python", "nginx without ranges"], indirect=True)
def test_a_host_that_answers_no_range_updates_through_whole_archives(machine, patch):
    host, changed = patch
    if isinstance(host, Host):
        host.set_faults({"*": {"no_ranges": True}})
    rc, out, err = machine.run(PLAY)
    packages = [name for name, _ in make_release.PLAYER_ARCHIVES]
    assert rc == 0 and sorted(err.splitlines()) == sorted(
        f"warning: {name}: the host does not answer range requests; downloading it whole" for name in packages)
    assert_whole_once(host, [f"{V3}-{name}" for name in packages])
    assert machine.tree(V3) == complete_tree(host.root, V3)


def edit_in_place(path, keep_times=False):
    """Flips the first byte where it stands; with `keep_times`, puts its times back after."""
    st = os.stat(path)
    with open(path, "r+b") as f:
        first = f.read(1)
        f.seek(0)
        f.write(bytes([first[0] ^ 1]))
    if keep_times:
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


def replace_keeping_times(path):
    """Another file of the same size and times renamed over it, as a restore or sync tool does."""
    shutil.copy2(path, path + ".new")
    edit_in_place(path + ".new", keep_times=True)
    os.replace(path + ".new", path)


def link_out(path, outside):
    shutil.move(path, outside)
    os.symlink(outside, path)


@pytest.mark.parametrize("change, identities", [
    (edit_in_place, True),
    (replace_keeping_times, True),
    # A version the previous launcher left has no identities: all it carries is hashed.
    (lambda path: edit_in_place(path, keep_times=True), False),
    # Every file there is fetched, none a second name of one outside the root.
    ("link", True),
])
def test_an_old_file_changed_since_its_check_is_fetched(machine, patch, tmp_path, change, identities):
    host, changed = patch
    folder = os.path.join(machine.versions, V1)
    kept = sorted(p for p in listed(host.root, V3) if p not in changed and p.startswith("content/sky/"))[0]
    if not identities:
        os.remove(os.path.join(folder, ".identities"))
    if change == "link":
        kept = "content/sky/bulk/d05"
        link_out(os.path.join(folder, kept), str(tmp_path / "outside"))
    else:
        change(os.path.join(folder, kept))
    machine.ok(PLAY)
    assert machine.tree(V3) == complete_tree(host.root, V3)
    if change == "link":
        for d in (os.path.join(machine.versions, V3, kept), str(tmp_path / "outside")):
            assert all(os.stat(os.path.join(d, n)).st_nlink == 1 for n in os.listdir(d))
    else:
        assert fetched(host, kept)


def test_an_old_file_written_after_its_check_never_completes_a_version(machine, patch):
    host, changed = patch
    kept = sorted(p for p in listed(host.root, V3) if p not in changed and p.startswith("content/sky/"))[0]
    host.set_faults({"*": {"rate": 20000}})
    proc = machine.start(PLAY, stderr=subprocess.PIPE)
    try:
        # Linked into the new version before the downloads; written through the old name after.
        assert wait_for(lambda: os.path.exists(os.path.join(machine.versions, V3 + ".partial", kept)))
        assert proc.poll() is None
        edit_in_place(os.path.join(machine.versions, V1, kept))
        err = proc.communicate(timeout=120)[1].decode()
    finally:
        kill(proc)
    assert f"{kept} changed while the update ran" in err and machine.installed()[0] == V1, err
    host.clear_faults()
    host.clear_requests()
    machine.ok(PLAY)
    assert fetched(host, kept) and machine.tree(V3) == complete_tree(host.root, V3)


def small_volume(machine, megabytes, then=""):
    """Runs a start whose install root lies on a tmpfs of `megabytes` (in a user and mount
    namespace of its own), after the shell commands `then` ran there."""
    appdata = os.path.join(machine.dir, "appdata")
    script = f'mount -t tmpfs -o size={megabytes}m tmpfs "{appdata}" || exit 99\n{then}\nexec "$@"'
    proc = machine.start(PLAY, wrapper=("unshare", "--user", "--map-root-user", "--mount", "sh", "-c", script, "sh"),
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = proc.communicate(timeout=120)
    if proc.returncode == 99:
        pytest.skip(f"no tmpfs in a user namespace here: {err.decode()}")
    return proc.returncode, "".join(line for line in out.decode().splitlines(True) if " started in " not in line), \
        err.decode()


def test_no_download_begins_without_room_for_it(machine, patch, tmp_path):
    host, _ = patch
    appdata, saved = os.path.join(machine.dir, "appdata"), str(tmp_path / "saved")
    shutil.move(machine.root, saved)

    def leave(free):
        return f'head -c $(( $(df -B1 --output=avail "{appdata}" | tail -1) - {free} )) /dev/zero > "{appdata}/b"'
    # V1 on the small volume, which is then all but full when V3 comes.
    rc, out, err = small_volume(machine, 200, f'cp -a "{saved}" "{machine.root}" && ' + leave(50_000_000))
    assert (rc, out) == (0, f"Installing Velmora {V3}\n") and err.startswith(
        f"warning: not enough disk space for {V3}: ") and err.endswith(
        f" MB free on {appdata}; starting the installed {V1}\n"), err
    assert asked_head(host.paths()) == head(V3)
    # With nothing installed, the start ends with that reason, in the box too: the archives and
    # what they unpack to do not fit, though the archives alone would.
    unpacked = sum(int(line.split()[2]) for line in open(os.path.join(host.root, f"{V3}-files.txt"))
                   .read().split("package WindowsStudio.zip")[0].splitlines() if line.startswith("file "))
    host.clear_requests()
    rc, out, err = small_volume(machine, 400, leave(archives_size(host.root, V3) + 100_000_000 + unpacked // 2))
    assert rc == 1 and err.startswith(f"Velmora launcher: not enough disk space for {V3}: "), err
    assert not any(r.path.endswith(".zip") for r in host.requests())


@pytest.mark.parametrize("patch", ["python", "nginx"], indirect=True)
def test_repair_fetches_only_what_is_missing_or_damaged(machine, patch):
    host, changed = patch
    host.announce(V1)
    folder = os.path.join(machine.versions, V1)
    assert machine.run("--repair") == (0, f"Velmora {V1} is intact\n", "")
    damaged = ["velmora-player.exe", "content/icon.png", changed[-1], "release-notes.txt"]
    os.remove(os.path.join(folder, damaged[0]))
    os.truncate(os.path.join(folder, damaged[1]), 10)
    with open(os.path.join(folder, damaged[2]), "r+b") as f:
        f.write(b"edited")
    os.chmod(os.path.join(folder, damaged[3]), 0o755)  # right bytes, wrong mode
    host.clear_requests()
    assert machine.run("--repair") == (0, f"Repaired 4 files of Velmora {V1}\n", "")
    assert sorted(host.paths()[:3]) == head(V1)[1:]
    assert sum(map(len, asked(host.requests()[3:], V1).values())) <= 4
    assert all(fetched(host, path, V1, skip=3) for path in damaged)
    assert machine.tree(V1) == complete_tree(host.root, V1)
    assert os.access(os.path.join(folder, damaged[0]), os.X_OK) and not os.access(os.path.join(folder, damaged[3]),
                                                                                   os.X_OK)


# Killed while it fetches (the new copy goes beside the version, never into it), or at the second
# rename naming the file, where moving it aside took one first: the next start leaves it whole.
@pytest.mark.parametrize("when", ["fetching", "moving in"])
def test_a_killed_repair_leaves_the_version_whole_for_the_next_start(machine, patch, when):
    host, _ = patch
    host.announce(V1)
    target = os.path.join(machine.versions, V1, "velmora-player.exe" if when == "fetching" else "content/icon.png")
    if when == "fetching":
        os.remove(target)
        host.set_faults({"*": {"rate": 20000}})
        proc = machine.start("--repair")
        try:
            assert wait_for(lambda: glob.glob(os.path.join(machine.versions, f".{V1}.*.old", "fetched", "0")) or
                            proc.poll() is not None) and proc.poll() is None, "no fetch to kill"
        finally:
            kill(proc)
        assert set(machine.tree(V1)) <= set(complete_tree(host.root, V1))
        host.clear_faults()
    else:
        os.chmod(target, 0o755)  # right bytes, wrong mode
        renames = "rename,renameat,renameat2"
        machine.start("--repair", env_extra=NO_LEAK_CHECK, wrapper=traced(
            "-e", f"trace={renames}", "-e", f"inject={renames}:signal=KILL:when=2", "-P", target)).wait(60)
        assert os.path.isfile(target)
    machine.run(PLAY if when == "fetching" else "--repair")
    assert machine.installed() == [V1] and machine.tree(V1) == complete_tree(host.root, V1)


def test_repair_needs_a_version_and_a_file_list(machine, host, tmp_path):
    assert machine.run("--repair") == (1, "", "Velmora launcher: no installed version of Velmora to repair\n")
    machine.ok(PLAY)
    version = machine.installed()[0]
    cannot = f"Velmora launcher: Velmora {version} cannot be repaired: "
    # Never written through a link, not even one in a file's place.
    link_out(os.path.join(machine.versions, version, "release-notes.txt"), str(tmp_path / "notes"))
    assert machine.run("--repair") == (1, "", cannot + "a link or junction leads out of release-notes.txt\n")
    os.remove(os.path.join(host.root, f"{version}-files.txt"))
    make_release.publish.write_release(version, host.root, PUBLISHED[version], make_release.TEST_KEY)
    assert machine.run("--repair") == (1, "", cannot + "its release has no file list\n")
