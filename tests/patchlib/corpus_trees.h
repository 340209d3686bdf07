// The small old and new product trees behind the sample patches in
// corpus/ (valid-sample.rtp turns the first into the second).
#ifndef RTP_CORPUS_TREES_H
#define RTP_CORPUS_TREES_H

#include <map>
#include <string>

namespace rtptest {

using TreeText = std::map<std::string, std::string>;  // path -> content, "<dir>" for folders

TreeText sampleOldTree();
TreeText sampleNewTree();

}  // namespace rtptest

#endif
