#include "tests/support/power_cut.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

namespace testsupport::powercut {
namespace {

constexpr std::size_t kBlock = 4096;

void PutNumber(std::string& out, std::uint64_t n) { out.append(reinterpret_cast<const char*>(&n), sizeof n); }
void PutText(std::string& out, const std::string& s) {
  PutNumber(out, s.size());
  out += s;
}

// Reads the fields PutNumber and PutText wrote, in order.
struct Reader {
  const std::string& in;
  std::size_t at = 0;
  bool ok = true;
  std::uint64_t Number() {
    std::uint64_t n = 0;
    if (at + sizeof n > in.size()) return ok = false, 0;
    std::memcpy(&n, in.data() + at, sizeof n);
    at += sizeof n;
    return n;
  }
  std::string Text() {
    std::uint64_t size = Number();
    if (!ok || size > in.size() - at) return ok = false, std::string();
    std::string s = in.substr(at, size);
    at += size;
    return s;
  }
};

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::string Operation::Describe() const {
  auto n = [](std::uint64_t v) { return std::to_string(v); };
  switch (kind) {
    case Kind::kWrite: return "write inode " + n(inode) + " at " + n(offset) + ", " + n(data.size()) + " bytes";
    case Kind::kTruncate: return "truncate inode " + n(inode) + " to " + n(size);
    case Kind::kSync: return std::string(size ? "fdatasync" : "fsync") + " inode " + n(inode);
    case Kind::kSyncFolder: return "fsync folder inode " + n(inode);
    case Kind::kCreate: return "create " + path + " (inode " + n(inode) + ")";
    case Kind::kMakeFolder: return "mkdir " + path + " (inode " + n(inode) + ")";
    case Kind::kRename: return std::string(mode & RENAME_EXCHANGE ? "exchange " : "rename ") + path + " -> " + path2;
    case Kind::kLink: return "link " + path + " -> " + path2;
    case Kind::kRemove: return "unlink " + path;
    case Kind::kRemoveFolder: return "rmdir " + path;
    case Kind::kChmod: return "chmod inode " + n(inode) + " to " + n(mode);
  }
  return "?";
}

LogWriter::LogWriter(const std::string& path) : file_(std::fopen(path.c_str(), "wbe")) {}

LogWriter::~LogWriter() {
  if (file_) std::fclose(file_);
}

void LogWriter::Append(const Operation& op) {
  if (!file_) return;
  std::string record;
  PutNumber(record, static_cast<std::uint64_t>(op.kind));
  PutText(record, op.path);
  PutText(record, op.path2);
  PutNumber(record, op.inode);
  PutNumber(record, op.offset);
  PutNumber(record, op.size);
  PutNumber(record, op.mode);
  PutText(record, op.data);
  std::fwrite(record.data(), 1, record.size(), file_);
}

std::vector<Operation> ReadLog(const std::string& path) {
  const std::string bytes = Read(path);
  Reader r{bytes};
  std::vector<Operation> ops;
  while (r.ok && r.at < bytes.size()) {
    Operation op;
    op.kind = static_cast<Kind>(r.Number());
    op.path = r.Text();
    op.path2 = r.Text();
    op.inode = r.Number();
    op.offset = r.Number();
    op.size = r.Number();
    op.mode = static_cast<std::uint32_t>(r.Number());
    op.data = r.Text();
    if (r.ok) ops.push_back(std::move(op));
  }
  if (!r.ok) ops.clear();
  return ops;
}

const char* TearName(Tear tear) {
  switch (tear) {
    case Tear::kOld: return "old data";
    case Tear::kPrefix: return "first half of the new blocks";
    case Tear::kSomeBlocks: return "every other new block";
    case Tear::kAll: return "all new data";
  }
  return "?";
}

PowerCutDisk::PowerCutDisk(const std::string& folder) {
  std::map<std::uint64_t, int> seen;
  nodes_.reserve(256);
  if (Load(folder, seen) != 0) Fail("cannot read " + folder);
  byInode_ = std::move(seen);
}

int PowerCutDisk::Load(const std::string& path, std::map<std::uint64_t, int>& seen) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return -1;
  if (auto it = seen.find(st.st_ino); it != seen.end()) return it->second;  // a second name
  if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) return -1;
  const int id = static_cast<int>(nodes_.size());
  seen[st.st_ino] = id;
  nodes_.push_back(Node{});
  Node node;
  node.folder = S_ISDIR(st.st_mode);
  node.mode = node.durableMode = st.st_mode & 07777;
  if (node.folder) {
    DIR* dir = opendir(path.c_str());
    if (!dir) return -1;
    std::vector<std::string> names;
    while (struct dirent* d = readdir(dir))
      if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0) names.push_back(d->d_name);
    closedir(dir);
    for (const std::string& name : names) {
      int child = Load(path + "/" + name, seen);
      if (child < 0) return -1;
      node.entries[name] = child;
    }
    node.durableEntries = node.entries;
  } else {
    node.data = node.durableData = Read(path);
  }
  nodes_[static_cast<std::size_t>(id)] = std::move(node);
  return id;
}

bool PowerCutDisk::Fail(const std::string& message) {
  if (error_.empty()) error_ = message;
  return false;
}

int PowerCutDisk::Resolve(const std::string& path) const {
  int at = 0;
  std::size_t start = 1;
  while (start < path.size()) {
    std::size_t end = std::min(path.find('/', start), path.size());
    const Node& folder = nodes_[static_cast<std::size_t>(at)];
    auto it = folder.entries.find(path.substr(start, end - start));
    if (!folder.folder || it == folder.entries.end()) return -1;
    at = it->second;
    start = end + 1;
  }
  return at;
}

int PowerCutDisk::ParentOf(const std::string& path, std::string& name) const {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 >= path.size()) return -1;
  name = path.substr(slash + 1);
  int parent = Resolve(path.substr(0, slash));
  return parent >= 0 && nodes_[static_cast<std::size_t>(parent)].folder ? parent : -1;
}

int PowerCutDisk::NodeOf(std::uint64_t inode) const {
  auto it = byInode_.find(inode);
  return it == byInode_.end() ? -1 : it->second;
}

bool PowerCutDisk::Apply(const Operation& op) {
  std::string name, name2;
  switch (op.kind) {
    case Kind::kWrite:
    case Kind::kTruncate:
    case Kind::kSync:
    case Kind::kSyncFolder:
    case Kind::kChmod: {
      int id = NodeOf(op.inode);
      if (id < 0) return Fail("unknown inode in: " + op.Describe());
      Node& node = nodes_[static_cast<std::size_t>(id)];
      if (op.kind == Kind::kWrite) {
        if (node.data.size() < op.offset + op.data.size()) node.data.resize(op.offset + op.data.size());
        node.data.replace(op.offset, op.data.size(), op.data);
      } else if (op.kind == Kind::kTruncate) {
        node.data.resize(op.size);
      } else if (op.kind == Kind::kSync) {
        node.durableData = node.data;
        if (!op.size) node.durableMode = node.mode;
      } else if (op.kind == Kind::kSyncFolder) {
        node.durableEntries = node.entries;
      } else {
        node.mode = op.mode & 07777;
      }
      return true;
    }
    case Kind::kCreate:
    case Kind::kMakeFolder: {
      int parent = ParentOf(op.path, name);
      if (parent < 0) return Fail("no folder for: " + op.Describe());
      Node node;
      node.folder = op.kind == Kind::kMakeFolder;
      // The new inode itself is there with its first mode once any entry
      // naming it is durable.
      node.mode = node.durableMode = op.mode & 07777;
      const int id = static_cast<int>(nodes_.size());
      nodes_.push_back(std::move(node));
      nodes_[static_cast<std::size_t>(parent)].entries[name] = id;
      byInode_[op.inode] = id;  // a reused inode number names the new file from now on
      return true;
    }
    case Kind::kRename:
    case Kind::kLink: {
      int from = ParentOf(op.path, name), to = ParentOf(op.path2, name2);
      if (from < 0 || to < 0) return Fail("no folder for: " + op.Describe());
      auto& source = nodes_[static_cast<std::size_t>(from)].entries;
      auto& target = nodes_[static_cast<std::size_t>(to)].entries;
      auto it = source.find(name);
      if (it == source.end()) return Fail("no entry for: " + op.Describe());
      const int id = it->second;
      if (op.kind == Kind::kLink) {
        target[name2] = id;
      } else if (op.mode & RENAME_EXCHANGE) {
        auto other = target.find(name2);
        if (other == target.end()) return Fail("no entry for: " + op.Describe());
        source[name] = other->second;
        target[name2] = id;
      } else if (from != to || name != name2) {
        source.erase(name);
        target[name2] = id;
      }
      return true;
    }
    case Kind::kRemove:
    case Kind::kRemoveFolder: {
      int parent = ParentOf(op.path, name);
      if (parent < 0 || !nodes_[static_cast<std::size_t>(parent)].entries.erase(name))
        return Fail("no entry for: " + op.Describe());
      return true;
    }
  }
  return Fail("unknown operation");
}

std::string PowerCutDisk::TornData(const Node& node, Tear tear) const {
  if (tear == Tear::kOld || node.data == node.durableData) return node.durableData;
  if (tear == Tear::kAll) return node.data;
  // The blocks whose bytes differ from the flushed ones, in order; the size
  // is the new one, and a block that keeps its old bytes is zeros where the
  // old file had none.
  std::string out = node.durableData;
  out.resize(node.data.size(), '\0');
  std::vector<std::size_t> changed;
  for (std::size_t at = 0; at < node.data.size(); at += kBlock) {
    std::size_t n = std::min(kBlock, node.data.size() - at);
    if (node.durableData.compare(std::min(at, node.durableData.size()), n, node.data, at, n) != 0)
      changed.push_back(at);
  }
  for (std::size_t i = 0; i < changed.size(); ++i) {
    bool taken = tear == Tear::kPrefix ? i < changed.size() / 2 : i % 2 == 0;
    if (taken) out.replace(changed[i], std::min(kBlock, node.data.size() - changed[i]), node.data, changed[i], kBlock);
  }
  return out;
}

std::vector<std::string> PowerCutDisk::UnflushedFolders() const {
  std::vector<std::string> found;
  std::vector<std::pair<int, std::string>> stack{{0, ""}};
  std::set<int> seen;
  while (!stack.empty()) {
    auto [id, path] = std::move(stack.back());
    stack.pop_back();
    const Node& node = nodes_[static_cast<std::size_t>(id)];
    if (!node.folder || !seen.insert(id).second) continue;
    if (node.entries != node.durableEntries) found.push_back(path.empty() ? "/" : path);
    for (const auto& [name, child] : node.entries) stack.push_back({child, path + "/" + name});
  }
  std::sort(found.begin(), found.end());
  return found;
}

bool PowerCutDisk::WriteCutState(const std::string& folder, const Cut& cut) const {
  const int dropped = cut.keepOtherFolders ? Resolve(cut.dropped == "/" ? "" : cut.dropped) : -1;
  // Each node is written once; a second name of a file becomes a hard link,
  // and a folder that two kept entries name (moved from one folder to
  // another) is written under the first.
  std::map<int, std::string> written;
  struct Pending {
    int id;
    std::string path;
  };
  std::vector<Pending> stack{{0, folder}}, folders;
  while (!stack.empty()) {
    Pending p = std::move(stack.back());
    stack.pop_back();
    const Node& node = nodes_[static_cast<std::size_t>(p.id)];
    if (auto it = written.find(p.id); it != written.end()) {
      if (!node.folder && link(it->second.c_str(), p.path.c_str()) != 0) return false;
      continue;
    }
    written[p.id] = p.path;
    if (node.folder) {
      if (mkdir(p.path.c_str(), 0700) != 0) return false;
      folders.push_back(p);
      const bool kept = cut.keepOtherFolders && p.id != dropped;
      for (const auto& [name, child] : kept ? node.entries : node.durableEntries)
        stack.push_back({child, p.path + "/" + name});
      continue;
    }
    const std::string data = TornData(node, cut.tear);
    int fd = open(p.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size()) &&
              fchmod(fd, node.durableMode) == 0;
    close(fd);
    if (!ok) return false;
  }
  // Folders get their modes last, so that a read-only one was still filled.
  for (const Pending& p : folders) chmod(p.path.c_str(), nodes_[static_cast<std::size_t>(p.id)].durableMode);
  return true;
}

}  // namespace testsupport::powercut
