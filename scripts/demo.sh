#!/usr/bin/env bash
# The updater's main job, end to end: sets everything up, builds the program,
# the patch library and the patch tool, makes a demo Velmora 7 installation
# and the release's four patch files, makes the signed release medium and its
# disc image (a TEST medium: the test key and a throwaway test certificate),
# and runs VelmoraUpdate.exe from the image's files under Wine.
#
# With a display (DISPLAY set) you drive the updater yourself. Without one it
# runs on a virtual display, presses Update itself, saves screenshots, and
# prints the log and a comparison with the Release 8 tree.
#
#   bash scripts/demo.sh [--pro] [--backup]
set -euo pipefail
cd "$(dirname "$0")/.."
edition=standard backup=
for arg in "$@"; do
  case $arg in
    --pro) edition=pro ;;
    --backup) backup=--backup ;;
    *) echo "usage: $0 [--pro] [--backup]" >&2; exit 2 ;;
  esac
done

bash scripts/setup.sh
# The medium and its image are 32-bit; where this kernel cannot run 32-bit
# code, the demo runs the 64-bit build of the same program instead.
source scripts/windows.sh
choose_windows_build
# The medium's 32-bit build always, and the one that runs here once.
presets=(host win32)
[ "$windows" != win32 ] && presets+=("$windows")
for preset in "${presets[@]}"; do
  # A TEST medium: the demo's patches are signed with the repository's test key.
  test_medium=
  [ "$preset" != host ] && test_medium=-DVELMORA_TEST_RELEASE_KEY=ON
  cmake --preset "$preset" $test_medium >/dev/null
  targets=(VelmoraUpdate patchw32 rtptool)
  [ "$preset" = host ] && targets=(rtptool)
  [ "$preset" = "$windows" ] && targets+=(demo_driver demo_vlw32_r7_Standard demo_vlw32_r7_Pro
    demo_vlw32_r8_Standard demo_vlw32_r8_Pro demo_vlwcore_r7 demo_vlwcore_r8)
  cmake --build --preset "$preset" -j2 --target "${targets[@]}"
done

build=$PWD/build/$windows
demo=$PWD/build/demo
[ -d "$demo" ] && chmod -R u+w "$demo"
rm -rf "$demo"
mkdir -p "$demo/shots"
python3 scripts/make-release.py --bin "$build/demo-bin" --tool build/host/tools/rtptool --out "$demo"

echo "== the release medium, signed with a test certificate, and its disc image"
bash scripts/test-signing-chain.sh "$demo/signing"
signing=(--pkcs12 "$demo/signing/signer.p12" --passphrase-file "$demo/signing/passphrase.txt"
  --ca "$demo/signing/ca.pem")
bash scripts/make-medium.sh --build build/win32 --patches "$demo/patches" --out "$demo/release" "${signing[@]}"
if [ "$windows" = win32 ]; then
  # The image's files, read as Windows reads a disc (the Joliet names).
  xorriso -osirrox on -rockridge off -joliet on -indev "$demo/release/VELMORA_R8_TEST.iso" \
    -extract / "$demo/disc" >/dev/null 2>&1
  medium=$demo/disc
  echo "== running the updater from the image's files ($medium)"
else
  # The same medium of the 64-bit build, signed alike, for this machine.
  bash scripts/make-medium.sh --build "$build" --patches "$demo/patches" --out "$demo/release64" \
    "${signing[@]}" --no-image >/dev/null
  medium=$demo/release64/medium
  echo "== this machine runs no 32-bit code: running the 64-bit build of the medium ($medium)"
fi
ls -l "$medium"
echo "VelmoraUpdate.exe, as Windows would show its publisher:"
osslsigncode verify -CAfile "$demo/signing/ca.pem" -in "$medium/VelmoraUpdate.exe" |
  grep -m1 -A1 'Subject:' | sed 's/^[[:space:]]*/  /'
# What the progress window may show, "PATCH<tab>FILE" as the updater names
# them: the driver reads the window's painted lines against this list.
for patch in "$medium"/*.rtp; do
  build/host/tools/rtptool list "$patch" |
    awk -v p="$(basename "$patch" .rtp)" '$1 ~ /^(add|modify|delete)$/ { gsub("/", "\\", $2); print p "\t" $2 }'
done > "$demo/progress-names.txt"

export WINEPREFIX=$demo/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
source scripts/display.sh
cleanup() {
  wineserver -k 2>/dev/null || true
  stop_display
}
trap cleanup EXIT
interactive=${DISPLAY:+1}
need_display

echo "== a Velmora 7 $edition installation in a fresh Wine prefix"
bash scripts/wine-prefix.sh
# Debian's Wine looks for its own fonts beside the system's (/usr/share/fonts),
# not where fonts-wine puts them (/usr/share/wine/fonts): without them the
# caption buttons lack Marlett and show letters. The prefix's Fonts folder is
# where Wine looks first.
for font in /usr/share/wine/fonts/*; do
  ln -sf "$font" "$WINEPREFIX/drive_c/windows/Fonts/"
done
product="$WINEPREFIX/drive_c/Program Files/Brennock/Velmora"
mkdir -p "$product"
cp -r "$demo/trees/r7-$edition/." "$product/"
"$wine" reg add 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\vlw32.exe' /ve /t REG_SZ \
  /d 'C:\Program Files\Brennock\Velmora\vlw32.exe' /f >/dev/null 2>&1
medium_win=$("$wine" winepath -w "$medium" 2>/dev/null | tr -d '\r')

status=0
if [ -n "$interactive" ]; then
  echo "== running the updater on your display ($DISPLAY)"
  "$wine" "$medium/VelmoraUpdate.exe" || true
else
  echo "== running the updater on a virtual display; pressing Update"
  (cd "$medium" && "$wine" VelmoraUpdate.exe) &
  updater=$!
  "$wine" "$build/demo-bin/demo_driver.exe" "$("$wine" winepath -w "$demo/shots" | tr -d '\r')" \
    "$("$wine" winepath -w "$demo/progress-names.txt" | tr -d '\r')" $backup || status=$?
  wait "$updater" || true
  for shot in "$demo"/shots/*.bmp; do
    [ -e "$shot" ] && convert "$shot" "${shot%.bmp}.png" && rm -f "$shot"
  done
  echo "== screenshots"
  ls "$demo"/shots/
fi
: "$medium_win"

echo "== update.txt"
if [ -f "$product/update.txt" ]; then tr -d '\r' < "$product/update.txt"; else echo "(no log)"; fi

echo "== the product directory against the Release 8 tree"
if diff -r -x update.txt -x backup "$product" "$demo/trees/r8-$edition"; then
  echo "identical to Release 8, byte for byte (update.txt and backup/ aside)"
else
  echo "differs from Release 8"
  status=1
fi
if [ -d "$product/backup" ]; then
  echo "== backup/"
  (cd "$product/backup" && find . -type f | sort)
fi
exit $status
