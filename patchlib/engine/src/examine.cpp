#include "examine.h"

#include "operations.h"
#include "rtp/paths.h"

namespace rtp {

std::vector<FileReport> examine(FileSystem& fs, const std::string& root, const std::vector<PatchOp>& ops,
                                std::vector<FileState>& states) {
  Examination ex{fs, root, {}, {}, {}, {}};
  for (const PatchOp& op : ops)
    if (op.kind == OpKind::MakeDir) ex.madeLater.insert(foldCase(op.path));
  std::vector<FileReport> reports;
  states.clear();
  for (const PatchOp& op : ops) {
    FileReport rep;
    rep.path = op.path;
    rep.kind = op.kind;
    const std::string parent = parentRel(op.path);
    if (!ex.dirExists(parent)) {
      // Whatever goes away with its folder gone is already gone.
      if (op.kind == OpKind::Delete || op.kind == OpKind::RemoveDir) {
        rep.state = FileState::Done;
      } else {
        rep.state = FileState::Mismatch;
        rep.detail = "folder " + parent + " is missing";
      }
    } else {
      rep.state = rulesOf(op.kind).examine(ex, op, fs.stat(ex.path(op.path)), rep.detail);
    }
    states.push_back(rep.state);
    reports.push_back(std::move(rep));
  }
  return reports;
}

}  // namespace rtp
