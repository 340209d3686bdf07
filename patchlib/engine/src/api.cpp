// The engine's entry points: nothing leaves them as an exception.
#include <new>

#include "examine.h"
#include "recovery.h"
#include "rtp/engine.h"
#include "transaction.h"

namespace rtp {

namespace {

Outcome failure(Result r, const std::string& message) {
  Outcome o;
  o.result = r;
  o.message = message;
  return o;
}

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

// The product folder itself may be reached through a link or junction.
void requireProductDir(FileSystem& fs, const std::string& dir) {
  const Stat st = dir.empty() ? Stat() : fs.stat(dir);
  const bool isDir = st.type == EntryType::Directory ||
                     (st.type == EntryType::Link && st.linkTarget == EntryType::Directory);
  if (!isDir) throw Error(Result::BadArguments, "product folder " + dir + " not found");
}

const FileReport* firstMismatch(const std::vector<FileReport>& files) {
  for (const FileReport& f : files)
    if (f.state == FileState::Mismatch) return &f;
  return nullptr;
}

// Loads the patch, keeping what it is signed for even when it is refused.
void load(PatchReader& reader, Binding& seen) {
  try {
    reader.load();
  } catch (...) {
    seen = reader.binding();
    throw;
  }
  seen = reader.binding();
}

}  // namespace

Outcome readPatch(File& patch, const crypto::PublicKey* trusted, std::vector<PatchOp>* ops,
                  PatchInfo* info, const Binding& required) {
  PatchReader reader(patch, trusted, required);
  Outcome out = guarded([&] {
    reader.load();
    reader.checkStreams();
    if (ops) *ops = reader.ops();
    return Outcome();
  });
  if (info) {
    info->id = reader.id();
    info->signer = reader.signerKeyId();
    info->binding = reader.binding();
  }
  return out;
}

Outcome verifyPatch(FileSystem& native, const std::string& patchPath, const std::string& productDir,
                    const crypto::PublicKey& trusted, const Binding& required) {
  Binding seen;
  Outcome result = guarded([&] {
    requireProductDir(native, productDir);
    std::unique_ptr<FileSystem> confined = native.confine(productDir);
    FileSystem& fs = *confined;
    std::unique_ptr<File> file = openPatch(fs, patchPath);
    PatchReader reader(*file, &trusted, required);
    load(reader, seen);
    reader.checkStreams();
    Outcome out;
    std::vector<FileState> states;
    out.files = examine(fs, productDir, reader.ops(), ApplyOptions(), states);
    if (const FileReport* bad = firstMismatch(out.files)) {
      out.result = Result::WrongInstallation;
      out.message = bad->path + " " + bad->detail;
    }
    if (fs.stat(journalPath(fs, productDir)).type != EntryType::None)
      out.message += std::string(out.message.empty() ? "" : "; ") +
                     "an interrupted patch is recorded and will be rolled back first";
    return out;
  });
  result.binding = seen;
  return result;
}

Outcome recoverInterrupted(FileSystem& native, const std::string& productDir) {
  return guarded([&] {
    requireProductDir(native, productDir);
    std::unique_ptr<FileSystem> confined = native.confine(productDir);
    FileSystem& fs = *confined;
    Outcome out;
    const Recovery r = recover(fs, productDir);
    out.recoveredJournal = r != Recovery::Nothing;
    out.message = r == Recovery::Finished ? "the interrupted patch had committed: it was finished"
                  : r == Recovery::RolledBack ? "the interrupted patch was rolled back"
                                              : "no interrupted patch";
    return out;
  });
}

Outcome applyPatch(FileSystem& native, const std::string& patchPath, const std::string& productDir,
                   const ApplyOptions& options, ProgressSink* progress) {
  bool recovered = false;
  Binding seen;
  Outcome out = guarded([&] {
    requireProductDir(native, productDir);
    if (!options.trustedKey)
      throw Error(Result::NotSigned, "no release key to check the patch against");
    std::unique_ptr<FileSystem> confined = native.confine(productDir);
    FileSystem& fs = *confined;
    std::unique_ptr<File> file = openPatch(fs, patchPath);
    PatchReader reader(*file, &*options.trustedKey, options.required);
    load(reader, seen);
    // Only a patch whose signed header and operations hold may touch the
    // tree, even to finish an old one. Its streams are checked as they are
    // used, before anything of it is swapped in.
    recovered = recover(fs, productDir) != Recovery::Nothing;
    Outcome o;
    std::vector<FileState> states;
    o.files = examine(fs, productDir, reader.ops(), options, states);
    if (const FileReport* bad = firstMismatch(o.files))
      throw Error(Result::WrongInstallation, bad->path + " " + bad->detail);
    Transaction tx(fs, productDir, reader, states, options, progress);
    o.message = tx.run();
    return o;
  });
  out.recoveredJournal = recovered;
  out.binding = seen;
  return out;
}

}  // namespace rtp
