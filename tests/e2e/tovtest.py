"""Shared helpers for the end-to-end tests: run the real exe in the tests' Wine prefix, read its log,
make signed manifests and packages."""
import hashlib
import io
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import zipfile

SOURCE = os.environ.get("TOV_SOURCE_DIR") or os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("TOV_BUILD_DIR") or os.path.join(SOURCE, "build")
EXE = os.path.join(BUILD, "TOVKinemoDownloader.exe")
WINE_RUN = os.path.join(BUILD, "rig", "wine-run")
PREFIX = os.path.join(BUILD, "wine")
WINE_USER = subprocess.run(["id", "-un"], capture_output=True, text=True).stdout.strip()
# Each test script runs the exe with a temporary directory of its own (the rig's wrapper sets TMP and
# TEMP from TOV_TEMP_DIR), so parallel scripts never share the log file.
TEMP_DIR = os.environ.get("TOV_TEMP_DIR") or os.path.join(
    BUILD, "rig", "tmp", "%s-%d" % (os.path.splitext(os.path.basename(sys.argv[0] or "py"))[0], os.getpid()))
os.environ["TOV_TEMP_DIR"] = TEMP_DIR
LOCAL_APPDATA = os.path.join(PREFIX, "drive_c", "users", WINE_USER, "AppData", "Local")
LOG_PATH = os.path.join(TEMP_DIR, "TOVKinemoDownloader.log")
KEYS = {
    "dev": os.path.join(SOURCE, "tests", "keys", "TEST-ONLY-dev-manifest-private.pem"),
    "other": os.path.join(SOURCE, "tests", "keys", "TEST-ONLY-other-private.pem"),
}
TEST_BIN = os.path.join(BUILD, "tests")
ENTRY_RE = re.compile(rb"^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2}) ")

CANCEL_TEXT = "下载已取消，已完成的分段会保留以便下次继续。"
EXTRACT_TEXT = "完整包验证通过，正在安全解压程序…"


def winpath(path):
    """The Windows path of a Unix path, through drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def fresh_dir(name):
    """An empty directory under the build tree for one test."""
    path = os.path.join(BUILD, "e2e-work", name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def reset_log():
    os.makedirs(TEMP_DIR, exist_ok=True)
    if os.path.exists(LOG_PATH):
        os.remove(LOG_PATH)


def read_log_entries(path=LOG_PATH):
    """The log's entries as (timestamp bytes, text) pairs; each entry ends in CR LF."""
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        data = f.read()
    entries = []
    for raw in data.split(b"\r\n"):
        if not raw:
            continue
        match = ENTRY_RE.match(raw)
        if not match:
            raise AssertionError("log entry without timestamp: %r" % raw[:80])
        entries.append((raw[: match.end() - 1], raw[match.end():].decode("utf-8")))
    if not data.endswith(b"\r\n"):
        raise AssertionError("log does not end with CR LF")
    return entries


def log_lines(path=LOG_PATH):
    return [text for _, text in read_log_entries(path)]


def map_rva(name):
    """Where a function of the program lies in the exe's image, from the link map beside the exe."""
    with open(os.path.join(BUILD, "TOVKinemoDownloader.map")) as f:
        text = f.read()
    base = re.search(r"^\s+0x[0-9a-f]+\s+__image_base__ = 0x([0-9a-f]+)$", text, re.M).group(1)
    return int(re.search(r"^\s+0x([0-9a-f]+)\s+%s\(" % re.escape(name), text, re.M).group(1), 16) - int(base, 16)


def read_minidump(path):
    """What a vendor reads first in a minidump: the exception (thread, code, address, that thread's
    instruction pointer), the threads and the module list (name, base, size)."""
    with open(path, "rb") as f:
        data = f.read()
    signature, version, count, directory = struct.unpack_from("<4sIII", data)
    if signature != b"MDMP" or version & 0xFFFF != 0xA793:
        raise AssertionError("not a minidump: %r" % data[:8])
    streams = {}
    for i in range(count):
        kind, _, rva = struct.unpack_from("<III", data, directory + 12 * i)
        streams[kind] = rva
    exception, threads, module_list = streams[6], streams[3], streams[4]  # the stream types
    thread, _, code, _, _, address = struct.unpack_from("<IIIIQQ", data, exception)
    context = struct.unpack_from("<I", data, exception + 8 + 152 + 4)[0]
    modules = []
    for i in range(struct.unpack_from("<I", data, module_list)[0]):
        base, size, _, _, name = struct.unpack_from("<QIIII", data, module_list + 4 + 108 * i)
        length = struct.unpack_from("<I", data, name)[0]
        modules.append((data[name + 4:name + 4 + length].decode("utf-16-le"), base, size))
    return {"thread": thread, "code": code, "address": address, "rip": struct.unpack_from("<Q", data, context + 0xF8)[0],
            "threads": [struct.unpack_from("<I", data, threads + 4 + 48 * i)[0]
                        for i in range(struct.unpack_from("<I", data, threads)[0])], "modules": modules}


last_output = ""


def run_exe(args, timeout=900, reset=True, env=None, exe=EXE, cwd=None):
    """Runs the exe with the given arguments (test mode arguments included by the caller).
    Returns (exit code as the Linux side sees it: low 8 bits, log texts)."""
    if reset:
        reset_log()
    run_env = dict(os.environ)
    run_env["TOV_BUILD_DIR"] = BUILD
    if env:
        run_env.update(env)
    proc = subprocess.run([WINE_RUN, exe] + list(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=timeout, env=run_env, cwd=cwd)
    # What Wine and the wrapper printed, for a failure message when the log tells too little.
    global last_output
    last_output = proc.stdout.decode("utf-8", "replace")[-4000:]
    return proc.returncode, log_lines()


def run_test(args, **kw):
    return run_exe(["--test"] + list(args), **kw)


PLANT_DIR = os.path.join(TEST_BIN, "plant")
PLANTED_DLLS = ("winhttp", "crypt32", "comctl32")


def plant(dll, where, work):
    """A copy of the exe, and a look-alike dll.dll (tests/rig/plant.c) beside it or in the current directory.
    Returns (exe, current directory, environment for Wine to load such a DLL native first, as Windows does
    for every DLL that is not a KnownDLL, folder of the planted DLL)."""
    app, cwd = os.path.join(work, "app"), os.path.join(work, "cwd")
    for folder in (app, cwd):
        os.makedirs(folder, exist_ok=True)
    exe = shutil.copy(EXE, app)
    folder = app if where == "beside" else cwd
    shutil.copy(os.path.join(PLANT_DIR, dll + ".dll"), folder)
    return exe, cwd, {"TOV_EXTRA_DLLOVERRIDES": dll + "=n,b"}, folder


def plant_markers(folder):
    """The markers planted DLLs left in folder (named after the module as loaded, in any case)."""
    return [name for name in os.listdir(folder) if name.endswith(".loaded")]


def sign_bytes(data, key="dev", digest="sha256"):
    """Base64 text of an RSASSA-PKCS1-v1_5 signature over data, one line."""
    proc = subprocess.run(["openssl", "dgst", "-" + digest, "-sign", KEYS.get(key, key)], input=data,
                          capture_output=True, check=True)
    import base64
    return base64.b64encode(proc.stdout).decode("ascii") + "\n"


def sha256_hex(data):
    return hashlib.sha256(data).hexdigest()


def make_manifest(version, channels):
    """channels: {"win10": (url, package_bytes_or_(sha, size))}. Returns the manifest bytes."""
    doc = {"latestVersion": version}
    for name, (url, package) in channels.items():
        if isinstance(package, (bytes, bytearray)):
            sha, size = sha256_hex(package), len(package)
        else:
            sha, size = package
        doc[name] = {"url": url, "sha256": sha, "sizeBytes": size}
    return json.dumps(doc, indent=2).encode("utf-8")


def write_signed_manifest(directory, manifest, key="dev"):
    """Writes update.json and update.json.sig into directory; returns both paths."""
    manifest_path = os.path.join(directory, "update.json")
    signature_path = manifest_path + ".sig"
    with open(manifest_path, "wb") as f:
        f.write(manifest)
    with open(signature_path, "w") as f:
        f.write(sign_bytes(manifest, key))
    return manifest_path, signature_path


def payload_program():
    """The tests' payload executable (records its launch) when built, else a small placeholder."""
    path = os.path.join(TEST_BIN, "payload-app.exe")
    if os.path.exists(path):
        with open(path, "rb") as f:
            return f.read()
    return b"MZ placeholder"


def default_payload_files():
    return {
        "Payload/TOVKinemo.exe": payload_program(),
        "Payload/tovkinemo.root": b"",
        "Payload/current-version.txt": b"2.1.0\n",
        "Payload/Assets/AppIcon.ico": b"\0\0\1\0",
    }


def make_package(files=None, extra_bytes=0, compression=zipfile.ZIP_DEFLATED):
    """A zip package in memory with explicit folder entries. files maps archive names to bytes."""
    files = default_payload_files() if files is None else files
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compression) as zf:
        folders = set()
        for name in files:
            parts = name.split("/")[:-1]
            for i in range(1, len(parts) + 1):
                folders.add("/".join(parts[:i]) + "/")
        for folder in sorted(folders):
            zf.writestr(zipfile.ZipInfo(folder), b"")
        for name, data in files.items():
            zf.writestr(name, data)
        if extra_bytes:
            # Incompressible filler so a package has a chosen size order.
            zf.writestr("Filler/filler.bin", os.urandom(extra_bytes), compress_type=zipfile.ZIP_STORED)
    return buf.getvalue()


def zip64_directory(data):
    """The same zip (no archive comment) with each central-directory entry's sizes and local-header offset
    moved into a zip64 extra field, as a writer does for entries past 4 GiB."""
    end = data.rindex(b"PK\x05\x06")
    count, size, offset = struct.unpack_from("<HII", data, end + 10)
    directory, at = bytearray(), offset
    for _ in range(count):
        head = bytearray(data[at:at + 46])
        name, extra, comment = struct.unpack_from("<HHH", head, 28)
        csize, usize = struct.unpack_from("<II", head, 20)
        zip64 = struct.pack("<HHQQQ", 1, 24, usize, csize, struct.unpack_from("<I", head, 42)[0])
        struct.pack_into("<H", head, 6, 45)
        struct.pack_into("<II", head, 20, 0xFFFFFFFF, 0xFFFFFFFF)
        struct.pack_into("<H", head, 30, extra + len(zip64))
        struct.pack_into("<I", head, 42, 0xFFFFFFFF)
        rest = data[at + 46:at + 46 + name + extra + comment]
        directory += head + rest[:name] + zip64 + rest[name:]
        at += 46 + name + extra + comment
    return data[:offset] + bytes(directory) + struct.pack("<4s4H2IH", b"PK\x05\x06", 0, 0, count, count,
                                                          len(directory), offset, 0)


def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    return path
