// power_cut_fs BACKING LOG MOUNTPOINT [FUSE OPTIONS]
//
// A FUSE file system that passes every operation through to the folder
// BACKING and appends each one that changes something, or makes it durable,
// to LOG (see power_cut.h), once it has succeeded. It runs single-threaded,
// so the log holds the operations in the order the backing folder saw them.
// It ends when MOUNTPOINT is unmounted.
#define FUSE_USE_VERSION 31

#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/power_cut.h"

namespace {

using testsupport::powercut::Kind;
using testsupport::powercut::Operation;

std::string gBacking;
testsupport::powercut::LogWriter* gLog = nullptr;

std::string Backing(const char* path) { return gBacking + path; }

std::uint64_t InodeOf(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

std::uint64_t InodeAt(const char* path) {
  struct stat st;
  return lstat(Backing(path).c_str(), &st) == 0 ? st.st_ino : 0;
}

void Log(Kind kind, const char* path, const char* path2 = nullptr, std::uint64_t inode = 0, std::uint32_t mode = 0,
         std::uint64_t size = 0) {
  Operation op;
  op.kind = kind;
  if (path) op.path = path;
  if (path2) op.path2 = path2;
  op.inode = inode;
  op.mode = mode;
  op.size = size;
  gLog->Append(op);
}

int Result(int rc) { return rc < 0 ? -errno : rc; }

void* Init(struct fuse_conn_info*, struct fuse_config* config) {
  config->use_ino = 1;
  // Operations on a deleted file that is still open come with its handle
  // alone, and a deleted open file is really deleted (not renamed to a
  // hidden name, which would show up in the log).
  config->nullpath_ok = 1;
  config->hard_remove = 1;
  return nullptr;
}

int GetAttr(const char* path, struct stat* st, struct fuse_file_info* fi) {
  return Result(fi ? fstat(static_cast<int>(fi->fh), st) : lstat(Backing(path).c_str(), st));
}

int MakeFolder(const char* path, mode_t mode) {
  if (mkdir(Backing(path).c_str(), mode) != 0) return -errno;
  struct stat st;
  lstat(Backing(path).c_str(), &st);
  Log(Kind::kMakeFolder, path, nullptr, st.st_ino, st.st_mode);
  return 0;
}

int Unlink(const char* path) {
  if (unlink(Backing(path).c_str()) != 0) return -errno;
  Log(Kind::kRemove, path);
  return 0;
}

int RemoveFolder(const char* path) {
  if (rmdir(Backing(path).c_str()) != 0) return -errno;
  Log(Kind::kRemoveFolder, path);
  return 0;
}

int Rename(const char* from, const char* to, unsigned int flags) {
  if (renameat2(AT_FDCWD, Backing(from).c_str(), AT_FDCWD, Backing(to).c_str(), flags) != 0) return -errno;
  Log(Kind::kRename, from, to, 0, flags);
  return 0;
}

int Link(const char* from, const char* to) {
  if (link(Backing(from).c_str(), Backing(to).c_str()) != 0) return -errno;
  Log(Kind::kLink, from, to);
  return 0;
}

int Chmod(const char* path, mode_t mode, struct fuse_file_info* fi) {
  int rc = fi ? fchmod(static_cast<int>(fi->fh), mode) : chmod(Backing(path).c_str(), mode);
  if (rc != 0) return -errno;
  Log(Kind::kChmod, path, nullptr, fi ? InodeOf(static_cast<int>(fi->fh)) : InodeAt(path), mode);
  return 0;
}

int Chown(const char* path, uid_t uid, gid_t gid, struct fuse_file_info* fi) {
  return Result(fi ? fchown(static_cast<int>(fi->fh), uid, gid) : lchown(Backing(path).c_str(), uid, gid));
}

int Truncate(const char* path, off_t size, struct fuse_file_info* fi) {
  int rc = fi ? ftruncate(static_cast<int>(fi->fh), size) : truncate(Backing(path).c_str(), size);
  if (rc != 0) return -errno;
  Log(Kind::kTruncate, path, nullptr, fi ? InodeOf(static_cast<int>(fi->fh)) : InodeAt(path), 0,
      static_cast<std::uint64_t>(size));
  return 0;
}

int Utimens(const char* path, const struct timespec times[2], struct fuse_file_info* fi) {
  return Result(fi ? futimens(static_cast<int>(fi->fh), times)
                   : utimensat(AT_FDCWD, Backing(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
}

int Open(const char* path, struct fuse_file_info* fi) {
  int fd = open(Backing(path).c_str(), fi->flags & ~O_NOFOLLOW);
  if (fd < 0) return -errno;
  fi->fh = static_cast<std::uint64_t>(fd);
  if (fi->flags & O_TRUNC) Log(Kind::kTruncate, path, nullptr, InodeOf(fd));
  return 0;
}

int Create(const char* path, mode_t mode, struct fuse_file_info* fi) {
  struct stat st;
  bool existed = lstat(Backing(path).c_str(), &st) == 0;
  int fd = open(Backing(path).c_str(), fi->flags | O_CREAT, mode);
  if (fd < 0) return -errno;
  fi->fh = static_cast<std::uint64_t>(fd);
  fstat(fd, &st);
  if (!existed) Log(Kind::kCreate, path, nullptr, st.st_ino, st.st_mode);
  else if (fi->flags & O_TRUNC) Log(Kind::kTruncate, path, nullptr, st.st_ino);
  return 0;
}

int Read(const char*, char* buffer, size_t size, off_t offset, struct fuse_file_info* fi) {
  return Result(static_cast<int>(pread(static_cast<int>(fi->fh), buffer, size, offset)));
}

int Write(const char*, const char* buffer, size_t size, off_t offset, struct fuse_file_info* fi) {
  int fd = static_cast<int>(fi->fh);
  // O_APPEND is the kernel's business: it sends the offset of the end.
  ssize_t n = pwrite(fd, buffer, size, offset);
  if (n < 0) return -errno;
  Operation op;
  op.kind = Kind::kWrite;
  op.inode = InodeOf(fd);
  op.offset = static_cast<std::uint64_t>(offset);
  op.data.assign(buffer, static_cast<std::size_t>(n));
  gLog->Append(op);
  return static_cast<int>(n);
}

int StatFs(const char* path, struct statvfs* st) { return Result(statvfs(Backing(path).c_str(), st)); }

int Release(const char*, struct fuse_file_info* fi) { return Result(close(static_cast<int>(fi->fh))); }

int Fsync(const char* path, int dataOnly, struct fuse_file_info* fi) {
  int fd = static_cast<int>(fi->fh);
  if ((dataOnly ? fdatasync(fd) : fsync(fd)) != 0) return -errno;
  Log(Kind::kSync, path, nullptr, InodeOf(fd), 0, dataOnly ? 1 : 0);
  return 0;
}

int OpenFolder(const char* path, struct fuse_file_info* fi) {
  int fd = open(Backing(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -errno;
  fi->fh = static_cast<std::uint64_t>(fd);
  return 0;
}

int ReadFolder(const char*, void* buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info* fi,
               enum fuse_readdir_flags) {
  DIR* dir = fdopendir(dup(static_cast<int>(fi->fh)));
  if (!dir) return -errno;
  rewinddir(dir);
  while (struct dirent* d = readdir(dir)) {
    struct stat st{};
    st.st_ino = d->d_ino;
    st.st_mode = static_cast<mode_t>(d->d_type << 12);
    if (fill(buffer, d->d_name, &st, 0, static_cast<fuse_fill_dir_flags>(0))) break;
  }
  closedir(dir);
  return 0;
}

int ReleaseFolder(const char*, struct fuse_file_info* fi) { return Result(close(static_cast<int>(fi->fh))); }

int FsyncFolder(const char* path, int, struct fuse_file_info* fi) {
  int fd = static_cast<int>(fi->fh);
  if (fsync(fd) != 0) return -errno;
  Log(Kind::kSyncFolder, path, nullptr, InodeOf(fd));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: power_cut_fs BACKING LOG MOUNTPOINT [FUSE OPTIONS]\n");
    return 2;
  }
  gBacking = argv[1];
  testsupport::powercut::LogWriter log(argv[2]);
  if (!log.ok()) {
    std::perror(argv[2]);
    return 1;
  }
  gLog = &log;
  struct fuse_operations ops{};
  ops.init = Init;
  ops.getattr = GetAttr;
  ops.mkdir = MakeFolder;
  ops.unlink = Unlink;
  ops.rmdir = RemoveFolder;
  ops.rename = Rename;
  ops.link = Link;
  ops.chmod = Chmod;
  ops.chown = Chown;
  ops.truncate = Truncate;
  ops.utimens = Utimens;
  ops.open = Open;
  ops.create = Create;
  ops.read = Read;
  ops.write = Write;
  ops.statfs = StatFs;
  ops.release = Release;
  ops.fsync = Fsync;
  ops.opendir = OpenFolder;
  ops.readdir = ReadFolder;
  ops.releasedir = ReleaseFolder;
  ops.fsyncdir = FsyncFolder;
  // Foreground, single-threaded, the rest as given.
  std::vector<char*> args{argv[0], argv[3], const_cast<char*>("-f"), const_cast<char*>("-s")};
  for (int i = 4; i < argc; ++i) args.push_back(argv[i]);
  return fuse_main(static_cast<int>(args.size()), args.data(), &ops, nullptr);
}
