"""Networks outside a data centre: transfers that break and are taken up again, a host that does
not answer, and the user's proxy."""
import os
import socket
import time

import pytest

from conftest import PLAY, V1, V2, complete_tree, testlib

ARCHIVE = f"{V2}-content-sky.zip"
TRYING = "warning: {}: {}; trying again\n"
RESET, CUT, HTTP = ("Failure when receiving data from the peer", "Transferred a partial file",
                    "HTTP response code said error")


def retried(size):
    """(fault, what the host answers each attempt, the warnings) of faults that pass."""
    half, quarter = size // 2, size // 4
    return {
        # The second attempt resumes where the first broke off, and meets the reset at once.
        "reset twice mid-body": ({"reset_after": half, "times": 2}, [200, 206, 206], [RESET] * 2),
        # A host that ignores the range sends it all again; the archive starts over.
        "reset, no ranges": ({"reset_after": half, "times": 2, "no_ranges": True},
                             [200, 200, 206], [RESET] * 2),
        "cut once": ({"truncate": half, "times": 1}, [200, 206], [CUT]),
        "busy twice": ({"status": 503, "times": 2}, [503, 503, 200], [HTTP] * 2),
        "too many requests": ({"status": 429, "times": 1}, [429, 200], [HTTP]),
        # Answers that end well before the whole body has come; the bytes kept stay.
        "cut, then an empty whole answer": ([{"truncate": half}, {"body": ""}], [200, 200, 206],
                                            [CUT, f"the host answered with 0 bytes after sending {half}"]),
        "cut, then a short range": ([{"truncate": half}, {"range_limit": quarter}], [200, 206, 206],
                                    [CUT, f"the host sent {half + quarter} of {size} bytes"]),
        # More than its Content-Range, with no Content-Length to stop it: the archive starts over.
        "cut, then a long range": ([{"truncate": half}, {"overlong": 1000}], [200, 206, 200],
                                   [CUT, "the host sent more than it announced"]),
        # Its rest would splice two files into one: the next attempt starts over.
        "cut, then the file replaced": ([{"truncate": half}, {"file": f"{V1}-content-sky.zip"}],
                                        [200, 206, 200], [CUT, "the file changed on the host during "
                                                               "the transfer"]),
    }


CASES = [(ARCHIVE, what) for what in retried(0)] + [("version", "cut, then a short range")]


@pytest.mark.parametrize("path,what", CASES, ids=[f"{p[-15:]}: {w}" for p, w in CASES])
def test_transient_faults_are_retried_and_the_install_is_whole(machine, host, releases, path, what):
    fault, answers, warnings = retried(os.path.getsize(os.path.join(host.root, path)))[what]
    host.set_faults({path: fault})
    rc, out, err = machine.run(PLAY)
    name = path.removeprefix(V2 + "-")
    assert (rc, out, err) == (0, f"Installing Velmora {V2}\n",
                              "".join(TRYING.format(name, w) for w in warnings))
    assert [r.status for r in host.requests() if r.path == "/" + path] == answers
    assert machine.installed() == [V2] and machine.tree(V2) == complete_tree(releases, V2)


def test_a_host_that_never_answers_falls_back_within_the_bound(machine, host, build):
    machine.on(host, V1)
    host.stop()
    # Connections are taken by the kernel but nobody ever answers the TLS handshake.
    with socket.create_server(("127.0.0.1", testlib.PORT)):
        began = time.monotonic()
        rc, out, err = machine.run(PLAY, timeout=30)
        took = time.monotonic() - began
    assert (rc, out) == (0, "") and err.endswith(f"; starting the installed {V1}\n") and "Timeout was reached" in err
    # The dev build bounds the version request at 4 s (15 s in a release).
    assert took < 4 + 2 and os.path.basename(machine.records(2)[-1]["cwd"]) == V1, took


@pytest.mark.parametrize("bypass", [False, True], ids=["through the proxy", "no_proxy"])
def test_environment_proxy_is_used(machine, host, releases, proxy, bypass):
    env = {"https_proxy": f"http://127.0.0.1:{testlib.PORT + 1}",
           "no_proxy": "localhost" if bypass else None}
    machine.ok(PLAY, env_extra=env)
    assert machine.tree(V2) == complete_tree(releases, V2)
    tunnels = proxy.read_text().count(f"CONNECT localhost:{testlib.PORT} ")
    assert tunnels == (0 if bypass else host.connections()) and 0 < host.connections() <= 10


@pytest.mark.parametrize("fault,message", [
    ({"status": 404}, "download of {url} failed: " + HTTP),
    # Checked against the signed release as it arrives, before it could be unpacked.
    ({"body": "not a zip"}, "content-fonts.zip does not match the signed release"),
], ids=["download", "refused"])
def test_the_first_failure_ends_the_other_transfers_at_once(machine, host, fault, message):
    failing, slow = f"{V2}-content-fonts.zip", f"{V2}-content-music.zip"
    # Alone, the slow package would take ten seconds.
    host.set_faults({failing: fault, slow: {"rate": os.path.getsize(os.path.join(host.root, slow)) // 10}})
    began = time.monotonic()
    rc, out, err = machine.run(PLAY)
    assert rc == 1 and err.startswith("Velmora launcher: " + message.format(url=host.url + failing)), err
    assert time.monotonic() - began < 2 and machine.installed() == [V2 + ".partial"]
