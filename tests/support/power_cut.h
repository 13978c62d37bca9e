// What a power cut leaves of a folder, at any point of what programs did to
// it. The file system power_cut_fs (power_cut_fs.cpp) passes every operation
// through to a backing folder and appends it to a log; PowerCutDisk replays
// that log over a snapshot of the backing folder's starting state and, at
// any point of the log, writes out the state that a power cut at that point
// would leave. Linux only.
//
// The model of durability is strict POSIX, nothing more:
// - A file's data (and its size) are on the disk after an fsync or
//   fdatasync of the file; its permission bits after an fsync.
// - A folder's entries (files and folders created, renamed in or out,
//   linked, deleted) are on the disk after an fsync of that folder, and
//   only then: a rename from one folder into another is two changes, each
//   durable with its own folder, so it may be kept in one and lost in the
//   other. The journal of ext4 or XFS makes more survive; nothing here
//   counts on that.
// - What was not made durable is lost, except a file's unflushed data,
//   which is torn: any of the old bytes, the new ones, or a mixture by
//   4 KiB block, with the new size and zeros where nothing was written
//   (Tear).
// - That is the least a power cut leaves. The system may also have written
//   some folders back by itself before the cut: a cut state may keep the
//   unflushed entries of every folder but one (Cut::keepOtherFolders), so
//   that a program that counts on one folder's changes reaching the disk
//   with another's, without flushing both, is found out.
// - A file or folder survives as long as a durable entry names it; a name
//   whose file never had its data flushed is a file with torn data (often
//   empty).
// Times and owners are not recorded.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace testsupport::powercut {

enum class Kind : std::uint8_t {
  kWrite,         // inode, offset, data
  kTruncate,      // inode, size
  kSync,          // inode; size 1 for fdatasync (data only)
  kSyncFolder,    // inode of the folder
  kCreate,        // path, inode, mode: a new file
  kMakeFolder,    // path, inode, mode
  kRename,        // path to path2, mode holds renameat2's flags
  kLink,          // path gets the second name path2
  kRemove,        // path (a file)
  kRemoveFolder,  // path
  kChmod,         // inode, mode
};

// One logged operation. Paths are relative to the mount's root and begin
// with "/"; inodes are the backing file system's inode numbers.
struct Operation {
  Kind kind = Kind::kWrite;
  std::string path, path2;
  std::uint64_t inode = 0;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint32_t mode = 0;
  std::string data;

  bool IsFlush() const { return kind == Kind::kSync || kind == Kind::kSyncFolder; }
  // "rename /a -> /b" and so on, for messages.
  std::string Describe() const;
};

// Appends operations to a log file (for the file system).
class LogWriter {
 public:
  explicit LogWriter(const std::string& path);
  ~LogWriter();
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;
  bool ok() const { return file_ != nullptr; }
  void Append(const Operation& op);

 private:
  std::FILE* file_ = nullptr;
};

// Every operation of a log, in order; empty when it cannot be read.
std::vector<Operation> ReadLog(const std::string& path);

// What becomes of a file's data that was not flushed.
enum class Tear {
  kOld,         // the last flushed bytes, as if nothing more was written
  kPrefix,      // the new size; the first half of the changed blocks new
  kSomeBlocks,  // the new size; every other changed block new
  kAll,         // everything written (the system wrote it back in time)
};
inline constexpr Tear kTears[] = {Tear::kOld, Tear::kPrefix, Tear::kSomeBlocks, Tear::kAll};
const char* TearName(Tear tear);

// How a cut state is made of what was not flushed.
struct Cut {
  Tear tear = Tear::kOld;
  // Every folder keeps its unflushed entries, except the one at `dropped`
  // (a path as in Operation), which has only its flushed ones.
  bool keepOtherFolders = false;
  std::string dropped;
};

class PowerCutDisk {
 public:
  // The starting state: everything below `folder` (folders and regular
  // files; hard links stay links), all of it durable.
  explicit PowerCutDisk(const std::string& folder);

  // Replays the next operation of the log; false when it does not fit the
  // state (a path that does not exist, an unknown inode).
  bool Apply(const Operation& op);
  // Writes the state a power cut would leave now into `folder` (which must
  // not exist yet).
  bool WriteCutState(const std::string& folder, const Cut& cut) const;
  // The folders (paths as in Operation) whose entries have changed since
  // they were last flushed.
  std::vector<std::string> UnflushedFolders() const;
  const std::string& error() const { return error_; }

 private:
  struct Node {
    bool folder = false;
    std::string data, durableData;
    std::uint32_t mode = 0, durableMode = 0;
    std::map<std::string, int> entries, durableEntries;
  };
  int Load(const std::string& path, std::map<std::uint64_t, int>& seen);
  // The node at `path` in the current (not durable) state, or -1.
  int Resolve(const std::string& path) const;
  // The folder that holds `path`, or -1, and the entry's name.
  int ParentOf(const std::string& path, std::string& name) const;
  int NodeOf(std::uint64_t inode) const;
  std::string TornData(const Node& node, Tear tear) const;
  bool Fail(const std::string& message);

  std::vector<Node> nodes_;  // nodes_[0] is the root
  std::map<std::uint64_t, int> byInode_;
  std::string error_;
};

}  // namespace testsupport::powercut
