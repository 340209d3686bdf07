// Compares a product tree with what a patch expects, changing nothing.
#ifndef RTP_EXAMINE_H
#define RTP_EXAMINE_H

#include <string>
#include <vector>

#include "rtp/engine.h"

namespace rtp {

// fs is confined below root (FileSystem::confine). With backups on, the
// backup folder's way to each original is examined too.
std::vector<FileReport> examine(FileSystem& fs, const std::string& root,
                                const std::vector<PatchOp>& ops, const ApplyOptions& options,
                                std::vector<FileState>& states);

}  // namespace rtp

#endif
