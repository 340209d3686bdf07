// The engine's only window on the disk. Thin on purpose: one implementation
// for POSIX hosts, one for Win32, and test wrappers that inject failures.
// Every method throws IoFailure on error.
//
// Durability is the caller's to ask for: a change is certain to survive a
// power loss only once File::sync (for that file's bytes) or flush() (for
// everything) has returned. Syncing in batches rather than per step is
// what keeps a patch of thousands of files fast.
#ifndef RTP_FS_H
#define RTP_FS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace rtp {

class IoFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class File {
 public:
  virtual ~File() = default;
  // Reads up to n bytes; fewer only at the end of the file.
  virtual std::size_t read(void* buf, std::size_t n) = 0;
  virtual void write(const void* buf, std::size_t n) = 0;
  virtual void seek(std::uint64_t pos) = 0;
  virtual std::uint64_t size() = 0;
  // Returns once the written data is on the disk.
  virtual void sync() = 0;
  // Sets the POSIX permission bits; Windows has none to set.
  virtual void setMode(std::uint32_t mode) = 0;
  // Sets the Windows attributes Stat::attributes reports; POSIX has none.
  virtual void setAttributes(std::uint32_t attributes) = 0;
};

// Link covers symbolic links, junctions and every other reparse point: the
// engine never follows one below the product folder.
enum class EntryType { None, File, Directory, Link, Other };

struct Stat {
  EntryType type = EntryType::None;
  std::uint64_t size = 0;
  // For a link: what it leads to (None when dangling).
  EntryType linkTarget = EntryType::None;
  // POSIX permission bits of a file or folder (0 on Windows).
  std::uint32_t mode = 0;
  // The Windows attributes a file keeps across an update: read-only,
  // hidden, system, not indexed (0 elsewhere).
  std::uint32_t attributes = 0;
  static constexpr std::uint32_t kReadOnly = 1;  // FILE_ATTRIBUTE_READONLY
  // Marked not to be written: by the read-only attribute, or without its
  // owner's write permission.
  bool readOnly() const { return (attributes & kReadOnly) || (mode != 0 && !(mode & 0200)); }
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Native path of rel (which uses '/') below root.
  virtual std::string join(const std::string& root, const std::string& rel) const = 0;
  // Describes path itself: a link is reported, not followed.
  virtual Stat stat(const std::string& path) = 0;
  // Opens a regular file; a link at path is refused, not followed.
  virtual std::unique_ptr<File> openRead(const std::string& path) = 0;
  // Creates a new file for writing; fails when anything, even a dangling
  // link, is at path.
  virtual std::unique_ptr<File> create(const std::string& path) = 0;
  // Opens an existing regular file to change bytes of it where they are; a
  // link at path is refused, not followed. What it writes is durable after
  // File::sync, or after flush() as a created file's is.
  virtual std::unique_ptr<File> openUpdate(const std::string& path) = 0;
  virtual void makeDir(const std::string& path) = 0;
  virtual void removeDir(const std::string& path) = 0;
  // Removes a file, or a link itself (never what it leads to).
  virtual void removeFile(const std::string& path) = 0;
  // Names of the entries of a directory, without "." and "..".
  virtual std::vector<std::string> list(const std::string& dir) = 0;
  // Moves from onto to, replacing to if present.
  virtual void rename(const std::string& from, const std::string& to) = 0;
  // Gives target a second name, saved (which must not exist), ahead of a
  // replace(): one flush() between keeping a batch of originals and
  // replacing them orders the two. False where the volume cannot; replace()
  // then keeps the original itself.
  virtual bool keep(const std::string& target, const std::string& saved) = 0;
  // Atomically puts replacement in place of target. The previous target
  // stays reachable under saved (which must not exist unless keep() made
  // it) for undo, whatever part of this reaches the disk.
  virtual void replace(const std::string& replacement, const std::string& target,
                       const std::string& saved) = 0;
  // Returns once every change made through this object is on the disk.
  virtual void flush() = 0;
  // This file system as the engine may use it on a product below root
  // (confined_fs.h): no call on a path below root follows a link, junction
  // or other reparse point on the way. By default each folder on the way
  // is examined before each call; a file system whose system can hold to
  // that itself confines itself that way, and a wrapper forwards the
  // question and wraps the answer. The view lives no longer than this.
  virtual std::unique_ptr<FileSystem> confine(const std::string& root);
};

// fs confined below root by examining each folder on the way before each
// call: the default of FileSystem::confine.
std::unique_ptr<FileSystem> confineByExamining(FileSystem& fs, const std::string& root);

// POSIX on hosts, Win32 in Windows builds.
std::unique_ptr<FileSystem> makeNativeFileSystem();

// A read-only file over bytes in memory (patch readers, fuzzing).
class MemoryFile : public File {
 public:
  MemoryFile(const void* data, std::size_t size)
      : data_(static_cast<const unsigned char*>(data)), size_(size) {}
  std::size_t read(void* buf, std::size_t n) override;
  void write(const void*, std::size_t) override { throw IoFailure("memory file is read-only"); }
  void seek(std::uint64_t pos) override { pos_ = pos; }
  std::uint64_t size() override { return size_; }
  void sync() override {}
  void setMode(std::uint32_t) override { throw IoFailure("memory file is read-only"); }
  void setAttributes(std::uint32_t) override { throw IoFailure("memory file is read-only"); }

 private:
  const unsigned char* data_;
  std::size_t size_;
  std::uint64_t pos_ = 0;
};

}  // namespace rtp

#endif
