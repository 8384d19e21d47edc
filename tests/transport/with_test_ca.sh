#!/bin/sh
# Runs a command with a throwaway certificate authority trusted through SSL_CERT_FILE:
#   $TEST_CERTS/server.pem, server.key   signed by that CA, for 127.0.0.1 and localhost
#   $TEST_CERTS/rogue.pem, rogue.key     the same names, signed by a CA nobody trusts
# HOME and the XDG folders point into the throwaway folder, so no real settings are touched.
set -eu
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
certs="$dir/certs"
mkdir -p "$certs" "$dir/home" "$dir/run"
chmod 700 "$dir/run"
make_ca() {  # name
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -subj "/CN=Vigilorb test $1" -keyout "$certs/$1-ca.key" -out "$certs/$1-ca.pem" 2>/dev/null
}
make_leaf() {  # name ca
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=127.0.0.1" \
    -keyout "$certs/$1.key" -out "$certs/$1.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
    > "$certs/$1.ext"
  openssl x509 -req -in "$certs/$1.csr" -CA "$certs/$2-ca.pem" -CAkey "$certs/$2-ca.key" -CAcreateserial \
    -days 2 -extfile "$certs/$1.ext" -out "$certs/$1.pem" 2>/dev/null
}
make_ca trusted
make_ca rogue
make_leaf server trusted
make_leaf rogue rogue
export SSL_CERT_FILE="$certs/trusted-ca.pem" TEST_CERTS="$certs"
export HOME="$dir/home" XDG_DATA_HOME="$dir/home/data" XDG_CONFIG_HOME="$dir/home/config" XDG_RUNTIME_DIR="$dir/run"
"$@"
