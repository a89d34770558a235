"""Release build checks, through tools/release.sh on copies of the source tree (copied once, so edits
made meanwhile in the working tree cannot make two builds differ):

  Build         the first release build (the fixture of the others), its printed size and SHA-256
  Reproducible  a second clean build from another checkout path gives the same bytes
  Signing       Authenticode with a throwaway CA, the key as PEM and inside a SoftHSM2 token: verifies,
                and fails when tampered or untrusted
  Keys          which manifest keys a Release build accepts, and that the chosen one is embedded
  Exe           PE32+, GUI, entry ProcessEntry, imports of KnownDLLs only, no timestamps, size, version
                resource, unwind tables, runs

Usage: python3 release_test.py CLASS   (TOV_SOURCE_DIR, TOV_BUILD_DIR and for Exe the Wine rig)
"""
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import unittest

SOURCE = os.environ["TOV_SOURCE_DIR"]
BUILD = os.environ["TOV_BUILD_DIR"]
WORK = os.path.join(BUILD, "release-tests")
EXE = "TOVKinemoDownloader.exe"
# The first build sits inside its checkout, the second outside a longer one with spaces.
FIRST_SRC = os.path.join(WORK, "first", "src")
FIRST_OUT = os.path.join(FIRST_SRC, "build-release")
SECOND_SRC = os.path.join(WORK, "second", "a much longer", "checkout path", "TOV Kinemo Downloader")
SECOND_OUT = os.path.join(WORK, "second", "out")
DEV_KEY = os.path.join(FIRST_SRC, "trust", "dev-manifest-public.pem")
# A guard against what does not belong in the exe (a runtime, debug sections), not a budget: 106.5 KiB
# now with the upgrade's reuse and the unwind tables.
SIZE_LIMIT = 128 * 1024
SOFTHSM2 = next((p for p in ("/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so", "/usr/lib/softhsm/libsofthsm2.so")
                 if os.path.exists(p)), "libsofthsm2.so (SoftHSM2 is missing: see the README's setup command)")
TOKEN_PIN = "61873024"
DEV_KEY_REFUSED = "A Release build must embed the vendor's manifest public key"
CRT_DLL = re.compile(r"^(msvcr.*|msvcp.*|ucrtbase.*|vcruntime.*|api-ms-win-crt-.*|crtdll|libgcc.*|libstdc\+\+.*"
                     r"|libwinpthread.*)\.dll$", re.I)
# DLLs that Windows maps from its KnownDLLs section, never from the program's folder (Windows 7 and 10).
KNOWN_DLLS = {"advapi32.dll", "comdlg32.dll", "gdi32.dll", "kernel32.dll", "ole32.dll", "oleaut32.dll",
              "shell32.dll", "shlwapi.dll", "user32.dll"}


def source_files():
    """The working tree's files as git sees them (tracked and new, without ignored ones), relative."""
    build = os.path.relpath(BUILD, SOURCE)
    try:
        out = subprocess.run(["git", "-C", SOURCE, "ls-files", "-co", "--exclude-standard", "-z"],
                             check=True, capture_output=True).stdout
        names = [n.decode() for n in out.split(b"\0") if n]
    except (OSError, subprocess.CalledProcessError):
        names = []
        for root, dirs, files in os.walk(SOURCE):
            rel = os.path.relpath(root, SOURCE)
            dirs[:] = [d for d in dirs if d != ".git" and not (rel == "." and d.startswith("build"))]
            names += [os.path.normpath(os.path.join(rel, f)) for f in files]
    return [n for n in names if not (n + "/").startswith(build + "/") and os.path.isfile(os.path.join(SOURCE, n))]


def copy_files(src, dest, names):
    for name in names:
        os.makedirs(os.path.dirname(os.path.join(dest, name)), exist_ok=True)
        shutil.copy2(os.path.join(src, name), os.path.join(dest, name))


def release(src, out, *options, cwd=None, umask=None, env=None):
    """Runs the checkout's release script; returns (exit code, stdout, stderr)."""
    env = dict(os.environ, **(env or {}))
    env.pop("MAKEFLAGS", None)
    r = subprocess.run(["bash", os.path.join(src, "tools", "release.sh"), *options, out], cwd=cwd or WORK,
                       env=env, capture_output=True, text=True, timeout=600,
                       preexec_fn=(lambda: os.umask(umask)) if umask is not None else None)
    return r.returncode, r.stdout, r.stderr


def read(path):
    with open(path, "rb") as f:
        return f.read()


def sha256(path):
    return hashlib.sha256(read(path)).hexdigest()


def printed(stdout, label):
    """The (size, sha256) that release.sh printed for the 'unsigned' or 'signed' exe."""
    m = re.search(r"^%s: .*, (\d+) bytes \([\d.]+ KiB\), SHA-256 ([0-9a-f]{64})$" % label, stdout, re.M)
    return (int(m.group(1)), m.group(2)) if m else None


class Pe:
    """The few PE32+ facts the release is checked against."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, nsections, self.timestamp = struct.unpack_from("<HHI", data, pe + 4)
        optional_size = struct.unpack_from("<H", data, pe + 20)[0]
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        self.entry = struct.unpack_from("<I", data, opt + 16)[0]
        self.image_base = struct.unpack_from("<Q", data, opt + 24)[0]
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        count = struct.unpack_from("<I", data, opt + 108)[0]
        self.directories = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(count)]
        self.sections = []
        for i in range(nsections):
            s = opt + optional_size + 40 * i
            name = data[s:s + 8].rstrip(b"\0").decode()
            vsize, rva, raw_size, raw = struct.unpack_from("<IIII", data, s + 8)
            self.sections.append((name, rva, vsize, raw, raw_size))

    def offset(self, rva):
        for _, start, vsize, raw, raw_size in self.sections:
            if start <= rva < start + max(vsize, raw_size):
                return raw + rva - start
        raise ValueError("RVA %#x outside every section" % rva)

    def where(self, offset):
        for name, _, _, raw, raw_size in self.sections:
            if raw <= offset < raw + raw_size:
                return name
        return "headers" if offset < self.sections[0][3] else "after the sections"

    def cstring(self, rva):
        o = self.offset(rva)
        return self.data[o:self.data.index(b"\0", o)].decode()

    def imports(self):
        rva, _ = self.directories[1]
        names, o = [], self.offset(rva)
        while True:
            fields = struct.unpack_from("<IIIII", self.data, o)
            if not any(fields):
                return names
            names.append(self.cstring(fields[3]))
            o += 20

    def resource_timestamp(self):
        return struct.unpack_from("<I", self.data, self.offset(self.directories[2][0]) + 4)[0]

    def resource_types(self):
        o = self.offset(self.directories[2][0])
        named, ids = struct.unpack_from("<HH", self.data, o + 12)
        return [struct.unpack_from("<I", self.data, o + 16 + 8 * i)[0] for i in range(named, named + ids)]

    def version_string(self, name):
        """A value of the version resource's string table: after the UTF-16 key, on a 4-byte boundary."""
        key = (name + "\0").encode("utf-16-le")
        o = self.data.find(key)
        if o < 0:
            return None
        o += len(key) + (-(o + len(key)) % 4)
        end = o
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        return self.data[o:end].decode("utf-16-le")


def differences(a, b):
    """Where two builds differ: differing byte counts by PE region, as text."""
    if len(a) != len(b):
        return "%d and %d bytes" % (len(a), len(b))
    pe, counts = Pe(a), {}
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            where = pe.where(i)
            counts[where] = counts.get(where, 0) + 1
    return ", ".join("%s %d bytes" % kv for kv in counts.items())


class Build(unittest.TestCase):
    def test_first_release_build(self):
        if os.path.isdir(WORK):
            shutil.rmtree(WORK)
        copy_files(SOURCE, FIRST_SRC, source_files())
        code, out, err = release(FIRST_SRC, FIRST_OUT, "--allow-dev-key")
        self.assertEqual(code, 0, out[-3000:] + err[-3000:])
        exe = os.path.join(FIRST_OUT, EXE)
        print(re.search(r"^unsigned: .*$", out, re.M).group(0))
        self.assertEqual(printed(out, "unsigned"), (os.path.getsize(exe), sha256(exe)))
        self.assertEqual(read(os.path.join(FIRST_OUT, "dist", EXE)), read(exe), "unsigned release copy")


class Reproducible(unittest.TestCase):
    def test_second_checkout_gives_the_same_bytes(self):
        first = read(os.path.join(FIRST_OUT, EXE))
        if os.path.isdir(os.path.join(WORK, "second")):
            shutil.rmtree(os.path.join(WORK, "second"))
        copy_files(FIRST_SRC, SECOND_SRC, list(self._checkout_files()))
        # A relative OUT_DIR, another umask and time zone: none of it may reach the bytes.
        code, out, err = release(SECOND_SRC, os.path.relpath(SECOND_OUT, SECOND_SRC), "--allow-dev-key",
                                 cwd=SECOND_SRC, umask=0o077, env={"TZ": "Asia/Shanghai"})
        self.assertEqual(code, 0, out[-3000:] + err[-3000:])
        second = read(os.path.join(SECOND_OUT, EXE))
        if first != second:
            self.fail("builds differ: " + differences(first, second))
        print("reproducible: %d bytes, SHA-256 %s" % (len(first), hashlib.sha256(first).hexdigest()))
        for path in (FIRST_SRC, FIRST_OUT, SECOND_SRC, SECOND_OUT, WORK):
            for form in (path.encode(), path.encode("utf-16-le")):
                self.assertNotIn(form, first, "build path in the exe: " + path)

    @staticmethod
    def _checkout_files():
        for root, dirs, files in os.walk(FIRST_SRC):
            if root == FIRST_SRC:
                dirs[:] = [d for d in dirs if os.path.join(root, d) != FIRST_OUT]
            for f in files:
                yield os.path.relpath(os.path.join(root, f), FIRST_SRC)


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True)


def make_ca(directory, name):
    key, cert = os.path.join(directory, name + ".key"), os.path.join(directory, name + ".pem")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "30",
            "-subj", "/CN=TOV Release Test " + name, "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    return key, cert


def verify(exe, ca):
    r = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", exe], capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr


def soft_token(directory, key):
    """A SoftHSM2 token of this test's own under the build folder, never the machine's, holding key
    as "authenticode"; returns the environment that selects it."""
    tokens = os.path.join(directory, "tokens")
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(tokens)
    conf = os.path.join(directory, "softhsm2.conf")
    with open(conf, "w") as f:
        f.write("directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n" % tokens)
    env = {"SOFTHSM2_CONF": conf, "TOV_TEST_PIN": TOKEN_PIN}
    for args in (("--init-token", "--free", "--label", "release-test", "--so-pin", "12345678"),
                 ("--import", key, "--token", "release-test", "--label", "authenticode", "--id", "0a")):
        subprocess.run(["softhsm2-util", "--pin", TOKEN_PIN, *args], check=True, capture_output=True,
                       env=dict(os.environ, **env))
    return env


class Signing(unittest.TestCase):
    def test_sign_verify_and_tamper(self):
        d = os.path.join(WORK, "sign")
        os.makedirs(d, exist_ok=True)
        ca_key, ca = make_ca(d, "ca")
        _, other_ca = make_ca(d, "other-ca")
        key, csr, cert, ext = (os.path.join(d, n) for n in ("leaf.key", "leaf.csr", "leaf.pem", "leaf.ext"))
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
                "-subj", "/CN=TOV Release Test Code Signing")
        with open(ext, "w") as f:
            f.write("basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=codeSigning\n")
        openssl("x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial", "-out", cert,
                "-days", "30", "-extfile", ext)

        # Signing reuses the first build directory: nothing is rebuilt, only signed. The same
        # certificate's key signs once from its PEM file and once inside a token.
        unsigned = os.path.join(FIRST_OUT, EXE)
        before = read(unsigned)
        signed, token_signed = os.path.join(d, "pem-signed.exe"), os.path.join(d, "token-signed.exe")
        token_env = soft_token(os.path.join(d, "token"), key)
        for how, key_option, env, copy in (
                ("PEM", ("--key", key), None, signed),
                ("token", ("--key", "pkcs11:token=release-test;object=authenticode", "--pkcs11-module", SOFTHSM2,
                           "--pin-env", "TOV_TEST_PIN"), token_env, token_signed)):
            code, out, err = release(FIRST_SRC, FIRST_OUT, "--allow-dev-key", "--cert", cert, *key_option, env=env)
            self.assertEqual(code, 0, how + ": " + out[-3000:] + err[-3000:])
            self.assertNotIn(TOKEN_PIN, out + err)
            release_exe = os.path.join(FIRST_OUT, "dist", EXE)
            self.assertEqual(read(unsigned), before, "signing changed the build output")
            self.assertEqual(printed(out, "signed"), (os.path.getsize(release_exe), sha256(release_exe)))
            self.assertEqual(printed(out, "unsigned"), (len(before), hashlib.sha256(before).hexdigest()))
            shutil.copy(release_exe, copy)
            print(how + " " + re.search(r"^signed: .*$", out, re.M).group(0))

        data = bytearray(read(signed))
        text = next(s for s in Pe(bytes(data)).sections if s[0] == ".text")
        data[text[3] + 0x40] ^= 0xFF
        tampered = os.path.join(d, "tampered.exe")
        with open(tampered, "wb") as f:
            f.write(data)
        # (file, CA, verifies)
        for exe, trusted, ok in ((signed, ca, True), (token_signed, ca, True), (signed, other_ca, False),
                                 (tampered, ca, False), (unsigned, ca, False)):
            with self.subTest(exe=os.path.basename(os.path.dirname(exe)) + "/" + os.path.basename(exe),
                              ca=os.path.basename(trusted)):
                code, report = verify(exe, trusted)
                self.assertEqual(code == 0, ok, report[-2000:])
                if ok:
                    self.assertIn("Text description: TOV Kinemo Downloader", report)
                    self.assertIn("Message digest algorithm  : SHA256", report)
                    self.assertIn("Subject: /CN=TOV Release Test Code Signing", report)

        # The signature is all that signing adds: removing it gives back the reproducible bytes.
        for exe in (signed, token_signed):
            stripped = exe + ".stripped"
            subprocess.run(["osslsigncode", "remove-signature", "-in", exe, "-out", stripped], check=True,
                           capture_output=True)
            self.assertEqual(read(stripped), before, exe)
            self.assertNotEqual(Pe(read(exe)).directories[4][1], 0, "no certificate table")


def public_key(private_pem, directory, name):
    path = os.path.join(directory, name)
    openssl("pkey", "-in", private_pem, "-pubout", "-out", path)
    return path


class Keys(unittest.TestCase):
    def test_release_keys(self):
        d = os.path.join(WORK, "keys")
        if os.path.isdir(d):
            shutil.rmtree(d)
        os.makedirs(d)
        vendor = public_key(os.path.join(SOURCE, "tests", "keys", "TEST-ONLY-other-private.pem"), d, "vendor.pem")
        dev_copy = os.path.join(d, "renamed-dev-key.pem")
        shutil.copy(DEV_KEY, dev_copy)
        openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out",
                os.path.join(d, "short.key"))
        short = public_key(os.path.join(d, "short.key"), d, "short.pem")
        # (case, options, refusal text or None when the build succeeds)
        cases = (
            ("dev key by default", (), DEV_KEY_REFUSED),
            ("dev key under another name", ("--public-key", dev_copy), DEV_KEY_REFUSED),
            ("2048-bit key", ("--public-key", short, "--allow-dev-key"), "must be the 625-character PEM form"),
            ("vendor key", ("--public-key", vendor), None),
        )
        for case, options, refusal in cases:
            with self.subTest(case=case):
                out_dir = os.path.join(d, re.sub(r"\W+", "-", case))
                code, out, err = release(FIRST_SRC, out_dir, *options)
                exe = os.path.join(out_dir, EXE)
                if refusal:
                    self.assertNotEqual(code, 0)
                    self.assertIn(refusal, " ".join(err.split()))
                    self.assertFalse(os.path.exists(exe))
                    continue
                self.assertEqual(code, 0, out[-3000:] + err[-3000:])
                data = read(exe)
                self.assertIn(read(vendor) + b"\0", data)
                self.assertNotIn(read(DEV_KEY)[100:400], data)
        # The test release of the fixture carries the development key.
        self.assertIn(read(DEV_KEY) + b"\0", read(os.path.join(FIRST_OUT, EXE)))


class Exe(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.path = os.path.join(FIRST_OUT, EXE)
        cls.pe = Pe(read(cls.path))

    def test_size(self):
        size = os.path.getsize(self.path)
        print("release exe size: %d bytes (%.1f KiB), limit %d KiB" % (size, size / 1024, SIZE_LIMIT // 1024))
        self.assertLessEqual(size, SIZE_LIMIT)

    def test_headers(self):
        pe = self.pe
        self.assertEqual(pe.machine, 0x8664, "x64")
        self.assertEqual(pe.magic, 0x20B, "PE32+")
        self.assertEqual(pe.subsystem, 2, "Windows GUI subsystem")
        self.assertEqual(pe.timestamp, 0, "link timestamp")
        self.assertEqual(pe.resource_timestamp(), 0, "resource directory timestamp")
        self.assertEqual(pe.directories[6], (0, 0), "debug directory")
        self.assertIn(14, pe.resource_types(), "icon group resource")
        self.assertIn(16, pe.resource_types(), "version resource")

    def test_unwind_tables(self):
        # x64 exceptions are dispatched through these tables: without them a crash leaves no trace.
        sections = {s[0]: s for s in self.pe.sections}
        self.assertTrue({".pdata", ".xdata"} <= set(sections), sorted(sections))
        _, pdata, size, raw, _ = sections[".pdata"]
        self.assertEqual(self.pe.directories[3], (pdata, size), "exception directory")
        entries = [struct.unpack_from("<III", self.pe.data, raw + o) for o in range(0, size, 12)]
        inside = lambda rva, name: sections[name][1] <= rva < sections[name][1] + sections[name][2]
        self.assertEqual([e for e in entries if not (inside(e[0], ".text") and inside(e[2], ".xdata"))], [])
        self.assertTrue(any(start <= self.pe.entry < end for start, end, _ in entries), "entry without unwind data")
        print("unwind tables: %d functions, .pdata %d and .xdata %d bytes" % (len(entries), size, sections[".xdata"][2]))

    def test_version_resource(self):
        with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
            version = re.search(r"^project\(TOVKinemoDownloader VERSION ([\d.]+)", f.read(), re.M).group(1)
        expected = {"ProductName": "TOV Kinemo Downloader", "FileDescription": "TOV Kinemo Downloader",
                    "OriginalFilename": "TOVKinemoDownloader.exe", "FileVersion": version,
                    "ProductVersion": version, "CompanyName": "TOV"}
        self.assertEqual({name: self.pe.version_string(name) for name in expected}, expected)

    def test_entry_is_process_entry(self):
        with open(os.path.join(FIRST_OUT, "TOVKinemoDownloader.map")) as f:
            m = re.search(r"^\s+0x([0-9a-f]+)\s+ProcessEntry$", f.read(), re.M)
        self.assertIsNotNone(m, "ProcessEntry not in the map file")
        self.assertEqual(self.pe.image_base + self.pe.entry, int(m.group(1), 16))

    def test_no_c_runtime_imports(self):
        dlls = self.pe.imports()
        print("imports: " + ", ".join(dlls))
        self.assertIn("KERNEL32.DLL", [d.upper() for d in dlls])
        self.assertEqual([d for d in dlls if CRT_DLL.match(d)], [])
        # Anything else would be looked for beside the exe first, where a planted DLL runs before the entry.
        self.assertEqual([d for d in dlls if d.lower() not in KNOWN_DLLS], [])
        self.assertEqual(self.pe.directories[13], (0, 0), "delay-load imports")

    def test_runs_under_wine(self):
        # Test mode without an install directory is refused with exit code 2, before any window.
        r = subprocess.run([os.path.join(BUILD, "rig", "wine-run"), self.path, "--test"], capture_output=True,
                           timeout=120)
        self.assertEqual(r.returncode & 0xFF, 2, r.stderr[-2000:])


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[1:]])
