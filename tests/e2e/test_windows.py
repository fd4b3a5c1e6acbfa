"""The Windows program itself, under Wine: real Win32 calls, registry, shell links and parser."""
import contextlib
import glob
import os
import shutil
import stat
import struct
import subprocess

import pytest

from conftest import (PLAY, V1, V2, Machine, append_line, complete_tree, flip_byte, listed, make_release,
                      publish_edited, testlib, wait_for)

WINE = "/usr/lib/wine/wine64"
V3 = "version-20270101000000"
# Known DLLs always come from the system folder; any other import would be looked for
# beside the program first, which is the Downloads folder.
KNOWN_DLLS = {"kernel32.dll", "msvcrt.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
              "user32.dll", "ws2_32.dll", "gdi32.dll", "normaliz.dll", "wldap32.dll"}


@pytest.fixture(scope="session")
def build():
    """The Windows program and its stand-ins, for every fixture of conftest.py."""
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


class WinMachine(Machine):
    """A user of the Windows program; Wine pins LOCALAPPDATA, so the install root is the prefix's."""
    wrapper, run_timeout, records_timeout = [WINE], 120, 60

    def __init__(self, build, wine, folder):
        super().__init__(build, folder)
        self.wine, self.standins = wine, build["standins"]
        self.env = {k: v for k, v in wine["env"].items() if k != "HOME"}
        self.root = os.path.join(wine["local"], "Velmora")
        self.versions = os.path.join(self.root, "Versions")
        shutil.rmtree(self.root, ignore_errors=True)
        for name in ("Velmora.lnk", "Velmora Studio.lnk"):
            with contextlib.suppress(FileNotFoundError):
                os.remove(os.path.join(wine["programs"], name))

    def start(self, *args, **kw):
        """A start left running; its output goes nowhere, so a program it starts keeps running
        after it (under Wine a program sharing the launcher's pipes ends with it)."""
        return super().start(*args, stderr=open(os.path.join(self.dir, "err"), "w"), **kw)

    def hold(self, data, hold):
        """A program outside the install that maps `data` (opened with full sharing, as games map
        their content) for as long as `hold` exists; returns once it has."""
        open(hold, "w").close()
        log = os.path.join(self.dir, "mapper.log")
        mapper = self.start(binary=os.path.join(self.standins, "player", "velmora-player.exe"),
                            env_extra={"VELMORA_STANDIN_HOLD": testlib.wine_path(hold),
                                       "VELMORA_STANDIN_MAP": testlib.wine_path(data),
                                       "VELMORA_STANDIN_LOG": testlib.wine_path(log)})
        assert wait_for(lambda: os.path.exists(log)), open(os.path.join(self.dir, "err")).read()
        return mapper

    def wine_tool(self, *args):
        return subprocess.run([WINE, *args], env=self.wine["env"], capture_output=True, text=True,
                              timeout=60).stdout.replace("\r\n", "\n")


@pytest.fixture
def win(build, wine, host, tmp_path):
    machine = WinMachine(build, wine, tmp_path / "machine")
    machine.host = host
    return machine


def test_the_exe_imports_only_known_dlls_carries_its_resources_and_keeps_its_debug_sections_beside_it(build):
    exe = build["launcher"]

    def tool(*args):
        return subprocess.run(args, capture_output=True, text=True, check=True).stdout

    def sections(path):
        rows = map(str.split, tool("x86_64-w64-mingw32-objdump", "-h", path).splitlines())
        return {row[1] for row in rows if len(row) > 1 and row[0].isdigit()}

    dlls = {line.split(":", 1)[1].strip().lower() for line in tool("x86_64-w64-mingw32-objdump", "-p", exe)
            .splitlines() if "DLL Name:" in line}
    assert dlls and dlls <= KNOWN_DLLS, dlls - KNOWN_DLLS
    assert not {s for s in sections(exe) if s.startswith(".debug")} and ".debug_info" in sections(exe + ".debug")
    assert os.path.basename(exe).encode() + b".debug\0" in open(exe, "rb").read()
    listing = tool("wrestool", "-l", exe).splitlines()
    # The scheme registration names icon 0: the first icon group must be ours.
    assert listing[0].startswith("--type=3 --name=1 ") and "[type=icon" in listing[0]
    assert any(line.startswith("--type=14 --name=1 ") for line in listing)
    assert any("[type=version" in line for line in listing)
    manifest = tool("wrestool", "-x", "--raw", "--type=24", exe)
    assert all(setting in manifest for setting in ('level="asInvoker"', ">UTF-8</activeCodePage>",
                                                   ">true</longPathAware>", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"))


def test_first_install_loads_no_planted_dll_registers_itself_and_passes_hard_values_through_the_parser(win):
    marker = os.path.join(win.dir, "planted.txt")
    for folder in (os.path.dirname(win.launcher), win.dir):
        for dll in glob.glob(os.path.join(win.standins, "planted", "*.dll")):
            shutil.copy(dll, folder)
    # Native first for those names is the search order Windows itself applies to them.
    env = {"WINEDLLOVERRIDES": win.wine["env"]["WINEDLLOVERRIDES"] + ";bcrypt,crypt32,winhttp=n,b",
           "VELMORA_PLANTED_MARKER": testlib.wine_path(marker)}
    ticket = 'two words "quoted" and a trailing backslash\\'
    rc, out, err = win.run("velmora-player:1+launchmode:play+gameinfo:" + ticket + "+browsertrackerid:+placelauncher"
                           "url:https%3A%2F%2Fwww.velmora.com%2FGame%2FP.ashx%3Fq%3D%22a%20b%22%5C", env_extra=env)
    assert (rc, err) == (0, "") and f"Installing Velmora {V2}\n" in out, err
    assert not os.path.exists(marker), open(marker).read()
    [player] = win.records()
    assert player["program"] == "velmora-player" and player["args"] == [
        "--play", "-a", "https://www.velmora.com/Login/Negotiate.ashx", "-t", ticket, "-j",
        'https://www.velmora.com/Game/P.ashx?q="a b"\\']
    assert player["cwd"].lower().rstrip("\\").endswith(f"\\velmora\\versions\\{V2}")
    assert win.tree(V2) == complete_tree(win.host.root, V2)
    log = win.log()
    assert "(Windows, " in log[0] and f"Installing Velmora {V2}" in log and "trailing backslash" not in str(log)
    assert any(line.endswith("velmora-player.exe with 7 arguments") for line in log)

    copy = win.wine_tool("cmd", "/c", "echo", "%LOCALAPPDATA%").strip() + "\\Velmora\\Launcher\\velmora-launcher.exe"
    values, at = {}, None
    for line in win.wine_tool("reg", "query", SCHEME, "/s").splitlines():
        if line.startswith("HKEY_"):
            at = line.strip().removeprefix("HKEY_CURRENT_USER\\Software\\Classes\\velmora-player")
        elif "REG_SZ" in line:
            name, data = line.strip().split("REG_SZ")
            values[(at, name.strip())] = data.strip().lower()
    assert values == {("", "(Default)"): "url:velmora protocol", ("", "URL Protocol"): "",
                      ("\\DefaultIcon", "(Default)"): f'"{copy}",0'.lower(),
                      ("\\shell\\open\\command", "(Default)"): f'"{copy}" "%1"'.lower()}
    listing = subprocess.run(["icotool", "-l", os.path.join(win.root, "icon.ico")], capture_output=True,
                             text=True).stdout
    assert "--width=48 --height=48" in listing
    for name, arguments in (("Velmora", ""), ("Velmora Studio", "--studio")):
        info = subprocess.run(["lnkinfo", os.path.join(win.wine["programs"], name + ".lnk")],
                              capture_output=True, text=True).stdout
        fields = {k.strip(): v.strip() for k, _, v in (line.partition(":") for line in info.splitlines()) if _}
        assert (fields["Description"], fields["Command line arguments"]) == (name, arguments)
        assert fields["Icon location"].lower().endswith("\\velmora\\icon.ico")
        assert fields["Local path"].lower() == copy.lower()


def test_quoting_round_trips_through_the_system_parser(build, wine):
    # 10^5 generated argument lists, and as many built from UTF-8, in one process.
    check = os.path.join(build["standins"], "argv-check.exe")
    result = subprocess.run([WINE, check, "100000", "1206"], env=wine["env"], capture_output=True,
                            text=True, timeout=120)
    print(result.stdout)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_console_the_tool_server_and_an_error_start(win):
    # The start-up duties run first (installing here); then the refusal. With no display the
    # error box cannot show, and that must not hold the start.
    assert win.run("--nonsense") == (1, f"Installing Velmora {V2}\n", "Velmora launcher: expected a "
                                     "velmora-player: link, --studio or --studio-mcp\n")
    rc, out, err = win.run("--studio-mcp", input="ping\n", env_extra={"VELMORA_STANDIN_EXIT": "7"})
    assert rc == 7 and "echo: ping" in out and "Installing" not in out, err
    server = os.path.join(win.versions, V2, "Studio", "velmora-studio-mcp.exe")
    open(server, "wb").write(b"not a program")
    rc, out, err = win.run("--studio-mcp")
    assert (rc, out) == (1, "") and err.startswith("Velmora launcher: cannot start ") and err.endswith(
        "velmora-studio-mcp.exe\n")
    os.remove(server)  # as a scanner would: installed again
    assert win.run("--studio-mcp", input="")[:2] == (0, "")

    # An MCP client only knows the launcher; when it ends the launcher, the server goes too.
    launcher = win.start("--studio-mcp", stdin=subprocess.PIPE)
    try:
        assert len(win.records(3)) == 3 and running("velmora-studio-mcp"), open(os.path.join(win.dir, "err")).read()
        launcher.kill()
        launcher.wait(30)
        assert wait_for(lambda: not running("velmora-studio-mcp"), 20)
    finally:
        launcher.stdin.close()
        launcher.kill()


def test_a_running_old_copy_is_set_aside_for_a_newer_launcher(win):
    assert win.run()[0] == 0
    folder = os.path.join(win.root, "Launcher")
    copy = os.path.join(folder, "velmora-launcher.exe")
    # A tool-server session keeps the old copy running; it cannot be replaced, only renamed.
    session = win.start("--studio-mcp", stdin=subprocess.PIPE, binary=copy)
    try:
        assert len(win.records(1)) == 1
        open(win.launcher, "ab").write(b"\0newer")
        assert win.run()[:3:2] == (0, "") and open(copy, "rb").read() == open(win.launcher, "rb").read()
        assert len(os.listdir(folder)) == 2  # the running one, renamed
    finally:
        session.stdin.close()
        session.wait(60)
    # Once it has ended, what was set aside goes with the next start.
    assert win.run()[0] == 0 and os.listdir(folder) == ["velmora-launcher.exe"]
    # A read-only copy (of a read-only download) is set aside just the same, and its successor
    # is writable, so that it can be set aside in turn.
    os.chmod(copy, stat.S_IRUSR | stat.S_IXUSR)
    open(win.launcher, "ab").write(b"again")
    os.chmod(win.launcher, stat.S_IRUSR | stat.S_IXUSR)
    assert win.run()[:3:2] == (0, "") and open(copy, "rb").read() == open(win.launcher, "rb").read()
    assert os.listdir(folder) == ["velmora-launcher.exe"] and os.stat(copy).st_mode & stat.S_IWUSR


def running(program):
    return subprocess.run(["pgrep", "-f", program + ".exe"], capture_output=True).returncode == 0


def test_an_old_version_in_use_is_left_whole_and_what_programs_hold_goes_later(win, tmp_path):
    host = win.host
    old, new = (os.path.join(win.versions, v) for v in (V1, V3))
    host.announce(V1)
    assert win.run(PLAY)[0] == 0
    # The next release changes only the fonts: every other package, the player's program included,
    # is carried as hard links to the old version's files.
    publish_edited(old, V3, host.root, append_line("content/fonts/manifest.txt"), tmp_path / "files")
    host.announce(V1)
    # Read-only belongs to the file, which the new version then shares.
    shared = os.path.join("content", "sky", "manifest.txt")
    os.chmod(os.path.join(old, shared), stat.S_IRUSR)
    holds = [os.path.join(win.dir, f"hold{i}") for i in (1, 2)]

    def play(hold, records):
        """A game that holds its program open (without delete sharing) until `hold` goes."""
        open(hold, "w").close()
        env = {"VELMORA_STANDIN_HOLD": testlib.wine_path(hold)}
        assert win.start(PLAY, env_extra=env).wait(60) == 0
        assert len(win.records(records)) == records

    # The game's working folder is the version's: no rename of it, so it is left whole.
    play(holds[0], 2)
    before = make_release.installed_tree(old)
    host.announce(V3)
    assert win.run(PLAY) == (0, f"Installing Velmora {V3}\n",
                             f"warning: old version {V1} is in use; a later start will remove it\n")
    assert make_release.installed_tree(old) == before

    # Once that game has ended, the new version's game runs the program the old one shares, and
    # another program maps one of the old version's data files: the old version goes all the
    # same, and what they hold of it waits, set aside, for a later start.
    play(holds[1], 4)
    os.remove(holds[0])
    assert wait_for(lambda: not running(f"{V1}.velmora-player"))
    mapper = win.hold(os.path.join(old, "content", "music", "content-music-a.dat"), holds[1])
    assert win.run(PLAY) == (0, "", "")
    [aside] = [n for n in win.installed() if n != V3]
    assert aside.startswith(f".{V1}.") and aside.endswith(".old") and set(win.tree(aside)) == {
        "velmora-player.exe", "content/music/content-music-a.dat"}
    os.remove(holds[1])
    mapper.wait(60)
    assert wait_for(lambda: not running("velmora-player"))
    assert win.run(PLAY) == (0, "", "")
    assert win.installed() == [V3] and make_release.installed_tree(new) == complete_tree(host.root, V3)
    assert not os.stat(os.path.join(new, shared)).st_mode & stat.S_IWUSR


APPS_ENTRY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Velmora"
SCHEME = "HKCU\\Software\\Classes\\velmora-player"


def prefix_paths(wine):
    """Every path under the prefix but what the system writes on its own: the registry hives and
    the certificate checks' cache that the first HTTPS download creates."""
    paths = {os.path.relpath(os.path.join(d, n), wine["prefix"])
             for d, dirs, files in os.walk(wine["prefix"]) for n in dirs + files}
    return {p for p in paths if not p.endswith(".reg") and "/LocalLow/Microsoft" not in p}


def registered(win, key):
    return subprocess.run([WINE, "reg", "query", key], env=win.wine["env"], timeout=60,
                          capture_output=True).returncode == 0


def test_the_uninstall_leaves_what_a_program_maps_then_everything_goes(win):
    before = prefix_paths(win.wine)
    assert win.run()[0] == 0
    assert "|||Velmora\n" in win.wine_tool("uninstaller", "--list")
    assert int(win.wine_tool("reg", "query", APPS_ENTRY, "/v", "EstimatedSize").split("REG_DWORD")[1], 16) > 100
    # A program outside the install maps one of its data files: whatever else can go goes, and
    # the entry and the copy it runs stay for the removal to be run again.
    hold = os.path.join(win.dir, "hold")
    mapper = win.hold(os.path.join(win.versions, V2, "content", "music", "content-music-a.dat"), hold)
    try:
        rc, out, err = win.run("--uninstall")
        assert (rc, out) == (1, "") and err.startswith("warning: ") and err.endswith(
            "\\Velmora\\Versions is in use and was left; run the uninstall again after closing Velmora\n"), err
        assert not os.path.exists(os.path.join(win.versions, V2)) and not registered(win, SCHEME)
        assert not os.path.exists(os.path.join(win.wine["programs"], "Velmora.lnk")) and registered(win, APPS_ENTRY)
    finally:
        os.remove(hold)
        mapper.wait(60)
    # What the Apps list does: runs the entry's UninstallString, the copy in the root, and waits
    # for it. The copy's own file goes once it has exited, and so does the copy that removed it.
    subprocess.run([WINE, "uninstaller", "--remove", "Velmora"], env=win.wine["env"], timeout=120,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    assert wait_for(lambda: prefix_paths(win.wine) == before), prefix_paths(win.wine) ^ before
    assert not registered(win, APPS_ENTRY)
    # Started from inside a root, the removal leaves it first: a working folder cannot be removed.
    os.makedirs(os.path.join(win.root, "Versions"))
    assert win.run("--uninstall", cwd=win.root) == (0, "Velmora has been removed.\n", "")
    assert not os.path.exists(win.root)


@pytest.mark.parametrize("bypass,proxied", [(b"*.example.com", True), (b"*.example.com;<local>", False)],
                         ids=["proxied", "host without a dot bypassed"])
def test_the_users_proxy_from_internet_settings(win, proxy, bypass, proxied):
    # Wine's WinHTTP reads the binary form the Internet Options dialog writes: version, counter,
    # flags (direct 1, fixed proxy 2), then the proxy list, the bypass list and the script address.
    key = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections"
    fields = [f"127.0.0.1:{testlib.PORT + 1}".encode(), bypass, b""]
    settings = struct.pack("<III", 0x46, 1, 3) + b"".join(struct.pack("<I", len(f)) + f for f in fields)
    win.wine_tool("reg", "add", key, "/v", "DefaultConnectionSettings", "/t", "REG_BINARY", "/d",
                  (settings + bytes(32)).hex(), "/f")
    try:
        rc, out, err = win.run()
    finally:
        win.wine_tool("reg", "delete", key, "/v", "DefaultConnectionSettings", "/f")
    assert (rc, err) == (0, "") and f"Installing Velmora {V2}\n" in out
    # One tunnel per parallel transfer, the version's reused.
    tunnels = proxy.read_text().count(f"CONNECT localhost:{testlib.PORT} ")
    assert 0 < tunnels <= 10 if proxied else tunnels == 0


def test_an_update_by_files_alone_gives_the_tree_of_a_fresh_install(win, build, tmp_path):
    # Enough in each package that its changed files alone cost less than its archive.
    host, v1, v3 = win.host, "version-20261201000000", "version-20270201000000"
    make_release.build(v1, host.root, os.path.join(build["standins"], "player"),
                       os.path.join(build["standins"], "studio"), bulk_mb=2, small_files=600)
    changed = make_release.patch(host.root, v1, v3, host.root, share=0.02)
    host.announce(v1)
    assert win.run(PLAY)[0] == 0
    # Wine shows a Unix symbolic link as a reparse point, as Windows shows a junction: what lies
    # behind one in the old version is neither carried nor removed with it.
    fonts, outside = os.path.join(win.versions, v1, "content", "fonts"), str(tmp_path / "outside")
    shutil.move(fonts, outside)
    os.symlink(outside, fonts)
    files = make_release.installed_tree(outside)
    # The first range of one archive names another entry: its file, begun and refused, must not
    # stay open for the whole archive that comes next.
    sky = f"{v3}-content-sky.zip"
    offset = next(offset for path, (_, offset, _) in listed(host.root, v3).items()
                  if path.startswith("content/sky/") and path in changed)
    shutil.copy(os.path.join(host.root, sky), os.path.join(host.root, "stale.zip"))
    flip_byte(os.path.join(host.root, "stale.zip"), offset + 30)
    host.set_faults({sky: [{"file": "stale.zip"}]})
    host.clear_requests()
    host.announce(v3)
    rc, out, err = win.run(PLAY)
    assert (rc, out) == (0, f"Installing Velmora {v3}\n"), err
    assert err.startswith("warning: content-sky.zip: content-sky.zip entry ") and err.endswith(
        "its header names another entry; downloading it whole\n"), err
    # Nothing of the fonts was found: their package comes whole.
    archives = [r for r in host.requests() if r.path.endswith(".zip")]
    assert archives[-1].path == "/" + sky and archives[-1].range == "-", archives
    assert [r.range for r in archives if "content-fonts" in r.path] == ["-"], archives
    assert all(r.status == 206 and r.range != "-" for r in archives[:-1] if "content-fonts" not in r.path), archives
    assert win.tree(v3) == complete_tree(host.root, v3) and make_release.installed_tree(outside) == files
    # Wine keeps the old version set aside with the link in it (a later start tries again).
    assert all(n.startswith(f".{v1}.") for n in win.installed() if n != v3), win.installed()
    assert all(os.stat(os.path.join(d, n)).st_nlink == 1 for d, _, ns in os.walk(outside) for n in ns)

