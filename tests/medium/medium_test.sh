#!/usr/bin/env bash
# scripts/make-medium.sh as a release engineer runs it: the signed programs
# verify against the signing CA and no other, a changed byte breaks the
# signature, the image read back is the medium byte for byte, and test and
# real credentials are never mixed.
#
#   medium_test.sh BUILD OTHER_KEY_DIR HOST_RTPTOOL
# BUILD is the 32-bit build (its library trusts the test key); OTHER_KEY_DIR
# holds the same library built to trust another key, and that key.
set -euo pipefail
if [ ! -f "$2/PATCHW32.dll" ] || ! strings -e l "$1/medium/PATCHW32.dll" | grep -q 'TEST BUILD'; then
  echo "skipped: no 32-bit TEST medium build in $1 (cmake --preset win32 -DVELMORA_TEST_RELEASE_KEY=ON)"
  exit 77
fi
build=$(realpath "$1") other=$(realpath "$2") rtptool=$(realpath "$3")
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The test chain, and one as a public CA issues it: no TEST marking, its key
# encrypted with a passphrase given by variable.
bash "$src/scripts/test-signing-chain.sh" "$work/test" >/dev/null
real=$work/real
mkdir -p "$real"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$real/ca.key" -out "$real/ca.pem" -days 2 \
  -subj "/O=Some CA/CN=Some CA root" -addext "basicConstraints=critical,CA:TRUE" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout "$real/plain.key" -out "$real/signer.csr" \
  -subj "/O=Brennock/CN=Brennock" 2>/dev/null
openssl x509 -req -in "$real/signer.csr" -CA "$real/ca.pem" -CAkey "$real/ca.key" -CAcreateserial \
  -days 2 -extfile <(echo "extendedKeyUsage=codeSigning") -out "$real/signer.pem" 2>/dev/null
export REAL_PASS=correct-horse-battery
openssl pkey -in "$real/plain.key" -aes256 -passout env:REAL_PASS -out "$real/signer.key"

# The builds: the test medium's, and the same programs with the library
# that trusts the other key.
mkdir -p "$work/other-build/medium" "$work/other-build/tools"
cp "$build/medium/VelmoraUpdate.exe" "$build/medium/readme.txt" "$work/other-build/medium/"
cp "$other/PATCHW32.dll" "$work/other-build/medium/"
cp "$build/tools/rtptool.exe" "$work/other-build/tools/"

# Four small patches signed with each key.
mkdir -p "$work/old" "$work/new"
echo 7 >"$work/old/config.ini"
echo 8 >"$work/new/config.ini"
for signer in test other; do
  key=$src/keys/test-release-key.pem
  [ $signer = other ] && key=$other/release.pem
  mkdir -p "$work/patches-$signer"
  for name in r7r8s r7r8p postpatch taxtbl; do
    "$rtptool" make "$work/old" "$work/new" "$work/patches-$signer/$name.rtp" --key "$key" >/dev/null
  done
done

make_medium() { # NAME BUILD CHAIN PATCHES
  local build_dir=$build signing
  [ "$2" = other ] && build_dir=$work/other-build
  if [ "$3" = test ]; then
    signing=(--pkcs12 "$work/test/signer.p12" --passphrase-file "$work/test/passphrase.txt" --ca "$work/test/ca.pem")
  else
    signing=(--cert "$real/signer.pem" --key "$real/signer.key" --passphrase-env REAL_PASS --ca "$real/ca.pem")
  fi
  bash "$src/scripts/make-medium.sh" --build "$build_dir" --rtptool "$rtptool" \
    --patches "$work/patches-$4" --out "$work/$1" "${signing[@]}" >"$work/$1.log" 2>&1
}

# name            library chain patches  exit  the output says
cases=(
  "test-medium       test  test  test    0  a TEST medium"
  "release-medium    other real  other   0  PATCHW32.dll trusts the release key"
  "test-key-real-cert test real test     2  with a library that trusts the repository's TEST key"
  "real-key-test-cert other test other   2  the TEST code-signing certificate"
  "patches-other-key test  test  other   2  but PATCHW32.dll trusts key"
)
for case in "${cases[@]}"; do
  read -r name library chain patches want said <<<"$case"
  code=0
  make_medium "$name" "$library" "$chain" "$patches" || code=$?
  if [ $code != "$want" ]; then
    fail "$name: exit $code, not $want"
    cat "$work/$name.log" >&2
  elif ! grep -qF "$said" "$work/$name.log"; then
    fail "$name: the output does not say '$said'"
    cat "$work/$name.log" >&2
  elif [ "$want" = 2 ] && [ -e "$work/$name" ]; then
    fail "$name: refused, but wrote $work/$name"
  else
    echo "ok    $name"
  fi
done
grep -q TEST "$work/release-medium.log" && fail "release-medium: the output speaks of TEST"

# The images: labelled for what they are, holding exactly the medium.
for medium in test-medium:VELMORA_R8_TEST release-medium:VELMORA_R8; do
  name=${medium%%:*} label=${medium#*:}
  iso=$work/$name/$label.iso
  [ -f "$iso" ] || { fail "$name: no $label.iso"; continue; }
  xorriso -indev "$iso" -pvd_info 2>/dev/null | grep -q "^Volume Id *: $label\$" ||
    fail "$name: the volume label is not $label"
  # Read back as Windows reads it, through the Joliet names.
  xorriso -osirrox on -rockridge off -joliet on -indev "$iso" -extract / "$work/$name-read" >/dev/null 2>&1 ||
    fail "$name: cannot extract $iso"
  listed=$(cd "$work/$name-read" && find . -type f | sort | tr '\n' ' ')
  [ "$listed" = "./PATCHW32.dll ./VelmoraUpdate.exe ./postpatch.rtp ./r7r8p.rtp ./r7r8s.rtp ./readme.txt ./taxtbl.rtp " ] ||
    fail "$name: the image holds $listed"
  for f in "$work/$name/medium"/*; do
    cmp -s "$f" "$work/$name-read/$(basename "$f")" || fail "$name: $(basename "$f") differs on the image"
  done
done
cmp -s "$work/test-medium/medium/r7r8s.rtp" "$work/patches-test/r7r8s.rtp" || fail "the medium's r7r8s.rtp is not the patch"
cmp -s "$work/test-medium/medium/readme.txt" "$build/medium/readme.txt" || fail "the medium's readme.txt is not the build's"

# The signatures: each verifies against the signing CA and not against another.
signed=("$work/test-medium/medium/VelmoraUpdate.exe" "$work/test-medium/medium/PATCHW32.dll"
  "$work/test-medium/tools/rtptool.exe")
for f in "${signed[@]}"; do
  osslsigncode verify -CAfile "$work/test/ca.pem" -in "$f" >/dev/null 2>&1 ||
    fail "$(basename "$f") does not verify with the test CA"
  osslsigncode verify -CAfile "$real/ca.pem" -in "$f" >/dev/null 2>&1 &&
    fail "$(basename "$f") verifies with a CA that did not sign it"
done
osslsigncode verify -CAfile "$real/ca.pem" -in "$work/release-medium/medium/PATCHW32.dll" >/dev/null 2>&1 ||
  fail "the release medium's PATCHW32.dll does not verify with its CA"
# One changed byte in the code.
cp "${signed[0]}" "$work/changed.exe"
printf '\x90' | dd of="$work/changed.exe" bs=1 seek=$((0x600)) conv=notrunc status=none
cmp -s "${signed[0]}" "$work/changed.exe" && printf '\xcc' | dd of="$work/changed.exe" bs=1 seek=$((0x600)) conv=notrunc status=none
osslsigncode verify -CAfile "$work/test/ca.pem" -in "$work/changed.exe" >/dev/null 2>&1 &&
  fail "VelmoraUpdate.exe with a changed byte still verifies"

[ $failures = 0 ] && echo "ok    images, signatures and credentials"
exit $((failures > 0))
