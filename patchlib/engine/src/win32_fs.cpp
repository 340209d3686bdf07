// FileSystem on the Win32 API (the DLL side). Relative paths arrive with
// '/' and are turned into '\' here.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <memory>
#include <set>

#include "rtp/win32_fs.h"

namespace rtp {

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path,
                       DWORD err = GetLastError()) {
  char buf[64];
  std::snprintf(buf, sizeof buf, " (Windows error %lu)", static_cast<unsigned long>(err));
  throw IoFailure(what + " " + path + buf);
}

// What a file keeps across an update (Stat::attributes). The archive bit
// is not among them: new content is new to a backup program.
constexpr DWORD kKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                        FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

DWORD withKept(DWORD current, DWORD kept) {
  const DWORD a = (current & ~kKept) | (kept & kKept);
  return a == 0 ? FILE_ATTRIBUTE_NORMAL : a;
}

// The kept attributes of the file at path, 0 when there is none.
DWORD keptOf(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a == INVALID_FILE_ATTRIBUTES ? 0 : a & kKept;
}

// Sets them back where the engine cleared one; a file that is not there
// (any more) has none to set.
void restoreKept(const std::string& path, DWORD kept) {
  const DWORD a = GetFileAttributesA(path.c_str());
  if (a != INVALID_FILE_ATTRIBUTES && (a & kKept) != kept)
    SetFileAttributesA(path.c_str(), withKept(a, kept));
}

// Product files are sometimes read-only; replacing or removing them must
// still work. Whoever clears the attribute sets it back on whatever file
// stays: the caller of a replace, or of a move or removal that failed.
void clearReadOnly(const std::string& path) {
  DWORD a = GetFileAttributesA(path.c_str());
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY))
    SetFileAttributesA(path.c_str(), a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

// Paths of files closed with writes not yet flushed: flush() reopens each,
// as FlushFileBuffers needs a handle to the file itself.
using Unflushed = std::set<std::string>;

class Win32File : public File {
 public:
  Win32File(HANDLE h, std::string path, std::shared_ptr<Unflushed> unflushed = nullptr)
      : h_(h), path_(std::move(path)), unflushed_(std::move(unflushed)) {}
  ~Win32File() override {
    CloseHandle(h_);
    if (written_ && unflushed_) unflushed_->insert(path_);
  }
  std::size_t read(void* buf, std::size_t n) override {
    std::size_t got = 0;
    while (got < n) {
      DWORD want = static_cast<DWORD>(n - got > 0x10000000 ? 0x10000000 : n - got);
      DWORD r = 0;
      if (!ReadFile(h_, static_cast<char*>(buf) + got, want, &r, nullptr)) {
        pos_ = kUnknown;
        fail("cannot read", path_);
      }
      if (r == 0) break;
      got += r;
    }
    pos_ += got;
    return got;
  }
  void write(const void* buf, std::size_t n) override {
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
      DWORD want = static_cast<DWORD>(n > 0x10000000 ? 0x10000000 : n);
      DWORD w = 0;
      written_ = true;
      if (!WriteFile(h_, p, want, &w, nullptr) || w == 0) {
        pos_ = kUnknown;
        fail("cannot write", path_);
      }
      p += w;
      n -= w;
      pos_ += w;
    }
  }
  // A seek to where the file already is costs no call: blocks read in
  // order, and a file hashed from its start just after opening, are most
  // of a tree's seeks.
  void seek(std::uint64_t pos) override {
    if (pos == pos_) return;
    pos_ = kUnknown;
    LARGE_INTEGER li;
    li.QuadPart = static_cast<LONGLONG>(pos);
    if (!SetFilePointerEx(h_, li, nullptr, FILE_BEGIN)) fail("cannot seek in", path_);
    pos_ = pos;
  }
  std::uint64_t size() override {
    LARGE_INTEGER li;
    if (!GetFileSizeEx(h_, &li)) fail("cannot get the size of", path_);
    return static_cast<std::uint64_t>(li.QuadPart);
  }
  void sync() override {
    if (!FlushFileBuffers(h_)) fail("cannot flush", path_);
    written_ = false;
  }
  void setMode(std::uint32_t) override {}
  void setAttributes(std::uint32_t attributes) override {
    FILE_BASIC_INFO info;
    if (!GetFileInformationByHandleEx(h_, FileBasicInfo, &info, sizeof info))
      fail("cannot examine", path_);
    info.FileAttributes = withKept(info.FileAttributes, attributes);
    if (!SetFileInformationByHandle(h_, FileBasicInfo, &info, sizeof info))
      fail("cannot set the attributes of", path_);
  }

 private:
  static constexpr std::uint64_t kUnknown = ~std::uint64_t(0);
  HANDLE h_;
  std::string path_;
  std::shared_ptr<Unflushed> unflushed_;
  bool written_ = false;
  std::uint64_t pos_ = 0;  // the handle's file pointer, which only this object moves
};

class Win32FileSystem : public FileSystem {
 public:
  explicit Win32FileSystem(const Win32Api& api) : api_(api) {}

  std::string join(const std::string& root, const std::string& rel) const override {
    std::string r = root;
    if (!r.empty() && r.back() != '\\' && r.back() != '/') r += '\\';
    for (char c : rel) r += c == '/' ? '\\' : c;
    return r;
  }
  Stat stat(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA d;
    Stat r;
    if (!api_.getFileAttributesEx(path.c_str(), GetFileExInfoStandard, &d)) {
      DWORD e = GetLastError();
      if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return r;
      fail("cannot examine", path, e);
    }
    if (d.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      r.type = EntryType::Link;
      r.linkTarget =
          (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryType::Directory : EntryType::File;
    } else if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      r.type = EntryType::Directory;
    else
      r.type = EntryType::File;
    r.size = (static_cast<std::uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
    r.attributes = d.dwFileAttributes & kKept;
    return r;
  }
  std::unique_ptr<File> openRead(const std::string& path) override {
    return open(path, GENERIC_READ, FILE_FLAG_SEQUENTIAL_SCAN);
  }
  // A file in use does not open for writing: the engine replaces it instead.
  std::unique_ptr<File> openUpdate(const std::string& path) override {
    return open(path, GENERIC_READ | GENERIC_WRITE, 0, unflushed_);
  }
  std::unique_ptr<File> create(const std::string& path) override {
    HANDLE h = api_.createFile(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) fail("cannot create", path);
    return std::unique_ptr<File>(new Win32File(h, path, unflushed_));
  }
  void makeDir(const std::string& path) override {
    if (!CreateDirectoryA(path.c_str(), nullptr)) fail("cannot create folder", path);
  }
  void removeDir(const std::string& path) override {
    if (!RemoveDirectoryA(path.c_str())) fail("cannot remove folder", path);
  }
  void removeFile(const std::string& path) override {
    // A junction or folder link goes as a folder; its target stays.
    const Stat st = stat(path);
    if (st.type == EntryType::Link && st.linkTarget == EntryType::Directory) {
      if (!RemoveDirectoryA(path.c_str())) fail("cannot remove the link", path);
      return;
    }
    unflushed_->erase(path);
    if (DeleteFileA(path.c_str())) return;
    const DWORD kept = keptOf(path);
    clearReadOnly(path);
    if (!DeleteFileA(path.c_str())) {
      const DWORD err = GetLastError();
      restoreKept(path, kept);
      fail("cannot remove", path, err);
    }
  }
  std::vector<std::string> list(const std::string& dir) override {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_NOT_FOUND) return names;
      fail("cannot list", dir);
    }
    do {
      std::string n = fd.cFileName;
      if (n != "." && n != "..") names.push_back(n);
    } while (FindNextFileA(h, &fd));
    DWORD e = GetLastError();
    FindClose(h);
    if (e != ERROR_NO_MORE_FILES) fail("cannot list", dir, e);
    return names;
  }
  // Moves are write-through: the documented way to make a name change
  // durable without a handle to the volume.
  void rename(const std::string& from, const std::string& to) override {
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (!MoveFileExA(from.c_str(), to.c_str(), flags)) {
      const DWORD kept = keptOf(to);
      clearReadOnly(to);
      if (!MoveFileExA(from.c_str(), to.c_str(), flags)) {
        const DWORD err = GetLastError();
        restoreKept(to, kept);
        fail("cannot move " + from + " to", to, err);
      }
    }
    moved(from, to);
  }
  // ReplaceFile keeps the original itself.
  bool keep(const std::string&, const std::string&) override { return false; }
  // The original and its replacement both end with the original's kept
  // attributes, whatever part of the swap was done: the new content keeps
  // them, and so does the original that an undo moves back.
  void replace(const std::string& replacement, const std::string& target,
               const std::string& saved) override {
    const DWORD kept = keptOf(target);
    clearReadOnly(target);
    try {
      swap(replacement, target, saved);
    } catch (...) {
      restoreKept(target, kept);
      restoreKept(saved, kept);
      throw;
    }
    restoreKept(target, kept);
    restoreKept(saved, kept);
  }
  void flush() override {
    while (!unflushed_->empty()) flushFile(*unflushed_->begin());
  }

 private:
  // The reparse point itself is opened, never what it leads to, and then
  // refused.
  std::unique_ptr<File> open(const std::string& path, DWORD access, DWORD flags,
                             std::shared_ptr<Unflushed> unflushed = nullptr) {
    HANDLE h =
        api_.createFile(path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL | flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) fail("cannot open", path);
    std::unique_ptr<File> f(new Win32File(h, path, std::move(unflushed)));
    BY_HANDLE_FILE_INFORMATION info;
    if (!api_.getFileInformationByHandle(h, &info)) fail("cannot examine", path);
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
      throw IoFailure(path + " is not a plain file (a link, junction or folder)");
    return f;
  }
  void swap(const std::string& replacement, const std::string& target, const std::string& saved) {
    if (ReplaceFileA(target.c_str(), replacement.c_str(), saved.c_str(),
                     REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
      // ReplaceFile does not promise write-through; flushing the new
      // content by its handle takes its metadata along.
      moved(replacement, target);
      flushFile(target);
      return;
    }
    DWORD e = GetLastError();
    // Some volumes (network shares, FAT) refuse ReplaceFile. Two moves reach
    // the same end state; the journal covers the moment in between.
    if (GetFileAttributesA(saved.c_str()) == INVALID_FILE_ATTRIBUTES &&
        GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
      if (!MoveFileExA(target.c_str(), saved.c_str(), MOVEFILE_WRITE_THROUGH))
        fail("cannot keep the original of", target);
    } else if (GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
      fail("cannot replace", target, e);
    }
    if (!MoveFileExA(replacement.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      fail("cannot replace", target);
    moved(replacement, target);
  }
  void moved(const std::string& from, const std::string& to) {
    if (unflushed_->erase(from)) unflushed_->insert(to);
  }
  // By value: the path may be the set's own entry, erased first.
  void flushFile(std::string path) {
    unflushed_->erase(path);
    const auto open = [&] {
      return CreateFileA(
          path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    };
    HANDLE h = open();
    DWORD err = GetLastError();
    // A read-only file (a backup keeps the original's attributes) opens for
    // writing only without the attribute, which returns once it is open.
    const DWORD kept = h == INVALID_HANDLE_VALUE ? keptOf(path) : 0;
    if (kept & FILE_ATTRIBUTE_READONLY) {
      clearReadOnly(path);
      h = open();
      err = GetLastError();
      restoreKept(path, kept);
    }
    if (h == INVALID_HANDLE_VALUE) fail("cannot open to flush", path, err);
    const BOOL ok = FlushFileBuffers(h);
    err = GetLastError();
    CloseHandle(h);
    if (!ok) fail("cannot flush", path, err);
  }

  Win32Api api_;
  std::shared_ptr<Unflushed> unflushed_ = std::make_shared<Unflushed>();
};

}  // namespace

Win32Api nativeWin32Api() {
  return Win32Api{GetFileAttributesExA, CreateFileA, GetFileInformationByHandle};
}

std::unique_ptr<FileSystem> makeWin32FileSystem(const Win32Api& api) {
  return std::unique_ptr<FileSystem>(new Win32FileSystem(api));
}

std::unique_ptr<FileSystem> makeNativeFileSystem() { return makeWin32FileSystem(nativeWin32Api()); }

}  // namespace rtp
