// The product folder as the engine may touch it: every call on a path below
// the root first checks that each folder between the root and the path's
// last component is a plain folder, so no link, junction or other reparse
// point inside the product leads a write (or a read) outside it. The root
// itself may be a link: a product moved and reached through a junction is
// still the product.
#ifndef RTP_CONFINED_FS_H
#define RTP_CONFINED_FS_H

#include <string>

#include "rtp/fs.h"

namespace rtp {

// Why rel's folders are not all plain folders below root, or empty.
// Stops at the first component that is missing or a file: nothing is
// followed through those.
std::string linkOnTheWay(FileSystem& fs, const std::string& root, const std::string& rel);

class ConfinedFileSystem : public FileSystem {
 public:
  ConfinedFileSystem(FileSystem& inner, std::string root) : inner_(inner), root_(std::move(root)) {}

  std::string join(const std::string& root, const std::string& rel) const override {
    return inner_.join(root, rel);
  }
  Stat stat(const std::string& path) override { return inner_.stat(checked(path)); }
  std::unique_ptr<File> openRead(const std::string& path) override {
    return inner_.openRead(checked(path));
  }
  std::unique_ptr<File> create(const std::string& path) override {
    return inner_.create(checked(path));
  }
  void makeDir(const std::string& path) override { inner_.makeDir(checked(path)); }
  void removeDir(const std::string& path) override { inner_.removeDir(checked(path)); }
  void removeFile(const std::string& path) override { inner_.removeFile(checked(path)); }
  std::vector<std::string> list(const std::string& dir) override {
    return inner_.list(checked(dir));
  }
  void rename(const std::string& from, const std::string& to) override {
    inner_.rename(checked(from), checked(to));
  }
  bool keep(const std::string& target, const std::string& saved) override {
    return inner_.keep(checked(target), checked(saved));
  }
  void replace(const std::string& replacement, const std::string& target,
               const std::string& saved) override {
    inner_.replace(checked(replacement), checked(target), checked(saved));
  }
  void flush() override { inner_.flush(); }

 private:
  const std::string& checked(const std::string& path);

  FileSystem& inner_;
  std::string root_;
};

}  // namespace rtp

#endif
