#!/usr/bin/env python3
"""The program's manifest reader (under Wine) and the publisher's verify (natively) agree on a fixed
sample of mutated manifests: a channel is accepted by both with the same entry, or refused by both,
or refused only by verify with a message that says the installer itself would accept it.

Usage: manifest_agreement.py WINE_RUN CASES_EXE TOVPUBLISH PRIVATE_KEY PUBLIC_KEY WORK_DIR
TOV_FUZZ_SCALE=n multiplies the number of cases."""
import json
import os
import shutil
import subprocess
import sys

CASES = 600
CHANNELS = ("win7", "win10")
INSTALLER_ACCEPTS = "(the installer itself would accept it)"


def as_json_text(raw):
    """The text tovpublish's JSON gives for these bytes: valid UTF-8 as is, any other byte as the code
    point of its value."""
    out, i = [], 0
    while i < len(raw):
        b = raw[i]
        length = 1 if b < 0xC0 else 2 if b < 0xE0 else 3 if b < 0xF0 else 4
        if length > 1:
            try:
                out.append(raw[i:i + length].decode("utf-8"))
                i += length
                continue
            except UnicodeDecodeError:
                pass
        out.append(chr(b))
        i += 1
    return "".join(out)


def program_verdicts(wine_run, cases_exe, work, count):
    run = subprocess.run([wine_run, cases_exe, work, str(count)], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=600, check=False)
    if run.returncode != 0:
        sys.exit(f"{cases_exe} failed with exit code {run.returncode}")
    verdicts = {}
    for line in run.stdout.decode("ascii").splitlines():
        parts = line.split()
        entry = None
        if parts[2] == "1":
            version, url, sha = (bytes.fromhex(p[1:]) for p in parts[3:6])
            entry = {"version": as_json_text(version), "url": as_json_text(url), "sha256": as_json_text(sha),
                     "sizeBytes": int(parts[6])}
        verdicts[(int(parts[0]), parts[1])] = entry
    return verdicts


def verify_case(tool, private_key, public_key, manifest):
    subprocess.run(f"openssl dgst -sha256 -sign '{private_key}' '{manifest}' | base64 -w0 > '{manifest}.sig'",
                   shell=True, check=True)
    run = subprocess.run([tool, "verify", "--public", public_key, "--manifest", manifest, "--signature",
                          manifest + ".sig", "--channel", "win7", "--channel", "win10", "--json"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=60, check=False)
    return run.returncode, json.loads(run.stdout)


def disagreements(index, program, rc, result):
    problems = []
    if result["signature"] != "verified":
        return [f"case {index}: signature not verified: {result['refusals']}"]
    if (rc == 0) != (result["verdict"] == "accepted"):
        problems.append(f"case {index}: exit code {rc} with verdict {result['verdict']}")
    channels = {c["channel"]: c for c in result["channels"]}
    for channel in CHANNELS:
        entry, tool = program[(index, channel)], channels.get(channel)
        where = f"case {index} {channel}"
        if tool is None:
            problems.append(f"{where}: verify did not read the channel")
            continue
        if (entry is not None) != (tool["installer"] == "accepts"):
            problems.append(f"{where}: the program {'accepts' if entry else 'refuses'}, verify says the installer "
                            f"{tool['installer']}")
            continue
        if entry is not None:
            seen = {k: tool[k] for k in entry}
            if seen != entry:
                problems.append(f"{where}: entry {seen!r}, the program read {entry!r}")
            if not tool["ok"]:
                stricter = [r for r in result["refusals"] if r.startswith(channel + ":")]
                if not stricter or any(INSTALLER_ACCEPTS not in r for r in stricter):
                    problems.append(f"{where}: refused without saying the installer would accept it: {stricter}")
        if result["verdict"] == "accepted" and not tool["ok"]:
            problems.append(f"{where}: accepted overall with a refused channel")
    return problems


def main():
    wine_run, cases_exe, tool, private_key, public_key, work = sys.argv[1:7]
    count = CASES * max(1, int(os.environ.get("TOV_FUZZ_SCALE", "1")))
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    program = program_verdicts(wine_run, cases_exe, work, count)
    tally, problems = {}, []
    for index in range(count):
        rc, result = verify_case(tool, private_key, public_key, os.path.join(work, f"case-{index:04d}.json"))
        problems += disagreements(index, program, rc, result)
        ok = {c["channel"]: c["ok"] for c in result["channels"]}
        for channel in CHANNELS:
            key = ("program accepts" if program[(index, channel)] else "program refuses") + \
                (", verify accepts" if ok.get(channel) else ", verify refuses")
            tally[key] = tally.get(key, 0) + 1
    print(f"{count} mutated manifests x {len(CHANNELS)} channels: {tally}")
    for p in problems[:20]:
        print("DISAGREE", p)
    if problems:
        print(f"{len(problems)} disagreement(s); the cases are in {work}")
        return 1
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
