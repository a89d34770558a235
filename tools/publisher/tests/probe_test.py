#!/usr/bin/env python3
"""tovpublish probe against nginx on loopback with the test CA: one table of host set-ups, each run
through the tool and judged by its exit code and what it says.

Usage: probe_test.py TOVPUBLISH REPO_ROOT BUILD_DIR
"""
import json
import os
import random
import shutil
import subprocess
import sys
import time

TOOL, REPO, BUILD = (os.path.abspath(a) for a in sys.argv[1:4])
sys.path.insert(0, os.path.join(REPO, "tests", "servers"))
import nginx  # noqa: E402

KEY = os.path.join(REPO, "tests", "keys", "TEST-ONLY-dev-manifest-private.pem")
PUBLIC = os.path.join(REPO, "trust", "dev-manifest-public.pem")
WORK = os.path.join(BUILD, "probe-test")
ROOT = os.path.join(WORK, "www")
# The package URL of "to-http" redirects to http; under /cached/ the signature is kept longer than the
# manifest, which comes with a Content-Encoding (the bytes are not compressed: they verify as served).
LOCATIONS = ("location /to-http/ { return 302 http://localhost:1/win10.zip; } "
             "location /cached/ { root %s; add_header Cache-Control max-age=300; add_header Content-Encoding gzip; "
             "location ~ \\.sig$ { root %s; add_header Cache-Control max-age=86400; } }" % (ROOT, ROOT))
ENV = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}


def tool(*args, check=True):
    result = subprocess.run([TOOL, *args], capture_output=True, text=True, env=ENV, timeout=300)
    if check and result.returncode != 0:
        raise RuntimeError("tovpublish %s: %s" % (args[0], result.stderr))
    return result


def release(server, name, block, served, good, channels=("win10",), version="2.0", package_dir=None, flags=()):
    """www/NAME: update.json for `good` (signed), the package bytes `served` under each channel's name."""
    folder = os.path.join(ROOT, name)
    os.makedirs(folder, exist_ok=True)
    args = ["manifest", "--version", version, "--out", os.path.join(folder, "update.json"), "--force", *flags]
    for ch in channels:
        with open(os.path.join(folder, ch + ".zip"), "wb") as out:
            out.write(served)
        args += ["--channel", ch, "--package", good,
                 "--url", server.url("%s/%s.zip" % (package_dir or name, ch), block)]
    tool(*args)
    tool("sign", "--key", KEY, "--in", os.path.join(folder, "update.json"),
         "--out", os.path.join(folder, "update.json.sig"), "--force")
    return server.url(name + "/update.json", block)


def main():
    if not os.path.exists(nginx.NGINX):
        print("nginx is not installed; skipped")
        return 77
    shutil.rmtree(WORK, ignore_errors=True)
    app = os.path.join(WORK, "app")
    os.makedirs(app)
    with open(os.path.join(app, "TOVKinemo.exe"), "wb") as out:
        out.write(random.Random(22).randbytes(600000))  # does not deflate: the zip stays this large
    open(os.path.join(app, "tovkinemo.root"), "wb").close()
    good = os.path.join(WORK, "good.zip")
    tool("pack", "--from", app, "--out", good)
    data = open(good, "rb").read()
    changed = bytearray(data)
    changed[len(data) // 2] ^= 1
    # The central directory's first signature broken (its offset from the end record, which has no
    # comment): same size, a tail that does not read.
    directory = int.from_bytes(data[-6:-2], "little")
    bad_tail = bytearray(data)
    bad_tail[directory] ^= 1
    ca = os.path.join(nginx.ensure_certs(BUILD), "ca.pem")

    server = nginx.Nginx(ROOT, BUILD, name="probe-test", tls11=False, locations=LOCATIONS)
    os.makedirs(ROOT, exist_ok=True)
    with server:
        urls = {
            "good": release(server, "good", "ranges", data, good, ("win10", "win7")),
            "short": release(server, "short", "ranges", data[:-1], good),
            "changed": release(server, "changed", "ranges", bytes(changed), good),
            "norange": release(server, "norange", "norange", data, good),
            "to-http": release(server, "to-http-release", "ranges", data, good, package_dir="to-http"),
            "cached": release(server, "cached", "ranges", data, good),
            "reuse": release(server, "reuse", "ranges", data, good, flags=["--reuse"]),
            "reuse-norange": release(server, "reuse-norange", "norange", data, good, flags=["--reuse"]),
            "reuse-badtail": release(server, "reuse-badtail", "ranges", bytes(bad_tail), good, flags=["--reuse"]),
            "tls13": server.url("good/update.json", "tls13"),
        }
        # The signature of the release before: the manifest was replaced, its signature was not.
        release(server, "old", "ranges", data, good, version="1.0")
        urls["oldsig"] = release(server, "oldsig", "ranges", data, good)
        shutil.copy(os.path.join(ROOT, "old", "update.json.sig"), os.path.join(ROOT, "oldsig", "update.json.sig"))
        os.makedirs(os.path.join(ROOT, "big"))
        with open(os.path.join(ROOT, "big", "update.json"), "wb") as out:
            out.write(b"{" + b" " * (4 << 20) + b"}")
        shutil.copy(os.path.join(ROOT, "good", "update.json.sig"), os.path.join(ROOT, "big"))
        urls["big"] = server.url("big/update.json")

        # set-up, extra options, expected exit code, texts the output holds
        table = [
            ("good", [], 0, "win7: https|the signature is served with no caching header"),
            ("oldsig", [], 1, "signature refused|likely cause: a cache"),
            ("short", [], 1, "the host serves %d bytes (Content-Range)" % (len(data) - 1)),
            ("changed", [], 1, "the package served has sha256"),
            ("changed", ["--quick"], 0, "sha256 not checked (--quick)"),
            ("norange", [], 0, "users get one stream without resume"),
            ("norange", ["--require-ranges"], 1, "users get one stream without resume"),
            ("to-http", [], 1, "which the installer does not follow"),
            ("tls13", [], 1, "no TLS 1.2 connection"),
            ("good", ["--no-ca"], 1, "the certificate is not trusted"),
            ("big", [], 1, "4 MiB or larger"),
            ("cached", [], 0, "different caching headers|Content-Encoding: gzip"),
            ("good", ["--json"], 0, '"verdict":"accepted"'),
            ("changed", ["--json"], 1, '"verdict":"refused"'),
            ("reuse", ["--json"], 0, '"tail":{"offset":%d,"requests":1}' % directory),
            ("reuse-norange", [], 0, "reuse is on, but the host answers no ranges"),
            ("reuse-badtail", ["--quick"], 1, "its tail does not read as a zip directory"),
        ]
        failures = []
        for name, options, code, text in table:
            args = ["probe", urls[name], "--public", PUBLIC] + [o for o in options if o != "--no-ca"]
            if "--no-ca" not in options:
                args += ["--ca-file", ca]
            mark = server.mark()
            result = tool(*args, check=False)
            said = result.stdout + result.stderr
            problems = []
            if result.returncode != code:
                problems.append("exit %d, expected %d" % (result.returncode, code))
            problems += ["no %r" % t for t in text.split("|") if t not in said]
            if "--json" in options:
                verdict = json.loads(result.stdout)
                if verdict["verdict"] != ("accepted" if code == 0 else "refused") or \
                        verdict["channels"][0]["probe"]["sha256Checked"] is not True:
                    problems.append("JSON does not carry the verdict and the hash check")
            if name == "good" and code == 0:
                # Each package: the probe, then eight ranges as the installer asks for them. nginx logs a
                # request once it has sent the answer, which may be a moment after the tool has read it.
                deadline = time.time() + 10
                while True:
                    seen = server.entries_since(mark)
                    asked = sorted(e["range"] for e in seen if e["uri"] == "/good/win10.zip")
                    if len(asked) >= 9 or time.time() > deadline:
                        break
                    time.sleep(0.05)
                if len(asked) != 9 or asked[0] != "bytes=0-0" or \
                        any(e["agent"] != "TOVKinemoDownloader/1.0" for e in seen):
                    problems.append("requests seen: %s" % asked)
            print("%-8s %-18s exit %d  %s" % (name, " ".join(options), result.returncode,
                                              "ok" if not problems else "; ".join(problems)))
            if problems:
                failures.append(name)
                print(said)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
