// libFuzzer entry for the key-file reader; the seed replay test calls the
// same function on every test run. Each input is read as PEM text and as
// each DER structure, since the fuzzer finds its way from one to the other
// slowly.
#include <cstddef>
#include <cstdint>
#include <string>

#include "rtp/keyfile.h"

namespace {

namespace keyfile = rtp::keyfile;

// The passphrase the encrypted seeds were written with.
const std::string kPassphrase = "fuzzing passphrase";

// The platform's primitives, but PBKDF2 hashes at most a thousand times:
// a mutated count must not hold a run for seconds, and the seeds use no
// more. The count is checked before it gets here.
class Quick : public keyfile::Primitives {
 public:
  keyfile::Secret pbkdf2(keyfile::Prf prf, const std::string& passphrase,
                         const keyfile::Bytes& salt, unsigned iterations,
                         std::size_t length) override {
    if (iterations == 0 || iterations > keyfile::kMaxIterations) __builtin_trap();
    return keyfile::platformPrimitives().pbkdf2(prf, passphrase, salt,
                                                iterations < 1000 ? iterations : 1000, length);
  }
  bool aesCbc(bool encrypt, const keyfile::Secret& key, const keyfile::Bytes& iv,
              const keyfile::Bytes& in, keyfile::Bytes& out) override {
    return keyfile::platformPrimitives().aesCbc(encrypt, key, iv, in, out);
  }
  void random(unsigned char* out, std::size_t n) override {
    keyfile::platformPrimitives().random(out, n);
  }
};

// A key that was read writes and reads back as itself.
void roundTrip(const keyfile::PrivateKey& key) {
  if (!key.hasPoint) return;
  Quick quick;
  const keyfile::PrivateKey again =
      keyfile::readPrivateKey(keyfile::writePrivateKey(key, "", quick), "", "again", quick);
  if (again.d.bytes != key.d.bytes || again.point != key.point || !again.hasPoint) __builtin_trap();
}

}  // namespace

// How many of the readers accepted the input. Must never crash or hang.
int rtpFuzzReadKeyFile(const std::uint8_t* data, std::size_t size) {
  const std::string text(data, data + size);
  const keyfile::Bytes der(data, data + size);
  Quick quick;
  int accepted = 0;
  auto attempt = [&](auto read) {
    try {
      read();
      ++accepted;
    } catch (const rtp::KeyError&) {
    }
  };
  attempt([&] { roundTrip(keyfile::readPrivateKey(text, kPassphrase, "fuzz", quick)); });
  attempt([&] { keyfile::readPublicKey(text, "fuzz"); });
  attempt([&] { roundTrip(keyfile::readPrivateKeyInfo(der, "fuzz")); });
  attempt([&] { roundTrip(keyfile::readEcPrivateKey(der, "fuzz")); });
  attempt(
      [&] { roundTrip(keyfile::readEncryptedPrivateKeyInfo(der, kPassphrase, "fuzz", quick)); });
  attempt([&] { keyfile::readSubjectPublicKeyInfo(der, "fuzz"); });
  return accepted;
}

#ifdef RTP_FUZZ_KEYFILE
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  rtpFuzzReadKeyFile(data, size);
  return 0;
}
#endif
