#include "both.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace rtp {
namespace helper {

namespace {

using Clock = std::chrono::steady_clock;

// How long either side waits awake: longer than the gaps between a small
// file's steps, short beside a large file's.
constexpr auto kAwake = std::chrono::milliseconds(20);

// Waits, its core handed to any other thread that wants it, until done()
// or the deadline; true if done() was.
template <class Done>
bool awake(Clock::time_point until, Done&& done) {
  while (!done()) {
    if (Clock::now() >= until) return false;
#ifdef __SSE2__
    for (int i = 0; i < 64; ++i) _mm_pause();
#endif
    std::this_thread::yield();
  }
  return true;
}

class Helper {
 public:
  void warm() {
    const std::lock_guard<std::mutex> held(lock_);
    until_ = Clock::now() + kAwake;
    if (startThread()) wake_.notify_one();
  }

  std::uint64_t start(const std::function<void()>& job) {
    const std::lock_guard<std::mutex> held(lock_);
    if (job_ || !startThread()) return 0;
    job_ = &job;
    wake_.notify_one();
    return finished_ + 1;  // one job at a time: the next to finish
  }

  void finish(std::uint64_t ticket) {
    auto done = [&] { return finished_ >= ticket; };
    if (awake(Clock::now() + kAwake, done)) return;
    std::unique_lock<std::mutex> held(lock_);
    finishedCv_.wait(held, done);
  }

 private:
  // With lock_ held.
  bool startThread() {
    if (!started_) {
      try {
        std::thread([this] { run(); }).detach();
      } catch (const std::system_error&) {
        return false;
      }
      started_ = true;
    }
    return true;
  }

  void run() {
    std::unique_lock<std::mutex> held(lock_);
    for (;;) {
      const Clock::time_point until = until_;
      held.unlock();
      awake(until, [&] { return job_ != nullptr; });
      held.lock();
      wake_.wait(held, [&] { return job_ != nullptr || Clock::now() < until_; });
      if (!job_) continue;
      const std::function<void()>& job = *job_;
      held.unlock();
      job();  // never throws: both() catches for it
      held.lock();
      job_ = nullptr;
      ++finished_;
      until_ = Clock::now() + kAwake;
      finishedCv_.notify_all();
    }
  }

  std::mutex lock_;
  std::condition_variable wake_, finishedCv_;
  bool started_ = false;
  std::atomic<const std::function<void()>*> job_{nullptr};
  std::atomic<std::uint64_t> finished_{0};
  Clock::time_point until_ = Clock::now() + kAwake;
};

// Never destroyed: its thread may still wait when the process ends.
Helper& theHelper() {
  static Helper* h = new Helper;
  return *h;
}

}  // namespace

void warm() { theHelper().warm(); }
std::uint64_t start(const std::function<void()>& job) { return theHelper().start(job); }
void finish(std::uint64_t ticket) { theHelper().finish(ticket); }

}  // namespace helper
}  // namespace rtp
