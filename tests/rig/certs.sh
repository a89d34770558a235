#!/usr/bin/env bash
# Makes the tests' own CA and a server certificate for DNS:localhost (and the vendor host used by the
# window tests) once. The CA is trusted in the tests' Wine prefix only, never system-wide.
set -euo pipefail
out="$1"; host="${TOV_DOWNLOAD_HOST:-dl.tovkinemo.com}"
[ -f "$out/server.pem" ] && [ -f "$out/ca.der" ] && exit 0
mkdir -p "$out"; cd "$out"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 -subj "/CN=TOV Kinemo Test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "/CN=localhost" 2>/dev/null
printf 'subjectAltName=DNS:localhost,DNS:%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$host" > ext.cnf
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.crt -days 3650 \
    -extfile ext.cnf 2>/dev/null
cat server.crt ca.pem > server.pem
openssl x509 -in ca.pem -outform DER -out ca.der
# A second, untrusted CA for the refusal tests.
openssl req -x509 -newkey rsa:2048 -nodes -keyout rogue-ca.key -out rogue-ca.pem -days 3650 -subj "/CN=Rogue CA" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout rogue.key -out rogue.csr -subj "/CN=localhost" 2>/dev/null
openssl x509 -req -in rogue.csr -CA rogue-ca.pem -CAkey rogue-ca.key -CAcreateserial -out rogue.crt -days 3650 \
    -extfile ext.cnf 2>/dev/null
cat rogue.crt rogue-ca.pem > rogue.pem
