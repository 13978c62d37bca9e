#include "engine/download_worker.h"

#include <algorithm>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "base/ascii_text.h"
#include "base/name_case.h"
#include "engine/digest.h"
#include "engine/staged_body.h"
#include "engine/worker_threads.h"
#include "platform/clock.h"
#include "platform/facts.h"
#include "platform/files.h"

namespace engine {
namespace {

constexpr char kSep = platform::kPathSeparator;

void Add(SharedWord& counter, std::int64_t delta) {
  counter.fetch_add(static_cast<std::int32_t>(static_cast<std::uint32_t>(delta)));
}

std::string_view Md5Of(const UpdateItem& item) { return std::string_view(item.md5.data(), item.md5.size()); }

// A staged file's bytes under a temporary name of this run, renamed to the
// staged name once complete and durable (platform::DurableFile). The file is
// made at the first byte, so a request that brings no body leaves nothing
// behind (an empty file is made when it is complete). The disk is asked to
// write behind every few MiB, so that flushing the whole file at the end
// waits for little.
class StagingFile : public BodyStore {
 public:
  StagingFile(std::string stagingFolder, const std::string& stagedPath, std::string temporaryPath,
              std::string sparePath)
      : stagingFolder_(std::move(stagingFolder)), out_(stagedPath, std::move(temporaryPath)),
        spare_(std::move(sparePath)) {}

  bool Write(const std::uint8_t* data, std::size_t size) override {
    if (!out_.created() && !Open()) return false;
    if (!out_.Write(data, size)) return Failed();
    unflushed_ += size;
    if (unflushed_ >= kWriteBehindBytes) {
      out_.file().StartFlush();
      unflushed_ = 0;
    }
    return true;
  }

  // The new output takes the spare name while the old one is read back; the
  // old file goes once read.
  bool Rewrite(const Reader& reader) override {
    if (!out_.created()) return true;  // nothing was written
    platform::DurableFile old = std::exchange(out_, platform::DurableFile(out_.finalPath(), spare_));
    spare_ = old.temporaryPath();
    unflushed_ = 0;
    old.file().Close();
    platform::File in = platform::File::Open(old.temporaryPath(), platform::OpenMode::kRead);
    bool ok = in.IsOpen();
    std::unique_ptr<std::uint8_t[]> piece(new std::uint8_t[kPiece]);
    while (ok) {
      std::int64_t n = in.Read(piece.get(), kPiece);
      if (n <= 0) {
        ok = n == 0;
        break;
      }
      ok = reader(piece.get(), static_cast<std::size_t>(n));
    }
    return ok;
  }

  // Flushes the file to the disk and closes it; false when that failed. A
  // file that took no byte (an empty one) is made here.
  bool Complete() {
    if (!out_.created() && !Open()) return false;
    return out_.MakeDurable() || Failed();
  }

  // Moves the complete file to its staged name.
  bool Publish() { return out_.Commit() || Failed(); }

  // Why the write, flush or rename that failed did, and the system's words
  // for it.
  platform::FailureCause cause() const { return cause_; }
  const std::string& errorText() const { return errorText_; }
  const std::string& path() const { return out_.temporaryPath(); }

  void Discard() {
    out_.Discard();
    unflushed_ = 0;
  }

 private:
  // Never through a link: every folder on the way is a real one, and the
  // file is a new one of this run's own name.
  bool Open() {
    if (!MakeStagingFolders(stagingFolder_, out_.temporaryPath())) {
      cause_ = platform::LastFailureCause();
      errorText_ = platform::LastErrorText();
      return false;
    }
    return out_.Create() || Failed();
  }

  bool Failed() {
    cause_ = out_.cause();
    errorText_ = out_.errorText();
    return false;
  }

  static constexpr std::size_t kWriteBehindBytes = 8u << 20;
  static constexpr std::size_t kPiece = 256 * 1024;
  std::string stagingFolder_;
  platform::DurableFile out_;
  std::string spare_;  // the other temporary name of this file
  std::size_t unflushed_ = 0;
  platform::FailureCause cause_ = platform::FailureCause::kOther;
  std::string errorText_;
};

void SetFailure(const UpdateList& list, ItemFailure& failure, ResultCode code, std::string reason = {}) {
  failure.code = list.runControl.load() == kStop ? kAborted : code;
  if (failure.reason.empty()) failure.reason = std::move(reason);
}

std::string FolderPart(const std::string& path) {
  std::size_t sep = path.find_last_of(kSep);
  return sep == std::string::npos ? path : path.substr(0, sep);
}

// "Cannot save", with why and where for the window to say, and the system's
// words (`errorText`) for the log.
void SetSaveFailure(const UpdateList& list, ItemFailure& failure, platform::FailureCause cause,
                    const std::string& errorText, const std::string& path) {
  failure.saveCause = cause;
  failure.saveFolder = FolderPart(path);
  SetFailure(list, failure, kCannotSave,
             path + ": " + FailureCauseText(cause) + (errorText.empty() ? "" : ": " + errorText));
}

// Why a transfer failed (`why`, unless the client said), and the server's
// status line when it said anything but success.
std::string TransferFailure(const UpdateItem& item, const char* why) {
  std::string text = item.url + ": " + (item.failure.empty() ? std::string(why) : item.failure);
  if (!item.unexpectedStatus.empty()) text += " (" + item.unexpectedStatus + ")";
  return text;
}

// Connects for the item and waits out a hold; false (with the result set)
// when that fails or the run is stopped.
bool ConnectItem(UpdateList& list, UpdateItem& item, ItemFailure& failure) {
  if (!item.Connect(item.url, &list.runControl)) {
    SetFailure(list, failure, kCannotConnect, item.url + ": " + item.failure);
    return false;
  }
  while (list.runControl.load() == kHold) platform::SleepMs(20);
  if (list.runControl.load() == kStop) {
    failure.code = kAborted;
    return false;
  }
  return true;
}

// Fetches the item straight into `file`, unpacking a container on the way;
// false with the result set on failure. On success the item's bodyLength
// is the file's length and `digest` the digest of its bytes.
bool FetchIntoFile(UpdateList& list, UpdateItem& item, StagingFile& file, std::string& digest,
                   ItemFailure& failure) {
  if (!ConnectItem(list, item, failure)) return false;
  item.maxResponseBytes = ResponseCapFor(item.size);
  StagedBody body(item.size, file, !item.sha256.empty());
  auto result = item.GetStreamed(list.bytesDone, item.bodyLength, list.runControl, body);
  item.Close();
  if (result == HttpClient::StreamResult::kComplete && body.Finish(item.bodyLength)) {
    if (body.packed()) {
      // Counted as the file's size, as the unpacked bytes are what is kept
      // (other transfers add to the counter meanwhile: only the difference
      // is added).
      Add(list.bytesDone, static_cast<std::int64_t>(item.size) - item.bodyLength);
      item.bodyLength = item.size;
    }
    // Both digests the list gives must agree; a missing SHA-256 counts as
    // agreeing (an unsigned list has none).
    digest = body.Digest();
    if (!item.sha256.empty() && !base::EqualsIgnoringCase(body.Sha256(), item.sha256)) digest.clear();
    return true;
  }
  if (body.storeFailed()) {
    SetSaveFailure(list, failure, file.cause(), file.errorText(), file.path());
  } else {
    SetFailure(list, failure, kFailed,
               TransferFailure(item, "the file is not what the list says") + ", after " +
                   std::to_string(item.bodyLength) + " bytes");
  }
  return false;
}

}  // namespace

bool StageItem(UpdateList& list, UpdateItem& item, const std::string& runTag, ItemFailure& failure) {
  auto path = StagedPath(list, item);
  if (!path) {
    failure.code = kCannotSave;
    failure.reason = item.url + ": no staging path for it";
    return false;
  }
  StagingFile file(list.context().applicationFolder + std::string(kStagingFolderName), *path,
                   WorkerTemporaryPath(*path, runTag), WorkerTemporaryPath(*path, NewRunTag()));
  for (int attempt = 0;; ++attempt) {
    std::string digest;
    if (!FetchIntoFile(list, item, file, digest, failure)) return false;
    if (DigestsMatch(digest, Md5Of(item))) break;
    file.Discard();
    if (attempt == 1) {
      failure.code = kFailed;
      failure.reason = TransferFailure(item, "the file's digest differs from the list's, twice");
      return false;
    }
    Add(list.bytesDone, -static_cast<std::int64_t>(item.bodyLength));
  }
  // A stopped run renames nothing: a window that gave up waiting may
  // already have started another.
  bool durable = file.Complete();
  if (list.runControl.load() == kStop) {
    failure.code = kAborted;
    return false;
  }
  if (!durable || !file.Publish()) {
    SetSaveFailure(list, failure, file.cause(), file.errorText(), *path);
    return false;
  }
  return true;
}

bool StageItem(UpdateList& list, UpdateItem& item, const std::string& runTag) {
  ItemFailure failure;
  bool staged = StageItem(list, item, runTag, failure);
  if (!staged) failure.ApplyTo(list);
  return staged;
}

std::size_t ResponseCapFor(std::int32_t listedSize) {
  std::uint64_t size = static_cast<std::uint64_t>(std::max<std::int32_t>(listedSize, 0));
  std::uint64_t cap = size + size / 4 + (1u << 20);
  return static_cast<std::size_t>(std::min<std::uint64_t>(cap, std::numeric_limits<std::int32_t>::max()));
}

StagedState CheckStaged(const UpdateList& list, const UpdateItem& item) {
  auto path = StagedPath(list, item);
  if (!path) return StagedState::kBlocked;
  auto attributes = platform::AttributesOf(*path);
  if (!attributes) return StagedState::kToFetch;
  if (!attributes->isFolder && !attributes->isSymlink &&
      attributes->size == static_cast<std::uint32_t>(item.size)) {
    // The SHA-256 of a signed list is read only for a file whose MD5 agrees.
    auto digest = FileDigestText(*path);
    if (digest && DigestsMatch(*digest, Md5Of(item)) &&
        (item.sha256.empty() ||
         base::EqualsIgnoringCase(FileDigestText(*path, DigestKind::kSha256).value_or(""), item.sha256)))
      return StagedState::kStaged;
  }
  return platform::RemoveFile(*path) ? StagedState::kToFetch : StagedState::kBlocked;
}

bool FetchItem(UpdateList& list, UpdateItem& item, ItemFailure& failure) {
  if (!ConnectItem(list, item, failure)) return false;
  item.maxResponseBytes = kMaxListResponseBytes;
  item.body = item.Get(list.bytesDone, item.bodyLength, list.runControl);
  if (item.body) return true;
  SetFailure(list, failure, kFailed, TransferFailure(item, "the transfer failed"));
  return false;
}

bool FetchItem(UpdateList& list, UpdateItem& item) {
  ItemFailure failure;
  bool fetched = FetchItem(list, item, failure);
  if (!fetched) failure.ApplyTo(list);
  return fetched;
}

void ItemFailure::ApplyTo(UpdateList& list) const {
  list.resultCode = code;
  if (list.failureReason.empty()) list.failureReason = reason;
  if (code == kCannotSave) {
    list.saveCause = saveCause;
    list.saveFolder = saveFolder;
  }
}

// The update log says that the whole set is staged, so the staged files'
// names go to the disk before it: every folder they are in, the staging
// folder, and the application folder that holds it. The log's own name goes
// after it.
bool CreateUpdateLog(const UpdateList& list) {
  if (list.items.empty() && list.bytesTotal != 0) return true;
  const std::string staging = StagingFolderPath(list.context().applicationFolder);
  std::set<std::string> folders{staging, FolderPart(staging)};
  for (const auto& item : list.items)
    if (auto path = StagedPath(list, *item))
      for (std::string folder = FolderPart(*path); folder.size() > staging.size(); folder = FolderPart(folder))
        folders.insert(folder);
  for (const std::string& folder : folders)
    if (platform::IsFolder(folder) && !platform::FlushFolder(folder)) return false;
  platform::File log =
      platform::File::Open(UpdateLogPath(list.context().applicationFolder), platform::OpenMode::kCreateAlways);
  return log.IsOpen() && log.Flush() && platform::FlushFolder(staging);
}

namespace {

// Hands the items to the transfers in list order and keeps the failure of
// the first failed item in that order: once an item has failed, no later
// one is started, while the earlier ones still running finish, since a
// walk through the list would have met them first. Two items staged at
// one path are never worked on at once.
class ItemQueue {
 public:
  explicit ItemQueue(const UpdateList& list) : list_(list), paths_(list.items.size()) {
    for (std::size_t i = 0; i < paths_.size(); ++i) {
      std::string path = StagedPath(list, *list.items[i]).value_or(std::string());
      if (platform::kWindowsNames) path = base::WindowsCaseKey(path).value_or(path);
      paths_[i] = std::move(path);
    }
  }

  // The next item to work on, or none when the run is over for this
  // transfer.
  std::optional<std::size_t> Take() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (next_ >= paths_.size() || next_ >= firstFailed_ || list_.runControl.load() == kStop) return std::nullopt;
    std::size_t index = next_++;
    const std::string& path = paths_[index];
    if (!path.empty()) {
      // A file listed twice waits for its first transfer (which has been
      // started already, as items start in order).
      done_.wait(lock, [&] { return !busy_.count(path); });
      busy_.insert(path);
    }
    return index;
  }

  void Done(std::size_t index, bool ok, ItemFailure failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_.erase(paths_[index]);
    if (!ok && index < firstFailed_) {
      firstFailed_ = index;
      failure_ = std::move(failure);
    }
    done_.notify_all();
  }

  // The failure the run ends with, if any.
  const ItemFailure* failure() const { return firstFailed_ < paths_.size() ? &failure_ : nullptr; }

 private:
  const UpdateList& list_;
  std::vector<std::string> paths_;
  std::mutex mutex_;
  std::condition_variable done_;
  std::set<std::string> busy_;
  std::size_t next_ = 0;
  std::size_t firstFailed_ = std::numeric_limits<std::size_t>::max();
  ItemFailure failure_;
};

bool WorkOnItem(UpdateList& list, UpdateItem& item, const std::string& runTag, ItemFailure& failure) {
  StagedState state = CheckStaged(list, item);
  if (state == StagedState::kStaged) {
    Add(list.bytesDone, item.size);
    Add(list.bytesPresent, item.size);
    return true;
  }
  if (state == StagedState::kBlocked) {
    // A stale staged file that cannot be replaced: the update cannot be
    // completed, so the run must not end as complete.
    platform::FailureCause cause = platform::LastFailureCause();
    std::string errorText = platform::LastErrorText();
    SetSaveFailure(list, failure, cause, errorText,
                   StagedPath(list, item).value_or(list.context().applicationFolder));
    return false;
  }
  // An update file goes to the disk as it arrives; nothing of it stays in
  // memory. The list request's body stays in memory for the window.
  return item.HasDigest() ? StageItem(list, item, runTag, failure) : FetchItem(list, item, failure);
}

}  // namespace

void DownloadWorker(UpdateList& list) {
  const std::string runTag = NewRunTag();
  // A download, not the list request: its items are listed files, each with
  // a digest. (Its total may be 0: a release of empty files.)
  const bool download =
      std::any_of(list.items.begin(), list.items.end(), [](const auto& item) { return item->HasDigest(); });
  // What a killed run left behind goes first; only one updater runs at a
  // time, and a run this program gave up on renames nothing any more.
  if (download && !list.context().applicationFolder.empty())
    RemoveWorkerLeftovers(list.context().applicationFolder + std::string(kStagingFolderName));
  ItemQueue queue(list);
  auto transfer = [&] {
    while (auto index = queue.Take()) {
      ItemFailure failure;
      bool ok = WorkOnItem(list, *list.items[*index], runTag, failure);
      queue.Done(*index, ok, std::move(failure));
    }
  };
  // This thread is one of the transfers; a transfer whose thread cannot be
  // had is one fewer.
  const std::size_t wanted = std::clamp<std::size_t>(list.context().parallelTransfers, 1, kMaxParallelTransfers);
  std::vector<std::thread> others;
  for (std::size_t i = 1; i < std::min(wanted, list.items.size()); ++i) {
    try {
      others.emplace_back(transfer);
    } catch (const std::system_error&) {
      break;
    }
  }
  transfer();
  for (std::thread& other : others) other.join();
  if (const ItemFailure* failure = queue.failure()) {
    failure->ApplyTo(list);
    return;
  }
  // Without the log the installer never takes the staged files: the run has
  // not completed.
  if (list.resultCode.load() == kSucceeded && download && !CreateUpdateLog(list)) {
    ItemFailure failure;
    platform::FailureCause cause = platform::LastFailureCause();
    std::string errorText = platform::LastErrorText();
    SetSaveFailure(list, failure, cause, errorText, UpdateLogPath(list.context().applicationFolder));
    failure.ApplyTo(list);
  }
}

bool StartDownloadWorker(std::shared_ptr<UpdateList> list) {
  if (!list) return false;
  list->workerActive = true;
  bool started = DownloadThreads().Start([list] {
    DownloadWorker(*list);
    list->workerActive = false;
  });
  if (!started) list->workerActive = false;
  return started;
}

}  // namespace engine
