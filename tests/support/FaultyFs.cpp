#include "FaultyFs.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

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

namespace stdfs = std::filesystem;

std::string slurp(const stdfs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

void FaultyFs::keepOnlySynced(const std::string& root) {
  durableRoot_ = root;
  captureDurable();
}

void FaultyFs::captureDurable() {
  if (durableRoot_.empty()) return;
  durable_.clear();
  for (const auto& e : stdfs::recursive_directory_iterator(durableRoot_)) {
    const std::string rel = e.path().lexically_relative(durableRoot_).generic_string();
    durable_[rel] = e.is_directory() ? Entry{true, {}} : Entry{false, slurp(e.path())};
  }
}

void FaultyFs::synced(const std::string& path) {
  if (durableRoot_.empty()) return;
  auto it = durable_.find(stdfs::path(path).lexically_relative(durableRoot_).generic_string());
  if (it != durable_.end() && !it->second.dir) it->second.bytes = slurp(path);
}

void FaultyFs::powerCut() {
  if (durableRoot_.empty()) return;
  for (const auto& e : stdfs::directory_iterator(durableRoot_)) stdfs::remove_all(e.path());
  for (const auto& [rel, e] : durable_) {  // a folder sorts before its entries
    const stdfs::path p = stdfs::path(durableRoot_) / rel;
    if (e.dir) {
      stdfs::create_directory(p);
    } else {
      std::ofstream out(p, std::ios::binary);
      out.write(e.bytes.data(), static_cast<std::streamsize>(e.bytes.size()));
    }
  }
  durableRoot_.clear();
}

namespace {
class FaultyFile : public rtp::File {
 public:
  FaultyFile(std::unique_ptr<rtp::File> f, FaultyFs& fs, std::string path)
      : f_(std::move(f)), fs_(fs), path_(std::move(path)) {}
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
    fs_.countSync();
    f_->sync();
    fs_.synced(path_);
  }
  void setMode(std::uint32_t mode) override {
    fs_.step();
    f_->setMode(mode);
  }

 private:
  std::unique_ptr<rtp::File> f_;
  FaultyFs& fs_;
  std::string path_;
};
}  // namespace

std::unique_ptr<rtp::File> FaultyFs::create(const std::string& path) {
  step();
  return std::unique_ptr<rtp::File>(new FaultyFile(real_.create(path), *this, path));
}

}  // namespace rtptest
