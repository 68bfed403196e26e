#!/usr/bin/env bash
# Certificates for the handshake table of the module's own TLS client.
#   make-tls-pki.sh <out> <trusted-ca.pem> <trusted-ca.key> <hold-port>
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
# And chains Windows refuses, each served with its intermediate (*-chain.pem):
#   purpose-ca.der, purpose.*  a root the test trusts with every purpose
#                          disabled in the store, and its leaf for localhost
#   client-ca-leaf.*       leaf for localhost under an intermediate whose
#                          extended key usage is clientAuth only
#   constrained-out.*      leaf for localhost and 127.0.0.1 under an
#                          intermediate constrained (non-critical) to
#                          vyngina.test and 10.0.0.0/8
#   constrained-ip.*       leaf for 127.0.0.1 alone under that intermediate
#   constrained-in.*       the same under an intermediate constrained to
#                          localhost and 127.0.0.1/32, which Windows accepts
#                          (non-critical: the TLS library cannot read a
#                          critical name constraints extension)
#   client-leaf.*          leaf for localhost, extended key usage clientAuth only
#   no-signature.*         leaf for localhost whose key usage is keyEncipherment only
#   wildcard-ip.*          leaf for DNS:*.0.0.1 only
#   denied-ca.der, denied-ca-leaf.*  intermediate (the test puts it into the
#                          Disallowed store) and its leaf for localhost
#   fetch-ca.der, fetch.*  a root nobody trusts until the test's stand-in for
#                          Windows' root update adds it, and its leaf
# Keys and algorithms the module's own client does not carry, each an
# intermediate under the trusted CA (the server signs with its RSA leaf, so
# the handshake reaches the certificates):
#   secp256k1-ca, brainpool-ca, ed25519-ca (+ *-leaf.*)
#   md5.*                  leaf for localhost signed with MD5 by the trusted CA
#   rsa1024.*              leaf for localhost with a 1024-bit RSA key
# Name constraints (each intermediate under the trusted CA, non-critical):
#   nc-<kind>-ca, nc-<kind>-leaf.*  for the kinds dirname, email, uri,
#                          othername (a constraint of a name type the client
#                          does not check), empty (an empty permitted list),
#                          exdns (excluded "localhost." with its dot), exip
#                          (excluded 127.0.0.0/8, leaf for 127.0.0.1 alone),
#                          dotname (excluded vyngina.test, leaf also for
#                          "logon.vyngina.test.") and dotok (permitted
#                          "localhost.", which holds localhost)
# A root to be fetched from where nobody answers:
#   aia.*                  leaf for localhost from a CA nobody holds, whose
#                          CA issuers URL is http://127.0.0.1:<hold-port>/,
#                          a listener that accepts and never answers
#   budget-1..6.der        self-signed certificates of six distinct names
set -euo pipefail
out=$1 ca=$2 cakey=$3 holdport=$4
mkdir -p "$out"
cd "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

ext() {  # SAN [extended key usage [key usage [more lines]]]
  printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,%s\nextendedKeyUsage=%s\nsubjectAltName=%s\n%b' \
    "${3:-digitalSignature,keyEncipherment}" "${2:-serverAuth}" "$1" "${4:-}" > "$tmp/ext"
}

issue() {  # name, key algorithm options, SAN, issuer cert, issuer key [, extended key usage [, key usage]]
  local name=$1 keyopts=$2 san=$3 issuer=$4 issuerkey=$5
  # shellcheck disable=SC2086
  openssl req -new -newkey $keyopts -nodes -keyout "$name.key" -subj "/O=VynGina test/CN=$name" \
    -out "$tmp/$name.csr" 2>/dev/null
  ext "$san" "${6:-}" "${7:-}"
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

root() {  # name: a self-signed RSA CA
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 3650 -sha256 \
    -subj "/O=VynGina test/CN=VynGina Test $1" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  openssl x509 -in "$1.pem" -outform DER -out "$1.der"
}

intermediate() {  # name, extra extension lines: a CA under the trusted CA
  printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n%b' "$2" > "$tmp/ca-ext"
  openssl req -new -newkey rsa:2048 -nodes -keyout "$1.key" -subj "/O=VynGina test/CN=VynGina Test $1" \
    -out "$tmp/$1.csr" 2>/dev/null
  openssl x509 -req -in "$tmp/$1.csr" -CA "$ca" -CAkey "$cakey" -CAcreateserial -CAserial "$tmp/$1.srl" \
    -days 3650 -sha256 -extfile "$tmp/ca-ext" -out "$1.pem" 2>/dev/null
  openssl x509 -in "$1.pem" -outform DER -out "$1.der"
}

leaf_under() {  # leaf name, intermediate, SAN: the leaf and its chain file
  issue "$1" rsa:2048 "$3" "$2.pem" "$2.key"
  cat "$1.pem" "$2.pem" > "$1-chain.pem"
}

root purpose-ca
issue purpose rsa:2048 DNS:localhost purpose-ca.pem purpose-ca.key
intermediate client-ca 'extendedKeyUsage=clientAuth\n'
leaf_under client-ca-leaf client-ca DNS:localhost
intermediate narrow-ca 'nameConstraints=permitted;DNS:vyngina.test,permitted;IP:10.0.0.0/255.0.0.0\n'
leaf_under constrained-out narrow-ca DNS:localhost,IP:127.0.0.1
leaf_under constrained-ip narrow-ca IP:127.0.0.1
intermediate local-ca 'nameConstraints=permitted;DNS:localhost,permitted;IP:127.0.0.1/255.255.255.255\n'
leaf_under constrained-in local-ca DNS:localhost,IP:127.0.0.1
issue client-leaf rsa:2048 DNS:localhost "$ca" "$cakey" clientAuth
issue no-signature rsa:2048 DNS:localhost "$ca" "$cakey" serverAuth keyEncipherment
issue wildcard-ip rsa:2048 'DNS:*.0.0.1' "$ca" "$cakey"
intermediate denied-ca ''
leaf_under denied-ca-leaf denied-ca DNS:localhost
root fetch-ca
issue fetch rsa:2048 DNS:localhost fetch-ca.pem fetch-ca.key
openssl x509 -in fetch.pem -outform DER -out fetch.der

# Intermediates whose keys the client cannot read, each signing an RSA leaf.
odd_ca() {  # name, key options (the signature's digest is the key's own for Ed25519)
  printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n' > "$tmp/ca-ext"
  # shellcheck disable=SC2086
  openssl req -new -newkey $2 -nodes -keyout "$1.key" -subj "/O=VynGina test/CN=VynGina Test $1" \
    -out "$tmp/$1.csr" 2>/dev/null
  openssl x509 -req -in "$tmp/$1.csr" -CA "$ca" -CAkey "$cakey" -CAcreateserial -CAserial "$tmp/$1.srl" \
    -days 3650 -sha256 -extfile "$tmp/ca-ext" -out "$1.pem" 2>/dev/null
  openssl req -new -newkey rsa:2048 -nodes -keyout "$1-leaf.key" -subj "/O=VynGina test/CN=$1-leaf" \
    -out "$tmp/$1-leaf.csr" 2>/dev/null
  ext DNS:localhost
  local digest=-sha256
  [ "$2" = ed25519 ] && digest=
  # shellcheck disable=SC2086
  openssl x509 -req -in "$tmp/$1-leaf.csr" -CA "$1.pem" -CAkey "$1.key" -CAcreateserial -CAserial "$tmp/$1-l.srl" \
    -days 3650 $digest -extfile "$tmp/ext" -out "$1-leaf.pem" 2>/dev/null
  cat "$1-leaf.pem" "$1.pem" > "$1-leaf-chain.pem"
}
odd_ca secp256k1-ca "ec -pkeyopt ec_paramgen_curve:secp256k1"
odd_ca brainpool-ca "ec -pkeyopt ec_paramgen_curve:brainpoolP256r1"
odd_ca ed25519-ca ed25519
openssl req -new -newkey rsa:2048 -nodes -keyout md5.key -subj "/O=VynGina test/CN=md5" -out "$tmp/md5.csr" 2>/dev/null
ext DNS:localhost
openssl x509 -req -in "$tmp/md5.csr" -CA "$ca" -CAkey "$cakey" -CAcreateserial -CAserial "$tmp/md5.srl" \
  -days 3650 -md5 -extfile "$tmp/ext" -out md5.pem 2>/dev/null
issue rsa1024 rsa:1024 DNS:localhost "$ca" "$cakey"

constrained() {  # kind, nameConstraints value, leaf SAN [, sections the value names]
  intermediate "nc-$1-ca" "nameConstraints=$2\n${4:-}"
  leaf_under "nc-$1-leaf" "nc-$1-ca" "$3"
}
constrained dirname 'permitted;DNS:localhost,permitted;dirName:nc_dir' DNS:localhost '[nc_dir]\nO=VynGina test\n'
constrained email 'permitted;DNS:localhost,permitted;email:vyngina.test' DNS:localhost
constrained uri 'permitted;DNS:localhost,permitted;URI:vyngina.test' DNS:localhost
constrained othername 'permitted;DNS:localhost,permitted;otherName:1.3.6.1.4.1.311.20.2.3;UTF8:vyngina.test' \
  DNS:localhost
# NameConstraints { permittedSubtrees [0] {} }: no subtree at all.
constrained empty 'DER:30:02:a0:00' DNS:localhost
constrained exdns 'excluded;DNS:localhost.' DNS:localhost
constrained exip 'excluded;IP:127.0.0.0/255.0.0.0' IP:127.0.0.1
constrained dotname 'excluded;DNS:vyngina.test' 'DNS:localhost,DNS:logon.vyngina.test.'
constrained dotok 'permitted;DNS:localhost.' DNS:localhost

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$tmp/aia-ca.key" \
  -out "$tmp/aia-ca.pem" -days 3650 -sha256 -subj "/O=VynGina test/CN=VynGina Test unreachable CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout aia.key -subj "/O=VynGina test/CN=aia" -out "$tmp/aia.csr" 2>/dev/null
ext DNS:localhost '' '' "authorityInfoAccess=caIssuers;URI:http://127.0.0.1:$holdport/aia-ca.der\n"
openssl x509 -req -in "$tmp/aia.csr" -CA "$tmp/aia-ca.pem" -CAkey "$tmp/aia-ca.key" -CAcreateserial \
  -CAserial "$tmp/aia.srl" -days 3650 -sha256 -extfile "$tmp/ext" -out aia.pem 2>/dev/null
openssl x509 -in aia.pem -outform DER -out aia.der
for n in 1 2 3 4 5 6; do
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$tmp/budget.key" \
    -out "$tmp/budget.pem" -days 3650 -sha256 -subj "/O=VynGina test/CN=VynGina budget $n" 2>/dev/null
  openssl x509 -in "$tmp/budget.pem" -outform DER -out "budget-$n.der"
done

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
