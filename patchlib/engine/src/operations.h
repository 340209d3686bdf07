// Each operation kind in one place: how the tree is examined for it, how it
// is carried out under the journal, and how the journal records it leaves
// are undone or finished. A new kind is one entry in operations.cpp.
//
// A patch is carried out in phases, each over all operations, so that the
// disk is synced once a phase rather than once a step: the journal records
// every step first; staging then writes new content beside its target,
// keeps originals and moves deleted files aside, overwriting nothing; once
// that is on the disk, swapping puts new content in place.
#ifndef RTP_OPERATIONS_H
#define RTP_OPERATIONS_H

#include <map>
#include <set>
#include <string>

#include "journal.h"
#include "rtp/engine.h"

namespace rtp {

class Transaction;

// What the examination has learnt so far, across operations.
struct Examination {
  FileSystem& fs;
  const std::string& root;
  std::set<std::string> made, deleted, madeLater;  // folded paths
  std::map<std::string, bool> dirKnown;

  std::string path(const std::string& rel) const { return fs.join(root, rel); }
  // Whether rel is a folder before its operation runs (made ones count).
  bool dirExists(const std::string& rel);
};

struct OpRules {
  const char* name;
  // Counts as a file for the progress callback.
  bool isFile;
  // Compares the tree with the operation; changes nothing. Sets why on a
  // mismatch.
  FileState (*examine)(Examination& ex, const PatchOp& op, const Stat& st, std::string& why);
  // Journals the steps of a pending operation; changes nothing.
  void (*plan)(Transaction& tx, const PatchOp& op);
  void (*stage)(Transaction& tx, const PatchOp& op);
  // Null for kinds with nothing to put in place.
  void (*swap)(Transaction& tx, const PatchOp& op);
};

const OpRules& rulesOf(OpKind kind);

// The undo and finish of a record work from what is on the disk, whether
// its step was taken, half taken or not yet begun: a record is written
// with its whole phase, ahead of the first step.
struct RecordRules {
  // Puts back what the record's step changed (the patch is abandoned).
  void (*undo)(FileSystem& fs, const std::string& root, const std::string& rel);
  // Clears what the step left behind once the patch is committed.
  void (*finish)(FileSystem& fs, const std::string& root, const std::string& rel);
  // Finished after every other record (folders go once emptied).
  bool finishLast;
};

const RecordRules& rulesOf(Rec type);

// Undoes records newest first, or finishes those of a committed patch. Goes
// on past failures; returns the first failure's text, empty on success.
std::string undoRecords(FileSystem& fs, const std::string& root,
                        const std::vector<Record>& records);
std::string finishRecords(FileSystem& fs, const std::string& root,
                          const std::vector<Record>& records);

}  // namespace rtp

#endif
