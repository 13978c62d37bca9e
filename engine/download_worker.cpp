#include "engine/download_worker.h"

#include <algorithm>
#include <chrono>
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
#include "engine/binary_patch.h"
#include "engine/digest.h"
#include "engine/kept_body.h"
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

// Hands the bytes of the file at `path` to `reader` piece by piece; false
// when it cannot be read, or the reader said no.
bool ReadBack(const std::string& path, const BodyStore::Reader& reader) {
  constexpr std::size_t kPiece = 256 * 1024;
  platform::File in = platform::File::Open(path, platform::OpenMode::kRead);
  if (!in.IsOpen()) return false;
  std::unique_ptr<std::uint8_t[]> piece(new std::uint8_t[kPiece]);
  for (;;) {
    std::int64_t n = in.Read(piece.get(), kPiece);
    if (n <= 0) return n == 0;
    if (!reader(piece.get(), static_cast<std::size_t>(n))) return false;
  }
}

// Where a staged file's bytes go on their way. The raw body goes under its
// kept name (engine/kept_body.h), so that a transfer cut short leaves it for
// the next attempt; for a plain body that file is the staged file itself.
// A packed body's unpacked bytes go under a temporary name of this run. The
// file that becomes the staged one is made durable and renamed into place
// once complete (platform::DurableFile). A file is made at its first byte,
// so a request that brings no body leaves nothing behind (an empty file is
// made when it is complete). The disk is asked to write behind every few
// MiB, so that flushing the whole file at the end waits for little.
class StagingFile : public BodyStore {
 public:
  StagingFile(std::string stagingFolder, const std::string& stagedPath, const std::string& keptPath,
              std::string unpackedPath)
      : stagingFolder_(std::move(stagingFolder)), raw_(stagedPath, keptPath), out_(stagedPath, std::move(unpackedPath)) {}

  // The folders on the way to the file; false when one cannot be made.
  bool MakeFolders() {
    if (MakeStagingFolders(stagingFolder_, raw_.temporaryPath())) return true;
    return Failed(platform::LastFailureCause(), platform::LastErrorText());
  }

  // Whether the raw body of the next attempt goes after the bytes kept at
  // its name, or starts a new file there.
  void Continue(bool append) { append_ = append; }

  bool Write(const std::uint8_t* data, std::size_t size) override { return Put(packed_ ? out_ : raw_, data, size); }
  bool Keep(const std::uint8_t* data, std::size_t size) override { return Put(raw_, data, size); }
  void StartUnpacking() override { packed_ = true; }

  // The raw body, all of it in the kept file, turned out to be packed: it
  // is read back for the unpacked file.
  bool Rewrite(const Reader& reader) override {
    packed_ = true;
    if (!raw_.created()) return true;  // nothing was written
    raw_.file().Close();
    return ReadBack(raw_.temporaryPath(), reader);
  }

  // Flushes the staged file to the disk and closes it; false when that
  // failed. A file that took no byte (an empty one) is made here.
  bool Complete() {
    DurableFile& staged = packed_ ? out_ : raw_;
    if (!staged.created() && !Open(staged)) return false;
    return staged.MakeDurable() || Failed(staged);
  }

  // Moves the complete file to its staged name; the raw body of a packed
  // file goes.
  bool Publish() {
    DurableFile& staged = packed_ ? out_ : raw_;
    if (!staged.Commit()) return Failed(staged);
    raw_.Discard();
    return true;
  }

  // Why the write, flush or rename that failed did, and the system's words
  // for it.
  platform::FailureCause cause() const { return cause_; }
  const std::string& errorText() const { return errorText_; }
  const std::string& path() const { return (packed_ ? out_ : raw_).temporaryPath(); }

  // A transfer was cut: the raw bytes stay for the next attempt, what was
  // unpacked from them goes (it is unpacked again from them).
  void Suspend() {
    raw_.Leave();
    Reset();
  }
  void Discard() {
    raw_.Discard();
    Reset();
  }

 private:
  using DurableFile = platform::DurableFile;

  // The raw body of a packed file comes on the receiving thread, what it
  // unpacks to on the writing one: each file has its own count, and a
  // failure is kept under a lock.
  bool Put(DurableFile& file, const std::uint8_t* data, std::size_t size) {
    if (!file.created() && !Open(file)) return false;
    if (!file.Write(data, size)) return Failed(file);
    std::size_t& unflushed = &file == &raw_ ? rawUnflushed_ : outUnflushed_;
    unflushed += size;
    if (unflushed >= kWriteBehindBytes) {
      file.file().StartFlush();
      unflushed = 0;
    }
    return true;
  }

  void Reset() {
    out_.Discard();
    packed_ = false;
    append_ = false;
    rawUnflushed_ = outUnflushed_ = 0;
  }

  // Never through a link: every folder on the way is a real one, and the
  // file is a new one of its own name, or the kept one taken on.
  bool Open(DurableFile& file) {
    if (!MakeFolders()) return false;
    bool open = &file == &raw_ && append_ ? file.Reopen() : file.Create();
    return open || Failed(file);
  }

  bool Failed(const DurableFile& file) { return Failed(file.cause(), file.errorText()); }
  bool Failed(platform::FailureCause cause, std::string errorText) {
    std::lock_guard<std::mutex> lock(failureMutex_);
    cause_ = cause;
    errorText_ = std::move(errorText);
    return false;
  }

  static constexpr std::size_t kWriteBehindBytes = 8u << 20;
  std::string stagingFolder_;
  DurableFile raw_;  // the body as it came, under the kept name
  DurableFile out_;  // what a packed body unpacked to
  bool packed_ = false;
  bool append_ = false;
  std::size_t rawUnflushed_ = 0, outUnflushed_ = 0;
  std::mutex failureMutex_;
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
bool ConnectItem(UpdateList& list, UpdateItem& item, ItemFailure& failure, SpareConnection* spare = nullptr) {
  if (!item.Connect(item.url, &list.runControl, spare)) {
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

// The body of one attempt at an item. When bytes of the file are kept, the
// request asked for the rest: a response that continues them as it must is
// taken after them; a whole body (200) starts the file anew; anything else
// ends the attempt, and the file is asked for again from its first byte.
class ItemBody : public BodyReceiver {
 public:
  ItemBody(UpdateList& list, StagedBody& body, StagingFile& file, KeptBody& kept, bool keptFromEarlierRun)
      : list_(list), body_(body), file_(file), kept_(kept), earlier_(keptFromEarlierRun) {}

  bool Begin(const ResponseHead& head, std::optional<std::uint64_t> length) override {
    std::uint64_t total = 0;
    if (kept_.length() > 0 && kept_.Continues(head, total) && length == total - kept_.length()) {
      // Bytes already here count as done; from an earlier run, also as not
      // fetched now (the speed leaves them out).
      resumed_ = kept_.length();
      Add(list_.bytesDone, static_cast<std::int64_t>(resumed_));
      if (earlier_) Add(list_.bytesPresent, static_cast<std::int64_t>(resumed_));
      file_.Continue(true);
      return body_.Resume(total, [this](const BodyStore::Reader& reader) {
        return ReadBack(kept_.dataPath(), reader);
      });
    }
    if (kept_.length() > 0 && head.status != 200) {
      restart_ = true;
      return false;
    }
    // A new body from its first byte. Only a success is kept for resuming.
    file_.Continue(false);
    if (head.status == 200 && file_.MakeFolders())
      kept_.Start(head);
    else
      kept_.Forget();
    return body_.Begin(head, length);
  }

  bool Take(const std::uint8_t* data, std::size_t size) override { return body_.Take(data, size); }

  // Kept bytes this attempt continued (counted in bytesDone).
  std::uint64_t resumed() const { return resumed_; }
  // The server did not continue the kept bytes as asked: they go, and the
  // file is fetched whole.
  bool restart() const { return restart_; }
  // Takes the counts of a failed attempt back off the counters: what it
  // counted in bytesDone besides the kept bytes it continued.
  void Uncount(std::int64_t counted) {
    Add(list_.bytesDone, -static_cast<std::int64_t>(resumed_) - counted);
    if (earlier_) Add(list_.bytesPresent, -static_cast<std::int64_t>(resumed_));
  }

 private:
  UpdateList& list_;
  StagedBody& body_;
  StagingFile& file_;
  KeptBody& kept_;
  const bool earlier_;
  std::uint64_t resumed_ = 0;
  bool restart_ = false;
};

enum class Attempt { kFetched, kMismatch, kCut, kRestart, kAgain, kFailed };

// Fetches the item straight into `file`, unpacking a container on the way,
// after the bytes kept of it when there are any, and checks its digests.
// On kFetched the item's bodyLength is the file's length, counted once in
// bytesDone; otherwise nothing of the attempt stays counted (kMismatch: the
// file is not the listed one),
// and `failure` says why (kCut: by the network, which a retry may get
// past; kAgain: a connection an earlier transfer left open had been closed
// by the server, and a new one may be tried at once). The connection goes
// to `spare` when it can carry another request.
Attempt FetchIntoFile(UpdateList& list, UpdateItem& item, StagingFile& file, KeptBody& kept, bool keptFromEarlierRun,
                      ItemFailure& failure, SpareConnection* spare) {
  if (!ConnectItem(list, item, failure, spare)) return failure.code == kAborted ? Attempt::kFailed : Attempt::kCut;
  item.maxResponseBytes = ResponseCapFor(item.size);
  item.rangeFrom = kept.length();
  item.keepAlive = spare != nullptr;
  StagedBody staged(item.size, file, !item.sha256.empty());
  ItemBody body(list, staged, file, kept, keptFromEarlierRun);
  auto result = item.GetStreamed(list.bytesDone, item.bodyLength, list.runControl, body);
  if (spare) item.LeaveConnection(*spare);
  item.Close();
  if (result == HttpClient::StreamResult::kComplete && staged.Finish(item.bodyLength)) {
    const std::int64_t counted = static_cast<std::int64_t>(body.resumed()) + item.bodyLength;
    // Counted as the file's size, as the unpacked bytes are what is kept
    // (other transfers add to the counter meanwhile: only the difference
    // is added).
    Add(list.bytesDone, item.size - counted);
    item.bodyLength = item.size;
    // Both digests the list gives must agree; a missing SHA-256 counts as
    // agreeing (an unsigned list has none).
    if (DigestsMatch(staged.Digest(), Md5Of(item)) &&
        (item.sha256.empty() || base::EqualsIgnoringCase(staged.Sha256(), item.sha256)))
      return Attempt::kFetched;
    body.Uncount(item.size - static_cast<std::int64_t>(body.resumed()));
    return Attempt::kMismatch;
  }
  // What was received is on the disk before the attempt ends.
  staged.Settle();
  body.Uncount(item.bodyLength);
  if (body.restart()) return Attempt::kRestart;
  // A resumed body that its kept bytes spoiled (torn by a power cut, or
  // another packing of the same file where the server names no version):
  // the file is fetched whole.
  if (body.resumed() > 0 && result != HttpClient::StreamResult::kCut && !staged.storeFailed() &&
      list.runControl.load() != kStop)
    return Attempt::kRestart;
  if (result == HttpClient::StreamResult::kCut && item.reused() && item.receivedBytes() == 0) return Attempt::kAgain;
  if (staged.storeFailed()) {
    SetSaveFailure(list, failure, file.cause(), file.errorText(), file.path());
    return Attempt::kFailed;
  }
  SetFailure(list, failure, kFailed,
             TransferFailure(item, "the file is not what the list says") + ", after " +
                 std::to_string(item.bodyLength) + " bytes");
  return result == HttpClient::StreamResult::kCut ? Attempt::kCut : Attempt::kFailed;
}

// Waits `ms` before a retry, or less when the run is stopped; holds do not
// count. False on a stop.
bool PauseBeforeRetry(UpdateList& list, int ms) {
  for (std::int64_t end = platform::MonotonicMs() + ms; platform::MonotonicMs() < end;) {
    if (list.runControl.load() == kStop) return false;
    if (list.runControl.load() == kHold) end += 20;
    platform::SleepMs(20);
  }
  return list.runControl.load() != kStop;
}

// The body of a patch: written to its temporary file as it comes, its
// digests taken on the way.
class PatchBody : public BodyReceiver {
 public:
  PatchBody(const std::string& path, bool withSha256) : path_(path), withSha256_(withSha256) {}

  bool Begin(const ResponseHead& head, std::optional<std::uint64_t> length) override {
    if (head.status != 200 || !md5_.ok() || !sha256_.ok()) return false;
    length_ = length;
    file_ = platform::File::Open(path_, platform::OpenMode::kCreateNew);
    return file_.IsOpen();
  }
  bool Take(const std::uint8_t* data, std::size_t size) override {
    md5_.Update(data, size);
    if (withSha256_) sha256_.Update(data, size);
    return file_.Write(data, size) == static_cast<std::int64_t>(size);
  }
  // Whether the whole body came: as long as the offer says, with its digests.
  bool Matches(const PatchOffer& patch, std::int32_t bodyLength) {
    file_.Close();
    return bodyLength == patch.size && (!length_ || *length_ == static_cast<std::uint64_t>(patch.size)) &&
           DigestsMatch(md5_.Text(), patch.md5) &&
           (!withSha256_ || base::EqualsIgnoringCase(sha256_.Text(), patch.sha256));
  }

 private:
  const std::string& path_;
  const bool withSha256_;
  platform::File file_;
  std::optional<std::uint64_t> length_;
  StreamDigest md5_;
  StreamDigest sha256_{DigestKind::kSha256};
};

// One patch is applied at a time, whatever the number of transfers, so that
// the memory a download takes for them stays that of one apply.
std::mutex& ApplyLock() {
  static std::mutex lock;
  return lock;
}

enum class PatchAttempt { kStaged, kFallBack, kStopped };

// Builds the item's file from its installed one and the patch its list
// offers for it, into `file`'s temporary name, and checks it as a fetched
// file is checked. Anything amiss (the patch cannot be had, is not the
// listed one, does not apply, or the result differs) is a fall-back to the
// whole file, with nothing of the attempt left counted, and noted in the
// list with why.
PatchAttempt StageFromPatch(UpdateList& list, UpdateItem& item, const std::string& stagedPath, StagingFile& file,
                            SpareConnection* spare) {
  std::string why;
  const PatchOffer& patch = *item.patch;
  const bool withSha256 = !item.sha256.empty();
  const std::string patchPath = WorkerTemporaryPath(stagedPath, NewRunTag());
  const std::string url = list.context().serverBase + std::string(kStagingFolderName) + "/" + patch.path;
  std::int32_t length = 0;
  bool fetched = false;
  // A kept connection the server has closed meanwhile brings nothing: a
  // new one is tried at once.
  for (bool again = true; again;) {
    again = false;
    if (!file.MakeFolders()) {
      why = "cannot make its folder";
    } else if (!item.Connect(url, &list.runControl, spare)) {
      why = url + ": " + item.failure;
    } else {
      while (list.runControl.load() == kHold) platform::SleepMs(20);
      item.maxResponseBytes = static_cast<std::size_t>(patch.size);
      item.rangeFrom = 0;
      item.keepAlive = spare != nullptr;
      PatchBody body(patchPath, withSha256);
      auto result = item.GetStreamed(list.bytesDone, length, list.runControl, body);
      if (spare) item.LeaveConnection(*spare);
      item.Close();
      again = result == HttpClient::StreamResult::kCut && item.reused() && item.receivedBytes() == 0;
      fetched = result == HttpClient::StreamResult::kComplete && body.Matches(patch, length);
      if (!fetched) {
        why = url + ": " + (item.failure.empty() ? std::string("the patch is not what the list says") : item.failure);
        if (!item.unexpectedStatus.empty()) why += " (" + item.unexpectedStatus + ")";
      }
    }
  }
  auto keepGoing = [&list] {
    while (list.runControl.load() == kHold) platform::SleepMs(20);
    return list.runControl.load() != kStop;
  };
  PatchOutcome outcome = PatchOutcome::kReadFailed;
  bool sound = false;
  if (fetched && keepGoing()) {
    std::lock_guard<std::mutex> lock(ApplyLock());
    file.StartUnpacking();
    StagedBody staged(item.size, file, withSha256);
    staged.Begin(ResponseHead{200}, static_cast<std::uint64_t>(item.size));
    outcome = ApplyPatchFiles(patchPath, item.installedPath, static_cast<std::uint64_t>(item.size),
                              [&staged](const std::uint8_t* data, std::size_t size) { return staged.Take(data, size); },
                              keepGoing);
    sound = outcome == PatchOutcome::kApplied && staged.Finish(item.size) &&
            DigestsMatch(staged.Digest(), Md5Of(item)) &&
            (!withSha256 || base::EqualsIgnoringCase(staged.Sha256(), item.sha256));
    if (!sound && outcome != PatchOutcome::kStopped)
      why = "the patch " + url + " did not give the listed file from " + item.installedPath;
  }
  platform::RemoveFile(patchPath);
  if (sound) return PatchAttempt::kStaged;
  file.Discard();
  Add(list.bytesDone, -static_cast<std::int64_t>(length));
  if (list.runControl.load() == kStop) return PatchAttempt::kStopped;
  // The whole file is fetched instead, in this run and any later one over
  // this list: the total grows by the difference.
  item.patchGaveWay = true;
  list.AddToTotal(static_cast<std::int64_t>(item.size) - patch.size);
  list.NotePatchFallback(why + "; the whole file is fetched instead");
  item.failure.clear();
  item.unexpectedStatus.clear();
  return PatchAttempt::kFallBack;
}

}  // namespace

bool StageItem(UpdateList& list, UpdateItem& item, const std::string& runTag, ItemFailure& failure,
               SpareConnection* spare) {
  auto path = StagedPath(list, item);
  if (!path) {
    failure.code = kCannotSave;
    failure.reason = item.url + ": no staging path for it";
    return false;
  }
  KeptBody kept(*path, Md5Of(item), item.size, ResponseCapFor(item.size));
  bool keptFromEarlierRun = kept.Load() > 0;
  StagingFile file(list.context().applicationFolder + std::string(kStagingFolderName), *path, kept.dataPath(),
                   WorkerTemporaryPath(*path, runTag));
  int mismatches = 0, retries = 0;
  // The patch the list offers for the installed file first; anything amiss
  // with it leaves the item to be fetched whole, as if there were none.
  bool patched = false;
  if (item.UsesPatch()) {
    PatchAttempt attempt = StageFromPatch(list, item, *path, file, spare);
    if (attempt == PatchAttempt::kStopped) {
      failure.code = kAborted;
      return false;
    }
    patched = attempt == PatchAttempt::kStaged;
  }
  while (!patched) {
    failure = {};
    Attempt attempt = FetchIntoFile(list, item, file, kept, keptFromEarlierRun, failure, spare);
    // Kept bytes an attempt took are this run's from then on.
    keptFromEarlierRun = keptFromEarlierRun && attempt == Attempt::kAgain;
    if (attempt == Attempt::kFetched) break;
    if (attempt == Attempt::kMismatch) {
      // Nothing of a file that is not the listed one is kept.
      file.Discard();
      kept.Forget();
      if (++mismatches == 2) {
        failure.code = kFailed;
        failure.reason = TransferFailure(item, "the file's digest differs from the list's, twice");
        return false;
      }
      continue;
    }
    if (attempt == Attempt::kRestart) {
      file.Discard();
      kept.Forget();
      continue;
    }
    if (attempt == Attempt::kAgain) {
      file.Suspend();
      kept.Load();
      continue;
    }
    if (attempt == Attempt::kCut && failure.code != kAborted && retries < kMaxRetries) {
      // The bytes that came stay; the next attempt asks for the rest.
      file.Suspend();
      list.retrying.fetch_add(1);
      bool go = PauseBeforeRetry(list, list.context().retryPauseMs << retries);
      list.retrying.fetch_sub(1);
      ++retries;
      if (!go) {
        failure.code = kAborted;
        return false;
      }
      kept.Load();
      continue;
    }
    // Bytes of a transfer the network cut (or a stop) stay for the next run.
    if (attempt == Attempt::kCut || failure.code == kAborted) {
      file.Suspend();
    } else {
      file.Discard();
      kept.Forget();
    }
    return false;
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
  kept.Forget();
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
    for (;;) {
      if (next_ >= paths_.size() || next_ >= firstFailed_) return std::nullopt;
      if (list_.runControl.load() == kStop) {
        // The items not started are not staged: the run is aborted.
        firstFailed_ = next_;
        failure_ = ItemFailure{kAborted};
        return std::nullopt;
      }
      // A file listed twice waits for its first transfer (which has been
      // started already, as items start in order).
      const std::string& path = paths_[next_];
      if (path.empty() || !busy_.count(path)) break;
      done_.wait_for(lock, std::chrono::milliseconds(20));
    }
    std::size_t index = next_++;
    if (!paths_[index].empty()) busy_.insert(paths_[index]);
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

bool WorkOnItem(UpdateList& list, UpdateItem& item, const std::string& runTag, ItemFailure& failure,
                SpareConnection& spare) {
  StagedState state = CheckStaged(list, item);
  if (state == StagedState::kStaged) {
    // Bytes kept of it are no longer needed (a power cut can leave them
    // beside the staged file).
    if (auto path = StagedPath(list, item); path && item.HasDigest()) KeptBody(*path, Md5Of(item), item.size, 0).Forget();
    Add(list.bytesDone, item.CountedSize());
    Add(list.bytesPresent, item.CountedSize());
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
  return item.HasDigest() ? StageItem(list, item, runTag, failure, &spare) : FetchItem(list, item, failure);
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
  // The bytes kept of files this list still offers stay.
  if (download && !list.context().applicationFolder.empty()) {
    std::set<std::string> kept;
    for (const auto& item : list.items) {
      auto path = StagedPath(list, *item);
      if (!path || !item->HasDigest()) continue;
      kept.insert(KeptBody::DataPath(*path, Md5Of(*item)));
      kept.insert(KeptBody::IdentityPath(*path, Md5Of(*item)));
    }
    RemoveWorkerLeftovers(list.context().applicationFolder + std::string(kStagingFolderName), kept);
  }
  ItemQueue queue(list);
  auto transfer = [&] {
    // Each transfer keeps its connection for its next file while the
    // server lets it.
    SpareConnection spare;
    while (auto index = queue.Take()) {
      ItemFailure failure;
      bool ok = WorkOnItem(list, *list.items[*index], runTag, failure, spare);
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
