#include "platform/files.h"

#include <windows.h>

#include <algorithm>
#include <limits>
#include <cwchar>
#include <atomic>
#include <utility>

#include "platform/win_strings.h"

namespace platform {
namespace {

using win::WidePath;

HANDLE Handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

FileAttributes FromFindData(DWORD attributes, DWORD sizeHigh, DWORD sizeLow) {
  FileAttributes a;
  a.isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  a.isSymlink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  a.readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  // Windows has no permission to run a file: whatever the loader accepts
  // runs. Nothing needs to be kept or granted.
  a.executable = false;
  a.size = a.isFolder ? 0 : (static_cast<std::uint64_t>(sizeHigh) << 32 | sizeLow);
  return a;
}

}  // namespace

FailureCause LastFailureCause() {
  switch (GetLastError()) {
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
      return FailureCause::kNoRights;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case 1295:  // ERROR_DISK_QUOTA_EXCEEDED, which not every SDK names
      return FailureCause::kDiskFull;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
      return FailureCause::kInUse;
    default:
      return FailureCause::kOther;
  }
}

std::string LastErrorText() {
  const DWORD error = GetLastError();
  wchar_t buffer[512];
  // One line: the message's own line breaks become blanks.
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                           nullptr, error, 0, buffer, sizeof buffer / sizeof buffer[0], nullptr);
  std::string words = n > 0 ? win::NarrowPath(std::wstring_view(buffer, n)) : std::string("Unknown error");
  for (char& c : words)
    if (c == '\r' || c == '\n') c = ' ';
  while (!words.empty() && (words.back() == ' ' || words.back() == '.')) words.pop_back();
  SetLastError(error);
  return words + " (error " + std::to_string(error) + ")";
}

std::optional<FileAttributes> AttributesOf(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (path.empty() || !GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &data))
    return std::nullopt;
  FileAttributes a = FromFindData(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow);
  auto ticks = [](const FILETIME& t) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime);
  };
  a.modified = ticks(data.ftLastWriteTime);
  a.changed = ticks(data.ftCreationTime);
  return a;
}

bool Exists(const std::string& path) { return AttributesOf(path).has_value(); }

bool IsFolder(const std::string& path) {
  auto a = AttributesOf(path);
  return a && a->isFolder;
}

bool RemoveFile(const std::string& path) {
  if (path.empty()) return false;
  std::wstring wide = WidePath(path);
  if (DeleteFileW(wide.c_str())) return true;
  // A read-only file goes too, as it does on Linux, where only the folder's
  // permission counts.
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return false;
  if (!SetFileAttributesW(wide.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) return false;
  if (DeleteFileW(wide.c_str())) return true;
  SetFileAttributesW(wide.c_str(), attributes);
  return false;
}

bool MakeFolder(const std::string& path) {
  return !path.empty() && CreateDirectoryW(WidePath(path).c_str(), nullptr);
}

bool RemoveFolder(const std::string& path) {
  return !path.empty() && RemoveDirectoryW(WidePath(path).c_str());
}

bool MakeFolders(const std::string& path) {
  if (path.empty()) return false;
  if (IsFolder(path)) return true;
  // Level by level; the drive ("C:") or the server and share of a network
  // path ("\\server\share") are never created.
  std::size_t first = 0;
  if (path.size() >= 2 && path[1] == ':') {
    first = 2;
  } else if (path.rfind("\\\\", 0) == 0) {
    std::size_t server = path.find('\\', 2);
    std::size_t share = server == std::string::npos ? std::string::npos : path.find('\\', server + 1);
    first = share == std::string::npos ? path.size() : share;
  }
  for (std::size_t i = first; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '\\' && path[i] != '/') continue;
    if (i == 0 || path[i - 1] == '\\' || path[i - 1] == '/' || path[i - 1] == ':') continue;
    std::string partial = path.substr(0, i);
    if (!IsFolder(partial) && !CreateDirectoryW(WidePath(partial).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS)
      return false;
  }
  return IsFolder(path);
}

bool MoveFileNoReplace(const std::string& from, const std::string& to) {
  return !from.empty() && !to.empty() &&
         MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), MOVEFILE_WRITE_THROUGH);
}

bool MoveFileReplacing(const std::string& from, const std::string& to) {
  return !from.empty() && !to.empty() &&
         MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

bool ReplaceRunningProgram(const std::string& newCopy, const std::string& program, const std::string& parked) {
  if (newCopy.empty() || program.empty() || parked.empty()) return false;
  // A running program's file can be renamed but neither overwritten nor
  // deleted: it moves aside to the parked name, which the next start
  // deletes, and the new copy takes its name.
  std::wstring wideProgram = WidePath(program);
  std::wstring wideParked = WidePath(parked);
  // An older parked copy goes, also when it is read-only (as a program
  // installed from a disc may be, and its parked copy after it): otherwise
  // it would block every later update of the program.
  if (GetFileAttributesW(wideParked.c_str()) != INVALID_FILE_ATTRIBUTES) RemoveFile(parked);
  // The two renames follow each other as closely as they can (the file
  // system journals them in order, so only the second waits for the disk):
  // between them the program's name is empty.
  if (!MoveFileExW(wideProgram.c_str(), wideParked.c_str(), 0)) return false;
  if (MoveFileExW(WidePath(newCopy).c_str(), wideProgram.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
  // The program's name must never stay empty: the old copy goes back.
  MoveFileExW(wideParked.c_str(), wideProgram.c_str(), MOVEFILE_WRITE_THROUGH);
  return false;
}

bool SetExecutable(const std::string& path) { return Exists(path); }

// A file's rights come from its folder; nothing is kept with the file.
std::optional<FilePermissions> PermissionsOf(const std::string& path) {
  auto a = AttributesOf(path);
  if (!a || a->isFolder || a->isSymlink) return std::nullopt;
  return FilePermissions{};
}

// Renames are written through (MOVEFILE_WRITE_THROUGH) and files are created
// in the folder's journal: the folder has nothing of its own to flush.
// No rename swaps two entries on Windows.
bool ExchangePaths(const std::string&, const std::string&) { return false; }

bool FlushFolder(const std::string& path) { return IsFolder(path); }

bool LinkFile(const std::string& existing, const std::string& added) {
  return !existing.empty() && !added.empty() &&
         CreateHardLinkW(WidePath(added).c_str(), WidePath(existing).c_str(), nullptr);
}

std::optional<std::vector<FolderEntry>> ListFolder(const std::string& path) {
  if (path.empty()) return std::nullopt;
  std::wstring pattern = WidePath(path);
  if (pattern.back() != L'\\' && pattern.back() != L'/') pattern.push_back(L'\\');
  pattern += L"*";
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    // An empty folder has no entries at all on some file systems.
    if (GetLastError() == ERROR_FILE_NOT_FOUND && IsFolder(path)) return std::vector<FolderEntry>{};
    return std::nullopt;
  }
  std::vector<FolderEntry> entries;
  do {
    std::wstring_view name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    FolderEntry e;
    e.name = win::NarrowPath(name);
    FileAttributes a = FromFindData(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow);
    e.isFolder = a.isFolder;
    e.isSymlink = a.isSymlink;
    e.size = a.size;
    entries.push_back(std::move(e));
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return entries;
}

std::string ModulePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return win::NarrowPath(buffer);
    }
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

File File::Open(const std::string& path, OpenMode mode) {
  File f;
  if (path.empty()) return f;
  DWORD access = GENERIC_WRITE;
  DWORD disposition = OPEN_EXISTING;
  DWORD share = FILE_SHARE_READ;
  switch (mode) {
    case OpenMode::kRead: access = GENERIC_READ; break;
    case OpenMode::kWriteExisting: break;
    case OpenMode::kCreateAlways: disposition = CREATE_ALWAYS; break;
    // A new file takes the folder's access rules; a private one is for
    // the owner's profile, which only the user may read.
    case OpenMode::kCreateNew:
    case OpenMode::kCreatePrivate: disposition = CREATE_NEW; break;
    case OpenMode::kAppend:
      // As on Linux, several processes may append to one file at once:
      // each write goes to the end, whoever else holds the file.
      access = FILE_APPEND_DATA;
      disposition = OPEN_ALWAYS;
      share |= FILE_SHARE_WRITE;
      break;
  }
  HANDLE h = CreateFileW(WidePath(path).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return f;
  // Only files on a disk are files here: a device name ("CON", "NUL", a
  // pipe) in place of a file could hang or swallow what we write.
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return f;
  }
  f.handle_ = reinterpret_cast<std::intptr_t>(h);
  return f;
}

std::int64_t File::Read(void* buffer, std::size_t size) {
  if (!IsOpen()) return -1;
  DWORD n = 0;
  DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
  if (!ReadFile(Handle(handle_), buffer, want, &n, nullptr)) return -1;
  return n;
}

std::int64_t File::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) {
  if (!IsOpen()) return -1;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD n = 0;
  DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
  if (ReadFile(Handle(handle_), buffer, want, &n, &at)) return n;
  return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

// Whether the file is on a fixed disk of this machine: a read error under a
// view (a network share gone, a drive pulled out) is an exception that
// would end the process, where a read would fail.
bool OnFixedDisk(HANDLE file) {
  wchar_t path[MAX_PATH + 8];
  DWORD length = GetFinalPathNameByHandleW(file, path, MAX_PATH + 8, VOLUME_NAME_DOS);
  // "\\?\C:\..." for a drive; "\\?\UNC\..." for a share.
  if (length < 7 || length >= MAX_PATH + 8 || wcsncmp(path, L"\\\\?\\", 4) != 0 || path[5] != L':') return false;
  wchar_t root[] = {path[4], L':', L'\\', 0};
  return GetDriveTypeW(root) == DRIVE_FIXED;
}

std::optional<FileView> FileView::Map(File& file) {
  auto size = file.Size();
  if (!file.IsOpen() || !size || *size == 0 || *size > std::numeric_limits<SIZE_T>::max() ||
      !OnFixedDisk(Handle(file.handle_)))
    return std::nullopt;
  HANDLE mapping = CreateFileMappingW(Handle(file.handle_), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (!mapping) return std::nullopt;
  const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(*size));
  if (!view) {
    CloseHandle(mapping);
    return std::nullopt;
  }
  return FileView(static_cast<const std::uint8_t*>(view), *size, reinterpret_cast<std::intptr_t>(mapping));
}

FileView::FileView(FileView&& other) noexcept : data_(other.data_), size_(other.size_), mapping_(other.mapping_) {
  other.data_ = nullptr;
  other.mapping_ = 0;
}

FileView::~FileView() {
  if (data_) UnmapViewOfFile(data_);
  if (mapping_) CloseHandle(reinterpret_cast<HANDLE>(mapping_));
}

std::int64_t File::CopyFrom(File& source, void* buffer, std::size_t size) {
  return CopyThroughBuffer(source, buffer, size);
}

std::int64_t File::Write(const void* buffer, std::size_t size) {
  if (!IsOpen()) return -1;
  const char* p = static_cast<const char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
    if (!WriteFile(Handle(handle_), p + done, want, &n, nullptr) || n == 0) break;
    done += n;
  }
  return static_cast<std::int64_t>(done);
}

std::optional<std::uint64_t> File::Size() const {
  LARGE_INTEGER size;
  if (!IsOpen() || !GetFileSizeEx(Handle(handle_), &size)) return std::nullopt;
  return static_cast<std::uint64_t>(size.QuadPart);
}

bool File::Seek(std::uint64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  return IsOpen() && SetFilePointerEx(Handle(handle_), to, nullptr, FILE_BEGIN);
}

bool File::Flush() { return IsOpen() && FlushFileBuffers(Handle(handle_)); }

// Windows writes behind on its own; only FlushFileBuffers waits.
void File::StartFlush() {}

bool File::SetPermissions(const FilePermissions&) { return IsOpen(); }

bool File::MakeExecutable() { return IsOpen(); }

void File::Close() {
  if (IsOpen()) {
    CloseHandle(Handle(handle_));
    handle_ = kNone;
  }
}

std::string TemporaryPathBeside(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".tmp" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
}

}  // namespace platform
