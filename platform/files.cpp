// The parts of the file service that are the same on every system.
#include "platform/files.h"

#include <algorithm>
#include <utility>

#include "platform/facts.h"

namespace platform {

namespace {

// The folder that holds the entry at `path`, as a path that can be opened:
// with its final separator, or "." for a bare name. Windows takes "/" too.
std::string FolderOf(const std::string& path) {
  std::size_t end = path.find_last_of(kPathSeparator == '/' ? "/" : "\\/");
  return end == std::string::npos ? std::string(".") : path.substr(0, end + 1);
}

// `data` as the whole of the file `out` puts in place.
bool WriteWhole(DurableFile& out, const std::string& data, bool ownerOnly) {
  // A file of this name is what an earlier process of this id left when it
  // was cut short.
  RemoveFile(out.temporaryPath());
  return out.Create(ownerOnly) && out.Write(data.data(), data.size()) && out.Commit();
}

}  // namespace

DurableFile::DurableFile(std::string finalPath, std::string temporaryPath, Placement placement, bool flushFolder)
    : finalPath_(std::move(finalPath)),
      temporaryPath_(std::move(temporaryPath)),
      placement_(placement),
      flushFolder_(flushFolder) {}

DurableFile::~DurableFile() { Discard(); }

DurableFile::DurableFile(DurableFile&& other) noexcept
    : finalPath_(std::move(other.finalPath_)),
      temporaryPath_(std::move(other.temporaryPath_)),
      placement_(other.placement_),
      flushFolder_(other.flushFolder_),
      file_(std::move(other.file_)),
      created_(std::exchange(other.created_, false)),
      durable_(other.durable_),
      cause_(other.cause_),
      errorText_(std::move(other.errorText_)) {}

DurableFile& DurableFile::operator=(DurableFile&& other) noexcept {
  if (this != &other) {
    Discard();
    finalPath_ = std::move(other.finalPath_);
    temporaryPath_ = std::move(other.temporaryPath_);
    placement_ = other.placement_;
    flushFolder_ = other.flushFolder_;
    file_ = std::move(other.file_);
    created_ = std::exchange(other.created_, false);
    durable_ = other.durable_;
    cause_ = other.cause_;
    errorText_ = std::move(other.errorText_);
  }
  return *this;
}

bool DurableFile::Failed(std::optional<FailureCause> cause) {
  if (cause_) return false;
  cause_ = cause ? *cause : LastFailureCause();
  if (!cause) errorText_ = LastErrorText();
  return false;
}

bool DurableFile::Create(bool ownerOnly) {
  if (created_) return Failed(FailureCause::kOther);
  file_ = File::Open(temporaryPath_, ownerOnly ? OpenMode::kCreatePrivate : OpenMode::kCreateNew);
  if (!file_.IsOpen()) return Failed();
  created_ = true;
  durable_ = false;
  return true;
}

bool DurableFile::Reopen() {
  if (created_) return Failed(FailureCause::kOther);
  auto attributes = AttributesOf(temporaryPath_);
  if (!attributes || attributes->isSymlink) return Failed(FailureCause::kOther);
  // Opened for writing, not for appending only: a flush needs the right to
  // write on Windows.
  file_ = File::Open(temporaryPath_, OpenMode::kWriteExisting);
  auto size = file_.IsOpen() ? file_.Size() : std::nullopt;
  if (!size || !file_.Seek(*size)) {
    file_.Close();
    return Failed();
  }
  created_ = true;
  durable_ = false;
  return true;
}

void DurableFile::Leave() {
  file_.Close();
  created_ = false;
  durable_ = false;
}

bool DurableFile::Write(const void* data, std::size_t size) {
  if (!file_.IsOpen() || durable_) return Failed(FailureCause::kOther);
  return file_.Write(data, size) == static_cast<std::int64_t>(size) || Failed();
}

bool DurableFile::MakeDurable() {
  if (durable_) return true;
  if (!created_ || !file_.IsOpen()) return Failed(FailureCause::kOther);
  bool flushed = file_.Flush() || Failed();
  file_.Close();
  durable_ = flushed;
  return flushed;
}

bool DurableFile::Commit() {
  return CommitBy(placement_ == Placement::kReplace ? &MoveFileReplacing : &MoveFileNoReplace);
}

bool DurableFile::CommitBy(const std::function<bool(const std::string& from, const std::string& to)>& rename) {
  if (created_) {
    if (!MakeDurable()) return false;
    if (!rename(temporaryPath_, finalPath_)) return Failed();
    created_ = false;  // the file is the final one now
  } else if (!durable_) {
    return Failed(FailureCause::kOther);  // never created, or discarded
  }
  // A retry after the rename only flushes the folder again.
  return !flushFolder_ || FlushFolder(FolderOf(finalPath_)) || Failed();
}

void DurableFile::Discard() {
  file_.Close();
  if (created_) RemoveFile(temporaryPath_);
  created_ = false;
  durable_ = false;
}

bool ReplaceFileContents(const std::string& path, const std::string& data) {
  if (path.empty()) return false;
  DurableFile out(path, TemporaryPathBeside(path), DurableFile::Placement::kReplace, true);
  return WriteWhole(out, data, false);
}

bool WriteNewFile(const std::string& path, const std::string& data, bool ownerOnly) {
  if (path.empty()) return false;
  DurableFile out(path, TemporaryPathBeside(path), DurableFile::Placement::kNoReplace);
  return WriteWhole(out, data, ownerOnly);
}

std::optional<FailureCause> ProbeFolderChanges(const std::string& folder) {
  std::string base = folder;
  if (!base.empty() && base.back() != kPathSeparator) base.push_back(kPathSeparator);
  const std::string made = base + "~@test@~.dat";
  const std::string renamed = base + "~@test@~.ren";
  // What a probe cut short left behind.
  RemoveFile(made);
  RemoveFile(renamed);
  File f = File::Open(made, OpenMode::kCreateNew);
  if (!f.IsOpen()) return LastFailureCause();
  std::optional<FailureCause> failure;
  if (f.Write("~", 1) != 1) failure = LastFailureCause();
  f.Close();
  if (!failure && !MoveFileNoReplace(made, renamed)) failure = LastFailureCause();
  if (!failure && !RemoveFile(renamed)) failure = LastFailureCause();
  RemoveFile(made);
  return failure;
}

ReadResult ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& out) {
  out.clear();
  File f = File::Open(path, OpenMode::kRead);
  if (!f.IsOpen()) return Exists(path) ? ReadResult::kError : ReadResult::kMissing;
  auto size = f.Size();
  if (!size) return ReadResult::kError;
  if (*size > maxBytes) return ReadResult::kTooLarge;
  out.resize(static_cast<std::size_t>(*size));
  std::size_t have = 0;
  // The file may change while it is read: read until its end, within the cap.
  for (;;) {
    if (have == out.size()) {
      if (out.size() >= maxBytes) {
        char probe;
        std::int64_t n = f.Read(&probe, 1);
        if (n < 0) return ReadResult::kError;
        if (n > 0) return ReadResult::kTooLarge;
        break;
      }
      out.resize(std::min(maxBytes, out.size() + 4096));
    }
    std::int64_t n = f.Read(out.data() + have, out.size() - have);
    if (n < 0) return ReadResult::kError;
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  out.resize(have);
  return ReadResult::kOk;
}

File::~File() { Close(); }

std::int64_t File::CopyThroughBuffer(File& source, void* buffer, std::size_t size) {
  std::int64_t read = source.Read(buffer, size);
  if (read <= 0) return read;
  return Write(buffer, static_cast<std::size_t>(read)) == read ? read : -1;
}

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, kNone);
  }
  return *this;
}

}  // namespace platform
