#!/usr/bin/env bash
# Fuzzes the patch reader and the apply path for longer than the test run
# does, with AddressSanitizer and UndefinedBehaviorSanitizer:
#   bash scripts/fuzz.sh [SECONDS-PER-TARGET] [JOBS]
# Findings land in build/fuzz/findings/; add a reproducer that is a real
# fault to tests/patchlib/corpus (reader) or corpus-apply (apply path).
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
for target in reader apply; do
  corpus=tests/patchlib/corpus
  [ "$target" = apply ] && corpus=tests/patchlib/corpus-apply
  work=build/fuzz/long-$target
  mkdir -p "$work"
  echo "== rtp_fuzz_$target for ${seconds}s on $jobs jobs"
  (cd build/fuzz/findings &&
    "../tests/patchlib/rtp_fuzz_$target" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
      -jobs="$jobs" -workers="$jobs" -print_final_stats=1 "../../../$work" "../../../$corpus" 2>&1 |
    grep -E "stat::number_of_executed_units|ERROR|SUMMARY|crash-|timeout-" || true)
done
