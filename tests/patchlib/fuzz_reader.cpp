// libFuzzer entry for the patch reader; the corpus replay test calls the
// same function on every test run.
#include <cstddef>
#include <cstdint>

#include "rtp/engine.h"

// Reads one patch image; returns its result. Must never crash or hang.
int rtpFuzzReadPatch(const std::uint8_t* data, std::size_t size) {
  rtp::MemoryFile file(data, size);
  std::vector<rtp::PatchOp> ops;
  rtp::Outcome o = rtp::readPatch(file, &ops);
  if (o.ok()) {
    // Whatever is accepted must be safe to act on.
    for (const rtp::PatchOp& op : ops)
      if (!rtp::checkRelativePath(op.path).empty()) __builtin_trap();
  }
  return static_cast<int>(o.result);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  rtpFuzzReadPatch(data, size);
  return 0;
}
