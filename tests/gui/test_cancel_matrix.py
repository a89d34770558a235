#!/usr/bin/env python3
"""The user's cancel at each step of a window run. The real exe in window mode, driven under Xvfb,
against the fault-injecting server as the vendor host: the server holds a request at a chosen point
(the manifest, the signature, the range probe, the middle of the segment bodies or of the single
stream), the PowerShell stand-in holds the extraction, the test presses Cancel while the run is held
there and then lets it go on. Each row checks the run's result and code, the box (or none), the last
status line and the files left in the cache and the install directory. Prints the rows as a table
(step, expected, seen).

Run as root (the namespace needs it): python3 tests/gui/test_cancel_matrix.py [-v]"""
import os
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "servers"))
import guirig  # noqa: E402
import test_window as w  # noqa: E402
import tovtest  # noqa: E402
from faultserver import FaultServer  # noqa: E402

MiB = 1024 * 1024
CHANNEL = "win7"  # the GUI prefix runs as Windows 7
PACKAGE_NAME = "package-%s-%s.zip" % (w.VERSION, CHANNEL)
PARTIAL_NAME = PACKAGE_NAME + ".partial"
HOLD = os.path.join(guirig.WORK, "extract-hold")
ROWS = []
_rig = w._rig  # the window cases read the X server from here


def setUpModule():
    guirig.setup_namespace_network()
    _rig["x"] = guirig.Xvfb()
    guirig.start_wine(_rig["x"].display)
    os.makedirs(guirig.WORK, exist_ok=True)
    server = FaultServer(guirig.ROOT).start(port=guirig.host_name_and_port()[1])
    guirig.on_exit(server.stop)
    _rig["fault"] = server
    # Segments of about 1.5 MiB: a held body is well inside every one of them.
    _rig["package"] = tovtest.make_package(extra_bytes=12 * MiB)
    server.add("package.zip", _rig["package"])


def tearDownModule():
    if ROWS:
        width = max(len(r[0]) for r in ROWS)
        expected_width = max(len(r[1]) for r in ROWS)
        print("\n%-*s | %-*s | %s" % (width, "cancel pressed", expected_width, "expected", "seen"), file=sys.stderr)
        print("-" * (width + 2 * expected_width + 6), file=sys.stderr)
        for step, expected, seen, ok in ROWS:
            print("%-*s | %-*s | %s%s" % (width, step, expected_width, expected, seen, "" if ok else "  <-- FAILED"),
                  file=sys.stderr)
    guirig.tear_down()


def segment_bounds(size):
    return [(size * i // 8, size * (i + 1) // 8 - 1) for i in range(8)]


def short(key, value):
    if key == "last" and value == w.CANCELLED:
        return "cancel line"
    if key == "parts" and isinstance(value, list):
        return "none" if value == [None] * 8 else "8 empty" if value == [0] * 8 else value
    if key == "package requests" and isinstance(value, list):
        if len(value) == 9 and "bytes=0-0" in value:
            return "probe + 8 ranges"
        return "none" if not value else value
    return value


def describe(outcome):
    """A short text of an outcome record, for the table."""
    texts = ["%s/%s" % (outcome["result"], outcome["code"]), outcome["box"]]
    for key in ("last", "parts", "partial", "package", "installed", "launched", "package requests"):
        if key in outcome:
            texts.append("%s: %s" % (key, short(key, outcome[key])))
    return ", ".join(str(t) for t in texts)


class CancelAtEveryStep(w.WindowCase):
    app_env = {"TOV_STANDIN_HOLD": guirig.wine_path(HOLD)}

    def setUp(self):
        self.server = _rig["fault"]
        self.server.reset()
        self.server.routes = {}
        self.release_extraction()
        super().setUp()

    # ---- the run ----

    def publish(self, package_query="", key="dev"):
        url = "https://%s/package.zip%s" % (guirig.HOST, "?" + package_query if package_query else "")
        data = _rig["package"]
        manifest = tovtest.make_manifest(w.VERSION, {"win7": (url, data), "win10": (url, data)})
        self.server.add("stable/update.json", manifest)
        self.server.add("stable/update.json.sig", tovtest.sign_bytes(manifest, key).encode("ascii"))

    def fresh_state(self):
        for path in (self.install_dir, self.cache_dir):
            if os.path.exists(path):
                for root, dirs, files in os.walk(path, topdown=False):
                    for name in files:
                        os.remove(os.path.join(root, name))
                    for name in dirs:
                        os.rmdir(os.path.join(root, name))
                os.rmdir(path)
        self.server.reset()
        self.server.routes = {}

    def release_extraction(self):
        with open(HOLD, "wb"):
            pass

    def hold_extraction(self):
        for path in (HOLD, HOLD + ".waiting"):
            if os.path.exists(path):
                os.remove(path)

    def press_cancel(self, mark):
        """Cancel while the run is held: the button goes grey and the status line says so at once."""
        self.driver.click(1005)
        events = self.wait_events(lambda e: ("command", "1005") in e[mark:], 20, "cancel handled")
        after = events[mark:]
        self.assertIn(("enable", "1005 0"), after)
        self.assertIn(("text", "1007 " + w.CANCELLING), after)

    def outcome(self, mark, timeout=180):
        """Waits for the end of the run; the result and code it posted, the box it showed (answered),
        its last status line and the state of the files."""
        events = self.wait_events(lambda e: any(k == "posted" and r.startswith("0x8003 ") for k, r in e[mark:]),
                                  timeout, "end of the run")[mark:]
        done = next(i for i, (k, r) in enumerate(events) if k == "posted" and r.startswith("0x8003 "))
        _, result, code = events[done][1].split(" ")
        box = self.driver.wait_box(3000 if code == "1223" else 30000)
        if box is None:
            box_text = "no box"
        else:
            box_text = "box " + box["box.text"].split("（")[0]
            self.driver.box_click(w.IDOK)
            self.wait_state(lambda s: s["box"] == "0", 10, "box closed")
        state = self.wait_state(lambda s: self.enabled(s) == w.IDLE_ENABLED, 10, "idle controls")
        texts = w.status_texts(events[:done])
        record = {
            "result": int(result),
            "code": int(code) if result != "0" else 0,
            "box": box_text,
            "last": texts[-1] if texts else None,
            "shown": state["ctl.1007.text"],
            "installed": os.path.exists(os.path.join(self.install_dir, "TOVKinemo.exe")),
        }
        self.assertEqual(record["last"], record["shown"], "the status line shows the run's last line")
        return record

    def package_cache(self):
        return os.path.join(self.cache_dir, "Cache")

    def cache_files(self):
        cache = self.package_cache()
        if not os.path.isdir(cache):
            return {}
        return {name: os.path.getsize(os.path.join(cache, name)) for name in os.listdir(cache)}

    def part_sizes(self, files):
        return [files.get("%s.part%d" % (PARTIAL_NAME, i)) for i in range(8)]

    def package_requests(self):
        return [r.range or "plain" for r in self.server.served("/package.zip")]

    def check_row(self, step, expected, seen):
        ROWS.append((step, describe(expected), describe(seen), expected == seen))
        self.assertEqual(expected, seen, step)

    def cancelled(self, **files):
        """The outcome of a cancelled run: no box, the cancel line, nothing installed."""
        record = {"result": 1, "code": 1223, "box": "no box", "last": w.CANCELLED, "installed": False}
        record.update(files)
        return record

    def run_held(self, hold, release, package_query="", key="dev", route=None, prepare=None):
        """One run caught where `hold` waits, cancelled there, then let go by `release`."""
        self.fresh_state()
        if prepare:
            prepare()
        self.publish(package_query, key)
        if route:
            self.server.routes[route[0]] = route[1]
        mark = self.start_and_check_running()
        hold()
        self.press_cancel(mark)
        release()
        seen = self.outcome(mark)
        del seen["shown"]
        return seen

    # ---- the rows ----

    def test_cancel_before_any_body_byte(self):
        """Cancel before the download: the download still probes and asks for the eight ranges, opening
        their part files, but reads no body byte."""
        probe_and_ranges = ["bytes=0-0"] + ["bytes=%d-%d" % b for b in segment_bounds(len(_rig["package"]))]
        cases = [
            ("while the manifest is fetched", "manifest", None, ("/stable/update.json", "hold=manifest")),
            ("while the signature is fetched", "signature", None, ("/stable/update.json.sig", "hold=signature")),
            ("while the range probe is answered", "probe", "hold=probe&holdon=probe", None),
        ]
        for step, gate, query, route in cases:
            with self.subTest(step=step):
                seen = self.run_held(lambda: self.server.wait_held(gate), lambda: self.server.release(gate),
                                     package_query=query or "", route=route)
                files = self.cache_files()
                seen.update(parts=self.part_sizes(files), partial=PARTIAL_NAME in files,
                            package=PACKAGE_NAME in files)
                seen["package requests"] = sorted(self.package_requests())
                expected = self.cancelled(parts=[0] * 8, partial=False, package=False)
                expected["package requests"] = sorted(probe_and_ranges)
                self.check_row(step, expected, seen)
        self.close_and_expect_exit()

    def test_cancel_in_the_segment_bodies_keeps_the_parts_and_the_next_run_resumes(self):
        size = len(_rig["package"])
        bounds = segment_bounds(size)
        held_at = 256 * 1024
        seen = self.run_held(lambda: self.server.wait_held("body", 8), lambda: self.server.release("body"),
                             package_query="hold=body&holdon=range&holdat=%d" % held_at)
        parts = self.part_sizes(self.cache_files())
        lengths = [last - first + 1 for first, last in bounds]
        # Each segment thread stops at its next check: at least one read in, well short of its end.
        seen["parts"] = "each kept, short of its end" if all(
            p is not None and 0 < p < n for p, n in zip(parts, lengths)) else parts
        self.check_row("in the middle of the eight segment bodies",
                       self.cancelled(parts="each kept, short of its end"), seen)

        # The next run in the same window asks each range only for what its part lacks, and installs.
        self.server.reset()
        self.publish()
        mark = self.start_and_check_running()
        after = self.outcome(mark)
        asked = sorted(r for r in self.package_requests() if r != "bytes=0-0")
        wanted = sorted("bytes=%d-%d" % (first + have, last) for (first, last), have in zip(bounds, parts))
        resumed = {"result": after["result"], "code": after["code"], "box": after["box"],
                   "installed": after["installed"], "package requests": "the missing bytes only"
                   if asked == wanted else asked}
        self.check_row("(next run after it)", {"result": 0, "code": 0, "box": "box " + w.SUCCESS_BOX,
                                               "installed": True, "package requests": "the missing bytes only"},
                       resumed)
        self.close_and_expect_exit()

    def test_cancel_in_the_single_stream(self):
        size = len(_rig["package"])
        seen = self.run_held(lambda: self.server.wait_held("body"), lambda: self.server.release("body"),
                             package_query="mode=norange&hold=body&holdon=plain&holdat=%d" % MiB)
        files = self.cache_files()
        kept = files.get(PARTIAL_NAME)
        seen.update(partial="kept, short" if kept is not None and 0 < kept < size else kept,
                    parts=self.part_sizes(files), package=PACKAGE_NAME in files)
        self.check_row("in the middle of the single stream",
                       self.cancelled(partial="kept, short", parts=[None] * 8, package=False), seen)
        self.close_and_expect_exit()

    def test_cancel_with_the_package_already_in_the_cache(self):
        """The download reuses the cached package without a request; the job's own test then stops."""
        cached = os.path.join(self.package_cache(), PACKAGE_NAME)
        seen = self.run_held(lambda: self.server.wait_held("manifest"), lambda: self.server.release("manifest"),
                             route=("/stable/update.json", "hold=manifest"),
                             prepare=lambda: tovtest.write_file(cached, _rig["package"]))
        seen["package"] = os.path.exists(cached) and guirig.read_bytes(cached) == _rig["package"]
        seen["package requests"] = self.package_requests()
        self.check_row("with the package already complete in the cache",
                       dict(self.cancelled(package=True), **{"package requests": []}), seen)
        self.close_and_expect_exit()

    def test_cancel_during_extraction_has_no_effect(self):
        """Past the job's cancel test the install is not interrupted: it installs, starts the
        application and reports success."""
        def hold():
            deadline = time.time() + 120
            while not os.path.exists(HOLD + ".waiting"):
                self.assertLess(time.time(), deadline, "the extraction was not reached")
                time.sleep(0.1)

        record = os.path.join(self.install_dir, "launch-record.txt")
        seen = self.run_held(hold, self.release_extraction, prepare=self.hold_extraction)
        deadline = time.time() + 20
        while not os.path.exists(record) and time.time() < deadline:
            time.sleep(0.2)
        seen["launched"] = os.path.exists(record)
        self.check_row("during the extraction (the stand-in PowerShell held)",
                       {"result": 0, "code": 0, "box": "box " + w.SUCCESS_BOX, "last": "安装完成。",
                        "installed": True, "launched": True}, seen)
        self.close_and_expect_exit()

    def test_cancel_does_not_hide_a_failure_before_the_download(self):
        seen = self.run_held(lambda: self.server.wait_held("manifest"), lambda: self.server.release("manifest"),
                             key="other", route=("/stable/update.json", "hold=manifest"))
        seen["last"] = seen["last"].split("（")[0] if seen["last"] else None
        seen["package requests"] = self.package_requests()
        self.check_row("while the manifest is fetched, its signature then fails",
                       {"result": 1, "code": w.SIGNATURE_FAILURE, "box": "box 下载或安装失败", "last": "首次下载失败",
                        "installed": False, "package requests": []}, seen)
        self.close_and_expect_exit()


if __name__ == "__main__":
    guirig.reexec_in_namespace()
    unittest.main()
