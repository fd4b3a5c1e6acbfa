"""The install's progress line on standard error: redrawn in place on a terminal, absent otherwise."""
import os
import pty
import random
import re
import subprocess
import threading
import tty

from conftest import PLAY, V2, archives_size, kill, make_release, reseal

# One drawing: back to the line start, the text, erase what a longer one left.
SEGMENT = re.compile(r"\r([^\r\n\x1b]*)\x1b\[K")
DRAWING = re.compile(r"Downloading: (?P<done>\d+\.\d)( MB| of (?P<total>\d+\.\d) MB \(\d+ %\))(, \d+\.\d MB/s)?"
                     r"(, about \d+ (s|min) left)?")


def test_terminal_shows_one_live_line_for_the_install_and_clears_it(machine, host):
    # A package big enough for moving figures, paced to take 1.5 s.
    path = os.path.join(host.root, f"{V2}-content-sky.zip")
    package = make_release.Package()
    package.add_random("sky.bin", 3_000_000, random.Random(7))
    package.write(path)
    reseal(host.root, V2)
    host.set_faults({os.path.basename(path): {"rate": int(os.path.getsize(path) / 1.5)}})
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
        kill(proc)
    reader.join(10)  # the started player holds the terminal too while it runs
    os.close(master)
    assert proc.returncode == 0 and not reader.is_alive()
    assert out.splitlines()[0] == f"Installing Velmora {V2}" and "\r" not in out and "\x1b" not in out
    # Nothing but drawings and clearings of the one line for all packages (the version document
    # has none), cleared only at the end.
    stream = b"".join(chunks).decode()
    segments = SEGMENT.findall(stream)
    assert "".join(f"\r{s}\x1b[K" for s in segments) == stream and segments[-1] == "", stream
    drawings = [DRAWING.fullmatch(s) for s in segments[:-1]]
    assert all(drawings), segments
    done = [float(m["done"]) for m in drawings]
    assert len(done) >= 3 and done == sorted(done) and done[-1] > done[0], done
    # The total appears once every package's size is known.
    assert {m["total"] for m in drawings if m["total"]} == {f"{archives_size(host.root, V2) / 1e6:.1f}"}
    assert machine.installed() == [V2]
