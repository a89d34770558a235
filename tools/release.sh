#!/usr/bin/env bash
# The release build: configures OUT_DIR as a Release build of the exe alone (no tests, no publisher),
# builds it, signs it with Authenticode when a certificate and key are given, and prints the size and
# SHA-256 of what it made. The unsigned exe is reproducible: the same sources give the same bytes in
# any directory, so anyone can rebuild it and compare (osslsigncode remove-signature gives it back
# from the signed one).
#
# Usage: tools/release.sh [--cert CERT.pem --key KEY.pem|pkcs11:URI [--pkcs11-module PATH] [--pin-env NAME]] [--public-key VENDOR.pem] [--allow-dev-key] OUT_DIR
#   --cert, --key     code-signing certificate (PEM, leaf first, may carry the chain) and its
#                     unencrypted private key, or the RFC 7512 URI of the key in a PKCS#11 token
#                     (signed inside the token through osslsigncode's PKCS#11 engine); signs
#                     without a timestamp server
#   --pkcs11-module   the token's module (else TOV_PKCS11_MODULE, else p11-kit's proxy module)
#   --pin-env         the environment variable holding the token's PIN (else the URI's
#                     pin-source=file:PATH or pin-value=, else it is asked for once on a terminal)
#   --public-key      the vendor's manifest public key to embed (without it the development key is
#                     used, which a Release build refuses unless --allow-dev-key is given)
#   --allow-dev-key   allow the development key, for test releases only
# Results: OUT_DIR/TOVKinemoDownloader.exe (unsigned build output) with its link map
#          OUT_DIR/TOVKinemoDownloader.map, and OUT_DIR/dist/TOVKinemoDownloader.exe (the release: signed
#          when a certificate is given).
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

cert="" key="" pkcs11_module="" pin_env="" public_key="$repo/trust/dev-manifest-public.pem" allow_dev_key=OFF out=""
while [ $# -gt 0 ]; do
    case "$1" in
        --cert) [ $# -ge 2 ] || usage; cert="$(existing_file --cert "$2")"; shift 2 ;;
        --key) [ $# -ge 2 ] || usage
            case "$2" in pkcs11:*) key="$2" ;; *) key="$(existing_file --key "$2")" ;; esac
            shift 2 ;;
        --pkcs11-module) [ $# -ge 2 ] || usage; pkcs11_module="$2"; shift 2 ;;
        --pin-env) [ $# -ge 2 ] || usage; pin_env="$2"; shift 2 ;;
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

if [[ "$key" != pkcs11:* ]] && [ -n "$pkcs11_module$pin_env" ]; then
    echo "release.sh: --pkcs11-module and --pin-env go with a --key pkcs11:URI" >&2
    exit 2
fi

# A key in a PKCS#11 token: osslsigncode gets the URI without its PIN attributes (it shows the URI
# in its messages) and the PIN through a pipe, never on a command line that any process can read.
refuse() {
    echo "release.sh: $1" >&2
    exit 1
}
# The items of one part of the URI (the path's split by ";", the query's by "&") that are not PIN
# attributes go to $kept; the PIN attributes are noted.
without_pin() {
    local part parts
    IFS="$1" read -ra parts <<< "$2"
    kept=""
    for part in ${parts[@]+"${parts[@]}"}; do
        case "$part" in
            pin-value=*) pin_value="${part#*=}"; pin_ways=$((pin_ways + 1)) ;;
            pin-source=* | pinfile=*) pin_source="${part#*=}"; pin_ways=$((pin_ways + 1)) ;;
            ?*) kept+="${kept:+$1}$part" ;;
        esac
    done
}
if [[ "$key" == pkcs11:* ]]; then
    pin_value="" pin_source="" pin_ways=0
    uri_path="${key#pkcs11:}" uri_query=""
    if [[ "$uri_path" == *\?* ]]; then
        uri_query="${uri_path#*\?}"
        uri_path="${uri_path%%\?*}"
    fi
    without_pin ';' "$uri_path"
    token_uri="pkcs11:$kept"
    without_pin '&' "$uri_query"
    token_uri+="${kept:+?$kept}"
    if [ -n "$pin_env" ]; then pin_ways=$((pin_ways + 1)); fi
    [ "$pin_ways" -le 1 ] || refuse "give the PIN one way only: --pin-env, or pin-value or pin-source in the URI"
    if [ -n "$pin_env" ]; then
        [ -n "${!pin_env+set}" ] || refuse "the environment variable $pin_env (--pin-env) is not set"
        token_pin="${!pin_env}"
    elif [ -n "$pin_value" ]; then
        token_pin="$(printf '%b' "${pin_value//%/\\x}")"
    elif [ -n "$pin_source" ]; then
        pin_file="${pin_source#file://}"
        pin_file="${pin_file#file:}"
        [ -r "$pin_file" ] || refuse "cannot read the PIN from $pin_file (pin-source)"
        IFS= read -r token_pin < "$pin_file" || true
        token_pin="${token_pin%$'\r'}"
    elif [ -t 0 ] && [ -t 2 ]; then
        IFS= read -rsp "PIN of the token ($token_uri): " token_pin; echo >&2
    else
        refuse "the token needs a PIN: give --pin-env NAME, or pin-source=file:PATH in the URI"
    fi
    token_module="${pkcs11_module:-${TOV_PKCS11_MODULE:-$(pkg-config --variable=proxy_module p11-kit-1 2>/dev/null || true)}}"
    token_module="${token_module:-p11-kit-proxy.so}"
    token_engine="$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so"
    [ -f "$token_engine" ] || refuse "no PKCS#11 engine at $token_engine (Debian: libengine-pkcs11-openssl)"
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
if [[ "$key" == pkcs11:* ]]; then
    printf '%s\n' "$token_pin" | osslsigncode sign -pkcs11engine "$token_engine" -pkcs11module "$token_module" \
        -certs "$cert" -key "$token_uri" -readpass - -h sha256 -n "TOV Kinemo Downloader" \
        -in "$built" -out "$release.part" >/dev/null ||
        { rm -f "$release.part"; refuse "the token did not sign with $token_uri (module $token_module)"; }
    mv "$release.part" "$release"
elif [ -n "$cert" ]; then
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
# The exe carries no symbols: its link map names the functions of a crash dump's addresses.
echo "link map (keep it with the release): $out/TOVKinemoDownloader.map"
if [ -n "$cert" ]; then
    report "signed" "$release"
else
    echo "release (unsigned): $release"
fi
