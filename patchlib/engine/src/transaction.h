// One examined patch carried out under a journal, phase by phase over all
// its operations (operations.h), or rolled back on any failure.
#ifndef RTP_TRANSACTION_H
#define RTP_TRANSACTION_H

#include <map>
#include <set>
#include <string>
#include <vector>

#include "new_content.h"
#include "journal.h"
#include "rtp/engine.h"
#include "rtp/format.h"
#include "rtp/stream.h"

namespace rtp {

class Transaction {
 public:
  Transaction(FileSystem& fs, const std::string& root, PatchReader& patch,
              const std::vector<FileState>& states, const ApplyOptions& opts,
              ProgressSink* progress);

  // Returns a note about leftovers (empty normally); throws on failure after
  // rolling back.
  std::string run();

  // Services for the operation kinds.
  FileSystem& fs() { return fs_; }
  std::string path(const std::string& rel) const { return fs_.join(root_, rel); }
  void journal(Rec type, const std::string& rel) { journal_.add(type, rel); }
  // Writes op's new content at its temporary name and checks it there; or
  // checks it and keeps what changes, for a file that keeps its size and
  // changes in a few places (true), journalled before the swap.
  bool writeNew(const PatchOp& op);
  // Whether op's file is changed in place, and the change itself.
  bool changesInPlace(const PatchOp& op) const { return changes_.count(op.path) != 0; }
  void changeInPlace(const PatchOp& op);
  // Keeps the original of a file to be replaced under saved, if the volume
  // can ahead of the swap.
  void keep(const std::string& rel, const std::string& saved);
  // Removes a leftover file at rel from an earlier, interrupted run; true
  // if there was one.
  bool removeStray(const std::string& rel);

 private:
  [[noreturn]] void rollBack(Result result, const std::string& why);
  // Copies the original below backup/, unless an older backup is there;
  // planBackUp journals the steps backUp takes.
  void planBackUp(const std::string& rel);
  // The original of a file that keeps its size, opened to change it in
  // place; null where it is not to be.
  std::unique_ptr<File> openInPlace(const PatchOp& op);
  void backUp(const std::string& rel);
  void cancelUnless(bool goOn);
  void percent(int pct);
  void plan();
  void clearStrays();
  void forward();
  void swap();
  void commit();

  FileSystem& fs_;
  std::string root_;
  PatchReader& patch_;
  const std::vector<FileState>& states_;
  ApplyOptions opts_;
  ProgressSink* progress_;
  int lastPercent_ = -1;
  Journal journal_;
  std::set<std::string> plannedDirs_;  // folded
  bool kept_ = false;
  std::map<std::string, std::vector<Span>> changes_;
  std::size_t inPlaceLeft_ = kInPlaceBudget;
  // The operations' data streams, read in patch order.
  PatchDecoder decoder_;
};

}  // namespace rtp

#endif
