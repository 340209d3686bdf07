// Write-ahead journal of one patch transaction: every step is recorded and
// flushed before it is taken, so the next call can undo an interrupted patch.
// The steps of a whole patch are recorded in one batch ahead of the first.
#ifndef RTP_JOURNAL_H
#define RTP_JOURNAL_H

#include <memory>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "rtp/format.h"
#include "rtp/fs.h"

namespace rtp {

enum class Rec : unsigned char {
  Begin = 1,      // payload: patch id
  MakeDir = 2,    // a folder is about to be created
  Temp = 3,       // a temporary file is about to be written
  Place = 4,      // a new file is about to be moved into place
  Replace = 5,    // a file is about to be replaced; original kept as <path>.rtp-old
  Delete = 6,     // a file is about to be moved to <path>.rtp-old
  Backup = 7,     // a backup copy is about to be moved into place
  RemoveDir = 8,  // a folder goes once the patch is committed
  Commit = 9,     // every new content is in place: finish instead of undoing.
                  // payload: the Begin's patch id and the number of records before it
  Abort = 10,     // the patch is being undone: an earlier Commit does not count
  Change = 11,    // bytes of a file are about to be changed where they are.
                  // payload: the path, a zero byte, the offset (u64) and the
                  // bytes there before
};

// The most bytes one Change record keeps.
constexpr std::size_t kMaxChangeBytes = 4096;

struct Record {
  Record(Rec t, std::string p, std::uint64_t at = 0, std::string before = std::string())
      : type(t), path(std::move(p)), offset(at), original(std::move(before)) {}
  Rec type;
  std::string path;
  // A Change's offset and original bytes.
  std::uint64_t offset;
  std::string original;
};

std::vector<unsigned char> encodeRecord(Rec type, const std::string& payload);

// Records of a journal image, up to the first torn or damaged one.
std::vector<Record> decodeJournal(const std::vector<unsigned char>& bytes);

class Journal {
 public:
  Journal(FileSystem& fs, std::string root);
  ~Journal();
  // Begin and add collect records in memory; write() puts them on the
  // disk, creating the journal the first time. The records stay in memory
  // too, so a failure in this process is undone without reading them back.
  void begin(const PatchId& patchId);
  void add(Rec type, const std::string& path);
  // A Change record; original holds at most kMaxChangeBytes. Journalled
  // after the others, so written by a write() of its own.
  void addChange(const std::string& path, std::uint64_t offset, const std::string& original);
  bool unwritten() const { return !unwritten_.empty(); }
  // Returns once the collected records and the journal's name are on the
  // disk. The caller takes none of their steps before.
  void write();
  // Whether any record may be on the disk (write() was tried).
  bool started() const { return file_ != nullptr; }
  // The commit counts once it is on the disk, and only then joins the
  // records. When this throws, the disk may hold it or not.
  void commit();
  // Records that the patch is being undone, which outweighs a commit that
  // may be on the disk; false when even that cannot be written.
  bool abort();
  const std::vector<Record>& records() const { return records_; }
  void remove();

 private:
  FileSystem& fs_;
  std::string root_;
  std::string path_;
  std::unique_ptr<File> file_;
  std::vector<Record> records_;
  std::vector<unsigned char> unwritten_;
};

// Whether records prove a commit: an intact Commit naming its Begin and
// its place, with no Abort after it.
bool isCommitted(const std::vector<Record>& records);

}  // namespace rtp

#endif
