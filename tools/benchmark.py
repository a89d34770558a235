#!/usr/bin/env python3
"""Download benchmark (prints figures; not a test). One nginx on loopback serves the packages; contenders
take turns, each figure is the median of ROUNDS runs and every run is shown with the machine's load.

Table 1: a 256 MiB package over unlimited loopback TLS 1.2: the program's segmented download, its single
stream (ranges off), `curl -o` + sha256sum, `aria2c -x8 -s8 -k1M` + sha256sum.
Table 2: a 64 MiB package from an nginx block that sends each connection at 4 MiB/s (`limit_rate 4m`).

The program is started with `wine` itself in the tests' prefix, its wineserver kept running (as a
Windows kernel is), like curl is started by itself. Its phases come from its log lines as they appear
(the log is polled, its one-second timestamps are too coarse): start (Wine start, manifest, signature),
download (with the range probe), merge, check. Beside them: the bare Wine start of the program, the
program's whole-file check of a cached package ("check alone", a reuse run), and from nginx's log the
first HTTPS connection of the process (Wine's one-time TLS set-up), the probe, the start of the ranges
and the end of the last one. Peak private memory (RssAnon) is measured against an idle Wine process.
A resumed run shows bytes sent against bytes missing. At the end the prefix's wineserver is ended by
`wineserver -k`, and with it Wine's services: nothing is left running.

At the end, the check after the extraction: the program's check of a 256 MiB installed payload against the
package's table of contents, beside `python3 -c` zlib.crc32 over the same files (`check` runs only that line).

Usage: TOV_BUILD_DIR=build [TOV_BENCH_EXE=other.exe] tools/benchmark.py [check|upgrade] [ROUNDS]   (the build
must exist; takes about 4 minutes, `check` alone under a minute; `upgrade` runs tools/bench_upgrade.py's table
alone)"""
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import time
import zipfile

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
os.environ.setdefault("TOV_SOURCE_DIR", SOURCE)
# Servers and Wine get absolute paths, whatever directory the benchmark is started from.
os.environ["TOV_BUILD_DIR"] = os.path.abspath(os.environ.get("TOV_BUILD_DIR") or os.path.join(SOURCE, "build"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "servers"))
import tovtest as t  # noqa: E402
from nginx import Nginx  # noqa: E402

# Another build of the program (for example main's, for before-and-after figures) runs in the same prefix.
t.EXE = os.environ.get("TOV_BENCH_EXE") or t.EXE

MiB = 1024 * 1024
# Another build of the publisher (for example a branch's, before the merge) with TOV_BENCH_PUBLISHER.
PUBLISHER = os.environ.get("TOV_BENCH_PUBLISHER") or os.path.join(t.BUILD, "publisher", "tovpublish")
CA = os.path.join(t.BUILD, "rig", "certs", "ca.pem")
# The program runs straight under wine (no temp-directory wrapper), so the Linux pid started here is the
# program itself and its log is the prefix's default one.
LOG = os.path.join(t.PREFIX, "drive_c", "users", t.WINE_USER, "Temp", "TOVKinemoDownloader.log")
OPENING = "正在下载 0%，下载速度 0.0 MB/s"
MERGE = "下载完成，正在合并分段…"
CHECK = "正在校验完整包大小和 SHA-256…"
VERIFIED_END = "首次下载失败（错误 183"  # the install path is a file: the run ends right after the check


_WINE_ENV = None


def wine_env():
    """The rig's Wine environment (tests/rig/wine-env.sh), read once."""
    global _WINE_ENV
    if _WINE_ENV is None:
        script = os.path.join(SOURCE, "tests", "rig", "wine-env.sh")
        out = subprocess.run(["bash", "-c", 'source "$0" && env -0', script], check=True, stdout=subprocess.PIPE,
                             env=dict(os.environ)).stdout
        _WINE_ENV = dict(item.split("=", 1) for item in out.decode().split("\0") if "=" in item)
        _WINE_ENV.pop("TOV_TEMP_DIR", None)
    return _WINE_ENV


def start_prefix():
    """Makes the prefix ready and its persistent wineserver, services and desktop run, detached from our
    output. The rig's own idle program holds Wine's desktop: without one, explorer.exe ends a second or two
    after the last program and the next program pays its start again (about 0.15 s here), which a Windows
    session never does."""
    subprocess.run([t.WINE_RUN, "cmd", "/c", "exit"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, env=dict(os.environ), check=True)


def end_process(proc):
    """Ends a process this benchmark started, by its own pid."""
    proc.kill()
    proc.wait()


def wine(args):
    return subprocess.Popen(["wine"] + args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env=wine_env())


def load():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def private_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def idle_wine_private_kib(threads=0):
    """RssAnon of an idle Wine process (the rig's idlethreads.exe with that many idle threads), ended by its
    own pid."""
    proc = wine([os.path.join(t.TEST_BIN, "idlethreads.exe"), str(threads)])
    try:
        return settled_private_kib(proc)
    finally:
        end_process(proc)


def settled_private_kib(proc):
    """Wine's start-up settles within seconds; the largest value seen is the idle process's size."""
    peak = 0
    for _ in range(40):
        time.sleep(0.1)
        peak = max(peak, private_kib(proc.pid))
    return peak


def make_package(path, size_mib):
    """A real package: payload markers and incompressible media."""
    with zipfile.ZipFile(path, "w") as zf:
        zf.writestr("Payload/TOVKinemo.exe", t.payload_program())
        zf.writestr("Payload/tovkinemo.root", b"")
        with zf.open(zipfile.ZipInfo("Payload/Media/big.bin"), "w", force_zip64=True) as big:
            for _ in range(size_mib):
                big.write(os.urandom(MiB))
    return os.path.getsize(path)


def settle():
    """Writes the previous contender's files out before the next one starts, so that no run pays for the disk
    writes of the one before it."""
    os.sync()


def program_run(work, manifest, cancel_after=None, fresh_cache=True, limit=None):
    """One run of the exe: wall time, the time each log line first appeared, peak private memory. A run
    still going after `limit` seconds is ended (and not verified)."""
    cache = os.path.join(work, "cache")
    if fresh_cache:
        shutil.rmtree(cache, ignore_errors=True)
    target = t.write_file(os.path.join(work, "install-is-a-file"), b"x")
    args = [t.EXE, "--test", "--install-dir", t.winpath(target), "--cache-dir", t.winpath(cache), "--manifest",
            t.winpath(manifest), "--signature", t.winpath(manifest + ".sig"), "--channel", "win10"]
    if cancel_after:
        args += ["--cancel-after-bytes", str(cancel_after)]
    if os.path.exists(LOG):
        os.remove(LOG)
    settle()
    seen, pending, peak = {}, b"", 0
    start = time.monotonic()
    wall_start = time.time()
    proc = wine(args)
    offset, polls = 0, 0
    while True:
        done = proc.poll() is not None
        try:
            with open(LOG, "rb") as f:
                f.seek(offset)
                chunk = f.read()
        except OSError:
            chunk = b""
        offset += len(chunk)
        pending += chunk
        now = time.monotonic() - start
        while b"\r\n" in pending:
            line, pending = pending.split(b"\r\n", 1)
            seen.setdefault(line[20:].decode("utf-8", "replace"), now)
        if polls % 10 == 0:
            peak = max(peak, private_kib(proc.pid))
        polls += 1
        if done:
            break
        if limit and now > limit:
            end_process(proc)
        time.sleep(0.005)
    wall = time.monotonic() - start
    lines = sorted(seen, key=seen.get)
    return {"wall": wall, "seen": seen, "lines": lines, "peak": peak, "cache": cache, "epoch": wall_start,
            "load": load(), "ok": CHECK in seen and bool(lines) and lines[-1].startswith(VERIFIED_END)}


def bare_start():
    """Wall time of the program started with `--test` alone: Wine's process start, the program's entry and its
    exit with code 2."""
    start = time.monotonic()
    wine([t.EXE, "--test"]).wait()
    return time.monotonic() - start


def probe_costs(work, url, count):
    """Seconds of count probes (open, send with "Range: bytes=0-0", close) in one process through the program's
    request layer: the first pays the process's one-time TLS set-up, the rest what a probe costs."""
    out = os.path.join(work, "probes.json")
    with open(out, "w") as f:
        subprocess.run(["wine", os.path.join(t.TEST_BIN, "dltool.exe"), "probes", str(count), url,
                        "Range: bytes=0-0\\r\\n"], stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.DEVNULL,
                       env=wine_env(), check=True)
    with open(out) as f:
        return [seconds for seconds, status in json.loads(f.read().strip().splitlines()[-1])["seconds"]
                if status == 206]


def check_alone(work, manifest):
    """A run that finds the verified package in the cache: from the manifest line to the end it reads and
    hashes the whole package (the same check as a local --package)."""
    run = program_run(work, manifest, fresh_cache=False)
    seen = run["seen"]
    verified = [line for line in seen if line.startswith("已验证 ")]
    ok = bool(verified) and OPENING not in seen and run["lines"][-1].startswith(VERIFIED_END)
    return seen[run["lines"][-1]] - seen[verified[0]] if ok else None


def phases(run):
    """start, download (with the probe), merge, check in seconds; merge is None for the single stream."""
    seen, end = run["seen"], run["seen"][run["lines"][-1]] if run["lines"] else None
    opening, merge, check = seen.get(OPENING), seen.get(MERGE), seen.get(CHECK)
    if None in (opening, check, end):
        return None
    download_end = merge if merge is not None else check
    return {"start": opening, "download": download_end - opening,
            "merge": check - merge if merge is not None else None, "check": end - check}


def probe_share(run, entries):
    """Seconds from the opening line to the probe's request at the server (the process's first HTTPS
    connection), to the probe's end, to the start of the first range, and from the end of the last range to
    the merge line (nginx's clock and ours are the same machine's); None where not seen."""
    opening = run["seen"].get(OPENING)
    probes = [e for e in entries if e["range"] == "bytes=0-0"]
    ranges = [e for e in entries if e["range"] and e["range"] != "bytes=0-0"]
    if opening is None or not probes:
        return None
    at = run["epoch"] + opening
    probe = probes[0]
    first_range = min(e["msec"] - e["seconds"] for e in ranges) - at if ranges else None
    merge = run["seen"].get(MERGE)
    tail = merge + run["epoch"] - max(e["msec"] for e in ranges) if ranges and merge is not None else None
    return {"connect": probe["msec"] - probe["seconds"] - at, "probe_end": probe["msec"] - at,
            "first_range": first_range, "tail": tail}


def native_run(command, path):
    if os.path.exists(path):
        os.remove(path)
    settle()
    start = time.monotonic()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["sha256sum", path], check=True, stdout=subprocess.DEVNULL)
    return {"wall": time.monotonic() - start, "load": load(), "ok": True}


def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, unit=""):
    return "–" if value is None else "%.2f%s" % (value, unit)


def runs_text(runs):
    return ", ".join("%.2f (load %s)%s" % (r["wall"], r["load"], "" if r["ok"] else " NOT VERIFIED") for r in runs)


def contenders(server, work, manifests, block_ranges, block_single, name):
    url = lambda block: server.url(name, block)
    out = os.path.join(work, "native.zip")
    return [
        ("program, 8 ranges", lambda: program_run(work, manifests[block_ranges])),
        ("program, 1 stream", lambda: program_run(work, manifests[block_single])),
        ("curl -o + sha256sum", lambda: native_run(["curl", "-sS", "--cacert", CA, "-o", out, url(block_ranges)],
                                                   out)),
        ("aria2c -x8 -s8 -k1M + sha256sum", lambda: native_run(
            ["aria2c", "-q", "-x8", "-s8", "-k1M", "--ca-certificate=" + CA, "--allow-overwrite=true",
             "--auto-file-renaming=false", "-d", work, "-o", "native.zip", url(block_ranges)], out)),
    ]


def measure(server, work, manifests, blocks, name, rounds):
    """Runs every contender once per round, in turns; returns name -> list of runs."""
    table = contenders(server, work, manifests, blocks[0], blocks[1], name)
    results = {n: [] for n, _ in table}
    for _ in range(rounds):
        for n, run in table:
            mark = server.mark()
            result = run()
            result["entries"] = [e for e in server.entries_since(mark) if e["uri"] == "/" + name]
            results[n].append(result)
    return results


def phase_medians(runs):
    split = [phases(r) for r in runs]
    split = [s for s in split if s]
    return {k: med([s[k] for s in split]) for k in ("start", "download", "merge", "check")} if split else {}


def print_program_details(name, runs, idle):
    for r in runs:
        p = phases(r) or {}
        probe = probe_share(r, r["entries"])
        probe = probe or {}
        print("    %s: wall %.2f s, load %s: start %s, download %s, merge %s, check %s; after the opening line the "
              "probe reaches the server at %s, ends at %s, the first range starts at %s; last range's end to "
              "the merge line %s; peak private %.1f MiB (%.1f above idle Wine)" % (
                  name, r["wall"], r["load"], fmt(p.get("start")), fmt(p.get("download")), fmt(p.get("merge")),
                  fmt(p.get("check")), fmt(probe.get("connect"), " s"), fmt(probe.get("probe_end"), " s"),
                  fmt(probe.get("first_range"), " s"), fmt(probe.get("tail"), " s"), r["peak"] / 1024,
                  (r["peak"] - idle) / 1024))


def table_loopback(results, size_mib, idle, alone):
    curl = med([r["wall"] for r in results["curl -o + sha256sum"]])
    print("\n%d MiB, unlimited loopback (median of %d; all runs in brackets)" % (size_mib, len(results[
        "curl -o + sha256sum"])))
    print("| contender | wall s | start | download (incl. probe) | merge | check | vs curl + sha256sum | runs |")
    print("|---|---|---|---|---|---|---|---|")
    for name, runs in results.items():
        wall = med([r["wall"] for r in runs])
        p = phase_medians(runs) if name.startswith("program") else {}
        print("| %s | %.2f | %s | %s | %s | %s | %.2fx | %s |" % (
            name, wall, fmt(p.get("start")), fmt(p.get("download")), fmt(p.get("merge")), fmt(p.get("check")),
            curl / wall, runs_text(runs)))
    seg = phase_medians(results["program, 8 ranges"])
    single = phase_medians(results["program, 1 stream"])
    alone_median = med(alone)
    if seg.get("merge") is not None and seg.get("check") is not None:
        after = seg["merge"] + seg["check"]
        print("after the download, 8 ranges: merge + check %.2f s = %s the check alone (%s s: the program's "
              "whole-file check of the cached package, runs %s); single stream check %.2f s" % (
                  after, "%.2fx" % (after / alone_median) if alone_median else "–", fmt(alone_median),
                  ", ".join(fmt(a) for a in alone),
                  single["check"] if single.get("check") is not None else float("nan")))
    for name in ("program, 8 ranges", "program, 1 stream"):
        print_program_details(name, results[name], idle)


def table_capped(results, size_mib, idle):
    single = med([r["wall"] for r in results["program, 1 stream"]])
    aria = med([r["wall"] for r in results["aria2c -x8 -s8 -k1M + sha256sum"]])
    print("\n%d MiB, nginx `limit_rate 4m` per connection (median of %d; bound for 8 connections: %.2f s)" % (
        size_mib, len(results["program, 1 stream"]), size_mib / 32.0))
    print("| contender | wall s | phases (start, download, merge, check) | vs program 1 stream | vs aria2c | runs |")
    print("|---|---|---|---|---|---|")
    for name, runs in results.items():
        wall = med([r["wall"] for r in runs])
        p = phase_medians(runs) if name.startswith("program") else {}
        split = ", ".join(fmt(p.get(k)) for k in ("start", "download", "merge", "check")) if p else ""
        print("| %s | %.2f | %s | %.2fx | %.2fx slower | %s |" % (name, wall, split, single / wall, wall / aria,
                                                                 runs_text(runs)))
    shares = [s for s in (probe_share(r, r["entries"]) for r in results["program, 8 ranges"]) if s]
    wall = med([r["wall"] for r in results["program, 8 ranges"]])
    connect, probe_end = med([s["connect"] for s in shares]), med([s["probe_end"] for s in shares])
    first, tail = med([s["first_range"] for s in shares]), med([s["tail"] for s in shares])
    if None not in (connect, probe_end, first):
        print("8 ranges, from the opening line (medians): the probe reaches the server after %.3f s (the process's "
              "first HTTPS connection, Wine's one-time TLS set-up included), is answered %.3f s later, the first "
              "range starts %.3f s after that; in all %.2f s of %.2f s wall (%.0f %%), of which the probe's own "
              "request %.0f %%" % (connect, probe_end - connect, first - probe_end, first, wall, 100 * first / wall,
                                   100 * (probe_end - connect) / wall))
    if tail is not None:
        print("8 ranges: from the end of the last range at the server to the merge line (flush of the parts, "
              "join): %.3f s" % tail)
    for name in ("program, 8 ranges", "program, 1 stream"):
        print_program_details(name, results[name], idle)


def publish(server, work, package, block, name, version="9.9.9", options=(), folder=None):
    directory = os.path.join(work, folder or "manifest-" + block)
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, "update.json")
    subprocess.run([PUBLISHER, "manifest", "--version", version, "--out", path] + list(options) + [
        "--channel", "win10", "--package", package, "--url", server.url(name, block)], check=True,
        stdout=subprocess.DEVNULL)
    subprocess.run([PUBLISHER, "sign", "--key", t.KEYS["dev"], "--in", path, "--out", path + ".sig"], check=True,
                   stdout=subprocess.DEVNULL)
    return path


CRC_REFERENCE = """import os, sys, zlib
for folder, _, names in os.walk(sys.argv[1]):
    for name in names:
        crc = 0
        with open(os.path.join(folder, name), "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                crc = zlib.crc32(block, crc)
"""


def payload_check(work, rounds):
    """The check after the extraction: the program's own check of a 256 MiB installed payload against the
    package's table of contents (tests' checkbench.exe, each round in one process with the files in the page
    cache, as right after an extraction) beside `python3 -c` zlib.crc32 over the same files (whole process)."""
    package = os.path.join(work, "payload.zip")
    make_package(package, 256)
    folder = os.path.join(work, "installed")
    with zipfile.ZipFile(package) as zf:
        for info in zf.infolist():
            if info.filename.startswith("Payload/") and not info.is_dir():
                t.write_file(os.path.join(folder, info.filename[len("Payload/"):]), zf.read(info))
    settle()
    proc = subprocess.run(["wine", os.path.join(t.TEST_BIN, "checkbench.exe"), t.winpath(package), t.winpath(folder),
                           str(rounds)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, env=wine_env())
    result = json.loads(proc.stdout.decode().strip().splitlines()[-1])
    python = []
    for _ in range(rounds):
        start = time.monotonic()
        subprocess.run(["python3", "-c", CRC_REFERENCE, folder], check=True)
        python.append(time.monotonic() - start)
    program = med(result["seconds"])
    print("Check after the extraction, %.0f MiB installed in %d files (page cache; median of %d, load %s): program "
          "%.3f s (%.2f GB/s; %s)%s, python3 -c zlib.crc32 %.3f s (%s); goal <= 0.3 s" % (
              result["bytes"] / MiB, result["files"], rounds, load(), program, result["bytes"] / program / 1e9,
              ", ".join("%.3f" % v for v in result["seconds"]), "" if proc.returncode == 0 else " NOT WHOLE",
              med(python), ", ".join("%.3f" % v for v in python)))


def prefix_processes():
    """Pids of the processes that run in the benchmark's prefix (Wine's own carry WINEPREFIX)."""
    marker = ("WINEPREFIX=" + t.PREFIX).encode() + b"\0"
    pids = []
    for pid in os.listdir("/proc"):
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if marker in f.read():
                    pids.append(int(pid))
        except (OSError, ValueError):
            pass
    return pids


def stop_prefix():
    """Ends the prefix's persistent wineserver and with it Wine's services (winedevice and the rest), and
    says what is left running after a short wait (nothing, normally)."""
    env = dict(os.environ, WINEPREFIX=t.PREFIX)
    subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, stderr=subprocess.DEVNULL)
    for _ in range(50):
        left = prefix_processes()
        if not left:
            break
        time.sleep(0.1)
    print("left running in the prefix: %s" % (", ".join(map(str, left)) if left else "nothing"))


def main():
    if sys.argv[1:2] == ["upgrade"]:
        import bench_upgrade
        return bench_upgrade.main(sys.argv[2:])
    only_check = sys.argv[1:2] == ["check"]
    arguments = sys.argv[2:] if only_check else sys.argv[1:]
    rounds = int(arguments[0]) if arguments else 3
    began = time.monotonic()
    work = t.fresh_dir("benchmark")
    if only_check:
        try:
            payload_check(work, rounds)
        finally:
            stop_prefix()
            shutil.rmtree(work, ignore_errors=True)
        return
    www = os.path.join(work, "www")
    os.makedirs(www)
    big = make_package(os.path.join(www, "big.zip"), 256)
    small = make_package(os.path.join(www, "small.zip"), 64)
    try:
        with Nginx(www, t.BUILD, name="benchmark", tls11=False) as server:
            manifests = {b: publish(server, work, os.path.join(www, "big.zip"), b, "big.zip")
                         for b in ("ranges", "norange")}
            manifests.update({b: publish(server, work, os.path.join(www, "small.zip"), b, "small.zip")
                              for b in ("capped", "capped-norange")})
            start_prefix()
            idle = idle_wine_private_kib()
            per_thread = (idle_wine_private_kib(8) - idle) / 8
            print("Machine: %s, %d cores; load before: %s; idle Wine process: %.1f MiB private; Wine's own cost "
                  "of an idle thread: %.2f MiB" % (os.uname().nodename, os.cpu_count(), load(), idle / 1024,
                                                   per_thread / 1024))
            print("Packages: %.1f MiB and %.1f MiB over loopback TLS 1.2 from nginx" % (big / MiB, small / MiB))
            starts = [bare_start() for _ in range(rounds)]
            print("Bare start of the program under Wine (--test alone, exit code 2): median %.3f s (%s)" % (
                med(starts), ", ".join("%.3f" % v for v in starts)))
            probes = probe_costs(work, server.url("small.zip", "capped"), 5)
            if len(probes) == 5:
                print("Probes in one process through the program's request layer: the first %.3f s (the process's "
                      "first HTTPS connection: Wine's TLS set-up), the next four %s s" % (
                          probes[0], ", ".join("%.3f" % p for p in probes[1:])))
            loopback = measure(server, work, manifests, ("ranges", "norange"), "big.zip", rounds)
            alone = [check_alone(work, manifests["ranges"]) for _ in range(rounds)]
            capped = measure(server, work, manifests, ("capped", "capped-norange"), "small.zip", rounds)

            # Resume: cancel half-way, then a second run fetches the rest.
            half = program_run(work, manifests["ranges"], cancel_after=big // 2)
            on_disk = sum(os.path.getsize(os.path.join(half["cache"], n)) for n in os.listdir(half["cache"])
                          if ".part" in n)
            mark = server.mark()
            resumed = program_run(work, manifests["ranges"], fresh_cache=False)
            sent = sum(e["bytes"] for e in server.entries_since(mark) if e["range"] != "bytes=0-0")
        table_loopback(loopback, 256, idle, alone)
        table_capped(capped, 64, idle)
        print("\nresumed run: %d bytes were missing, the server sent %d bytes for the ranges (%s)%s" % (
            big - on_disk, sent, "no byte fetched twice" if sent == big - on_disk else "MISMATCH",
            "" if resumed["ok"] else "; the resumed run did NOT verify"))
        seg = med([r["peak"] for r in loopback["program, 8 ranges"]])
        single = med([r["peak"] for r in loopback["program, 1 stream"]])
        print("peak private memory above idle Wine: 8 ranges %.1f MiB, 1 stream %.1f MiB (target <= 16 MiB); "
              "without Wine's own cost of the threads (8 segments and the parts' hashing thread; 1 hashing "
              "thread): %.1f MiB, %.1f MiB" % (
                  (seg - idle) / 1024, (single - idle) / 1024, (seg - idle - 9 * per_thread) / 1024,
                  (single - idle - per_thread) / 1024))
        payload_check(work, rounds)
        print("benchmark took %.0f s" % (time.monotonic() - began))
    finally:
        stop_prefix()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    main()
