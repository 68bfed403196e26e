#!/usr/bin/env bash
# Generates the reference service's test certificates into one folder of the
# build tree. Nothing here is ever installed into the machine's trust store;
# the CA is trusted only inside the build's Wine prefix (vyn-trust-ca.exe).
#   ca.pem / ca.der          test CA
#   localhost.pem/.key       server certificate for DNS:localhost, issued by the CA
#   wrong-name.pem/.key      server certificate for another host name, same CA
#   untrusted.pem/.key       certificate for DNS:localhost from an untrusted CA
#   chain.pem/.key           ECDSA certificate for DNS:localhost followed by the
#                            ECDSA intermediate that issued it, under a root of its
#                            own (chain-root.der), which a test trusts when it wants
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

# An ECDSA root, an ECDSA intermediate under it, and a leaf from the
# intermediate: the listener sends leaf and intermediate, never the root.
ec=(-newkey ec -pkeyopt ec_paramgen_curve:P-256)
openssl req -x509 "${ec[@]}" -nodes -keyout "$tmp/chain-root.key" -out "$tmp/chain-root.pem" -days $days -sha256 \
  -subj "/O=VynGina test/CN=VynGina Test Chain Root" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl x509 -in "$tmp/chain-root.pem" -outform DER -out chain-root.der
openssl req -new "${ec[@]}" -nodes -keyout "$tmp/chain-ca.key" -subj "/O=VynGina test/CN=VynGina Test Intermediate CA" \
  -out "$tmp/chain-ca.csr" 2>/dev/null
printf 'basicConstraints=critical,CA:TRUE,pathlen:0\nkeyUsage=critical,keyCertSign,cRLSign\n' > "$tmp/chain-ca.ext"
openssl x509 -req -in "$tmp/chain-ca.csr" -CA "$tmp/chain-root.pem" -CAkey "$tmp/chain-root.key" -CAcreateserial \
  -CAserial "$tmp/chain-ca.srl" -days $days -sha256 -extfile "$tmp/chain-ca.ext" -out "$tmp/chain-ca.pem" 2>/dev/null
openssl req -new "${ec[@]}" -nodes -keyout chain.key -subj "/O=VynGina test/CN=localhost" -out "$tmp/chain.csr" 2>/dev/null
printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost\n' \
  > "$tmp/chain.ext"
openssl x509 -req -in "$tmp/chain.csr" -CA "$tmp/chain-ca.pem" -CAkey "$tmp/chain-ca.key" -CAcreateserial \
  -CAserial "$tmp/chain.srl" -days $days -sha256 -extfile "$tmp/chain.ext" -out "$tmp/chain-leaf.pem" 2>/dev/null
cat "$tmp/chain-leaf.pem" "$tmp/chain-ca.pem" > chain.pem
chmod 600 ./*.key
