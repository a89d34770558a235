"""A real HTTPS server for the download tests: nginx as a foreground child on loopback ports, serving one
root directory. Everything it writes (configuration, pid, logs, temp paths) lives in a directory under
the build tree. Blocks, each on its own port:

  ranges    TLS 1.2 only, byte ranges served (the normal package server)
  norange   TLS 1.2 only, `max_ranges 0`: every Range header is ignored and the whole file sent with 200
  tls13     TLS 1.3 only (a client limited to TLS 1.2 cannot connect)
  tls11     TLS 1.1 only, when this nginx/OpenSSL accepts it (see `tls11_available`)
  rogue     TLS 1.2 with a certificate from a CA that the test prefix does not trust
  capped    as ranges, but each connection sent at 4 MiB/s (`limit_rate 4m`, a CDN's per-connection cap)
  capped-norange  as norange, at 4 MiB/s

`locations` (nginx text) goes into every block beside `location /`, for tests with rules of their own on
some paths (redirects, headers). The access log has one JSON object per request: block, uri, range
header, status, body bytes sent, and the request's end (`msec`, Unix seconds) and duration (`seconds`).
"""
import json
import os
import shutil
import socket
import subprocess
import time

NGINX = "/usr/sbin/nginx"
HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))

BLOCKS = ("ranges", "norange", "tls13", "tls11", "rogue", "capped", "capped-norange")


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def ensure_certs(build_dir):
    """The rig's certificates; made on first use when the rig has not made them yet."""
    certs = os.path.join(build_dir, "rig", "certs")
    if not os.path.exists(os.path.join(certs, "server.pem")) or not os.path.exists(
            os.path.join(certs, "rogue.pem")):
        subprocess.run([os.path.join(SOURCE, "tests", "rig", "certs.sh"), certs], check=True,
                       stdout=subprocess.DEVNULL)
    return certs


def _server_block(name, port, protocols, cert, key, root, extra="", ciphers=None, locations=""):
    lines = [
        "    server {",
        "        listen 127.0.0.1:%d ssl;" % port,
        "        server_name localhost;",
        "        ssl_certificate %s;" % cert,
        "        ssl_certificate_key %s;" % key,
        "        ssl_protocols %s;" % protocols,
    ]
    if ciphers:
        lines.append("        ssl_ciphers %s;" % ciphers)
    lines += [
        "        set $tov_block %s;" % name,
        "        location / { root %s; %s }" % (root, extra),
        "        " + locations,
        "    }",
    ]
    return "\n".join(lines) + "\n"


class Nginx:
    """nginx serving `root` until stop(). `url(path, block)` gives https://localhost:PORT/path."""

    def __init__(self, root, build_dir, name="nginx", tls11=True, locations=""):
        self.root = os.path.abspath(root)
        self.locations = locations
        self.build_dir = build_dir
        self.dir = os.path.join(build_dir, "servers", name)
        self.want_tls11 = tls11
        self.process = None
        self.ports = {}
        self.tls11_available = False

    # ---- configuration ----

    def _config(self, blocks):
        certs = ensure_certs(self.build_dir)
        server_pem, server_key = os.path.join(certs, "server.pem"), os.path.join(certs, "server.key")
        rogue_pem, rogue_key = os.path.join(certs, "rogue.pem"), os.path.join(certs, "rogue.key")
        settings = {
            "ranges": ("TLSv1.2", server_pem, server_key, "", None),
            "norange": ("TLSv1.2", server_pem, server_key, "max_ranges 0;", None),
            "tls13": ("TLSv1.3", server_pem, server_key, "", None),
            # OpenSSL 3 allows TLS 1.1 only at security level 0.
            "tls11": ("TLSv1.1", server_pem, server_key, "", "DEFAULT:@SECLEVEL=0"),
            "rogue": ("TLSv1.2", rogue_pem, rogue_key, "", None),
            "capped": ("TLSv1.2", server_pem, server_key, "limit_rate 4m;", None),
            "capped-norange": ("TLSv1.2", server_pem, server_key, "max_ranges 0; limit_rate 4m;", None),
        }
        d = self.dir
        text = [
            "user root;\n" if os.geteuid() == 0 else "",
            "daemon off;\nmaster_process on;\nworker_processes 1;\n",
            "pid %s/nginx.pid;\nerror_log %s/error.log warn;\n" % (d, d),
            "events { worker_connections 256; }\n",
            "http {\n",
            "    default_type application/octet-stream;\n",
            "    sendfile on;\n    keepalive_timeout 10;\n",
            "    client_body_temp_path %s/tmp/body;\n    proxy_temp_path %s/tmp/proxy;\n" % (d, d),
            "    fastcgi_temp_path %s/tmp/fastcgi;\n    uwsgi_temp_path %s/tmp/uwsgi;\n" % (d, d),
            "    scgi_temp_path %s/tmp/scgi;\n" % d,
            "    log_format tov escape=json '{\"block\":\"$tov_block\",\"uri\":\"$request_uri\","
            "\"range\":\"$http_range\",\"status\":$status,\"bytes\":$body_bytes_sent,"
            "\"agent\":\"$http_user_agent\",\"msec\":$msec,\"seconds\":$request_time}';\n",
            "    access_log %s/access.log tov;\n" % d,
        ]
        for name in blocks:
            protocols, cert, key, extra, ciphers = settings[name]
            text.append(_server_block(name, self.ports[name], protocols, cert, key, self.root, extra, ciphers,
                                      self.locations))
        text.append("}\n")
        return "".join(text)

    def _write_and_test(self, blocks):
        with open(os.path.join(self.dir, "nginx.conf"), "w") as out:
            out.write(self._config(blocks))
        result = subprocess.run([NGINX, "-t", "-p", self.dir, "-c", os.path.join(self.dir, "nginx.conf"),
                                 "-e", os.path.join(self.dir, "error.log")],
                                capture_output=True, text=True)
        return result.returncode == 0, result.stderr

    # ---- life cycle ----

    def start(self):
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(os.path.join(self.dir, "tmp"))
        blocks = [b for b in BLOCKS if b != "tls11" or self.want_tls11]
        self.ports = {name: free_port() for name in blocks}
        ok, errors = self._write_and_test(blocks)
        if not ok and "tls11" in blocks:
            blocks.remove("tls11")
            del self.ports["tls11"]
            ok, errors = self._write_and_test(blocks)
        if not ok:
            raise RuntimeError("nginx refused its configuration:\n" + errors)
        self.process = subprocess.Popen(
            [NGINX, "-p", self.dir, "-c", os.path.join(self.dir, "nginx.conf"), "-e",
             os.path.join(self.dir, "error.log")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 15
        pending = set(self.ports.values())
        while pending:
            if self.process.poll() is not None:
                raise RuntimeError("nginx ended at start:\n" + self.error_log())
            for port in list(pending):
                try:
                    with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                        pending.discard(port)
                except OSError:
                    pass
            if pending and time.time() > deadline:
                self.stop()
                raise RuntimeError("nginx did not listen on %s" % sorted(pending))
            if pending:
                time.sleep(0.05)
        self.tls11_available = "tls11" in self.ports and self._handshakes("tls11", "-tls1_1")
        return self

    def _handshakes(self, block, flag):
        """Whether an OpenSSL client can complete a handshake with the block using the given protocol."""
        result = subprocess.run(
            ["openssl", "s_client", flag, "-cipher", "DEFAULT:@SECLEVEL=0", "-connect",
             "127.0.0.1:%d" % self.ports[block], "-servername", "localhost"],
            input=b"", capture_output=True, timeout=20)
        return result.returncode == 0 and b"Cipher is (NONE)" not in result.stdout

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # ---- use ----

    def url(self, path, block="ranges"):
        return "https://localhost:%d/%s" % (self.ports[block], path.lstrip("/"))

    def error_log(self):
        path = os.path.join(self.dir, "error.log")
        return open(path).read() if os.path.exists(path) else ""

    def access_entries(self):
        """All requests so far, oldest first, as dicts: block, uri, range, status, bytes, agent."""
        path = os.path.join(self.dir, "access.log")
        if not os.path.exists(path):
            return []
        with open(path) as log:
            return [json.loads(line) for line in log if line.strip()]

    def mark(self):
        """A position in the access log; `entries_since(mark)` gives the requests after it."""
        return len(self.access_entries())

    def entries_since(self, mark):
        return self.access_entries()[mark:]
