"""A static HTTPS host as players meet one: Debian's nginx serving a folder on loopback.

The same face as testlib.SetupHost for what a static server can do (start/stop or a context
manager, url, requests(), clear_requests(), connections()); faults are the Python host's alone.
Ranges and keep-alive are on, as on a CDN; ranges=False answers every range with the whole file.
"""
import os
import shutil
import socket
import subprocess
import tempfile
import time

from testlib import PORT, Certs, Request, stop_child

NGINX = shutil.which("nginx") or "/usr/sbin/nginx"

CONFIG = """\
daemon off;
master_process off;
worker_processes 1;
pid {tmp}/nginx.pid;
error_log {tmp}/error.log warn;
events {{ worker_connections 512; }}
http {{
    types {{ application/zip zip; text/plain txt minisig; }}
    default_type application/octet-stream;
    log_format velmora '$request_method $uri $status $http_range $connection_requests';
    access_log {tmp}/access.log velmora;
    client_body_temp_path {tmp}/body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 60s;
    keepalive_requests 10000;
    server {{
{listen}
        server_name localhost;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        ssl_protocols TLSv1.2 TLSv1.3;
        root {root};
        {ranges}
        location / {{ try_files $uri =404; }}
    }}
}}
"""


def _ipv6():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


class NginxHost:
    def __init__(self, root, port=PORT, cert=None, key=None, ranges=True, listen=None, prefix=()):
        """`listen`: addresses instead of loopback's; `prefix`: a command nginx runs under
        (another network namespace's, for the benchmark)."""
        if cert is None:
            cert, key = Certs.session().localhost
        self.root, self.port, self.cert, self.key, self.ranges = root, port, cert, key, ranges
        self.listen, self.prefix = listen, list(prefix)
        self.proc = None

    name = "nginx"

    @property
    def url(self):
        return f"https://localhost:{self.port}/"

    def start(self, timeout=10):
        if not os.path.exists(NGINX):
            raise RuntimeError("nginx is not installed (scripts/install-deps.sh)")
        self._tmp = tempfile.mkdtemp(prefix="velmora-nginx-")
        addresses = self.listen or ["127.0.0.1"] + (["[::1]"] if _ipv6() else [])
        config = os.path.join(self._tmp, "nginx.conf")
        with open(config, "w") as f:
            f.write(CONFIG.format(
                tmp=self._tmp, cert=os.path.abspath(self.cert), key=os.path.abspath(self.key),
                root=os.path.abspath(self.root),
                listen="\n".join(f"        listen {a}:{self.port} ssl;" for a in addresses),
                ranges="" if self.ranges else "max_ranges 0;"))
        self._log = os.path.join(self._tmp, "access.log")
        open(self._log, "w").close()
        self.proc = subprocess.Popen(
            self.prefix + [NGINX, "-p", self._tmp, "-e", os.path.join(self._tmp, "error.log"), "-c", config],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + timeout
        while True:
            try:
                socket.create_connection((addresses[0].strip("[]"), self.port), 0.2).close()
                return self
            except OSError:
                pass
            if self.proc.poll() is not None or time.monotonic() > deadline:
                msg = self.errors()
                self.stop()
                shutil.rmtree(self._tmp, True)
                raise RuntimeError(f"nginx did not start: {msg}")
            time.sleep(0.02)

    def stop(self):
        stop_child(self.proc)
        self.proc = None

    def errors(self):
        try:
            with open(os.path.join(self._tmp, "error.log")) as f:
                return f.read()
        except OSError:
            return ""

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        shutil.rmtree(self._tmp, True)

    def _lines(self):
        with open(self._log) as f:
            return [line.split() for line in f]

    def requests(self):
        return [Request(m, p, int(s), r) for m, p, s, r, _ in self._lines()]

    def clear_requests(self):
        # nginx keeps the log open for appending: emptied in place, never replaced.
        open(self._log, "w").close()

    def connections(self):
        """Connections that made a request (nginx logs no others)."""
        return sum(1 for *_, n in self._lines() if n == "1")
