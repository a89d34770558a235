"""A fault-injecting HTTPS server for the download tests (TLS 1.2 only, threaded, loopback).

Start it in the test process (`FaultServer(build_dir).start()`); it runs in a thread, and the test reads
what it saw from `requests` (one `Served` record per request) and `connections` (TCP connections
accepted). Files are registered with `add(name, data)` and served at /name. The query selects a fault,
so one server serves many cases:

  (none)              ranges served normally (206), whole file with 200 otherwise
  mode=range200       the probe `bytes=0-0` gets 206, every other range the whole file with 200
  mode=norange        every request gets the whole file with 200
  mode=break&n=N      the first request for each range end sends only N bytes of it, then closes
  mode=extra&n=N      the first request for each range end sends N bytes more than asked
  mode=status&code=C[&body=B]   answers C with a body of B bytes (default 0)
  mode=stall&s=S      waits S seconds before answering
  mode=stall&s=S&at=N answers 200 with the file, sends N bytes of the body, then waits S seconds
  mode=redirect&to=URL          302 to URL
  mode=echo           200 with the request target as body

`routes[path] = "mode=..."` gives a fault to a path whose URL is fixed (no query of its own).

Any of the modes can also be held at a gate that the test opens (`release(gate)`), so that the client
is caught at a known point of a transfer:

  hold=GATE           the request waits for the gate before it is answered
  holdat=N            ... or after N bytes of its body instead
  holdon=WHICH        only requests of one kind wait: probe (Range bytes=0-0), range (any other Range),
                      plain (no Range header); default any
`held(gate)` counts the requests waiting or released at a gate.
"""
import os
import socket
import ssl
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))


class Served:
    """One request as the server saw it, and how many body bytes it managed to send."""

    def __init__(self, path, query, range_header, agent):
        self.path = path
        self.query = query
        self.range = range_header
        self.agent = agent
        self.status = None
        self.bytes_sent = 0
        self.broken = False  # the client went away while the body was sent

    def __repr__(self):
        return "Served(%s?%s range=%r status=%s sent=%d)" % (self.path, self.query, self.range, self.status,
                                                              self.bytes_sent)


def parse_range(header, size):
    """(first, last) of a single `bytes=a-b` or `bytes=a-` range within size, else None."""
    if not header or not header.startswith("bytes=") or "," in header:
        return None
    first_text, _, last_text = header[len("bytes="):].partition("-")
    if not first_text.isdigit():
        return None
    first = int(first_text)
    last = int(last_text) if last_text.isdigit() else size - 1
    last = min(last, size - 1)
    if first > last:
        return None
    return first, last


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        server = self.server.owner
        parsed = urllib.parse.urlsplit(self.path)
        # A fixed URL (the default manifest location) can carry a fault through a route.
        query = urllib.parse.parse_qs(parsed.query or server.routes.get(parsed.path, ""))
        record = Served(parsed.path, parsed.query, self.headers.get("Range"), self.headers.get("User-Agent"))
        with server.lock:
            server.requests.append(record)
        self.connection.settimeout(120)
        mode = query.get("mode", [""])[0]
        number = lambda key, default=0: int(query.get(key, [default])[0])
        gate = query.get("hold", [None])[0]
        if gate and not _hold_applies(query.get("holdon", ["any"])[0], record.range):
            gate = None
        self.hold = (gate, number("holdat", -1)) if gate else None
        try:
            if self.hold and self.hold[1] < 0:
                server.wait_gate(gate)
            if mode == "stall" and "at" not in query:
                time.sleep(float(query.get("s", ["31"])[0]))
            if mode == "status":
                self._answer(record, number("code"), b"\0" * number("body"))
                return
            if mode == "redirect":
                self._answer(record, 302, b"", [("Location", query["to"][0])])
                return
            if mode == "echo":
                self._answer(record, 200, self.path.encode())
                return
            data = server.files.get(parsed.path.lstrip("/"))
            if data is None:
                self._answer(record, 404, b"not here")
                return
            if mode == "stall":
                self._answer(record, 200, data, send_only=number("at"))
                time.sleep(float(query.get("s", ["31"])[0]))
                self._send_rest(record, data, number("at"))
                return
            wanted = None if mode == "norange" else parse_range(record.range, len(data))
            if wanted and mode == "range200" and wanted != (0, 0):
                wanted = None
            if wanted is None:
                self._answer(record, 200, data)
                return
            first, last = wanted
            with server.lock:
                key = (parsed.path, parsed.query, last)
                earlier = server.range_counts.get(key, 0)
                server.range_counts[key] = earlier + 1
            body = data[first:last + 1]
            headers = [("Content-Range", "bytes %d-%d/%d" % (first, last, len(data)))]
            if mode == "extra" and earlier == 0:
                body = body + b"\xee" * number("n")
            if mode == "break" and earlier == 0:
                # Announce the whole range, send the first n bytes, then close cleanly.
                self._answer(record, 206, body, headers, send_only=number("n"))
                return
            self._answer(record, 206, body, headers)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, socket.timeout, OSError):
            record.broken = True
            self.close_connection = True

    def _answer(self, record, status, body, headers=(), send_only=None):
        record.status = status
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.close_connection = True
        limit = len(body) if send_only is None else min(send_only, len(body))
        step = 65536
        pause = self.hold[1] if getattr(self, "hold", None) and self.hold[1] >= 0 else None
        try:
            offset = 0
            while offset < limit:
                end = min(offset + step, limit)
                if pause is not None and offset < pause < end:
                    end = pause
                if pause is not None and offset == pause:
                    self.wfile.flush()
                    self.server.owner.wait_gate(self.hold[0])
                    pause = None
                piece = body[offset:end]
                self.wfile.write(piece)
                record.bytes_sent += len(piece)
                offset = end
            self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, socket.timeout, OSError):
            record.broken = True


    def _send_rest(self, record, data, offset):
        try:
            self.wfile.write(data[offset:])
            record.bytes_sent += len(data) - offset
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, socket.timeout, OSError):
            record.broken = True


def _hold_applies(which, range_header):
    if which == "probe":
        return range_header == "bytes=0-0"
    if which == "range":
        return bool(range_header) and range_header != "bytes=0-0"
    if which == "plain":
        return not range_header
    return True


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def get_request(self):
        sock, address = self.socket.accept()
        with self.owner.lock:
            self.owner.connections += 1
        return self.owner.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), address

    def finish_request(self, request, client_address):
        try:
            request.settimeout(60)
            request.do_handshake()
        except (ssl.SSLError, OSError):
            return
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        pass


class FaultServer:
    def __init__(self, build_dir, cert="server"):
        certs = os.path.join(build_dir, "rig", "certs")
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.minimum_version = ssl.TLSVersion.TLSv1_2
        self.context.maximum_version = ssl.TLSVersion.TLSv1_2
        self.context.load_cert_chain(os.path.join(certs, cert + ".pem"), os.path.join(certs, cert + ".key"))
        self.lock = threading.Lock()
        self.files = {}
        self.routes = {}  # path -> fault query used when a request has no query of its own
        self.requests = []
        self.connections = 0
        self.range_counts = {}
        self.gates = {}  # name -> [threading.Event, requests that reached it]
        self.httpd = None
        self.thread = None
        self.port = None

    def add(self, name, data):
        self.files[name] = bytes(data)

    def _gate(self, name):
        with self.lock:
            return self.gates.setdefault(name, [threading.Event(), 0])

    def wait_gate(self, name, timeout=120):
        gate = self._gate(name)
        with self.lock:
            gate[1] += 1
        gate[0].wait(timeout)

    def release(self, name):
        self._gate(name)[0].set()

    def held(self, name):
        """How many requests reached the gate so far."""
        with self.lock:
            return self.gates.get(name, [None, 0])[1]

    def wait_held(self, name, count=1, timeout=60):
        deadline = time.time() + timeout
        while self.held(name) < count:
            if time.time() > deadline:
                raise AssertionError("%d request(s) at gate %r, not %d, within %d s" % (
                    self.held(name), name, count, timeout))
            time.sleep(0.05)

    def reset(self):
        """Forget what was served (the files stay)."""
        with self.lock:
            self.requests = []
            self.connections = 0
            self.range_counts = {}
            for gate in self.gates.values():
                gate[0].set()  # nobody stays held into the next case
            self.gates = {}

    def served(self, path=None):
        with self.lock:
            return [r for r in self.requests if path is None or r.path == path]

    def url(self, path, **query):
        text = "https://localhost:%d/%s" % (self.port, path.lstrip("/"))
        if query:
            text += "?" + urllib.parse.urlencode(query)
        return text

    def start(self, port=0):
        self.httpd = _Server(("127.0.0.1", port), _Handler)
        self.httpd.owner = self
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.1},
                                       daemon=True)
        self.thread.start()
        return self

    def stop(self):
        if self.httpd:
            self.httpd.shutdown()
            self.httpd.server_close()
            self.thread.join(timeout=10)
        self.httpd = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
