#include "operations.h"

#include "rtp/paths.h"
#include "transaction.h"

namespace rtp {

namespace {

Hash128 hashOf(Examination& ex, const PatchOp& op) {
  std::unique_ptr<File> f = ex.fs.openRead(ex.path(op.path));
  return hashFile(*f);
}

bool isDir(FileSystem& fs, const std::string& p) { return fs.stat(p).type == EntryType::Directory; }
bool isFile(FileSystem& fs, const std::string& p) { return fs.stat(p).type == EntryType::File; }

std::string itself(const std::string& rel) { return rel; }

// Undo and finish steps shared by several records.
void nothing(FileSystem&, const std::string&, const Record&) {}
void removeFileIfThere(FileSystem& fs, const std::string& root, const std::string& rel) {
  const std::string p = fs.join(root, rel);
  if (isFile(fs, p)) fs.removeFile(p);
}
void removeIfThere(FileSystem& fs, const std::string& root, const Record& r) {
  removeFileIfThere(fs, root, r.path);
}
// Only an empty folder goes: whatever the user put there stays.
void removeDirIfEmpty(FileSystem& fs, const std::string& root, const Record& r) {
  const std::string p = fs.join(root, r.path);
  if (isDir(fs, p) && fs.list(p).empty()) fs.removeDir(p);
}
void restoreSaved(FileSystem& fs, const std::string& root, const Record& r) {
  const std::string saved = fs.join(root, savedName(r.path));
  if (isFile(fs, saved)) fs.rename(saved, fs.join(root, r.path));
}
void removeSaved(FileSystem& fs, const std::string& root, const Record& r) {
  removeFileIfThere(fs, root, savedName(r.path));
}
// The bytes as they were, whether none, some or all were changed; a file
// gone or cut short since is not the one changed. Durable with the flush
// before the journal goes.
void restoreBytes(FileSystem& fs, const std::string& root, const Record& r) {
  const std::string p = fs.join(root, r.path);
  const Stat st = fs.stat(p);
  if (st.type != EntryType::File || r.offset > st.size || r.original.size() > st.size - r.offset)
    return;
  std::unique_ptr<File> f = fs.openUpdate(p);
  f->seek(r.offset);
  f->write(r.original.data(), r.original.size());
}

// mkdir
FileState examineMakeDir(Examination& ex, const PatchOp& op, const Stat& st, std::string& why) {
  const std::string key = foldCase(op.path);
  if (st.type == EntryType::Directory) return FileState::Done;
  if (st.type == EntryType::None || (st.type == EntryType::File && ex.deleted.count(key))) {
    ex.made.insert(key);
    return FileState::Pending;
  }
  why = "exists and is not a folder";
  return FileState::Mismatch;
}
void planMakeDir(Transaction& tx, const PatchOp& op) { tx.journal(Rec::MakeDir, op.path); }
void stageMakeDir(Transaction& tx, const PatchOp& op) { tx.fs().makeDir(tx.path(op.path)); }

// add
FileState examineAdd(Examination& ex, const PatchOp& op, const Stat& st, std::string& why) {
  if (st.type == EntryType::None) return FileState::Pending;
  if (st.type == EntryType::File && st.size == op.newSize && hashOf(ex, op) == op.newHash)
    return FileState::Done;
  why = "exists with other content";
  return FileState::Mismatch;
}
void planAdd(Transaction& tx, const PatchOp& op) {
  tx.journal(Rec::Temp, tempName(op.path));
  tx.journal(Rec::Place, op.path);
}
void stageAdd(Transaction& tx, const PatchOp& op) { tx.writeNew(op); }
void swapAdd(Transaction& tx, const PatchOp& op) {
  tx.fs().rename(tx.path(tempName(op.path)), tx.path(op.path));
}

// modify
FileState examineModify(Examination& ex, const PatchOp& op, const Stat& st, std::string& why) {
  if (st.type != EntryType::File) {
    why = st.type == EntryType::None ? "is missing" : "is not a file";
    return FileState::Mismatch;
  }
  if (st.size != op.oldSize && st.size != op.newSize) {
    why = "has an unexpected size";
    return FileState::Mismatch;
  }
  const Hash128 h = hashOf(ex, op);
  if (st.size == op.oldSize && h == op.oldHash) return FileState::Pending;
  if (st.size == op.newSize && h == op.newHash) return FileState::Done;
  why = "has unexpected content";
  return FileState::Mismatch;
}
void planModify(Transaction& tx, const PatchOp& op) {
  tx.journal(Rec::Temp, tempName(op.path));
  tx.journal(Rec::Replace, op.path);
}
void stageModify(Transaction& tx, const PatchOp& op) {
  if (!tx.writeNew(op)) tx.keep(op.path, savedName(op.path));
}
void swapModify(Transaction& tx, const PatchOp& op) {
  if (tx.changesInPlace(op)) return tx.changeInPlace(op);
  tx.fs().replace(tx.path(tempName(op.path)), tx.path(op.path), tx.path(savedName(op.path)));
}

// delete
FileState examineDelete(Examination& ex, const PatchOp& op, const Stat& st, std::string& why) {
  const std::string key = foldCase(op.path);
  if (st.type == EntryType::None || (st.type == EntryType::Directory && ex.madeLater.count(key)))
    return FileState::Done;
  if (st.type != EntryType::File) {
    why = "is not a file";
    return FileState::Mismatch;
  }
  if (st.size != op.oldSize || hashOf(ex, op) != op.oldHash) {
    why = "differs from the file this patch removes";
    return FileState::Mismatch;
  }
  ex.deleted.insert(key);
  return FileState::Pending;
}
void planDelete(Transaction& tx, const PatchOp& op) { tx.journal(Rec::Delete, op.path); }
void stageDelete(Transaction& tx, const PatchOp& op) {
  tx.fs().rename(tx.path(op.path), tx.path(savedName(op.path)));
}

// rmdir: the folder goes when the patch is committed, once it is empty.
FileState examineRemoveDir(Examination&, const PatchOp&, const Stat& st, std::string& why) {
  if (st.type == EntryType::None) return FileState::Done;
  if (st.type == EntryType::Directory) return FileState::Pending;
  why = "is not a folder";
  return FileState::Mismatch;
}
void planRemoveDir(Transaction& tx, const PatchOp& op) { tx.journal(Rec::RemoveDir, op.path); }
void stageNothing(Transaction&, const PatchOp&) {}

}  // namespace

bool Examination::dirExists(const std::string& rel) {
  if (rel.empty()) return true;
  const std::string key = foldCase(rel);
  if (made.count(key)) return true;
  auto it = dirKnown.find(key);
  if (it != dirKnown.end()) return it->second;
  const bool d = fs.stat(path(rel)).type == EntryType::Directory;
  dirKnown[key] = d;
  return d;
}

std::string tempName(const std::string& rel) { return rel + format::kNewSuffix; }
std::string savedName(const std::string& rel) { return rel + format::kOldSuffix; }
std::string backupName(const std::string& rel) {
  return std::string(format::kBackupDir) + "/" + rel;
}

const OpRules& rulesOf(OpKind kind) {
  using R = OpRules;
  constexpr unsigned kAdd = R::IsFile | R::CarriesNew | R::ModeFromPatch;
  constexpr unsigned kModify =
      R::IsFile | R::CarriesOld | R::CarriesNew | R::BackedUp | R::KeepsMode;
  constexpr unsigned kDelete = R::IsFile | R::CarriesOld | R::Removes | R::BackedUp;
  static const OpRules makeDir{"mkdir", 0, examineMakeDir, planMakeDir, stageMakeDir, nullptr};
  static const OpRules add{"add", kAdd, examineAdd, planAdd, stageAdd, swapAdd};
  static const OpRules modify{"modify",   kModify,     examineModify,
                              planModify, stageModify, swapModify};
  static const OpRules del{"delete", kDelete, examineDelete, planDelete, stageDelete, nullptr};
  static const OpRules removeDir{"rmdir",       R::Removes,   examineRemoveDir,
                                 planRemoveDir, stageNothing, nullptr};
  switch (kind) {
    case OpKind::MakeDir:
      return makeDir;
    case OpKind::Add:
      return add;
    case OpKind::Modify:
      return modify;
    case OpKind::Delete:
      return del;
    case OpKind::RemoveDir:
      return removeDir;
  }
  throw Error(Result::InternalError, "unknown operation kind");
}

const RecordRules& rulesOf(Rec type) {
  static const RecordRules marker{nothing, nothing, false, nullptr};
  static const RecordRules makeDir{removeDirIfEmpty, nothing, false, nullptr};
  static const RecordRules temp{removeIfThere, removeIfThere, false, itself};
  static const RecordRules placed{removeIfThere, nothing, false, nullptr};
  static const RecordRules changed{restoreBytes, nothing, false, nullptr};
  static const RecordRules replaced{restoreSaved, removeSaved, false, savedName};
  static const RecordRules removeDir{nothing, removeDirIfEmpty, true, nullptr};
  switch (type) {
    case Rec::Begin:
    case Rec::Commit:
    case Rec::Abort:
      return marker;
    case Rec::MakeDir:
      return makeDir;
    case Rec::Temp:
      return temp;
    case Rec::Place:
    case Rec::Backup:
      return placed;
    case Rec::Replace:
    case Rec::Delete:
      return replaced;
    case Rec::RemoveDir:
      return removeDir;
    case Rec::Change:
      return changed;
  }
  throw Error(Result::InternalError, "unknown journal record");
}

const char* opKindName(OpKind k) {
  try {
    return rulesOf(k).name;
  } catch (const Error&) {
    return "?";
  }
}

bool carriesOld(OpKind k) { return rulesOf(k).is(OpRules::CarriesOld); }
bool carriesNew(OpKind k) { return rulesOf(k).is(OpRules::CarriesNew); }

std::string undoRecords(FileSystem& fs, const std::string& root,
                        const std::vector<Record>& records) {
  std::string firstError;
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    try {
      rulesOf(it->type).undo(fs, root, *it);
    } catch (const std::exception& e) {
      if (firstError.empty()) firstError = e.what();
    }
  }
  return firstError;
}

std::string finishRecords(FileSystem& fs, const std::string& root,
                          const std::vector<Record>& records) {
  std::string firstError;
  for (bool last : {false, true}) {
    for (const Record& r : records) {
      const RecordRules& rules = rulesOf(r.type);
      if (rules.finishLast != last) continue;
      try {
        rules.finish(fs, root, r);
      } catch (const std::exception& e) {
        if (firstError.empty()) firstError = e.what();
      }
    }
  }
  return firstError;
}

}  // namespace rtp
