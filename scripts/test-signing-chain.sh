#!/usr/bin/env bash
# Makes a throwaway code-signing chain for the tests and the demo: a test CA
# and a code-signing certificate it issued, in OUTDIR. Never commit them, never
# sign a release with them: like the repository's test release key they are
# test credentials, and scripts/make-medium.sh labels what they sign as TEST.
#
#   bash scripts/test-signing-chain.sh OUTDIR
#
# OUTDIR then holds ca.pem (the CA to verify with), signer.pem and
# signer.key (PEM, unencrypted), signer.p12 (PKCS#12 of both, encrypted with
# the passphrase in passphrase.txt).
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
out=$1
mkdir -p "$out"
chmod 700 "$out"
cd "$out"

# The organisational unit that make-medium.sh recognises the test chain by.
ou="Velmora TEST code signing"

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 \
  -subj "/O=Brennock/OU=$ou/CN=Velmora TEST code-signing CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr \
  -subj "/O=Brennock/OU=$ou/CN=Brennock (TEST)" 2>/dev/null
cat > signer.ext <<'EXT'
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EXT
openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
  -extfile signer.ext -out signer.pem 2>/dev/null
openssl rand -hex 16 > passphrase.txt
openssl pkcs12 -export -inkey signer.key -in signer.pem -name "Brennock (TEST)" \
  -passout file:passphrase.txt -out signer.p12
rm -f signer.csr signer.ext ca.srl
chmod 600 ./*.key signer.p12 passphrase.txt
echo "test code-signing chain in $out: ca.pem, signer.pem + signer.key, signer.p12"
