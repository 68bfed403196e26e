#!/usr/bin/env bash
# Generates the reference service's test certificates into one folder of the
# build tree. Nothing here is ever installed into the machine's trust store;
# the CA is trusted only inside the build's Wine prefix (vyn-trust-ca.exe).
#   ca.pem / ca.der          test CA
#   localhost.pem/.key       server certificate for DNS:localhost, issued by the CA
#   wrong-name.pem/.key      server certificate for another host name, same CA
#   untrusted.pem/.key       certificate for DNS:localhost from an untrusted CA
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
days=3650

issue() {  # name, subject CN, SAN, issuer cert, issuer key
  local name=$1 cn=$2 san=$3 ca=$4 cakey=$5
  openssl req -new -newkey rsa:2048 -nodes -keyout "$name.key" -subj "/O=VynGina test/CN=$cn" \
    -out "$tmp/$name.csr" 2>/dev/null
  printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\nsubjectAltName=%s\n' \
    "$san" > "$tmp/$name.ext"
  openssl x509 -req -in "$tmp/$name.csr" -CA "$ca" -CAkey "$cakey" -CAcreateserial -CAserial "$tmp/$name.srl" \
    -days $days -sha256 -extfile "$tmp/$name.ext" -out "$name.pem" 2>/dev/null
}

make_ca() {  # name, CN
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days $days -sha256 \
    -subj "/O=VynGina test/CN=$2" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

make_ca ca "VynGina Test CA"
openssl x509 -in ca.pem -outform DER -out ca.der
issue localhost localhost DNS:localhost ca.pem ca.key
issue wrong-name wrong-name.vyngina.test DNS:wrong-name.vyngina.test ca.pem ca.key
make_ca untrusted-ca "VynGina Untrusted Test CA"
issue untrusted localhost DNS:localhost untrusted-ca.pem untrusted-ca.key
chmod 600 ./*.key
