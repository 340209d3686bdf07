// rtptool release: makes every patch a release description names and checks
// them together the way the updater will apply them.
#ifndef RTPTOOL_RELEASE_H
#define RTPTOOL_RELEASE_H

#include <string>
#include <vector>

namespace rtptool {

// A patch could not be made: a tree unreadable or not patchable (rtptool
// make and release alike).
constexpr int kExitMakeFailed = 20;
// A release check did not hold (the message names it).
constexpr int kExitReleaseCheckFailed = 22;

int cmdRelease(std::vector<std::string> args);

}  // namespace rtptool

#endif
