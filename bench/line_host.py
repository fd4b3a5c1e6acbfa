"""nginx in a network namespace of its own, behind a player's line (bench/line.c), reached
from here at localhost:port through a relay, as the launcher only ever asks for localhost.

The relay ends each connection on loopback and opens one across the line for it, so every
connection the launcher opens is one connection over the line, with its own handshakes, slow
start and losses. Same face as nginx_host.NginxHost.
"""
import os
import socket
import subprocess
import threading

import nginx_host

NEAR, FAR = "10.77.0.1", "10.77.0.2"


def _run(*cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)


def _pump(source, target):
    try:
        while data := source.recv(1 << 16):
            target.sendall(data)
        target.shutdown(socket.SHUT_WR)
    except OSError:
        pass


class LineHost:
    name = "line"

    def __init__(self, root, line, rate_bits, rtt, loss, port, cert, key):
        self.root, self.line, self.port, self.cert, self.key = root, line, port, cert, key
        self.rate_bits, self.rtt, self.loss = rate_bits, rtt, loss
        self.procs, self.relay, self.nginx, self.carried = [], None, None, ""

    def start(self):
        if not os.path.exists(self.line):
            raise RuntimeError(f"no line program at {self.line} (scripts/bench.sh builds it)")
        far = subprocess.Popen(["unshare", "-n", "sleep", "infinity"])
        self.procs.append(far)
        # A bottleneck queue of one round trip's bytes, as many home routers have.
        queue = int(self.rate_bits / 8 * self.rtt)
        line = subprocess.Popen(
            [self.line, "vnear", "vfar", str(self.rate_bits), str(self.rtt / 2 * 1e3),
             str(int(self.loss * 1e6)), str(queue)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.procs.append(line)
        if line.stdout.readline() != b"ready\n":
            raise RuntimeError(f"the line did not start: {line.stderr.read().decode()}")
        inside = ["nsenter", "-t", str(far.pid), "-n"]
        _run("ip", "link", "set", "vfar", "netns", str(far.pid))
        _run("ip", "addr", "add", f"{NEAR}/30", "dev", "vnear")
        _run("ip", "link", "set", "vnear", "up")
        _run(*inside, "ip", "link", "set", "lo", "up")
        _run(*inside, "ip", "addr", "add", f"{FAR}/30", "dev", "vfar")
        _run(*inside, "ip", "link", "set", "vfar", "up")
        self.nginx = nginx_host.NginxHost(self.root, port=self.port, cert=self.cert, key=self.key,
                                          listen=[FAR], prefix=inside).start()
        self.relay = socket.create_server(("127.0.0.1", self.port))
        threading.Thread(target=self._accept, daemon=True).start()
        return self

    def _accept(self):
        while True:
            try:
                near, _ = self.relay.accept()
            except OSError:
                return
            threading.Thread(target=self._carry, args=(near,), daemon=True).start()

    def _carry(self, near):
        try:
            far = socket.create_connection((FAR, self.port), 10)
        except OSError:
            near.close()
            return
        far.settimeout(None)
        for s in (near, far):
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        back = threading.Thread(target=_pump, args=(far, near), daemon=True)
        back.start()
        _pump(near, far)
        back.join()
        near.close()
        far.close()

    def stop(self):
        if self.relay:
            self.relay.close()
        if self.nginx:
            self.nginx.__exit__()
        for proc in reversed(self.procs):
            if proc.stdin:
                proc.stdin.close()  # the line says what it carried and ends
                self.carried = proc.stderr.read().decode().strip()
            else:
                proc.kill()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        self.procs = []

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def requests(self):
        return self.nginx.requests()

    def clear_requests(self):
        self.nginx.clear_requests()

    def connections(self):
        return self.nginx.connections()
