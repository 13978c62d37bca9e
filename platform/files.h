// Files and folders. Paths are 8-bit strings: on Linux the bytes the file
// system has, on Windows UTF-8 (a name that is no UTF-8 is read in the ANSI
// code page) handed to the wide-character API. Every operation reports
// failure through its result; none throws. The names avoid those of Win32 macros (DeleteFile, CreateDirectory)
// so that the Windows implementation can include <windows.h> beside this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct FileAttributes {
  bool isFolder = false;
  bool isSymlink = false;  // the entry itself is a symbolic link
  bool readOnly = false;   // no write permission bit for anyone
  bool executable = false; // may be run as a program
  bool isSpecial = false;  // a FIFO, device or socket: no file, folder or link
  std::uint64_t size = 0;
  // When the content was last written, and when the entry last changed in
  // any way (Linux: its status change time, which no program can set back;
  // Windows: its creation time), in kFileTimeTicksPerSecond units of the system's clock.
  std::int64_t modified = 0;
  std::int64_t changed = 0;
};

// Attributes of the entry at `path` without following a final symbolic link;
// empty when there is no such entry.
std::optional<FileAttributes> AttributesOf(const std::string& path);
bool Exists(const std::string& path);
bool IsFolder(const std::string& path);

bool RemoveFile(const std::string& path);
bool MakeFolder(const std::string& path);  // one level; false if it exists
bool RemoveFolder(const std::string& path);  // only an empty folder
// Creates `path` and every missing folder above it.
bool MakeFolders(const std::string& path);
// Renames `from` to `to`; fails when `to` exists.
bool MoveFileNoReplace(const std::string& from, const std::string& to);
// Renames `from` to `to` in one step, replacing a file at `to`.
bool MoveFileReplacing(const std::string& from, const std::string& to);
// Puts the file at `newCopy` in the place of the running program at
// `program`. The running program's file stays under the name `parked` (an
// older file of that name goes), where the next start deletes it. At no
// moment is the program's name without a file, or, where the system
// allows no such swap, the program's name is empty only between two
// renames and is given back its old file when the second one fails.
bool ReplaceRunningProgram(const std::string& newCopy, const std::string& program, const std::string& parked);
// Lets the file be run as a program by whoever may read it.
bool SetExecutable(const std::string& path);

// Who may do what with a file: its permission bits (set-id and sticky bits
// included), its owner and its group. A Windows file takes its rights from
// the folder it is made in and keeps none of these: there they are zero, and
// giving them to a file does nothing.
struct FilePermissions {
  std::uint32_t mode = 0;
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
};
// The permissions of the regular file at `path`; empty when there is none (a
// symbolic link is not followed and is no regular file).
std::optional<FilePermissions> PermissionsOf(const std::string& path);

// Makes the changes to the folder's entries (files created, renamed into it
// or deleted) durable, as File::Flush does for a file's data. Where renames
// are written through by themselves, there is nothing to wait for.
bool FlushFolder(const std::string& path);
// Swaps the entries at `a` and `b` in one step; false where the system has
// no such rename (the caller then renames one after the other).
bool ExchangePaths(const std::string& a, const std::string& b);

// Gives the file at `existing` a second name `added`; fails when `added`
// exists.
bool LinkFile(const std::string& existing, const std::string& added);

struct FolderEntry {
  std::string name;
  bool isFolder = false;
  bool isSymlink = false;
  bool isSpecial = false;  // a FIFO, device or socket
  std::uint64_t size = 0;
};
// The entries of a folder (without "." and ".."), in the order the file
// system returns them; empty optional when the folder cannot be read.
std::optional<std::vector<FolderEntry>> ListFolder(const std::string& path);

// Why the last failed file operation of the calling thread failed, as far
// as a user can do something about it. Read it right after the failure: any
// later call of the system may change it.
enum class FailureCause {
  kOther,
  kNoRights,  // this user may not change the file or folder
  kDiskFull,  // no space left (or the user's quota is used up)
  kInUse,     // another program holds the file
};
FailureCause LastFailureCause();
// The system's own words for that failure, on one line, with its number:
// "No space left on device (errno 28)", "Access is denied (error 5)". Read
// at the same moment as LastFailureCause(); it changes neither.
std::string LastErrorText();

// Whether this process can create, write, rename and delete files in
// `folder`, found out by doing it with a file of its own, which is gone
// again afterwards; empty when it can, otherwise why not.
std::optional<FailureCause> ProbeFolderChanges(const std::string& folder);

// Full path of the running executable.
std::string ModulePath();

enum class OpenMode {
  kRead,            // existing file, read only; others may read too
  kWriteExisting,   // existing file, write access, not truncated
  kCreateAlways,    // create or truncate, write access
  kCreateNew,       // create a file that must not exist yet, write access;
                    // fails on anything at the name, a symbolic link too
  kCreatePrivate,   // as kCreateNew, readable and writable by its owner only
  kAppend,          // create if missing; every write goes to the end
};

class File;

// A read-only view of a whole open file in memory, where the system keeps
// a mapped file from being cut short (Windows: a file with a view cannot
// be truncated), so that reading it costs no system call; only for a file
// on a fixed disk, as a read error under a view (a share gone, a drive
// pulled out) ends the process. Elsewhere a file cut short under a view
// would fault the process: there, and when no view can be had (an empty
// file, no address space for it), Map gives none and the file is read with
// ReadAt. Moves, never copies.
class FileView {
 public:
  static std::optional<FileView> Map(File& file);
  FileView(FileView&& other) noexcept;
  FileView& operator=(FileView&&) = delete;
  ~FileView();

  const std::uint8_t* data() const { return data_; }
  std::uint64_t size() const { return size_; }

 private:
  FileView(const std::uint8_t* data, std::uint64_t size, std::intptr_t mapping)
      : data_(data), size_(size), mapping_(mapping) {}
  const std::uint8_t* data_ = nullptr;
  std::uint64_t size_ = 0;
  std::intptr_t mapping_ = 0;
};

// An open file. Owns its handle; moves, never copies.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  static File Open(const std::string& path, OpenMode mode);

  bool IsOpen() const { return handle_ != kNone; }
  // Reads up to `size` bytes; returns the count read (0 at the end) or -1.
  std::int64_t Read(void* buffer, std::size_t size);
  // Reads up to `size` bytes at `offset`, wherever the file's position is
  // (which it may move on Windows); the count read (0 past the end) or -1.
  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t size);
  // Writes all `size` bytes unless an error stops it; returns the count
  // written (less than `size` only after an error) or -1.
  std::int64_t Write(const void* buffer, std::size_t size);
  // Copies up to `size` bytes from `source`'s position to this file's; both
  // positions move on. Where the system copies between files itself
  // (copy_file_range on Linux) the bytes never pass through this process,
  // which keeps a large copy at the speed of cp; elsewhere they go through
  // `buffer`, of at least `size` bytes. Returns the count copied (0 at the
  // source's end) or -1, also when fewer bytes could be written than read.
  std::int64_t CopyFrom(File& source, void* buffer, std::size_t size);
  std::optional<std::uint64_t> Size() const;
  bool Seek(std::uint64_t offset);
  // Makes the written data durable (flushes it to the disk).
  bool Flush();
  // Starts writing what has been written so far to the disk without
  // waiting for it, so that a later Flush has little left to wait for.
  // Where the system has no such request, it does nothing.
  void StartFlush();
  // Gives the file the permission bits of `permissions` and, where this
  // process may give a file away (it runs as root), their owner and group;
  // otherwise the group where the user belongs to it.
  bool SetPermissions(const FilePermissions& permissions);
  // Lets whoever may read the file run it (SetExecutable for an open file).
  bool MakeExecutable();
  void Close();

 private:
  friend class FileView;
  std::int64_t CopyThroughBuffer(File& source, void* buffer, std::size_t size);

  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;
};

enum class ReadResult { kOk, kMissing, kTooLarge, kError };
// Reads a whole file of at most `maxBytes` bytes into `out`.
ReadResult ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& out);

// A file written under a temporary name and given its final name only once
// it is whole and on the disk: whatever cuts the writing short (a failure, a
// stop, a crash), the final name holds what it held before or the whole new
// file, never a part of it.
//
//   DurableFile out(finalPath, temporaryPath);
//   bool done = out.Create() && out.Write(data, size) && out.Commit();
//
// - Create() makes the temporary file as a new one (OpenMode::kCreateNew, or
//   kCreatePrivate with `ownerOnly`): it fails on anything at that name, a
//   symbolic link too, so nothing is ever written through a link.
// - Write() appends all of its bytes or fails. file() is the open file, for
//   what Write does not do (write-behind, permissions, copying into it).
// - MakeDurable() flushes the file to the disk and closes it. Commit() does
//   that unless done, then renames the file to its final name, replacing a
//   file there (Placement::kReplace) or failing on anything there
//   (kNoReplace); with `flushFolder` it then flushes the final name's
//   folder, so that the rename itself is on the disk. A failed Commit may be
//   tried again.
// - Until a Commit has renamed it, Discard() or the destructor removes the
//   temporary file.
// - cause() is why its first failed operation failed (LastFailureCause() at
//   that moment), errorText() the system's words for it (LastErrorText());
//   kOther and empty while none has failed, or when no system call did.
class DurableFile {
 public:
  enum class Placement { kReplace, kNoReplace };

  DurableFile() = default;  // none yet: nothing to create, write or commit
  DurableFile(std::string finalPath, std::string temporaryPath, Placement placement = Placement::kReplace,
              bool flushFolder = false);
  ~DurableFile();
  DurableFile(DurableFile&& other) noexcept;
  DurableFile& operator=(DurableFile&& other) noexcept;
  DurableFile(const DurableFile&) = delete;
  DurableFile& operator=(const DurableFile&) = delete;

  bool Create(bool ownerOnly = false);
  // Takes on the temporary file an earlier object left (Leave): writes go
  // after what it holds.
  bool Reopen();
  // Closes the temporary file and leaves it where it is, for a later
  // Reopen.
  void Leave();
  bool Write(const void* data, std::size_t size);
  bool MakeDurable();
  bool Commit();
  // Commit() with another rename: `rename(temporaryPath, finalPath)` puts
  // the file in place (such as ReplaceRunningProgram).
  bool CommitBy(const std::function<bool(const std::string& from, const std::string& to)>& rename);
  void Discard();

  // The temporary file is there and this object's: created, and neither
  // renamed nor removed since.
  bool created() const { return created_; }
  File& file() { return file_; }
  FailureCause cause() const { return cause_.value_or(FailureCause::kOther); }
  const std::string& errorText() const { return errorText_; }
  const std::string& finalPath() const { return finalPath_; }
  const std::string& temporaryPath() const { return temporaryPath_; }

 private:
  bool Failed(std::optional<FailureCause> cause = std::nullopt);

  std::string finalPath_;
  std::string temporaryPath_;
  Placement placement_ = Placement::kReplace;
  bool flushFolder_ = false;
  File file_;
  bool created_ = false;
  bool durable_ = false;
  std::optional<FailureCause> cause_;
  std::string errorText_;
};

// A name beside `path` for a temporary file of this process,
// "<path>.tmp<process id>-<n>": another one at every call.
std::string TemporaryPathBeside(const std::string& path);

// Replaces the file at `path` with `data` so that a crash at any moment
// leaves either the old or the new contents, never a mixture: a DurableFile
// beside it, its folder flushed after the rename.
bool ReplaceFileContents(const std::string& path, const std::string& data);
// Writes `data` to a new file at `path` (nothing may be there yet, not even
// a link) and makes it durable; `ownerOnly` makes it readable by its owner
// alone. The file appears at `path` only whole (a DurableFile that replaces
// nothing); a failed write leaves nothing behind.
bool WriteNewFile(const std::string& path, const std::string& data, bool ownerOnly = false);

}  // namespace platform
