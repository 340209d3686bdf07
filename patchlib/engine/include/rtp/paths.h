// The rules a relative path in a patch (or the journal) must follow to name
// a plain file or folder inside the product on every platform.
#ifndef RTP_PATHS_H
#define RTP_PATHS_H

#include <functional>
#include <string>

namespace rtp {

// Calls visit(upTo, name) for each '/'-separated component of path, from the
// top: ("a", "a"), ("a/b", "b") for "a/b". An empty path has none. Stops,
// returning false, at the first visit that returns false.
bool forEachComponent(
    const std::string& path,
    const std::function<bool(const std::string& upTo, const std::string& name)>& visit);

// Whether rel names an entry below its root by plain names: no empty, "."
// or ".." component.
bool plainBelow(const std::string& rel);

// Why a relative path is unacceptable, or empty when it is fine.
// allowEngineNames admits the backup folder and temporary suffixes (journal).
std::string checkRelativePath(const std::string& path, bool allowEngineNames = false);

// Case-insensitive (ASCII) key: Windows file names compare that way.
std::string foldCase(const std::string& s);

// The folder part of a relative path ("" at the top).
std::string parentRel(const std::string& rel);

}  // namespace rtp

#endif
