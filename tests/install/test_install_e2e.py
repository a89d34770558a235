"""The real exe in test mode with a signed local manifest and package: the payload lands in the install
directory through the system PowerShell (the rig's stand-in), the shortcut is written when asked for, and a
failing script ends the run with error 1603."""
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import tovtest as t  # noqa: E402

VERSION = "2.4.0"
FRESH_DONE = "安装完成。"
UPGRADE_DONE = "升级完成，原有数据已保留。"
FAILED_1603 = r"^首次下载失败（错误 1603[：）]"
SYSTEM_POWERSHELL = "C:\\windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe"
STANDIN_LOG = os.path.join(t.TEMP_DIR, "powershell-standin.log")


def standin_line(zip_winpath):
    """The stand-in's last log line for the given package."""
    if not os.path.exists(STANDIN_LOG):
        return ""
    found = ""
    for line in open(STANDIN_LOG, "rb").read().decode("utf-8").split("\r\n"):
        if ("zip=%s " % zip_winpath) in line:
            found = line
    return found


def shortcut_info(lnk_path):
    """(target, working directory, icon,index) of a shortcut as the Shell reads it back."""
    proc = subprocess.run([t.WINE_RUN, os.path.join(t.TEST_BIN, "shortcut-info.exe"), t.winpath(lnk_path)],
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=120,
                          env=dict(os.environ, TOV_BUILD_DIR=t.BUILD))
    if proc.returncode != 0:
        return None
    return tuple(proc.stdout.decode("utf-8").splitlines()[:3])


def tree(path):
    found = {}
    for folder, _, names in os.walk(path):
        for name in names:
            full = os.path.join(folder, name)
            found[os.path.relpath(full, path).replace(os.sep, "/")] = open(full, "rb").read()
    return found


class InstallEndToEnd(unittest.TestCase):
    def setUp(self):
        self.work = t.fresh_dir("install-" + self._testMethodName)

    def run_job(self, files, install, extra=()):
        """Writes the package and its signed manifest, runs the exe; returns (code, lines, package winpath)."""
        package = t.make_package(files)
        package_path = t.write_file(os.path.join(self.work, "package.zip"), package)
        manifest = t.make_manifest(VERSION, {"win10": ("https://dl.tovkinemo.com/stable/package.zip", package)})
        manifest_path, signature_path = t.write_signed_manifest(self.work, manifest)
        args = ["--install-dir", t.winpath(install), "--manifest", t.winpath(manifest_path),
                "--signature", t.winpath(signature_path), "--package", t.winpath(package_path),
                "--channel", "win10"] + list(extra)
        code, lines = t.run_test(args)
        return code, lines, t.winpath(package_path)

    def test_installs_payload_and_shortcut(self):
        cases = {
            "with icon": (True, "TOV Kinemo"),
            "without icon": (False, "TOV Kinemo"),
            "quotes in the install path": (True, "it's \u2018TOV\u2019 \u201aKinemo"),
        }
        for name, (with_icon, folder) in cases.items():
            with self.subTest(name):
                work = t.fresh_dir("install-shortcut-%d" % list(cases).index(name))
                self.work = work
                install = os.path.join(work, "install", folder)
                desk = os.path.join(work, "desk")
                os.makedirs(desk)
                files = t.default_payload_files()
                if not with_icon:
                    del files["Payload/Assets/AppIcon.ico"]
                code, lines, zip_path = self.run_job(files, install, ["--shortcut", "--shortcut-dir", t.winpath(desk)])
                self.assertEqual(code, 0, lines)
                self.assertEqual(lines[-2:], [t.EXTRACT_TEXT, FRESH_DONE])
                self.assertEqual(tree(install), {k[len("Payload/"):]: v for k, v in files.items()})
                line = standin_line(zip_path)
                self.assertTrue(line.startswith("exit 0: installed with shortcut"), line)
                self.assertIn("exe=%s " % SYSTEM_POWERSHELL, line)

                target = t.winpath(install) + "\\TOVKinemo.exe"
                icon = t.winpath(install) + "\\Assets\\AppIcon.ico" if with_icon else target
                self.assertEqual(shortcut_info(os.path.join(desk, "TOV Kinemo.lnk")),
                                 (target, t.winpath(install), icon + ",0"))

    def test_upgrade_replaces_package_files_and_keeps_the_rest(self):
        install = os.path.join(self.work, "install", "TOV Kinemo")
        desk = os.path.join(self.work, "desk")
        os.makedirs(desk)
        before = {"TOVKinemo.exe": b"old program", "tovkinemo.root": b"", "current-version.txt": b"2.3.0\n",
                  "UserData/profile.json": b'{"user":"kept"}', "notes.txt": b"mine"}
        for name, data in before.items():
            t.write_file(os.path.join(install, name), data)
        files = t.default_payload_files()
        code, lines, _ = self.run_job(files, install, ["--no-shortcut", "--shortcut-dir", t.winpath(desk)])
        self.assertEqual(code, 0, lines)
        self.assertEqual(lines[-1], UPGRADE_DONE)
        expected = dict(before)
        expected.update({k[len("Payload/"):]: v for k, v in files.items()})
        self.assertEqual(tree(install), expected)
        self.assertEqual(os.listdir(desk), [], "no shortcut without the flag")

    def test_failing_script_ends_with_1603(self):
        program = t.payload_program()
        cases = {
            "no Payload folder": ({"Other/TOVKinemo.exe": program, "Other/tovkinemo.root": b""}, (), 21),
            "no marker file": ({"Payload/TOVKinemo.exe": program}, (), 22),
            "missing shortcut directory": (t.default_payload_files(),
                                           ("--shortcut", "--shortcut-dir", "Z:\\no\\such\\desk"), 1),
        }
        for name, (files, extra, standin_exit) in cases.items():
            with self.subTest(name):
                self.work = t.fresh_dir("install-fail-%d" % standin_exit)
                install = os.path.join(self.work, "install")
                code, lines, zip_path = self.run_job(files, install, extra)
                self.assertEqual(code, 1, lines)
                self.assertEqual(lines[-2], t.EXTRACT_TEXT)
                self.assertRegex(lines[-1], FAILED_1603)
                line = standin_line(zip_path)
                self.assertTrue(line.startswith("exit %d:" % standin_exit), line)


if __name__ == "__main__":
    unittest.main()
