"""Rig of the window tests: a private network namespace in which the vendor host resolves to loopback,
an HTTPS server (nginx) on 127.0.0.1 for it, a private X server (Xvfb), and a Wine prefix of their own
whose wineserver runs inside the namespace (Wine's sockets are made by the wineserver, so the server
must live in the same network namespace as the tests' HTTPS server).

The prefix is made by the shared rig script (tests/rig/prefix.sh) for a separate root under the build
tree, so it gets the same fonts, PowerShell stand-in and trusted test CA as the other tests' prefix."""
import atexit
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import time

SOURCE = os.environ.get("TOV_SOURCE_DIR") or os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The build tree must be named: the rig makes a prefix and work files in it.
BUILD = os.environ.get("TOV_BUILD_DIR") or sys.exit("TOV_BUILD_DIR must name the build directory")
HOST = os.environ.get("TOV_DOWNLOAD_HOST") or "dl.tovkinemo.com"
EXE = os.path.join(BUILD, "TOVKinemoDownloader.exe")
DRIVER = os.path.join(BUILD, "tests", "gui_driver.exe")
TRACE_HOOK = os.path.join(BUILD, "tests", "gui_trace_hook.dll")
DESKTOP_HOLDER = os.path.join(BUILD, "tests", "idlethreads.exe")
SYSTEM_CJK_FONT = "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc"
ROOT = os.path.join(BUILD, "gui-rig")  # pseudo build root of the GUI prefix
PREFIX = os.path.join(ROOT, "wine")
HOME = os.path.join(ROOT, "home")
WORK = os.path.join(BUILD, "tests", "gui", "work")
SHOTS = os.path.join(BUILD, "tests", "gui", "screenshots")
RIG_SCRIPT = os.path.join(SOURCE, "tests", "rig", "prefix.sh")
NAMESPACE_MARK = "TOV_GUI_NETNS"


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def host_name_and_port():
    name, _, port = HOST.partition(":")
    return name, int(port or 443)


# ---- cleanup ----

_cleanups = []


def on_exit(action):
    """Runs action (once) when the rig is torn down, at the latest when this process ends, also after
    SIGTERM (a ctest timeout): the rig's servers must not outlive the tests."""
    _cleanups.append(action)


def tear_down():
    while _cleanups:
        action = _cleanups.pop()
        try:
            action()
        except Exception as error:  # keep tearing down the rest
            print("teardown: %s" % error, file=sys.stderr)


atexit.register(tear_down)
signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))


# ---- the namespace ----

SKIP_CODE = 77  # ctest's SKIP_RETURN_CODE for this test


def needs_namespace():
    """A build for the vendor host needs the private namespace; a test build for localhost:PORT does not."""
    return host_name_and_port()[0] != "localhost"


def reexec_in_namespace():
    """Runs this script again inside a new network and mount namespace (needs root)."""
    if os.environ.get(NAMESPACE_MARK) == "1" or not needs_namespace():
        return
    if os.geteuid() != 0:
        print("skipped: the window tests need root for their network namespace (or a build with "
              "-DTOV_DOWNLOAD_HOST=localhost:PORT)", file=sys.stderr)
        sys.exit(SKIP_CODE)
    env = dict(os.environ)
    env[NAMESPACE_MARK] = "1"
    args = ["unshare", "--net", "--mount", "--propagation", "private", "--", sys.executable] + sys.argv
    os.execvpe("unshare", args, env)


def setup_namespace_network():
    """Loopback up, and a private hosts file that maps the vendor host to 127.0.0.1."""
    if not needs_namespace():
        return
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    os.makedirs(ROOT, exist_ok=True)
    hosts = os.path.join(ROOT, "hosts")
    name, _ = host_name_and_port()
    with open(hosts, "w") as f:
        f.write("127.0.0.1 localhost\n::1 localhost\n")
        if name != "localhost":
            f.write("127.0.0.1 %s\n" % name)
    subprocess.run(["mount", "--bind", hosts, "/etc/hosts"], check=True)


# ---- Wine ----

_env = None


def wine_env():
    """The Wine environment of the GUI prefix, from the shared rig's wine-env.sh."""
    global _env
    if _env is None:
        out = subprocess.run(["bash", "-c", 'source "$1" && env -0', "_", os.path.join(SOURCE, "tests", "rig", "wine-env.sh")],
                             env=dict(os.environ, TOV_BUILD_DIR=ROOT), capture_output=True, check=True).stdout
        _env = dict(item.split("=", 1) for item in out.decode().split("\0") if "=" in item)
        _env["LANG"] = "C.UTF-8"
    return _env


def prepare_root():
    """The pseudo build root: the tests' programs and certificates of the real build tree."""
    os.makedirs(os.path.join(ROOT, "rig"), exist_ok=True)
    link = os.path.join(ROOT, "tests")
    if not os.path.islink(link):
        os.symlink(os.path.join(BUILD, "tests"), link)
    certs = os.path.join(ROOT, "rig", "certs")
    build_certs = os.path.join(BUILD, "rig", "certs")
    if not os.path.exists(os.path.join(certs, "server.pem")) and os.path.exists(os.path.join(build_certs, "server.pem")):
        shutil.copytree(build_certs, certs, dirs_exist_ok=True)


def reg_add(key, name, value):
    subprocess.run(["wine", "reg", "add", key, "/v", name, "/d", value, "/f"], env=wine_env(),
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)


def smooth_cjk_font():
    """The installed CJK font with its 'gasp' table asking for grayscale smoothing at every size.

    The font's own table asks for plain black-and-white rendering from 9 to 16 pixels, and Wine follows
    it: at the 11-pixel size of the default GUI font the glyphs then lose strokes in screenshots. The copy
    goes into the GUI prefix's font folder only, with its revision raised so that Wine prefers it."""
    data = bytearray(read_bytes(SYSTEM_CJK_FONT))
    faces = [struct.unpack(">I", data[12 + 4 * i:16 + 4 * i])[0] for i in range(struct.unpack(">I", data[8:12])[0])]
    for face in faces:
        for i in range(struct.unpack(">H", data[face + 4:face + 6])[0]):
            tag, _, offset, _ = struct.unpack(">4sIII", data[face + 12 + 16 * i:face + 28 + 16 * i])
            if tag == b"gasp":
                for k in range(struct.unpack(">H", data[offset + 2:offset + 4])[0]):
                    struct.pack_into(">H", data, offset + 4 + 4 * k + 2, 0x0003)  # grid-fit and grayscale
            elif tag == b"head":
                revision = struct.unpack(">I", data[offset + 4:offset + 8])[0]
                struct.pack_into(">I", data, offset + 4, revision + 0x10000)
    return bytes(data)


def install_smooth_cjk_font():
    if not os.path.exists(SYSTEM_CJK_FONT):
        return
    target = os.path.join(PREFIX, "drive_c", "windows", "Fonts", "wqy-zenhei-smooth.ttc")
    data = smooth_cjk_font()
    if not os.path.exists(target) or read_bytes(target) != data:
        with open(target, "wb") as f:
            f.write(data)


def start_wine(display, drives=None):
    """Starts the GUI prefix's wineserver with its virtual desktop; drives maps more drive letters of the
    prefix ("d:") to Unix directories. They are linked before the final restart, since Wine reads its
    drives when it starts."""
    env = wine_env()
    env["DISPLAY"] = display
    # A wineserver left from an interrupted earlier run lives in another namespace: end it first.
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    prepare_root()
    on_exit(stop_wine)
    subprocess.run([RIG_SCRIPT, "ensure"], env=dict(os.environ, TOV_BUILD_DIR=ROOT, DISPLAY=display),
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    # One virtual desktop, so windows get their frames and title bars drawn in the screenshots.
    reg_add(r"HKCU\Software\Wine\Explorer", "Desktop", "Default")
    reg_add(r"HKCU\Software\Wine\Explorer\Desktops", "Default", "800x600")
    install_smooth_cjk_font()
    for letter, target in (drives or {}).items():
        link = os.path.join(PREFIX, "dosdevices", letter)
        if os.path.islink(link):
            os.remove(link)
        os.symlink(target, link)
    # The desktop of the session that made the prefix was started before the settings above (and without
    # the X server): restart the server and open the virtual desktop with the rig's desktop holder, which
    # holds it until the server ends. Without a holder Wine closes the desktop a second after its last
    # program leaves, and a program started about then can stay on the closing desktop while the
    # programs after it open a new one under the same name: the driver then finds no window of a
    # program that runs on.
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    hold_desktop(env)


def hold_desktop(env):
    """Starts the rig's desktop holder on the X server (the shared rig's holder runs without one) and
    waits until the desktop is up; it ends with the server."""
    ready = os.path.join(ROOT, "rig", "desktop.ready")
    if os.path.exists(ready):
        os.remove(ready)
    holder = subprocess.Popen(["wine", DESKTOP_HOLDER, "desktop", wine_path(ready)], env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True)
    deadline = time.time() + 120
    while not os.path.exists(ready):
        if holder.poll() is not None or time.time() > deadline:
            raise RuntimeError("the desktop holder did not open the desktop (exit %s)" % holder.poll())
        time.sleep(0.1)


def stop_wine():
    subprocess.run(["wineserver", "-k"], env=wine_env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def prefix_user_dir(*parts):
    return os.path.join(PREFIX, "drive_c", "users", wine_env()["TOV_WINE_USER"], *parts)


def log_path():
    return os.path.join(wine_env()["TOV_WINE_TEMP"], "TOVKinemoDownloader.log")


def log_lines():
    path = log_path()
    if not os.path.exists(path):
        return []
    lines = []
    for raw in read_bytes(path).split(b"\r\n"):
        if raw:
            lines.append(raw.decode("utf-8").split(" ", 2)[-1])
    return lines


# ---- X server ----

class Xvfb:
    def __init__(self):
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24",
                                      "-nolisten", "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read_end, 16)
            if not chunk:
                raise RuntimeError("Xvfb did not start")
            number += chunk
        os.close(read_end)
        self.display = ":" + number.decode().strip()
        on_exit(self.stop)

    def screenshot(self, name):
        os.makedirs(SHOTS, exist_ok=True)
        path = os.path.join(SHOTS, name)
        subprocess.run(["import", "-window", "root", "-display", self.display, path], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return path

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)


# ---- HTTPS server ----

NGINX_CONF = """
daemon off;
master_process off;
worker_processes 1;
user root;
pid {work}/nginx.pid;
error_log {work}/error.log warn;
events {{ worker_connections 128; }}
http {{
    access_log {work}/access.log;
    client_body_temp_path {work}/tmp;
    proxy_temp_path {work}/tmp;
    fastcgi_temp_path {work}/tmp;
    uwsgi_temp_path {work}/tmp;
    scgi_temp_path {work}/tmp;
    types {{ }}
    default_type application/octet-stream;
    server {{
        listen 127.0.0.1:{port} ssl;
        server_name {name};
        ssl_certificate {certs}/server.pem;
        ssl_certificate_key {certs}/server.key;
        ssl_protocols TLSv1.2;
        root {root};
        # Packages under /slow/ trickle, so that a cancel lands in the middle of a download.
        location /slow/ {{ limit_rate {slow_rate}; }}
    }}
}}
"""


class Nginx:
    def __init__(self, root, slow_rate="96k"):
        self.work = os.path.join(WORK, "nginx")
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(os.path.join(self.work, "tmp"))
        name, port = host_name_and_port()
        conf = os.path.join(self.work, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX_CONF.format(work=self.work, port=port, name=name, root=root, slow_rate=slow_rate,
                                      certs=os.path.join(ROOT, "rig", "certs")))
        self.proc = subprocess.Popen(["nginx", "-c", conf, "-p", self.work], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        on_exit(self.stop)
        deadline = time.time() + 10
        while time.time() < deadline:
            if subprocess.run(["curl", "-sk", "--resolve", "%s:%d:127.0.0.1" % (name, port), "-o", "/dev/null",
                               "https://%s:%d/" % (name, port)]).returncode == 0:
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.1)
        raise RuntimeError("nginx did not start: " + read_bytes(os.path.join(self.work, "error.log")).decode())

    def requests(self):
        path = os.path.join(self.work, "access.log")
        return read_bytes(path).decode().splitlines() if os.path.exists(path) else []

    def stop(self):
        if self.proc.poll() is not None:
            return
        self.proc.send_signal(signal.SIGQUIT)
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


# ---- the program and the driver ----

class App:
    """The downloader in window mode, started without arguments."""

    def __init__(self, display, args=(), trace=None, extra_env=None, exe=EXE, cwd=None):
        env = dict(wine_env(), DISPLAY=display, WINEDEBUG="-all,err+seh", **(extra_env or {}))
        if trace:
            env["TOV_GUI_TRACE"] = wine_path(trace)
        # Wine's messages for the program (a crash report among them) are kept for a failing test.
        self.errors_path = os.path.join(WORK, "app-stderr.txt")
        with open(self.errors_path, "wb") as errors:
            self.proc = subprocess.Popen(["wine", exe] + list(args), env=env, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=errors, cwd=cwd)

    def errors(self):
        """The end of what Wine wrote for the program."""
        return read_bytes(self.errors_path).decode(errors="replace")[-3000:] if os.path.exists(self.errors_path) else ""

    def wait(self, timeout):
        """The exit code, or None when the process is still running after timeout seconds."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class Driver:
    def __init__(self, display):
        self.env = dict(wine_env(), DISPLAY=display)
        self.errors = ""  # the end of what the last run wrote to its error output

    def run(self, *args, timeout=120):
        proc = subprocess.run(["wine", DRIVER] + [str(a) for a in args], env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout)
        self.errors = proc.stderr.decode("utf-8", errors="replace")[-2000:]
        return proc.returncode, proc.stdout.decode("utf-8")

    @staticmethod
    def unescape(value):
        out, i = [], 0
        while i < len(value):
            if value[i] == "\\" and i + 1 < len(value):
                out.append({"n": "\n", "r": "\r", "\\": "\\"}.get(value[i + 1], value[i + 1]))
                i += 2
            else:
                out.append(value[i])
                i += 1
        return "".join(out)

    def pairs(self, output):
        result = []
        for line in output.splitlines():
            key, _, value = line.partition("=")
            result.append((key, self.unescape(value)))
        return result

    def query(self, *args, **kw):
        """(exit code, values); a key given more than once (box.child) maps to the list of its values."""
        code, out = self.run(*args, **kw)
        values = {}
        for key, value in self.pairs(out):
            if key == "box.child":
                values.setdefault(key, []).append(value)
            else:
                values[key] = value
        return code, values

    def state(self):
        """The main window's state, or None when the driver says there is no main window. A driver that
        ends otherwise (Wine failing to start it, a crash) is not taken for a closed window."""
        code, values = self.query("state")
        if code == 1 and values.get("found") == "0":
            return None
        if code != 0:
            raise AssertionError("state: driver exit %d (%s); it wrote:\n%s" % (
                code, "window not answering" if code == 3 else "no answer", self.errors))
        return values

    def wait_window(self, timeout_ms=30000):
        code, values = self.query("wait-window", timeout_ms)
        if code != 0:
            raise AssertionError("the main window did not appear")
        return values

    def click(self, control_id):
        code, _ = self.run("click", control_id)
        if code != 0:
            raise AssertionError("click %s failed" % control_id)

    def set_text(self, control_id, text):
        code, _ = self.run("set-text", control_id, text.encode("utf-8").hex())
        if code != 0:
            raise AssertionError("set-text failed")

    def set_check(self, control_id, checked):
        self.run("set-check", control_id, 1 if checked else 0)

    def box(self):
        return self.query("box")[1]

    def wait_box(self, timeout_ms=30000):
        code, values = self.query("wait-box", timeout_ms)
        return values if code == 0 else None

    def visible(self):
        """Found and visible, read without sending the window anything."""
        values = self.query("visible")[1]
        return values.get("found") == "1", values.get("visible") == "1"

    def hook(self):
        """Starts the trace hooks on the main window's thread; they stay until the window is gone. Wine
        has been seen to refuse a hook once in a few dozen sessions: one more try, then fail."""
        try:
            return self._hook()
        except AssertionError as error:
            print("retrying the trace hooks: %s" % error, file=sys.stderr)
            return self._hook()

    def _hook(self):
        errors = os.path.join(WORK, "hook-errors.txt")
        with open(errors, "wb") as error_file:
            proc = subprocess.Popen(["wine", DRIVER, "hook", wine_path(TRACE_HOOK)], env=self.env,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=error_file)
        ready, _, _ = select.select([proc.stdout], [], [], 60)
        line = proc.stdout.readline() if ready else b""
        if line.strip() != b"hooked=1":
            proc.kill()
            proc.wait()
            proc.stdout.close()
            raise AssertionError("the trace hooks could not be set (%r, exit %s): %s" % (
                line, proc.returncode, read_bytes(errors).decode(errors="replace")[-2000:]))
        return proc

    def box_click(self, button_id):
        code, _ = self.run("box-click", button_id)
        if code != 0:
            raise AssertionError("no box to click")
