#!/usr/bin/env bash
# Certificates for the handshake table of the module's own TLS client.
#   make-tls-pki.sh <out> <trusted-ca.pem> <trusted-ca.key>
# The RSA leaves are issued by the reference service's test CA (trusted in the
# build's Wine prefix); the ECDSA chain has a CA of its own, which the test
# trusts itself. Made here:
#   rsa.pem/.key           RSA leaf for DNS:localhost and IP:127.0.0.1
#   ecdsa-ca.pem/.der      ECDSA (P-256) CA
#   ecdsa.pem/.key         ECDSA leaf for DNS:localhost from ecdsa-ca
#   expired.pem/.key       RSA leaf for DNS:localhost, valid 2020-2021 only
#   other-name.pem/.key    RSA leaf for DNS:other-name.vyngina.test
#   untrusted.pem/.key     RSA leaf for DNS:localhost from a CA nobody trusts
#   disallowed.pem/.key/.der  RSA leaf for DNS:localhost, trusted CA (the test
#                          puts it into the machine's Disallowed store)
#   sha1.pem/.key          RSA leaf for DNS:localhost, trusted CA, signed with
#                          SHA-1 (which the module's own client does not accept)
set -euo pipefail
out=$1 ca=$2 cakey=$3
mkdir -p "$out"
cd "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

ext() {  # SAN
  printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\nsubjectAltName=%s\n' "$1" > "$tmp/ext"
}

issue() {  # name, key algorithm options, SAN, issuer cert, issuer key
  local name=$1 keyopts=$2 san=$3 issuer=$4 issuerkey=$5
  # shellcheck disable=SC2086
  openssl req -new -newkey $keyopts -nodes -keyout "$name.key" -subj "/O=VynGina test/CN=$name" \
    -out "$tmp/$name.csr" 2>/dev/null
  ext "$san"
  openssl x509 -req -in "$tmp/$name.csr" -CA "$issuer" -CAkey "$issuerkey" -CAcreateserial \
    -CAserial "$tmp/$name.srl" -days 3650 -sha256 -extfile "$tmp/ext" -out "$name.pem" 2>/dev/null
}

issue rsa rsa:2048 DNS:localhost,IP:127.0.0.1 "$ca" "$cakey"
issue other-name rsa:2048 DNS:other-name.vyngina.test "$ca" "$cakey"
issue disallowed rsa:2048 DNS:localhost "$ca" "$cakey"
openssl x509 -in disallowed.pem -outform DER -out disallowed.der
openssl req -new -newkey rsa:2048 -nodes -keyout sha1.key -subj "/O=VynGina test/CN=sha1" -out "$tmp/sha1.csr" \
  2>/dev/null
ext DNS:localhost
openssl x509 -req -in "$tmp/sha1.csr" -CA "$ca" -CAkey "$cakey" -CAcreateserial -CAserial "$tmp/sha1.srl" \
  -days 3650 -sha1 -extfile "$tmp/ext" -out sha1.pem 2>/dev/null

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ecdsa-ca.key -out ecdsa-ca.pem \
  -days 3650 -sha256 -subj "/O=VynGina test/CN=VynGina Test ECDSA CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl x509 -in ecdsa-ca.pem -outform DER -out ecdsa-ca.der
issue ecdsa "ec -pkeyopt ec_paramgen_curve:P-256" DNS:localhost ecdsa-ca.pem ecdsa-ca.key

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tmp/stranger.key" -out "$tmp/stranger.pem" -days 3650 \
  -subj "/O=VynGina test/CN=VynGina Stranger CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2>/dev/null
issue untrusted rsa:2048 DNS:localhost "$tmp/stranger.pem" "$tmp/stranger.key"

# The expired leaf needs fixed dates, which only "openssl ca" sets on this
# OpenSSL (3.0).
openssl req -new -newkey rsa:2048 -nodes -keyout expired.key -subj "/O=VynGina test/CN=expired" \
  -out "$tmp/expired.csr" 2>/dev/null
: > "$tmp/index.txt"
echo 01 > "$tmp/serial"
cat > "$tmp/ca.cnf" <<CNF
[ca]
default_ca = test
[test]
database = $tmp/index.txt
new_certs_dir = $tmp
serial = $tmp/serial
default_md = sha256
policy = any
[any]
commonName = supplied
CNF
ext DNS:localhost
openssl ca -batch -notext -config "$tmp/ca.cnf" -cert "$ca" -keyfile "$cakey" -in "$tmp/expired.csr" \
  -startdate 20200101000000Z -enddate 20210101000000Z -extfile "$tmp/ext" -out expired.pem 2>/dev/null

printf 'Answer of the TLS test server.\n' > answer.txt
chmod 600 ./*.key
