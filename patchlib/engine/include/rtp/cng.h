// CNG (bcrypt.dll) pieces shared by the engine's hashing and verifying and
// the maker's keys. Windows builds only.
#pragma once

#include <windows.h>
// bcrypt.h needs windows.h first.
#include <bcrypt.h>

#include <string>

namespace rtp {
namespace cng {

constexpr NTSTATUS kSuccess = 0;

// "what (0x........)": the failing step and CNG's status, for messages.
std::string describe(const std::string& what, NTSTATUS status);

// Throws rtp::Error (internal error): the platform refused an algorithm.
[[noreturn]] void failToOpen(LPCWSTR algorithm, NTSTATUS status);

// An open algorithm provider, closed with its owner.
class Provider {
 public:
  explicit Provider(LPCWSTR algorithm, ULONG flags = 0) {
    const NTSTATUS st = BCryptOpenAlgorithmProvider(&handle_, algorithm, nullptr, flags);
    if (st != kSuccess) failToOpen(algorithm, st);
  }
  ~Provider() { BCryptCloseAlgorithmProvider(handle_, 0); }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
  BCRYPT_ALG_HANDLE get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

}  // namespace cng
}  // namespace rtp
