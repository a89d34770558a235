"""The real exe in test mode with a signed local manifest and package: the payload lands in the install
directory through the system PowerShell (the rig's stand-in), the shortcut is written when asked for, and a
failing script ends the run with error 1603."""
import io
import os
import struct
import subprocess
import sys
import unittest
import zipfile
import zlib

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


def payload_tree(files):
    """The files below Payload/ as tree() shows them installed."""
    return {k[len("Payload/"):]: v for k, v in files.items() if k.startswith("Payload/") and not k.endswith("/")}


class OemName(zipfile.ZipInfo):
    """An entry named by the bytes its name holds as Latin-1 text, written without bit 11."""

    def _encodeFilenameFlags(self):
        return self.filename.encode("latin-1"), self.flag_bits


def oem_package(files, encoding, unicode_path=False):
    """A deflated package whose names are written in the given encoding without bit 11, with a Unicode Path
    extra field (0x7075) that names each entry below "Other/" instead when asked."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as zf:
        for name, data in files.items():
            raw, other = name.encode(encoding), ("Other/" + name).encode()
            info = OemName(raw.decode("latin-1"))
            if unicode_path:
                info.extra = struct.pack("<HHBI", 0x7075, 5 + len(other), 1, zlib.crc32(raw)) + other
            zf.writestr(info, data, zipfile.ZIP_DEFLATED)
    return buf.getvalue()


# Vendors' zip writers, each run in a folder holding "Payload" and "readme.txt"; the streaming writer
# writes to a pipe, so it cannot seek back and puts each entry's sizes in a data descriptor behind it.
MAKERS = {
    "Info-ZIP zip": ["zip", "-qr", "package.zip", "Payload", "readme.txt"],
    "7-Zip": ["7z", "a", "-tzip", "-bd", "package.zip", "Payload", "readme.txt"],
    "bsdtar": ["bsdtar", "--format", "zip", "-cf", "package.zip", "Payload", "readme.txt"],
    "a streaming writer": [sys.executable, "-c", "import os, sys, zipfile\n"
                           "with zipfile.ZipFile(sys.stdout.buffer, 'w', zipfile.ZIP_DEFLATED) as z:\n"
                           "    for d, _, names in sorted(os.walk('.')):\n"
                           "        for n in sorted(names): z.write(os.path.join(d, n)[2:])\n"],
}


def made_by(maker, files):
    """The package the maker writes (package.zip, else its standard output) of files written into a folder."""
    folder = t.fresh_dir("maker-%d" % list(MAKERS).index(maker))
    for name, data in files.items():
        t.write_file(os.path.join(folder, name), data)
    data = subprocess.run(MAKERS[maker], cwd=folder, stdin=subprocess.DEVNULL, capture_output=True,
                          check=True).stdout
    if os.path.exists(os.path.join(folder, "package.zip")):
        data = open(os.path.join(folder, "package.zip"), "rb").read()
    infos = zipfile.ZipFile(io.BytesIO(data)).infolist()
    assert any(i.compress_type == zipfile.ZIP_DEFLATED for i in infos), maker
    assert maker != "a streaming writer" or all(i.flag_bits & 8 for i in infos), maker
    return data


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

    def run_job(self, files, install, extra=(), package=None, env=None):
        """Writes the package (made from files unless given) and its signed manifest, runs the exe; returns
        (code, lines, package winpath)."""
        package = package or t.make_package(files)
        package_path = t.write_file(os.path.join(self.work, "package.zip"), package)
        manifest = t.make_manifest(VERSION, {"win10": ("https://dl.tovkinemo.com/stable/package.zip", package)})
        manifest_path, signature_path = t.write_signed_manifest(self.work, manifest)
        args = ["--install-dir", t.winpath(install), "--manifest", t.winpath(manifest_path),
                "--signature", t.winpath(signature_path), "--package", t.winpath(package_path),
                "--channel", "win10"] + list(extra)
        code, lines = t.run_test(args, env=env)
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

    def test_run_succeeds_only_with_the_whole_payload_installed(self):
        """Package forms the Shell unpacks install, with names as that system's Shell reads them, and so do
        packages as vendors' tools make them; a script that ends with 0 over a payload that cannot be shown
        whole (a name leaving the folder, nothing listed below Payload/) ends with 1603."""
        files = dict(t.default_payload_files(), **{"Payload/数据/名前.txt": "名前".encode(), "Payload/empty.txt": b"",
                                                   "Payload/a/b/c/deep.bin": os.urandom(70000), "readme.txt": b"root"})
        lower = {name.replace("Payload/", "payload/", 1): data for name, data in files.items()}
        ascii_files = {name: data for name, data in files.items() if name.isascii()}
        named = dict(t.default_payload_files(), **{"Payload/数据/": b"", "Payload/数据/说明.txt": b"zh"})
        latin = dict(t.default_payload_files(), **{"Payload/Ça/ü.txt": b"437"})
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w") as zf:
            zf.writestr("Payload/", b"")
        installation = {"TOVKinemo.exe": b"old", "tovkinemo.root": b"", "current-version.txt": b"2.3.0\n"}
        whole = payload_tree(files)
        cases = {  # name: (package, installed before, stand-in fault, system locale, installed tree or failure)
            "UTF-8 names, empty file, folder entries, nested folders, root file": (t.make_package(files), {}, None,
                                                                                    None, whole),
            "payload/ in lower case": (t.make_package(lower), {}, None, None, whole),
            "zip64 extra fields": (t.zip64_directory(t.make_package(files)), {}, None, None, whole),
            "a .. entry the Shell skips": (t.make_package(dict(files, **{"Payload/../evil.txt": b"x"})), {},
                                           "skip:..", None, None),
            "nothing below Payload/, over an installation": (buf.getvalue(), installation, None, None, None),
            "GBK names without bit 11 on a Chinese system": (oem_package(named, "gbk"), {}, None, "zh_CN.UTF-8",
                                                               payload_tree(named)),
            "GBK names with a Unicode Path field naming them otherwise": (
                oem_package(named, "gbk", unicode_path=True), {}, None, "zh_CN.UTF-8", payload_tree(named)),
            "the same names in UTF-8 with bit 11": (t.make_package(named), {}, None, "zh_CN.UTF-8",
                                                    payload_tree(named)),
            "code page 437 names on an English system": (oem_package(latin, "cp437"), {}, None, "en_US.UTF-8",
                                                         payload_tree(latin)),
            "GBK bytes on an English system, as its Shell names them": (
                oem_package(named, "gbk"), {}, None, "en_US.UTF-8",
                payload_tree({k.encode("gbk").decode("cp437"): v for k, v in named.items()})),
        }
        for maker in MAKERS:
            cases["made by " + maker] = (made_by(maker, ascii_files), {}, None, None, payload_tree(ascii_files))
        for name, (package, before, fault, locale, expected) in cases.items():
            with self.subTest(name):
                self.work = t.fresh_dir("install-whole-%d" % list(cases).index(name))
                install = os.path.join(self.work, "install")
                for path, data in before.items():
                    t.write_file(os.path.join(install, path), data)
                env = dict({"TOV_STANDIN_FAULT": fault} if fault else {},
                           **({"LANG": locale, "LC_ALL": locale} if locale else {}))
                code, lines, zip_path = self.run_job(None, install, package=package, env=env)
                line = standin_line(zip_path)
                self.assertTrue(line.startswith("exit 0:"), line)
                # The code page the stand-in, a child of the program, read the names in: the program's own.
                self.assertIn(" oem=%d " % (936 if locale == "zh_CN.UTF-8" else 437), line)
                if expected is None:
                    self.assertEqual((1, t.EXTRACT_TEXT), (code, lines[-2]), lines)
                    self.assertRegex(lines[-1], FAILED_1603)
                else:
                    self.assertEqual((0, FRESH_DONE), (code, lines[-1]), lines)
                    self.assertEqual(expected, tree(install))

if __name__ == "__main__":
    unittest.main()
