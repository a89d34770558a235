"""The real exe in test mode: exit codes and log lines of runs that end before any network access."""
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import tovtest as t  # noqa: E402

DETECT = "正在检测 Windows 版本和系统架构…"


def set_version(exe_name, version):
    """Makes Wine report the given Windows version to one executable name only."""
    key = "HKCU\\Software\\Wine\\AppDefaults\\" + exe_name
    subprocess.run([t.WINE_RUN, "reg", "add", key, "/v", "Version", "/d", version, "/f"],
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)


class TestModeArguments(unittest.TestCase):
    def test_missing_install_dir_exits_2_with_one_line(self):
        for args in (["--test"], ["--test", "--install-dir"], ["--test", "--install-dir", ""],
                     ["--TEST", "--no-launch"]):
            code, lines = t.run_exe(args)
            self.assertEqual(2, code, args)
            self.assertEqual(["测试模式缺少 --install-dir。"], lines, args)

    def test_install_dir_swallowing_test_is_window_mode(self):
        # "--install-dir --test" stores the text --test; without a display the window cannot be made: exit 1.
        code, lines = t.run_exe(["--install-dir", "--test"])
        self.assertEqual(1, code)
        self.assertEqual([], lines)


class RefusedRuns(unittest.TestCase):
    def test_non_empty_directory_refused_with_145(self):
        work = t.fresh_dir("job-refused")
        t.write_file(os.path.join(work, "photos", "a.jpg"), b"user data")
        code, lines = t.run_test(["--install-dir", t.winpath(work), "--channel", "win10"])
        self.assertEqual(1, code)
        self.assertEqual(DETECT, lines[0])
        self.assertEqual("测试通道：win10", lines[1])
        self.assertEqual("安装目录不是空目录：%s\n请选择新的空目录。" % t.winpath(work), lines[2])
        self.assertTrue(lines[3].startswith("首次下载失败（错误 145："), lines[3])
        self.assertTrue(lines[3].endswith("）"))
        self.assertEqual(4, len(lines))
        self.assertTrue(os.path.exists(os.path.join(work, "photos", "a.jpg")), "user data untouched")

    def test_install_path_that_cannot_be_made_full_ends_with_123(self):
        # A relative path that becomes longer than 259 units once made absolute.
        code, lines = t.run_test(["--install-dir", "d" * 258, "--channel", "win7"])
        self.assertEqual(1, code)
        self.assertEqual([DETECT, "测试通道：win7"], lines[:2])
        self.assertTrue(lines[2].startswith("首次下载失败（错误 123"), lines[2])
        self.assertEqual(3, len(lines))

    def test_missing_local_signature_fails_at_its_read(self):
        work = t.fresh_dir("job-nosig")
        manifest = t.write_file(os.path.join(work, "update.json"), b"{}")
        code, lines = t.run_test(["--install-dir", t.winpath(os.path.join(work, "app")), "--channel", "win10",
                                  "--manifest", t.winpath(manifest)])
        self.assertEqual(1, code)
        self.assertEqual("正在读取并验证签名更新清单…", lines[-2])
        self.assertTrue(lines[-1].startswith("首次下载失败（错误 1006"), lines[-1])


def long_folder(base, length):
    """A folder below base whose Windows path (through Z:) is exactly length units long."""
    parts, remaining = [], length - len(t.winpath(base))
    while remaining > 0:
        # Each name is at most 90 units and leaves enough for the next one's "dN" prefix.
        size = remaining - 1 if remaining <= 91 else min(90, remaining - 9)
        parts.append(("d%d" % len(parts)).ljust(size, "x"))
        remaining -= size + 1
    folder = os.path.join(base, *parts)
    assert len(t.winpath(folder)) == length, (length, len(t.winpath(folder)))
    return folder


def snapshot(root):
    """Every folder and file below root, with the files' bytes."""
    return {os.path.relpath(os.path.join(folder, name), root): (open(os.path.join(folder, name), "rb").read()
            if name in names else None) for folder, dirs, names in os.walk(root) for name in dirs + names}


class PathsThatDoNotFit(unittest.TestCase):
    """No path is ever used cut: a run either has every name it composes whole, or ends with 206 before it
    touches a file. The longest name a run keeps inside the install folder is "tovkinemo.unfinished" (the
    mark of an unfinished fresh install), so 238 units is the longest install folder; in the cache the longest name is
    "<package>.partial.part7"."""

    def test_install_folder_holding_someones_file(self):
        for length in range(236, 260):
            with self.subTest(length=length):
                work = t.fresh_dir("job-length")
                folder = long_folder(work, length)
                t.write_file(os.path.join(folder, "notes.txt"), b"someone's")
                before = snapshot(work)
                code, lines = t.run_test(["--install-dir", t.winpath(folder), "--channel", "win10"])
                expected = 145 if length <= 238 else 206
                self.assertEqual(1, code)
                self.assertTrue(lines[-1].startswith("首次下载失败（错误 %d：" % expected), lines)
                self.assertEqual(4 if expected == 145 else 3, len(lines), lines)
                self.assertEqual(before, snapshot(work))

    def test_fresh_folder_and_cache_lengths(self):
        package = t.make_package()
        names = ["package-2.1.0-win10.zip", "package-2.1.0-win10.zip.partial"] + [
            "package-2.1.0-win10.zip.partial.part%d" % i for i in range(8)]
        rows = [  # (install folder length, cache folder length, exit code, error code)
            (238, None, 0, None),  # the longest folder that takes an installation
            (239, None, 1, 206),
            (None, 222, 1, 206),  # ".part7" is one unit too long
            (None, 228, 1, 206),  # ".partial" is one unit too long
            (None, 235, 1, 206),  # only the package name fits
            (None, 236, 1, 206),
        ]
        for install_length, cache_length, exit_code, error in rows:
            with self.subTest(install=install_length, cache=cache_length):
                work = t.fresh_dir("job-fresh-length")
                manifest = t.make_manifest("2.1.0", {"win10": ("https://localhost:1/package.zip", package)})
                manifest_path, signature_path = t.write_signed_manifest(work, manifest)
                args = ["--manifest", t.winpath(manifest_path), "--signature", t.winpath(signature_path),
                        "--channel", "win10", "--no-launch"]
                install = os.path.join(work, "app")
                if install_length:
                    install = os.path.join(long_folder(work, install_length - 4), "app")
                    package_path = t.write_file(os.path.join(work, "package.zip"), package)
                    args += ["--package", t.winpath(package_path)]
                else:
                    cache = long_folder(work, cache_length)
                    room = 259 - cache_length - 1
                    for name in [n for n in names if len(n) > room]:  # someone's files under cut names
                        t.write_file(os.path.join(cache, name[:room]), b"someone's")
                    args += ["--cache-dir", t.winpath(cache)]
                before = snapshot(work)
                code, lines = t.run_test(["--install-dir", t.winpath(install)] + args)
                self.assertEqual(exit_code, code, lines)
                if error:
                    self.assertTrue(lines[-1].startswith("首次下载失败（错误 %d：" % error), lines)
                    self.assertEqual(before, snapshot(work))
                else:
                    self.assertEqual(t.payload_program(), open(os.path.join(install, "TOVKinemo.exe"), "rb").read())


class PlatformVersions(unittest.TestCase):
    """The channel from the version Wine reports, set per executable name so parallel tests are not
    affected. A non-empty install directory ends each run right after the platform step."""

    def run_as(self, version):
        work = t.fresh_dir("job-version-" + version)
        exe_name = "TOVKinemoDownloader-%s.exe" % version
        exe = os.path.join(work, exe_name)
        shutil.copy(t.EXE, exe)
        set_version(exe_name, version)
        t.write_file(os.path.join(work, "dir", "keep.txt"), b"x")
        t.reset_log()
        proc = subprocess.run([t.WINE_RUN, exe, "--test", "--install-dir", t.winpath(os.path.join(work, "dir"))],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=300)
        return proc.returncode, t.log_lines()

    def test_versions(self):
        cases = {
            "win7": ("检测到 Windows 6.1（使用 Win7 兼容包）", "145"),
            "win81": ("检测到 Windows 6.3（使用 Win7 兼容包）", "145"),
            "win10": ("检测到 Windows 10.0，Build 18362（使用 Win10/11 包）", "145"),
            "vista": ("不支持当前 Windows 版本 6.0。", "1150"),
            "winxp64": ("不支持当前 Windows 版本 5.2。", "1150"),
        }
        for version, (line, code) in cases.items():
            with self.subTest(version=version):
                exit_code, lines = self.run_as(version)
                self.assertEqual(1, exit_code)
                self.assertEqual(DETECT, lines[0])
                self.assertEqual(line, lines[1])
                self.assertTrue(lines[-1].startswith("首次下载失败（错误 %s" % code), lines[-1])


class Executable(unittest.TestCase):
    def test_pe_without_c_runtime(self):
        header = subprocess.run(["x86_64-w64-mingw32-objdump", "-f", t.EXE], capture_output=True, text=True,
                                check=True).stdout
        self.assertIn("pei-x86-64", header)
        private = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", t.EXE], capture_output=True, text=True,
                                 check=True).stdout
        dlls = [line.split(":", 1)[1].strip().lower() for line in private.splitlines()
                if line.strip().startswith("DLL Name:")]
        self.assertIn("kernel32.dll", dlls)
        for dll in dlls:
            self.assertFalse(dll.startswith(("msvcr", "ucrtbase", "api-ms-win-crt", "libstdc", "libgcc",
                                             "libwinpthread")), dll)
        fields = dict(line.split(None, 1) for line in private.splitlines()
                      if line and not line.startswith(" ") and len(line.split(None, 1)) == 2)
        self.assertEqual("01000000", fields.get("SizeOfStackReserve", "").strip()[-8:])
        self.assertEqual("00001000", fields.get("SizeOfStackCommit", "").strip()[-8:])
        self.assertIn("(Windows GUI)", fields.get("Subsystem", ""))
        # The entry point is ProcessEntry (from the linker map), not merely the start of .text.
        image_base = int(fields["ImageBase"], 16)
        entry = int(fields["AddressOfEntryPoint"], 16)
        with open(os.path.join(t.BUILD, "TOVKinemoDownloader.map")) as f:
            addresses = [int(line.split()[0], 16) for line in f
                         if line.split()[-1:] == ["ProcessEntry"] and line.split()[0].startswith("0x")]
        self.assertEqual([image_base + entry], addresses)

if __name__ == "__main__":
    unittest.main()
