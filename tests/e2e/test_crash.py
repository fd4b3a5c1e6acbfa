"""Starts killed at random points of an install or an update never leave a version that looks
complete but is not, and the next full start repairs whatever they left.

VELMORA_KILLS sets the number of kills over both series, VELMORA_CRASH_SEED the random seed.
"""
import os
import random
import re
import shutil
import time

import pytest

from conftest import (NO_LEAK_CHECK, PLAY, PUBLISHED, V1, V2, Host, Machine, complete_tree, kill, make_release,
                      publish, traced)

KILLS = int(os.environ.get("VELMORA_KILLS", "30"))
SEED = int(os.environ.get("VELMORA_CRASH_SEED", "1206"))
SERIES = 5  # kills between two full starts


# V1 with a few files of every package changed: an update that fetches files alone.
V3 = "version-20270101000000"
TARGET = {"fresh": V2, "update": V2, "patch": V3}


@pytest.fixture(scope="module")
def served(build, tmp_path_factory):
    """Both versions with a few MB per package, so an install lasts long enough to be hit, and a
    patch of the first."""
    root = str(tmp_path_factory.mktemp("bulk"))
    for version in (V1, V2):
        publish(build, version, root, bulk_mb=20, small_files=500)
    make_release.patch(root, V1, V3, root, share=0.05, published=PUBLISHED[V2] + 1)
    with Host(root) as host:
        yield host, {v: complete_tree(root, v) for v in (V1, V2, V3)}


def prepared(build, host, tmp_path, kind):
    """A machine about to install the kind's target, fresh or over V1, and how to put it back in
    that state."""
    machine = Machine(build, tmp_path / "machine")
    template = str(tmp_path / "template")
    if kind != "fresh":
        machine.on(host, V1)
        shutil.copytree(machine.versions, template)
    host.announce(TARGET[kind])

    def reset():
        shutil.rmtree(machine.versions, ignore_errors=True)
        if kind != "fresh":
            shutil.copytree(template, machine.versions)

    return machine, reset


def check_versions(machine, trees, where, target=V2):
    """Every folder holding .complete is exactly its release, and the new version never has its
    final name without one; a folder set aside for removal (".<name>.<random>.old") is no
    version, whatever it holds. Returns those."""
    complete = set()
    for name in machine.installed():
        if name.startswith(".") and name.endswith(".old"):
            name = name[1:].rsplit(".", 2)[0]
            assert name.removesuffix(".partial").removesuffix(".resume") in trees, where
            continue
        version = name.removesuffix(".partial").removesuffix(".resume")
        assert version in trees, f"{where}: unexpected {name}"
        if os.path.exists(os.path.join(machine.versions, name, ".complete")):
            assert machine.tree(name) == trees[version], f"{where}: {name} holds .complete"
            complete.add(name)
        else:
            assert name != target, f"{where}: {name} without .complete"
    return complete


@pytest.mark.parametrize("kind", ["fresh", "update", "patch"])
def test_killed_starts(build, served, tmp_path, kind):
    host, trees = served
    machine, reset = prepared(build, host, tmp_path, kind)
    target = TARGET[kind]
    kills = KILLS // 3 if kind != "patch" else KILLS - 2 * (KILLS // 3)
    rng = random.Random(f"{SEED}:{kind}")
    reset()
    host.clear_requests()
    began = time.monotonic()
    machine.ok(PLAY)  # the very kind of start that is then cut short
    duration = time.monotonic() - began
    # Its largest packages come in pieces side by side, which the kills cut off too.
    assert kind != "fresh" or any(r.range != "-" for r in host.requests() if r.path.endswith(".zip"))
    print(f"{kind}: seed {SEED}, {kills} kills, one start takes {duration:.2f}s")
    for i in range(kills):
        if i % SERIES == 0:
            reset()
        delay = rng.uniform(0, duration)
        proc = machine.start(PLAY)
        time.sleep(delay)
        kill(proc)
        where = f"{kind}, seed {SEED}, kill {i + 1} after {delay:.3f}s"
        complete = check_versions(machine, trees, where, target)
        # The old version goes only once the new one is complete.
        assert kind == "fresh" or V1 in complete or target in complete, (where, machine.installed())
        if i % SERIES == SERIES - 1 or i == kills - 1:
            # An old version, whole or set aside, left by a kill between the move and the
            # prune goes with the next start, which runs the new one.
            machine.ok(PLAY)
            assert target in check_versions(machine, trees, where, target)
            assert machine.installed() == [target]


@pytest.mark.parametrize("kind", ["fresh", "update"])
def test_the_version_is_on_disk_before_it_gets_its_name_and_complete_looking_staging_never_counts(
        build, served, tmp_path, kind):
    # What a power cut would keep is not observable here; the order of the calls that decide it
    # is: every file made, then the whole file system flushed, then the move, then a flush again.
    host, trees = served
    machine, reset = prepared(build, host, tmp_path, kind)
    reset()
    log = tmp_path / "strace.log"
    renames = "rename,renameat,renameat2"
    proc = machine.start(PLAY, env_extra=NO_LEAK_CHECK, wrapper=traced(
        "-y", "-o", str(log), "-e", f"trace=openat,syncfs,{renames}"))
    assert proc.wait(60) == 0 and machine.tree(V2) == trees[V2]
    versions = os.path.realpath(machine.versions)
    staging, final = os.path.join(versions, V2 + ".partial"), os.path.join(versions, V2)
    events = []
    for line in log.read_text().splitlines():
        if "O_CREAT" in line and f'"{staging}/' in line:
            events.append("made")
        elif "syncfs(" in line and "resumed" not in line:
            events.append("flushed")
        elif re.search(rf'rename\w*\(.*"{re.escape(staging)}", .*"{re.escape(final)}"', line):
            events.append("moved")
    moved, last_made = events.index("moved"), max(i for i, e in enumerate(events) if e == "made")
    assert "flushed" in events[last_made:moved] and "flushed" in events[moved:], events[last_made:]

    # Killed as it enters the rename of the staging folder (a window a few system calls wide,
    # where strace makes the kill land on every run), then offline.
    reset()
    machine.start(PLAY, wrapper=traced("-e", f"trace={renames}", "-e", f"inject={renames}:signal=KILL",
                                       "-P", os.path.join(machine.versions, V2 + ".partial"))).wait(60)
    assert machine.installed() == [V1] * (kind == "update") + [V2 + ".partial"]
    assert machine.tree(V2 + ".partial") == trees[V2]  # marker included: complete-looking
    host.__exit__()
    try:
        rc, out, err = machine.run(PLAY)
        last = err.splitlines()[-1]  # after the retries' warnings
        if kind == "fresh":
            assert (rc, out) == (1, "") and last.startswith("Velmora launcher: download of ")
            assert len(machine.records(2, timeout=1)) == 1  # only the traced start's
        else:
            assert (rc, out) == (0, "") and last.startswith("warning: download of ")
            assert last.endswith(f"; starting the installed {V1}")
            assert os.path.basename(machine.records(3)[-1]["cwd"]) == V1
            # The studio of the version that runs, not of the staging folder.
            rc, out, err = machine.run("--studio")
            assert rc == 1 and f"/{V1}-WindowsStudio.zip failed" in err, err
    finally:
        host.start()
    machine.ok(PLAY)
    assert check_versions(machine, trees, "after the repair") >= {V2}
