// Two independent halves of a step of the make, the second on another
// thread: a make is one process on a machine with cores to spare. What
// each half makes depends on its input alone, so patches are the same
// whatever the timing.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>

namespace rtp {

// The one other thread the halves run on, kept for the process. On a virtual
// machine an idle core starts a thread 0.3 to 3.4 ms after it is asked to
// (measured here), as long as a small file's whole step; so the helper waits
// for its next half a while before it sleeps, handing its core to any other
// thread that wants it meanwhile.
namespace helper {

// Starts the helper, or keeps it awake, ahead of the halves to come.
void warm();
// Starts job on the helper and returns what to wait for; 0 when it is busy
// (both cores at work already: a tree's second file, or a half that splits
// again) or no thread is to be had.
std::uint64_t start(const std::function<void()>& job);
// Returns once the job start returned `ticket` for has run.
void finish(std::uint64_t ticket);

}  // namespace helper

// Runs a and b, at once if `atOnce` and the helper is free, and returns when
// both have; an exception either throws is thrown here (a's when both
// throw) once both are done. One after the other, a runs first.
template <class A, class B>
void both(bool atOnce, A&& a, B&& b) {
  std::exception_ptr bFailed;
  const std::function<void()> second = [&] {
    try {
      b();
    } catch (...) {
      bFailed = std::current_exception();
    }
  };
  const std::uint64_t ticket = atOnce ? helper::start(second) : 0;
  if (ticket == 0) {
    a();
    b();
    return;
  }
  try {
    a();
  } catch (...) {
    helper::finish(ticket);
    throw;
  }
  helper::finish(ticket);
  if (bFailed) std::rethrow_exception(bFailed);
}

}  // namespace rtp
