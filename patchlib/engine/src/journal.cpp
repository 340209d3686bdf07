#include "journal.h"

#include <cstring>

namespace rtp {

namespace {

std::uint32_t check32(const unsigned char* p, std::size_t n) {
  return static_cast<std::uint32_t>(hashBytes(p, n).low);
}

std::uint32_t le32(const unsigned char* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

bool isDir(FileSystem& fs, const std::string& p) { return fs.stat(p).type == EntryType::Directory; }
bool isFile(FileSystem& fs, const std::string& p) { return fs.stat(p).type == EntryType::File; }

}  // namespace

std::vector<unsigned char> encodeRecord(Rec type, const std::string& payload) {
  std::vector<unsigned char> body;
  body.push_back(static_cast<unsigned char>(type));
  body.insert(body.end(), payload.begin(), payload.end());
  std::vector<unsigned char> out;
  putU32(out, static_cast<std::uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  putU32(out, check32(body.data(), body.size()));
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

void Journal::begin(const Hash128& patchId) {
  file_ = fs_.create(path_);
  std::string id;
  for (int i = 0; i < 8; ++i) id += static_cast<char>(patchId.low >> (8 * i));
  for (int i = 0; i < 8; ++i) id += static_cast<char>(patchId.high >> (8 * i));
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

std::string undoRecords(FileSystem& fs, const std::string& root, const std::vector<Record>& records) {
  std::string firstError;
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    const std::string p = fs.join(root, it->path);
    try {
      switch (it->type) {
        case Rec::MakeDir:
          if (isDir(fs, p) && fs.list(p).empty()) fs.removeDir(p);
          break;
        case Rec::Temp:
        case Rec::Place:
        case Rec::Backup:
          if (isFile(fs, p)) fs.removeFile(p);
          break;
        case Rec::Replace:
        case Rec::Delete: {
          const std::string saved = fs.join(root, it->path + format::kOldSuffix);
          if (isFile(fs, saved)) fs.rename(saved, p);
          break;
        }
        case Rec::Begin:
        case Rec::RemoveDir:
        case Rec::Commit:
          break;
      }
    } catch (const std::exception& e) {
      if (firstError.empty()) firstError = e.what();
    }
  }
  return firstError;
}

std::string finishRecords(FileSystem& fs, const std::string& root, const std::vector<Record>& records) {
  std::string firstError;
  for (int pass = 0; pass < 2; ++pass) {
    for (const Record& r : records) {
      try {
        if (pass == 0 && (r.type == Rec::Replace || r.type == Rec::Delete)) {
          const std::string saved = fs.join(root, r.path + format::kOldSuffix);
          if (isFile(fs, saved)) fs.removeFile(saved);
        } else if (pass == 0 && r.type == Rec::Temp) {
          const std::string p = fs.join(root, r.path);
          if (isFile(fs, p)) fs.removeFile(p);
        } else if (pass == 1 && r.type == Rec::RemoveDir) {
          // Only an empty folder goes: whatever the user put there stays.
          const std::string p = fs.join(root, r.path);
          if (isDir(fs, p) && fs.list(p).empty()) fs.removeDir(p);
        }
      } catch (const std::exception& e) {
        if (firstError.empty()) firstError = e.what();
      }
    }
  }
  return firstError;
}

}  // namespace rtp
