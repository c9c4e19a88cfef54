#!/usr/bin/env bash
# Makes the test-only TLS files of the test server (run once; the results are
# committed). Nothing here is a secret: the keys exist only for local tests.
#
#   ca.pem / ca.key                   test certificate authority
#   server.pem / server.key           server certificate signed by the test CA,
#                                     subjectAltName IP:127.0.0.1, DNS:localhost
#   foreign-ca.pem / foreign-ca.key   a second, unrelated authority
#   foreign-server.pem / .key         the same names, signed by the foreign CA:
#                                     a client trusting only ca.pem must refuse it
set -euo pipefail
cd "$(dirname "$0")"
days=18250 # about 50 years

make_ca() { # name subject
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days "$days" \
    -keyout "$1.key" -out "$1.pem" -subj "$2" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
}

make_server() { # name ca subject
  openssl req -newkey rsa:2048 -nodes -sha256 -keyout "$1.key" -out "$1.csr" -subj "$3"
  printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature,keyEncipherment" \
    "extendedKeyUsage=serverAuth" "subjectAltName=IP:127.0.0.1,DNS:localhost" > "$1.ext"
  openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -sha256 -days "$days" \
    -extfile "$1.ext" -out "$1.pem"
  rm -f "$1.csr" "$1.ext" "$2.srl"
}

make_ca ca "/O=Vaultpine Test/CN=Vaultpine Test CA"
make_server server ca "/O=Vaultpine Test/CN=localhost"
make_ca foreign-ca "/O=Foreign Test/CN=Foreign Test CA"
make_server foreign-server foreign-ca "/O=Foreign Test/CN=localhost"
