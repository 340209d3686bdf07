#include "FaultyFs.h"

#include <algorithm>

namespace rtptest {

std::size_t FaultyFs::step(std::size_t n, bool tornWrite) {
  ++steps_;
  if (crashAt > 0 && steps_ > crashAt) throw rtp::IoFailure("simulated power loss");
  if (crashAt > 0 && steps_ == crashAt) {
    if (!tornWrite) throw rtp::IoFailure("simulated power loss");
    return n / 2;  // the caller writes this much, then fails
  }
  if ((failAt > 0 && steps_ == failAt) || (failAgainAt > 0 && steps_ == failAgainAt))
    throw rtp::IoFailure("simulated failure");
  return n;
}

namespace {
class FaultyFile : public rtp::File {
 public:
  FaultyFile(std::unique_ptr<rtp::File> f, FaultyFs& fs) : f_(std::move(f)), fs_(fs) {}
  std::size_t read(void* buf, std::size_t n) override { return f_->read(buf, n); }
  void write(const void* buf, std::size_t n) override {
    bool crashing = fs_.crashAt > 0 && fs_.steps() + 1 == fs_.crashAt;
    std::size_t allowed = fs_.step(n, true);
    if (crashing) {
      f_->write(buf, std::min(allowed, n));
      throw rtp::IoFailure("simulated power loss");
    }
    f_->write(buf, n);
  }
  void seek(std::uint64_t pos) override { f_->seek(pos); }
  std::uint64_t size() override { return f_->size(); }
  void sync() override {
    fs_.step();
    f_->sync();
  }
  void setMode(std::uint32_t mode) override {
    fs_.step();
    f_->setMode(mode);
  }

 private:
  std::unique_ptr<rtp::File> f_;
  FaultyFs& fs_;
};
}  // namespace

std::unique_ptr<rtp::File> FaultyFs::create(const std::string& path) {
  step();
  return std::unique_ptr<rtp::File>(new FaultyFile(real_.create(path), *this));
}

}  // namespace rtptest
