#include "confined_fs.h"

#include <algorithm>
#include <vector>

#include "rtp/result.h"

namespace rtp {

namespace {

// What one folder on the way says about the path, or empty to go on.
// *stop: nothing lies further below it (missing, or a file).
std::string judge(const Stat& st, const std::string& dir, bool* stop) {
  *stop = st.type == EntryType::None || st.type == EntryType::File;
  if (st.type == EntryType::Link) return "folder " + dir + " is a link or junction";
  if (!*stop && st.type != EntryType::Directory) return dir + " is neither a file nor a folder";
  return {};
}

}  // namespace

std::string linkOnTheWay(FileSystem& fs, const std::string& root, const std::string& rel) {
  for (std::size_t s = rel.find('/'); s != std::string::npos; s = rel.find('/', s + 1)) {
    const std::string dir = rel.substr(0, s);
    bool stop = false;
    std::string why = judge(fs.stat(fs.join(root, dir)), dir, &stop);
    if (!why.empty() || stop) return why;
  }
  return {};
}

bool plainBelow(const std::string& rel) {
  for (std::size_t begin = 0; begin <= rel.size();) {
    std::size_t end = rel.find('/', begin);
    if (end == std::string::npos) end = rel.size();
    const std::size_t n = end - begin;
    if (n == 0 || (n <= 2 && rel.compare(begin, n, std::string("..", n)) == 0)) return false;
    begin = end + 1;
  }
  return true;
}

void refuseLinkOnTheWay(const std::string& why) {
  throw Error(Result::WrongInstallation, why + " (the product may not lead outside itself)");
}

#ifdef _WIN32
// Win32 documents no way to open a path below a handle without following
// reparse points; the examination confines it.
std::unique_ptr<FileSystem> confineInKernel(FileSystem&, const std::string&) { return nullptr; }
#endif

ConfinedFileSystem::ConfinedFileSystem(FileSystem& inner, std::string root)
    : inner_(inner),
      root_(std::move(root)),
      prefix_(inner.join(root_, "")),
      kernel_(confineInKernel(inner, root_)) {}

// Paths are joined from the root, so below it they start with it.
bool ConfinedFileSystem::below(const std::string& path) const {
  return path.size() > prefix_.size() && path.compare(0, prefix_.size(), prefix_) == 0;
}

// This file system vouches for every folder above the one it is asked
// about, or refuses: one look at rel's folder clears the common case, and
// only a refusal or an odd answer needs the walk that names the culprit.
std::string ConfinedFileSystem::linkOnTheWay(const std::string& rel) {
  const std::size_t slash = rel.rfind('/');
  if (slash == std::string::npos) return {};
  try {
    if (stat(join(root_, rel.substr(0, slash))).type == EntryType::Directory) return {};
  } catch (const Error&) {
  }
  return rtp::linkOnTheWay(*this, root_, rel);
}

void ConfinedFileSystem::check(const std::string& a, const std::string* b, const std::string* c) {
  std::vector<std::string> seen;  // folders found plain in this call
  for (const std::string* path : {&a, b, c}) {
    if (!path || !below(*path)) continue;
    std::string rel = path->substr(prefix_.size());
    std::replace(rel.begin(), rel.end(), '\\', '/');
    if (!plainBelow(rel)) throw IoFailure(*path + " is not a plain path below the product");
    for (std::size_t s = rel.find('/'); s != std::string::npos; s = rel.find('/', s + 1)) {
      const std::string dir = rel.substr(0, s);
      if (std::find(seen.begin(), seen.end(), dir) != seen.end()) continue;
      bool stop = false;
      const std::string why = judge(inner_.stat(inner_.join(root_, dir)), dir, &stop);
      if (!why.empty()) refuseLinkOnTheWay(why);
      if (stop) break;
      seen.push_back(dir);
    }
  }
}

Stat ConfinedFileSystem::stat(const std::string& path) {
  if (kernel_) return kernel_->stat(path);
  check(path);
  return inner_.stat(path);
}

std::unique_ptr<File> ConfinedFileSystem::openRead(const std::string& path) {
  if (kernel_) return kernel_->openRead(path);
  check(path);
  return inner_.openRead(path);
}

std::unique_ptr<File> ConfinedFileSystem::create(const std::string& path) {
  if (kernel_) return kernel_->create(path);
  check(path);
  return inner_.create(path);
}

void ConfinedFileSystem::makeDir(const std::string& path) {
  if (kernel_) return kernel_->makeDir(path);
  check(path);
  inner_.makeDir(path);
}

void ConfinedFileSystem::removeDir(const std::string& path) {
  if (kernel_) return kernel_->removeDir(path);
  check(path);
  inner_.removeDir(path);
}

void ConfinedFileSystem::removeFile(const std::string& path) {
  if (kernel_) return kernel_->removeFile(path);
  check(path);
  inner_.removeFile(path);
}

std::vector<std::string> ConfinedFileSystem::list(const std::string& dir) {
  if (kernel_) return kernel_->list(dir);
  check(dir);
  // Listing opens the folder itself, which would follow a link there.
  if (below(dir) && inner_.stat(dir).type == EntryType::Link)
    throw IoFailure("cannot list " + dir + ": it is a link");
  return inner_.list(dir);
}

void ConfinedFileSystem::rename(const std::string& from, const std::string& to) {
  if (kernel_) return kernel_->rename(from, to);
  check(from, &to);
  inner_.rename(from, to);
}

bool ConfinedFileSystem::keep(const std::string& target, const std::string& saved) {
  if (kernel_) return kernel_->keep(target, saved);
  check(target, &saved);
  return inner_.keep(target, saved);
}

void ConfinedFileSystem::replace(const std::string& replacement, const std::string& target,
                                 const std::string& saved) {
  if (kernel_) return kernel_->replace(replacement, target, saved);
  check(replacement, &target, &saved);
  inner_.replace(replacement, target, saved);
}

}  // namespace rtp
