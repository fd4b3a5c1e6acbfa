"""Starts side by side on one install root: one installs, the others wait for it without
spinning, and every start ends in the one complete version."""
import collections
import os
import signal
import time

from conftest import PLAY, V1, V2, complete_tree, make_release

STARTS = 8
WAITING = "waiting for another Velmora start to finish installing\n"
Result = collections.namedtuple("Result", "rc out err cpu")


def race(machine, *args, timeout=90):
    """Starts STARTS launchers at once and waits for all of them."""
    logs = os.path.join(machine.dir, "race")
    os.makedirs(logs, exist_ok=True)
    procs = []
    for i in range(STARTS):
        out = open(os.path.join(logs, f"{i}.out"), "w+")
        err = open(os.path.join(logs, f"{i}.err"), "w+")
        procs.append((machine.start(*args, stdout=out, stderr=err), out, err))
    deadline = time.monotonic() + timeout
    results = []
    try:
        for proc, out, err in procs:
            while True:
                pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
                if pid:
                    break
                assert time.monotonic() < deadline, f"a start still runs after {timeout}s"
                time.sleep(0.02)
            proc.returncode = os.waitstatus_to_exitcode(status)
            out.seek(0)
            err.seek(0)
            text = "".join(line for line in out.readlines() if " started in " not in line)
            results.append(Result(proc.returncode, text, err.read(), usage.ru_utime + usage.ru_stime))
    finally:
        for proc, out, err in procs:
            if proc.returncode is None:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
            out.close()
            err.close()
    return results


def check_one_installed(results, line):
    """One start did the work; every other found it done or waited for it, saying so once."""
    assert all(r.rc == 0 for r in results), results
    installers = [r for r in results if r.out == line]
    assert len(installers) == 1 and installers[0].err == "", results
    installer = installers[0]
    others = [r for r in results if r is not installer]
    assert all(r.out == "" and r.err in ("", WAITING) for r in others), results
    # A waiter blocks on the lock: well under a second of CPU while the install takes seconds.
    waiters = [r for r in others if r.err == WAITING]
    print("CPU seconds of the waiters:", sorted(round(r.cpu, 3) for r in waiters))
    assert waiters and all(r.cpu < 0.5 for r in waiters), results


def desktop_files(machine):
    home = os.path.join(machine.dir, "home")
    found = {}
    for folder in (os.path.join(home, ".config", "velmora"), os.path.join(machine.root, "Launcher"),
                   os.path.join(home, ".local", "share", "applications")):
        for name in os.listdir(folder):
            with open(os.path.join(folder, name), "rb") as f:
                found[os.path.join(folder, name)] = f.read()
    return found


def check_desktop_settled(machine):
    """Side by side writers lost nothing: one more start alone changes none of their files."""
    after_race = desktop_files(machine)
    assert machine.run(PLAY)[0] == 0
    assert desktop_files(machine) == after_race
    with open(machine.launcher, "rb") as f:
        assert after_race[os.path.join(machine.root, "Launcher", "velmora-launcher")] == f.read()


def slow_archives(host, seconds=0.5):
    host.set_faults({"version": {}, "*": {"delay": seconds}})


def test_first_starts_side_by_side(machine, host, releases):
    slow_archives(host)
    results = race(machine, PLAY)
    check_one_installed(results, f"Installing Velmora {V2}\n")
    assert machine.installed() == [V2]
    version = os.path.join(machine.versions, V2)
    assert make_release.installed_tree(version) == complete_tree(releases, V2)
    players = machine.records(STARTS)
    assert len(players) == STARTS and all(p["program"] == "velmora-player" for p in players)
    assert {os.path.realpath(p["cwd"]) for p in players} == {os.path.realpath(version)}
    host.clear_faults()
    check_desktop_settled(machine)


def test_update_side_by_side(machine, host, releases):
    host.announce(V1)
    assert machine.run(PLAY)[0] == 0
    host.announce(V2)
    slow_archives(host)
    results = race(machine, PLAY)
    check_one_installed(results, f"Installing Velmora {V2}\n")
    assert machine.installed() == [V2]
    version = os.path.join(machine.versions, V2)
    assert make_release.installed_tree(version) == complete_tree(releases, V2)
    players = machine.records(STARTS + 1)[1:]
    assert len(players) == STARTS
    assert {os.path.realpath(p["cwd"]) for p in players} == {os.path.realpath(version)}


def test_studio_starts_side_by_side(machine, host, releases):
    assert machine.run(PLAY)[0] == 0
    archive = f"{V2}-WindowsStudio.zip"
    # Paced, not delayed: a pause longer than the stall bound would end the download.
    host.set_faults({archive: {"rate": os.path.getsize(os.path.join(host.root, archive)) // 4}})
    results = race(machine, "--studio")
    check_one_installed(results, "Installing Velmora Studio\n")
    assert machine.installed() == [V2]
    version = os.path.join(machine.versions, V2)
    assert make_release.installed_tree(version) == complete_tree(releases, V2, studio=True)
    studios = machine.records(STARTS + 1)[1:]
    assert len(studios) == STARTS and all(s["program"] == "velmora-studio" for s in studios)
