// Two independent halves of a step of the make, the second on a thread of
// its own: a make is one process on a machine with cores to spare. What
// each half makes depends on its input alone, so patches are the same
// whatever the timing.
#pragma once

#include <exception>
#include <system_error>
#include <thread>

namespace rtp {

// Runs a and b, at once if `atOnce` (small jobs run faster one after the
// other: a thread's start and its coder's fresh tables cost a millisecond
// or two), and returns when both have; an exception either throws is
// thrown here (a's when both throw) once both are done.
template <class A, class B>
void both(bool atOnce, A&& a, B&& b) {
  if (!atOnce) {
    a();
    b();
    return;
  }
  std::exception_ptr bFailed;
  std::thread other;
  try {
    other = std::thread([&] {
      try {
        b();
      } catch (...) {
        bFailed = std::current_exception();
      }
    });
  } catch (const std::system_error&) {  // no thread to be had
    a();
    b();
    return;
  }
  try {
    a();
  } catch (...) {
    other.join();
    throw;
  }
  other.join();
  if (bFailed) std::rethrow_exception(bFailed);
}

}  // namespace rtp
