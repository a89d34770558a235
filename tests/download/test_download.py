"""Download integration: the program's request layer, fetch and package download run in the Windows
driver dltool.exe (real WinHTTP under Wine) against loopback servers started here: nginx for the real
server behaviour, the fault server for broken, oversized, refused and redirected answers."""
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("TOV_SOURCE_DIR") or os.path.dirname(os.path.dirname(HERE))
BUILD = os.environ.get("TOV_BUILD_DIR") or os.path.join(SOURCE, "build")
sys.path.insert(0, os.path.join(SOURCE, "tests", "servers"))

import faultserver  # noqa: E402
import nginx  # noqa: E402

TOOL = os.path.join(BUILD, "tests", "dltool.exe")
WINE_RUN = os.path.join(BUILD, "rig", "wine-run")
WORK = os.path.join(BUILD, "download-work")
ROOT = os.path.join(WORK, "www")

MiB = 1 << 20
CHUNK = 262144
CANCELLED, READ_FAULT, CRC, HANDLE_EOF, FILE_INVALID = 1223, 30, 23, 38, 1006
FILE_NOT_FOUND, FILE_TOO_LARGE, INVALID_PARAMETER = 2, 223, 87
INVALID_SERVER_RESPONSE, REDIRECT_FAILED, SECURE_FAILURE, TIMEOUT = 12152, 12156, 12157, 12002
OPENING_TEXT = "正在下载 0%，下载速度 0.0 MB/s"
MERGE_TEXT = "下载完成，正在合并分段…"
CHECK_TEXT = "正在校验完整包大小和 SHA-256…"

servers = {}
files = {}


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def sha(data):
    return hashlib.sha256(data).hexdigest()


LOG_DIR = os.path.join(WORK, "log")
TOOL_ENV = dict(os.environ, TOV_DLTOOL_TEMP="Z:" + LOG_DIR.replace("/", "\\") + "\\")


def tool_log_lines():
    """The driver's own log (kept apart from the shared one), without timestamps."""
    path = os.path.join(LOG_DIR, "TOVKinemoDownloader.log")
    if not os.path.exists(path):
        return []
    with open(path, "rb") as log:
        return [line.decode("utf-8")[20:] for line in log.read().split(b"\r\n") if line]


def reset_tool_log():
    path = os.path.join(LOG_DIR, "TOVKinemoDownloader.log")
    if os.path.exists(path):
        os.remove(path)


def tool(*args, timeout=300):
    proc = subprocess.run([WINE_RUN, TOOL] + [str(a) for a in args], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout, env=TOOL_ENV)
    lines = [line for line in proc.stdout.decode("utf-8").splitlines() if line.startswith("{")]
    if proc.returncode != 0 or not lines:
        raise AssertionError("dltool %s failed (%d): %s %s" % (args[:2], proc.returncode, proc.stdout, proc.stderr))
    return json.loads(lines[-1])


def segment_bounds(size):
    return [(size * i // 8, size * (i + 1) // 8 - 1) for i in range(8)]


def add_file(name, data):
    files[name] = data
    with open(os.path.join(ROOT, name), "wb") as out:
        out.write(data)
    servers["fault"].add(name, data)


def setUpModule():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(ROOT)
    os.makedirs(LOG_DIR)
    nginx.ensure_certs(BUILD)
    servers["fault"] = faultserver.FaultServer(BUILD).start()
    rng = __import__("random").Random(20240601)
    blob = lambda n: bytes(rng.getrandbits(8) for _ in range(n)) if n < 4096 else os.urandom(n)
    add_file("empty.bin", b"")
    add_file("64k.bin", blob(65536))
    add_file("4m-1.bin", blob(4 * MiB - 1))
    add_file("4m.bin", blob(4 * MiB))
    add_file("pkg3.zip", blob(3 * MiB + 5))
    add_file("pkg8.zip", blob(8 * MiB))
    add_file("pkg1.zip", blob(MiB + 3))
    for size in range(1, 8):
        add_file("tiny%d.zip" % size, blob(size))
    servers["nginx"] = nginx.Nginx(ROOT, BUILD).start()


def tearDownModule():
    for server in servers.values():
        server.stop()


class Cache:
    """A fresh cache directory and the names of the files the download keeps in it."""

    def __init__(self, name, version="2.1.0", channel="win10"):
        self.dir = os.path.join(WORK, "cache", name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.version, self.channel = version, channel
        self.final = os.path.join(self.dir, "package-%s-%s.zip" % (version, channel))
        self.merged = self.final + ".partial"
        self.parts = [self.merged + ".part%d" % i for i in range(8)]

    def download(self, url, data=None, size=None, digest=None, *extra):
        size = len(data) if size is None else size
        digest = sha(data) if digest is None else digest
        return tool("download", "--url", url, "--sha", digest, "--size", size, "--version", self.version,
                    "--channel", self.channel, "--cache", winpath(self.dir), *extra)

    def part_sizes(self):
        return [os.path.getsize(p) if os.path.exists(p) else None for p in self.parts]

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def write(self, path, data):
        with open(path, "wb") as f:
            f.write(data)

    def listing(self):
        return sorted(os.listdir(self.dir))


def nginx_ranges(entries, uri):
    """The segment requests for uri: every request after the range probe that opens each download."""
    entries = [e for e in entries if e["uri"] == uri]
    if entries and entries[0]["range"] == "bytes=0-0":
        entries = entries[1:]
    return entries


class RequestLayerTest(unittest.TestCase):
    def test_only_https_urls_are_opened_and_before_any_connection(self):
        fault = servers["fault"]
        fault.reset()
        long_host = "https://" + "h" * 512 + ".example/"
        cases = [
            ("http://localhost:%d/pkg1.zip" % fault.port, INVALID_PARAMETER),
            ("ftp://localhost:%d/pkg1.zip" % fault.port, INVALID_PARAMETER),
            ("localhost/pkg1.zip", INVALID_PARAMETER),
            (long_host, INVALID_PARAMETER),
            ("https://localhost:%d/%s" % (fault.port, "p" * 4096), INVALID_PARAMETER),
            ("https://localhost:%d/x?%s" % (fault.port, "q" * 2048), INVALID_PARAMETER),
        ]
        for url, code in cases:
            with self.subTest(url=url[:60]):
                opened = tool("request", url)
                self.assertEqual((opened["opened"], opened["openError"], opened["handlesNull"]), (0, code, 1))
                fetched = tool("fetch", url, winpath(os.path.join(WORK, "never.bin")))
                self.assertEqual((fetched["ok"], fetched["error"], fetched["bufferNull"], fetched["length"]),
                                 (0, code, 1, 0))
        self.assertEqual(fault.connections, 0)
        # Components exactly at their limits still open (the host then fails to resolve, a platform code).
        limit = tool("request", "https://localhost:%d/%s?%s" % (fault.port, "p" * 4094, "q" * 2046))
        self.assertEqual(limit["opened"], 1)

    def test_refused_extra_headers_leave_no_handles(self):
        url = servers["fault"].url("pkg1.zip")
        for header in ["no colon here\\r\\n", ": empty name\\r\\n"]:
            with self.subTest(header=header):
                result = tool("request", url, header)
                self.assertEqual(result["opened"], 0)
                self.assertNotEqual(result["openError"], 0)
                self.assertEqual(result["handlesNull"], 1)
        ranged = tool("request", url, "Range: bytes=0-0\\r\\n")
        self.assertEqual((ranged["opened"], ranged["sent"], ranged["status"]), (1, 1, 206))

    def test_query_travels_in_the_object_name_to_the_explicit_port(self):
        fault = servers["fault"]
        fault.reset()
        out = os.path.join(WORK, "echo.bin")
        url = fault.url("echo", mode="echo", a="1 2", b="x/y") + "#frag"
        result = tool("fetch", url, winpath(out))
        self.assertEqual(result["ok"], 1, result)
        with open(out, "rb") as f:
            body = f.read()
        self.assertTrue(body.startswith(b"/echo?mode=echo&a=1+2&b=x%2Fy"), body)
        served = fault.served("/echo")
        self.assertEqual(len(served), 1)
        self.assertEqual(served[0].agent, "TOVKinemoDownloader/1.0")

    def test_fetch_body_sizes_around_the_growth_limits(self):
        cases = [("empty.bin", 1, 0), ("64k.bin", 1, 0), ("4m-1.bin", 1, 0), ("4m.bin", 0, FILE_TOO_LARGE)]
        for name, ok, code in cases:
            with self.subTest(name=name):
                out = os.path.join(WORK, "fetched-" + name)
                result = tool("fetch", servers["nginx"].url(name), winpath(out))
                self.assertEqual((result["ok"], result["error"]), (ok, code), result)
                if ok:
                    self.assertEqual(result["terminated"], 1)
                    self.assertEqual(result["length"], len(files[name]))
                    with open(out, "rb") as f:
                        self.assertEqual(f.read(), files[name])
                else:
                    self.assertEqual((result["bufferNull"], result["length"]), (1, 0))

    def test_unexpected_status_fails_without_reading_the_body(self):
        fault = servers["fault"]
        body = 16 * MiB
        cases = [(404, FILE_NOT_FOUND), (410, FILE_NOT_FOUND), (500, INVALID_SERVER_RESPONSE),
                 (403, INVALID_SERVER_RESPONSE), (206, INVALID_SERVER_RESPONSE)]
        for status, code in cases:
            with self.subTest(status=status):
                fault.reset()
                result = tool("fetch", fault.url("s", mode="status", code=status, body=body),
                              winpath(os.path.join(WORK, "never.bin")))
                self.assertEqual((result["ok"], result["error"], result["bufferNull"]), (0, code, 1))
                served = fault.served("/s")
                self.assertEqual(len(served), 1)
                # Socket buffers take a few MiB at most; a client that read the body would take all 16.
                self.assertLess(served[0].bytes_sent, body // 2)
        missing = tool("fetch", servers["nginx"].url("missing.bin"), winpath(os.path.join(WORK, "never.bin")))
        self.assertEqual((missing["ok"], missing["error"]), (0, FILE_NOT_FOUND))

    def test_redirects_within_https_only(self):
        fault = servers["fault"]
        out = os.path.join(WORK, "redirected.bin")
        followed = tool("fetch", fault.url("r", mode="redirect", to=servers["nginx"].url("64k.bin")), winpath(out))
        self.assertEqual(followed["ok"], 1, followed)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), files["64k.bin"])
        fault.reset()
        downgrade = tool("fetch", fault.url("r", mode="redirect", to="http://localhost:%d/64k.bin" % fault.port),
                         winpath(out))
        self.assertEqual((downgrade["ok"], downgrade["error"]), (0, REDIRECT_FAILED))
        self.assertEqual([s.path for s in fault.served()], ["/r"])

    def test_servers_without_tls12_or_trust_are_refused(self):
        ngx = servers["nginx"]
        blocks = ["tls13", "rogue"] + (["tls11"] if ngx.tls11_available else [])
        if not ngx.tls11_available:
            print("note: this nginx/OpenSSL cannot serve TLS 1.1; that case is not run", file=sys.stderr)
        for block in blocks:
            with self.subTest(block=block):
                result = tool("fetch", ngx.url("64k.bin", block), winpath(os.path.join(WORK, "never.bin")))
                self.assertEqual(result["ok"], 0)
                # Wine reports every TLS failure as 12157; Windows uses 12175 for some.
                self.assertIn(result["error"], (SECURE_FAILURE, 12175), result)
        control = tool("fetch", ngx.url("64k.bin"), winpath(os.path.join(WORK, "control.bin")))
        self.assertEqual(control["ok"], 1)

    @unittest.skipIf(os.environ.get("TOV_SKIP_SLOW"), "receive time-out cases skipped (TOV_SKIP_SLOW)")
    def test_stalls_past_the_receive_timeout(self):
        # The program's 30 s time-outs are not shortened: the server waits 40 s, once before the response
        # head and once in the middle of the body; both cases run side by side.
        fault = servers["fault"]
        fault.reset()
        urls = {"head": fault.url("64k.bin", mode="stall", s=40),
                "body": fault.url("64k.bin", mode="stall", s=40, at=20000)}
        start = time.time()
        procs = {name: subprocess.Popen([WINE_RUN, TOOL, "fetch", url, winpath(os.path.join(WORK, "never.bin"))],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, env=TOOL_ENV)
                 for name, url in urls.items()}
        for name, proc in procs.items():
            with self.subTest(stall=name):
                out, _ = proc.communicate(timeout=120)
                elapsed = time.time() - start
                result = json.loads(out.decode().strip().splitlines()[-1])
                # Wine reports the socket's WSAETIMEDOUT (10060), Windows ERROR_WINHTTP_TIMEOUT.
                self.assertEqual(result["ok"], 0)
                self.assertIn(result["error"], (TIMEOUT, 10060), result)
                self.assertGreater(elapsed, 28)
                self.assertLess(elapsed, 39)


class SegmentedDownloadTest(unittest.TestCase):
    def test_eight_ranges_merged_checked_and_renamed(self):
        ngx, data = servers["nginx"], files["pkg3.zip"]
        cache = Cache("segmented")
        mark = ngx.mark()
        reset_tool_log()
        result = cache.download(ngx.url("pkg3.zip"), data, None, None, "--window")
        self.assertEqual((result["ok"], result["error"]), (1, 0), result)
        self.assertEqual(result["path"], winpath(cache.final))
        self.assertEqual(cache.read(cache.final), data)
        self.assertEqual(cache.listing(), [os.path.basename(cache.final)])
        entries = ngx.entries_since(mark)
        self.assertEqual(entries[0]["range"], "bytes=0-0")
        asked = sorted(e["range"] for e in entries[1:])
        self.assertEqual(asked, sorted("bytes=%d-%d" % b for b in segment_bounds(len(data))))
        self.assertTrue(all(e["status"] == 206 for e in entries))
        self.assertEqual(result["percents"][-1], 100)
        self.assertTrue(all(0 <= p <= 99 for p in result["percents"][:-1]))
        self.assertEqual(result["texts"][0], OPENING_TEXT)
        self.assertEqual(result["texts"][-2:], [MERGE_TEXT, CHECK_TEXT])
        self.assertEqual(tool_log_lines(), result["texts"])

    def test_packages_below_eight_bytes(self):
        ngx = servers["nginx"]
        for size in range(1, 8):
            with self.subTest(size=size):
                name = "tiny%d.zip" % size
                cache = Cache("tiny%d" % size)
                mark = ngx.mark()
                result = cache.download(ngx.url(name), files[name])
                self.assertEqual((result["ok"], result["error"]), (1, 0), result)
                self.assertEqual(cache.read(cache.final), files[name])
                self.assertEqual(cache.listing(), [os.path.basename(cache.final)])
                ranges = nginx_ranges(ngx.entries_since(mark), "/" + name)
                expected = ["bytes=%d-%d" % b for b in segment_bounds(size) if b[1] >= b[0]]
                self.assertEqual(sorted(e["range"] for e in ranges), sorted(expected))

    def test_resume_after_cancel_after_bytes_fetches_only_missing_bytes(self):
        ngx, data = servers["nginx"], files["pkg8.zip"]
        cache = Cache("resume")
        first = cache.download(ngx.url("pkg8.zip"), data, None, None, "--cancel-after", 2 * MiB)
        self.assertEqual((first["ok"], first["error"]), (0, CANCELLED), first)
        self.assertFalse(os.path.exists(cache.final))
        sizes = cache.part_sizes()
        self.assertTrue(all(s is not None for s in sizes), sizes)
        kept = sum(sizes)
        self.assertGreaterEqual(kept, 2 * MiB)
        self.assertLess(kept, len(data))
        bounds = segment_bounds(len(data))
        for index, ((low, high), size) in enumerate(zip(bounds, sizes)):
            self.assertEqual(cache.read(cache.parts[index]), data[low:low + size])

        mark = ngx.mark()
        second = cache.download(ngx.url("pkg8.zip"), data, None, None, "--window")
        self.assertEqual((second["ok"], second["error"]), (1, 0), second)
        self.assertEqual(cache.read(cache.final), data)
        self.assertEqual(cache.listing(), [os.path.basename(cache.final)])
        ranges = nginx_ranges(ngx.entries_since(mark), "/pkg8.zip")
        expected = ["bytes=%d-%d" % (low + size, high) for (low, high), size in zip(bounds, sizes)
                    if size < high - low + 1]
        self.assertEqual(sorted(e["range"] for e in ranges), sorted(expected))
        self.assertEqual(sum(e["bytes"] for e in ranges), len(data) - kept)
        self.assertEqual(second["percents"][0], min(99, kept * 100 // len(data)))

    def test_verified_cached_package_is_reused_without_a_server(self):
        data = files["pkg1.zip"]
        cache = Cache("reuse")
        own = nginx.Nginx(ROOT, BUILD, name="nginx-reuse", tls11=False).start()
        try:
            url = own.url("pkg1.zip")
            self.assertEqual(cache.download(url, data)["ok"], 1)
        finally:
            own.stop()
        again = cache.download(url, data, None, None, "--window")
        self.assertEqual((again["ok"], again["error"]), (1, 0), again)
        self.assertEqual((again["percents"], again["texts"]), ([100], []))
        self.assertEqual(cache.read(cache.final), data)

    def test_wrong_cached_package_is_deleted_and_fetched_again(self):
        ngx, data = servers["nginx"], files["pkg1.zip"]
        for name, stale in [("same-size", bytes(len(data))), ("short", data[:1000])]:
            with self.subTest(stale=name):
                cache = Cache("stale-" + name)
                cache.write(cache.final, stale)
                mark = ngx.mark()
                result = cache.download(ngx.url("pkg1.zip"), data)
                self.assertEqual((result["ok"], result["error"]), (1, 0), result)
                self.assertEqual(cache.read(cache.final), data)
                self.assertEqual(len(nginx_ranges(ngx.entries_since(mark), "/pkg1.zip")), 8)

    def test_part_files_longer_than_their_segment_start_over_shorter_ones_continue(self):
        ngx, data = servers["nginx"], files["pkg1.zip"]
        bounds = segment_bounds(len(data))
        cache = Cache("odd-parts")
        cache.write(cache.parts[0], b"\xff" * (bounds[0][1] - bounds[0][0] + 2))
        cache.write(cache.parts[1], data[bounds[1][0]:bounds[1][0] + 5000])
        mark = ngx.mark()
        result = cache.download(ngx.url("pkg1.zip"), data)
        self.assertEqual((result["ok"], result["error"]), (1, 0), result)
        self.assertEqual(cache.read(cache.final), data)
        asked = {e["range"] for e in nginx_ranges(ngx.entries_since(mark), "/pkg1.zip")}
        self.assertIn("bytes=%d-%d" % bounds[0], asked)
        self.assertIn("bytes=%d-%d" % (bounds[1][0] + 5000, bounds[1][1]), asked)

    def test_hash_mismatch_after_merge_leaves_no_package_file(self):
        ngx, data = servers["nginx"], files["pkg1.zip"]
        low, high = segment_bounds(len(data))[5]
        altered = bytearray(data[low:high + 1])
        altered[len(altered) // 2] ^= 0x01
        # The digest is taken on the way into the merged file: a complete part with one byte changed
        # (its size kept, so it is not fetched again) must fail as surely as a wrong manifest digest.
        cases = [("digest", ngx.url("pkg1.zip"), "0" * 64, None),
                 ("altered-part", ngx.url("pkg1.zip"), None, bytes(altered)),
                 ("single-stream", ngx.url("pkg1.zip", "norange"), "0" * 64, None)]
        for name, url, digest, part5 in cases:
            with self.subTest(case=name):
                cache = Cache("hash-" + name)
                if part5 is not None:
                    cache.write(cache.parts[5], part5)
                result = cache.download(url, data, None, digest)
                self.assertEqual((result["ok"], result["error"]), (0, CRC), result)
                self.assertEqual(cache.listing(), [])

    def test_cancel_flag_set_before_the_start(self):
        ngx = servers["nginx"]
        cache = Cache("cancel-preset")
        mark = ngx.mark()
        result = cache.download(ngx.url("pkg1.zip"), files["pkg1.zip"], None, None, "--cancel-preset")
        self.assertEqual((result["ok"], result["error"]), (0, CANCELLED), result)
        # Probe and the segments' requests still run; no body byte reaches a part file.
        self.assertEqual(cache.part_sizes(), [0] * 8)
        self.assertFalse(os.path.exists(cache.final))
        self.assertEqual(len(nginx_ranges(ngx.entries_since(mark), "/pkg1.zip")), 8)

    def test_directory_at_the_final_path_fails_the_rename(self):
        cache = Cache("dir-final")
        os.makedirs(cache.final)
        result = cache.download(servers["nginx"].url("pkg1.zip"), files["pkg1.zip"])
        self.assertEqual(result["ok"], 0)
        self.assertNotIn(result["error"], (0, CANCELLED, CRC))
        self.assertTrue(os.path.isdir(cache.final))
        self.assertEqual(cache.read(cache.merged), files["pkg1.zip"])


class SegmentFaultTest(unittest.TestCase):
    def ranges_by_segment(self, served, size):
        by_end = {}
        for record in served:
            if record.range and record.range != "bytes=0-0":
                by_end.setdefault(int(record.range.rsplit("-", 1)[1]), []).append(record)
        return [by_end.get(high, []) for _, high in segment_bounds(size)]

    def test_broken_ranges_retry_from_the_bytes_on_disk(self):
        fault, data = servers["fault"], files["pkg1.zip"]
        fault.reset()
        cache = Cache("broken")
        cut = 100000
        result = cache.download(fault.url("pkg1.zip", mode="break", n=cut), data)
        self.assertEqual((result["ok"], result["error"]), (1, 0), result)
        self.assertEqual(cache.read(cache.final), data)
        for (low, high), records in zip(segment_bounds(len(data)), self.ranges_by_segment(fault.served(), len(data))):
            self.assertEqual([r.range for r in records], ["bytes=%d-%d" % (low, high),
                                                          "bytes=%d-%d" % (low + cut, high)])

    def test_ranges_answered_with_200_fail_after_three_attempts(self):
        fault, data = servers["fault"], files["pkg1.zip"]
        fault.reset()
        bounds = segment_bounds(len(data))
        cache = Cache("range200")
        kept = {0: data[bounds[0][0]:bounds[0][0] + 777], 3: data[bounds[3][0]:bounds[3][0] + 4000]}
        for index, piece in kept.items():
            cache.write(cache.parts[index], piece)
        start = time.time()
        result = cache.download(fault.url("pkg1.zip", mode="range200"), data)
        self.assertEqual((result["ok"], result["error"]), (0, READ_FAULT), result)
        self.assertGreaterEqual(time.time() - start, 3.0)  # pauses of 500, 1000 and 1500 ms
        for index, records in enumerate(self.ranges_by_segment(fault.served(), len(data))):
            have = len(kept.get(index, b""))
            self.assertEqual([r.range for r in records],
                             ["bytes=%d-%d" % (bounds[index][0] + have, bounds[index][1])] * 3)
            self.assertTrue(all(r.status == 200 for r in records))
        for index in range(8):
            if index in kept:
                self.assertEqual(cache.read(cache.parts[index]), kept[index])
            else:
                self.assertFalse(os.path.exists(cache.parts[index]))
        self.assertFalse(os.path.exists(cache.final))

    def test_surplus_bytes_delete_the_part_and_restart_the_segment(self):
        fault, data = servers["fault"], files["pkg1.zip"]
        fault.reset()
        cache = Cache("surplus")
        result = cache.download(fault.url("pkg1.zip", mode="extra", n=5000), data)
        self.assertEqual((result["ok"], result["error"]), (1, 0), result)
        self.assertEqual(cache.read(cache.final), data)
        for (low, high), records in zip(segment_bounds(len(data)), self.ranges_by_segment(fault.served(), len(data))):
            self.assertEqual([r.range for r in records], ["bytes=%d-%d" % (low, high)] * 2)


class SingleStreamTest(unittest.TestCase):
    def test_whole_file_when_ranges_are_refused(self):
        ngx, data = servers["nginx"], files["pkg3.zip"]
        cache = Cache("single")
        stale_part = b"stale part bytes"
        cache.write(cache.parts[0], stale_part)
        cache.write(cache.merged, b"old merged file")
        mark = ngx.mark()
        # The threshold applies to segment threads only: this download runs to its end.
        result = cache.download(ngx.url("pkg3.zip", "norange"), data, None, None, "--cancel-after", 1000,
                                "--window")
        self.assertEqual((result["ok"], result["error"]), (1, 0), result)
        self.assertEqual(cache.read(cache.final), data)
        self.assertEqual(cache.read(cache.parts[0]), stale_part)
        self.assertFalse(os.path.exists(cache.merged))
        entries = ngx.entries_since(mark)
        self.assertEqual([(e["range"], e["status"]) for e in entries], [("bytes=0-0", 200), ("", 200)])
        self.assertEqual(entries[1]["bytes"], len(data))
        self.assertEqual(result["percents"][-1], 100)
        self.assertEqual(result["texts"][0], OPENING_TEXT)
        self.assertEqual(result["texts"][-1], CHECK_TEXT)
        self.assertNotIn(MERGE_TEXT, result["texts"])

    def test_stream_shorter_or_longer_than_the_package(self):
        ngx, data = servers["nginx"], files["4m.bin"]
        short = Cache("single-short")
        result = short.download(ngx.url("4m.bin", "norange"), data, len(data) + 1)
        self.assertEqual((result["ok"], result["error"]), (0, HANDLE_EOF), result)
        self.assertEqual(short.read(short.merged), data)
        self.assertFalse(os.path.exists(short.final))

        long = Cache("single-long")
        size = MiB
        result = long.download(ngx.url("4m.bin", "norange"), data[:size], size)
        self.assertEqual((result["ok"], result["error"]), (0, FILE_INVALID), result)
        # Stopped with the first chunk past the package size, not at the end of the 4 MiB body.
        written = os.path.getsize(long.merged)
        self.assertGreater(written, size)
        self.assertLessEqual(written, size + CHUNK)
        self.assertEqual(long.read(long.merged), data[:written])
        self.assertFalse(os.path.exists(long.final))

    def test_unexpected_status_on_the_stream(self):
        fault = servers["fault"]
        for status, code in [(404, FILE_NOT_FOUND), (410, FILE_NOT_FOUND), (500, INVALID_SERVER_RESPONSE)]:
            with self.subTest(status=status):
                cache = Cache("single-status-%d" % status)
                cache.write(cache.merged, b"old merged file")
                result = cache.download(fault.url("s", mode="status", code=status, body=100), b"x" * 100)
                self.assertEqual((result["ok"], result["error"]), (0, code), result)
                self.assertEqual(cache.listing(), [])

    def test_server_without_ranges_from_the_fault_server(self):
        fault, data = servers["fault"], files["pkg1.zip"]
        fault.reset()
        cache = Cache("single-fault")
        result = cache.download(fault.url("pkg1.zip", mode="norange"), data)
        self.assertEqual((result["ok"], result["error"]), (1, 0), result)
        self.assertEqual(cache.read(cache.final), data)
        self.assertEqual([(r.range, r.status) for r in fault.served()], [("bytes=0-0", 200), (None, 200)])


def make_package(path, entries, zip64=False):
    """A package as `tovpublish pack` makes it (fixed times, so unchanged entries keep their bytes): entries
    are (name, data, deflated); with zip64 every entry and the end records in zip64 form (Info-ZIP -fz)."""
    import zipfile
    if zip64:
        stage = path + ".stage"
        shutil.rmtree(stage, ignore_errors=True)
        for name, data, _ in entries:
            os.makedirs(os.path.dirname(os.path.join(stage, name)), exist_ok=True)
            with open(os.path.join(stage, name), "wb") as out:
                out.write(data)
            os.utime(os.path.join(stage, name), (1e9, 1e9))
        if os.path.exists(path):
            os.remove(path)
        subprocess.run(["zip", "-q", "-X", "-fz", "-0", path] + [n for n, _, _ in entries], cwd=stage, check=True)
        shutil.rmtree(stage)
    else:
        with zipfile.ZipFile(path, "w") as z:
            for name, data, deflated in entries:
                info = zipfile.ZipInfo(name, (2024, 6, 1, 12, 0, 0))
                info.compress_type = zipfile.ZIP_DEFLATED if deflated else zipfile.ZIP_STORED
                z.writestr(info, data)
    with open(path, "rb") as f:
        return f.read()


def release_entries(changed=(), added=0, salt=b""):
    """Six media files (stored, named in UTF-8 as installed files are found by) and six modules (deflated)
    of 256 KiB; changed ones get other bytes."""
    entries = []
    for i in range(12 + added):
        rng = __import__("random").Random(i if i not in changed else 1000 + i)
        data = bytes(rng.getrandbits(8) for _ in range(4096)) * 64
        entries.append(("Payload/%s%d.bin" % ("媒体-media" if i % 2 == 0 else "module", i), data + salt, i % 2 == 1))
    return entries


PUBLISHER = os.environ.get("TOV_PUBLISHER") or os.path.join(BUILD, "publisher", "tovpublish")
REUSE_LINE = "正在复用"
FALLBACK_LINE = "复用拼装的安装包未通过校验，改为下载完整安装包…"


class ReuseDownloadTest(unittest.TestCase):
    """An upgrade with the channel's reuse: what is fetched, what the cache keeps and what is shown."""

    def run_case(self, name, bases=(), new=None, reuse="true", install=None, zip64=False, serve=None,
                 cancel_after=None, block="ranges"):
        ngx = servers["nginx"]
        new = new or release_entries(changed=(3, 6), added=1)
        data = make_package(os.path.join(ROOT, name + ".zip"), new, zip64)
        cache = Cache("reuse-" + name)
        for version, entries in bases:
            path = os.path.join(cache.dir, "package-%s-win7.zip" % version)
            base = entries if isinstance(entries, bytes) else make_package(path, entries, zip64)
            cache.write(path, base)
        extra = ["--window", "--reuse", reuse]
        if install:
            extra += ["--upgrade-dir", winpath(install)]
        if cancel_after:
            extra += ["--cancel-after", cancel_after]
        mark = ngx.mark()
        reset_tool_log()
        url = serve(name + ".zip", data) if serve else ngx.url(name + ".zip", block=block)
        result = cache.download(url, data, None, None, *extra)
        entries = [e for e in ngx.entries_since(mark) if e["uri"] == "/%s.zip" % name]
        return cache, data, result, entries

    def assert_done(self, cache, data, result, bases):
        self.assertEqual((result["ok"], result["error"]), (1, 0), result)
        self.assertEqual(cache.read(cache.final), data)
        self.assertEqual(cache.listing(), sorted(bases + [os.path.basename(cache.final)]))

    def test_reuse_table(self):
        old = release_entries()
        first_half, second_half = old[:6], old[6:]
        changed_byte = bytearray(make_package(os.path.join(WORK, "old.zip"), old))
        changed_byte[changed_byte.index(old[0][1][:64]) + 100] ^= 1  # a stored file's byte, same size
        unchanged = make_package(os.path.join(WORK, "new-default.zip"), release_entries(changed=(3, 6), added=1))
        total = len(unchanged)
        changed = sum(len(d) for n, d, _ in release_entries(changed=(3, 6), added=1) if n.endswith(("3.bin", "6.bin", "12.bin")))
        install = os.path.join(WORK, "installed")
        shutil.rmtree(install, ignore_errors=True)
        for name, data, _ in old:
            os.makedirs(os.path.dirname(os.path.join(install, name[8:])), exist_ok=True)
            with open(os.path.join(install, name[8:]), "wb") as out:
                out.write(data)
        # name, bases, options, expected: (reused, fetched at most, line with versions, fallback)
        plain = (False, total, None, False)
        rows = [
            ("none", [], {}, plain),
            ("one", [("1.0.0", old)], {}, (True, 1.05 * changed + 70000, "V1.0.0", False)),
            ("several", [("1.0.0", first_half), ("1.1.0", second_half)], {},
             (True, 1.05 * changed + 70000, "V1.0.0、V1.1.0", False)),
            ("zip64", [("1.0.0", old)], {"zip64": True}, (True, 1.05 * changed + 70000, "V1.0.0", False)),
            ("installed", [], {"install": install}, (True, total - 5 * 262144 + 70000, "已安装文件", False)),
            ("changed-byte", [("1.0.0", bytes(changed_byte))], {}, (True, 2 * total, "V1.0.0", True)),
            ("norange", [("1.0.0", old)], {"serve": lambda n, d: (servers["fault"].add(n, d),
                                                                   servers["fault"].url(n, mode="norange"))[1]},
             (False, total, None, False)),
            ("nothing-shared", [("1.0.0", release_entries(salt=b"x"))], {}, (False, total + 70000, None, False)),
            ("member-false", [("1.0.0", old)], {"reuse": "false"}, plain),
        ]
        for name, bases, options, (reused, at_most, versions, fallback) in rows:
            with self.subTest(row=name):
                cache, data, result, entries = self.run_case(name, bases, **options)
                base_names = ["package-%s-win7.zip" % v for v, _ in bases]
                self.assert_done(cache, data, result, base_names)
                # Every line the log and the window got is one of the download's own.
                self.assertEqual(tool_log_lines(), result["texts"])
                known = re.compile("正在下载 \\d+%，下载速度 \\d+\\.\\d MB/s|正在复用.+中未变的 \\d+%，只需下载 \\d+\\.\\d MB…")
                self.assertTrue(all(known.fullmatch(t) or t in (MERGE_TEXT, CHECK_TEXT, FALLBACK_LINE)
                                    for t in result["texts"]), result["texts"])
                texts = [t for t in result["texts"] if t.startswith(REUSE_LINE)]
                self.assertEqual(len(texts), 1 if reused else 0, result["texts"])
                if reused:
                    self.assertIn(versions, texts[0])
                    self.assertEqual(result["texts"][-1], CHECK_TEXT)
                self.assertEqual(FALLBACK_LINE in result["texts"], fallback, result["texts"])
                if "serve" in options:
                    continue
                fetched = sum(e["bytes"] for e in entries if e["range"] != "bytes=0-0")
                self.assertLessEqual(fetched, at_most)
                self.assertTrue(all(e["status"] == 206 for e in entries), entries)
                if reused and len(bases) == 1 and not fallback:  # `tovpublish diff` says what is fetched
                    base = os.path.join(cache.dir, base_names[0])
                    new_zip = os.path.join(ROOT, name + ".zip")
                    diff = json.loads(subprocess.run([PUBLISHER, "diff", base, new_zip, "--json"],
                                                     capture_output=True, check=True).stdout)
                    self.assertEqual((diff["downloadBytes"], 1 + diff["requests"]["tail"] +
                                      diff["requests"]["fetch"]), (fetched, len(entries)))
                if not reused and name != "nothing-shared":  # exactly today's requests
                    self.assertEqual(sorted(e["range"] for e in entries),
                                     sorted(["bytes=0-0"] + ["bytes=%d-%d" % b for b in segment_bounds(len(data))]))

    def test_cancel_then_resume_fetches_only_what_is_missing(self):
        # 9 MiB to fetch, 8 of them one new file, from the server that sends each connection 4 MiB/s:
        # after the chunk that reaches the threshold each connection stops at its next chunk (at most
        # 256 KiB), so the first run always ends cancelled with most bytes still to fetch.
        ngx = servers["nginx"]
        old = release_entries()
        big = ("Payload/big.bin", __import__("random").Random(8).randbytes(8 * MiB), False)
        new = release_entries(changed=(0, 2, 4), added=1) + [big]
        cache, data, first, _ = self.run_case("resume", [("1.0.0", old)], new=new, cancel_after=200000,
                                              block="capped")
        self.assertEqual((first["ok"], first["error"]), (0, CANCELLED), first)
        self.assertFalse(os.path.exists(cache.final))
        kept = [f for f in cache.listing() if ".fetch" in f]
        self.assertTrue(kept)
        on_disk = sum(os.path.getsize(os.path.join(cache.dir, f)) for f in kept)
        mark = ngx.mark()
        second = cache.download(ngx.url("resume.zip"), data, None, None, "--reuse", "true")
        self.assert_done(cache, data, second, ["package-1.0.0-win7.zip"])
        again = sum(e["bytes"] for e in ngx.entries_since(mark) if e["range"] != "bytes=0-0")
        changed = sum(len(d) for n, d, _ in new if n.endswith(("a0.bin", "a2.bin", "a4.bin", "a12.bin", "big.bin")))
        self.assertLessEqual(again, changed + 70000 - on_disk)


EXE = os.path.join(BUILD, "TOVKinemoDownloader.exe")
HARNESS = os.path.join(SOURCE, "tests", "e2e", "tovtest.py")


@unittest.skipUnless(os.path.exists(EXE) and os.path.exists(HARNESS), "the exe or the e2e harness is not built")
class ExeDownloadTest(unittest.TestCase):
    def test_exe_resumes_into_the_cache_and_reaches_extraction(self):
        sys.path.insert(0, os.path.dirname(HARNESS))
        import tovtest as t
        ngx = servers["nginx"]
        work = os.path.join(WORK, "exe")
        os.makedirs(os.path.join(ROOT, "exe"), exist_ok=True)
        package = t.make_package(extra_bytes=3 * MiB)
        with open(os.path.join(ROOT, "exe", "package.zip"), "wb") as out:
            out.write(package)
        os.makedirs(work, exist_ok=True)
        manifest, signature = t.write_signed_manifest(
            work, t.make_manifest("2.1.0", {"win10": (ngx.url("exe/package.zip"), package)}))
        cache = Cache("exe")
        install = os.path.join(work, "install")
        shutil.rmtree(install, ignore_errors=True)
        args = ["--manifest", winpath(manifest), "--signature", winpath(signature), "--cache-dir",
                winpath(cache.dir), "--install-dir", winpath(install), "--channel", "win10", "--no-launch",
                "--no-shortcut"]

        code, lines = t.run_test(args + ["--cancel-after-bytes", str(MiB)])
        self.assertEqual(code, 1, lines)
        self.assertEqual(lines[-1], t.CANCEL_TEXT)
        sizes = cache.part_sizes()
        self.assertTrue(all(size is not None for size in sizes), sizes)
        kept = sum(sizes)
        self.assertGreaterEqual(kept, MiB)
        self.assertFalse(os.path.exists(cache.final))

        mark = ngx.mark()
        code, lines = t.run_test(args)
        self.assertIn(t.EXTRACT_TEXT, lines)
        order = [lines.index(text) for text in (OPENING_TEXT, MERGE_TEXT, CHECK_TEXT, t.EXTRACT_TEXT)]
        self.assertEqual(order, sorted(order), lines)
        self.assertEqual(cache.read(cache.final), package)
        self.assertEqual(cache.listing(), [os.path.basename(cache.final)])
        ranges = nginx_ranges(ngx.entries_since(mark), "/exe/package.zip")
        self.assertEqual(sum(e["bytes"] for e in ranges), len(package) - kept)
        print("note: exe exit code after extraction: %d" % code, file=sys.stderr)


if __name__ == "__main__":
    unittest.main()
