#include "platform/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <utility>

namespace platform {
namespace {

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

FileAttributes FromStat(const struct stat& st) {
  FileAttributes a;
  a.isFolder = S_ISDIR(st.st_mode);
  a.isSymlink = S_ISLNK(st.st_mode);
  a.readOnly = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  a.executable = S_ISREG(st.st_mode) && (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
  a.isSpecial = S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISSOCK(st.st_mode);
  a.size = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
  a.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  a.changed = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return a;
}

// The mode with an execute bit beside each read bit.
mode_t ExecutableMode(mode_t mode) {
  mode &= 07777;
  if (mode & S_IRUSR) mode |= S_IXUSR;
  if (mode & S_IRGRP) mode |= S_IXGRP;
  if (mode & S_IROTH) mode |= S_IXOTH;
  return mode;
}

// strerror_r is the XSI one (0 on success, the words in the buffer) or the
// GNU one (the words returned), depending on the C library.
[[maybe_unused]] const char* ErrorWords(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* ErrorWords(const char* result, const char*) { return result; }

}  // namespace

FailureCause LastFailureCause() {
  switch (errno) {
    case EACCES:
    case EPERM:
      return FailureCause::kNoRights;
    case ENOSPC:
    case EDQUOT:
      return FailureCause::kDiskFull;
    case ETXTBSY:
    case EBUSY:
      return FailureCause::kInUse;
    default:
      return FailureCause::kOther;
  }
}

std::string LastErrorText() {
  const int error = errno;
  char buffer[256] = "";
  std::string text = std::string(ErrorWords(strerror_r(error, buffer, sizeof buffer), buffer)) + " (errno " +
                     std::to_string(error) + ")";
  errno = error;
  return text;
}

std::optional<FileAttributes> AttributesOf(const std::string& path) {
  struct stat st;
  if (path.empty() || lstat(path.c_str(), &st) != 0) return std::nullopt;
  return FromStat(st);
}

bool Exists(const std::string& path) { return AttributesOf(path).has_value(); }

bool IsFolder(const std::string& path) {
  auto a = AttributesOf(path);
  return a && a->isFolder;
}

bool RemoveFile(const std::string& path) { return !path.empty() && unlink(path.c_str()) == 0; }

bool MakeFolder(const std::string& path) { return !path.empty() && mkdir(path.c_str(), 0777) == 0; }

bool RemoveFolder(const std::string& path) { return !path.empty() && rmdir(path.c_str()) == 0; }

bool MakeFolders(const std::string& path) {
  if (path.empty()) return false;
  if (IsFolder(path)) return true;
  std::string partial;
  partial.reserve(path.size());
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || (path[i] == '/' && i > 0)) {
      if (!IsFolder(partial) && mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    if (i < path.size()) partial.push_back(path[i]);
  }
  return IsFolder(path);
}

bool MoveFileNoReplace(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty()) return false;
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without RENAME_NOREPLACE: a hard link fails on an existing
  // name, then the old name goes.
  if (link(from.c_str(), to.c_str()) != 0) return false;
  unlink(from.c_str());
  return true;
}

bool MoveFileReplacing(const std::string& from, const std::string& to) {
  return !from.empty() && !to.empty() && rename(from.c_str(), to.c_str()) == 0;
}

bool ReplaceRunningProgram(const std::string& newCopy, const std::string& program, const std::string& parked) {
  if (newCopy.empty() || program.empty() || parked.empty()) return false;
  // The running program's file keeps a second name, then the new copy takes
  // the program's name in one step, so the program is never missing.
  unlink(parked.c_str());
  LinkFile(program, parked);
  return MoveFileReplacing(newCopy, program);
}

bool SetExecutable(const std::string& path) {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return false;
  return chmod(path.c_str(), ExecutableMode(st.st_mode)) == 0;
}

std::optional<FilePermissions> PermissionsOf(const std::string& path) {
  struct stat st;
  if (path.empty() || lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return FilePermissions{static_cast<std::uint32_t>(st.st_mode & 07777), static_cast<std::uint32_t>(st.st_uid),
                         static_cast<std::uint32_t>(st.st_gid)};
}

bool ExchangePaths(const std::string& a, const std::string& b) {
#if defined(__linux__)
  return renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0;
#else
  (void)a;
  (void)b;
  return false;
#endif
}

bool FlushFolder(const std::string& path) {
  if (path.empty()) return false;
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  // Some file systems cannot flush a folder, and have nothing to flush.
  bool ok = fsync(fd) == 0 || errno == EINVAL;
  close(fd);
  return ok;
}

bool LinkFile(const std::string& existing, const std::string& added) {
  return !existing.empty() && !added.empty() && link(existing.c_str(), added.c_str()) == 0;
}

std::optional<std::vector<FolderEntry>> ListFolder(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (!dir) return std::nullopt;
  std::vector<FolderEntry> entries;
  while (struct dirent* d = readdir(dir)) {
    std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    FolderEntry e;
    e.name = std::move(name);
    struct stat st;
    if (fstatat(dirfd(dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      FileAttributes a = FromStat(st);
      e.isFolder = a.isFolder;
      e.isSymlink = a.isSymlink;
      e.isSpecial = a.isSpecial;
      e.size = a.size;
    }
    entries.push_back(std::move(e));
  }
  closedir(dir);
  return entries;
}

std::string ModulePath() {
  char buffer[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(n));
}

File File::Open(const std::string& path, OpenMode mode) {
  File f;
  if (path.empty()) return f;
  int flags = O_CLOEXEC;
  switch (mode) {
    case OpenMode::kRead: flags |= O_RDONLY; break;
    case OpenMode::kWriteExisting: flags |= O_WRONLY; break;
    case OpenMode::kCreateAlways: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
    // O_EXCL never follows a link at the name.
    case OpenMode::kCreateNew:
    case OpenMode::kCreatePrivate: flags |= O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW; break;
    case OpenMode::kAppend: flags |= O_WRONLY | O_CREAT | O_APPEND; break;
  }
  // Opened without blocking, so that a FIFO or device in place of a file
  // cannot hang the caller; only regular files are files here.
  int fd;
  do {
    fd = open(path.c_str(), flags | O_NONBLOCK, mode == OpenMode::kCreatePrivate ? 0600 : 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return f;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return f;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  f.handle_ = fd;
  return f;
}

std::int64_t File::Read(void* buffer, std::size_t size) {
  if (!IsOpen()) return -1;
  for (;;) {
    ssize_t n = read(Fd(handle_), buffer, size);
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

std::int64_t File::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) {
  if (!IsOpen()) return -1;
  for (;;) {
    ssize_t n = pread(Fd(handle_), buffer, size, static_cast<off_t>(offset));
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

// A file cut short by another process under a view raises SIGBUS here: no
// views, reads go through ReadAt.
std::optional<FileView> FileView::Map(File&) { return std::nullopt; }
FileView::FileView(FileView&& other) noexcept : data_(other.data_), size_(other.size_), mapping_(other.mapping_) {
  other.data_ = nullptr;
}
FileView::~FileView() = default;

std::int64_t File::Write(const void* buffer, std::size_t size) {
  if (!IsOpen()) return -1;
  const char* p = static_cast<const char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = write(Fd(handle_), p + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t File::CopyFrom(File& source, void* buffer, std::size_t size) {
  if (!IsOpen() || !source.IsOpen()) return -1;
#if defined(__linux__)
  for (;;) {
    ssize_t n = copy_file_range(Fd(source.handle_), nullptr, Fd(handle_), nullptr, size, 0);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    // Files the kernel will not copy between (other file systems on older
    // kernels, file systems without the operation) go the usual way.
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != EBADF) return -1;
    break;
  }
#endif
  return CopyThroughBuffer(source, buffer, size);
}

std::optional<std::uint64_t> File::Size() const {
  struct stat st;
  if (!IsOpen() || fstat(Fd(handle_), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

bool File::Seek(std::uint64_t offset) {
  return IsOpen() && lseek(Fd(handle_), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool File::Flush() { return IsOpen() && fsync(Fd(handle_)) == 0; }

void File::StartFlush() {
#if defined(__linux__)
  if (IsOpen()) sync_file_range(Fd(handle_), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

bool File::SetPermissions(const FilePermissions& permissions) {
  if (!IsOpen()) return false;
  int fd = Fd(handle_);
  // Only root may give a file away; anyone may give it a group of their own,
  // and a group that is not theirs leaves the file with the user's.
  bool owned = geteuid() == 0 ? fchown(fd, permissions.owner, permissions.group) == 0
                              : fchown(fd, static_cast<uid_t>(-1), permissions.group) == 0 || errno == EPERM;
  // The bits last: a change of owner clears the set-id bits.
  return fchmod(fd, static_cast<mode_t>(permissions.mode & 07777)) == 0 && owned;
}

bool File::MakeExecutable() {
  struct stat st;
  return IsOpen() && fstat(Fd(handle_), &st) == 0 && fchmod(Fd(handle_), ExecutableMode(st.st_mode)) == 0;
}

void File::Close() {
  if (IsOpen()) {
    close(Fd(handle_));
    handle_ = kNone;
  }
}

std::string TemporaryPathBeside(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

}  // namespace platform
