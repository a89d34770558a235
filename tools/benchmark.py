#!/usr/bin/env python3
"""Download benchmark (prints figures; not a test). One nginx on loopback serves a 256 MiB package:
the program's segmented download, the program's single stream (ranges off), `curl -o` + sha256sum and
`aria2c -x8 -s8` + sha256sum. Also the program's time split (download, merge, hash), its peak private
memory against an idle Wine process, and a resumed run's bytes sent against bytes missing.

Usage: TOV_BUILD_DIR=build tools/benchmark.py [SIZE_MIB]   (the build must exist: tools/test.sh or demo)"""
import datetime
import os
import shutil
import subprocess
import sys
import threading
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
os.environ.setdefault("TOV_SOURCE_DIR", SOURCE)
os.environ.setdefault("TOV_BUILD_DIR", os.path.join(SOURCE, "build"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "servers"))
import tovtest as t  # noqa: E402
from nginx import Nginx  # noqa: E402

MiB = 1024 * 1024
SPEED = __import__("re").compile(r"^正在下载 \d+%，下载速度 (\d+\.\d) MB/s$")
PUBLISHER = os.path.join(t.BUILD, "publisher", "tovpublish")


def rss_kib(pid, field):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


class MemoryWatch(threading.Thread):
    """Polls the private (anonymous) resident memory of the process whose command line names `needle`."""

    def __init__(self, needle):
        super().__init__(daemon=True)
        self.needle, self.peak, self.stop = needle, 0, threading.Event()

    def run(self):
        while not self.stop.is_set():
            for pid in (int(p) for p in os.listdir("/proc") if p.isdigit()):
                try:
                    with open("/proc/%d/cmdline" % pid, "rb") as f:
                        if self.needle.encode() not in f.read():
                            continue
                except OSError:
                    continue
                value = rss_kib(pid, "RssAnon")
                if value:
                    self.peak = max(self.peak, value)
            time.sleep(0.05)


def idle_wine_private_kib():
    """RssAnon of an idle Wine process (cmd.exe waiting for input)."""
    proc = subprocess.Popen([t.WINE_RUN, "cmd.exe", "/k"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    time.sleep(3)
    value = 0
    for pid in (int(p) for p in os.listdir("/proc") if p.isdigit()):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                if b"cmd.exe" in f.read() and pid != proc.pid:
                    value = max(value, rss_kib(pid, "RssAnon") or 0)
        except OSError:
            pass
    proc.stdin.close()
    proc.kill()
    subprocess.run(["pkill", "-f", "cmd.exe /k"], stderr=subprocess.DEVNULL)
    return value


def stamps(entries):
    """Seconds (from the log's timestamps) of the first line with each text."""
    out = {}
    for stamp, text in entries:
        when = datetime.datetime.strptime(stamp.decode(), "%Y-%m-%d %H:%M:%S").timestamp()
        out.setdefault(text, when)
    return out


def program_run(server, work, manifest, block, cancel_after=None, fresh_cache=True):
    cache = os.path.join(work, "cache")
    if fresh_cache:
        shutil.rmtree(cache, ignore_errors=True)
    target = t.write_file(os.path.join(work, "install-is-a-file"), b"x")  # ends the run right after the check
    args = [t.EXE, "--test", "--install-dir", t.winpath(target), "--cache-dir", t.winpath(cache), "--manifest",
            t.winpath(manifest[block]), "--signature", t.winpath(manifest[block] + ".sig"), "--channel", "win10"]
    if cancel_after:
        args += ["--cancel-after-bytes", str(cancel_after)]
    t.reset_log()
    watch = MemoryWatch("TOVKinemoDownloader.exe")
    watch.start()
    mark = server.mark()
    start = time.monotonic()
    subprocess.run([t.WINE_RUN] + args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    wall = time.monotonic() - start
    watch.stop.set()
    watch.join()
    entries = t.read_log_entries()
    return wall, stamps(entries), watch.peak, server.entries_since(mark), [e[1] for e in entries], cache


def native_run(command, path):
    if os.path.exists(path):
        os.remove(path)
    start = time.monotonic()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["sha256sum", path], check=True, stdout=subprocess.DEVNULL)
    return time.monotonic() - start


def main():
    size_mib = int(sys.argv[1]) if len(sys.argv) > 1 else 256
    work = t.fresh_dir("benchmark")
    www = os.path.join(work, "www")
    package = os.path.join(www, "package.zip")
    os.makedirs(www)
    import zipfile
    with zipfile.ZipFile(package, "w") as zf:  # a real package: payload markers and incompressible media
        zf.writestr("Payload/TOVKinemo.exe", t.payload_program())
        zf.writestr("Payload/tovkinemo.root", b"")
        with zf.open(zipfile.ZipInfo("Payload/Media/big.bin"), "w", force_zip64=True) as big:
            for _ in range(size_mib):
                big.write(os.urandom(MiB))
    size = os.path.getsize(package)
    certs = os.path.join(t.BUILD, "rig", "certs")
    results = []
    with Nginx(www, t.BUILD, name="benchmark", tls11=False) as server:
        manifest = {}
        for block in ("ranges", "norange"):
            directory = os.path.join(work, block)
            os.makedirs(directory)
            path = os.path.join(directory, "update.json")
            subprocess.run([PUBLISHER, "manifest", "--version", "9.9.9", "--out", path, "--channel", "win10",
                            "--package", package, "--url", server.url("package.zip", block)], check=True,
                           stdout=subprocess.DEVNULL)
            subprocess.run([PUBLISHER, "sign", "--key", t.KEYS["dev"], "--in", path, "--out", path + ".sig"],
                           check=True, stdout=subprocess.DEVNULL)
            manifest[block] = path

        idle = idle_wine_private_kib()
        seg = program_run(server, work, manifest, "ranges")
        single = program_run(server, work, manifest, "norange")
        curl = native_run(["curl", "-sS", "--cacert", os.path.join(certs, "ca.pem"), "-o",
                           os.path.join(work, "curl.zip"), server.url("package.zip")], os.path.join(work, "curl.zip"))
        aria = native_run(["aria2c", "-q", "-x8", "-s8", "--ca-certificate=" + os.path.join(certs, "ca.pem"),
                           "--allow-overwrite=true", "--auto-file-renaming=false", "-d", work, "-o", "aria.zip",
                           server.url("package.zip")], os.path.join(work, "aria.zip"))
        # Resume: cancel half-way, then a second run fetches the rest.
        half = program_run(server, work, manifest, "ranges", cancel_after=size // 2)
        cache = half[5]
        on_disk = sum(os.path.getsize(os.path.join(cache, n)) for n in os.listdir(cache) if ".part" in n)
        resumed = program_run(server, work, manifest, "ranges", fresh_cache=False)
        sent = sum(r["bytes"] for r in resumed[3] if r["range"] != "bytes=0-0")

    def program_figures(name, run, path_kind):
        wall, when, peak, _, lines, _ = run
        # The install path is a file, so a verified package ends the run at the directory step (183).
        ok = "正在校验完整包大小和 SHA-256…" in lines and lines[-1].startswith("首次下载失败（错误 183")
        results.append((name, wall, ok))
        start = when.get("正在下载 0%，下载速度 0.0 MB/s")
        merged = when.get("下载完成，正在合并分段…")
        check = when.get("正在校验完整包大小和 SHA-256…")
        done = when.get(lines[-1]) if lines else None
        split = []
        if path_kind == "segmented" and None not in (start, merged, check, done):
            split = ["download %.0f s" % (merged - start), "merge %.0f s" % (check - merged),
                     "hash %.0f s" % (done - check)]
        elif None not in (start, check, done):
            split = ["download %.0f s" % (check - start), "hash %.0f s" % (done - check)]
        speeds = [float(m.group(1)) for m in (SPEED.match(l) for l in lines) if m]
        if speeds:
            split.append("download average %.1f MB/s by the program's last speed line" % speeds[-1])
        run_speeds[name] = speeds[-1] if speeds else None
        return "  split (log timestamps, 1 s resolution): %s; peak private memory %.1f MiB (%.1f MiB above idle Wine)" % (
            ", ".join(split) or "n/a", peak / 1024, (peak - idle) / 1024)

    run_speeds = {}
    seg_note = program_figures("program, 8 segments", seg, "segmented")
    single_note = program_figures("program, single stream", single, "single")
    results.append(("curl -o + sha256sum", curl, True))
    results.append(("aria2c -x8 -s8 + sha256sum", aria, True))

    print("Package: %d MiB over loopback TLS 1.2 from nginx; idle Wine process: %.1f MiB private" % (
        size_mib, idle / 1024))
    print("%-30s %10s %10s %12s" % ("run", "wall s", "MB/s", "vs curl"))
    for name, wall, ok in results:
        print("%-30s %10.2f %10.1f %11.2fx%s" % (name, wall, size / MiB / wall, curl / wall,
                                                  "" if ok else "  (did not verify!)"))
    print("program, 8 segments:" + seg_note[1:])
    print("program, single stream:" + single_note[1:])
    print("segmented / single stream, whole run: %.2fx" % (single[0] / seg[0]))
    a, b = run_speeds.get("program, 8 segments"), run_speeds.get("program, single stream")
    if a and b:
        print("segmented / single stream, download phase: %.2fx (target >= 3x)" % (a / b))
    print("resumed run: %d bytes were missing, the server sent %d bytes for the ranges (%s)" % (
        size - on_disk, sent, "no byte fetched twice" if sent == size - on_disk else "MISMATCH"))
    peak_above = (max(seg[2], single[2]) - idle) / 1024
    print("peak private memory above idle Wine: %.1f MiB (target <= 16 MiB)" % peak_above)


if __name__ == "__main__":
    main()
