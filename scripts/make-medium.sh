#!/usr/bin/env bash
# Makes the release medium as the user receives it: signs VelmoraUpdate.exe,
# PATCHW32.dll and rtptool.exe with a code-signing certificate (Authenticode,
# SHA-256, osslsigncode), lays out the medium folder with the release's four
# patch files and the readme, and writes its disc image (ISO 9660 with Joliet
# names, xorriso). rtptool.exe is signed beside the medium, never on it.
#
#   bash scripts/make-medium.sh --patches DIR --out DIR CERTIFICATE [OPTIONS]
#
# CERTIFICATE, one of:
#   --pkcs12 FILE                  certificate, chain and key in a PKCS#12 file
#   --cert FILE --key FILE         PEM certificate (signer first, then its chain) and PEM key
#   --cert FILE --pkcs11-module MODULE --key URI [--pkcs11-engine ENGINE]
#                                  key in a hardware token, through osslsigncode's PKCS#11 engine
# OPTIONS:
#   --passphrase-env VAR | --passphrase-file FILE
#                                  the key's passphrase (the token's PIN); never on the command line
#   --timestamp URL                an RFC 3161 time-stamping server
#   --ca FILE                      check the signatures against this CA (default: the system's)
#   --build DIR                    the Windows build to take the programs from (default: build/win32)
#   --rtptool PATH                 the host rtptool (default: build/host/tools/rtptool)
#   --no-image                     sign and lay out only: any build, no image
#
# Writes OUT/medium/, OUT/tools/rtptool.exe and OUT/VELMORA_R8.iso. Test
# credentials (the repository's test release key, the chain of
# scripts/test-signing-chain.sh) make a TEST medium, VELMORA_R8_TEST.iso, and
# are never mixed with real ones. Exit codes: 1 bad arguments or missing
# files, 2 credentials or patches refused, 3 signing or the image failed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

die() { echo "make-medium: $1" >&2; exit "${2:-1}"; }
refuse() { die "refused: $1" 2; }

patches='' out='' pkcs12='' cert='' key='' module='' engine='' pass_env='' pass_file='' timestamp='' ca=''
build=$root/build/win32 rtptool=$root/build/host/tools/rtptool image=1
while [ $# -gt 0 ]; do
  case $1 in
    --no-image) image= ; shift; continue ;;
    --patches | --out | --pkcs12 | --cert | --key | --pkcs11-module | --pkcs11-engine | \
      --passphrase-env | --passphrase-file | --timestamp | --ca | --build | --rtptool)
      [ $# -ge 2 ] && [ -n "$2" ] || die "$1 needs a value" ;;
    *) die "unknown argument '$1' (see the head of $0)" ;;
  esac
  case $1 in
    --patches) patches=$2 ;; --out) out=$2 ;; --pkcs12) pkcs12=$2 ;; --cert) cert=$2 ;;
    --key) key=$2 ;; --pkcs11-module) module=$2 ;; --pkcs11-engine) engine=$2 ;;
    --passphrase-env) pass_env=$2 ;; --passphrase-file) pass_file=$2 ;;
    --timestamp) timestamp=$2 ;; --ca) ca=$2 ;; --build) build=$2 ;; --rtptool) rtptool=$2 ;;
  esac
  shift 2
done
[ -n "$patches" ] && [ -n "$out" ] || die "give --patches DIR and --out DIR"
if [ -n "$pkcs12" ]; then
  [ -z "$cert$key$module" ] || die "--pkcs12 holds the certificate and key: give no --cert or --key"
else
  [ -n "$cert" ] && [ -n "$key" ] || die "give --pkcs12 FILE, or --cert FILE with --key FILE or URI"
fi
[ -z "$pass_env" ] || [ -z "$pass_file" ] || die "give either --passphrase-env or --passphrase-file"
[ -z "$pass_env" ] || [ -n "${!pass_env:-}" ] || die "the variable $pass_env holds no passphrase"
for tool in osslsigncode xorriso openssl strings; do
  command -v $tool >/dev/null || die "$tool is missing (scripts/setup.sh installs it)"
done

programs=("$build/medium/VelmoraUpdate.exe" "$build/medium/PATCHW32.dll" "$build/tools/rtptool.exe")
for f in "${programs[@]}" "$build/medium/readme.txt" "$rtptool"; do
  [ -f "$f" ] || die "$f is missing: build the Windows preset and the host rtptool first"
done
names=(r7r8s r7r8p postpatch taxtbl)
for name in "${names[@]}"; do
  [ -f "$patches/$name.rtp" ] || die "$patches/$name.rtp is missing"
done

# The machine a PE file is built for, from its header: 014c for 32-bit x86.
pe_machine() {
  local at
  at=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  od -An -tx2 -j$((at + 4)) -N2 "$1" | tr -d ' '
}
if [ -n "$image" ]; then
  for f in "${programs[@]}"; do
    [ "$(pe_machine "$f")" = 014c ] || die "$f is not a 32-bit program: the image holds the win32 build"
  done
fi

# The release key the library trusts, as its version resource names it.
comments=$(strings -e l "$build/medium/PATCHW32.dll")
key_id=$(grep -o 'release key [0-9a-f]\{32\}' <<<"$comments" | head -1 | cut -d' ' -f3) ||
  die "PATCHW32.dll names no release key in its version resource"
test_key=
grep -q 'TEST BUILD' <<<"$comments" && test_key=1
for name in "${names[@]}"; do
  signer=$("$rtptool" list "$patches/$name.rtp" | grep -o 'signed by key [0-9a-f]*' | head -1) || true
  [ "${signer##* }" = "$key_id" ] ||
    refuse "$name.rtp is ${signer:-unsigned}, but PATCHW32.dll trusts key $key_id: the updater would refuse it"
done

# The passphrase reaches openssl and osslsigncode by name or through a pipe,
# never as an argument that other users could read.
passin=() readpass=()
if [ -n "$pass_env" ]; then
  passin=(-passin "env:$pass_env")
  readpass=(-readpass /dev/fd/3)
elif [ -n "$pass_file" ]; then
  passin=(-passin "file:$pass_file")
  readpass=(-readpass "$pass_file")
fi

# Who signs, and whether it is the test chain (by the unit it names).
if [ -n "$pkcs12" ]; then
  [ ${#passin[@]} -gt 0 ] || passin=(-passin pass:)
  leaf=$(openssl pkcs12 -in "$pkcs12" -nokeys -clcerts "${passin[@]}" 2>/dev/null) ||
    die "cannot read the certificate in $pkcs12 (passphrase?)"
  signing=(-pkcs12 "$pkcs12")
else
  leaf=$(cat "$cert")
  signing=(-certs "$cert" -key "$key")
  if [ -n "$module" ]; then
    signing=(-pkcs11module "$module" "${signing[@]}")
    [ -z "$engine" ] || signing=(-pkcs11engine "$engine" "${signing[@]}")
  fi
fi
subject=$(openssl x509 -noout -subject -nameopt oneline <<<"$leaf" 2>/dev/null | sed 's/^subject=//') ||
  die "no certificate to sign with"
test_cert=
openssl x509 -noout -subject -issuer <<<"$leaf" | grep -q 'Velmora TEST code signing' && test_cert=1

if [ -n "$test_cert" ] && [ -z "$test_key" ]; then
  refuse "the TEST code-signing certificate ($subject) with a library that trusts the release key $key_id: sign a release medium with the company's certificate"
elif [ -z "$test_cert" ] && [ -n "$test_key" ]; then
  refuse "the certificate $subject with a library that trusts the repository's TEST key: build a release medium with VELMORA_RELEASE_PUBLIC_KEY (docs/release-guide.md)"
fi

# Nothing of an earlier run stays beside the new medium: a TEST image left
# there could go to the duplicator.
rm -rf "$out/medium" "$out/tools" "$out/VELMORA_R8.iso" "$out/VELMORA_R8_TEST.iso"
mkdir -p "$out/medium" "$out/tools"
passphrase() { [ -z "$pass_env" ] || printf '%s' "${!pass_env}"; }
sign() { # FILE DESCRIPTION DESTINATION
  local log
  if ! log=$(osslsigncode sign "${signing[@]}" "${readpass[@]}" -h sha256 -n "$2" \
    ${timestamp:+-ts "$timestamp"} -in "$1" -out "$3/$(basename "$1")" 2>&1 3< <(passphrase)); then
    echo "$log" >&2
    die "signing $1 failed" 3
  fi
  if ! log=$(osslsigncode verify ${ca:+-CAfile "$ca"} -in "$3/$(basename "$1")" 2>&1); then
    echo "$log" >&2
    die "the signature of $3/$(basename "$1") does not verify" 3
  fi
}
sign "$build/medium/VelmoraUpdate.exe" "Velmora Update" "$out/medium"
sign "$build/medium/PATCHW32.dll" "Velmora patch library" "$out/medium"
sign "$build/tools/rtptool.exe" "Velmora patch tool" "$out/tools"
cp "$build/medium/readme.txt" "$out/medium/"
for name in "${names[@]}"; do cp "$patches/$name.rtp" "$out/medium/"; done

echo "signed by: $subject"
if [ -n "$test_key" ]; then
  echo "PATCHW32.dll trusts the TEST key $key_id; signed with the TEST certificate"
else
  echo "PATCHW32.dll trusts the release key $key_id"
fi
(cd "$out" && sha256sum medium/* tools/rtptool.exe)
[ -n "$image" ] || exit 0

label=VELMORA_R8${test_key:+_TEST}
iso=$out/$label.iso
if ! log=$(xorriso -as mkisofs -iso-level 3 -J -V "$label" -publisher Brennock -o "$iso" "$out/medium" 2>&1); then
  echo "$log" >&2
  die "xorriso could not write $iso" 3
fi
# Read back as Windows reads it (the Joliet names): exactly the medium.
check=$(mktemp -d)
trap 'rm -rf "$check"' EXIT
xorriso -osirrox on -rockridge off -joliet on -indev "$iso" -extract / "$check" >/dev/null 2>&1 ||
  die "cannot read $iso back" 3
chmod -R u+w "$check"
diff -r "$out/medium" "$check" >&2 || die "$iso does not hold the medium byte for byte" 3
echo "image $iso ($label): $(stat -c %s "$iso") bytes, the medium's files byte for byte"
[ -z "$test_key" ] || echo "a TEST medium: test key and test certificate; never ship it"
