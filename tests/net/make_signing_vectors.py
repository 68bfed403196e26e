#!/usr/bin/env python3
"""Regenerates signing_vectors.txt: known answers for the module's request
signing, computed here on Linux with OpenSSL and coreutils' base64, never with
the module's own code.

    python3 tests/net/make_signing_vectors.py > tests/net/signing_vectors.txt

Each vector lists its inputs (keys, method, host, path, the parameters in the
order a caller assigns them) and the expected results: the query string
(names sorted by raw bytes, each byte outside A-Z a-z 0-9 - . _ ~ written as
%XX), the canonical request, the signature and the Authorization header line
(without its CR LF). Byte strings that may hold non-printable bytes are hex.
"""
import subprocess
import urllib.parse

HOST = "api-3f1c2b.vyn.example"
IKEY = "DIWJ8X6AEYOR5OMC6TQ1"

VECTORS = [
    # name, ikey, skey (bytes), method, host, path, params (assignment order)
    ("short-key", IKEY, b"k3y", "GET", HOST, "/rest/v1/status.bson",
     [("txid", "5f2b9c7e-1d1a-4d1e-9b1a-0c2b3d4e5f60")]),
    ("key-17-bytes", IKEY, b"0123456789abcdefg", "POST", HOST, "/rest/v1/preauth.bson",
     [("user", "corp\\alice"), ("ipaddr", "10.0.0.7")]),
    ("key-40-bytes", IKEY, b"Zx8kQ2mB7vT1pL9wR4sN6yH3jC5dF0gA1eU2iO3o", "POST", HOST, "/rest/v1/auth.bson",
     [("user", "alice"), ("factor", "auto"), ("auto", "push"), ("async", "1"), ("ipaddr", "192.0.2.44")]),
    ("key-64-bytes", IKEY, bytes(range(0x40, 0x80)), "POST", HOST, "/rest/v1/preauth.bson",
     [("user", "bob")]),
    ("key-65-bytes", IKEY, bytes(range(0x20, 0x61)), "POST", HOST, "/rest/v1/preauth.bson",
     [("user", "bob")]),
    ("key-100-bytes", IKEY, b"S" * 37 + b"secret" + bytes(range(0x80, 0xB9)), "GET", HOST, "/rest/v1/status.bson",
     [("txid", "abc")]),
    ("empty-query", IKEY, b"skey-for-check-40-bytes-xxxxxxxxxxxxxxxx", "GET", HOST, "/rest/v1/check.bson", []),
    ("worked-example", IKEY, b"worked-example-secret-key-0123456789abcd", "POST", HOST, "/rest/v1/auth.bson",
     [("user", "j doe"), ("factor", "auto"), ("ipaddr", "192.0.2.10")]),
    ("non-ascii-values", IKEY, b"non-ascii-\xe9\xfc-key", "POST", HOST, "/rest/v1/auth.bson",
     [("user", "corp\\J\u00f6rg \u00d6berg"), ("auto", "\u00e9 +&=/%~-._*"), ("factor", "auto"), ("async", "1")]),
    ("byte-ordered-names", IKEY, b"ordering-key", "POST", HOST, "/rest/v1/preauth.bson",
     [("b", "1"), ("a_", "2"), ("\u00e9", "3"), ("ab", "4"), ("Z", "5"), ("a", "6"), ("B", "7"), ("A", "8"),
      ("a~", "9"), ("a0", "10")]),
    ("empty-value", IKEY, b"empty-value-key", "POST", HOST, "/rest/v1/auth.bson",
     [("user", "carol"), ("auto", ""), ("factor", "auto"), ("async", "1")]),
    ("long-ikey-with-colon", "DI:" + "Q" * 97, b"long-ikey-key", "GET", HOST, "/rest/v1/status.bson",
     [("txid", "t-1")]),
]


def query_string(params):
    # A dict keeps the last value of a name assigned twice, like the module's map.
    merged = {}
    for name, value in params:
        merged[name] = value
    pairs = sorted(merged.items(), key=lambda kv: kv[0].encode("utf-8"))
    return "&".join(urllib.parse.quote(n.encode("utf-8"), safe="") + "=" +
                    urllib.parse.quote(v.encode("utf-8"), safe="") for n, v in pairs)


def hmac_sha1_hex(key, data):
    out = subprocess.run(["openssl", "dgst", "-sha1", "-mac", "HMAC", "-macopt", "hexkey:" + key.hex(), "-r"],
                         input=data, capture_output=True, check=True).stdout.decode()
    return out.split()[0].upper()


def base64(data):
    return subprocess.run(["base64", "-w", "0"], input=data, capture_output=True, check=True).stdout.decode()


def main():
    print("# Known answers for request signing. Regenerate with make_signing_vectors.py.")
    print("# One block per vector, ended by an empty line. *-hex fields are raw bytes in hex.")
    print()
    for name, ikey, skey, method, host, path, params in VECTORS:
        query = query_string(params)
        canonical = "\n".join([method, host, path, query]).encode("utf-8")
        signature = hmac_sha1_hex(skey, canonical)
        header = "Authorization: Basic " + base64((ikey + ":" + signature).encode("utf-8"))
        print("vector " + name)
        print("ikey " + ikey)
        print("skey-hex " + skey.hex())
        print("method " + method)
        print("host " + host)
        print("path " + path)
        for pname, pvalue in params:
            print("param-hex " + pname.encode("utf-8").hex() + " " + pvalue.encode("utf-8").hex())
        print("query " + query)
        print("canonical-hex " + canonical.hex())
        print("signature " + signature)
        print("header " + header)
        print()


if __name__ == "__main__":
    main()
