// The product folder as the engine may touch it: every component of every
// path below the root that a call opens, creates, renames or removes is a
// plain folder or file of the product, so no link, junction or other reparse
// point inside the product leads a write (or a read) outside it. A link in
// the last component is acted on as itself (stat reports it, removal removes
// it), never followed. The root itself may be a link: a product moved and
// reached through a junction is still the product.
//
// FileSystem::confine(root) gives that view, in one of two ways:
//  - On Linux the kernel resolves each path from the open root folder and
//    refuses any symbolic link on the way (posix_fs.cpp); the call then acts
//    on a name in the folder it resolved, so nothing can be swapped in
//    between the check and the use.
//  - Elsewhere (Win32, and any file system by default) each folder between
//    the root and the path is examined before the call, each at most once a
//    call: ConfinedFileSystem.
#ifndef RTP_CONFINED_FS_H
#define RTP_CONFINED_FS_H

#include <memory>
#include <string>
#include <vector>

#include "rtp/fs.h"

namespace rtp {

// Why rel's folders are not all plain folders below root, or empty, from a
// look at each folder through fs from the top down. Stops at the first
// component that is missing or a file: nothing is followed through those.
std::string linkOnTheWay(FileSystem& fs, const std::string& root, const std::string& rel);

// Throws the engine's refusal of a product that leads outside itself.
[[noreturn]] void refuseLinkOnTheWay(const std::string& why);

class ConfinedFileSystem : public FileSystem {
 public:
  ConfinedFileSystem(FileSystem& inner, std::string root);

  std::string join(const std::string& root, const std::string& rel) const override {
    return inner_.join(root, rel);
  }
  Stat stat(const std::string& path) override;
  std::unique_ptr<File> openRead(const std::string& path) override;
  std::unique_ptr<File> create(const std::string& path) override;
  std::unique_ptr<File> openUpdate(const std::string& path) override;
  void makeDir(const std::string& path) override;
  void removeDir(const std::string& path) override;
  void removeFile(const std::string& path) override;
  std::vector<std::string> list(const std::string& dir) override;
  void rename(const std::string& from, const std::string& to) override;
  bool keep(const std::string& target, const std::string& saved) override;
  void replace(const std::string& replacement, const std::string& target,
               const std::string& saved) override;
  void flush() override { inner_.flush(); }

 private:
  bool below(const std::string& path) const;
  // Examines the folders of up to three paths, a folder they share once.
  void check(const std::string& a, const std::string* b = nullptr, const std::string* c = nullptr);

  FileSystem& inner_;
  std::string root_, prefix_;
};

}  // namespace rtp

#endif
