#include "recovery.h"

#include <vector>

#include "journal.h"
#include "operations.h"

namespace rtp {

std::string journalPath(FileSystem& fs, const std::string& root) {
  return fs.join(root, format::kJournalName);
}

Recovery recover(FileSystem& fs, const std::string& root) {
  const std::string jp = journalPath(fs, root);
  Stat st = fs.stat(jp);
  if (st.type == EntryType::None) return Recovery::Nothing;
  // The engine only ever creates the journal as a new plain file: anything
  // else there records nothing and goes as a stray entry.
  if (st.type == EntryType::Link || st.type == EntryType::Other) {
    try {
      fs.removeFile(jp);
    } catch (const IoFailure& e) {
      throw Error(Result::IoError,
                  std::string("cannot remove a stray entry at the journal's name: ") + e.what());
    }
    return Recovery::Nothing;
  }
  if (st.type != EntryType::File)
    throw Error(Result::RollbackFailed, "journal " + jp + " is not a file");
  // A sound journal stays far below this: the operations section is capped.
  if (st.size > (32u << 20)) throw Error(Result::RollbackFailed, "journal " + jp + " is too large");
  std::vector<unsigned char> bytes(static_cast<std::size_t>(st.size));
  try {
    std::unique_ptr<File> f = fs.openRead(jp);
    bytes.resize(f->read(bytes.data(), bytes.size()));
  } catch (const IoFailure& e) {
    throw Error(Result::RollbackFailed, std::string("cannot read the journal: ") + e.what());
  }
  std::vector<Record> records = decodeJournal(bytes);
  const bool committed = isCommitted(records);
  std::string failed =
      committed ? finishRecords(fs, root, records) : undoRecords(fs, root, records);
  if (!failed.empty())
    throw Error(Result::RollbackFailed, "cannot undo the interrupted patch: " + failed);
  // The journal goes only once the steps are on the disk.
  try {
    fs.flush();
    fs.removeFile(jp);
    fs.flush();
  } catch (const IoFailure& e) {
    throw Error(Result::RollbackFailed, std::string("cannot remove the journal: ") + e.what());
  }
  return committed ? Recovery::Finished : Recovery::RolledBack;
}

}  // namespace rtp
