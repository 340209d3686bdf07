// Ways a signed patch can be altered after signing, shared by the reader's
// tests on the host (OpenSSL) and under Wine (CNG) and by nothing else.
#ifndef RTP_TEST_TAMPER_H
#define RTP_TEST_TAMPER_H

#include <string>
#include <vector>

#include "rtp/result.h"

namespace rtptest {

struct Tampered {
  std::string name;
  std::vector<unsigned char> bytes;
  rtp::Result expect;  // with the signer's key trusted
};

// Every way we know to alter `patch` (signed, well formed): flipped bits in
// each byte of the signed header, in each section and the signature block; the
// block cut, moved, duplicated, zeroed, or taken from `other` (another patch
// signed by the same key).
std::vector<Tampered> tamperings(const std::vector<unsigned char>& patch,
                                 const std::vector<unsigned char>& other);

}  // namespace rtptest

#endif
