"""The trust steps in the real exe: a local manifest, its signature and a local package in test mode.
A valid signed manifest with the right package gets to the extraction step; a package or a manifest
that the trust steps refuse ends the run with exit 1 and the final line for its code, and nothing
is unpacked."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import tovtest as t  # noqa: E402

URL = "https://localhost:1/win10/full.zip"
READING = "正在读取并验证签名更新清单…"
SIGNATURE_FAILED = "首次下载失败（错误 3758161921）"


class TrustSteps(unittest.TestCase):
    def setUp(self):
        self.work = t.fresh_dir("trust-" + self._testMethodName)
        self.install = os.path.join(self.work, "install")
        self.package = t.make_package()
        self.package_path = t.write_file(os.path.join(self.work, "full.zip"), self.package)

    def run_job(self, manifest, signature_text=None, key="dev"):
        manifest_path, signature_path = t.write_signed_manifest(self.work, manifest, key)
        if signature_text is not None:
            with open(signature_path, "wb") as f:
                f.write(signature_text)
        args = ["--no-launch", "--no-shortcut", "--install-dir", t.winpath(self.install),
                "--cache-dir", t.winpath(os.path.join(self.work, "cache")),
                "--manifest", t.winpath(manifest_path), "--signature", t.winpath(signature_path),
                "--package", t.winpath(self.package_path), "--channel", "win10"]
        return t.run_test(args)

    def manifest(self, sha=None, size=None, channel="win10"):
        package = (sha or t.sha256_hex(self.package), len(self.package) if size is None else size)
        return t.make_manifest("2.1.0", {channel: (URL, package)})

    def assertNothingInstalled(self):
        installed = os.listdir(self.install) if os.path.isdir(self.install) else []
        self.assertEqual(installed, [])

    def test_valid_manifest_and_package_reach_extraction(self):
        for digest in (t.sha256_hex(self.package), t.sha256_hex(self.package).upper()):
            with self.subTest(digest=digest[:8]):
                code, lines = self.run_job(self.manifest(sha=digest))
                self.assertIn(t.EXTRACT_TEXT, lines, lines)
                checked = lines.index("已验证 V2.1.0 清单，准备下载 win10 完整包。")
                self.assertEqual(lines[checked - 1], READING)
                self.assertEqual(lines[checked + 1], t.EXTRACT_TEXT)

    def test_refused_package_ends_with_crc(self):
        wrong_digest = "0" * 64
        cases = {
            "wrong digest": self.manifest(sha=wrong_digest),
            "size one more": self.manifest(size=len(self.package) + 1),
            "digest with a space": self.manifest(sha=" " + t.sha256_hex(self.package)[1:]),
        }
        for name, manifest in cases.items():
            with self.subTest(name):
                code, lines = self.run_job(manifest)
                self.assertEqual(code, 1)
                self.assertRegex(lines[-1], r"^首次下载失败（错误 23[：）]")
                self.assertNotIn(t.EXTRACT_TEXT, lines)
                self.assertNothingInstalled()

    def test_refused_signature_ends_with_signature_code(self):
        manifest = self.manifest()
        good = t.sign_bytes(manifest).encode()
        cases = {
            "other key": (manifest, t.sign_bytes(manifest, "other").encode()),
            "sha1": (manifest, t.sign_bytes(manifest, digest="sha1").encode()),
            "empty": (manifest, b""),
            "not base64": (manifest, b"*** not a signature ***\n"),
            "line ends converted": (manifest.replace(b"\n", b"\r\n"), good),
            "byte order mark": (b"\xef\xbb\xbf" + manifest, good),
        }
        for name, (manifest_bytes, signature) in cases.items():
            with self.subTest(name):
                code, lines = self.run_job(manifest_bytes, signature_text=signature)
                self.assertEqual(code, 1)
                self.assertEqual(lines[-1], SIGNATURE_FAILED)
                self.assertEqual(lines[-2], READING)
                self.assertNothingInstalled()

    def test_signed_manifest_without_the_channel_is_invalid_data(self):
        code, lines = self.run_job(self.manifest(channel="win7"))
        self.assertEqual(code, 1)
        self.assertRegex(lines[-1], r"^首次下载失败（错误 13[：）]")
        self.assertNothingInstalled()

    def test_missing_manifest_file_is_file_invalid(self):
        args = ["--no-launch", "--install-dir", t.winpath(self.install),
                "--manifest", t.winpath(os.path.join(self.work, "absent.json")),
                "--signature", t.winpath(os.path.join(self.work, "absent.json.sig")),
                "--package", t.winpath(self.package_path), "--channel", "win10"]
        code, lines = t.run_test(args)
        self.assertEqual(code, 1)
        self.assertRegex(lines[-1], r"^首次下载失败（错误 1006[：）]")


if __name__ == "__main__":
    unittest.main()
