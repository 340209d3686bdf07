#!/usr/bin/env bash
# Fuzzes the patch reader, the apply path and the key-file reader for longer
# than the test run does, with AddressSanitizer and UndefinedBehaviorSanitizer:
#   bash scripts/fuzz.sh [SECONDS-PER-TARGET] [JOBS]
# Findings land in build/fuzz/findings/; add a reproducer that is a real
# fault to tests/patchlib/corpus (reader), corpus-apply (apply path) or
# corpus-keyfile (key files).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
jobs=${2:-2}
bash scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2
mkdir -p build/fuzz/findings
# The apply target's trees: each apply flushes its file system, and on a busy
# disk that would set the pace instead of the code under test.
[ -d /dev/shm ] && export TMPDIR=/dev/shm
for target in reader apply keyfile; do
  corpus=tests/patchlib/corpus
  [ "$target" = apply ] && corpus=tests/patchlib/corpus-apply
  seeds=()
  [ "$target" = keyfile ] && corpus=tests/patchlib/corpus-keyfile && seeds=(../../../keys)
  work=build/fuzz/long-$target
  mkdir -p "$work"
  echo "== rtp_fuzz_$target for ${seconds}s on $jobs jobs"
  (cd build/fuzz/findings &&
    "../tests/patchlib/rtp_fuzz_$target" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
      -jobs="$jobs" -workers="$jobs" -print_final_stats=1 "../../../$work" "../../../$corpus" "${seeds[@]}" 2>&1 |
    grep -E "stat::number_of_executed_units|ERROR|SUMMARY|crash-|timeout-" || true)
done
