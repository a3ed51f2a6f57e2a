#!/usr/bin/env bash
# Makes the test server's certificates and keys in DIR (P-256 keys: quick to
# make, and the same TLS paths as any other key):
#   ca.pem, ca.key          a test certificate authority
#   cacert.pem              the same CA under the name the client's host
#                           configuration gives its CA file
#   server.key              the server's key
#   server.pem              localhost and 127.0.0.1, signed by the CA
#   wrong.pem               wrong.invalid, same key, signed by the CA
#   untrusted.pem           localhost, same key, signed by nobody but itself
#   server_pub.der          the server's public key (DER), for pinning
#   other.key, other_pub.der an unrelated key and its public key (DER)
set -euo pipefail
dir="${1:?usage: make_certs.sh DIR}"
mkdir -p "$dir"
cd "$dir"

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

# sign CN SUBJECT_ALT_NAMES OUT: OUT.pem for the server key, signed by the CA.
sign() {
  openssl req -new -key server.key -subj "/CN=$1" -out "$1.csr" 2>/dev/null
  printf 'subjectAltName=%s\nbasicConstraints=critical,CA:FALSE\nextendedKeyUsage=serverAuth\n' "$2" >"$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -set_serial "0x$(openssl rand -hex 8)" \
    -days 3650 -extfile "$1.ext" -out "$3.pem" 2>/dev/null
  rm -f "$1.csr" "$1.ext"
}

key ca.key
openssl req -x509 -new -key ca.key -subj "/CN=Test Certificate Authority" -days 3650 \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -out ca.pem 2>/dev/null
cp ca.pem cacert.pem
key server.key
sign localhost "DNS:localhost,IP:127.0.0.1" server
sign wrong.invalid "DNS:wrong.invalid" wrong
openssl req -x509 -new -key server.key -subj "/CN=localhost" -days 3650 \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -out untrusted.pem 2>/dev/null
openssl pkey -in server.key -pubout -outform DER -out server_pub.der
key other.key
openssl pkey -in other.key -pubout -outform DER -out other_pub.der
