"""Fault matrix: the real exe in test mode against the fault-injecting server and nginx, each fault with
its expected outcome and the files it must leave. Runs in a private network and mount namespace, where
the vendor's download host resolves to a loopback server on port 443 (so the shipped binary's default
manifest URL is exercised) and small tmpfs mounts give a full and a read-only cache directory.
Prints the matrix as a table (fault, expected, seen)."""
import io
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
REAL_BUILD = os.environ.get("TOV_BUILD_DIR") or os.path.join(SOURCE, "build")
# Wine opens sockets in its wineserver, so the namespace needs a wineserver of its own, and with it a
# prefix of its own: a small build root that links to the real build's programs and certificates.
ROOT = os.path.join(REAL_BUILD, "netns-root")


def prepare_root():
    os.makedirs(os.path.join(ROOT, "rig"), exist_ok=True)
    for name, target in (("tests", "tests"), ("TOVKinemoDownloader.exe", "TOVKinemoDownloader.exe"),
                         ("publisher", "publisher"), ("res", "res"),
                         ("TOVKinemoDownloader.map", "TOVKinemoDownloader.map"), (os.path.join("rig", "certs"), "rig/certs")):
        link = os.path.join(ROOT, name)
        if not os.path.lexists(link):
            os.symlink(os.path.join(REAL_BUILD, target), link)
    wrapper = os.path.join(ROOT, "rig", "wine-run")
    with open(wrapper, "w") as f:
        f.write("#!/bin/sh\nTOV_BUILD_DIR='%s' exec '%s' \"$@\"\n" % (ROOT, os.path.join(SOURCE, "tests", "rig", "wine-run.sh")))
    os.chmod(wrapper, 0o755)
    os.environ["TOV_BUILD_DIR"] = ROOT


if os.environ.get("TOV_FAULT_NETNS") == "1":
    prepare_root()
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "servers"))
import tovtest as t  # noqa: E402
from faultserver import FaultServer  # noqa: E402
from nginx import Nginx  # noqa: E402
from test_scenarios import package_bytes, publish, deterministic  # noqa: E402

HOST = os.environ.get("TOV_DOWNLOAD_HOST", "dl.tovkinemo.com")
MARK = "TOV_FAULT_NETNS"
MiB = 1024 * 1024
CHUNK = 262144  # one read of the program
VERSION = "2.1.0"
PACKAGE = "package-%s-win10.zip" % VERSION
UNFINISHED = "tovkinemo.unfinished"
ROWS = []


def in_namespace():
    """Re-runs this script inside new network and mount namespaces (root only); returns False to skip."""
    if os.environ.get(MARK) == "1":
        return True
    if os.geteuid() != 0 or ":" in HOST or HOST == "localhost":
        return False
    env = dict(os.environ, **{MARK: "1"})
    os.execvpe("unshare", ["unshare", "--net", "--mount", "--propagation", "private", "--", sys.executable]
               + sys.argv, env)


def namespace_network(work):
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    hosts = t.write_file(os.path.join(work, "hosts"), ("127.0.0.1 localhost %s\n" % HOST).encode())
    subprocess.run(["mount", "--bind", hosts, "/etc/hosts"], check=True)
    # The namespace's own prefix and wineserver (created once, reused).
    subprocess.run([os.path.join(SOURCE, "tests", "rig", "prefix.sh"), "ensure"], check=True,
                   env=dict(os.environ, TOV_BUILD_DIR=ROOT))


def stop_wineserver():
    subprocess.run([os.path.join(SOURCE, "tests", "rig", "prefix.sh"), "stop"], env=dict(os.environ, TOV_BUILD_DIR=ROOT))


def mount_tmpfs(path, size, read_only=False):
    os.makedirs(path, exist_ok=True)
    options = "size=%s" % size + (",ro" if read_only else "")
    subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", path], check=True)


def final(lines):
    return lines[-1] if lines else "(no log)"


def code_of(line):
    """The failure code in a final line "首次下载失败（错误 N…", or None."""
    prefix = "首次下载失败（错误 "
    if not line.startswith(prefix):
        return None
    digits = ""
    for c in line[len(prefix):]:
        if not c.isdigit():
            break
        digits += c
    return int(digits) if digits else None


class FaultMatrix(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = t.fresh_dir("fault-matrix")
        namespace_network(cls.work)
        cls.www = os.path.join(cls.work, "www")
        os.makedirs(cls.www)
        cls.fault = FaultServer(t.BUILD).start(port=443)
        cls.nginx = Nginx(cls.www, t.BUILD, name="fault-matrix").start()
        cls.data = package_bytes(filler=2 * MiB, seed="fault")
        cls.fault.add("package.zip", cls.data)
        cls.local = t.write_file(os.path.join(cls.work, "package.zip"), cls.data)
        t.write_file(os.path.join(cls.www, "package.zip"), cls.data)

    @classmethod
    def tearDownClass(cls):
        cls.fault.stop()
        cls.nginx.stop()
        stop_wineserver()
        width = max(len(r[0]) for r in ROWS) if ROWS else 10
        print("\n%-*s | %-44s | %s" % (width, "fault", "expected", "seen"), file=sys.stderr)
        print("-" * (width + 100), file=sys.stderr)
        for fault, expected, seen, ok in ROWS:
            print("%-*s | %-44s | %s%s" % (width, fault, expected, seen, "" if ok else "   <-- MISMATCH"),
                  file=sys.stderr)

    def row(self, fault, expected, seen, ok):
        ROWS.append((fault, expected, seen, ok))
        self.assertTrue(ok, "%s: expected %s, seen %s" % (fault, expected, seen))

    def dirs(self, name):
        base = t.fresh_dir("fault-" + name)
        return base, os.path.join(base, "cache"), os.path.join(base, "install")

    def manifest(self, base, url, package=None):
        return publish(base, {"win10": (package or self.local, url)})

    def run_local(self, name, url, package=None, cache=None, extra=()):
        base, default_cache, install = self.dirs(name)
        manifest = self.manifest(base, url, package)
        cache = cache or default_cache
        self.fault.reset()
        code, lines = t.run_test(["--install-dir", t.winpath(install), "--cache-dir", t.winpath(cache),
                                  "--manifest", t.winpath(manifest), "--signature", t.winpath(manifest + ".sig"),
                                  "--channel", "win10"] + list(extra))
        return code, lines, cache, install

    def installed_ok(self, install):
        path = os.path.join(install, "tovkinemo.root")
        return os.path.exists(path)

    def installed_whole(self, install):
        """Every file of the package installed byte for byte, and nothing of an unfinished install left."""
        with zipfile.ZipFile(io.BytesIO(self.data)) as zf:
            files = {i.filename[len("Payload/"):]: zf.read(i) for i in zf.infolist() if not i.is_dir()}
        same = lambda name, data: os.path.isfile(os.path.join(install, name)) and pathlib.Path(
            install, name).read_bytes() == data
        return all(same(n, d) for n, d in files.items()) and not os.path.exists(os.path.join(install, UNFINISHED))

    def args(self, base, cache, install, url):
        manifest = self.manifest(base, url)
        return ["--install-dir", t.winpath(install), "--cache-dir", t.winpath(cache), "--manifest",
                t.winpath(manifest), "--signature", t.winpath(manifest + ".sig"), "--channel", "win10"]

    def start(self, args, env=None, own_pid=False):
        """A run in the background. With own_pid the rig execs straight into the exe, so the process's
        pid is the Windows program's own Linux pid; otherwise the run gets a log of its own."""
        run_env = dict(os.environ, TOV_BUILD_DIR=t.BUILD, TOV_TEMP_DIR="" if own_pid else t.TEMP_DIR + "-first")
        return subprocess.Popen([t.WINE_RUN, t.EXE, "--test"] + args, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=dict(run_env, **(env or {})))

    def package_bytes_served(self, since=0):
        """Package body bytes sent since the given number of served requests, the 1-byte probes aside."""
        return sum(r.bytes_sent for r in self.fault.served()[since:]
                   if r.path == "/package.zip" and r.range != "bytes=0-0")

    def wait_for(self, path, timeout=60):
        deadline = time.monotonic() + timeout
        while not os.path.exists(path):
            self.assertLess(time.monotonic(), deadline, "%s did not appear" % path)
            time.sleep(0.1)

    def parts_on_disk(self, cache):
        return sum(os.path.getsize(os.path.join(cache, n)) for n in self.cache_names(cache) if ".partial.part" in n)

    def cache_names(self, cache):
        return sorted(os.listdir(cache)) if os.path.isdir(cache) else []

    # ---- segment faults: the download survives them ----

    def test_range_broken_mid_body(self):
        code, lines, cache, install = self.run_local("break", self.fault.url("package.zip", mode="break", n=100000))
        ranges = [r for r in self.fault.served() if r.range and r.range != "bytes=0-0"]
        starts = sorted(int(r.range[6:].split("-")[0]) for r in ranges)
        firsts = [len(self.data) * i // 8 for i in range(8)]
        resumed = all(f + 100000 in starts for f in firsts)
        ok = code == 0 and self.installed_ok(install) and resumed and self.cache_names(cache) == [
            "package-%s-win10.zip" % VERSION]
        self.row("range broken after 100000 bytes", "retry from bytes on disk; installed",
                 "exit %d, %d ranges, resumed at first+100000: %s" % (code, len(ranges), resumed), ok)

    def test_more_bytes_than_asked(self):
        code, lines, cache, install = self.run_local("extra", self.fault.url("package.zip", mode="extra", n=1000))
        ranges = [r.range for r in self.fault.served() if r.range and r.range != "bytes=0-0"]
        firsts = ["bytes=%d-" % (len(self.data) * i // 8) for i in range(8)]
        restarted = all(sum(1 for r in ranges if r.startswith(f)) == 2 for f in firsts)
        ok = code == 0 and self.installed_ok(install) and restarted
        self.row("range body longer than asked", "part deleted, segment restarts; installed",
                 "exit %d, every segment asked twice from its first byte: %s" % (code, restarted), ok)

    def test_every_range_answered_with_200(self):
        base, cache, install = self.dirs("range200")
        os.makedirs(cache)
        part0 = os.path.join(cache, "package-%s-win10.zip.partial.part0" % VERSION)
        t.write_file(part0, self.data[:1000])
        manifest = self.manifest(base, self.fault.url("package.zip", mode="range200"))
        started = time.monotonic()
        code, lines = t.run_test(["--install-dir", t.winpath(install), "--cache-dir", t.winpath(cache), "--manifest",
                                  t.winpath(manifest), "--signature", t.winpath(manifest + ".sig"), "--channel",
                                  "win10"])
        elapsed = time.monotonic() - started
        with open(part0, "rb") as f:
            kept = f.read() == self.data[:1000]
        ranges = [r.range for r in self.fault.served() if r.range and r.range != "bytes=0-0"]
        # Three attempts with pauses of 0.5, 1 and 1.5 s; the server may see fewer requests when an attempt
        # fails before its request arrives, or more when the platform resends one on a closed connection.
        ok = code == 1 and code_of(final(lines)) == 30 and kept and elapsed >= 3.0 and not os.path.exists(install)
        self.row("200 to every range", "ERROR_READ_FAULT (30) after 3 attempts (>= 3 s), parts kept",
                 "code %s, %d range requests (%d distinct) in %.1f s, part kept: %s" % (
                     code_of(final(lines)), len(ranges), len(set(ranges)), elapsed, kept), ok)

    # ---- a run killed part-way, then a normal run ----

    def test_killed_part_way(self):
        """SIGKILL to the run's own pid while the server holds every segment past its first read, or while
        PowerShell is held; PowerShell then ends part-way too (program file and root marker only)."""
        cases = [("killed during the download", {"hold": "body", "holdon": "range", "holdat": 300000}, False),
                 ("killed during the extraction", {}, True)]
        for fault, query, extracting in cases:
            with self.subTest(fault=fault):
                base, cache, install = self.dirs(fault.split()[-1])
                hold = os.path.join(base, "extract-hold")
                self.fault.reset()
                held = self.start(self.args(base, cache, install, self.fault.url("package.zip", **query)),
                                  env={"TOV_STANDIN_HOLD": t.winpath(hold)}, own_pid=True)
                if extracting:
                    self.wait_for(hold + ".waiting")
                else:
                    self.fault.wait_held("body", 8)
                    time.sleep(1)
                os.kill(held.pid, signal.SIGKILL)
                held.wait(30)
                gone = not os.path.exists("/proc/%d" % held.pid)
                self.fault.reset()
                t.write_file(hold, b"cut")
                if extracting:
                    self.wait_for(hold + ".cut")
                    time.sleep(1)
                left = sorted(os.listdir(install)) if extracting else []
                missing = 0 if extracting else len(self.data) - self.parts_on_disk(cache)
                since = len(self.fault.served())
                code, lines = t.run_test(self.args(base, cache, install, self.fault.url("package.zip")))
                fetched = self.package_bytes_served(since)
                ok = (gone and code == 0 and "安装完成。" in lines and self.installed_whole(install) and
                      fetched <= missing + 8 * CHUNK and (missing > 0 or extracting))
                self.row(fault, "next run: missing bytes only, fresh install",
                         "killed run gone: %s, left %s; exit %d, fetched %d of %d missing" % (
                             gone, left, code, fetched, missing), ok)

    def test_crashed_part_way(self):
        """ud2 written over one of the program's functions (tests/e2e/ud2run.cpp): over the count that only
        the segment threads add to after each write, so that they fail at once, each after its first write;
        over the check after the extraction (the main thread). Each run leaves one last line, one dump and
        the exception code; old dumps beyond five go, other files stay; the next run completes the install."""
        temp = t.TEMP_DIR + "-crash"
        shutil.rmtree(temp, ignore_errors=True)
        kept = [t.write_file(os.path.join(temp, "TOVKinemoDownloader-2026010%d-120000-7.dmp" % i), b"old")
                for i in range(1, 6)] + [t.write_file(os.path.join(temp, "TOVKinemoDownloader-notes.dmp"), b"")]
        for i, path in enumerate(kept):
            os.utime(path, (1e9 + i, 1e9 + i))
        kept = [os.path.basename(p) for p in kept[2:]]
        # (fault, function, the line before the last, parts left)
        cases = [("crashed during the download", "AtomicAdd64", "正在下载 ", True),
                 ("crashed in the check after the extraction", "CheckPayloadInstalled", t.EXTRACT_TEXT, False)]
        for fault, function, before, parts in cases:
            with self.subTest(fault=fault):
                base, cache, install = self.dirs(function)
                rva, dumps = t.map_rva(function), set(os.listdir(temp))
                self.fault.reset()
                crashing = subprocess.run(
                    [t.WINE_RUN, os.path.join(t.TEST_BIN, "ud2run.exe"), "%x" % rva, t.winpath(t.EXE), "--test"] +
                    self.args(base, cache, install, self.fault.url("package.zip")), stdin=subprocess.DEVNULL,
                    capture_output=True, text=True, timeout=300, env=dict(os.environ, TOV_BUILD_DIR=t.BUILD,
                                                                          TOV_TEMP_DIR=temp))
                out = " ".join(crashing.stdout.split())
                lines = t.log_lines(os.path.join(temp, "TOVKinemoDownloader.log"))
                new = sorted(n for n in set(os.listdir(temp)) - dumps if n.endswith(".dmp"))
                kept += new
                dump = t.read_minidump(os.path.join(temp, new[0])) if len(new) == 1 else {}
                exe = [b for n, b, _ in dump.get("modules", ()) if n.lower().endswith("\\tovkinemodownloader.exe")]
                line = "程序意外终止（异常 0xC000001D，位置 TOVKinemoDownloader.exe+0x%X）" % rva
                marked = os.path.exists(os.path.join(install, UNFINISHED))
                missing = 0 if marked else len(self.data) - self.parts_on_disk(cache)
                since = len(self.fault.served())
                code, again = t.run_test(self.args(base, cache, install, self.fault.url("package.zip")))
                fetched = self.package_bytes_served(since)
                ok = (out == "patched exit 0xC000001D" and lines[-1:] == [line] and lines.count(line) == 1 and
                      lines[-2].startswith(before) and len(new) == 1 and dump["code"] == 0xC000001D and
                      len(exe) == 1 and dump["address"] == dump["rip"] == exe[0] + rva and
                      dump["thread"] in dump["threads"] and marked != parts and
                      (0 < missing < len(self.data)) == parts and code == 0 and "安装完成。" in again and
                      self.installed_whole(install) and fetched == missing)
                self.row(fault, "trace, exit 0xC000001D; next run: missing bytes only, fresh install",
                         "%s, %s, %s, %d dump(s); next exit %d, fetched %d of %d missing" % (
                             out, lines[-2:], "marked" if marked else "no mark", len(new), code, fetched, missing),
                         ok)
        self.assertEqual(sorted(kept), sorted(n for n in os.listdir(temp) if n.endswith(".dmp")), "dumps kept")

    def test_ended_during_merge_or_check(self):
        """What a run killed in the merge or in the check leaves (the 3 MiB merge and check last
        milliseconds, too short to aim a kill at): complete parts with a half-merged file, or a complete
        merged file whose parts the merge had already deleted."""
        bad = bytearray(self.data)
        bad[len(bad) // 2] ^= 1
        cases = [("killed during the merge", True, self.data[:MiB], 0),
                 ("killed during the check", False, self.data, 0),
                 ("killed during the check, merged file corrupt", False, bytes(bad), len(self.data))]
        for fault, parts, merged, expected in cases:
            with self.subTest(fault=fault):
                base, cache, install = self.dirs(fault.replace(" ", "-").replace(",", ""))
                for i in range(8 if parts else 0):
                    first, end = len(self.data) * i // 8, len(self.data) * (i + 1) // 8
                    t.write_file(os.path.join(cache, PACKAGE + ".partial.part%d" % i), self.data[first:end])
                t.write_file(os.path.join(cache, PACKAGE + ".partial"), merged)
                self.fault.reset()
                code, lines = t.run_test(self.args(base, cache, install, self.fault.url("package.zip")))
                fetched, left = self.package_bytes_served(), self.cache_names(cache)
                ok = code == 0 and self.installed_whole(install) and fetched == expected and left == [PACKAGE]
                self.row(fault, "next run fetches %d package bytes; installed" % expected,
                         "exit %d, fetched %d, cache %s" % (code, fetched, left), ok)

    # ---- an extraction that ends with 0 but is not whole ----

    def test_copy_harmed_yet_script_ends_with_0(self):
        """The stand-in PowerShell harms the copy as the Shell can and still ends with 0: the run fails with
        1603, a fresh install keeps its mark; the next run completes it from the cache."""
        old = {"TOVKinemo.exe": b"old program", "tovkinemo.root": b"", "current-version.txt": b"2.0.9"}
        cases = [("fresh install, a file cut to half", "cut:Media/big.bin", {}),
                 ("upgrade, an entry skipped", "skip:Data/settings.json", old),
                 ("upgrade, current-version.txt kept (same length)", "keep:current-version.txt", old)]
        for fault, switch, before in cases:
            with self.subTest(fault=fault):
                base, cache, install = self.dirs(switch.split(":")[0])
                for name, data in before.items():
                    t.write_file(os.path.join(install, name), data)
                args = self.args(base, cache, install, self.fault.url("package.zip"))
                code, lines = t.run_test(args, env={"TOV_STANDIN_FAULT": switch})
                marked = os.path.exists(os.path.join(install, UNFINISHED))
                since = len(self.fault.served())
                again, again_lines = t.run_test(args)
                fetched = self.package_bytes_served(since)
                done = "升级完成，原有数据已保留。" if before else "安装完成。"
                ok = (code == 1 and code_of(final(lines)) == 1603 and marked != bool(before) and again == 0 and
                      final(again_lines) == done and fetched == 0 and self.installed_whole(install))
                self.row(fault, "1603%s; next run: %s, 0 bytes fetched" % ("" if before else ", mark kept", done),
                         "code %s, mark %s; next exit %d, %s, fetched %d" % (
                             code_of(final(lines)), marked, again, final(again_lines), fetched), ok)

    # ---- two runs at once ----

    def test_two_runs_on_one_cache_or_folder(self):
        cases = [("two runs on one cache", "cache"), ("two runs into one folder", "install")]
        for fault, shared in cases:
            with self.subTest(fault=fault):
                base, cache, install = self.dirs(shared + "-twice")
                hold = os.path.join(base, "extract-hold")
                self.fault.reset()
                if shared == "cache":
                    url, env = self.fault.url("package.zip", hold="body", holdon="range", holdat=100000), {}
                else:
                    url, env = self.fault.url("package.zip"), {"TOV_STANDIN_HOLD": t.winpath(hold)}
                first = self.start(self.args(base, cache, install, url), env=env)
                if shared == "cache":
                    self.fault.wait_held("body", 8)
                else:
                    self.wait_for(hold + ".waiting")
                other = os.path.join(base, "other")
                os.makedirs(other)
                second_cache = cache if shared == "cache" else os.path.join(other, "cache")
                second_install = install if shared == "install" else os.path.join(other, "install")
                since = len(self.fault.served())
                code, lines = t.run_test(self.args(other, second_cache, second_install, self.fault.url("package.zip")))
                touched = len(self.fault.served()) - since
                self.fault.release("body")
                t.write_file(hold, b"go")
                first_code = first.wait(300)
                ok = (code == 1 and code_of(final(lines)) == 170 and touched == 0 and first_code == 0 and
                      self.installed_whole(install) and self.cache_names(cache) == [PACKAGE] and
                      not os.path.exists(second_install if shared == "cache" else second_cache))
                self.row(fault, "second: ERROR_BUSY (170) at once; first installs",
                         "second code %s, %d request(s); first exit %d" % (code_of(final(lines)), touched, first_code), ok)

    # ---- the default manifest URL (the shipped binary's own location) ----

    def run_default(self, name, routes):
        base, cache, install = self.dirs(name)
        manifest = self.manifest(base, self.fault.url("package.zip"))
        with open(manifest, "rb") as f:
            self.fault.add("stable/update.json", f.read())
        with open(manifest + ".sig", "rb") as f:
            self.fault.add("stable/update.json.sig", f.read())
        self.fault.routes = dict(routes)
        self.fault.reset()
        try:
            code, lines = t.run_test(["--install-dir", t.winpath(install), "--cache-dir", t.winpath(cache),
                                      "--channel", "win10"])
        finally:
            self.fault.routes = {}
        paths = [r.path for r in self.fault.served()]
        return code, lines, paths, install

    def test_default_url_success(self):
        code, lines, paths, install = self.run_default("default-ok", {})
        ok = code == 0 and paths[:2] == ["/stable/update.json", "/stable/update.json.sig"] and self.installed_ok(install)
        self.row("none (default manifest URL on %s)" % HOST, "installed", "exit %d, first requests %s" % (
            code, paths[:2]), ok)

    def test_manifest_and_signature_status_faults(self):
        cases = [
            ("manifest 404", {"/stable/update.json": "mode=status&code=404"}, 2, 1),
            ("manifest 500", {"/stable/update.json": "mode=status&code=500"}, 12152, 1),
            ("signature 404", {"/stable/update.json.sig": "mode=status&code=404"}, 2, 2),
            ("signature 500", {"/stable/update.json.sig": "mode=status&code=500"}, 12152, 2),
        ]
        for fault, routes, expected, requests in cases:
            with self.subTest(fault=fault):
                code, lines, paths, install = self.run_default(fault.replace(" ", "-"), routes)
                ok = code == 1 and code_of(final(lines)) == expected and len(paths) == requests and not os.path.exists(install)
                self.row(fault, "code %d, %d request(s), nothing written" % (expected, requests),
                         "code %s, %d request(s)" % (code_of(final(lines)), len(paths)), ok)

    def test_manifest_server_stalls_past_receive_timeout(self):
        code, lines, paths, install = self.run_default("stall", {"/stable/update.json": "mode=stall&s=40"})
        seen = code_of(final(lines))
        # Wine reports the receive time-out as 10060 (WSAETIMEDOUT), Windows as 12002.
        ok = code == 1 and seen in (12002, 10060) and not os.path.exists(install)
        self.row("manifest server stalls 40 s", "time-out after 30 s (12002; Wine 10060)", "code %s" % seen, ok)

    # ---- package faults ----

    def test_package_status_faults(self):
        for status, expected in ((404, 2), (500, 12152)):
            with self.subTest(status=status):
                code, lines, cache, install = self.run_local(
                    "pkg%d" % status, self.fault.url("package.zip", mode="status", code=status))
                ok = code == 1 and code_of(final(lines)) == expected and self.cache_names(cache) == []
                self.row("package %d" % status, "code %d, no file in cache" % expected,
                         "code %s, cache %s" % (code_of(final(lines)), self.cache_names(cache)), ok)

    def test_tls_and_redirect_refusals(self):
        http_url = "http://localhost:%d/package.zip" % self.nginx.ports["ranges"]
        cases = [("untrusted certificate", self.nginx.url("package.zip", "rogue"), (12175, 12157)),
                 ("https->http redirect", self.fault.url("package.zip", mode="redirect", to=http_url), (12156,))]
        if self.nginx.tls11_available:
            cases.insert(0, ("TLS 1.1-only server", self.nginx.url("package.zip", "tls11"), (12175, 12157)))
        else:
            ROWS.append(("TLS 1.1-only server", "refused", "not run: this nginx/OpenSSL offers no TLS 1.1", True))
        for fault, url, expected in cases:
            with self.subTest(fault=fault):
                code, lines, cache, install = self.run_local(fault.split()[0].replace(">", ""), url)
                seen = code_of(final(lines))
                ok = code == 1 and seen in expected and self.cache_names(cache) == [] and not os.path.exists(install)
                self.row(fault, "code %s, nothing written" % "/".join(map(str, expected)), "code %s" % seen, ok)

    def test_single_stream_short_and_endless(self):
        # Short: the server sends the package without its last 1000 bytes.
        self.fault.add("short.zip", self.data[:-1000])
        code, lines, cache, _ = self.run_local("short", self.fault.url("short.zip", mode="norange"))
        merged = os.path.join(cache, "package-%s-win10.zip.partial" % VERSION)
        size = os.path.getsize(merged) if os.path.exists(merged) else -1
        ok = code == 1 and code_of(final(lines)) == 38 and size == len(self.data) - 1000
        self.row("single stream ends short", "ERROR_HANDLE_EOF (38), merged file stays",
                 "code %s, merged %d bytes" % (code_of(final(lines)), size), ok)
        # Endless: the server sends 64 MiB more than the manifest's size; the download stops at sizeBytes.
        self.fault.add("endless.zip", self.data + deterministic(64 * MiB, "endless"))
        code, lines, cache, _ = self.run_local("endless", self.fault.url("endless.zip", mode="norange"))
        merged = os.path.join(cache, "package-%s-win10.zip.partial" % VERSION)
        size = os.path.getsize(merged) if os.path.exists(merged) else -1
        ok = code == 1 and code_of(final(lines)) == 1006 and len(self.data) < size <= len(self.data) + 262144
        self.row("single stream never ends (+64 MiB)", "stopped past sizeBytes: 1006, <= 1 chunk over",
                 "code %s, merged %d bytes for %d" % (code_of(final(lines)), size, len(self.data)), ok)

    def test_package_replaced_on_server_between_runs(self):
        base, cache, install = self.dirs("replaced")
        old = package_bytes(filler=2 * MiB, seed="old")
        new = package_bytes(filler=2 * MiB, seed="new")
        self.fault.add("replaced.zip", old)
        url = self.fault.url("replaced.zip")
        args = ["--install-dir", t.winpath(install), "--cache-dir", t.winpath(cache), "--channel", "win10"]
        m1 = publish(base, {"win10": (t.write_file(os.path.join(base, "old.zip"), old), url)})
        sig_args = ["--manifest", t.winpath(m1), "--signature", t.winpath(m1 + ".sig")]
        first, _ = t.run_test(args + sig_args + ["--cancel-after-bytes", str(MiB)])
        self.fault.add("replaced.zip", new)
        m2 = publish(base, {"win10": (t.write_file(os.path.join(base, "new.zip"), new), url)})
        second, lines = t.run_test(args + sig_args)
        left = self.cache_names(cache)
        third, _ = t.run_test(args + sig_args)
        ok = first == 1 and second == 1 and code_of(final(lines)) == 23 and left == [] and third == 0
        self.row("package replaced on the server between runs", "23 and no file left, next run installs",
                 "runs %d/%d/%d, code %s, left %s" % (first, second, third, code_of(final(lines)), left), ok)
        del m2

    # ---- the cache's disk ----

    def test_full_and_read_only_cache(self):
        # 512 KiB hold a sixth of the parts; 3 MiB hold all parts but not the merged file beside them.
        # A full disk keeps its code and is not retried; once space is freed the next run fetches only
        # what is missing. A cache that cannot be opened for writing stays a segment failure.
        for name, size, read_only, expected in (("full disk", "512k", False, 112),
                                                ("disk full at the merge", "3m", False, 112),
                                                ("read-only", "512k", True, 30)):
            with self.subTest(cache=name):
                base, _, install = self.dirs(name.replace(" ", "-"))
                cache = os.path.join(base, "cache")
                mount_tmpfs(cache, size, read_only)
                again = fetched = missing = 0
                try:
                    args = self.args(base, cache, install, self.fault.url("package.zip"))
                    self.fault.reset()
                    code, lines = t.run_test(args)
                    ranges = [r for r in self.fault.served() if r.range and r.range != "bytes=0-0"]
                    names = self.cache_names(cache)
                    if not read_only:
                        missing = len(self.data) - self.parts_on_disk(cache)
                        subprocess.run(["mount", "-o", "remount,size=16m", cache], check=True)
                        since = len(self.fault.served())
                        again, _ = t.run_test(args)
                        fetched = self.package_bytes_served(since)
                        installed = self.installed_whole(install) and self.cache_names(cache) == [PACKAGE]
                finally:
                    subprocess.run(["umount", cache], check=False)
                ok = code == 1 and code_of(final(lines)) == expected and (read_only or (
                    len(ranges) <= 8 and PACKAGE + ".partial" not in names and again == 0 and
                    fetched == missing and installed))
                self.row("cache on a %s tmpfs" % name, "code %d" % expected + ("" if read_only else "; freed: next run fetches the rest"),
                         "code %s, %d ranges, cache %d files; next exit %d, fetched %d of %d missing" % (
                             code_of(final(lines)), len(ranges), len(names), again, fetched, missing), ok)

if __name__ == "__main__":
    if not in_namespace():
        print("skipped: the fault matrix needs root for its network namespace", file=sys.stderr)
        sys.exit(77)
    unittest.main()
