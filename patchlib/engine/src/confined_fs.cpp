#include "confined_fs.h"

#include "rtp/result.h"

namespace rtp {

std::string linkOnTheWay(FileSystem& fs, const std::string& root, const std::string& rel) {
  for (std::size_t s = rel.find('/'); s != std::string::npos; s = rel.find('/', s + 1)) {
    const std::string dir = rel.substr(0, s);
    const Stat st = fs.stat(fs.join(root, dir));
    // Nothing leads anywhere through a missing entry or a plain file.
    if (st.type == EntryType::None || st.type == EntryType::File) return {};
    if (st.type == EntryType::Link) return "folder " + dir + " is a link or junction";
    if (st.type != EntryType::Directory) return dir + " is neither a file nor a folder";
  }
  return {};
}

const std::string& ConfinedFileSystem::checked(const std::string& path) {
  // Paths are joined from the root, so below it they start with it.
  const std::string prefix = inner_.join(root_, "");
  if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return path;
  std::string rel = path.substr(prefix.size());
  for (char& c : rel)
    if (c == '\\') c = '/';
  const std::string why = linkOnTheWay(inner_, root_, rel);
  if (!why.empty())
    throw Error(Result::WrongInstallation, why + " (the product may not lead outside itself)");
  return path;
}

}  // namespace rtp
