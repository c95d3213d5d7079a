#!/usr/bin/env bash
# Makes a throw-away certificate authority and the certificates the test peers serve, in OUTDIR:
#   ca.pem                     the test CA (point SSL_CERT_FILE here)
#   server.pem, server.key     valid for 127.0.0.1, ::1, localhost and the providers' real host
#                              names, signed by the test CA
#   untrusted.pem, untrusted.key
#                              the same names, signed by a second CA that nobody trusts
#   wronghost.pem, wronghost.key
#                              signed by the test CA, valid only for wrong.example: a trusted
#                              certificate for the wrong host
# EC P-256 keys keep it fast enough to run once per test process.
set -euo pipefail

out=${1:?usage: make-test-ca.sh OUTDIR}
mkdir -p "$out"
cd "$out"

names="IP:127.0.0.1,IP:::1,DNS:localhost,DNS:generativelanguage.googleapis.com,DNS:api.openai.com"
days=2

make_ca() {  # name subject
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$1.key" -out "$1.pem" \
        -days "$days" -subj "/CN=$2" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

make_server() {  # name ca [subjectAltName]
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$1.key" -out "$1.csr" \
        -subj "/CN=localhost" 2>/dev/null
    printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n' \
        "${3:-$names}" > "$1.ext"
    openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -out "$1.pem" \
        -days "$days" -extfile "$1.ext" 2>/dev/null
    rm -f "$1.csr" "$1.ext"
}

make_ca ca "Ombrix test CA"
make_server server ca
make_ca rogue "Ombrix untrusted CA"
make_server untrusted rogue
make_server wronghost ca "DNS:wrong.example"
rm -f rogue.key ./*.srl
