"""Scenario suite: the real exe in test mode, real nginx on loopback, manifests made and signed by the
publisher tool. Each scenario checks the exit code, the log lines in order and the files left in the
install directory and the cache."""
import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "servers"))
import tovtest as t  # noqa: E402
from nginx import Nginx  # noqa: E402

PUBLISHER = os.environ.get("TOV_PUBLISHER") or os.path.join(t.BUILD, "publisher", "tovpublish")
VERSION = "2.1.0"
MiB = 1024 * 1024
PROGRESS = re.compile(r"^正在下载 (\d+)%，下载速度 \d+\.\d MB/s$")

DETECT = "正在检测 Windows 版本和系统架构…"
READING = "正在读取并验证签名更新清单…"
OPENING = "正在下载 0%，下载速度 0.0 MB/s"
MERGING = "下载完成，正在合并分段…"
CHECKING = "正在校验完整包大小和 SHA-256…"
FRESH_DONE = "安装完成。"
UPGRADE_DONE = "升级完成，原有数据已保留。"


def channel_lines(channel):
    return [DETECT, "测试通道：%s" % channel, READING, "已验证 V%s 清单，准备下载 %s 完整包。" % (VERSION, channel)]


def without_progress(lines):
    """The log without the periodic speed lines (their number depends on timing); the opening line stays."""
    out = []
    for line in lines:
        if PROGRESS.match(line) and line != OPENING:
            continue
        out.append(line)
    return out


def deterministic(size, seed):
    """Incompressible bytes that are the same for the same seed, so a package has a predictable size."""
    out, counter = bytearray(), 0
    prefix = seed.encode()
    while len(out) < size:
        out += hashlib.sha256(prefix + counter.to_bytes(8, "little")).digest()
        counter += 1
    return bytes(out[:size])


def package_bytes(exe=b"", filler=0, seed="a", root=True):
    files = {
        "Payload/TOVKinemo.exe": exe or t.payload_program() + seed.encode(),
        "Payload/current-version.txt": VERSION.encode(),
        "Payload/Data/settings.json": b'{"theme":"light","seed":"%s"}' % seed.encode(),
    }
    if root:
        files["Payload/tovkinemo.root"] = b""
    if filler:
        files["Payload/Media/big.bin"] = deterministic(filler, seed)
    # Stored, so packages that differ only in their seed have the same size.
    return t.make_package(files, compression=zipfile.ZIP_STORED)


def publish(directory, channels, version=VERSION, key="dev"):
    """channels: {name: (package_path, url)}; the publisher writes and signs update.json in directory."""
    manifest = os.path.join(directory, "update.json")
    for old in (manifest, manifest + ".sig"):
        if os.path.exists(old):
            os.remove(old)
    args = [PUBLISHER, "manifest", "--version", version, "--out", manifest]
    for name, (package, url) in channels.items():
        args += ["--channel", name, "--package", package, "--url", url]
    subprocess.run(args, check=True, capture_output=True)
    subprocess.run([PUBLISHER, "sign", "--key", t.KEYS[key], "--in", manifest, "--out", manifest + ".sig"],
                   check=True, capture_output=True)
    return manifest


def tree(path):
    """Relative paths of all files below path."""
    found = set()
    for folder, _, names in os.walk(path):
        for name in names:
            found.add(os.path.relpath(os.path.join(folder, name), path).replace(os.sep, "/"))
    return found


class Scenario(unittest.TestCase):
    server = None

    @classmethod
    def setUpClass(cls):
        cls.www = t.fresh_dir("scenarios-www")
        cls.server = Nginx(cls.www, t.BUILD, name="scenarios").start()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.work = t.fresh_dir("scenario-" + self._testMethodName)
        self.cache = os.path.join(self.work, "cache")
        self.install = os.path.join(self.work, "install", "TOV Kinemo")

    def serve(self, name, data):
        """Puts a package on the server; returns (local copy for the publisher, URL)."""
        t.write_file(os.path.join(self.www, self._testMethodName, name), data)
        local = t.write_file(os.path.join(self.work, "packages", name), data)
        return local, self.server.url("%s/%s" % (self._testMethodName, name))

    def manifest_for(self, data, channel="win10", block="ranges", name="package.zip"):
        local, url = self.serve(name, data)
        if block != "ranges":
            url = self.server.url("%s/%s" % (self._testMethodName, name), block)
        return publish(self.work, {channel: (local, url)})

    def run_job(self, manifest, channel="win10", extra=(), install=None, **run):
        args = ["--install-dir", t.winpath(install or self.install), "--cache-dir", t.winpath(self.cache),
                "--manifest", t.winpath(manifest), "--signature", t.winpath(manifest + ".sig"),
                "--channel", channel] + list(extra)
        mark = self.server.mark() if self.server.process else 0
        code, lines = t.run_test(args, **run)
        requests = self.server.entries_since(mark) if self.server.process else []
        return code, lines, requests

    def cache_files(self):
        return set(os.listdir(self.cache)) if os.path.isdir(self.cache) else set()

    def assert_installed(self, data):
        """The install directory holds exactly the package's payload, byte for byte."""
        import io
        import zipfile
        with zipfile.ZipFile(io.BytesIO(data)) as zf:
            for info in zf.infolist():
                if info.is_dir() or not info.filename.startswith("Payload/"):
                    continue
                path = os.path.join(self.install, info.filename[len("Payload/"):])
                with open(path, "rb") as f:
                    self.assertEqual(zf.read(info), f.read(), info.filename)

    def assert_fresh_success(self, code, lines, channel="win10", done=FRESH_DONE, downloaded=True):
        self.assertEqual(0, code, lines)
        expected = channel_lines(channel)
        if downloaded:
            expected += [OPENING, MERGING, CHECKING]
        expected += [t.EXTRACT_TEXT, done]
        self.assertEqual(expected, without_progress(lines))
        for line in lines:
            match = PROGRESS.match(line)
            if match:
                self.assertLessEqual(int(match.group(1)), 99, line)

    def hold(self, path, seconds):
        """Another Windows process holds path without sharing (as a scanner does); returns once it holds it."""
        ready = os.path.join(self.work, "held.ready")
        if os.path.exists(ready):
            os.remove(ready)
        holder = subprocess.Popen([t.WINE_RUN, os.path.join(t.TEST_BIN, "holdfile.exe"), t.winpath(path),
                                   str(int(seconds * 1000)), t.winpath(ready)], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  env=dict(os.environ, TOV_BUILD_DIR=t.BUILD))
        self.addCleanup(lambda: holder.poll() is None and holder.kill())
        while not os.path.exists(ready):
            self.assertIsNone(holder.poll(), "the holder could not open the file")
            time.sleep(0.02)
        return holder

    def package_name(self, channel="win10"):
        return "package-%s-%s.zip" % (VERSION, channel)


def files_and_times(path):
    """Every folder and file below path with its bytes and its change and write times."""
    found = {}
    for folder, dirs, names in os.walk(path):
        for name in dirs + names:
            full = os.path.join(folder, name)
            info = os.stat(full)
            found[os.path.relpath(full, path)] = (
                pathlib.Path(full).read_bytes() if name in names else None, info.st_mtime_ns, info.st_ctime_ns)
    return found


class FreshAndUpgrade(Scenario):
    def test_fresh_install_into_missing_directory_creates_all_levels(self):
        data = package_bytes(filler=2 * MiB)
        manifest = self.manifest_for(data)
        self.assertFalse(os.path.exists(os.path.dirname(self.install)))
        code, lines, requests = self.run_job(manifest)
        self.assert_fresh_success(code, lines)
        self.assert_installed(data)
        self.assertEqual({self.package_name()}, self.cache_files())
        ranges = [r for r in requests if r["range"] != "bytes=0-0"]
        self.assertEqual(8, len(ranges), requests)
        self.assertEqual(len(data), sum(r["bytes"] for r in ranges))
        self.assertTrue(all(r["agent"] == "TOVKinemoDownloader/1.0" for r in requests))

    def test_fresh_install_into_empty_directory(self):
        os.makedirs(self.install)
        data = package_bytes()
        code, lines, _ = self.run_job(self.manifest_for(data))
        self.assert_fresh_success(code, lines)
        self.assert_installed(data)

    def upgrade(self, markers):
        os.makedirs(os.path.join(self.install, "saves"))
        for name, content in markers.items():
            t.write_file(os.path.join(self.install, name), content)
        t.write_file(os.path.join(self.install, "saves", "profile.dat"), b"user data")
        t.write_file(os.path.join(self.install, "Data", "custom.json"), b"user settings")
        data = package_bytes(seed="new")
        code, lines, _ = self.run_job(self.manifest_for(data))
        self.assert_fresh_success(code, lines, done=UPGRADE_DONE)
        self.assert_installed(data)
        with open(os.path.join(self.install, "saves", "profile.dat"), "rb") as f:
            self.assertEqual(b"user data", f.read())
        with open(os.path.join(self.install, "Data", "custom.json"), "rb") as f:
            self.assertEqual(b"user settings", f.read())
        return tree(self.install)

    def test_upgrade_of_kinemo_installation_keeps_user_files(self):
        files = self.upgrade({"TOVKinemo.exe": b"old exe", "tovkinemo.root": b"", "current-version.txt": b"1.0"})
        self.assertIn("saves/profile.dat", files)

    def test_dlls_planted_beside_the_exe_or_in_the_current_directory_never_load(self):
        data = package_bytes(seed="plant")
        manifest = self.manifest_for(data)
        for dll in t.PLANTED_DLLS:
            for where in ("beside", "cwd"):
                with self.subTest(dll=dll, where=where):
                    work = t.fresh_dir("%s-%s-%s" % (self._testMethodName, dll, where))
                    exe, cwd, env, folder = t.plant(dll, where, work)
                    self.install, self.cache = os.path.join(work, "install"), os.path.join(work, "cache")
                    code, lines, _ = self.run_job(manifest, exe=exe, cwd=cwd, env=env)
                    self.assertEqual([], t.plant_markers(folder), "the planted DLL was loaded")
                    self.assert_fresh_success(code, lines)
                    self.assert_installed(data)

    def test_installed_program_in_use(self):
        """Another process holds the installed TOVKinemo.exe without sharing, as the running application does:
        past the held-file window the upgrade fails with 32 before PowerShell starts, changing nothing; a
        moment is waited out."""
        data = package_bytes(seed="in-use")
        manifest = self.manifest_for(data)
        old = {"TOVKinemo.exe": b"old program", "tovkinemo.root": b"", "current-version.txt": b"2.0.9",
               "Data/settings.json": b"old settings"}
        for name, content in old.items():
            t.write_file(os.path.join(self.install, name), content)
        standin_log = os.path.join(t.TEMP_DIR, "powershell-standin.log")
        # (hold in seconds, exit code, last line); the first run leaves the package cached, so the second
        # reaches the check while the file is still held.
        for seconds, exit_code, last in ((15, 1, "首次下载失败（错误 32"), (1, 0, UPGRADE_DONE)):
            with self.subTest(hold=seconds):
                before = files_and_times(self.install)
                standin_runs = os.path.getsize(standin_log) if os.path.exists(standin_log) else 0
                holder = self.hold(os.path.join(self.install, "TOVKinemo.exe"), seconds)
                code, lines, _ = self.run_job(manifest)
                still_held = holder.poll() is None
                holder.wait(timeout=120)
                self.assertEqual((exit_code, t.EXTRACT_TEXT), (code, lines[-2] if len(lines) > 1 else None),
                                 (lines, t.last_output))
                self.assertTrue(lines[-1].startswith(last), lines)
                if exit_code:
                    self.assertTrue(still_held, "the run waited for the holder")
                    self.assertEqual(before, files_and_times(self.install))
                    self.assertEqual(standin_runs, os.path.getsize(standin_log) if os.path.exists(standin_log)
                                     else 0, "PowerShell was started")
        self.assert_installed(data)

    def test_upgrade_of_pikora_installation_keeps_its_files(self):
        files = self.upgrade({"PikoraSTM32F103.exe": b"pikora", "pikora.root": b"", "current-version.txt": b"0.9"})
        self.assertTrue({"PikoraSTM32F103.exe", "pikora.root", "TOVKinemo.exe", "tovkinemo.root"} <= files)


class InstalledVersion(Scenario):
    def test_newer_installation_is_never_replaced_silently(self):
        """An upgrade of a TOV Kinemo installation whose version record is newer than the manifest's version
        stops right after the manifest with 1638: no request, no PowerShell, folder and cache untouched."""
        data = package_bytes(seed="versions")
        _, url = self.serve("package.zip", data)
        kinemo, pikora = {"TOVKinemo.exe": b"old", "tovkinemo.root": b""}, {"PikoraSTM32F103.exe": b"p",
                                                                           "pikora.root": b""}
        standin_log = os.path.join(t.TEMP_DIR, "powershell-standin.log")
        rows = [  # (name, installation, current-version.txt, offered, allowDowngrade, local package, refused as)
            ("newer installed, download", kinemo, b"2.2.0", "2.1.0", None, False, "2.2.0"),
            ("newer installed, local package", kinemo, b"2.2.0\n", "2.1.0", None, True, "2.2.0"),
            ("2.10.0 over 2.9.0", kinemo, b"2.9.0", "2.10.0", None, False, None),
            ("2.1.0.1 over 2.1", kinemo, b"2.1.0.1", "2.1", None, False, "2.1.0.1"),
            ("allowDowngrade true", kinemo, b"2.2.0", "2.1.0", True, False, None),
            ("allowDowngrade false", kinemo, b"2.2.0", "2.1.0", False, True, "2.2.0"),
            ("equal", kinemo, b"2.1.0", "2.1.0", None, True, None),
            ("equal, other form", kinemo, b"\xef\xbb\xbf 02.1\r\n", "2.1.0", None, False, None),
            ("older installed", kinemo, b"2.0.9", "2.1.0", None, True, None),
            ("not a version", kinemo, b"2.2.0-beta", "2.1.0", None, True, None),
            ("Pikora with a larger number", pikora, b"9.0", "2.1.0", None, True, None),
        ]
        for name, installation, record, offered, allow, local, refused in rows:
            with self.subTest(name):
                shutil.rmtree(self.install, ignore_errors=True)
                for path, content in dict(installation, **{"current-version.txt": record}).items():
                    t.write_file(os.path.join(self.install, path), content)
                doc = json.loads(t.make_manifest(offered, {"win10": (url, data)}))
                if allow is not None:
                    doc["allowDowngrade"] = allow
                manifest, _ = t.write_signed_manifest(self.work, json.dumps(doc).encode())
                extra = ["--package", t.winpath(os.path.join(self.work, "packages", "package.zip"))] if local else []
                before = (files_and_times(self.install), files_and_times(self.cache),
                          os.path.getsize(standin_log) if os.path.exists(standin_log) else 0)
                code, lines, requests = self.run_job(manifest, extra=extra)
                if not refused:
                    self.assertEqual((0, UPGRADE_DONE), (code, lines[-1]), lines)
                    self.assert_installed(data)
                    continue
                self.assertEqual(1, code, lines)
                self.assertEqual(channel_lines("win10")[:3] + [
                    "已验证 V%s 清单，准备下载 win10 完整包。" % offered,
                    "已安装 V%s，比清单中的 V%s 新，未做任何更改。" % (refused, offered)], lines[:-1])
                self.assertRegex(lines[-1], r"^首次下载失败（错误 1638[：）].*）$")
                self.assertEqual([], requests, "not even the range probe")
                self.assertEqual(before, (files_and_times(self.install), files_and_times(self.cache),
                                          os.path.getsize(standin_log) if os.path.exists(standin_log) else 0))


class ResumeAndCache(Scenario):
    def part_files(self):
        return sorted(n for n in self.cache_files() if ".partial.part" in n)

    def bytes_on_disk(self):
        return sum(os.path.getsize(os.path.join(self.cache, n)) for n in self.part_files())

    def assert_cancelled(self, code, lines):
        self.assertEqual(1, code, lines)
        self.assertEqual(t.CANCEL_TEXT, lines[-1])
        self.assertNotIn(MERGING, lines)

    def segment_starts(self, size):
        """Where each segment's next range must begin: its first byte plus the bytes of its part file."""
        starts = {}
        for i in range(8):
            first, last = size * i // 8, size * (i + 1) // 8 - 1
            part = os.path.join(self.cache, self.package_name() + ".partial.part%d" % i)
            have = os.path.getsize(part) if os.path.exists(part) else 0
            if first + have <= last:
                starts[first + have] = last
        return starts

    def assert_ranges_resume(self, requests, starts):
        """Every range request asks exactly for the bytes a segment still lacks, nothing it already has."""
        asked = {}
        for r in requests:
            if r["range"] == "bytes=0-0":
                continue
            first, last = (int(v) for v in r["range"][len("bytes="):].split("-"))
            asked[first] = last
        self.assertEqual(starts, asked)

    def test_resume_after_cancel_at_several_points(self):
        data = package_bytes(filler=8 * MiB, seed="resume")
        manifest = self.manifest_for(data)
        size = len(data)
        previous = 0
        for point in (1, 3 * MiB, 6 * MiB):
            starts = self.segment_starts(size)
            code, lines, requests = self.run_job(manifest, extra=["--cancel-after-bytes", str(point)])
            self.assert_cancelled(code, lines)
            self.assert_ranges_resume(requests, starts)
            on_disk = self.bytes_on_disk()
            self.assertGreaterEqual(on_disk, point)
            self.assertGreater(on_disk, previous)
            self.assertNotIn(self.package_name(), self.cache_files())
            previous = on_disk

        # Resumed bytes alone reach the threshold: the first chunk written stops the run.
        starts = self.segment_starts(size)
        code, lines, requests = self.run_job(manifest, extra=["--cancel-after-bytes", str(previous // 2)])
        self.assert_cancelled(code, lines)
        self.assert_ranges_resume(requests, starts)
        self.assertLessEqual(self.bytes_on_disk() - previous, 8 * 262144, "at most a chunk per segment")
        previous = self.bytes_on_disk()

        # The last run asks for exactly the missing bytes and succeeds.
        starts = self.segment_starts(size)
        code, lines, requests = self.run_job(manifest)
        self.assert_fresh_success(code, lines)
        self.assert_ranges_resume(requests, starts)
        fetched = sum(r["bytes"] for r in requests if r["range"] != "bytes=0-0")
        self.assertEqual(size - previous, fetched)
        self.assertTrue(all(r["status"] == 206 for r in requests))
        self.assertEqual({self.package_name()}, self.cache_files())
        self.assert_installed(data)

    def test_cache_reused_with_server_stopped(self):
        data = package_bytes(seed="reuse")
        local, _ = self.serve("package.zip", data)
        private = Nginx(os.path.join(self.www, self._testMethodName), t.BUILD, name="scenario-private").start()
        manifest = publish(self.work, {"win10": (local, private.url("package.zip"))})
        args = ["--install-dir", t.winpath(self.install), "--cache-dir", t.winpath(self.cache), "--manifest",
                t.winpath(manifest), "--signature", t.winpath(manifest + ".sig"), "--channel", "win10"]
        code, lines = t.run_test(args)
        self.assert_fresh_success(code, lines)
        private.stop()
        shutil.rmtree(self.install)
        code, lines = t.run_test(args)
        self.assert_fresh_success(code, lines, downloaded=False)
        self.assert_installed(data)
        self.assertEqual({self.package_name()}, self.cache_files())

    def test_cached_package_held_by_another_process(self):
        data = package_bytes(filler=MiB, seed="held")
        manifest = self.manifest_for(data)
        code, lines, _ = self.run_job(manifest)
        self.assert_fresh_success(code, lines)
        cached = os.path.join(self.cache, self.package_name())
        # (hold in seconds, exit code, last line): a moment is waited for; longer fails with 32 and keeps it.
        for seconds, exit_code, last in ((1.5, 0, FRESH_DONE), (15, 1, "首次下载失败（错误 32")):
            with self.subTest(hold=seconds):
                shutil.rmtree(self.install, ignore_errors=True)
                holder = self.hold(cached, seconds)
                code, lines, requests = self.run_job(manifest)
                holder.wait(timeout=120)
                self.assertEqual(exit_code, code, lines)
                self.assertTrue(lines[-1].startswith(last), lines)
                self.assertEqual([], requests, "no package byte fetched again")
                self.assertEqual({self.package_name()}, self.cache_files())
        code, lines, requests = self.run_job(manifest)
        self.assert_fresh_success(code, lines, downloaded=False)
        self.assertEqual([], requests)

    def test_cached_package_that_no_longer_matches_is_fetched_again(self):
        data = package_bytes(seed="fresh")
        manifest = self.manifest_for(data)
        t.write_file(os.path.join(self.cache, self.package_name()), data[:-1] + bytes([data[-1] ^ 1]))
        code, lines, requests = self.run_job(manifest)
        self.assert_fresh_success(code, lines)
        self.assertEqual(len(data), sum(r["bytes"] for r in requests if r["range"] != "bytes=0-0"))
        with open(os.path.join(self.cache, self.package_name()), "rb") as f:
            self.assertEqual(data, f.read())

    def test_ranges_refused_gives_single_stream(self):
        data = package_bytes(filler=MiB, seed="single")
        manifest = self.manifest_for(data, block="norange")
        code, lines, requests = self.run_job(manifest)
        self.assertEqual(0, code, lines)
        self.assertEqual(channel_lines("win10") + [OPENING, CHECKING, t.EXTRACT_TEXT, FRESH_DONE],
                         without_progress(lines))
        self.assertEqual(2, len(requests), requests)  # the probe (answered 200) and one plain GET
        self.assertTrue(all(r["status"] == 200 for r in requests))
        self.assertEqual({self.package_name()}, self.cache_files())
        self.assert_installed(data)

    def test_package_changed_on_server_between_runs(self):
        old = package_bytes(filler=4 * MiB, seed="old")
        manifest = self.manifest_for(old)
        code, lines, _ = self.run_job(manifest, extra=["--cancel-after-bytes", str(2 * MiB)])
        self.assertEqual(1, code)
        # The vendor replaces the package (same size, same version) and signs a new manifest.
        new = package_bytes(filler=4 * MiB, seed="new")
        self.assertEqual(len(old), len(new))
        stale_manifest = self.manifest_for(new)
        # The server now serves the new bytes, but the parts on disk came from the old package.
        code, lines, _ = self.run_job(stale_manifest)
        self.assertEqual(1, code, lines)
        self.assertEqual(CHECKING, lines[-2])
        self.assertTrue(lines[-1].startswith("首次下载失败（错误 23"), lines[-1])
        self.assertEqual(set(), self.cache_files(), "no package, merged or part file left")
        code, lines, _ = self.run_job(stale_manifest)
        self.assert_fresh_success(code, lines)
        self.assert_installed(new)


class Refusals(Scenario):
    def test_package_url_answering_404(self):
        local = t.write_file(os.path.join(self.work, "packages", "package.zip"), package_bytes())
        manifest = publish(self.work, {"win10": (local, self.server.url("missing/package.zip"))})
        code, lines, requests = self.run_job(manifest)
        self.assertEqual(1, code)
        self.assertEqual(channel_lines("win10") + [OPENING], lines[:-1])
        self.assertTrue(lines[-1].startswith("首次下载失败（错误 2"), lines[-1])
        self.assertEqual([404, 404], [r["status"] for r in requests])
        self.assertFalse(os.path.exists(self.install))
        self.assertEqual(set(), self.cache_files())

    def test_bad_signature(self):
        data = package_bytes()
        manifest = self.manifest_for(data)
        other = publish(t.fresh_dir(self._testMethodName + "-other"),
                        {"win10": (os.path.join(self.work, "packages", "package.zip"),
                                   self.server.url("x/package.zip"))}, key="other")
        shutil.copy(other + ".sig", manifest + ".sig")
        code, lines, requests = self.run_job(manifest)
        self.assertEqual(1, code)
        self.assertEqual([DETECT, "测试通道：win10", READING, "首次下载失败（错误 3758161921）"], lines)
        self.assertEqual([], requests)
        self.assertFalse(os.path.exists(self.install))
        self.assertFalse(os.path.exists(self.cache))

    def test_manifest_changed_after_signing(self):
        manifest = self.manifest_for(package_bytes())
        with open(manifest, "rb") as f:
            text = f.read()
        with open(manifest, "wb") as f:
            f.write(text.replace(VERSION.encode(), b"2.1.1"))
        code, lines, requests = self.run_job(manifest)
        self.assertEqual(1, code)
        self.assertEqual("首次下载失败（错误 3758161921）", lines[-1])
        self.assertEqual([], requests)

    def test_local_package_with_wrong_hash(self):
        data = package_bytes()
        manifest = self.manifest_for(data)
        wrong = t.write_file(os.path.join(self.work, "local.zip"), data[:-1] + b"\x01")
        code, lines, requests = self.run_job(manifest, extra=["--package", t.winpath(wrong)])
        self.assertEqual(1, code)
        self.assertEqual(channel_lines("win10"), lines[:-1])
        self.assertTrue(lines[-1].startswith("首次下载失败（错误 23"), lines[-1])
        self.assertEqual([], requests)
        self.assertFalse(os.path.exists(self.cache), "a local package uses no cache")
        self.assertFalse(os.path.exists(self.install))

    def test_local_package_installs_without_download(self):
        data = package_bytes(seed="local")
        manifest = self.manifest_for(data)
        local = t.write_file(os.path.join(self.work, "local.zip"), data)
        code, lines, requests = self.run_job(manifest, extra=["--package", t.winpath(local)])
        self.assert_fresh_success(code, lines, downloaded=False)
        self.assertEqual([], requests)
        self.assert_installed(data)

    def test_install_path_naming_a_file_fails_after_download_and_cache_is_reused(self):
        data = package_bytes(seed="file")
        manifest = self.manifest_for(data)
        t.write_file(self.install, b"not a directory")
        code, lines, requests = self.run_job(manifest)
        self.assertEqual(1, code)
        self.assertEqual(channel_lines("win10") + [OPENING, MERGING, CHECKING], without_progress(lines)[:-1])
        self.assertTrue(lines[-1].startswith("首次下载失败（错误 "), lines[-1])
        self.assertEqual({self.package_name()}, self.cache_files())
        with open(self.install, "rb") as f:
            self.assertEqual(b"not a directory", f.read(), "the file is left alone")
        os.remove(self.install)
        code, lines, requests = self.run_job(manifest)
        self.assert_fresh_success(code, lines, downloaded=False)
        self.assertEqual([], requests)

    def test_channels_from_a_manifest_with_both(self):
        seven, ten = package_bytes(seed="seven"), package_bytes(seed="ten")
        local7, url7 = self.serve("p7.zip", seven)
        local10, url10 = self.serve("p10.zip", ten)
        manifest = publish(self.work, {"win7": (local7, url7), "win10": (local10, url10)})
        for channel, data in (("win7", seven), ("win10", ten)):
            shutil.rmtree(self.install, ignore_errors=True)
            code, lines, requests = self.run_job(manifest, channel=channel)
            self.assert_fresh_success(code, lines, channel=channel)
            self.assert_installed(data)
            self.assertTrue(all(("p7" if channel == "win7" else "p10") in r["uri"] for r in requests))
        self.assertEqual({self.package_name("win7"), self.package_name("win10")}, self.cache_files())

    def test_manifest_without_the_selected_channel(self):
        local, url = self.serve("p7.zip", package_bytes())
        manifest = publish(self.work, {"win7": (local, url)})
        code, lines, requests = self.run_job(manifest, channel="win10")
        self.assertEqual(1, code)
        self.assertEqual([DETECT, "测试通道：win10", READING], lines[:-1])
        self.assertTrue(lines[-1].startswith("首次下载失败（错误 13"), lines[-1])
        self.assertEqual([], requests)


if __name__ == "__main__":
    unittest.main()
