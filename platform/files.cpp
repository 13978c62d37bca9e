// The parts of the file service that are the same on every system.
#include "platform/files.h"

#include <algorithm>
#include <utility>

#include "platform/facts.h"

namespace platform {

bool WriteNewFile(const std::string& path, const std::string& data, bool ownerOnly) {
  File f = File::Open(path, ownerOnly ? OpenMode::kCreatePrivate : OpenMode::kCreateNew);
  return f.IsOpen() && f.Write(data.data(), data.size()) == static_cast<std::int64_t>(data.size()) && f.Flush();
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
