"""Starts killed at random points of an install or an update never leave a version that looks
complete but is not, and the next full start repairs whatever they left.

VELMORA_KILLS sets the number of kills over both tests, VELMORA_CRASH_SEED the random seed.
"""
import os
import random
import shutil
import signal
import time

import pytest

from conftest import PLAY, V1, V2, Host, Machine, complete_tree, make_release

KILLS = int(os.environ.get("VELMORA_KILLS", "30"))
SEED = int(os.environ.get("VELMORA_CRASH_SEED", "1206"))
SERIES = 5  # kills between two full starts


@pytest.fixture(scope="module")
def release(build, tmp_path_factory):
    """Both versions with a few MB per package, so an install lasts long enough to be hit."""
    root = str(tmp_path_factory.mktemp("bulk"))
    for version in (V1, V2):
        make_release.build(version, root, os.path.join(build["standins"], "player"),
                           os.path.join(build["standins"], "studio"), bulk_mb=20, small_files=500)
    return root, {v: complete_tree(root, v) for v in (V1, V2)}


@pytest.fixture
def served(release):
    root, trees = release
    with Host(root) as host:
        yield host, trees


def timed_start(machine):
    t0 = time.monotonic()
    rc, out, err = machine.run(PLAY)
    assert (rc, err) == (0, ""), err
    return time.monotonic() - t0


def kill(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait()


def difference(found, expected):
    """A short account of how two trees differ, or ""."""
    missing = sorted(set(expected) - set(found))
    extra = sorted(set(found) - set(expected))
    changed = sorted(p for p in set(found) & set(expected) if found[p] != expected[p])
    if not (missing or extra or changed):
        return ""
    return (f"{len(missing)} files missing {missing[:2]}, {len(extra)} extra {extra[:2]}, "
            f"{len(changed)} changed {changed[:2]}")


def check_versions(machine, trees, where):
    """Every folder that says it is complete is exactly its release; the new version never has
    its final name without the marker (an old one loses its marker first while it is pruned).
    Returns the names of the complete ones."""
    complete = set()
    for name in machine.installed():
        version = name[:-len(".partial")] if name.endswith(".partial") else name
        assert version in trees, f"{where}: unexpected {name}"
        folder = os.path.join(machine.versions, name)
        if os.path.exists(os.path.join(folder, ".complete")):
            problem = difference(make_release.installed_tree(folder), trees[version])
            assert not problem, f"{where}: {name} holds .complete but has {problem}"
            complete.add(name)
        else:
            assert name != V2, f"{where}: {name} without .complete"
    return complete


def crash_series(machine, trees, kills, rng, label, reset, after_kill):
    reset()
    duration = timed_start(machine)  # the very kind of start that is then cut short
    print(f"{label}: seed {SEED}, {kills} kills, one start takes {duration:.2f}s")
    for i in range(kills):
        if i % SERIES == 0:
            reset()
        delay = rng.uniform(0, duration)
        proc = machine.start(PLAY)
        time.sleep(delay)
        kill(proc)
        where = f"{label}, seed {SEED}, kill {i + 1} after {delay:.3f}s"
        after_kill(check_versions(machine, trees, where), where)
        if i % SERIES == SERIES - 1 or i == kills - 1:
            rc, out, err = machine.run(PLAY)
            assert (rc, err) == (0, "") and machine.installed() == [V2], (where, err, machine.installed())
            assert check_versions(machine, trees, where) == {V2}


def test_killed_fresh_installs(build, served, tmp_path):
    host, trees = served
    host.announce(V2)
    machine = Machine(build, tmp_path / "machine")

    def after_kill(complete, where):
        assert complete <= {V2, V2 + ".partial"}, where

    crash_series(machine, trees, KILLS // 2, random.Random(f"{SEED}:fresh"), "fresh install",
                 lambda: shutil.rmtree(machine.versions, ignore_errors=True), after_kill)


def updater(build, host, tmp_path):
    """A machine about to update from V1 to V2, and how to put it back in that state."""
    host.announce(V1)
    template = Machine(build, tmp_path / "template")
    timed_start(template)
    host.announce(V2)
    machine = Machine(build, tmp_path / "machine")

    def reset():
        shutil.rmtree(machine.versions, ignore_errors=True)
        shutil.copytree(template.versions, machine.versions, symlinks=True)

    return machine, reset


def test_killed_updates(build, served, tmp_path):
    host, trees = served
    machine, reset = updater(build, host, tmp_path)

    def after_kill(complete, where):
        # The old version goes only once the new one is complete.
        assert V1 in complete or V2 in complete, (where, machine.installed())

    crash_series(machine, trees, KILLS - KILLS // 2, random.Random(f"{SEED}:update"), "update",
                 reset, after_kill)


def test_update_killed_while_the_old_version_is_pruned(build, served, tmp_path):
    # Random kills reach the short prune window only now and then; aim at it.
    host, trees = served
    machine, reset = updater(build, host, tmp_path)
    new = os.path.join(machine.versions, V2)
    for attempt in range(5):
        reset()
        proc = machine.start(PLAY)
        deadline = time.monotonic() + 60
        while not os.path.isdir(new) and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.0005)
        kill(proc)
        assert V2 in check_versions(machine, trees, f"attempt {attempt + 1}")
