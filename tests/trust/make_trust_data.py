#!/usr/bin/env python3
"""Writes the trust tests' data into a directory: a signed manifest with its signature in every
layout the program must accept or refuse, and package files with their SHA-256 digests.

Signatures come from the openssl command line and the test-only private keys.
Usage: make_trust_data.py OUTPUT_DIR KEYS_DIR [OPENSSL]
"""
import base64
import hashlib
import pathlib
import subprocess
import sys

OPENSSL = sys.argv[3] if len(sys.argv) > 3 else "openssl"

MANIFEST = (
    b'{\n'
    b'  "latestVersion": "2.4.1",\n'
    b'  "win7": {"url": "https://dl.example.test/win7/full.zip", "sha256": "'
    + b"a" * 64 + b'", "sizeBytes": 1000},\n'
    b'  "win10": {"url": "https://dl.example.test/win10/full.zip", "sha256": "'
    + b"b" * 64 + b'", "sizeBytes": 2000}\n'
    b'}\n'
)


def sign(key: pathlib.Path, data_path: pathlib.Path, digest: str) -> bytes:
    return subprocess.run(
        [OPENSSL, "dgst", "-" + digest, "-sign", str(key), str(data_path)],
        check=True, capture_output=True).stdout


def wrap(text: str, width: int, newline: str) -> str:
    return newline.join(text[i:i + width] for i in range(0, len(text), width))


def package_bytes(length: int, seed: int) -> bytes:
    out = bytearray(length)
    state = seed
    for i in range(length):
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        out[i] = state >> 24
    return bytes(out)


def main() -> None:
    out = pathlib.Path(sys.argv[1])
    keys = pathlib.Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    dev_key = keys / "TEST-ONLY-dev-manifest-private.pem"
    other_key = keys / "TEST-ONLY-other-private.pem"

    manifest = out / "manifest.json"
    manifest.write_bytes(MANIFEST)
    signature = sign(dev_key, manifest, "sha256")
    text = base64.b64encode(signature).decode()
    layouts = {
        "sig-oneline.txt": text,
        "sig-oneline-lf.txt": text + "\n",
        "sig-multiline-lf.txt": wrap(text, 64, "\n") + "\n",
        "sig-multiline-crlf.txt": wrap(text, 64, "\r\n") + "\r\n",
        "sig-multiline-nofinal.txt": wrap(text, 76, "\n"),
        "sig-pem.txt": "-----BEGIN SIGNATURE-----\n" + wrap(text, 64, "\n") + "\n-----END SIGNATURE-----\n",
        "sig-reversed.txt": base64.b64encode(signature[::-1]).decode() + "\n",
        "sig-truncated.txt": base64.b64encode(signature[:-1]).decode() + "\n",
        "sig-other-key.txt": base64.b64encode(sign(other_key, manifest, "sha256")).decode() + "\n",
        "sig-sha1.txt": base64.b64encode(sign(dev_key, manifest, "sha1")).decode() + "\n",
    }
    for name, content in layouts.items():
        (out / name).write_bytes(content.encode())
    other_public = subprocess.run([OPENSSL, "pkey", "-in", str(other_key), "-pubout"],
                                  check=True, capture_output=True).stdout
    (out / "other-public.pem").write_bytes(other_public)

    # Packages: one shorter than a read, one of exactly one read, one of two reads and a byte.
    for name, length, seed in (("pkg-small.bin", 1000, 1), ("pkg-chunk.bin", 262144, 2),
                               ("pkg-multi.bin", 2 * 262144 + 1, 3)):
        data = package_bytes(length, seed)
        (out / name).write_bytes(data)
        (out / (name + ".sha256")).write_text(hashlib.sha256(data).hexdigest())
    (out / "stamp").write_text("ok\n")


if __name__ == "__main__":
    main()
