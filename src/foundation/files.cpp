// File access layer: small integer handles over a process-wide table of open
// files, so that a failing operation can close what it opened.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "foundation/basic.h"
#include "foundation/errors.h"
#include "foundation/monitor.h"

namespace zelo {
namespace {

enum class LastOp { None, Read, Write };

struct FileEntry {
  int32_t handle = 0;
  bool text = false;
  std::string name;
  std::FILE* file = nullptr;
  LastOp last = LastOp::None;
};

struct FileTable {
  std::vector<FileEntry> entries;
  int32_t next = 0;
};

FileTable& Files() {
  static FileTable* t = new FileTable;  // never destroyed: the unload report needs it
  return *t;
}

FileEntry* Find(int32_t handle) {
  for (auto& e : Files().entries)
    if (e.handle == handle) return &e;
  return nullptr;
}

int32_t IndexOf(int32_t handle) {
  auto& v = Files().entries;
  for (size_t i = 0; i < v.size(); ++i)
    if (v[i].handle == handle) return static_cast<int32_t>(i);
  return -1;
}

bool IsDirectory(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

// Opens with POSIX flags and wraps the descriptor in a stdio stream.
std::FILE* OpenStream(const std::string& name, int oflags, const char* mode) {
  int fd = ::open(name.c_str(), oflags | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  if (IsDirectory(fd)) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* f = ::fdopen(fd, mode);
  if (f == nullptr) ::close(fd);
  return f;
}

// stdio needs a positioning call between reads and writes on one stream.
void Switch(FileEntry& e, LastOp op) {
  if (e.last != LastOp::None && e.last != op) fseeko(e.file, 0, SEEK_CUR);
  e.last = op;
}

int32_t AddEntry(int32_t& handle, const std::string& name, bool text, std::FILE* f) {
  FileTable& t = Files();
  FileEntry e;
  e.handle = t.next++;
  e.text = text;
  e.name = name.substr(0, 255);
  e.file = f;
  t.entries.push_back(std::move(e));
  handle = t.entries.back().handle;
  return 0;
}

bool CloseAt(int32_t index) {
  auto& v = Files().entries;
  bool ok = std::fclose(v[index].file) == 0;
  if (index != static_cast<int32_t>(v.size()) - 1) v[index] = std::move(v.back());
  v.pop_back();
  return ok;
}

void CloseHandle(int32_t handle) {
  ErrWarnClear();
  int32_t i = IndexOf(handle);
  if (i < 0) return;
  if (!CloseAt(i)) ErrWarn(ERR_FILE, 8, 1208);
}

}  // namespace

bool FileExists(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

int32_t FOpen(int32_t& handle, const std::string& name, int32_t flags) {
  PathScope path("Basic.FOpen");
  errno = 0;
  handle = UNDEF;
  LastFileName() = name;
  int32_t result = 0;
  if (FCount() >= kFileTableSize) {
    result = 11;
  } else {
    int access = O_RDWR;
    const char* mode = "r+b";
    if (HasFlag(flags, FM_READ)) {
      access = O_RDONLY;
      mode = "rb";
    } else if (HasFlag(flags, FM_WRITE)) {
      access = O_WRONLY;
      mode = "wb";
    }
    std::FILE* f = nullptr;
    if (HasFlag(flags, FM_CREATE)) {
      f = OpenStream(name, access | O_CREAT | O_TRUNC, mode);
      if (f == nullptr) result = 2;
    } else if (HasFlag(flags, FM_APPEND)) {
      f = OpenStream(name, access, mode);
      if (f == nullptr) {
        result = 7;
      } else if (fseeko(f, 0, SEEK_END) != 0) {
        std::fclose(f);
        f = nullptr;
        result = 5;
      }
    } else {
      f = OpenStream(name, access, mode);
      if (f == nullptr) result = 1;
    }
    if (f != nullptr) AddEntry(handle, name, false, f);
  }
  ErrRaise(ERR_FILE, result, 1201);
  return result;
}

int32_t FRead(int32_t handle, void* buffer, int64_t count) {
  PathScope path("Basic.FRead");
  errno = 0;
  int32_t result = 0;
  FileEntry* e = Find(handle);
  if (e != nullptr && count > 0) {
    Switch(*e, LastOp::Read);
    size_t n = std::fread(buffer, 1, static_cast<size_t>(count), e->file);
    if (static_cast<int64_t>(n) != count) {
      std::clearerr(e->file);
      result = 3;
    }
  }
  ErrRaise(ERR_FILE, result, 1202);
  return result;
}

void FReadSome(int32_t handle, void* buffer, int64_t count, int64_t& done) {
  done = 0;
  FileEntry* e = Find(handle);
  if (e == nullptr || count <= 0) return;
  Switch(*e, LastOp::Read);
  done = static_cast<int64_t>(std::fread(buffer, 1, static_cast<size_t>(count), e->file));
  std::clearerr(e->file);
}

int32_t FWrite(int32_t handle, const void* buffer, int64_t count) {
  PathScope path("Basic.FWrite");
  errno = 0;
  int32_t result = 0;
  FileEntry* e = Find(handle);
  if (e != nullptr && count > 0) {
    Switch(*e, LastOp::Write);
    size_t n = std::fwrite(buffer, 1, static_cast<size_t>(count), e->file);
    if (static_cast<int64_t>(n) != count) {
      std::clearerr(e->file);
      result = 4;
    }
  }
  ErrRaise(ERR_FILE, result, 1203);
  return result;
}

int32_t FSeek(int32_t handle, int64_t position) {
  PathScope path("Basic.FSeek");
  errno = 0;
  int32_t result = 0;
  if (FileEntry* e = Find(handle)) {
    if (position < 0 || fseeko(e->file, static_cast<off_t>(position), SEEK_SET) != 0) result = 5;
    e->last = LastOp::None;
  }
  ErrRaise(ERR_FILE, result, 1204);
  return result;
}

int64_t FSize(int32_t handle) {
  FileEntry* e = Find(handle);
  if (e == nullptr) return UNDEF;
  if (e->last == LastOp::Write) std::fflush(e->file);
  struct stat st {};
  if (fstat(fileno(e->file), &st) != 0) return UNDEF;
  return static_cast<int64_t>(st.st_size);
}

int64_t FPos(int32_t handle) {
  FileEntry* e = Find(handle);
  if (e == nullptr) return UNDEF;
  off_t p = ftello(e->file);
  return p < 0 ? UNDEF : static_cast<int64_t>(p);
}

void FClose(int32_t handle) {
  PathScope path("Basic.FClose");
  errno = 0;
  CloseHandle(handle);
}

int32_t TXTOpen(int32_t& handle, const std::string& name, int32_t flags) {
  PathScope path("Basic.TXTOpen");
  errno = 0;
  handle = UNDEF;
  LastFileName() = name;
  int32_t result = 0;
  if (FCount() >= kFileTableSize) {
    result = 11;
  } else {
    std::FILE* f = nullptr;
    if (HasFlag(flags, FM_CREATE)) {
      f = OpenStream(name, O_WRONLY | O_CREAT | O_TRUNC, "w");
      if (f == nullptr) result = 2;
    } else if (HasFlag(flags, FM_APPEND)) {
      f = OpenStream(name, O_WRONLY | O_APPEND, "a");
      if (f == nullptr) result = 7;
    } else {
      f = OpenStream(name, O_RDONLY, "r");
      if (f == nullptr) result = 1;
    }
    if (f != nullptr) AddEntry(handle, name, true, f);
  }
  ErrRaise(ERR_FILE, result, 1205);
  return result;
}

int32_t TXTWrite(int32_t handle, const std::string& text) {
  PathScope path("Basic.TXTWrite");
  errno = 0;
  int32_t result = 0;
  if (FileEntry* e = Find(handle)) {
    // Text files end their lines the way the platform's text files do.
    if (std::fwrite(text.data(), 1, text.size(), e->file) != text.size() ||
        std::fputc('\n', e->file) == EOF) {
      std::clearerr(e->file);
      result = 4;
    }
  }
  ErrRaise(ERR_FILE, result, 1206);
  return result;
}

void TXTClose(int32_t handle) {
  PathScope path("Basic.TXTClose");
  errno = 0;
  CloseHandle(handle);
}

int32_t FDelete(const std::string& name) {
  PathScope path("Basic.FDelete");
  errno = 0;
  LastFileName() = name;
  int32_t result = 0;
  struct stat st {};
  if (::lstat(name.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode)) ::chmod(name.c_str(), st.st_mode | S_IWUSR);
    if (S_ISDIR(st.st_mode) || ::unlink(name.c_str()) != 0) result = 6;
  }
  ErrRaise(ERR_FILE, result, 1207);
  return result;
}

int32_t FRename(const std::string& oldName, const std::string& newName) {
  PathScope path("Basic.FRename");
  errno = 0;
  ErrClear();
  LastFileName() = oldName;
  struct stat st {};
  if (::stat(oldName.c_str(), &st) != 0) {
    ErrRaise(ERR_FILE, 10, 1209);
    return 0;
  }
  if (::lstat(newName.c_str(), &st) == 0) {
    ErrRaise(ERR_FILE, 10, 1210);
    return 0;
  }
  if (::rename(oldName.c_str(), newName.c_str()) != 0) ErrRaise(ERR_FILE, 10, 1211);
  return 0;
}

int32_t FCount() { return static_cast<int32_t>(Files().entries.size()); }

void FCloseFrom(int32_t n) {
  if (n < 0) n = 0;
  for (int32_t i = FCount() - 1; i >= n; --i) CloseAt(i);
}

bool FIsOpen(int32_t handle) { return Find(handle) != nullptr; }

std::string FName(int32_t position) {
  auto& v = Files().entries;
  if (position < 0 || position >= static_cast<int32_t>(v.size())) return {};
  return v[position].name;
}

}  // namespace zelo
