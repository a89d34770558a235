#!/usr/bin/env python3
"""Demo run: a demo package and a manifest signed with the development key, served by nginx on loopback,
installed by the real exe in test mode into a fresh directory with a shortcut. The cache stays between
demo runs, so a second run reuses the verified package."""
import hashlib
import io
import os
import shutil
import subprocess
import sys
import threading
import time
import zipfile

SOURCE = os.environ["TOV_SOURCE_DIR"]
BUILD = os.environ["TOV_BUILD_DIR"]
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "servers"))
import tovtest as t  # noqa: E402
from nginx import Nginx  # noqa: E402

VERSION = "2.1.0"
PUBLISHER = os.path.join(BUILD, "publisher", "tovpublish")
DEMO = os.path.join(BUILD, "demo")


def filler(size):
    """Deterministic incompressible bytes, so the package is the same on every demo run."""
    out, block = bytearray(), b"tov-demo"
    while len(out) < size:
        block = hashlib.sha256(block).digest()
        out += block * 64
    return bytes(out[:size])


def demo_package():
    files = {
        "Payload/": b"",
        "Payload/TOVKinemo.exe": open(os.path.join(t.TEST_BIN, "payload-app.exe"), "rb").read(),
        "Payload/tovkinemo.root": b"",
        "Payload/current-version.txt": VERSION.encode() + b"\n",
        "Payload/Assets/": b"",
        "Payload/Assets/AppIcon.ico": open(os.path.join(BUILD, "res", "app.ico"), "rb").read(),
        "Payload/Media/": b"",
        "Payload/Media/intro.bin": filler(12 * 1024 * 1024),
    }
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as zf:
        for name, data in files.items():
            info = zipfile.ZipInfo(name, date_time=(2026, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_STORED if name.endswith((".bin", "/")) else zipfile.ZIP_DEFLATED
            zf.writestr(info, data)
    return buf.getvalue()


def publish(root, url):
    package = os.path.join(root, "packages", "TOVKinemo-%s-win10.zip" % VERSION)
    t.write_file(package, demo_package())
    manifest = os.path.join(root, "stable", "update.json")
    os.makedirs(os.path.dirname(manifest), exist_ok=True)
    subprocess.run([PUBLISHER, "manifest", "--version", VERSION, "--out", manifest,
                    "--channel", "win7", "--package", package, "--url", url(package, "win7"),
                    "--channel", "win10", "--package", package, "--url", url(package, "win10")],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([PUBLISHER, "sign", "--key", t.KEYS["dev"], "--in", manifest, "--out", manifest + ".sig"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([PUBLISHER, "verify", "--public", os.path.join(SOURCE, "trust", "dev-manifest-public.pem"),
                    "--manifest", manifest, "--signature", manifest + ".sig", "--package", "win10=" + package],
                   check=True, stdout=subprocess.DEVNULL)
    return manifest


def follow_log(stop):
    """Prints the log's new entries while the run goes."""
    seen = 0
    while True:
        entries = t.read_log_entries() if os.path.exists(t.LOG_PATH) else []
        for stamp, text in entries[seen:]:
            print("  %s %s" % (stamp.decode(), text.replace("\n", "\n" + " " * 22)), flush=True)
        seen = len(entries)
        if stop.is_set():
            return
        time.sleep(0.2)


def main():
    root = os.path.join(DEMO, "www")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    cache = os.path.join(DEMO, "cache")
    install = os.path.join(DEMO, "TOV Kinemo")
    desktop = os.path.join(DEMO, "Desktop")
    shutil.rmtree(install, ignore_errors=True)
    shutil.rmtree(desktop, ignore_errors=True)
    os.makedirs(desktop)
    first = not any(name.endswith(".zip") for name in os.listdir(cache)) if os.path.isdir(cache) else True

    with Nginx(root, BUILD, name="demo") as server:
        manifest = publish(root, lambda path, channel: server.url(os.path.relpath(path, root)))
        print("Demo package served at %s (%d bytes)" % (
            server.url("packages/TOVKinemo-%s-win10.zip" % VERSION),
            os.path.getsize(os.path.join(root, "packages", "TOVKinemo-%s-win10.zip" % VERSION))))
        print("Cache: %s (%s)" % (cache, "empty: the package is downloaded" if first else
                                   "holds the package from an earlier demo run: it is reused"))
        print("Running: TOVKinemoDownloader.exe --test --install-dir ... --shortcut --shortcut-dir ...")
        t.reset_log()
        stop = threading.Event()
        follower = threading.Thread(target=follow_log, args=(stop,))
        follower.start()
        proc = subprocess.run([t.WINE_RUN, t.EXE, "--test", "--install-dir", t.winpath(install),
                               "--cache-dir", t.winpath(cache), "--manifest", t.winpath(manifest),
                               "--signature", t.winpath(manifest + ".sig"), "--shortcut", "--shortcut-dir",
                               t.winpath(desktop)],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.3)
        stop.set()
        follower.join()
        requests = server.access_entries()

    print("Exit code: %d" % proc.returncode)
    print("Requests served: %d (%d bytes)" % (len(requests), sum(r["bytes"] for r in requests)))
    print("Installed into %s:" % install)
    for folder, _, names in sorted(os.walk(install)):
        for name in sorted(names):
            path = os.path.join(folder, name)
            print("  %-40s %10d bytes" % (os.path.relpath(path, install), os.path.getsize(path)))
    for name in sorted(os.listdir(desktop)):
        print("Shortcut: %s (%d bytes)" % (os.path.join(desktop, name), os.path.getsize(os.path.join(desktop, name))))
    print("Cache now: %s" % ", ".join(sorted(os.listdir(cache))))
    return proc.returncode


if __name__ == "__main__":
    sys.exit(main())
