"""Upgrade benchmark (`tools/benchmark.py upgrade [ROUNDS]`; prints figures, not a test).

An old (2.0.0) and a new (2.1.0) package of about 48 MB, both made by `tovpublish pack` from folders of
reproducible content: forty MiB of media that deflate cannot shrink (sixteen 2.5 MiB clips, kept as the
deflater's stored blocks), thirty-two deflated modules and a 4 MiB deflated program. The new folder changes
the program, three modules and one clip throughout (as a rebuild or a re-encode does) and adds a module.
One nginx on loopback sends each connection at 4 MiB/s (`limit_rate 4m`): HTTPS for the program, plain HTTP
for zsync, which cannot speak TLS.

Contenders, in turns, each the median of ROUNDS runs with every run shown:
  - the program with a manifest without the reuse member (the old package in its cache all the same);
  - the program with `"reuse": true` (written by `tovpublish manifest --reuse`) and the old package cached;
  - `zsync -i old.zip` (Debian's zsync, its control file made once by zsyncmake and fetched each run) and
    `sha256sum` of its result.
Bytes and requests come from nginx's access log; the program's result in its cache is compared with the new
package byte for byte. An idle Wine process is held during the table (Wine's server would otherwise stop
between runs and the next run pay its start) and is the base of the program's peak private memory. The goals
are computed from this one run's figures and printed with PASS or FAIL.

TOV_BENCH_EXE and TOV_BENCH_PUBLISHER choose other builds of the program and the publisher."""
import hashlib
import json
import os
import random
import shutil
import statistics
import subprocess
import time
import zipfile

import benchmark as b
from nginx import Nginx, free_port

t = b.t
MB = 1e6
OLD, NEW = "2.0.0", "2.1.0"
CLIPS, CLIP = 16, 5 * b.MiB // 2
MODULES, MODULE = 32, 176 * 1024
PROGRAM = 4 * b.MiB
CHANGED_MODULES, CHANGED_CLIP = (3, 14, 27), 9
REUSE_LINE = "复用"
THREADS = 9  # the program's threads while it fetches: eight connections and the hashing of what is written
RUN_LIMIT = 120  # seconds; a run still going then is ended and shown as not verified


def content(seed, size, compressible):
    """Reproducible bytes: random (incompressible media) or random over 32 values (about 64 % after deflate,
    like code)."""
    data = random.Random(seed).randbytes(size)
    return data.translate(bytes(0x40 + (i & 0x1F) for i in range(256))) if compressible else data


def payload_files(version):
    """The application folder of a version: archive-relative path -> bytes."""
    new = version == NEW
    files = {"TOVKinemo.exe": content("program-" + (NEW if new else OLD), PROGRAM, True),
             "tovkinemo.root": b"", "Assets/AppIcon.ico": b"\0\0\1\0"}
    for i in range(CLIPS):
        files["Media/clip%02d.bin" % i] = content("clip%d%s" % (i, "-new" if new and i == CHANGED_CLIP else ""),
                                                  CLIP, False)
    for i in range(MODULES + (1 if new else 0)):
        files["Modules/kmod%02d.dll" % i] = content(
            "module%d%s" % (i, "-new" if new and i in CHANGED_MODULES else ""), MODULE, True)
    return files


def pack(work, version, out):
    folder = os.path.join(work, "app-" + version)
    for name, data in payload_files(version).items():
        t.write_file(os.path.join(folder, name), data)
    subprocess.run([b.PUBLISHER, "pack", "--from", folder, "--out", out], check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(folder)
    return out


def entry_spans(path):
    """(name, method, crc, compressed, uncompressed) -> (start, end) of each entry's local header, data and
    descriptor, and the offset where the central directory starts."""
    with zipfile.ZipFile(path) as zf:
        infos = sorted(zf.infolist(), key=lambda i: i.header_offset)
        directory = zf.start_dir
    ends = [i.header_offset for i in infos[1:]] + [directory]
    return {(i.filename, i.compress_type, i.CRC, i.compress_size, i.file_size): (i.header_offset, end)
            for i, end in zip(infos, ends)}, directory


def upgrade_bound(old, new):
    """What an upgrade from old to new must fetch at least: the new package's entries that no old entry
    equals (name, method, CRC-32, sizes), each with its local header, and the tail from the central
    directory on. Returns (changed entries, their bytes, tail bytes)."""
    old_spans, _ = entry_spans(old)
    new_spans, directory = entry_spans(new)
    changed = [span for key, span in new_spans.items() if key not in old_spans]
    return len(changed), sum(end - start for start, end in changed), os.path.getsize(new) - directory


def predicted(old, new):
    """What `tovpublish diff --json` says the upgrade fetches: (bytes, requests) with the range probe, or None
    when this publisher has no diff."""
    out = subprocess.run([b.PUBLISHER, "diff", old, new, "--json"], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
    if out.returncode != 0:
        return None
    plan = json.loads(out.stdout)
    return plan["downloadBytes"] + 1, sum(plan["requests"][k] for k in ("probe", "tail", "fetch"))


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


class PlainNginx(Nginx):
    """The tests' nginx with one more server: plain HTTP on `plain_port`, each connection at 4 MiB/s."""

    def __init__(self, root, plain_port):
        super().__init__(root, t.BUILD, name="benchmark-upgrade", tls11=False)
        self.plain_port = plain_port

    def _config(self, blocks):
        plain = ("    server { listen 127.0.0.1:%d; set $tov_block plain-capped;\n"
                 "        location / { root %s; limit_rate 4m; } }\n" % (self.plain_port, self.root))
        return super()._config(blocks)[:-2] + plain + "}\n"


def manifest(server, work, package, reuse):
    """A signed manifest of the new package on the capped HTTPS server, with or without the reuse member."""
    return b.publish(server, work, package, "capped", "new.zip", NEW, ["--reuse"] if reuse else [],
                     "manifest-" + ("reuse" if reuse else "plain"))


def program(work, manifest_path, old, expected):
    """The program with the old package in its cache; ok only when the cache then holds exactly the base
    and a package equal to the new one."""
    cache = os.path.join(work, "cache")
    shutil.rmtree(cache, ignore_errors=True)
    os.makedirs(cache)
    base = "package-%s-win10.zip" % OLD
    shutil.copyfile(old, os.path.join(cache, base))
    run = b.program_run(work, manifest_path, fresh_cache=False, limit=RUN_LIMIT)
    result = os.path.join(cache, "package-%s-win10.zip" % NEW)
    run["left"] = sorted(set(os.listdir(cache)) - {base, os.path.basename(result)})
    run["same"] = os.path.exists(result) and sha256(result) == expected
    run["ok"] = run["ok"] and run["same"] and not run["left"]
    run["reuse_lines"] = [line for line in run["lines"] if REUSE_LINE in line]
    return run


def zsync(work, url, old, expected):
    folder = os.path.join(work, "zsync")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    out = os.path.join(folder, "new.zip")
    b.settle()
    start = time.monotonic()
    subprocess.run(["zsync", "-q", "-i", old, "-o", out, url], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   cwd=folder)
    digest = subprocess.run(["sha256sum", out], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.split()
    return {"wall": time.monotonic() - start, "load": b.load(), "ok": digest[:1] == [expected.encode()]}


def measure(contenders, server, rounds):
    results = {name: [] for name, _ in contenders}
    for _ in range(rounds):
        for name, run in contenders:
            mark = server.mark()
            result = run()
            entries = [e for e in server.entries_since(mark) if e["uri"].startswith("/new.zip")]
            result["bytes"] = sum(e["bytes"] for e in entries)
            result["requests"] = len(entries)
            result["statuses"] = sorted(set(e["status"] for e in entries))
            result["entries"] = entries
            results[name].append(result)
    return results


def fetch_span(entries):
    """Seconds from the start of the first fetch (the requests after the probe and the tail) to the end of the
    last, by nginx's clock; None without fetches."""
    fetches = sorted(entries, key=lambda e: e["msec"] - e["seconds"])[2:]
    if not fetches:
        return None
    return max(e["msec"] for e in fetches) - min(e["msec"] - e["seconds"] for e in fetches)


def verdict(ok):
    return "PASS" if ok else "FAIL"


def report(results, idle, own_base, bound, size, plan, names):
    plain, reuse, zs = names
    print("| contender | MB fetched | requests | wall s | peak private above idle Wine (less Wine's threads) | "
          "runs (s, MB) |")
    print("|---|---|---|---|---|---|")
    medians = {}
    for name, runs in results.items():
        medians[name] = {k: statistics.median(r[k] for r in runs) for k in ("wall", "bytes", "requests")}
        peak = max(r["peak"] for r in runs) if "peak" in runs[0] else None
        print("| %s | %.2f | %d | %.2f | %s | %s |" % (
            name, medians[name]["bytes"] / MB, medians[name]["requests"], medians[name]["wall"],
            "–" if peak is None else "%.1f MiB (own %.1f)" % ((peak - idle) / 1024, (peak - own_base) / 1024),
            ", ".join("%.2f s %.2f MB (load %s)%s" % (r["wall"], r["bytes"] / MB, r["load"],
                                                      "" if r["ok"] else " NOT VERIFIED") for r in runs)))
    for name in (plain, reuse):
        for r in results[name]:
            if not r["ok"]:
                print("    %s, not verified: statuses %s, same bytes %s, left in the cache %s, last line %r" % (
                    name, r["statuses"], r["same"], r["left"] or "nothing", r["lines"][-1] if r["lines"] else ""))
    lines = sorted(set(line for r in results[reuse] for line in r["reuse_lines"]))
    print("reuse line: %s" % (" / ".join(lines) if lines else "none seen"))
    first = results[reuse][0]
    print("the first reuse run's log, seconds after its start: %s" % " | ".join(
        "%.2f %s" % (first["seen"][line], line) for line in first["lines"]))
    print("its requests (start + duration, s after the run's start; status; range; bytes): %s" % ", ".join(
        "%.2f+%.2f %d %s %d" % (e["msec"] - e["seconds"] - first["epoch"], e["seconds"], e["status"], e["range"],
                                e["bytes"]) for e in sorted(first["entries"], key=lambda e: e["msec"] - e["seconds"])))
    spans = [fetch_span(r["entries"]) for r in results[reuse]]
    spans = [v for v in spans if v is not None]
    if spans:
        print("reuse runs, from the start of the first range after the tail to the end of the last at the server: "
              "median %.2f s (%s); eight connections at 4 MiB/s carry the changed entries in %.2f s" % (
                  statistics.median(spans), ", ".join("%.2f" % v for v in spans), bound[1] / 8 / (4 * b.MiB)))
    if any(r["reuse_lines"] for r in results[plain]):
        print("without the member a reuse line appeared: FAIL (the member is opt-in)")

    count, changed, tail = bound
    limit = (changed + tail) * 1.02
    got, z = medians[reuse]["bytes"], medians[zs]["bytes"]
    time_reuse, time_z, time_plain = medians[reuse]["wall"], medians[zs]["wall"], medians[plain]["wall"]
    peak = max(r["peak"] for r in results[reuse])
    verified = all(r["ok"] for runs in results.values() for r in runs)
    print("\nGoals (figures of this run):")
    print("  reuse fetches %.3f MB <= %d changed entries with their local headers %.3f MB + central directory "
          "and end records %.3f MB + 2 %% = %.3f MB: %s" % (got / MB, count, changed / MB, tail / MB, limit / MB,
                                                          verdict(got <= limit)))
    print("  reuse fetches %.3f MB <= zsync's %.3f MB (its control file counted): %s" % (
        got / MB, z / MB, verdict(got <= z)))
    print("  reuse median %.2f s <= zsync's %.2f s: %s" % (time_reuse, time_z, verdict(time_reuse <= time_z)))
    print("  reuse median %.2f s <= 0.4 x %.2f s without the member = %.2f s (%.2fx): %s" % (
        time_reuse, time_plain, 0.4 * time_plain, time_reuse / time_plain, verdict(time_reuse <= 0.4 * time_plain)))
    print("  reuse peak private of its own %.2f MiB (the largest of the runs' %s; %.1f MiB above idle Wine, less "
          "Wine's cost of %d threads) <= 16 MiB: %s" % (
              (peak - own_base) / 1024, ", ".join("%.2f" % ((r["peak"] - own_base) / 1024) for r in results[reuse]),
              (peak - idle) / 1024, THREADS, verdict(peak - own_base <= 16 * 1024)))
    if plan:
        fetched = sorted(set((r["bytes"], r["requests"]) for r in results[reuse]))
        print("  `tovpublish diff` foresees %d bytes in %d requests (the probe's byte and request counted); the reuse "
              "runs fetched %s: %s" % (plan + (", ".join("%d bytes in %d requests" % f for f in fetched),
                                               verdict(fetched == [plan]))))
    else:
        print("  `tovpublish diff`: not in this publisher")
    today = all(r["requests"] == 9 and r["bytes"] == size + 1 for r in results[plain])
    print("  without the member, today's download in every run (the probe's byte and eight ranges of the whole "
          "package, the cached 2.0.0 unused): %s" % verdict(today))
    print("  every run verified (program: its cache holds the base and the new package, nothing else): %s" %
          verdict(verified))


def main(arguments):
    rounds = int(arguments[0]) if arguments else 5
    began = time.monotonic()
    work = t.fresh_dir("benchmark-upgrade")
    www = os.path.join(work, "www")
    os.makedirs(www)
    old = pack(work, OLD, os.path.join(work, "old.zip"))
    new = pack(work, NEW, os.path.join(www, "new.zip"))
    expected = sha256(new)
    subprocess.run(["zsyncmake", "-u", "new.zip", "-o", new + ".zsync", new], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    bound = upgrade_bound(old, new)
    plan = predicted(old, new)
    port = free_port()
    idle_proc = None
    try:
        with PlainNginx(www, port) as server:
            manifests = {reuse: manifest(server, work, new, reuse) for reuse in (False, True)}
            b.start_prefix()
            idle_proc = b.wine([os.path.join(t.TEST_BIN, "idlethreads.exe"), "0"])
            idle = b.settled_private_kib(idle_proc)
            per_thread = (b.idle_wine_private_kib(8) - idle) / 8
            names = ("program, no reuse member", "program, reuse (2.0.0 cached)", "zsync -i old + sha256sum")
            contenders = [
                (names[0], lambda: program(work, manifests[False], old, expected)),
                (names[1], lambda: program(work, manifests[True], old, expected)),
                (names[2], lambda: zsync(work, "http://127.0.0.1:%d/new.zip.zsync" % port, old, expected)),
            ]
            print("Machine: %s, %d cores; load before: %s; idle Wine process held: %.1f MiB private; Wine's own "
                  "cost of an idle thread: %.2f MiB" % (os.uname().nodename, os.cpu_count(), b.load(), idle / 1024,
                                                       per_thread / 1024))
            print("Upgrade %s -> %s: %.2f MB -> %.2f MB, control file %.3f MB; nginx `limit_rate 4m` per "
                  "connection; median of %d, in turns" % (OLD, NEW, os.path.getsize(old) / MB,
                                                          os.path.getsize(new) / MB,
                                                          os.path.getsize(new + ".zsync") / MB, rounds))
            results = measure(contenders, server, rounds)
        report(results, idle, idle + THREADS * per_thread, bound, os.path.getsize(new), plan, names)
        print("upgrade benchmark took %.0f s" % (time.monotonic() - began))
    finally:
        if idle_proc:
            b.end_process(idle_proc)
        b.stop_prefix()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    import sys
    main(sys.argv[1:])
