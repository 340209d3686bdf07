// Temporary folders for the host and the Windows tests: RemoveTree and TempDir.
// Header-only and free of Windows code, so the host's engine tests share it.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace testsupport {

// Removes path with everything below it; nothing happens when it is absent.
inline void RemoveTree(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  // Windows refuses to delete a read-only file, and the patch tests make some.
  for (fs::recursive_directory_iterator it(path, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code ignored;
    if (!it->is_symlink(ignored))
      fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
  }
  fs::remove_all(path, error);
}

// A fresh folder under the temporary folder, removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const std::string& tag = "velmora") {
    namespace fs = std::filesystem;
    const fs::path base = fs::temp_directory_path();
    static unsigned counter = 0;
    std::random_device random;
    // Test processes may run side by side: take the first name nobody has.
    for (;;) {
      const fs::path candidate =
          base / (tag + "-" + std::to_string(random()) + "-" + std::to_string(++counter));
      std::error_code error;
      if (fs::create_directory(candidate, error)) {
        m_path = candidate.string();
        return;
      }
      if (error) throw fs::filesystem_error("cannot make a temporary folder", candidate, error);
    }
  }
  ~TempDir() { RemoveTree(m_path); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Without a trailing separator.
  const std::string& Path() const { return m_path; }
  // A path below the folder; relative may name subfolders.
  std::string File(const std::string& relative) const {
    return m_path + static_cast<char>(std::filesystem::path::preferred_separator) + relative;
  }

 private:
  std::string m_path;
};

}  // namespace testsupport
