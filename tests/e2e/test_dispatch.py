"""What each command line does: streams, exit status, started program, error report."""
import os
import stat

import pytest

from conftest import PLAY, SITE, V2

DISPATCH_ERROR = "Velmora launcher: expected a velmora-player: link, --studio or --studio-mcp\n"
INSTALLED = "Velmora is installed. Join a game from the website.\n"


def fake_program(folder, name):
    """A program on PATH that records its arguments, one per line, to <name>.args."""
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write(f'#!/bin/sh\nprintf "%s\\n" "$@" >> "{path}.args"\n')
    os.chmod(path, 0o755)
    return path + ".args"


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return None


@pytest.fixture
def installed(machine, host):
    assert machine.run(PLAY)[0] == 0
    host.clear_requests()
    return machine


def with_path(machine, *fakes):
    folder = os.path.join(machine.dir, "bin")
    logs = [fake_program(folder, f) for f in fakes]
    return {"PATH": folder + ":" + os.environ["PATH"]}, logs


@pytest.mark.parametrize("args", [[], [""], ["%u"], ["%U"], ["%f"]])
def test_no_link_says_installed_and_opens_the_games_page(installed, args):
    env, [browser] = with_path(installed, "xdg-open")
    rc, out, err = installed.run(*args, env_extra=env)
    assert (rc, out, err) == (0, INSTALLED, "")
    for _ in range(100):
        if read(browser):
            break
        os.sched_yield()
    assert read(browser) == f"https://{SITE}/games\n"
    assert len(installed.records(1)) == 1  # nothing new started


@pytest.mark.parametrize("args", [["%F"], ["%u "], ["--STUDIO"], ["--self-test", "x"],
                                  ["--studio-mcp", "x"], ["Velmora-Player:1+launchmode:play"],
                                  ["https://www.velmora.com/"]])
def test_other_command_lines_are_refused_after_the_start_up_duties(installed, host, args):
    rc, out, err = installed.run(*args)
    assert (rc, out, err) == (1, "", DISPATCH_ERROR)
    assert [r.path for r in host.requests()] == ["/version"]


@pytest.mark.parametrize("link,message", [
    ("velmora-player:", "unsupported launch mode ''"),
    ("velmora-player:1+launchmode:Edit", "unsupported launch mode 'Edit'"),
    ("velmora-player:1+launchmode:play+placelauncherurl:https%3A%2F%2Fevil.example%2Fx",
     "place launcher url is not on velmora.com"),
    ("velmora-player:1+launchmode:edit+script:https%3A%2F%2Fwww.velmora.com%40evil.example%2Fx",
     "studio script url is not on velmora.com"),
])
def test_refused_links_start_nothing(installed, link, message):
    rc, out, err = installed.run(link)
    assert (rc, out, err) == (1, "", f"Velmora launcher: {message}\n")
    assert len(installed.records(1)) == 1


def test_player_receives_hard_arguments_exactly(machine, host):
    tricky = 'a "quoted" value\\'
    link = (f"velmora-player:1+launchmode:play+gameinfo:{tricky}+browsertrackerid:\\\\srv\\+"
            "placelauncherurl:https%3A%2F%2Fwww.velmora.com%2Fp%3Fq%3D%22x%20y%22%5C")
    rc, out, err = machine.run(link)
    assert (rc, err) == (0, "")
    assert machine.records()[0]["args"] == [
        "--play", "-a", "https://www.velmora.com/Login/Negotiate.ashx", "-t", tricky, "-j",
        'https://www.velmora.com/p?q="x y"\\', "-b", "\\\\srv\\"]


def test_install_root_with_blanks_and_non_ascii(machine, host):
    appdata = os.path.join(machine.dir, "Local App Data é")
    rc, out, err = machine.run(PLAY, env_extra={"LOCALAPPDATA": appdata})
    assert (rc, err) == (0, "")
    [player] = machine.records()
    assert player["cwd"] == os.path.join(appdata, "Velmora", "Versions", V2)


def test_missing_player_names_the_expected_file(installed):
    player = os.path.join(installed.versions, V2, "velmora-player.exe")
    os.remove(player)
    rc, out, err = installed.run(PLAY)
    assert (rc, out, err) == (1, "", f"Velmora launcher: cannot start {player}\n")


def test_missing_tool_server_fails_without_touching_stdout(installed):
    assert installed.run("--studio")[0] == 0
    server = os.path.join(installed.versions, V2, "Studio", "velmora-studio-mcp.exe")
    os.chmod(server, stat.S_IRUSR)
    rc, out, err = installed.run("--studio-mcp")
    assert (rc, out, err) == (1, "", f"Velmora launcher: cannot start {server}\n")


def test_errors_show_a_box_except_in_tool_server_mode(machine, host):
    env, [box] = with_path(machine, "zenity")
    env["DISPLAY"] = ":99"
    host.set_faults({"version": {"status": 404}})
    rc, out, err = machine.run(PLAY, env_extra=env)
    assert rc == 1 and err.startswith("Velmora launcher: download of ")
    message = err[len("Velmora launcher: "):-1]
    assert read(box) == ("--error\n--title=Velmora\n--text=Velmora could not start:\n\n"
                         f"{message}\n--no-markup\n")
    os.remove(box)
    rc, out, err = machine.run("--studio-mcp", env_extra=env)
    assert (rc, out) == (1, "") and err.startswith("Velmora launcher: download of ")
    assert read(box) is None


def test_unset_install_root(machine):
    for value in (None, ""):
        rc, out, err = machine.run(PLAY, env_extra={"LOCALAPPDATA": value})
        assert (rc, out, err) == (1, "", "Velmora launcher: LOCALAPPDATA is not set\n")


def test_self_test_runs_offline_and_touches_nothing(machine):
    rc, out, err = machine.run("--self-test", env_extra={"TMPDIR": machine.dir})
    assert (rc, out, err) == (0, "self-test passed\n", "")
    assert not os.path.exists(machine.root)
    assert not os.path.exists(os.path.join(machine.dir, "yrt-launcher-selftest"))
