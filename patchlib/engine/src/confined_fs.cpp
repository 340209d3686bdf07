#include "confined_fs.h"

#include <algorithm>

#include "rtp/paths.h"
#include "rtp/result.h"

namespace rtp {

namespace {

// The folders on the way to rel, looked at from the top down, skipping
// those in *seen and adding those found plain to it: why one leads outside,
// or empty. Nothing lies below a folder that is missing or a file.
std::string walk(FileSystem& fs, const std::string& root, const std::string& rel,
                 std::vector<std::string>* seen) {
  std::string why;
  forEachComponent(parentRel(rel), [&](const std::string& dir, const std::string&) {
    if (seen && std::find(seen->begin(), seen->end(), dir) != seen->end()) return true;
    const Stat st = fs.stat(fs.join(root, dir));
    if (st.type == EntryType::Link)
      why = "folder " + dir + " is a link or junction";
    else if (st.type != EntryType::None && st.type != EntryType::File &&
             st.type != EntryType::Directory)
      why = dir + " is neither a file nor a folder";
    if (!why.empty() || st.type != EntryType::Directory) return false;
    if (seen) seen->push_back(dir);
    return true;
  });
  return why;
}

}  // namespace

std::string linkOnTheWay(FileSystem& fs, const std::string& root, const std::string& rel) {
  return walk(fs, root, rel, nullptr);
}

void refuseLinkOnTheWay(const std::string& why) {
  throw Error(Result::WrongInstallation, why + " (the product may not lead outside itself)");
}

std::unique_ptr<FileSystem> confineByExamining(FileSystem& fs, const std::string& root) {
  return std::unique_ptr<FileSystem>(new ConfinedFileSystem(fs, root));
}

std::unique_ptr<FileSystem> FileSystem::confine(const std::string& root) {
  return confineByExamining(*this, root);
}

ConfinedFileSystem::ConfinedFileSystem(FileSystem& inner, std::string root)
    : inner_(inner), root_(std::move(root)), prefix_(inner.join(root_, "")) {}

// Paths are joined from the root, so below it they start with it.
bool ConfinedFileSystem::below(const std::string& path) const {
  return path.size() > prefix_.size() && path.compare(0, prefix_.size(), prefix_) == 0;
}

void ConfinedFileSystem::check(const std::string& a, const std::string* b, const std::string* c) {
  std::vector<std::string> seen;  // folders found plain in this call
  for (const std::string* path : {&a, b, c}) {
    if (!path || !below(*path)) continue;
    std::string rel = path->substr(prefix_.size());
    std::replace(rel.begin(), rel.end(), '\\', '/');
    if (!plainBelow(rel)) throw IoFailure(*path + " is not a plain path below the product");
    const std::string why = walk(inner_, root_, rel, &seen);
    if (!why.empty()) refuseLinkOnTheWay(why);
  }
}

Stat ConfinedFileSystem::stat(const std::string& path) {
  check(path);
  return inner_.stat(path);
}

std::unique_ptr<File> ConfinedFileSystem::openRead(const std::string& path) {
  check(path);
  return inner_.openRead(path);
}

std::unique_ptr<File> ConfinedFileSystem::create(const std::string& path) {
  check(path);
  return inner_.create(path);
}

std::unique_ptr<File> ConfinedFileSystem::openUpdate(const std::string& path) {
  check(path);
  return inner_.openUpdate(path);
}

void ConfinedFileSystem::makeDir(const std::string& path) {
  check(path);
  inner_.makeDir(path);
}

void ConfinedFileSystem::removeDir(const std::string& path) {
  check(path);
  inner_.removeDir(path);
}

void ConfinedFileSystem::removeFile(const std::string& path) {
  check(path);
  inner_.removeFile(path);
}

std::vector<std::string> ConfinedFileSystem::list(const std::string& dir) {
  check(dir);
  // Listing opens the folder itself, which would follow a link there.
  if (below(dir) && inner_.stat(dir).type == EntryType::Link)
    throw IoFailure("cannot list " + dir + ": it is a link");
  return inner_.list(dir);
}

void ConfinedFileSystem::rename(const std::string& from, const std::string& to) {
  check(from, &to);
  inner_.rename(from, to);
}

bool ConfinedFileSystem::keep(const std::string& target, const std::string& saved) {
  check(target, &saved);
  return inner_.keep(target, saved);
}

void ConfinedFileSystem::replace(const std::string& replacement, const std::string& target,
                                 const std::string& saved) {
  check(replacement, &target, &saved);
  inner_.replace(replacement, target, saved);
}

}  // namespace rtp
