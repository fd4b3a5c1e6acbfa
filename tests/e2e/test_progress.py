"""The download progress line on standard error: live on a terminal, absent otherwise."""
import os
import pty
import random
import re
import signal
import subprocess
import threading
import tty

from conftest import PLAY, V2, make_release, testlib

SLOW = "content-sky.zip"
PACKAGES = {name for name, _ in make_release.PLAYER_ARCHIVES}
# One drawing: back to the line start, the text, erase what an older, longer one left.
SEGMENT = re.compile(r"\r([^\r\n\x1b]*)\x1b\[K")
DRAWING = re.compile(r"(?P<label>[^:]+): (?P<done>\d+\.\d) MB( of (?P<total>\d+\.\d) MB)?"
                     r"(, \d+\.\d MB/s)?")


def slow_down(host, size=3_000_000, seconds=1.5):
    """Makes the served package big enough for moving figures, and paces it; returns its size."""
    path = os.path.join(host.root, f"{V2}-{SLOW}")
    package = make_release.Package()
    package.add("manifest.txt", b"content-sky\n")
    package.add_random("bulk/sky.bin", size, random.Random(7))
    package.write(path)
    size = os.path.getsize(path)
    host.set_faults({f"{V2}-{SLOW}": {"rate": int(size / seconds)}})
    return size


def run_with_terminal_stderr(machine, args, timeout=60):
    """(status, stdout, bytes written to the terminal) of one start whose stderr is a terminal."""
    home = os.path.join(machine.dir, "home")
    appdata = os.path.join(machine.dir, "appdata")
    for folder in (home, appdata):
        os.makedirs(folder, exist_ok=True)
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8", "HOME": home,
           "XDG_CONFIG_HOME": os.path.join(home, ".config"),
           "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
           "XDG_CACHE_HOME": os.path.join(home, ".cache"),
           "LOCALAPPDATA": appdata, "YRT_CA_BUNDLE": testlib.Certs.session().ca,
           "VELMORA_STANDIN_LOG": os.path.join(machine.dir, "standin.log")}
    master, slave = pty.openpty()
    tty.setraw(slave)  # the bytes exactly as written, no newline translation
    chunks = []

    def drain():
        while True:
            try:
                data = os.read(master, 65536)
            except OSError:  # EIO: every holder of the other end has closed it
                return
            if not data:
                return
            chunks.append(data)

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    try:
        proc = subprocess.Popen([machine.launcher] + list(args), cwd=machine.dir, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=slave,
                                start_new_session=True)
    finally:
        os.close(slave)
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        raise AssertionError(f"launcher still running after {timeout}s")
    finally:
        # The started player holds the terminal too, for as long as it runs.
        reader.join(10)
        os.close(master)
    assert not reader.is_alive(), "the terminal was still held open 10 s after the launcher ended"
    return proc.returncode, out.decode("utf-8", "replace"), b"".join(chunks).decode("utf-8", "replace")


def visible_lines(stream):
    """What a terminal shows after the stream: \r, \n and erase-to-end-of-line applied."""
    lines, col, i = [[]], 0, 0
    while i < len(stream):
        if stream.startswith("\x1b[K", i):
            del lines[-1][col:]
            i += 3
            continue
        c = stream[i]
        if c == "\r":
            col = 0
        elif c == "\n":
            lines.append([])
            col = 0
        else:
            line = lines[-1]
            line.extend(" " * (col - len(line)))
            line[col:col + 1] = [c]
            col += 1
        i += 1
    return ["".join(line).rstrip() for line in lines]


def test_terminal_shows_a_live_line_per_download_and_clears_it(machine, host):
    size = slow_down(host)
    rc, out, stream = run_with_terminal_stderr(machine, [PLAY])
    assert rc == 0, stream
    assert out.splitlines()[0] == f"Installing Velmora {V2}"
    assert "\r" not in out and "\x1b" not in out

    # Nothing but drawings and clearings of the one line, and a clearing last.
    segments = SEGMENT.findall(stream)
    assert "".join(f"\r{s}\x1b[K" for s in segments) == stream
    assert segments and segments[-1] == ""

    drawings = [DRAWING.fullmatch(s) for s in segments if s]
    assert all(drawings), [s for s in segments if s and not DRAWING.fullmatch(s)]
    labels = [m["label"] for m in drawings]
    assert set(labels) <= PACKAGES  # the version document is fetched without a line
    slow = [m for m in drawings if m["label"] == SLOW]
    assert len(slow) >= 3, labels  # redrawn in place while the download runs
    done = [float(m["done"]) for m in slow]
    assert done == sorted(done) and done[-1] > done[0], done
    assert {m["total"] for m in slow if m["total"]} == {f"{size / 1e6:.1f}"}

    # Each download's line is cleared before the next one's is drawn.
    previous = None
    for s in segments:
        label = DRAWING.fullmatch(s)["label"] if s else None
        assert label is None or previous in (None, label), (previous, label)
        previous = label

    assert visible_lines(stream) == [""]
    assert machine.installed() == [V2]


def test_no_progress_bytes_when_stderr_is_not_a_terminal(machine, host):
    slow_down(host)
    rc, out, err = machine.run(PLAY)
    assert (rc, err) == (0, "")
    assert out.splitlines()[0] == f"Installing Velmora {V2}"
    assert machine.installed() == [V2]
