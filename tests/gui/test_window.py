#!/usr/bin/env python3
"""The real exe in window mode, driven under Xvfb by the tests' driver program, inside a private network
namespace where the vendor host is 127.0.0.1 and nginx serves the signed manifest and the packages.

Run as root (the namespace needs it): python3 tests/gui/test_window.py [-v] [Class.test]"""
import os
import shutil
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
import guirig  # noqa: E402
import tovtest  # noqa: E402

TITLE = "TOV Kinemo Downloader"
PREPARING = "正在准备首次下载…"
CANCELLING = "正在取消…"
CANCELLED = "下载已取消，已完成的分段会保留以便下次继续。"
SUCCESS_BOX = "TOV Kinemo 已下载并安装完成。"
WARNING_BOX = "请选择安装目录。"
CLOSE_QUESTION = "下载正在进行。确定取消并关闭吗？"
VERSION = "2.1.0"
SIGNATURE_FAILURE = 0xE0010001
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7
WM_COMMAND, WMU_STATUS, WMU_DONE = 0x0111, 0x8001, 0x8003

# Controls as the window must create them: id, class, text, x, y, width, height, style (WS_DISABLED
# included), extended style. Id 0 is the label.
CONTROLS = [
    (0, "Static", "安装目录：", 24, 28, 90, 24, 0x50000000, 0),
    (1001, "Edit", None, 105, 24, 405, 27, 0x50010080, 0x200),
    (1002, "Button", "浏览…", 520, 23, 90, 29, 0x50010000, 0),
    (1003, "Button", "在桌面创建快捷方式", 105, 67, 250, 26, 0x50010003, 0),
    (1006, "msctls_progress32", "", 24, 112, 586, 24, 0x50000000, 0),
    (1007, "Static", "", 24, 149, 586, 48, 0x50000000, 0),
    (1004, "Button", "开始下载", 405, 207, 100, 32, 0x50010001, 0),
    (1005, "Button", "取消", 510, 207, 100, 32, 0x58010000, 0),
]
IDLE_ENABLED = {"1001": "1", "1002": "1", "1003": "1", "1004": "1", "1005": "0"}
RUNNING_ENABLED = {"1001": "0", "1002": "0", "1003": "0", "1004": "0", "1005": "1"}

_rig = {}


def setUpModule():
    guirig.setup_namespace_network()
    _rig["x"] = guirig.Xvfb()
    # A drive D: of the prefix, for the folder picker.
    ddrive = os.path.join(guirig.WORK, "ddrive")
    shutil.rmtree(ddrive, ignore_errors=True)
    os.makedirs(os.path.join(ddrive, "Apps"))
    guirig.start_wine(_rig["x"].display, drives={"d:": ddrive})
    www = os.path.join(guirig.WORK, "www")
    shutil.rmtree(www, ignore_errors=True)
    for folder in ("stable", "fast", "slow"):
        os.makedirs(os.path.join(www, folder))
    _rig["www"] = www
    # A small package for complete runs, and a large one served slowly for runs that are interrupted.
    _rig["small"] = tovtest.make_package()
    _rig["large"] = tovtest.make_package(extra_bytes=6 * 1024 * 1024)
    for folder in ("fast", "slow"):
        for name in ("small", "large"):
            with open(os.path.join(www, folder, name + ".zip"), "wb") as f:
                f.write(_rig[name])
    _rig["nginx"] = guirig.Nginx(www, slow_rate="32k")


def tearDownModule():
    guirig.tear_down()


def publish(package="small", speed="fast", key="dev"):
    """The manifest the window's run fetches: both channels pointing at one package."""
    host = guirig.HOST
    url = "https://%s/%s/%s.zip" % (host, speed, package)
    manifest = tovtest.make_manifest(VERSION, {"win7": (url, _rig[package]), "win10": (url, _rig[package])})
    with open(os.path.join(_rig["www"], "stable", "update.json"), "wb") as f:
        f.write(manifest)
    with open(os.path.join(_rig["www"], "stable", "update.json.sig"), "w") as f:
        f.write(tovtest.sign_bytes(manifest, key))


def parse_trace(path):
    """The trace lines as (kind, rest) pairs."""
    if not os.path.exists(path):
        return []
    events = []
    for line in guirig.read_bytes(path).decode("utf-8").splitlines():
        kind, _, rest = line.partition(" ")
        events.append((kind, guirig.Driver.unescape(rest)))
    return events


def status_texts(events):
    return [rest.split(" ", 1)[1] if " " in rest else "" for kind, rest in events
            if kind == "text" and rest.split(" ", 1)[0] == "1007"]


def positions(events):
    return [int(rest) for kind, rest in events if kind == "pos"]


def index_of(events, event, start=0):
    for i in range(start, len(events)):
        if events[i] == event:
            return i
    raise AssertionError("%r not in trace after %d: %r" % (event, start, events[start:start + 40]))


class WindowCase(unittest.TestCase):
    """One fresh downloader per test, with the trace hooks on its UI thread."""

    app_env = {}  # more environment for the downloader (and so for the programs it starts)

    def setUp(self):
        self.display = _rig["x"].display
        self.driver = guirig.Driver(self.display)
        self.trace = os.path.join(guirig.WORK, "trace-%s.txt" % self._testMethodName)
        if os.path.exists(self.trace):
            os.remove(self.trace)
        self.install_dir = guirig.prefix_user_dir("AppData", "Local", "TOV Kinemo")
        self.cache_dir = guirig.prefix_user_dir("AppData", "Local", "TOVKinemoDownloader")
        self.shortcut = os.path.join(guirig.prefix_user_dir("Desktop"), "TOV Kinemo.lnk")
        for path in (self.install_dir, self.cache_dir):
            shutil.rmtree(path, ignore_errors=True)
        if os.path.lexists(self.shortcut):
            os.remove(self.shortcut)
        if os.path.exists(guirig.log_path()):
            os.remove(guirig.log_path())
        self.app = guirig.App(self.display, trace=self.trace, extra_env=self.app_env)
        self.addCleanup(self.app.kill)
        self.initial = self.driver.wait_window(90000)
        self.hook = self.driver.hook()
        self.addCleanup(self.stop_hook)

    def stop_hook(self):
        try:
            self.hook.wait(10)
        except subprocess.TimeoutExpired:
            self.hook.kill()
            self.hook.wait()
        self.hook.stdout.close()

    def events(self):
        return parse_trace(self.trace)

    def state(self):
        state = self.driver.state()
        if state is None:
            where = self.driver.query("handle", self.initial["hwnd"])[1]
            self.fail("the main window is gone (process exit code %s, its handle %s); Wine wrote:\n%s" % (
                self.app.proc.poll(), "still valid: the window is on another desktop" if where.get("exists") == "1"
                else "no longer valid", self.app.errors()))
        return state

    def enabled(self, state):
        return {key: state["ctl.%s.enabled" % key] for key in IDLE_ENABLED}

    def wait_state(self, condition, timeout, what):
        deadline = time.time() + timeout
        while True:
            state = self.state()
            if condition(state):
                return state
            if time.time() > deadline:
                self.fail("%s: not within %d s (status %r, progress %s)" % (
                    what, timeout, state.get("ctl.1007.text"), state.get("progress")))
            time.sleep(0.2)

    def wait_events(self, condition, timeout, what):
        deadline = time.time() + timeout
        while not condition(self.events()):
            if time.time() > deadline:
                self.fail("%s: not within %d s; trace ends %r" % (what, timeout, self.events()[-10:]))
            time.sleep(0.2)
        return self.events()

    def close_and_expect_exit(self, timeout=20):
        self.driver.run("close")
        code = self.app.wait(timeout)
        self.assertEqual(0, code, "exit code after close")

    def screenshot(self, name):
        return _rig["x"].screenshot(name)

    def open_picker(self):
        """Clicks Browse and returns the folder picker. The shell's first picker of a process can take long on
        a loaded machine, so the wait is generous; a picker that never comes is shown as the window was."""
        self.driver.click(1002)
        box = self.driver.wait_box(60000)
        if box is None:
            state = self.state()
            self.fail("no folder picker within 60 s (status %r, controls %s, screenshot %s); Wine wrote:\n%s" % (
                state.get("ctl.1007.text"), self.enabled(state), self.screenshot("no-picker.png"),
                self.app.errors()))
        return box

    def start_run(self):
        mark = len(self.events())
        self.driver.click(1004)
        return mark

    def start_and_check_running(self):
        """Starts a run and checks what the start itself did, in the UI thread's order."""
        mark = self.start_run()
        events = self.wait_events(lambda e: ("command", "1004") in e[mark:], 20, "start handled")
        start = events[mark:index_of(events, ("command", "1004"), mark) + 1]
        self.assertEqual([("pos", "0"), ("text", "1007 " + PREPARING)], start[:2])
        enables = sorted(rest for kind, rest in start if kind == "enable")
        expected = sorted("%s %s" % (cid, value) for cid, value in RUNNING_ENABLED.items())
        # A control only hears of a change of its state: after an idle window all five change.
        self.assertEqual(expected, enables)
        return mark

    def finish_box(self, timeout=180):
        box = self.driver.wait_box(timeout * 1000)
        self.assertIsNotNone(box, "the run did not end with a box")
        return box


class IdleWindow(WindowCase):
    def test_idle_window_layout_texts_and_default_directory(self):
        state = self.initial
        self.assertEqual(TITLE, state["title"])
        self.assertEqual("1", state["visible"])
        # WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, plus the WS_VISIBLE and WS_CLIPSIBLINGS the system adds:
        # no sizing border, no maximise box.
        self.assertEqual(0x14CA0000, int(state["style"], 16))
        self.assertEqual(0, int(state["exstyle"], 16) & ~0x100)  # only WS_EX_WINDOWEDGE, added by the system
        self.assertEqual("650,300", state["size"])
        self.assertEqual(0, int(state["classstyle"], 16))
        self.assertEqual(",".join(str(c[0]) for c in CONTROLS), state["children"], "creation order")
        default_dir = "C:\\users\\%s\\AppData\\Local\\TOV Kinemo" % guirig.wine_env()["TOV_WINE_USER"]
        for cid, cls, text, x, y, w, h, style, exstyle in CONTROLS:
            key = "label" if cid == 0 else "ctl.%d" % cid
            with self.subTest(control=cid):
                self.assertEqual(cls, state[key + ".class"])
                self.assertEqual(default_dir if cid == 1001 else text, state[key + ".text"])
                self.assertEqual("%d,%d,%d,%d" % (x, y, w, h), state[key + ".rect"])
                self.assertEqual(style, int(state[key + ".style"], 16))
                self.assertEqual(exstyle, int(state[key + ".exstyle"], 16))
        self.assertEqual(IDLE_ENABLED, self.enabled(state))
        self.assertEqual("1", state["label.enabled"])
        self.assertEqual("1", state["check"])
        self.assertEqual("0", state["progress"])
        self.assertEqual("0,100", state["progress.range"])
        self.assertEqual("0", state["box"])
        self.screenshot("idle-window.png")
        self.close_and_expect_exit()

    def test_resources_one_icon_group_of_six_png_images_and_no_manifest(self):
        code, out = self.driver.run("icon-info", guirig.wine_path(guirig.EXE))
        self.assertEqual(0, code)
        values = self.driver.pairs(out)
        self.assertIn(("groups", "1"), values)
        self.assertIn(("group1", "1"), values)
        images = [value for key, value in values if key == "image"]
        self.assertEqual(["%d,32,png" % n for n in (16, 32, 48, 64, 128, 256)], images)
        self.assertIn(("load.large", "1"), values)
        self.assertIn(("load.small", "1"), values)
        # Classic controls and no DPI awareness: no manifest, and no call that declares awareness.
        self.assertIn(("manifests", "0"), values)
        exe = guirig.read_bytes(guirig.EXE)
        for name in (b"SetProcessDPIAware", b"SetProcessDpiAwareness", b"SetProcessDpiAwarenessContext"):
            self.assertNotIn(name, exe)
        self.close_and_expect_exit()

    def test_window_opens_browses_and_closes_with_dlls_planted(self):
        self.close_and_expect_exit()
        overrides = guirig.wine_env()["WINEDLLOVERRIDES"]
        for dll in tovtest.PLANTED_DLLS:
            for where in ("beside", "cwd"):
                with self.subTest(dll=dll, where=where):
                    exe, cwd, _, folder = tovtest.plant(dll, where, tovtest.fresh_dir("window-%s-%s" % (dll, where)))
                    self.app = guirig.App(self.display, exe=exe, cwd=cwd,
                                          extra_env={"WINEDLLOVERRIDES": overrides + ";%s=n,b" % dll})
                    self.addCleanup(self.app.kill)
                    # The progress bar exists: comctl32 came from the system directory.
                    self.assertEqual("msctls_progress32", self.driver.wait_window(60000)["ctl.1006.class"])
                    self.open_picker()
                    self.driver.box_click(IDCANCEL)
                    self.wait_state(lambda s: s["box"] == "0", 10, "picker closed")
                    self.close_and_expect_exit()
                    self.assertEqual([], tovtest.plant_markers(folder), "the planted DLL was loaded")

    def test_close_without_run_exits_with_0(self):
        self.driver.run("close")
        self.assertEqual(0, self.driver.run("wait-gone", 10000)[0], "window still there")
        self.assertEqual(0, self.app.wait(20))
        self.assertIn(("destroy", ""), self.events())
        self.assertFalse(os.path.exists(guirig.log_path()), "nothing ran, nothing logged")

    def test_empty_directory_shows_only_the_warning(self):
        self.driver.set_text(1001, "")
        requests = len(_rig["nginx"].requests())
        mark = self.start_run()
        box = self.driver.wait_box(10000)
        self.assertIsNotNone(box, "no warning box")
        self.assertEqual(WARNING_BOX, box["box.text"])
        self.assertEqual(TITLE, box["box.caption"])
        self.assertEqual("1", box["box.owned"])
        self.assertEqual(str(IDOK), box["box.buttons"])
        self.assertEqual("1", box["box.icon"])
        self.screenshot("empty-directory-warning.png")
        state = self.state()
        self.assertEqual(IDLE_ENABLED, self.enabled(state))
        self.assertEqual(("", "0"), (state["ctl.1007.text"], state["progress"]))
        self.driver.box_click(IDOK)
        self.wait_events(lambda e: ("command", "1004") in e[mark:], 10, "start handled")
        time.sleep(1)  # room for a worker that should not exist
        after = self.events()[mark:]
        self.assertEqual([("box", WARNING_BOX), ("command", "1004")], after)
        state = self.state()
        self.assertEqual(("0", IDLE_ENABLED), (state["box"], self.enabled(state)))
        self.assertFalse(os.path.exists(guirig.log_path()), "a job ran")
        self.assertEqual(requests, len(_rig["nginx"].requests()), "something was fetched")
        self.close_and_expect_exit()

    def test_null_status_is_ignored_and_other_commands_change_nothing(self):
        self.driver.set_text(1007, "x")
        self.driver.run("post", WMU_STATUS, 0, 0)
        self.driver.run("post", WM_COMMAND, 1234, 0)
        self.wait_events(lambda e: ("posted-command", "1234") in e, 10, "command taken")
        self.state()  # answered only after the posted command was handled
        state = self.state()
        self.assertEqual("x", state["ctl.1007.text"])
        self.assertEqual(("0", IDLE_ENABLED), (state["box"], self.enabled(state)))
        self.close_and_expect_exit()

    def test_browse_picks_a_folder_or_changes_nothing(self):
        cases = [
            # (path through the picker's tree, expected edit text; None: cancel)
            (None, None),
            (["My Computer", "(D:)", "Apps"], "D:\\Apps\\TOV Kinemo"),
            (["My Computer", "(D:)"], "D:\\\\TOV Kinemo"),  # a drive root: the separator is added blindly
        ]
        for path, expected in cases:
            with self.subTest(path=path):
                before = self.state()["ctl.1001.text"]
                box = self.open_picker()
                self.assertEqual("1", box["box.owned"])
                self.assertIn("请选择 TOV Kinemo 安装目录", [c.split("|", 2)[2] for c in box["box.child"]])
                if path is None:
                    self.driver.box_click(IDCANCEL)
                else:
                    self.assertEqual(0, self.driver.run("tree-select", *path)[0], "tree walk")
                    self.driver.box_click(IDOK)
                self.wait_state(lambda s: s["box"] == "0", 10, "picker closed")
                self.assertEqual(before if expected is None else expected, self.state()["ctl.1001.text"])
        self.close_and_expect_exit()


class Runs(WindowCase):
    def test_successful_run_installs_launches_and_reports(self):
        publish("small", "fast")
        mark = self.start_and_check_running()
        box = self.finish_box()
        self.screenshot("run-succeeded.png")
        self.assertEqual((SUCCESS_BOX, TITLE, "1", "1", str(IDOK)),
                         (box["box.text"], box["box.caption"], box["box.owned"], box["box.icon"],
                          box["box.buttons"]))
        state = self.state()
        self.assertEqual(IDLE_ENABLED, self.enabled(state), "controls re-enabled before the box")
        self.assertEqual(("安装完成。", "100"), (state["ctl.1007.text"], state["progress"]))
        events = self.events()[mark:]
        done = next(i for i, (k, r) in enumerate(events) if k == "posted" and r.startswith("0x8003 "))
        self.assertTrue(events[done][1].startswith("0x8003 0 "), events[done])
        self.assertLess(done, index_of(events, ("box", SUCCESS_BOX)))
        texts = status_texts(events[:done])
        # The window showed the job's lines in the job's order, ending with its last one.
        wanted = [PREPARING, "正在检测 Windows 版本和系统架构…", "正在读取并验证签名更新清单…",
                  "已验证 V%s 清单，准备下载 win7 完整包。" % VERSION, tovtest.EXTRACT_TEXT, "安装完成。"]
        at = 0
        for text in wanted:
            self.assertIn(text, texts[at:], "status %r missing or out of order in %r" % (text, texts))
            at = texts.index(text, at) + 1
        self.assertEqual("安装完成。", texts[-1])
        self.assertEqual(guirig.log_lines(), texts[1:], "the window shows every line the job logged")
        progress = positions(events)
        # Percents come from whichever segment thread wrote a chunk, so they need not rise in order; the
        # download reports at most 99 and only its end posts 100.
        self.assertEqual(0, progress[0])
        self.assertEqual(100, progress[-1])
        self.assertTrue(all(0 <= p <= 99 for p in progress[:-1]), progress)
        self.assertGreater(len(set(progress)), 2, "no progress during the download")
        # The installed application was started in the install directory, and the shortcut made.
        record = os.path.join(self.install_dir, "launch-record.txt")
        deadline = time.time() + 20
        while not os.path.exists(record) and time.time() < deadline:
            time.sleep(0.2)
        self.assertTrue(os.path.exists(record), "the payload was not started")
        cwd = guirig.read_bytes(record).decode("utf-8").splitlines()[0].split("|")[0]
        self.assertEqual(guirig.prefix_user_dir("AppData", "Local", "TOV Kinemo"), self.unix_of(cwd))
        self.assertTrue(os.path.exists(self.shortcut), "no desktop shortcut")
        self.driver.box_click(IDOK)
        state = self.wait_state(lambda s: s["box"] == "0", 10, "box closed")
        self.assertEqual(IDLE_ENABLED, self.enabled(state))
        self.close_and_expect_exit()

    def unix_of(self, windows_path):
        """A C: path of the prefix as its Unix path."""
        self.assertTrue(windows_path[:3].upper() == "C:\\", windows_path)
        parts = windows_path[3:].split("\\")
        path = os.path.join(guirig.PREFIX, "drive_c")
        for part in parts:  # the prefix's names are matched without regard to case, as Windows does
            names = {n.lower(): n for n in os.listdir(path)}
            path = os.path.join(path, names.get(part.lower(), part))
        return path

    def test_failed_run_shows_the_error_box(self):
        publish("small", "fast", key="other")  # a signature the built-in key does not verify
        mark = self.start_and_check_running()
        box = self.finish_box()
        self.screenshot("run-failed.png")
        self.assertTrue(box["box.text"].startswith("下载或安装失败"), box["box.text"])
        self.assertIn(str(SIGNATURE_FAILURE), box["box.text"])
        self.assertEqual(("1", "1", str(IDOK)), (box["box.owned"], box["box.icon"], box["box.buttons"]))
        events = self.events()[mark:]
        done = next(i for i, (k, r) in enumerate(events) if k == "posted" and r.startswith("0x8003 "))
        self.assertEqual("0x8003 1 %d" % SIGNATURE_FAILURE, events[done][1])
        last = status_texts(events[:done])[-1]
        self.assertTrue(last.startswith("首次下载失败"), last)
        self.assertIn(str(SIGNATURE_FAILURE), last)
        state = self.state()
        self.assertEqual(IDLE_ENABLED, self.enabled(state))
        self.driver.box_click(IDOK)
        self.wait_state(lambda s: s["box"] == "0", 10, "box closed")
        self.assertFalse(os.path.exists(self.install_dir), "a failed run installed something")
        self.close_and_expect_exit()

    def test_cancel_mid_download_then_a_second_run_starts_afresh(self):
        publish("large", "slow")
        first = self.start_and_check_running()
        state = self.wait_state(lambda s: int(s["progress"]) >= 3, 90, "download under way")
        self.screenshot("run-downloading.png")
        self.assertEqual(RUNNING_ENABLED, self.enabled(state))
        self.driver.click(1005)
        self.wait_state(lambda s: s["ctl.1007.text"] == CANCELLED and self.enabled(s) == IDLE_ENABLED, 60,
                        "cancellation line and idle controls")
        self.assertIsNone(self.driver.wait_box(3000), "a cancelled run shows no box")
        self.screenshot("run-cancelled.png")
        events = self.events()[first:]
        cancel = index_of(events, ("command", "1005"))
        self.assertEqual([("enable", "1005 0"), ("text", "1007 " + CANCELLING)], events[cancel - 2:cancel])
        done = [r for k, r in events if k == "posted" and r.startswith("0x8003 ")]
        self.assertEqual(["0x8003 1 1223"], done)
        self.assertEqual(CANCELLED, status_texts(events)[-1])
        stopped_at = positions(events)[-1]
        self.assertGreater(stopped_at, 0)
        self.assertLess(stopped_at, 100)
        self.assertFalse(os.path.exists(self.install_dir), "a cancelled run installed something")

        # Second run in the same window: shortcut off, fast server; it must start from zero and not be
        # cancelled by the first run's request.
        publish("large", "fast")
        self.driver.set_check(1003, False)
        second = self.start_and_check_running()
        box = self.finish_box()
        self.assertEqual(SUCCESS_BOX, box["box.text"])
        events = self.events()[second:]
        self.assertNotIn(CANCELLING, status_texts(events))
        self.assertEqual(100, positions(events)[-1])
        record = os.path.join(self.install_dir, "launch-record.txt")
        deadline = time.time() + 20
        while not os.path.exists(record) and time.time() < deadline:
            time.sleep(0.2)
        self.assertTrue(os.path.exists(record), "the payload was not started")
        self.assertFalse(os.path.lexists(self.shortcut), "shortcut made with the check box cleared")
        self.driver.box_click(IDOK)
        self.wait_state(lambda s: s["box"] == "0", 10, "box closed")
        self.close_and_expect_exit()

    def test_close_during_run_no_keeps_it_yes_cancels_and_exits(self):
        publish("large", "slow")
        mark = self.start_and_check_running()
        self.wait_state(lambda s: int(s["progress"]) >= 1, 90, "download under way")
        # A start command that still arrives during the run changes nothing.
        self.driver.run("post", WM_COMMAND, 1004, 0)
        self.wait_events(lambda e: ("posted-command", "1004") in e[mark:], 10, "second start taken")
        self.state()  # answered only after the posted command was handled
        self.assertEqual(1, self.events()[mark:].count(("text", "1007 " + PREPARING)))

        self.driver.run("close")
        box = self.driver.wait_box(10000)
        self.assertIsNotNone(box, "no question on close")
        self.screenshot("close-question.png")
        self.assertEqual((CLOSE_QUESTION, TITLE, "1", "1"),
                         (box["box.text"], box["box.caption"], box["box.owned"], box["box.icon"]))
        self.assertEqual(sorted([str(IDYES), str(IDNO)]), sorted(box["box.buttons"].split(",")))
        self.driver.box_click(IDNO)
        state = self.wait_state(lambda s: s["box"] == "0", 10, "question closed")
        self.assertEqual(("1", RUNNING_ENABLED), (state["visible"], self.enabled(state)))
        seen = int(state["progress"])
        state = self.wait_state(lambda s: int(s["progress"]) > seen, 60, "download goes on after No")
        self.assertNotEqual(CANCELLING, state["ctl.1007.text"])
        self.assertNotIn(("show", "0"), self.events())

        self.driver.run("close")
        self.assertIsNotNone(self.driver.wait_box(10000), "no question on the second close")
        self.driver.box_click(IDYES)
        answered = time.time()
        deadline = answered + 5
        while self.driver.visible() == (True, True):
            self.assertLess(time.time(), deadline, "the window stays visible after Yes")
            time.sleep(0.1)
        code = self.app.wait(45)
        elapsed = time.time() - answered
        self.assertEqual(0, code, "exit code after a confirmed close")
        self.assertLess(elapsed, 40, "the process outlived the 35 s wait")
        events = self.events()[mark:]
        self.assertLess(index_of(events, ("show", "0")), index_of(events, ("destroy", "")))
        self.assertEqual([CLOSE_QUESTION, CLOSE_QUESTION], [r for k, r in events if k == "box"],
                         "only the two questions were shown")


if __name__ == "__main__":
    guirig.reexec_in_namespace()
    unittest.main()
