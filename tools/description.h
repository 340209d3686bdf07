// The release description that `rtptool release` reads: a small INI file
// naming the installations and the patches in the updater's order.
#ifndef RTPTOOL_DESCRIPTION_H
#define RTPTOOL_DESCRIPTION_H

#include <stdexcept>
#include <string>
#include <vector>

namespace rtptool {

// "FILE:LINE: what is wrong", or "FILE: ..." when no one line is to blame.
class DescriptionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Installation {
  std::string name;
  std::string oldTree, newTree;  // as installed before and after the release
};

struct ReleasePatch {
  std::string name;  // the file is OUTPUT/NAME.rtp
  std::string oldTree, newTree;
  std::vector<std::string> fits, refuses;  // installation names
  // The updater tries edition patches in order until one fits, then applies
  // every shared patch.
  bool edition() const { return !refuses.empty(); }
};

struct ReleaseDescription {
  std::string key, trust, output;  // key and trust may be empty: given on the command line
  std::string product, from, to;   // what every patch is signed for, beside its name
  std::vector<Installation> installations;
  std::vector<ReleasePatch> patches;  // edition patches first, in the updater's order
};

// Paths come back resolved against the file's folder. Throws DescriptionError.
ReleaseDescription readDescription(const std::string& path);

}  // namespace rtptool

#endif
