"""What each command line does: streams, exit status, started program, error report."""
import os
import stat

import pytest

from conftest import PLAY, SITE, V2, wait_for

REFUSAL = "expected a velmora-player: link, --studio or --studio-mcp"
INSTALLED = "Velmora is installed. Join a game from the website.\n"


def fake_program(machine, name):
    """A program first on PATH that records its arguments, one per line; returns the
    environment to start with and the record's path."""
    path = os.path.join(machine.dir, "bin", name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(f'#!/bin/sh\nprintf "%s\\n" "$@" >> "{path}.args"\n')
    os.chmod(path, 0o755)
    return {"PATH": os.path.dirname(path) + ":" + os.environ["PATH"]}, path + ".args"


def read(path, wait=0):
    return open(path).read() if wait_for(lambda: os.path.exists(path), wait) else None


@pytest.fixture
def installed(machine, host):
    machine.ok(PLAY)
    host.clear_requests()
    return machine


@pytest.mark.parametrize("args", [[], [""], ["%u"], ["%U"], ["%f"]])
def test_no_link_says_installed_and_opens_the_games_page(installed, args):
    env, browser = fake_program(installed, "xdg-open")
    assert installed.run(*args, env_extra=env) == (0, INSTALLED, "")
    assert read(browser, wait=10) == f"https://{SITE}/games\n"
    assert len(installed.records(1)) == 1  # nothing new started


@pytest.mark.parametrize("args,message", [
    *((args, REFUSAL) for args in (["%F"], ["%u "], ["--STUDIO"], ["--self-test", "x"],
                                   ["--studio-mcp", "x"], ["Velmora-Player:1+launchmode:play"],
                                   ["https://www.velmora.com/"])),
    # Which links are refused is LaunchFromUri's (unit tests).
    (["velmora-player:1+launchmode:play+placelauncherurl:https%3A%2F%2Fevil.example%2Fx"],
     "place launcher url is not on velmora.com"),
])
def test_refusals_come_after_the_start_up_duties_and_start_nothing(installed, host, args, message):
    assert installed.run(*args) == (1, "", f"Velmora launcher: {message}\n")
    assert host.paths() == ["/version"] and len(installed.records(1)) == 1


def test_hard_values_reach_the_player_whole(installed):
    # The command line is split again by the Windows rules before the program starts. Whether
    # the quoting holds for any arguments is the quoting fuzzer's, and the system parser's under Wine.
    ticket = 'two words, "quoted", \\"escaped\\", \\\\\\"odd\\" and a trailing backslash\\'
    installed.ok(PLAY.replace("gameinfo:ticket", "gameinfo:" + ticket))
    assert installed.records(2)[-1]["args"][4] == ticket


@pytest.mark.parametrize("studio", [False, True])
def test_unstartable_program_names_the_expected_file_and_a_quarantined_one_comes_back(installed, studio):
    if studio:
        installed.ok("--studio")
    program = os.path.join(installed.versions, V2, *(["Studio", "velmora-studio-mcp.exe"] if studio
                                                     else ["velmora-player.exe"]))
    link = "--studio-mcp" if studio else PLAY
    os.chmod(program, stat.S_IRUSR)  # there but not startable
    assert installed.run(link) == (1, "", f"Velmora launcher: cannot start {program}\n")
    # Taken away by a scanner: the marker alone must not keep every start failing. The tool
    # server owns standard output, so the launcher's own line goes to standard error; the player
    # alone comes back, from the version's file list.
    os.remove(program)
    assert installed.run(link, input="") == ((0, "", "Installing Velmora Studio\n") if studio else
                                             (0, f"Repaired 1 files of Velmora {V2}\n", ""))
    assert os.access(program, os.X_OK)


def test_errors_show_a_box_except_in_tool_server_mode(machine, host):
    env, box = fake_program(machine, "zenity")
    env["DISPLAY"] = ":99"
    host.set_faults({"version": {"status": 404}})
    rc, out, err = machine.run(PLAY, env_extra=env)
    assert rc == 1 and err.startswith("Velmora launcher: download of ") and read(box) == (
        f"--error\n--title=Velmora\n--text=Velmora could not start:\n\n{err[18:-1]}\n--no-markup\n")
    os.remove(box)
    rc, out, err = machine.run("--studio-mcp", env_extra=env)
    assert (rc, out) == (1, "") and err.startswith("Velmora launcher: download of ") and read(box) is None


@pytest.mark.parametrize("value, error", [
    (None, "LOCALAPPDATA is not set"), ("", "LOCALAPPDATA is not set"),
    # Would install into, and register, whatever folder the link was opened from.
    ("appdata", "LOCALAPPDATA is not an absolute path")], ids=["unset", "empty", "relative"])
def test_unusable_install_root(machine, value, error):
    assert machine.run(PLAY, env_extra={"LOCALAPPDATA": value}) == (
        1, "", f"Velmora launcher: {error}\n")
    assert not os.path.exists(os.path.join(machine.dir, "appdata", "Velmora"))


def test_self_test_runs_offline_and_touches_nothing(machine):  # not even a log
    assert machine.run("--self-test", env_extra={"TMPDIR": machine.dir}) == (0, "self-test passed\n", "")
    assert not os.path.exists(machine.root) and not os.path.exists(os.path.join(machine.dir, "yrt-launcher-selftest"))
