#!/usr/bin/env bash
# The release build: configures OUT_DIR as a Release build of the exe alone (no tests, no publisher),
# builds it, signs it with Authenticode when a certificate and key are given, and prints the size and
# SHA-256 of what it made. The unsigned exe is reproducible: the same sources give the same bytes in
# any directory, so anyone can rebuild it and compare (osslsigncode remove-signature gives it back
# from the signed one).
#
# Usage: tools/release.sh [--cert CERT.pem --key KEY.pem] [--public-key VENDOR.pem] [--allow-dev-key] OUT_DIR
#   --cert, --key     code-signing certificate (PEM, leaf first, may carry the chain) and its
#                     unencrypted private key; signs without a timestamp server
#   --public-key      the vendor's manifest public key to embed (without it the development key is
#                     used, which a Release build refuses unless --allow-dev-key is given)
#   --allow-dev-key   allow the development key, for test releases only
# Results: OUT_DIR/TOVKinemoDownloader.exe (unsigned build output) and
#          OUT_DIR/dist/TOVKinemoDownloader.exe (the release: signed when a certificate is given).
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
exe_name=TOVKinemoDownloader.exe

usage() {
    sed -n 's/^# Usage: //p' "${BASH_SOURCE[0]}" >&2
    exit 2
}

# Absolute path of an existing file, or an error naming the option.
existing_file() {
    [ -f "$2" ] || { echo "release.sh: $1 file not found: $2" >&2; exit 2; }
    echo "$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"
}

cert="" key="" public_key="$repo/trust/dev-manifest-public.pem" allow_dev_key=OFF out=""
while [ $# -gt 0 ]; do
    case "$1" in
        --cert) [ $# -ge 2 ] || usage; cert="$(existing_file --cert "$2")"; shift 2 ;;
        --key) [ $# -ge 2 ] || usage; key="$(existing_file --key "$2")"; shift 2 ;;
        --public-key) [ $# -ge 2 ] || usage; public_key="$(existing_file --public-key "$2")"; shift 2 ;;
        --allow-dev-key) allow_dev_key=ON; shift ;;
        -h | --help) usage ;;
        -*) echo "release.sh: unknown option $1" >&2; usage ;;
        *) [ -z "$out" ] || usage; out="$1"; shift ;;
    esac
done
[ -n "$out" ] || usage
if { [ -n "$cert" ] && [ -z "$key" ]; } || { [ -z "$cert" ] && [ -n "$key" ]; }; then
    echo "release.sh: --cert and --key go together" >&2
    exit 2
fi

# Flags from the environment would enter the build on first configure and change the bytes.
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS RCFLAGS
export LC_ALL=C TZ=UTC

mkdir -p "$out"
out="$(cd "$out" && pwd)"
# Every option is given each time, so a reused OUT_DIR keeps nothing from an earlier configuration.
cmake -S "$repo" -B "$out" -DCMAKE_BUILD_TYPE=Release -DTOV_BUILD_TESTS=OFF -DTOV_BUILD_PUBLISHER=OFF \
    -DTOV_MANIFEST_PUBLIC_KEY_FILE="$public_key" -DTOV_ALLOW_DEV_KEY_IN_RELEASE="$allow_dev_key"
cmake --build "$out" --target TOVKinemoDownloader -j"$(nproc)"

mkdir -p "$out/dist"
built="$out/$exe_name"
release="$out/dist/$exe_name"
rm -f "$release" "$release.part"
if [ -n "$cert" ]; then
    osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "TOV Kinemo Downloader" \
        -in "$built" -out "$release.part" >/dev/null
    mv "$release.part" "$release"
else
    cp "$built" "$release"
fi

report() {
    local size
    size=$(stat -c %s "$2")
    printf '%s: %s, %d bytes (%d.%d KiB), SHA-256 %s\n' "$1" "$2" "$size" $((size / 1024)) \
        $((size % 1024 * 10 / 1024)) "$(sha256sum "$2" | cut -d' ' -f1)"
}
report "unsigned" "$built"
if [ -n "$cert" ]; then
    report "signed" "$release"
else
    echo "release (unsigned): $release"
fi
