#include "engine/download_worker.h"

#include <algorithm>
#include <limits>
#include <set>
#include <string_view>
#include <utility>

#include "base/ascii_text.h"
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

void SetFailure(UpdateList& list, ResultCode code, std::string reason = {}) {
  list.resultCode = list.runControl.load() == kStop ? kAborted : code;
  if (list.failureReason.empty()) list.failureReason = std::move(reason);
}

std::string FolderPart(const std::string& path) {
  std::size_t sep = path.find_last_of(kSep);
  return sep == std::string::npos ? path : path.substr(0, sep);
}

// "Cannot save", with why and where for the window to say, and the system's
// words (`errorText`) for the log.
void SetSaveFailure(UpdateList& list, platform::FailureCause cause, const std::string& errorText,
                    const std::string& path) {
  list.saveCause = cause;
  list.saveFolder = FolderPart(path);
  SetFailure(list, kCannotSave,
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
bool ConnectItem(UpdateList& list, UpdateItem& item) {
  if (!item.Connect(item.url, &list.runControl)) {
    SetFailure(list, kCannotConnect, item.url + ": " + item.failure);
    return false;
  }
  while (list.runControl.load() == kHold) platform::SleepMs(20);
  if (list.runControl.load() == kStop) {
    list.resultCode = kAborted;
    return false;
  }
  return true;
}

// Fetches the item straight into `file`, unpacking a container on the way;
// false with the result set on failure. On success the item's bodyLength
// is the file's length and `digest` the digest of its bytes.
bool FetchIntoFile(UpdateList& list, UpdateItem& item, StagingFile& file, std::string& digest) {
  if (!ConnectItem(list, item)) return false;
  item.maxResponseBytes = ResponseCapFor(item.size);
  std::int32_t start = list.bytesDone.load();
  StagedBody body(item.size, file, !item.sha256.empty());
  auto result = item.GetStreamed(list.bytesDone, item.bodyLength, list.runControl, body);
  item.Close();
  if (result == HttpClient::StreamResult::kComplete && body.Finish(item.bodyLength)) {
    if (body.packed()) {
      // Counted as the file's size, as the unpacked bytes are what is kept.
      list.bytesDone.store(static_cast<std::int32_t>(static_cast<std::uint32_t>(start) +
                                                     static_cast<std::uint32_t>(item.size)));
      item.bodyLength = item.size;
    }
    // Both digests the list gives must agree; a missing SHA-256 counts as
    // agreeing (an unsigned list has none).
    digest = body.Digest();
    if (!item.sha256.empty() && !base::EqualsIgnoringCase(body.Sha256(), item.sha256)) digest.clear();
    return true;
  }
  if (body.storeFailed()) {
    SetSaveFailure(list, file.cause(), file.errorText(), file.path());
  } else {
    SetFailure(list, kFailed,
               TransferFailure(item, "the file is not what the list says") + ", after " +
                   std::to_string(list.bytesDone.load() - start) + " bytes");
  }
  return false;
}

}  // namespace

bool StageItem(UpdateList& list, UpdateItem& item, const std::string& runTag) {
  auto path = StagedPath(list, item);
  if (!path) {
    list.resultCode = kCannotSave;
    list.failureReason = item.url + ": no staging path for it";
    return false;
  }
  StagingFile file(list.context().applicationFolder + std::string(kStagingFolderName), *path,
                   WorkerTemporaryPath(*path, runTag), WorkerTemporaryPath(*path, NewRunTag()));
  for (int attempt = 0;; ++attempt) {
    std::string digest;
    if (!FetchIntoFile(list, item, file, digest)) return false;
    if (DigestsMatch(digest, Md5Of(item))) break;
    file.Discard();
    if (attempt == 1) {
      list.resultCode = kFailed;
      list.failureReason = TransferFailure(item, "the file's digest differs from the list's, twice");
      return false;
    }
    Add(list.bytesDone, -static_cast<std::int64_t>(item.bodyLength));
  }
  // A stopped run renames nothing: a window that gave up waiting may
  // already have started another.
  bool durable = file.Complete();
  if (list.runControl.load() == kStop) {
    list.resultCode = kAborted;
    return false;
  }
  if (!durable || !file.Publish()) {
    SetSaveFailure(list, file.cause(), file.errorText(), *path);
    return false;
  }
  return true;
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

bool FetchItem(UpdateList& list, UpdateItem& item) {
  if (!ConnectItem(list, item)) return false;
  item.maxResponseBytes = kMaxListResponseBytes;
  item.body = item.Get(list.bytesDone, item.bodyLength, list.runControl);
  if (item.body) return true;
  SetFailure(list, kFailed, TransferFailure(item, "the transfer failed"));
  return false;
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
      platform::FailureCause cause = platform::LastFailureCause();
      std::string errorText = platform::LastErrorText();
      SetSaveFailure(list, cause, errorText, StagedPath(list, item).value_or(list.context().applicationFolder));
      return;
    }
    if (item.HasDigest()) {
      // An update file goes to the disk as it arrives; nothing of it stays
      // in memory.
      if (!StageItem(list, item, runTag)) return;
      continue;
    }
    // The list request: its body stays in memory for the window.
    if (!FetchItem(list, item)) return;
  }
  // Without the log the installer never takes the staged files: the run has
  // not completed.
  if (list.resultCode.load() == kSucceeded && download && !CreateUpdateLog(list)) {
    platform::FailureCause cause = platform::LastFailureCause();
    std::string errorText = platform::LastErrorText();
    SetSaveFailure(list, cause, errorText, UpdateLogPath(list.context().applicationFolder));
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
