#include <algorithm>
#include <functional>
#include <map>
#include <new>
#include <set>

#include "journal.h"
#include "rtp/engine.h"
#include "rtp/stream.h"

namespace rtp {

namespace {

constexpr std::size_t kCopyBuffer = 64 * 1024;

bool isFileOp(OpKind k) { return k == OpKind::Add || k == OpKind::Modify || k == OpKind::Delete; }

std::string parentRel(const std::string& rel) {
  std::size_t s = rel.rfind('/');
  return s == std::string::npos ? std::string() : rel.substr(0, s);
}

// Writes decoded bytes to the temporary file, hashing them and passing the
// running count on for progress.
class OutputSink : public ByteSink {
 public:
  OutputSink(File& out, std::function<void(std::uint64_t)> onWritten) : out_(out), onWritten_(std::move(onWritten)) {}
  void put(const unsigned char* data, std::size_t n) override {
    out_.write(data, n);
    hasher_.update(data, n);
    written_ += n;
    onWritten_(written_);
  }
  Hash128 digest() const { return hasher_.digest(); }
  std::uint64_t written() const { return written_; }

 private:
  File& out_;
  std::function<void(std::uint64_t)> onWritten_;
  Hasher hasher_;
  std::uint64_t written_ = 0;
};

std::string journalPath(FileSystem& fs, const std::string& root) { return fs.join(root, format::kJournalName); }

Hash128 hashPath(FileSystem& fs, const std::string& p) {
  std::unique_ptr<File> f = fs.openRead(p);
  return hashFile(*f);
}

// Compares the tree with what the patch expects, changing nothing.
std::vector<FileReport> examine(FileSystem& fs, const std::string& root, const std::vector<PatchOp>& ops,
                                std::vector<FileState>& states) {
  std::vector<FileReport> reports;
  std::set<std::string> made, deleted;
  std::map<std::string, bool> dirKnown;
  auto dirExists = [&](const std::string& rel) {
    if (rel.empty()) return true;
    std::string key = foldCase(rel);
    if (made.count(key)) return true;
    auto it = dirKnown.find(key);
    if (it != dirKnown.end()) return it->second;
    bool d = fs.stat(fs.join(root, rel)).type == EntryType::Directory;
    dirKnown[key] = d;
    return d;
  };
  std::set<std::string> madeLater;
  for (const PatchOp& op : ops)
    if (op.kind == OpKind::MakeDir) madeLater.insert(foldCase(op.path));
  states.clear();
  for (const PatchOp& op : ops) {
    FileReport rep;
    rep.path = op.path;
    rep.kind = op.kind;
    const std::string key = foldCase(op.path);
    const Stat st = fs.stat(fs.join(root, op.path));
    auto mismatch = [&](const std::string& why) {
      rep.state = FileState::Mismatch;
      rep.detail = why;
    };
    if (!dirExists(parentRel(op.path))) {
      // Whatever goes away with its folder gone is already gone.
      if (op.kind == OpKind::Delete || op.kind == OpKind::RemoveDir)
        rep.state = FileState::Done;
      else
        mismatch("folder " + parentRel(op.path) + " is missing");
    } else {
      switch (op.kind) {
        case OpKind::MakeDir:
          if (st.type == EntryType::Directory)
            rep.state = FileState::Done;
          else if (st.type == EntryType::None || (st.type == EntryType::File && deleted.count(key)))
            made.insert(key);
          else
            mismatch("exists and is not a folder");
          break;
        case OpKind::RemoveDir:
          if (st.type == EntryType::None)
            rep.state = FileState::Done;
          else if (st.type != EntryType::Directory)
            mismatch("is not a folder");
          break;
        case OpKind::Delete:
          if (st.type == EntryType::None || (st.type == EntryType::Directory && madeLater.count(key)))
            rep.state = FileState::Done;
          else if (st.type != EntryType::File)
            mismatch("is not a file");
          else if (st.size != op.oldSize || hashPath(fs, fs.join(root, op.path)) != op.oldHash)
            mismatch("differs from the file this patch removes");
          else
            deleted.insert(key);
          break;
        case OpKind::Add:
          if (st.type == EntryType::None)
            break;
          if (st.type == EntryType::File && st.size == op.newSize &&
              hashPath(fs, fs.join(root, op.path)) == op.newHash)
            rep.state = FileState::Done;
          else
            mismatch("exists with other content");
          break;
        case OpKind::Modify: {
          if (st.type != EntryType::File) {
            mismatch(st.type == EntryType::None ? "is missing" : "is not a file");
            break;
          }
          if (st.size != op.oldSize && st.size != op.newSize) {
            mismatch("has an unexpected size");
            break;
          }
          Hash128 h = hashPath(fs, fs.join(root, op.path));
          if (st.size == op.oldSize && h == op.oldHash)
            rep.state = FileState::Pending;
          else if (st.size == op.newSize && h == op.newHash)
            rep.state = FileState::Done;
          else
            mismatch("has unexpected content");
          break;
        }
      }
    }
    states.push_back(rep.state);
    reports.push_back(std::move(rep));
  }
  return reports;
}

// Carries out one examined patch under a journal.
class Transaction {
 public:
  Transaction(FileSystem& fs, const std::string& root, PatchReader& patch, const std::vector<FileState>& states,
              const ApplyOptions& opts, ProgressSink* progress)
      : fs_(fs), root_(root), patch_(patch), states_(states), opts_(opts), progress_(progress), journal_(fs, root) {}

  // Returns a note about leftovers (empty normally); throws on failure after
  // rolling back.
  std::string run() {
    // A tree already at its new state is not written to at all (it may be
    // read-only).
    bool pending = false;
    for (FileState st : states_) pending = pending || st == FileState::Pending;
    try {
      if (pending) journal_.begin(patch_.id());
      forward();
      if (pending) journal_.add(Rec::Commit, std::string());
    } catch (const Error& e) {
      rollBack(e.result(), e.what());
    } catch (const IoFailure& e) {
      rollBack(Result::IoError, e.what());
    } catch (const std::bad_alloc&) {
      rollBack(Result::InternalError, "out of memory");
    } catch (const std::exception& e) {
      rollBack(Result::InternalError, e.what());
    }
    // Committed: what is left is cleanup, which the next call repeats if
    // this one is cut short, so its failures do not fail the patch.
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

 private:
  [[noreturn]] void rollBack(Result result, const std::string& why) {
    std::string failed;
    try {
      failed = undoRecords(fs_, root_, journal_.records());
      if (failed.empty()) journal_.remove();
    } catch (const std::exception& e) {
      failed = e.what();
    }
    if (!failed.empty())
      throw Error(Result::RollbackFailed,
                  why + "; undoing the patch failed too (" + failed + "); the next call finishes the undo");
    throw Error(result, why);
  }

  void check(bool goOn) {
    if (!goOn) throw Error(Result::Cancelled, "cancelled by the caller");
  }

  // Called on whole-percent changes only, never per byte.
  void percent(int pct) {
    if (progress_ && pct > lastPercent_) {
      lastPercent_ = pct;
      check(progress_->percent(pct));
    }
  }

  std::string path(const std::string& rel) const { return fs_.join(root_, rel); }

  void removeStray(const std::string& rel) {
    if (fs_.stat(path(rel)).type == EntryType::File) fs_.removeFile(path(rel));
  }

  void forward() {
    const std::vector<PatchOp>& ops = patch_.ops();
    std::size_t count = 0;
    for (const PatchOp& op : ops) count += isFileOp(op.kind);
    std::size_t index = 0;
    for (std::size_t i = 0; i < ops.size(); ++i) {
      const PatchOp& op = ops[i];
      const bool done = states_[i] == FileState::Done;
      if (isFileOp(op.kind) && progress_) {
        lastPercent_ = -1;
        check(progress_->beginFile(index, count));
        check(progress_->fileName(op.path));
        percent(0);
      }
      if (isFileOp(op.kind)) ++index;
      if (!done) {
        switch (op.kind) {
          case OpKind::MakeDir:
            journal_.add(Rec::MakeDir, op.path);
            fs_.makeDir(path(op.path));
            break;
          case OpKind::RemoveDir:
            journal_.add(Rec::RemoveDir, op.path);
            break;
          case OpKind::Add: {
            std::string tmp = writeNew(op);
            journal_.add(Rec::Place, op.path);
            fs_.rename(path(tmp), path(op.path));
            break;
          }
          case OpKind::Modify: {
            if (opts_.backup) backUp(op.path);
            std::string tmp = writeNew(op);
            const std::string saved = op.path + format::kOldSuffix;
            removeStray(saved);
            journal_.add(Rec::Replace, op.path);
            fs_.replace(path(tmp), path(op.path), path(saved));
            break;
          }
          case OpKind::Delete: {
            if (opts_.backup) backUp(op.path);
            const std::string saved = op.path + format::kOldSuffix;
            removeStray(saved);
            journal_.add(Rec::Delete, op.path);
            fs_.rename(path(op.path), path(saved));
            break;
          }
        }
      }
      if (isFileOp(op.kind)) percent(100);
    }
  }

  // Writes the new content beside its target and checks it there.
  std::string writeNew(const PatchOp& op) {
    const std::string tmp = op.path + format::kNewSuffix;
    removeStray(tmp);
    journal_.add(Rec::Temp, tmp);
    Hash128 got;
    std::uint64_t size;
    {
      std::unique_ptr<File> out = fs_.create(path(tmp));
      std::unique_ptr<File> old;
      if (op.encoding == Encoding::Delta) old = fs_.openRead(path(op.path));
      OutputSink sink(*out, [&](std::uint64_t written) {
        percent(op.newSize == 0 ? 100 : static_cast<int>(written * 100 / op.newSize));
      });
      decodeStream(patch_.file(), patch_.dataSectionOffset(), op, old.get(), sink);
      out->sync();
      got = sink.digest();
      size = sink.written();
    }
    if (size != op.newSize || got != op.newHash)
      throw Error(Result::PatchCorrupt, op.path + ": the patched content does not match its hash");
    return tmp;
  }

  // Copies the original below backup/, unless an older backup is there:
  // the oldest original is the one worth keeping.
  void backUp(const std::string& rel) {
    const std::string target = std::string(format::kBackupDir) + "/" + rel;
    Stat st = fs_.stat(path(target));
    if (st.type == EntryType::File) return;
    if (st.type != EntryType::None) throw IoFailure("backup " + target + " is in the way");
    std::size_t from = 0;
    for (;;) {
      std::size_t s = target.find('/', from);
      if (s == std::string::npos) break;
      const std::string dir = target.substr(0, s);
      Stat d = fs_.stat(path(dir));
      if (d.type == EntryType::None) {
        journal_.add(Rec::MakeDir, dir);
        fs_.makeDir(path(dir));
      } else if (d.type != EntryType::Directory) {
        throw IoFailure("backup folder " + dir + " is in the way");
      }
      from = s + 1;
    }
    const std::string tmp = target + format::kNewSuffix;
    removeStray(tmp);
    journal_.add(Rec::Temp, tmp);
    {
      std::unique_ptr<File> in = fs_.openRead(path(rel));
      std::unique_ptr<File> out = fs_.create(path(tmp));
      std::vector<unsigned char> buf(kCopyBuffer);
      for (;;) {
        std::size_t n = in->read(buf.data(), buf.size());
        if (n == 0) break;
        out->write(buf.data(), n);
      }
      out->sync();
    }
    journal_.add(Rec::Backup, target);
    fs_.rename(path(tmp), path(target));
  }

  FileSystem& fs_;
  std::string root_;
  PatchReader& patch_;
  const std::vector<FileState>& states_;
  ApplyOptions opts_;
  ProgressSink* progress_;
  int lastPercent_ = -1;
  Journal journal_;
};

Outcome failure(Result r, const std::string& message) {
  Outcome o;
  o.result = r;
  o.message = message;
  return o;
}

// Turns whatever escaped into a result; nothing leaves the API as an exception.
template <typename F>
Outcome guarded(F&& body) {
  try {
    return body();
  } catch (const Error& e) {
    return failure(e.result(), e.what());
  } catch (const IoFailure& e) {
    return failure(Result::IoError, e.what());
  } catch (const std::bad_alloc&) {
    return failure(Result::InternalError, "out of memory");
  } catch (const std::exception& e) {
    return failure(Result::InternalError, e.what());
  } catch (...) {
    return failure(Result::InternalError, "unexpected failure");
  }
}

std::unique_ptr<File> openPatch(FileSystem& fs, const std::string& patchPath) {
  try {
    if (fs.stat(patchPath).type != EntryType::File)
      throw Error(Result::PatchUnreadable, "patch file " + patchPath + " not found");
    return fs.openRead(patchPath);
  } catch (const IoFailure& e) {
    throw Error(Result::PatchUnreadable, e.what());
  }
}

void requireProductDir(FileSystem& fs, const std::string& dir) {
  if (dir.empty() || fs.stat(dir).type != EntryType::Directory)
    throw Error(Result::BadArguments, "product folder " + dir + " not found");
}

// Rolls back (or, if it had committed, finishes) an interrupted patch.
bool recover(FileSystem& fs, const std::string& root) {
  const std::string jp = journalPath(fs, root);
  Stat st = fs.stat(jp);
  if (st.type == EntryType::None) return false;
  if (st.type != EntryType::File) throw Error(Result::RollbackFailed, "journal " + jp + " is not a file");
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
  std::string failed = isCommitted(records) ? finishRecords(fs, root, records) : undoRecords(fs, root, records);
  if (!failed.empty()) throw Error(Result::RollbackFailed, "cannot undo the interrupted patch: " + failed);
  try {
    fs.removeFile(jp);
  } catch (const IoFailure& e) {
    throw Error(Result::RollbackFailed, std::string("cannot remove the journal: ") + e.what());
  }
  return true;
}

const FileReport* firstMismatch(const std::vector<FileReport>& files) {
  for (const FileReport& f : files)
    if (f.state == FileState::Mismatch) return &f;
  return nullptr;
}

}  // namespace

Outcome readPatch(File& patch, std::vector<PatchOp>* ops, Hash128* id) {
  return guarded([&] {
    PatchReader reader(patch);
    reader.load();
    if (ops) *ops = reader.ops();
    if (id) *id = reader.id();
    return Outcome();
  });
}

Outcome verifyPatch(FileSystem& fs, const std::string& patchPath, const std::string& productDir) {
  return guarded([&] {
    requireProductDir(fs, productDir);
    std::unique_ptr<File> file = openPatch(fs, patchPath);
    PatchReader reader(*file);
    reader.load();
    Outcome out;
    std::vector<FileState> states;
    out.files = examine(fs, productDir, reader.ops(), states);
    if (const FileReport* bad = firstMismatch(out.files)) {
      out.result = Result::WrongInstallation;
      out.message = bad->path + " " + bad->detail;
    }
    if (fs.stat(journalPath(fs, productDir)).type != EntryType::None)
      out.message += std::string(out.message.empty() ? "" : "; ") +
                     "an interrupted patch is recorded and will be rolled back first";
    return out;
  });
}

Outcome recoverInterrupted(FileSystem& fs, const std::string& productDir) {
  return guarded([&] {
    requireProductDir(fs, productDir);
    Outcome out;
    out.recoveredJournal = recover(fs, productDir);
    return out;
  });
}

Outcome applyPatch(FileSystem& fs, const std::string& patchPath, const std::string& productDir,
                   const ApplyOptions& options, ProgressSink* progress) {
  bool recovered = false;
  Outcome out = guarded([&] {
    requireProductDir(fs, productDir);
    std::unique_ptr<File> file = openPatch(fs, patchPath);
    PatchReader reader(*file);
    reader.load();
    // Only a sound patch may touch the tree, even to finish an old one.
    recovered = recover(fs, productDir);
    Outcome o;
    std::vector<FileState> states;
    o.files = examine(fs, productDir, reader.ops(), states);
    if (const FileReport* bad = firstMismatch(o.files))
      throw Error(Result::WrongInstallation, bad->path + " " + bad->detail);
    Transaction tx(fs, productDir, reader, states, options, progress);
    o.message = tx.run();
    return o;
  });
  out.recoveredJournal = recovered;
  return out;
}

bool parseCommandLine(const std::string& text, CommandLine& out, std::string* error) {
  out = CommandLine();
  std::vector<std::string> positional;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    if (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n') {
      ++i;
      continue;
    }
    if (text[i] == '"') {
      std::size_t close = text.find('"', i + 1);
      if (close == std::string::npos) {
        if (error) *error = "unbalanced quote";
        return false;
      }
      positional.push_back(text.substr(i + 1, close - i - 1));
      i = close + 1;
      continue;
    }
    std::size_t end = i;
    while (end < n && text[end] != ' ' && text[end] != '\t' && text[end] != '\r' && text[end] != '\n') ++end;
    std::string tok = text.substr(i, end - i);
    i = end;
    if (tok[0] == '/') {
      std::string opt = foldCase(tok);
      if (opt == "/b")
        out.options.backup = true;
      else if (opt == "/nob")
        out.options.backup = false;
      // Other switches belong to other tools of the updater.
    } else {
      positional.push_back(tok);
    }
  }
  if (positional.size() != 2 || positional[0].empty() || positional[1].empty()) {
    if (error) *error = "expected a patch file and a product folder";
    return false;
  }
  out.patchPath = positional[0];
  out.productDir = positional[1];
  return true;
}

Outcome applyCommandLine(FileSystem& fs, const std::string& text, ProgressSink* progress) {
  CommandLine cl;
  std::string err;
  if (!parseCommandLine(text, cl, &err)) return failure(Result::BadArguments, err);
  return applyPatch(fs, cl.patchPath, cl.productDir, cl.options, progress);
}

}  // namespace rtp
