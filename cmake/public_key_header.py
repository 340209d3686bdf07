#!/usr/bin/env python3
"""Turns a PEM P-256 public key into a C header holding its raw X || Y.

  public_key_header.py --pem KEY.pub.pem --test-pem keys/test-release-key.pub.pem \
      --name NAME --out HEADER

The header defines NAME (64 bytes, unless RC_INVOKED: resource scripts include
it too), NAME_ID (the key id in hex), NAME_IS_TEST_KEY (1 when the key is the
repository's test key) and NAME_COMMENTS (a line for a version resource).
It prints the key id and "test" or "release" on one line.

The key must pass OpenSSL's own public key check (`openssl pkey -pubcheck`):
a point off the curve would ship a library that can never apply anything.
"""
import argparse
import base64
import hashlib
import os
import re
import subprocess
import sys

# SubjectPublicKeyInfo of an uncompressed P-256 point: algorithm id-ecPublicKey
# with the prime256v1 curve, then a 66-byte bit string holding 04 || X || Y.
P256_SPKI_PREFIX = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d030107034200")


def check_with_openssl(path):
    try:
        run = subprocess.run(["openssl", "pkey", "-pubin", "-in", path, "-pubcheck", "-noout"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    except OSError as e:
        sys.exit("cannot run openssl to check %s: %s" % (path, e))
    if run.returncode != 0:
        reason = run.stderr.strip().splitlines()
        sys.exit("%s: not a valid public key (openssl pkey -pubcheck: %s)"
                 % (path, reason[0] if reason else "refused"))


def raw_point(path):
    check_with_openssl(path)
    with open(path, "r", encoding="ascii") as f:
        text = f.read()
    match = re.search(r"-----BEGIN PUBLIC KEY-----(.*?)-----END PUBLIC KEY-----", text, re.S)
    if not match:
        sys.exit("%s: no PEM public key (-----BEGIN PUBLIC KEY-----)" % path)
    der = base64.b64decode("".join(match.group(1).split()), validate=True)
    if len(der) != len(P256_SPKI_PREFIX) + 65 or not der.startswith(P256_SPKI_PREFIX) or der[26] != 4:
        sys.exit("%s: not an uncompressed P-256 public key" % path)
    return der[27:]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pem", required=True)
    parser.add_argument("--test-pem", required=True)
    parser.add_argument("--name", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    point = raw_point(args.pem)
    key_id = hashlib.sha256(b"\x04" + point).hexdigest()[:32]
    is_test = point == raw_point(args.test_pem)
    print(key_id, "test" if is_test else "release")
    if is_test:
        comments = ("TEST BUILD: trusts the repository's test release key %s, "
                    "whose private half is public. Not for release." % key_id)
    else:
        comments = "Applies only patches signed by the release key %s." % key_id
    name = args.name
    rows = ",\n".join("    " + ", ".join("0x%02x" % b for b in point[i:i + 8]) for i in range(0, 64, 8))
    guard = re.sub(r"\W", "_", name).upper() + "_H"
    text = f"""// Made by cmake/public_key_header.py from {os.path.basename(args.pem)}; do not edit.
#ifndef {guard}
#define {guard}

#define {name}_ID "{key_id}"
#define {name}_IS_TEST_KEY {1 if is_test else 0}
#define {name}_COMMENTS "{comments}"

#ifndef RC_INVOKED
static const unsigned char {name}[64] = {{
{rows}}};
#endif

#endif
"""
    try:
        with open(args.out, "r", encoding="ascii") as f:
            if f.read() == text:
                return
    except OSError:
        pass
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w", encoding="ascii") as f:
        f.write(text)


if __name__ == "__main__":
    main()
