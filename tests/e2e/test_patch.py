"""Updates that fetch only the files that changed, each with a range request into its archive,
the room an install needs, and the repair."""
import fnmatch
import glob
import os
import shutil
import signal
import subprocess
import time

import pytest

from conftest import (PLAY, PUBLISHED, V1, Host, complete_tree, flip_byte, make_release, publish, rewrite,
                      serving, sign)

V3 = "version-20270101000000"
LIST = f"/{V3}-files.txt"
HEAD = ["/version", f"/{V3}-release.txt", f"/{V3}-release.txt.minisig", LIST]


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


def listed(host, version):
    """{path below the version folder: (archive, offset, length)} from the host's file list."""
    entries, archive, prefix = {}, None, ""
    folders = dict(make_release.ARCHIVES)
    with open(os.path.join(host.root, f"{version}-files.txt")) as f:
        for line in f.read().splitlines()[1:]:
            kind, rest = line.split(" ", 1)
            if kind == "package":
                archive, prefix = rest, folders[rest]
            elif kind == "file":
                fields = rest.split(" ", 7)
                entries[prefix + fields[7]] = (archive, int(fields[4]), int(fields[5]))
    return entries


def asked(requests, version):
    """{archive: [(first, last)]} of the range requests among `requests`."""
    spans = {}
    for r in requests:
        first, last = r.range.removeprefix("bytes=").split("-")
        archive = r.path.removeprefix(f"/{version}-")
        spans.setdefault(archive, []).append((int(first), int(last)))
    return spans


@pytest.mark.parametrize("patch", ["python", "nginx"], indirect=True)
def test_a_patch_fetches_only_the_changed_files_each_with_a_range(machine, patch):
    host, changed = patch
    assert machine.ok(PLAY).splitlines() == [f"Installing Velmora {V3}"]
    requests = host.requests()
    # The release, its signature and the list come side by side, in any order.
    assert sorted(r.path for r in requests[:4]) == sorted(HEAD)
    assert all(r.status == 206 and r.range != "-" for r in requests[4:]), requests[4:]
    # Each range runs from a changed file's entry to another's, with gaps of 64 KiB at most.
    entries, spans = listed(host, V3), asked(requests[4:], V3)
    for archive, ranges in spans.items():
        for first, last in ranges:
            inside = sorted((offset, offset + length) for path, (a, offset, length) in entries.items()
                            if a == archive and path in changed and first <= offset <= last)
            assert inside and inside[0][0] == first and inside[-1][1] == last + 1, archive
            assert all(b[0] - a[1] <= 65536 for a, b in zip(inside, inside[1:])), archive
    assert sum(len(inside) for inside in spans.values()) >= 10
    assert {entries[path][0] for path in changed} == set(spans)
    fetched = sum(b + 1 - a for ranges in spans.values() for a, b in ranges)
    release = sum(os.path.getsize(os.path.join(host.root, f"{V3}-{name}"))
                  for name, _ in make_release.PLAYER_ARCHIVES)
    print(f"fetched {fetched} of {release} bytes in {len(requests) - 4} requests")
    # The same version as a fresh install gives, records included.
    assert machine.installed() == [V3] and machine.tree(V3) == complete_tree(host.root, V3)


def stale_sky(host, changed):
    """A copy of content-sky.zip whose changed entries' last bytes differ from the list."""
    stale = shutil.copy(os.path.join(host.root, SKY), os.path.join(host.root, "stale.zip"))
    for path in (p for p in changed if p.startswith("content/sky/")):
        _, offset, length = listed(host, V3)[path]
        flip_byte(stale, offset + length - 1)
    return {"file": "stale.zip"}


SKY = f"{V3}-content-sky.zip"


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
    *retried, last = err.splitlines()
    assert fnmatch.fnmatchcase(last, f"warning: content-sky.zip: {reason}; downloading it whole"), err
    assert all(line.endswith("; trying again") for line in retried), err
    log = machine.log()
    assert last in log and [line for line in log if line.startswith("transfer content-sky.zip ")
                            and ": abandoned: " in line]
    asked_sky = [(r.status, r.range == "-") for r in host.requests() if r.path == "/" + SKY]
    assert asked_sky[-1] == (200, True) and all(not whole for _, whole in asked_sky[:-1]), asked_sky
    assert machine.tree(V3) == complete_tree(host.root, V3)


@pytest.fixture(scope="session")
def lopsided(build, tmp_path_factory):
    """V1 with one package holding most of its bytes in one large stored file; as published, and
    without its file list."""
    roots = {"list": str(tmp_path_factory.mktemp("lopsided"))}
    publish(build, V1, roots["list"], bulk_mb=3, small_files=30, big_files=1)
    roots["no list"] = shutil.copytree(roots["list"], str(tmp_path_factory.mktemp("unlisted")),
                                       dirs_exist_ok=True)
    os.remove(os.path.join(roots["no list"], f"{V1}-files.txt"))
    make_release.publish.write_release(V1, roots["no list"], PUBLISHED[V1], make_release.TEST_KEY)
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
        if fault:
            host.set_faults({f"{V1}-{BIG}": fault(root)})
        rc, out, err = machine.run(PLAY)
        assert (rc, out) == (0, f"Installing Velmora {V1}\n"), err
        if isinstance(warning, dict):
            warning = warning[listed]
        if warning and not warning.endswith("trying again"):
            warning = f"{BIG}: {warning}; downloading it whole"
        assert [fnmatch.fnmatchcase(line, f"warning: {warning}") for line in err.splitlines()] == \
            ([True] if warning else []), err
        asked = {}
        for r in host.requests():
            asked.setdefault(r.path.removeprefix(f"/{V1}-"), []).append(r.range)
        # Only the large one is split; one that fails comes whole once, after its pieces.
        assert all(asked[name] == ["-"] for name, _ in make_release.PLAYER_ARCHIVES if name != BIG)
        pieces = [r for r in asked[BIG] if r != "-"]
        assert len(set(pieces)) >= 4 and asked[BIG][-1] == ("-" if "whole" in err else pieces[-1])
        assert machine.tree(V1) == complete_tree(root, V1)


def test_a_repair_fetches_a_large_package_the_host_gives_only_whole_once(machine, lopsided,
                                                                         tmp_path, request):
    root = shutil.copytree(lopsided["list"], str(tmp_path / "host"))
    with serving(root, request) as host:
        host.announce(V1)
        assert machine.run(PLAY)[0] == 0
        flip_byte(os.path.join(machine.versions, V1, make_release.PLAYER_ARCHIVES[1][1],
                               "bulk", "big0.bin"), 1000)
        host.set_faults({f"{V1}-{BIG}": {"no_ranges": True}})
        host.clear_requests()
        assert machine.run("--repair") == (0, f"Repaired 1 files of Velmora {V1}\n", f"warning: {BIG}: "
                                           "the host does not answer range requests; downloading it whole\n")
        assert [r.range for r in host.requests() if r.path.endswith(BIG)][-1] == "-"
        assert machine.tree(V1) == complete_tree(root, V1)


@pytest.mark.parametrize("patch", ["python", "nginx without ranges"], indirect=True)
def test_a_host_that_answers_no_range_updates_through_whole_archives(machine, patch):
    host, changed = patch
    if isinstance(host, Host):
        host.set_faults({"*": {"no_ranges": True}})
    rc, out, err = machine.run(PLAY)
    assert rc == 0, err
    packages = [name for name, _ in make_release.PLAYER_ARCHIVES]
    assert sorted(err.splitlines()) == sorted(
        f"warning: {name}: the host does not answer range requests; downloading it whole"
        for name in packages)
    for name in packages:
        whole = [r.range == "-" for r in host.requests() if r.path == f"/{V3}-{name}"]
        assert len(whole) >= 2 and whole[-1] and not any(whole[:-1]), name
    assert machine.tree(V3) == complete_tree(host.root, V3)


def sign_release(host, edit):
    """Signs the release file again after `edit` changed its text."""
    sign(rewrite(os.path.join(host.root, f"{V3}-release.txt"), edit))


def edit_list(host, edit):
    """Edits the list and signs a release file that lists it as edited."""
    rewrite(os.path.join(host.root, f"{V3}-files.txt"), edit)
    make_release.publish.write_release(V3, host.root, PUBLISHED[V1] + 86400, make_release.TEST_KEY)


def larger_list(text):
    *rest, (sha, size, name) = [line.split(" ") for line in text.splitlines()]
    return "".join(" ".join(line) + "\n" for line in rest + [[sha, "16777217", name]])


@pytest.mark.parametrize("change, reason", [
    # The list on the host is not the one the release signed.
    (lambda host: open(os.path.join(host.root, f"{V3}-files.txt"), "a").write("x"),
     "files.txt does not match the signed release"),
    (lambda host: sign_release(host, larger_list),
     f"the file list of {V3} is larger than 16777216 bytes"),
    (lambda host: edit_list(host, lambda t: t.replace(" release-notes.txt\n", " ../notes.txt\n")),
     f"release {V3}: invalid file list: line * name outside its folder: ../notes.txt"),
    # One folder to NTFS.
    (lambda host: edit_list(host, lambda t: t.replace(
        "package WindowsPlayer.zip\n", "package WindowsPlayer.zip\nfolder \u00c9/\nfolder \u00e9/\n")),
     f"release {V3}: invalid file list: line * listed twice: \u00e9/"),
], ids=["tampered", "too large", "path outside", "case twins"])
def test_a_list_that_cannot_be_trusted_refuses_the_release(machine, patch, change, reason):
    host, _ = patch
    change(host)
    rc, out, err = machine.run(PLAY)
    assert (rc, out) == (0, "") and fnmatch.fnmatchcase(
        err, f"warning: {reason}; starting the installed {V1}\n"), err
    assert not any(r.path.endswith(".zip") for r in host.requests())
    assert machine.installed() == [V1]


def test_a_link_in_the_old_version_brings_nothing_from_outside(machine, patch, tmp_path):
    host, _ = patch
    old = os.path.join(machine.versions, V1, "content", "sky", "bulk", "d05")
    outside = str(tmp_path / "outside")
    shutil.move(old, outside)
    os.symlink(outside, old)
    machine.ok(PLAY)
    assert machine.tree(V3) == complete_tree(host.root, V3)
    # Every file there was fetched, none is a second name of one outside the root.
    new = os.path.join(machine.versions, V3, "content", "sky", "bulk", "d05")
    assert all(os.stat(os.path.join(new, n)).st_nlink == 1 for n in os.listdir(new))
    assert all(os.stat(os.path.join(outside, n)).st_nlink == 1 for n in os.listdir(outside))


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
    st = os.stat(path)
    with open(path, "rb") as f:
        data = bytearray(f.read())
    data[0] ^= 1
    with open(path + ".new", "wb") as f:
        f.write(data)
    os.utime(path + ".new", ns=(st.st_atime_ns, st.st_mtime_ns))
    os.replace(path + ".new", path)


def unchanged(host, changed):
    """A file of V1 that V3 keeps as it is."""
    return sorted(p for p in listed(host, V3) if p not in changed and p.startswith("content/sky/"))[0]


def fetched(host, path):
    archive, offset, length = listed(host, V3)[path]
    return any(a <= offset and offset + length - 1 <= b
               for a, b in asked(host.requests()[4:], V3).get(archive, []))


@pytest.mark.parametrize("change, identities", [
    (edit_in_place, True),
    (replace_keeping_times, True),
    # A version the previous launcher left has no identities: all it carries is hashed.
    (lambda path: edit_in_place(path, keep_times=True), False),
])
def test_an_old_file_changed_since_its_check_is_fetched(machine, patch, change, identities):
    host, changed = patch
    folder, kept = os.path.join(machine.versions, V1), unchanged(host, changed)
    if not identities:
        os.remove(os.path.join(folder, ".identities"))
    change(os.path.join(folder, kept))
    machine.ok(PLAY)
    assert fetched(host, kept) and machine.tree(V3) == complete_tree(host.root, V3)


def test_an_old_file_written_after_its_check_never_completes_a_version(machine, patch):
    host, changed = patch
    kept = unchanged(host, changed)
    host.set_faults({"*": {"rate": 20000}})
    proc = machine.start(PLAY, stderr=subprocess.PIPE)
    try:
        # Linked into the new version before the downloads; written through the old name after.
        deadline = time.monotonic() + 30
        while not os.path.exists(os.path.join(machine.versions, V3 + ".partial", kept)):
            assert proc.poll() is None and time.monotonic() < deadline, "nothing placed"
            time.sleep(0.005)
        edit_in_place(os.path.join(machine.versions, V1, kept))
        err = proc.communicate(timeout=120)[1].decode()
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
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
    proc = machine.start(PLAY, wrapper=("unshare", "--user", "--map-root-user", "--mount", "sh",
                                        "-c", script, "sh"),
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = proc.communicate(timeout=120)
    if proc.returncode == 99:
        pytest.skip(f"no tmpfs in a user namespace here: {err.decode()}")
    out = "".join(line for line in out.decode().splitlines(True) if " started in " not in line)
    return proc.returncode, out, err.decode()


def test_no_download_begins_without_room_for_it(machine, patch, tmp_path):
    host, _ = patch
    appdata, saved = os.path.join(machine.dir, "appdata"), str(tmp_path / "saved")
    shutil.move(machine.root, saved)
    # V1 on the small volume, which is then all but full when V3 comes.
    def leave(free):
        return (f'head -c $(( $(df -B1 --output=avail "{appdata}" | tail -1) - {free} )) /dev/zero'
                f' > "{appdata}/ballast"')
    rc, out, err = small_volume(machine, 200, f'cp -a "{saved}" "{machine.root}" && ' + leave(50_000_000))
    assert (rc, out) == (0, f"Installing Velmora {V3}\n"), err
    assert err.startswith(f"warning: not enough disk space for {V3}: ") and err.endswith(
        f" MB free on {appdata}; starting the installed {V1}\n"), err
    assert sorted(r.path for r in host.requests()) == sorted(HEAD)
    # With nothing installed, the start ends with that reason, in the box too: the archives and
    # what they unpack to do not fit, though the archives alone would.
    archives = sum(os.path.getsize(os.path.join(host.root, f"{V3}-{name}"))
                   for name, _ in make_release.PLAYER_ARCHIVES)
    unpacked = sum(int(line.split()[2]) for line in open(os.path.join(host.root, f"{V3}-files.txt"))
                   .read().split("package WindowsStudio.zip")[0].splitlines() if line.startswith("file "))
    host.clear_requests()
    rc, out, err = small_volume(machine, 400, leave(archives + 100_000_000 + unpacked // 2))
    assert rc == 1 and err.startswith(f"Velmora launcher: not enough disk space for {V3}: "), err
    assert not any(r.path.endswith(".zip") for r in host.requests())


@pytest.mark.parametrize("patch", ["python", "nginx"], indirect=True)
def test_repair_fetches_only_what_is_missing_or_damaged(machine, patch):
    host, changed = patch
    host.announce(V1)
    folder = os.path.join(machine.versions, V1)
    assert machine.run("--repair") == (0, f"Velmora {V1} is intact\n", "")
    damaged = ["velmora-player.exe", "content/icon.png", changed[-1]]
    os.remove(os.path.join(folder, damaged[0]))
    with open(os.path.join(folder, damaged[1]), "r+b") as f:
        f.truncate(10)
    with open(os.path.join(folder, damaged[2]), "r+b") as f:
        f.write(b"edited")
    # Right bytes, wrong mode: what an install gives differs too.
    damaged.append("release-notes.txt")
    os.chmod(os.path.join(folder, damaged[3]), 0o755)
    host.clear_requests()
    assert machine.run("--repair") == (0, f"Repaired 4 files of Velmora {V1}\n", "")
    requests = host.requests()
    assert sorted(r.path for r in requests[:3]) == [f"/{V1}-files.txt", f"/{V1}-release.txt",
                                                    f"/{V1}-release.txt.minisig"]
    entries, spans = listed(host, V1), asked(requests[3:], V1)
    assert sum(len(s) for s in spans.values()) <= 4
    for path in damaged:
        archive, offset, length = entries[path]
        assert any(a <= offset and offset + length - 1 <= b for a, b in spans[archive]), path
    assert machine.tree(V1) == complete_tree(host.root, V1)
    assert os.access(os.path.join(folder, "velmora-player.exe"), os.X_OK)
    assert not os.access(os.path.join(folder, damaged[3]), os.X_OK)


def test_a_killed_repair_leaves_nothing_inside_the_version(machine, patch):
    host, _ = patch
    host.announce(V1)
    os.remove(os.path.join(machine.versions, V1, "velmora-player.exe"))
    host.set_faults({"*": {"rate": 20000}})
    proc = machine.start("--repair")
    try:
        deadline = time.monotonic() + 30
        while not glob.glob(os.path.join(machine.versions, f".{V1}.*.old", "fetched", "0")):
            assert proc.poll() is None and time.monotonic() < deadline, "no fetch to kill"
            time.sleep(0.01)
    finally:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
    # The new copy was fetched beside the version, never into it; the next start clears it away.
    assert set(machine.tree(V1)) <= set(complete_tree(host.root, V1))
    host.clear_faults()
    machine.ok(PLAY)
    assert machine.installed() == [V1] and machine.tree(V1) == complete_tree(host.root, V1)


def test_a_repair_killed_as_it_moves_a_new_copy_in_leaves_a_file_there(machine, patch):
    host, _ = patch
    host.announce(V1)
    target = os.path.join(machine.versions, V1, "content", "icon.png")
    os.chmod(target, 0o755)  # right bytes, wrong mode
    # Killed at the second rename naming the file, where moving it aside took one first.
    renames = "rename,renameat,renameat2"
    proc = machine.start("--repair", env_extra={"ASAN_OPTIONS": "detect_leaks=0"}, wrapper=[
        shutil.which("strace") or "strace", "-f", "-qq", "-o", os.devnull, "-e", f"trace={renames}",
        "-e", f"inject={renames}:signal=KILL:when=2", "-P", target])
    proc.wait(60)
    assert os.path.isfile(target)
    machine.run("--repair")
    assert machine.tree(V1) == complete_tree(host.root, V1)


def test_repair_needs_a_version_and_a_file_list(machine, host, tmp_path):
    assert machine.run("--repair") == (
        1, "", "Velmora launcher: no installed version of Velmora to repair\n")
    machine.ok(PLAY)
    version = machine.installed()[0]
    # Never written through a link, not even one in a file's place.
    notes, outside = os.path.join(machine.versions, version, "release-notes.txt"), str(tmp_path / "notes")
    shutil.move(notes, outside)
    os.symlink(outside, notes)
    assert machine.run("--repair") == (1, "", f"Velmora launcher: Velmora {version} cannot be repaired: "
                                              "a link or junction leads out of release-notes.txt\n")
    os.remove(os.path.join(host.root, f"{version}-files.txt"))
    make_release.publish.write_release(version, host.root, PUBLISHED[version],
                                       make_release.TEST_KEY)
    assert machine.run("--repair") == (1, "", f"Velmora launcher: Velmora {version} cannot be "
                                              "repaired: its release has no file list\n")
