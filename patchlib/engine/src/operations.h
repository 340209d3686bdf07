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
  enum Fact : unsigned {
    // Counts as a file for the progress callback.
    IsFile = 1,
    // Its record names the content the tree holds before (size and hash),
    // and the new content may then be a delta of it.
    CarriesOld = 2,
    // Its record names the content the tree holds after, made from the streams.
    CarriesNew = 4,
    // Takes something away: done already when its folder is gone.
    Removes = 8,
    // Its original is copied below backup/ when backups are asked for.
    BackedUp = 16,
    // The file it writes takes the permission bits its record holds (0: the
    // platform's default); no other record holds any.
    ModeFromPatch = 32,
    // The file it writes keeps the permission bits of the one it replaces
    // (an executable stays one).
    KeepsMode = 64,
  };
  const char* name;
  unsigned facts;
  bool is(Fact f) const { return (facts & f) != 0; }
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

// The names the engine gives its own files in the tree: new content beside
// its target until the swap, the original kept until the commit, and the
// backup copy of the original.
std::string tempName(const std::string& rel);
std::string savedName(const std::string& rel);
std::string backupName(const std::string& rel);

// The undo and finish of a record work from what is on the disk, whether
// its step was taken, half taken or not yet begun: a record is written
// with its whole phase, ahead of the first step.
struct RecordRules {
  // Puts back what the record's step changed (the patch is abandoned).
  void (*undo)(FileSystem& fs, const std::string& root, const Record& r);
  // Clears what the step left behind once the patch is committed.
  void (*finish)(FileSystem& fs, const std::string& root, const Record& r);
  // Finished after every other record (folders go once emptied).
  bool finishLast;
  // The engine name its step creates, where an earlier, interrupted run may
  // have left something; null when the step creates no such name.
  std::string (*stray)(const std::string& rel);
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
