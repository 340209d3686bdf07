// What the POSIX file system's flush() really syncs, seen from its system
// calls: this test program defines fsync, fdatasync and syncfs itself, ahead
// of the C library's, and notes each call's target while a flush is watched.
#ifndef RTP_SYNC_SPY_H
#define RTP_SYNC_SPY_H

#include <functional>

#include "FaultyFs.h"

namespace rtptest {

// Runs flush and returns the files and folders it synced (a FaultyFs's
// observeFlush).
FaultyFs::Synced watchSyncs(const std::function<void()>& flush);

}  // namespace rtptest

#endif
