#include "journal.h"

#include "rtp/bytes.h"
#include "rtp/paths.h"

#include <algorithm>
#include <cstring>

namespace rtp {

namespace {

std::uint32_t check32(const unsigned char* p, std::size_t n) {
  return static_cast<std::uint32_t>(hashBytes(p, n).low);
}

}  // namespace

// Length, type and payload, then a check value over type and payload.
std::vector<unsigned char> encodeRecord(Rec type, const std::string& payload) {
  const std::size_t n = 1 + payload.size();
  std::vector<unsigned char> out(4 + n + 4);
  bytes::setLe(out.data(), n, 4);
  out[4] = static_cast<unsigned char>(type);
  std::copy(payload.begin(), payload.end(), out.begin() + 5);
  bytes::setLe(out.data() + 4 + n, check32(out.data() + 4, n), 4);
  return out;
}

std::vector<Record> decodeJournal(const std::vector<unsigned char>& bytes) {
  std::vector<Record> out;
  std::size_t pos = 0;
  const std::size_t len = bytes.size();
  while (len - pos >= 4) {
    std::uint32_t n = bytes::le32(bytes.data() + pos);
    if (n == 0 || n > format::kMaxPathLength + 64 + kMaxChangeBytes || n > len - pos - 4 ||
        len - pos - 4 - n < 4)
      break;
    const unsigned char* body = bytes.data() + pos + 4;
    if (bytes::le32(body + n) != check32(body, n)) break;
    Record r{static_cast<Rec>(body[0]),
             std::string(reinterpret_cast<const char*>(body + 1), n - 1)};
    if (body[0] < static_cast<unsigned char>(Rec::Begin) ||
        body[0] > static_cast<unsigned char>(Rec::Change))
      break;
    if (r.type == Rec::Change) {
      const std::size_t end = r.path.find('\0');
      if (end == std::string::npos || r.path.size() - end - 1 < 8 ||
          r.path.size() - end - 1 - 8 > kMaxChangeBytes)
        break;
      r.offset = bytes::le64(reinterpret_cast<const unsigned char*>(r.path.data()) + end + 1);
      r.original = r.path.substr(end + 1 + 8);
      r.path.resize(end);
    } else if (r.path.size() > format::kMaxPathLength + 64) {
      break;
    }
    if (out.empty() != (r.type == Rec::Begin)) break;
    const bool named = r.type != Rec::Begin && r.type != Rec::Commit && r.type != Rec::Abort;
    if (named && !checkRelativePath(r.path, true).empty()) break;
    out.push_back(std::move(r));
    pos += 4 + n + 4;
  }
  return out;
}

Journal::Journal(FileSystem& fs, std::string root)
    : fs_(fs), root_(std::move(root)), path_(fs.join(root_, format::kJournalName)) {}

Journal::~Journal() = default;

void Journal::begin(const PatchId& patchId) {
  add(Rec::Begin, std::string(patchId.begin(), patchId.end()));
}

void Journal::add(Rec type, const std::string& path) {
  records_.push_back({type, path});
  std::vector<unsigned char> rec = encodeRecord(type, path);
  unwritten_.insert(unwritten_.end(), rec.begin(), rec.end());
}

void Journal::addChange(const std::string& path, std::uint64_t offset,
                        const std::string& original) {
  unsigned char at[8];
  bytes::setLe(at, offset, sizeof at);
  std::string payload = path + '\0';
  payload.append(reinterpret_cast<const char*>(at), sizeof at);
  payload += original;
  std::vector<unsigned char> rec = encodeRecord(Rec::Change, payload);
  unwritten_.insert(unwritten_.end(), rec.begin(), rec.end());
  records_.push_back({Rec::Change, path, offset, original});
}

void Journal::write() {
  const bool fresh = !file_;
  if (fresh) file_ = fs_.create(path_);
  std::vector<unsigned char> bytes;
  bytes.swap(unwritten_);
  file_->write(bytes.data(), bytes.size());
  // A new journal needs its name on the disk too, or no record is found; the
  // flush that puts it there puts its bytes there as well.
  if (fresh)
    fs_.flush();
  else
    file_->sync();
}

namespace {
std::string commitPayload(const std::vector<Record>& before) {
  std::string p = before.empty() ? std::string() : before.front().path;
  const std::size_t n = before.size();
  unsigned char count[4];
  bytes::setLe(count, n, sizeof count);
  p.append(reinterpret_cast<const char*>(count), sizeof count);
  return p;
}
}  // namespace

void Journal::commit() {
  const std::string payload = commitPayload(records_);
  std::vector<unsigned char> rec = encodeRecord(Rec::Commit, payload);
  file_->write(rec.data(), rec.size());
  file_->sync();
  records_.push_back({Rec::Commit, payload});
}

bool Journal::abort() {
  try {
    records_.push_back({Rec::Abort, std::string()});
    std::vector<unsigned char> rec = encodeRecord(Rec::Abort, std::string());
    file_->write(rec.data(), rec.size());
    file_->sync();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Only once every undo or finish step is on the disk may the journal go,
// and its going is made durable too: a call that returns is final.
void Journal::remove() {
  file_.reset();
  if (fs_.stat(path_).type == EntryType::None) return;
  fs_.flush();
  fs_.removeFile(path_);
  fs_.flush();
}

bool isCommitted(const std::vector<Record>& records) {
  bool committed = false;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].type == Rec::Abort) committed = false;
    if (records[i].type != Rec::Commit) continue;
    const std::vector<Record> before(records.begin(), records.begin() + static_cast<long>(i));
    committed = records[i].path == commitPayload(before);
  }
  return committed;
}

}  // namespace rtp
