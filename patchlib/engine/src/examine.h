// Compares a product tree with what a patch expects, changing nothing.
#ifndef RTP_EXAMINE_H
#define RTP_EXAMINE_H

#include <string>
#include <vector>

#include "confined_fs.h"
#include "rtp/engine.h"

namespace rtp {

// With backups on, the backup folder's way to each original is examined too.
std::vector<FileReport> examine(ConfinedFileSystem& fs, const std::vector<PatchOp>& ops,
                                const ApplyOptions& options, std::vector<FileState>& states);

}  // namespace rtp

#endif
