"""The Windows program itself, under Wine: real Win32 calls, registry, shell links and parser."""
import glob
import os
import shutil
import subprocess

import pytest

from conftest import EDIT, V2, complete_tree, make_release, testlib

WINE = "/usr/lib/wine/wine64"
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
               "user32.dll", "ws2_32.dll", "crypt32.dll", "bcrypt.dll", "secur32.dll",
               "ucrtbase.dll", "gdi32.dll", "normaliz.dll", "wldap32.dll", "iphlpapi.dll"}


@pytest.fixture(scope="session")
def windows():
    exe = os.environ.get("VELMORA_WINDOWS_LAUNCHER")
    if not exe:
        pytest.skip("VELMORA_WINDOWS_LAUNCHER is not set (run through ctest)")
    return {"launcher": exe, "standins": os.environ["VELMORA_WINDOWS_STANDINS"]}


@pytest.fixture(scope="session")
def wine(tmp_path_factory):
    """One throwaway prefix for the session, headless, with no menu entries leaking out."""
    prefix = str(tmp_path_factory.mktemp("wineprefix"))
    env = {"WINEPREFIX": prefix, "WINEDEBUG": "-all", "HOME": prefix,
           "WINEDLLOVERRIDES": "winemenubuilder.exe=d;mscoree=;mshtml=",
           "PATH": os.environ["PATH"]}
    subprocess.run([WINE, "wineboot", "--init"], env=env, check=True, timeout=300,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    server = subprocess.Popen(["/usr/lib/wine/wineserver64", "-p", "-f"], env=env)
    users = glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Local"))
    users = [u for u in users if "/Public/" not in u]
    yield {"env": env, "prefix": prefix, "local": users[0],
           "programs": os.path.join(os.path.dirname(users[0]), "Roaming", "Microsoft", "Windows",
                                    "Start Menu", "Programs")}
    subprocess.run(["/usr/lib/wine/wineserver64", "-k"], env=env)
    server.wait(30)


@pytest.fixture(scope="session")
def win_releases(windows, tmp_path_factory):
    out = str(tmp_path_factory.mktemp("win-releases"))
    make_release.build(V2, out, os.path.join(windows["standins"], "player"),
                       os.path.join(windows["standins"], "studio"))
    return out


class WinMachine:
    """A user of the Windows program; Wine pins LOCALAPPDATA, so the install root is the prefix's."""

    def __init__(self, windows, wine, folder):
        self.dir, self.wine = str(folder), wine
        self.root = os.path.join(wine["local"], "Velmora")
        shutil.rmtree(self.root, ignore_errors=True)
        for name in ("Velmora.lnk", "Velmora Studio.lnk"):
            try:
                os.remove(os.path.join(wine["programs"], name))
            except FileNotFoundError:
                pass
        downloads = os.path.join(self.dir, "downloads")
        os.makedirs(downloads)
        self.launcher = shutil.copy(windows["launcher"], downloads)

    def run(self, *args, **kw):
        env = dict(self.wine["env"], **kw.pop("env_extra", {}))
        env.pop("HOME")
        rc, out, err = testlib.run_launcher(self.launcher, list(args), self.dir, env_extra=env,
                                            wrapper=[WINE], timeout=kw.pop("timeout", 120), **kw)
        return rc, out.replace("\r\n", "\n"), err.replace("\r\n", "\n")

    def wine_tool(self, *args):
        return subprocess.run([WINE, *args], env=self.wine["env"], capture_output=True, text=True,
                              timeout=60).stdout.replace("\r\n", "\n")


@pytest.fixture
def win(windows, wine, win_releases, tmp_path):
    root = str(tmp_path / "host")
    shutil.copytree(win_releases, root)
    with testlib.SetupHost(root) as host:
        machine = WinMachine(windows, wine, tmp_path / "machine")
        machine.host = host
        yield machine


def test_the_exe_needs_only_windows_system_libraries(windows):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", windows["launcher"]],
                          capture_output=True, text=True, check=True).stdout
    dlls = {line.split(":", 1)[1].strip().lower() for line in dump.splitlines() if "DLL Name:" in line}
    assert dlls and dlls <= SYSTEM_DLLS, dlls - SYSTEM_DLLS


def test_the_exe_carries_its_manifest_version_and_icon(windows):
    listing = subprocess.run(["wrestool", "-l", windows["launcher"]], capture_output=True, text=True,
                             check=True).stdout.splitlines()
    # The scheme registration names icon 0: the first icon group must be ours.
    assert listing[0].startswith("--type=3 --name=1 ") and "[type=icon" in listing[0]
    assert any(line.startswith("--type=14 --name=1 ") for line in listing)
    assert any("[type=version" in line for line in listing)
    manifest = subprocess.run(["wrestool", "-x", "--raw", "--type=24", windows["launcher"]],
                              capture_output=True, text=True, check=True).stdout
    for setting in ('level="asInvoker"', ">UTF-8</activeCodePage>", ">true</longPathAware>",
                    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"):
        assert setting in manifest


def test_self_test(win):
    assert win.run("--self-test") == (0, "self-test passed\n", "")


def test_first_install_and_a_play_link_with_hard_values(win):
    ticket = 'two words "quoted" and a trailing backslash\\'
    link = ("velmora-player:1+launchmode:play+gameinfo:" + ticket + "+browsertrackerid:" +
            "+placelauncherurl:https%3A%2F%2Fwww.velmora.com%2FGame%2FP.ashx%3Fq%3D%22a%20b%22%5C")
    rc, out, err = win.run(link)
    assert (rc, err) == (0, "")
    assert f"Installing Velmora {V2}\n" in out
    [player] = testlib.wait_for_standins(win.dir, 1)
    assert player["program"] == "velmora-player"
    assert player["args"] == ["--play", "-a", "https://www.velmora.com/Login/Negotiate.ashx", "-t",
                              ticket, "-j", 'https://www.velmora.com/Game/P.ashx?q="a b"\\']
    assert player["cwd"].lower().rstrip("\\").endswith(f"\\velmora\\versions\\{V2}")
    assert os.path.exists(os.path.join(win.root, "Versions", V2, ".complete"))

    rc, out, err = win.run(EDIT.replace("gameinfo:ticket", "gameinfo:"))
    assert (rc, err) == (0, "") and "Installing Velmora Studio\n" in out
    studio = testlib.wait_for_standins(win.dir, 2)[1]
    assert studio["args"] == ["-ide", "-script", "https://www.velmora.com/e"]


def test_update_links_the_unchanged_packages_and_downloads_the_player(win):
    assert win.run()[0] == 0
    # The next release: the installed files with only the player's notes changed.
    files = os.path.join(win.dir, "files")
    shutil.copytree(os.path.join(win.root, "Versions", V2), files,
                    ignore=shutil.ignore_patterns(".complete", ".release", ".files"))
    with open(os.path.join(files, "release-notes.txt"), "a") as f:
        f.write("one fix\n")
    new = V2 + "-fix"
    make_release.publish.publish(new, files, win.host.root, key=make_release.TEST_KEY)
    win.host.clear_requests()
    rc, out, err = win.run()
    assert (rc, err) == (0, "") and f"Installing Velmora {new}\n" in out
    assert [r.path for r in win.host.requests() if r.path.endswith(".zip")] == [
        f"/{new}-WindowsPlayer.zip"]
    assert os.listdir(os.path.join(win.root, "Versions")) == [new]
    assert make_release.installed_tree(os.path.join(win.root, "Versions", new)) == complete_tree(
        win.host.root, new)


def test_registry_shortcuts_and_icon(win):
    assert win.run()[0] == 0
    copy = win.wine_tool("cmd", "/c", "echo", "%LOCALAPPDATA%").strip() + "\\Velmora\\Launcher\\velmora-launcher.exe"
    query = win.wine_tool("reg", "query", "HKCU\\Software\\Classes\\velmora-player", "/s")
    values = {}
    key = None
    for line in query.splitlines():
        if line.startswith("HKEY_"):
            key = line.strip()
        elif "REG_SZ" in line:
            name, data = line.strip().split("REG_SZ")
            values[(key, name.strip())] = data.strip()
    scheme = "HKEY_CURRENT_USER\\Software\\Classes\\velmora-player"
    assert values[(scheme, "(Default)")] == "URL:Velmora Protocol"
    assert values[(scheme, "URL Protocol")] == ""
    assert values[(scheme + "\\DefaultIcon", "(Default)")].lower() == f'"{copy}",0'.lower()
    assert values[(scheme + "\\shell\\open\\command", "(Default)")].lower() == f'"{copy}" "%1"'.lower()

    icon = os.path.join(win.root, "icon.ico")
    listing = subprocess.run(["icotool", "-l", icon], capture_output=True, text=True).stdout
    assert "--width=48 --height=48" in listing
    for name, arguments in (("Velmora", ""), ("Velmora Studio", "--studio")):
        info = subprocess.run(["lnkinfo", os.path.join(win.wine["programs"], name + ".lnk")],
                              capture_output=True, text=True).stdout
        fields = {k.strip(): v.strip() for k, _, v in
                  (line.partition(":") for line in info.splitlines()) if _}
        assert fields["Description"] == name
        assert fields["Icon location"].lower().endswith("\\velmora\\icon.ico")
        assert fields["Command line arguments"] == arguments
        assert fields["Local path"].lower() == copy.lower()


def test_tool_server_exit_code_and_a_missing_one(win):
    rc, out, err = win.run("--studio-mcp", input="ping\n", env_extra={"VELMORA_STANDIN_EXIT": "7"})
    assert rc == 7, err
    assert "echo: ping" in out and "Installing" not in out
    server = os.path.join(win.root, "Versions", V2, "Studio", "velmora-studio-mcp.exe")
    os.remove(server)
    rc, out, err = win.run("--studio-mcp")
    assert (rc, out) == (1, "")
    assert err.startswith("Velmora launcher: cannot start ") and err.endswith("velmora-studio-mcp.exe\n")


def test_error_start_reports_and_exits_without_hanging(win):
    # The start-up duties run first (installing here); then the refusal. With no display the
    # error box cannot show, and that must not hold the start.
    rc, out, err = win.run("--nonsense", timeout=120)
    assert (rc, out) == (1, f"Installing Velmora {V2}\n")
    assert err == "Velmora launcher: expected a velmora-player: link, --studio or --studio-mcp\n"
