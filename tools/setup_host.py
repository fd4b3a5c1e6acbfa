#!/usr/bin/python3
"""Threaded HTTPS file server standing in for the setup host, with injectable faults.

Faults live in ROOT/_faults.json (re-read per request), keyed by request path without the
leading slash or "*" (used for paths without their own entry). "times": N limits a fault
to the first N matching requests after the file last changed; a list of faults gives the n-th
request the n-th and later ones none. Byte counts of faults are offsets in the file, so a
resumed request that starts at or past one meets it at once. Files are served with single
"bytes=N-[M]" ranges (206), at most "range_limit" bytes of them, from "range_from" if given
(another start than asked), unless the fault says
"no_ranges"; "file" serves another file in its place, "pad": N sends N blanks after a whole
body, "filler": N bytes as the body of a "status" or "redirect" answer, "overlong": N more bytes than a
range's Content-Range says, without a Content-Length, "cut_ranges": N closes every range answer
after N bytes of its body, "header": N adds a header of N bytes to the answer, "ranges_only" keeps
the fault to requests with a Range header. Every request is
appended to ROOT/_requests.log as "METHOD PATH STATUS RANGE" (RANGE: the Range header asked,
or "-"), every accepted connection to
ROOT/_connections.log as "tls" or "plain".
"""
import argparse
import http.server
import json
import os
import re
import signal
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.parse

CHUNK = 1 << 20
QUIET_ERRORS = (ConnectionError, TimeoutError, ssl.SSLError, socket.timeout)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VelmoraSetupHost/1"
    timeout = 60

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        self._serve(head=False)

    def do_HEAD(self):
        self._serve(head=True)

    def _serve(self, head):
        srv = self.server.state
        key = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path).lstrip("/")
        fault = srv.fault_for(key)
        if fault.get("ranges_only") and not self.headers.get("Range"):
            fault = {}
        self.fault = fault
        delay = float(fault.get("delay", srv.delay))
        if delay and srv.stopping.wait(delay):
            self.close_connection = True
            return
        if "status" in fault or "redirect" in fault:
            status = int(fault.get("status", fault.get("code", 302)))
            headers = {"Location": fault["redirect"]} if "redirect" in fault else {}
            if "filler" in fault:
                self._start(status, int(fault["filler"]), "text/html", headers)
                return None if head else self._send(_filler(int(fault["filler"])), int(fault["filler"]),
                                                    None)
            return self._small(status, b"" if "redirect" in fault else _html(status), head, headers)
        if "body" in fault:
            data = fault["body"].encode()
            payload, size, ctype = (lambda: iter([data])), len(data), "text/plain"
        else:
            path = srv.resolve(fault.get("file", key))
            if path is None:
                return self._small(404, _html(404), head)
            size = os.path.getsize(path)
            ctype = "application/zip" if path.endswith(".zip") else "text/plain"
            ranged = None if fault.get("no_ranges") else _range(self.headers.get("Range"), size)
            if ranged == "unsatisfiable":
                return self._small(416, b"", head, {"Content-Range": f"bytes */{size}"})
            if ranged:
                first, last = ranged
                first = int(fault.get("range_from", first))  # another start than asked
                last = min(last, first + int(fault.get("range_limit", size)) - 1)
                payload = lambda: _file_chunks(path, first, last + 1 - first)
                if "overlong" in fault:
                    # No Content-Length, more bytes than the Content-Range, then the close.
                    self._start(206, None, ctype, {"Content-Range": f"bytes {first}-{last}/{size}"})
                    self.close_connection = True
                    if not head:
                        extra = int(fault["overlong"])
                        body = (c for part in (payload(), _filler(extra)) for c in part)
                        self._send(body, last + 1 - first + extra, None)
                        _close_notify(self.connection)
                    return None
                limit = next((int(fault[k]) for k in ("reset_after", "truncate", "stall_after")
                              if k in fault), size)
                if "cut_ranges" in fault:
                    limit = first + int(fault["cut_ranges"])
                self._start(206, last + 1 - first, ctype,
                            {"Content-Range": f"bytes {first}-{last}/{size}"})
                return None if head else self._finish(fault, payload(), max(0, limit - first),
                                                      last + 1 - first)
            payload = lambda: _file_chunks(path)
        if "pad" in fault:
            body, size = payload, size + int(fault["pad"])
            payload = lambda: (c for part in (body(), _filler(int(fault["pad"]), b" ")) for c in part)
        self._start(200, size, ctype)
        if head:
            return
        limit = next((int(fault[k]) for k in ("reset_after", "truncate", "stall_after") if k in fault), size)
        self._finish(fault, payload(), limit, size)

    def _finish(self, fault, chunks, limit, size):
        """Sends the body, or limit bytes of it and then the fault."""
        srv = self.server.state
        sent = self._send(chunks, limit, fault.get("rate", srv.rate))
        if sent is None or sent >= size:
            return
        self.close_connection = True
        if "reset_after" in fault:
            # As on a real line, the client has taken what was sent before the reset comes:
            # a reset discards what is still in the client's receive buffer.
            if sent and srv.stopping.wait(0.2):
                return
            # Linger 0 makes close() send RST instead of FIN.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
        elif "stall_after" in fault:
            srv.stopping.wait(float(fault.get("stall_for", 120)))
        elif isinstance(self.connection, ssl.SSLSocket):
            _close_notify(self.connection)

    def _start(self, status, length, ctype, headers=None):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        if "header" in self.fault:
            self.send_header("X-Filler", "x" * int(self.fault["header"]))
        if length is not None:
            self.send_header("Content-Length", str(length))
        for k, v in (headers or {}).items():
            self.send_header(k, v)
        # Logged before the client sees a byte: a start that ends on this answer may be
        # checked against the log the moment it exits.
        asked = (self.headers.get("Range") or "-").replace(" ", "")
        self.server.state.log_request_line(self.command, self.path, status, asked)
        self.end_headers()

    def _small(self, status, body, head, headers=None):
        self._start(status, len(body), "text/html", headers)
        if not head:
            self.wfile.write(body)

    def _send(self, chunks, limit, rate):
        """Sends up to limit bytes, paced to rate bytes/s if given; None if the server stops."""
        sent, t0 = 0, time.monotonic()
        step = max(1, int(rate) // 20) if rate else CHUNK
        for chunk in chunks:
            for i in range(0, len(chunk), step):
                piece = chunk[i:i + min(step, limit - sent)]
                if not piece:
                    return sent
                if rate:
                    ahead = sent / float(rate) - (time.monotonic() - t0)
                    if ahead > 0 and self.server.state.stopping.wait(ahead):
                        return None
                self.wfile.write(piece)
                sent += len(piece)
        return sent


def _html(status):
    return f"<html><body><h1>{status}</h1></body></html>\n".encode()


def _range(header, size):
    """(first, last) byte asked for by a single-range header, "unsatisfiable", or None."""
    m = re.fullmatch(r"bytes=(\d+)-(\d*)", (header or "").strip())
    if not m:
        return None
    first = int(m[1])
    last = min(int(m[2]), size - 1) if m[2] else size - 1
    return (first, last) if first <= last else "unsatisfiable"


def _filler(size, byte=b"x"):
    while size > 0:
        yield byte * min(CHUNK, size)
        size -= CHUNK


def _file_chunks(path, start=0, length=None):
    with open(path, "rb") as f:
        f.seek(start)
        left = os.path.getsize(path) - start if length is None else length
        while left > 0 and (chunk := f.read(min(CHUNK, left))):
            left -= len(chunk)
            yield chunk


def _close_notify(conn):
    try:
        conn.settimeout(1)
        conn.unwrap()
    except (OSError, ValueError):
        pass


class Server(http.server.ThreadingHTTPServer):
    # Ten connections at once must not wait for a retransmitted handshake.
    request_queue_size = 64
    daemon_threads = True
    allow_reuse_address = True
    block_on_close = False

    def __init__(self, addr, family, state):
        self.address_family = family
        self.state = state
        super().__init__(addr, Handler)

    def server_bind(self):
        if self.address_family == socket.AF_INET6:
            self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        super().server_bind()

    def finish_request(self, request, client_address):
        # TLS handshake happens here, in the connection's thread, so a slow or failing
        # client never holds up accept().
        conn = request
        try:
            request.settimeout(Handler.timeout)
            # As real hosts do: headers and body go out at once, not 40 ms apart (Nagle's
            # algorithm waiting on a delayed acknowledgement).
            request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if self.state.ctx:
                conn = self.state.ctx.wrap_socket(request, server_side=True)
            self.state.log_connection("tls" if self.state.ctx else "plain")
            Handler(conn, client_address, self)
        except QUIET_ERRORS:
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], QUIET_ERRORS):
            super().handle_error(request, client_address)


class State:
    """Shared by the IPv4 and IPv6 listeners."""

    def __init__(self, root, ctx, rate=None, delay=0.0):
        self.root = os.path.realpath(root)
        self.ctx = ctx
        self.rate, self.delay = rate, delay
        self.stopping = threading.Event()
        self.lock = threading.Lock()
        self.faults_stamp = None
        self.counts = {}

    def resolve(self, key):
        path = os.path.realpath(os.path.join(self.root, key))
        if not path.startswith(self.root + os.sep) or not os.path.isfile(path):
            return None
        return path

    def fault_for(self, key):
        try:
            with open(os.path.join(self.root, "_faults.json"), "rb") as f:
                raw = f.read()
                stamp = (os.fstat(f.fileno()).st_mtime_ns, raw)
            faults = json.loads(raw or b"{}")
        except FileNotFoundError:
            return {}
        which = key if key in faults else "*"
        fault = faults.get(which, {})
        if "times" in fault or isinstance(fault, list):
            with self.lock:
                if stamp != self.faults_stamp:
                    self.faults_stamp, self.counts = stamp, {}
                self.counts[which] = self.counts.get(which, 0) + 1
                count = self.counts[which]
            if isinstance(fault, list):
                return fault[count - 1] if count <= len(fault) else {}
            if count > int(fault["times"]):
                return {}
        return fault

    def log_connection(self, kind):
        with self.lock, open(os.path.join(self.root, "_connections.log"), "a") as f:
            f.write(kind + "\n")

    def log_request_line(self, method, path, status, asked="-"):
        with self.lock, open(os.path.join(self.root, "_requests.log"), "a") as f:
            f.write(f"{method} {path} {status} {asked}\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--root", required=True)
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--cert")
    ap.add_argument("--key")
    ap.add_argument("--bind", help="one address; default: 127.0.0.1 and ::1")
    ap.add_argument("--plain", action="store_true", help="plain HTTP, no TLS")
    ap.add_argument("--ready-file")
    ap.add_argument("--rate", type=int, help="bytes a second each response is paced to")
    ap.add_argument("--delay", type=float, default=0.0, help="seconds before each response")
    a = ap.parse_args()

    ctx = None
    if not a.plain:
        if not a.cert:
            ap.error("--cert is required unless --plain")
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(a.cert, a.key)
    state = State(a.root, ctx, a.rate, a.delay)

    servers = []
    port = a.port
    for addr in [a.bind] if a.bind else ["127.0.0.1", "::1"]:
        family = socket.AF_INET6 if ":" in addr else socket.AF_INET
        try:
            servers.append(Server((addr, port), family, state))
        except OSError as e:
            if a.bind or not servers:
                sys.exit(f"setup_host: cannot listen on {addr}:{port}: {e}")
            continue  # no IPv6 on this machine: IPv4 alone will do
        port = servers[0].server_address[1]

    signal.signal(signal.SIGTERM, lambda *_: state.stopping.set())
    signal.signal(signal.SIGINT, lambda *_: state.stopping.set())
    for s in servers:
        threading.Thread(target=s.serve_forever, args=(0.2,), daemon=True).start()
    if a.ready_file:
        tmp = a.ready_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(f"{port}\n")
        os.replace(tmp, a.ready_file)
    else:
        print("ready", port, flush=True)
    while not state.stopping.wait(0.5):
        pass
    for s in servers:
        s.shutdown()
        s.server_close()


if __name__ == "__main__":
    main()
