#include "examine.h"

#include "confined_fs.h"
#include "operations.h"
#include "rtp/paths.h"
#include "rtp/result.h"

namespace rtp {

namespace {

// Why the way to rel leads outside the product, or empty. The confined
// file system vouches for every folder above the one it is asked about, or
// refuses: one look at rel's folder clears the common case, and only a
// refusal or an odd answer needs the walk that names the culprit.
std::string wayOut(FileSystem& fs, const std::string& root, const std::string& rel) {
  const std::string dir = parentRel(rel);
  if (dir.empty()) return {};
  try {
    if (fs.stat(fs.join(root, dir)).type == EntryType::Directory) return {};
  } catch (const Error&) {
  }
  return linkOnTheWay(fs, root, rel);
}

// What stands where the backup of rel goes, or empty when the way is clear.
std::string backupInTheWay(FileSystem& fs, const std::string& root, const std::string& rel) {
  const std::string target = backupName(rel);
  std::string why = wayOut(fs, root, target);
  if (!why.empty()) return why;
  const EntryType t = fs.stat(fs.join(root, target)).type;
  if (t != EntryType::None && t != EntryType::File)
    return "its backup " + target + " is not a plain file";
  return {};
}

// What keeps an add from reading the file it is made from as the patch
// saw it, or empty.
std::string referenceMismatch(FileSystem& fs, const std::string& root, const PatchOp& op) {
  std::string why = wayOut(fs, root, op.reference);
  if (!why.empty()) return why;
  const std::string p = fs.join(root, op.reference);
  const Stat st = fs.stat(p);
  const std::string from = "is made from " + op.reference + ", which ";
  if (st.type != EntryType::File)
    return from + (st.type == EntryType::None ? "is missing" : "is not a file");
  if (st.size != op.oldSize || hashFile(*fs.openRead(p)) != op.oldHash)
    return from + "has other content";
  return {};
}

}  // namespace

std::vector<FileReport> examine(FileSystem& fs, const std::string& root,
                                const std::vector<PatchOp>& ops, const ApplyOptions& options,
                                std::vector<FileState>& states) {
  Examination ex{fs, root, {}, {}, {}, {}};
  for (const PatchOp& op : ops)
    if (op.kind == OpKind::MakeDir) ex.madeLater.insert(foldCase(op.path));
  std::vector<FileReport> reports;
  states.clear();
  for (const PatchOp& op : ops) {
    const OpRules& rules = rulesOf(op.kind);
    FileReport rep;
    rep.path = op.path;
    rep.kind = op.kind;
    auto refuse = [&rep](const std::string& why) {
      if (why.empty()) return false;
      rep.state = FileState::Mismatch;
      rep.detail = why;
      return true;
    };
    const std::string parent = parentRel(op.path);
    if (!refuse(wayOut(fs, root, op.path))) {
      if (ex.dirExists(parent))
        rep.state = rules.examine(ex, op, fs.stat(ex.path(op.path)), rep.detail);
      else if (rules.is(OpRules::Removes))  // gone with its folder
        rep.state = FileState::Done;
      else
        refuse("folder " + parent + " is missing");
    }
    if (!op.reference.empty() && rep.state == FileState::Pending)
      refuse(referenceMismatch(fs, root, op));
    if (options.backup && rules.is(OpRules::BackedUp) && rep.state == FileState::Pending)
      refuse(backupInTheWay(fs, root, op.path));
    states.push_back(rep.state);
    reports.push_back(std::move(rep));
  }
  return reports;
}

}  // namespace rtp
