#include "engine/download_worker.h"

#include <limits>
#include <string_view>
#include <system_error>
#include <thread>

#include "engine/container.h"
#include "engine/digest.h"
#include "platform/clock.h"
#include "platform/facts.h"
#include "platform/files.h"
#include "settings/app_paths.h"

namespace engine {
namespace {

constexpr char kSep = platform::kPathSeparator;

void Add(SharedWord& counter, std::int64_t delta) {
  counter.fetch_add(static_cast<std::int32_t>(static_cast<std::uint32_t>(delta)));
}

std::string_view Md5Of(const UpdateItem& item) { return std::string_view(item.md5.data(), item.md5.size()); }

}  // namespace

std::size_t ResponseCapFor(std::int32_t listedSize) {
  if (listedSize <= 0) return kMaxListResponseBytes;
  std::uint64_t size = static_cast<std::uint64_t>(listedSize);
  std::uint64_t cap = size + size / 4 + (1u << 20);
  return static_cast<std::size_t>(std::min<std::uint64_t>(cap, std::numeric_limits<std::int32_t>::max()));
}

std::string UpdateLogPath(const std::string& applicationFolder) {
  return applicationFolder + std::string(kStagingFolderName) + kSep + kUpdateLogName;
}

std::optional<std::string> StagedPath(const UpdateList& list, const UpdateItem& item) {
  const ListContext& context = list.context();
  if (context.applicationFolder.empty()) return std::nullopt;
  std::size_t skip = context.serverBase.size() + kStagingFolderName.size() + 1;
  if (item.url.size() <= skip) return std::nullopt;
  std::string relative = item.url.substr(skip);
  if (!IsSafeRelativePath(relative)) return std::nullopt;
  for (char& c : relative)
    if (c == '/' || c == '\\') c = kSep;
  std::string path = context.applicationFolder + std::string(kStagingFolderName) + kSep + relative;
  if (path.size() > platform::kMaxPathLength) return std::nullopt;
  return path;
}

StagedState CheckStaged(const UpdateList& list, const UpdateItem& item) {
  auto path = StagedPath(list, item);
  if (!path) return StagedState::kBlocked;
  auto attributes = platform::AttributesOf(*path);
  if (!attributes) return StagedState::kToFetch;
  if (!attributes->isFolder && !attributes->isSymlink &&
      attributes->size == static_cast<std::uint32_t>(item.size)) {
    auto digest = FileDigestText(*path);
    if (digest && DigestsMatch(*digest, Md5Of(item))) return StagedState::kStaged;
  }
  return platform::RemoveFile(*path) ? StagedState::kToFetch : StagedState::kBlocked;
}

bool Fetch(UpdateItem& item, SharedWord& runningTotal, const SharedWord& control) {
  std::int32_t start = runningTotal.load();
  item.maxResponseBytes = ResponseCapFor(item.size);
  item.expectedBodyBytes = item.size > 0 ? static_cast<std::size_t>(item.size) : 0;
  item.body = item.Get(runningTotal, item.bodyLength, control);
  if (!item.body) return false;
  if (IsPlainBody(item.bodyLength, item.size)) return true;
  auto unpacked = Unpack(item.body, item.bodyLength, item.size);
  item.body = nullptr;
  if (!unpacked) return false;
  item.response.Swap(*unpacked);
  item.body = item.response.data();
  runningTotal.store(static_cast<std::int32_t>(static_cast<std::uint32_t>(start) + static_cast<std::uint32_t>(item.size)));
  item.bodyLength = item.size;
  return true;
}

bool FetchItem(UpdateList& list, UpdateItem& item) {
  if (!item.Connect(item.url, &list.runControl)) {
    list.resultCode = list.runControl.load() == kStop ? kAborted : kCannotConnect;
    return false;
  }
  while (list.runControl.load() == kHold) platform::SleepMs(20);
  if (list.runControl.load() == kStop) {
    list.resultCode = kAborted;
    return false;
  }
  if (Fetch(item, list.bytesDone, list.runControl)) return true;
  list.resultCode = list.runControl.load() == kStop ? kAborted : kFailed;
  return false;
}

bool VerifyDigest(const UpdateItem& item) {
  if (!item.body || item.bodyLength < 0) return false;
  return DigestsMatch(DigestText(item.body, static_cast<std::size_t>(item.bodyLength)), Md5Of(item));
}

bool EnsureParentFolders(const std::string& filePath) {
  std::size_t sep = filePath.find_last_of(kSep);
  if (sep == std::string::npos || sep == 0) return false;
  std::string folder = filePath.substr(0, sep);
  if (auto attributes = platform::AttributesOf(folder)) return attributes->isFolder;
  return platform::MakeFolders(folder);
}

bool SaveStaged(const UpdateList& list, UpdateItem& item) {
  if (!item.body || item.size == 0 || item.bodyLength < 0) return false;
  auto path = StagedPath(list, item);
  if (!path || !EnsureParentFolders(*path)) return false;
  // Written under a temporary name that the installer never takes (it
  // begins with "."), made durable, then renamed into place: a file under
  // its staged name is always complete, whatever interrupted the run.
  std::size_t sep = path->find_last_of(kSep);
  std::string temporary = path->substr(0, sep + 1) + "." + path->substr(sep + 1) + ".part";
  platform::File file = platform::File::Open(temporary, platform::OpenMode::kCreateAlways);
  if (!file.IsOpen()) return false;
  std::size_t length = static_cast<std::size_t>(item.bodyLength);
  bool written = file.Write(item.body, length) == static_cast<std::int64_t>(length) && file.Flush();
  file.Close();
  if (!written || !platform::MoveFileReplacing(temporary, *path)) {
    platform::RemoveFile(temporary);
    return false;
  }
  return true;
}

void CreateUpdateLog(const UpdateList& list) {
  if (list.items.empty() && list.bytesTotal != 0) return;
  platform::File log =
      platform::File::Open(UpdateLogPath(list.context().applicationFolder), platform::OpenMode::kCreateAlways);
  if (log.IsOpen()) log.Flush();
}

void DownloadWorker(UpdateList& list) {
  for (auto& owned : list.items) {
    UpdateItem& item = *owned;
    StagedState state = CheckStaged(list, item);
    if (state == StagedState::kStaged) {
      Add(list.bytesDone, item.size);
      Add(list.bytesPresent, item.size);
      continue;
    }
    if (state == StagedState::kBlocked) {
      // A stale staged file that cannot be replaced: the update cannot be
      // completed, so the run must not end as complete.
      list.resultCode = kCannotSave;
      return;
    }
    if (!FetchItem(list, item)) return;
    if (!item.HasDigest()) continue;  // the list request: the body stays for the window
    if (!VerifyDigest(item)) {
      Add(list.bytesDone, -static_cast<std::int64_t>(item.bodyLength));
      if (!FetchItem(list, item)) return;
      if (!VerifyDigest(item)) {
        list.resultCode = kFailed;
        return;
      }
    }
    // A stopped run writes nothing more: a window that gave up waiting may
    // already have started another.
    if (list.runControl.load() == kStop) {
      list.resultCode = kAborted;
      return;
    }
    if (!SaveStaged(list, item)) {
      list.resultCode = kCannotSave;
      return;
    }
    item.Close();
    item.body = nullptr;
  }
  if (list.resultCode.load() == kSucceeded && list.bytesTotal > 0) CreateUpdateLog(list);
}

bool StartDownloadWorker(std::shared_ptr<UpdateList> list) {
  if (!list) return false;
  list->workerActive = true;
  try {
    std::thread([list] {
      DownloadWorker(*list);
      list->workerActive = false;
    }).detach();
  } catch (const std::system_error&) {
    list->workerActive = false;
    return false;
  }
  return true;
}

}  // namespace engine
