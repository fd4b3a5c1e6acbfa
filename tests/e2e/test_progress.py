"""The download progress line on standard error: redrawn in place on a terminal, absent otherwise."""
import os
import pty
import random
import re
import signal
import subprocess
import threading
import tty

from conftest import PLAY, V2, make_release, reseal

SLOW = "content-sky.zip"
# One drawing: back to the line start, the text, erase what a longer one left.
SEGMENT = re.compile(r"\r([^\r\n\x1b]*)\x1b\[K")
DRAWING = re.compile(r"(?P<label>[^:]+): (?P<done>\d+\.\d) MB( of (?P<total>\d+\.\d) MB)?"
                     r"(, \d+\.\d MB/s)?")


def slow_down(host, size=3_000_000, seconds=1.5):
    """Serves a package big enough for moving figures, paced; returns its size."""
    path = os.path.join(host.root, f"{V2}-{SLOW}")
    package = make_release.Package()
    package.add_random("sky.bin", size, random.Random(7))
    package.write(path)
    reseal(host.root, V2)
    host.set_faults({f"{V2}-{SLOW}": {"rate": int(os.path.getsize(path) / seconds)}})
    return os.path.getsize(path)


def test_terminal_shows_a_live_line_per_download_and_clears_it(machine, host):
    size = slow_down(host)
    master, slave = pty.openpty()
    tty.setraw(slave)  # the bytes exactly as written
    chunks = []

    def drain():
        try:
            while data := os.read(master, 65536):
                chunks.append(data)
        except OSError:  # EIO: every holder of the other end has closed it
            pass

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    proc = machine.start(PLAY, stdout=subprocess.PIPE, stderr=slave)
    os.close(slave)
    try:
        out = proc.communicate(timeout=60)[0].decode()
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
    reader.join(10)  # the started player holds the terminal too while it runs
    os.close(master)
    assert proc.returncode == 0 and not reader.is_alive()
    assert out.splitlines()[0] == f"Installing Velmora {V2}" and "\r" not in out and "\x1b" not in out

    # Nothing but drawings and clearings of the one line, and a clearing last.
    stream = b"".join(chunks).decode()
    segments = SEGMENT.findall(stream)
    assert "".join(f"\r{s}\x1b[K" for s in segments) == stream and segments[-1] == "", stream
    drawings = [DRAWING.fullmatch(s) for s in segments if s]
    assert all(drawings), segments
    # The version document is fetched without a line.
    assert {m["label"] for m in drawings} <= {name for name, _ in make_release.PLAYER_ARCHIVES}
    slow = [m for m in drawings if m["label"] == SLOW]
    done = [float(m["done"]) for m in slow]
    assert len(slow) >= 3 and done == sorted(done) and done[-1] > done[0], done
    assert {m["total"] for m in slow if m["total"]} == {f"{size / 1e6:.1f}"}
    # Each download's line is cleared before the next one's is drawn.
    for a, b in zip(segments, segments[1:]):
        assert not (a and b) or DRAWING.fullmatch(a)["label"] == DRAWING.fullmatch(b)["label"]
    assert machine.installed() == [V2]


def test_no_progress_bytes_when_stderr_is_not_a_terminal(machine, host):
    slow_down(host)
    assert machine.ok(PLAY).splitlines()[0] == f"Installing Velmora {V2}"
