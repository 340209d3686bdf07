#include "transaction.h"

#include <functional>
#include <new>

#include "operations.h"
#include "rtp/paths.h"
#include "rtp/stream.h"

namespace rtp {

namespace {

constexpr std::size_t kCopyBuffer = 64 * 1024;

}  // namespace

Transaction::Transaction(FileSystem& fs, const std::string& root, PatchReader& patch,
                         const std::vector<FileState>& states, const ApplyOptions& opts,
                         ProgressSink* progress)
    : fs_(fs),
      root_(root),
      patch_(patch),
      states_(states),
      opts_(opts),
      progress_(progress),
      journal_(fs, root),
      decoder_(patch.file(), patch.streams(), patch.tampered()) {}

std::string Transaction::run() {
  // A tree already at its new state is not written to at all (it may be
  // read-only).
  bool pending = false;
  for (FileState st : states_) pending = pending || st == FileState::Pending;
  try {
    if (pending) {
      journal_.begin(patch_.id());
      plan();
      clearStrays();
      journal_.write();
    }
    forward();
    if (journal_.unwritten()) journal_.write();
    if (pending) {
      // The originals' second names reach the disk before anything takes
      // their place; all new content before the commit.
      if (kept_) fs_.flush();
      swap();
      fs_.flush();
      commit();
    }
  } catch (const Error& e) {
    if (e.result() == Result::RollbackFailed) throw;
    rollBack(e.result(), e.what());
  } catch (const IoFailure& e) {
    rollBack(Result::IoError, e.what());
  } catch (const std::bad_alloc&) {
    rollBack(Result::InternalError, "out of memory");
  } catch (const std::exception& e) {
    rollBack(Result::InternalError, e.what());
  }
  // Committed: what is left is cleanup, which the next call repeats if this
  // one is cut short, so its failures do not fail the patch.
  std::string note = finishRecords(fs_, root_, journal_.records());
  if (note.empty()) {
    try {
      journal_.remove();
    } catch (const std::exception& e) {
      note = e.what();
    }
  }
  return note;
}

// A failed commit write leaves the disk holding the commit or not: only once
// an Abort record outweighs it may the patch be undone here. Without one the
// tree stays as it is, every new content in place and every original kept,
// from where the next call either finishes or undoes, whichever the journal
// proves.
void Transaction::commit() {
  try {
    journal_.commit();
  } catch (const std::exception& e) {
    if (!journal_.abort())
      throw Error(Result::RollbackFailed, std::string("cannot record the end of the patch (") +
                                              e.what() + "); the next call finishes or undoes it");
    throw;
  }
}

void Transaction::rollBack(Result result, const std::string& why) {
  std::string failed;
  try {
    // Before the journal is written no step has been taken, and an
    // engine name may still hold a stray that undoing would take for ours.
    if (journal_.started()) failed = undoRecords(fs_, root_, journal_.records());
    if (failed.empty()) journal_.remove();
  } catch (const std::exception& e) {
    failed = e.what();
  }
  if (!failed.empty())
    throw Error(Result::RollbackFailed, why + "; undoing the patch failed too (" + failed +
                                            "); the next call finishes the undo");
  throw Error(result, why);
}

void Transaction::cancelUnless(bool goOn) {
  if (!goOn) throw Error(Result::Cancelled, "cancelled by the caller");
}

// Called on whole-percent changes only, never per byte.
void Transaction::percent(int pct) {
  if (progress_ && pct > lastPercent_) {
    lastPercent_ = pct;
    cancelUnless(progress_->percent(pct));
  }
}

// Whatever an earlier run (or anyone else) left at an engine name goes, a
// link as itself; the name is then created afresh, never opened.
bool Transaction::removeStray(const std::string& rel) {
  const EntryType t = fs_.stat(path(rel)).type;
  if (t == EntryType::Directory)
    fs_.removeDir(path(rel));
  else if (t != EntryType::None)
    fs_.removeFile(path(rel));
  return t != EntryType::None;
}

void Transaction::plan() {
  const std::vector<PatchOp>& ops = patch_.ops();
  for (std::size_t i = 0; i < ops.size(); ++i) {
    if (states_[i] == FileState::Done) continue;
    const OpRules& rules = rulesOf(ops[i].kind);
    if (opts_.backup && rules.is(OpRules::BackedUp)) planBackUp(ops[i].path);
    rules.plan(*this, ops[i]);
  }
}

// Whatever an earlier run left at the engine's names goes before the
// journal says they are ours, and is gone on the disk before the journal is
// there: undoing would otherwise move a stray original back.
void Transaction::clearStrays() {
  bool removed = false;
  for (const Record& r : journal_.records())
    if (const auto strayOf = rulesOf(r.type).stray)
      removed = removeStray(strayOf(r.path)) || removed;
  if (removed) fs_.flush();
}

void Transaction::swap() {
  const std::vector<PatchOp>& ops = patch_.ops();
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const OpRules& rules = rulesOf(ops[i].kind);
    if (states_[i] != FileState::Done && rules.swap) rules.swap(*this, ops[i]);
  }
}

void Transaction::keep(const std::string& rel, const std::string& saved) {
  kept_ = fs_.keep(path(rel), path(saved)) || kept_;
}

// Every stream is read to its end and its hash compared before anything is
// swapped in, past the last pending operation too: what is staged comes from
// bytes that were checked, or is undone.
void Transaction::forward() {
  const std::vector<PatchOp>& ops = patch_.ops();
  std::size_t count = 0;
  for (const PatchOp& op : ops) count += rulesOf(op.kind).is(OpRules::IsFile);
  std::size_t index = 0;
  decoder_.checked([&] {
    for (std::size_t i = 0; i < ops.size(); ++i) {
      const PatchOp& op = ops[i];
      const OpRules& rules = rulesOf(op.kind);
      if (rules.is(OpRules::IsFile) && progress_) {
        lastPercent_ = -1;
        cancelUnless(progress_->beginFile(index, count));
        cancelUnless(progress_->fileName(op.path));
        percent(0);
      }
      if (rules.is(OpRules::IsFile)) ++index;
      if (states_[i] != FileState::Done) {
        if (opts_.backup && rules.is(OpRules::BackedUp)) backUp(op.path);
        rules.stage(*this, op);
      } else if (op.encoding != Encoding::None) {
        decoder_.decode(op, nullptr, nullptr);  // its share of the shared streams
      }
      if (rules.is(OpRules::IsFile)) percent(100);
    }
    decoder_.finish();
  });
}

bool Transaction::writeNew(const PatchOp& op) {
  auto createTemp = [&] {
    std::unique_ptr<File> out = fs_.create(path(tempName(op.path)));
    const std::uint32_t mode =
        rulesOf(op.kind).is(OpRules::KeepsMode) ? fs_.stat(path(op.path)).mode : op.mode;
    if (mode != 0) out->setMode(mode);
    return out;
  };
  auto progress = [&](std::uint64_t written) {
    percent(op.newSize == 0 ? 100 : static_cast<int>(written * 100 / op.newSize));
  };
  // One handle reads the original for both the decoder and the comparison:
  // Windows lets no other open it while it may be written.
  std::unique_ptr<File> original = openInPlace(op), old;
  if (op.encoding == Encoding::Delta && !original)
    old = fs_.openRead(path(op.reference.empty() ? op.path : op.reference));
  NewContentSink sink(original.get(), inPlaceBudgetOf(op.oldSize, inPlaceLeft_), createTemp,
                      progress);
  decoder_.decode(op, original ? original.get() : old.get(), &sink);
  if (sink.produced() != op.newSize || sink.digest() != op.newHash)
    throw Error(Result::PatchCorrupt, op.path + ": the patched content does not match its hash");
  if (!sink.inPlace()) return false;
  inPlaceLeft_ -= sink.cost();
  // The journal's records keep the original bytes; the swap needs only
  // the new ones.
  std::vector<Span> spans = sink.takeSpans();
  for (Span& s : spans) {
    for (std::size_t at = 0; at < s.before.size(); at += kMaxChangeBytes)
      journal_.addChange(op.path, s.offset + at, s.before.substr(at, kMaxChangeBytes));
    std::string().swap(s.before);
  }
  changes_[op.path] = std::move(spans);
  return true;
}

// A file marked read-only, or in use, is replaced, which may still work.
std::unique_ptr<File> Transaction::openInPlace(const PatchOp& op) {
  if (op.kind != OpKind::Modify || op.encoding != Encoding::Delta || op.oldSize != op.newSize ||
      inPlaceLeft_ <= kInPlaceFileCost || fs_.stat(path(op.path)).readOnly())
    return nullptr;
  try {
    return fs_.openUpdate(path(op.path));
  } catch (const IoFailure&) {
    return nullptr;
  }
}

// Durable with the swaps' flush, as the new files swapped in are.
void Transaction::changeInPlace(const PatchOp& op) {
  std::unique_ptr<File> f = fs_.openUpdate(path(op.path));
  for (const Span& s : changes_.at(op.path)) {
    f->seek(s.offset);
    f->write(s.after.data(), s.after.size());
  }
}

// The oldest original is the one worth keeping: an older backup stays.
void Transaction::planBackUp(const std::string& rel) {
  const std::string target = backupName(rel);
  Stat st = fs_.stat(path(target));
  if (st.type == EntryType::File) return;
  if (st.type != EntryType::None)
    throw Error(Result::WrongInstallation, "backup " + target + " is in the way");
  forEachComponent(parentRel(target), [&](const std::string& dir, const std::string&) {
    if (plannedDirs_.count(foldCase(dir))) return true;
    Stat d = fs_.stat(path(dir));
    if (d.type == EntryType::None) {
      journal_.add(Rec::MakeDir, dir);
      plannedDirs_.insert(foldCase(dir));
    } else if (d.type != EntryType::Directory) {
      throw Error(Result::WrongInstallation, "backup folder " + dir + " is in the way");
    }
    return true;
  });
  journal_.add(Rec::Temp, tempName(target));
  journal_.add(Rec::Backup, target);
}

// Takes the steps planBackUp journalled, finding the same tree.
void Transaction::backUp(const std::string& rel) {
  const std::string target = backupName(rel);
  if (fs_.stat(path(target)).type == EntryType::File) return;
  forEachComponent(parentRel(target), [&](const std::string& dir, const std::string&) {
    if (fs_.stat(path(dir)).type == EntryType::None) fs_.makeDir(path(dir));
    return true;
  });
  const std::string tmp = tempName(target);
  {
    std::unique_ptr<File> in = fs_.openRead(path(rel));
    std::unique_ptr<File> out = fs_.create(path(tmp));
    std::vector<unsigned char> buf(kCopyBuffer);
    for (;;) {
      std::size_t n = in->read(buf.data(), buf.size());
      if (n == 0) break;
      out->write(buf.data(), n);
    }
    // The copy is the original but for its place: read-only stays so.
    if (const std::uint32_t a = fs_.stat(path(rel)).attributes) out->setAttributes(a);
  }
  fs_.rename(path(tmp), path(target));
}

}  // namespace rtp
