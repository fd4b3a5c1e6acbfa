"""Starts side by side on one install root: one installs, the others wait for it without
spinning, and every start ends in the one complete version."""
import os
import time

import pytest

from conftest import PLAY, V1, V2, complete_tree, kill, make_release

STARTS = 8
WAITING = "waiting for another Velmora start to finish installing\n"


def race(machine, *args, timeout=90):
    """Starts STARTS launchers at once; returns (status, stdout, stderr, CPU seconds) of each."""
    files = [[open(os.path.join(machine.dir, f"race{i}.{s}"), "w+") for s in ("out", "err")] for i in range(STARTS)]
    procs = [machine.start(*args, stdout=out, stderr=err) for out, err in files]
    deadline, results = time.monotonic() + timeout, []
    try:
        for proc, (out, err) in zip(procs, files):
            while not (waited := os.wait4(proc.pid, os.WNOHANG))[0]:
                assert time.monotonic() < deadline, f"a start still runs after {timeout}s"
                time.sleep(0.02)
            proc.returncode = os.waitstatus_to_exitcode(waited[1])
            out.seek(0)
            err.seek(0)
            results.append((proc.returncode, "".join(line for line in out if " started in " not in line),
                            err.read(), waited[2].ru_utime + waited[2].ru_stime))
    finally:
        for proc in procs:
            if proc.returncode is None:
                kill(proc)
        for f in sum(files, []):
            f.close()
    return results


@pytest.mark.parametrize("kind", ["fresh", "update", "studio"])
def test_starts_side_by_side(machine, host, releases, kind):
    if kind != "fresh":
        machine.on(host, V1 if kind == "update" else V2)  # what is there before the race
    if kind == "studio":
        archive = os.path.join(host.root, f"{V2}-WindowsStudio.zip")
        # Paced, not delayed: a pause longer than the stall bound would end the download, and
        # the pace makes it outlast that bound while it moves.
        host.set_faults({os.path.basename(archive): {"rate": os.path.getsize(archive) // 4}})
    else:
        host.set_faults({"version": {}, "*": {"delay": 0.5}})
    results = race(machine, "--studio" if kind == "studio" else PLAY)

    # One start did the work; every other found it done or waited for it, saying so once.
    line = "Installing Velmora Studio\n" if kind == "studio" else f"Installing Velmora {V2}\n"
    assert not [r for r in results if r[0] != 0], results
    assert sorted((out, err) for _, out, err, _ in results if out) == [(line, "")], results
    others = [(err, cpu) for _, out, err, cpu in results if not out]
    assert all(err in ("", WAITING) for err, _ in others), results
    # A waiter blocks on the lock: well under a second of CPU while the install takes seconds.
    waiters = [cpu for err, cpu in others if err == WAITING]
    print("CPU seconds of the waiters:", sorted(round(cpu, 3) for cpu in waiters))
    assert waiters and all(cpu < 0.5 for cpu in waiters), results
    assert machine.installed() == [V2] and machine.log()  # every line whole
    assert machine.tree(V2) == complete_tree(releases, V2, studio=kind == "studio")
    started = machine.records(STARTS + (kind != "fresh"))[kind != "fresh":]
    program = "velmora-studio" if kind == "studio" else "velmora-player"
    assert len(started) == STARTS and all(r["program"] == program for r in started)
    folder = os.path.join(machine.versions, V2, *(["Studio"] if kind == "studio" else []))
    assert {os.path.realpath(r["cwd"]) for r in started} == {os.path.realpath(folder)}
    if kind == "fresh":
        # Side by side writers lost nothing: one more start alone changes none of their files.
        def desktop():
            return [make_release.installed_tree(os.path.join(machine.dir, d))
                    for d in ("home", "appdata/Velmora/Launcher", "downloads")]
        host.clear_faults()
        after_race = desktop()
        machine.ok(PLAY)
        assert desktop() == after_race and after_race[1] == after_race[2]  # the copy is whole
