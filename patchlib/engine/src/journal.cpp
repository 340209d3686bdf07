#include "journal.h"

#include "rtp/paths.h"

#include <algorithm>
#include <cstring>

namespace rtp {

namespace {

std::uint32_t check32(const unsigned char* p, std::size_t n) {
  return static_cast<std::uint32_t>(hashBytes(p, n).low);
}

std::uint32_t le32(const unsigned char* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

void setU32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

// Length, type and payload, then a check value over type and payload.
std::vector<unsigned char> encodeRecord(Rec type, const std::string& payload) {
  const std::size_t n = 1 + payload.size();
  std::vector<unsigned char> out(4 + n + 4);
  setU32(out.data(), static_cast<std::uint32_t>(n));
  out[4] = static_cast<unsigned char>(type);
  std::copy(payload.begin(), payload.end(), out.begin() + 5);
  setU32(out.data() + 4 + n, check32(out.data() + 4, n));
  return out;
}

std::vector<Record> decodeJournal(const std::vector<unsigned char>& bytes) {
  std::vector<Record> out;
  std::size_t pos = 0;
  const std::size_t len = bytes.size();
  while (len - pos >= 4) {
    std::uint32_t n = le32(bytes.data() + pos);
    if (n == 0 || n > format::kMaxPathLength + 64 || n > len - pos - 4 || len - pos - 4 - n < 4) break;
    const unsigned char* body = bytes.data() + pos + 4;
    if (le32(body + n) != check32(body, n)) break;
    Record r{static_cast<Rec>(body[0]), std::string(reinterpret_cast<const char*>(body + 1), n - 1)};
    if (body[0] < 1 || body[0] > 9) break;
    if (out.empty() != (r.type == Rec::Begin)) break;
    if (r.type != Rec::Begin && r.type != Rec::Commit && !checkRelativePath(r.path, true).empty()) break;
    out.push_back(std::move(r));
    pos += 4 + n + 4;
  }
  return out;
}

Journal::Journal(FileSystem& fs, std::string root)
    : fs_(fs), root_(std::move(root)), path_(fs.join(root_, format::kJournalName)) {}

Journal::~Journal() = default;

void Journal::begin(const PatchId& patchId) {
  file_ = fs_.create(path_);
  const std::string id(patchId.begin(), patchId.end());
  records_.push_back({Rec::Begin, id});
  std::vector<unsigned char> rec = encodeRecord(Rec::Begin, id);
  file_->write(rec.data(), rec.size());
  file_->sync();
}

void Journal::add(Rec type, const std::string& path) {
  records_.push_back({type, path});
  std::vector<unsigned char> rec = encodeRecord(type, path);
  file_->write(rec.data(), rec.size());
  file_->sync();
}

void Journal::remove() {
  file_.reset();
  if (fs_.stat(path_).type != EntryType::None) fs_.removeFile(path_);
}

bool isCommitted(const std::vector<Record>& records) {
  for (const Record& r : records)
    if (r.type == Rec::Commit) return true;
  return false;
}

}  // namespace rtp
