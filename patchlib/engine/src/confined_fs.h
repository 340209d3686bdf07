// The product folder as the engine may touch it: every component of every
// path below the root that a call opens, creates, renames or removes is a
// plain folder or file of the product, so no link, junction or other reparse
// point inside the product leads a write (or a read) outside it. A link in
// the last component is acted on as itself (stat reports it, removal removes
// it), never followed. The root itself may be a link: a product moved and
// reached through a junction is still the product.
//
// Two ways to hold to that:
//  - On Linux the kernel resolves each path from the open root folder and
//    refuses any symbolic link on the way (confineInKernel, in posix_fs.cpp);
//    the call then acts on a name in the folder it resolved, so nothing can
//    be swapped in between the check and the use.
//  - Elsewhere (Win32, test wrappers) each folder between the root and the
//    path is examined before the call, each at most once a call.
#ifndef RTP_CONFINED_FS_H
#define RTP_CONFINED_FS_H

#include <memory>
#include <string>

#include "rtp/fs.h"

namespace rtp {

// Why rel's folders are not all plain folders below root, or empty, from a
// look at each folder from the root down.
// Stops at the first component that is missing or a file: nothing is
// followed through those.
std::string linkOnTheWay(FileSystem& fs, const std::string& root, const std::string& rel);

// Whether rel ('/'-separated) names an entry below the root by plain names:
// no empty, "." or ".." component.
bool plainBelow(const std::string& rel);

// Throws the engine's refusal of a product that leads outside itself.
[[noreturn]] void refuseLinkOnTheWay(const std::string& why);

// fs confined below root by the operating system, or null where it cannot
// be (fs is not the native file system, or the system has no such means).
std::unique_ptr<FileSystem> confineInKernel(FileSystem& fs, const std::string& root);

class ConfinedFileSystem : public FileSystem {
 public:
  ConfinedFileSystem(FileSystem& inner, std::string root);

  std::string join(const std::string& root, const std::string& rel) const override {
    return inner_.join(root, rel);
  }
  Stat stat(const std::string& path) override;
  std::unique_ptr<File> openRead(const std::string& path) override;
  std::unique_ptr<File> create(const std::string& path) override;
  void makeDir(const std::string& path) override;
  void removeDir(const std::string& path) override;
  void removeFile(const std::string& path) override;
  std::vector<std::string> list(const std::string& dir) override;
  void rename(const std::string& from, const std::string& to) override;
  bool keep(const std::string& target, const std::string& saved) override;
  void replace(const std::string& replacement, const std::string& target,
               const std::string& saved) override;
  void flush() override { inner_.flush(); }

  const std::string& root() const { return root_; }
  // Why rel's folders are not all plain folders below the root, or empty.
  std::string linkOnTheWay(const std::string& rel);

 private:
  bool below(const std::string& path) const;
  // Examines the folders of up to three paths, a folder they share once.
  void check(const std::string& a, const std::string* b = nullptr, const std::string* c = nullptr);

  FileSystem& inner_;
  std::string root_, prefix_;
  std::unique_ptr<FileSystem> kernel_;  // when set, every call goes there
};

}  // namespace rtp

#endif
