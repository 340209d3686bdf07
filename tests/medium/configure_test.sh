#!/usr/bin/env bash
# A Windows build whose medium would trust the test key, no key, or a key that
# is not a P-256 point stops at configure time, naming the way out.
#
#   configure_test.sh SOURCE TOOLCHAIN WORK
set -euo pipefail
src=$1 toolchain=$2 work=$3
rm -rf "$work"
mkdir -p "$work/keys"
keys=$work/keys test_pem=$src/keys/test-release-key.pub.pem

# The test key's point in another PEM wrapping; a point moved off the curve;
# a key on another curve; a valid P-256 key that is not the test key.
{
  echo "the test key, wrapped again"
  echo "-----BEGIN PUBLIC KEY-----"
  openssl pkey -pubin -in "$test_pem" -outform DER | base64 -w 40
  echo "-----END PUBLIC KEY-----"
} >"$keys/rewrapped.pem"
openssl pkey -pubin -in "$test_pem" -outform DER >"$keys/test.der"
# Byte 40 is inside X; flipping one bit leaves the encoding well formed.
python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[40] ^= 1; sys.stdout.buffer.write(d)' \
  "$keys/test.der" | openssl base64 | sed '1i-----BEGIN PUBLIC KEY-----' >"$keys/off-curve.pem"
echo "-----END PUBLIC KEY-----" >>"$keys/off-curve.pem"
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:secp384r1 2>/dev/null |
  openssl pkey -pubout -out "$keys/p384.pem"
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 2>/dev/null |
  openssl pkey -pubout -out "$keys/other.pem"

# what is asked for | what the configure must say (each fragment)
cases=(
  "|No release key for PATCHW32.dll|-DVELMORA_RELEASE_PUBLIC_KEY=|-DVELMORA_TEST_RELEASE_KEY=ON"
  "-DVELMORA_RELEASE_PUBLIC_KEY=$keys/rewrapped.pem|is the repository's test key|-DVELMORA_TEST_RELEASE_KEY=ON"
  "-DVELMORA_RELEASE_PUBLIC_KEY=$keys/off-curve.pem|not a valid public key (openssl pkey -pubcheck"
  "-DVELMORA_RELEASE_PUBLIC_KEY=$keys/p384.pem|not an uncompressed P-256 public key"
  "-DVELMORA_RELEASE_PUBLIC_KEY=$keys/other.pem -DVELMORA_TEST_RELEASE_KEY=ON|give one or the other"
)
failures=0
for case in "${cases[@]}"; do
  IFS='|' read -r -a fragments <<<"$case"
  asked=${fragments[0]}
  # One build folder for every case: the compiler checks run once. Each case
  # sets both options, so none inherits the last one's.
  # shellcheck disable=SC2086
  if out=$(cmake -S "$src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DVELMORA_RELEASE_PUBLIC_KEY= -DVELMORA_TEST_RELEASE_KEY=OFF $asked 2>&1); then
    echo "FAIL: configured with '$asked'" >&2
    failures=$((failures + 1))
    continue
  fi
  said=$(tr -s ' \n' ' ' <<<"$out")
  for fragment in "${fragments[@]:1}"; do
    if ! grep -qF -- "$fragment" <<<"$said"; then
      echo "FAIL: with '$asked' the configure did not say '$fragment':" >&2
      grep -A8 'CMake Error' <<<"$out" >&2
      failures=$((failures + 1))
      continue 2
    fi
  done
  echo "ok    refused: ${asked:-no key}"
done
exit $((failures > 0))
