// Brings a product folder out of an interrupted patch.
#ifndef RTP_RECOVERY_H
#define RTP_RECOVERY_H

#include <string>

#include "rtp/fs.h"

namespace rtp {

std::string journalPath(FileSystem& fs, const std::string& root);

enum class Recovery { Nothing, RolledBack, Finished };

// Rolls back (or, if it had committed, finishes) an interrupted patch.
// Throws RollbackFailed when it stays.
Recovery recover(FileSystem& fs, const std::string& root);

}  // namespace rtp

#endif
