// Brings a product folder out of an interrupted patch.
#ifndef RTP_RECOVERY_H
#define RTP_RECOVERY_H

#include <string>

#include "rtp/fs.h"

namespace rtp {

std::string journalPath(FileSystem& fs, const std::string& root);

// Rolls back (or, if it had committed, finishes) an interrupted patch.
// Returns whether there was one; throws RollbackFailed when it stays.
bool recover(FileSystem& fs, const std::string& root);

}  // namespace rtp

#endif
