#include "engine/binary_patch.h"

#include <lzma.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/files.h"

namespace engine {
namespace {

std::uint64_t Read64(const std::uint8_t* p) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

// One .xz stream of the patch, between `from` and `to`, decoded on demand
// a block ahead: the steps take a few dozen bytes at a time, and a call into
// the decoder for each would cost more than the decoding.
class PatchStream {
 public:
  PatchStream(const PatchSource& patch, std::uint64_t from, std::uint64_t to)
      : patch_(patch), next_(from), end_(to) {}
  ~PatchStream() { lzma_end(&lzma_); }
  PatchStream(const PatchStream&) = delete;
  PatchStream& operator=(const PatchStream&) = delete;

  bool Start() { return lzma_stream_decoder(&lzma_, kPatchDecoderMemory, 0) == LZMA_OK; }

  // Exactly `size` decoded bytes into `out`; otherwise what went wrong.
  PatchOutcome Read(std::uint8_t* out, std::size_t size) {
    while (size > 0) {
      if (taken_ == decoded_) {
        // A large read is decoded in place, a small one through the block.
        const bool direct = size >= kBlock;
        std::size_t got = 0;
        if (PatchOutcome rc = Decode(direct ? out : block_.data(), direct ? size : kBlock, got);
            rc != PatchOutcome::kApplied)
          return rc;
        if (got == 0) return PatchOutcome::kMalformed;  // the stream holds fewer bytes
        if (direct) {
          out += got;
          size -= got;
          continue;
        }
        taken_ = 0;
        decoded_ = got;
      }
      const std::size_t n = std::min(size, decoded_ - taken_);
      std::memcpy(out, block_.data() + taken_, n);
      taken_ += n;
      out += n;
      size -= n;
    }
    return PatchOutcome::kApplied;
  }

  // Whether the stream ends here: it decodes to nothing more, and every
  // byte of its part of the patch was used.
  bool AtEnd() {
    if (taken_ != decoded_) return false;
    std::size_t got = 0;
    return Decode(block_.data(), 1, got) == PatchOutcome::kApplied && got == 0 && ended_ && lzma_.avail_in == 0 &&
           next_ == end_;
  }

  // Decodes up to `size` bytes into `out` (fewer only at the stream's end),
  // past what Read has taken.
  PatchOutcome Decode(std::uint8_t* out, std::size_t size, std::size_t& got) {
    lzma_.next_out = out;
    lzma_.avail_out = size;
    while (lzma_.avail_out > 0 && !ended_) {
      if (PatchOutcome filled = Fill(); filled != PatchOutcome::kApplied) return filled;
      const std::size_t before = lzma_.avail_in + lzma_.avail_out;
      lzma_ret rc = lzma_code(&lzma_, next_ == end_ ? LZMA_FINISH : LZMA_RUN);
      if (rc == LZMA_STREAM_END) {
        ended_ = true;
      } else if (rc != LZMA_OK || (lzma_.avail_in + lzma_.avail_out == before && next_ == end_)) {
        return PatchOutcome::kMalformed;  // damaged, too large a dictionary, or cut short
      }
    }
    got = size - lzma_.avail_out;
    return PatchOutcome::kApplied;
  }

 private:
  PatchOutcome Fill() {
    if (lzma_.avail_in > 0 || next_ == end_) return PatchOutcome::kApplied;
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(in_.size(), end_ - next_));
    std::int64_t got = patch_.read(next_, in_.data(), want);
    if (got < 0) return PatchOutcome::kReadFailed;
    if (got == 0) return PatchOutcome::kMalformed;
    next_ += static_cast<std::uint64_t>(got);
    lzma_.next_in = in_.data();
    lzma_.avail_in = static_cast<std::size_t>(got);
    return PatchOutcome::kApplied;
  }

  static constexpr std::size_t kBlock = 64 * 1024;
  const PatchSource& patch_;
  std::uint64_t next_, end_;
  lzma_stream lzma_ = LZMA_STREAM_INIT;
  bool ended_ = false;
  std::array<std::uint8_t, 64 * 1024> in_{};
  std::array<std::uint8_t, kBlock> block_{};
  std::size_t taken_ = 0, decoded_ = 0;
};

// The difference stream holds about as many bytes as the new file, and
// decoding it is most of the work of applying: it is decoded on a thread of
// its own, a few blocks ahead of the steps that take its bytes (in place
// when no thread can be had).
class DecodedAhead {
 public:
  explicit DecodedAhead(PatchStream& stream) : stream_(stream) {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      inPlace_ = true;
    }
  }
  ~DecodedAhead() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  DecodedAhead(const DecodedAhead&) = delete;
  DecodedAhead& operator=(const DecodedAhead&) = delete;

  PatchOutcome Read(std::uint8_t* out, std::size_t size) {
    if (inPlace_) return stream_.Read(out, size);
    while (size > 0) {
      if (taken_ == current_.size() && !Next()) return outcome_ == PatchOutcome::kApplied ? PatchOutcome::kMalformed : outcome_;
      const std::size_t n = std::min(size, current_.size() - taken_);
      std::memcpy(out, current_.data() + taken_, n);
      taken_ += n;
      out += n;
      size -= n;
    }
    return PatchOutcome::kApplied;
  }

  bool AtEnd() {
    if (inPlace_) return stream_.AtEnd();
    return taken_ == current_.size() && !Next() && outcome_ == PatchOutcome::kApplied && atEnd_;
  }

 private:
  // The next decoded block as the current one; false when the stream
  // has no more (outcome_ says why).
  bool Next() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !ready_.empty() || finished_; });
    if (ready_.empty()) return false;
    // The block taken is given back for the next one: no block is
    // allocated (and its pages faulted in) more than once.
    if (current_.capacity() > 0) spare_.push_back(std::move(current_));
    current_ = std::move(ready_.front());
    ready_.pop_front();
    taken_ = 0;
    changed_.notify_all();
    return true;
  }

  void Run() {
    for (;;) {
      std::vector<std::uint8_t> block;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!spare_.empty()) {
          block = std::move(spare_.back());
          spare_.pop_back();
        }
      }
      block.resize(kBlock);
      std::size_t got = 0;
      PatchOutcome rc = stream_.Decode(block.data(), kBlock, got);
      block.resize(got);
      const bool last = rc != PatchOutcome::kApplied || got < kBlock;
      const bool atEnd = last && rc == PatchOutcome::kApplied && stream_.AtEnd();
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return ready_.size() < kAhead || stop_; });
      if (stop_) return;
      if (!block.empty()) ready_.push_back(std::move(block));
      if (last) {
        outcome_ = rc;
        atEnd_ = atEnd;
        finished_ = true;
      }
      changed_.notify_all();
      if (last) return;
    }
  }

  static constexpr std::size_t kBlock = 256 * 1024;
  static constexpr std::size_t kAhead = 4;
  PatchStream& stream_;
  bool inPlace_ = false;
  std::vector<std::uint8_t> current_;
  std::size_t taken_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<std::uint8_t>> ready_;
  std::vector<std::vector<std::uint8_t>> spare_;
  bool finished_ = false, stop_ = false, atEnd_ = false;
  PatchOutcome outcome_ = PatchOutcome::kApplied;
  std::thread thread_;  // last: it ends before the rest goes
};

PatchSource FileSource(platform::File& file) {
  return {[&file](std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
            return file.ReadAt(offset, buffer, size);
          },
          file.Size().value_or(0)};
}

// The steps of a patch are small (a few dozen bytes on average for a
// program) and point all over the old file, though mostly near where
// others pointed shortly before: the old file is read in pages of 16 KiB,
// the 64 used last kept, so that most steps cost no system call.
class PagedSource {
 public:
  explicit PagedSource(const PatchSource& file) : file_(file), memory_(new std::uint8_t[kPages * kPageSize]) {}

  PatchSource source() {
    return {[this](std::uint64_t offset, std::uint8_t* buffer, std::size_t size) { return Read(offset, buffer, size); },
            file_.size};
  }

 private:
  std::int64_t Read(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
    if (offset >= file_.size) return 0;
    const std::uint64_t number = offset / kPageSize;
    Page* page = &pages_[0];
    for (Page& candidate : pages_) {
      if (candidate.number == number && candidate.length > 0) {
        page = &candidate;
        break;
      }
      if (candidate.used < page->used) page = &candidate;
    }
    if (page->number != number || page->length == 0) {
      std::uint8_t* bytes = memory_.get() + (page - pages_) * kPageSize;
      std::int64_t n = file_.read(number * kPageSize, bytes, kPageSize);
      if (n < 0) return n;
      page->number = number;
      page->length = static_cast<std::size_t>(n);
    }
    page->used = ++clock_;
    const std::size_t within = static_cast<std::size_t>(offset - number * kPageSize);
    if (within >= page->length) return 0;
    const std::size_t n = std::min(size, page->length - within);
    std::memcpy(buffer, memory_.get() + (page - pages_) * kPageSize + within, n);
    return static_cast<std::int64_t>(n);
  }

  static constexpr std::size_t kPageSize = 16 * 1024;
  static constexpr std::size_t kPages = 64;
  struct Page {
    std::uint64_t number = 0;
    std::size_t length = 0;
    std::uint64_t used = 0;
  };
  const PatchSource& file_;
  std::unique_ptr<std::uint8_t[]> memory_;
  Page pages_[kPages];
  std::uint64_t clock_ = 0;
};

}  // namespace

PatchOutcome ApplyPatchFiles(const std::string& patchPath, const std::string& oldPath, std::uint64_t newSize,
                             const std::function<bool(const std::uint8_t* data, std::size_t size)>& out,
                             const std::function<bool()>& keepGoing) {
  platform::File patch = platform::File::Open(patchPath, platform::OpenMode::kRead);
  platform::File old = platform::File::Open(oldPath, platform::OpenMode::kRead);
  if (!patch.IsOpen() || !old.IsOpen() || !patch.Size() || !old.Size()) return PatchOutcome::kReadFailed;
  const PatchSource oldFile = FileSource(old);
  // A view of the old file where the system offers a safe one, else pages.
  if (auto view = platform::FileView::Map(old)) {
    const std::uint8_t* bytes = view->data();
    const std::uint64_t length = view->size();
    const PatchSource mapped{[bytes, length](std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
                               if (offset >= length) return std::int64_t{0};
                               std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, length - offset));
                               std::memcpy(buffer, bytes + offset, n);
                               return static_cast<std::int64_t>(n);
                             },
                             length, bytes};
    return ApplyPatch(FileSource(patch), mapped, newSize, out, keepGoing);
  }
  PagedSource oldPages(oldFile);
  return ApplyPatch(FileSource(patch), oldPages.source(), newSize, out, keepGoing);
}

PatchOutcome ApplyPatch(const PatchSource& patch, const PatchSource& old, std::uint64_t newSize,
                        const std::function<bool(const std::uint8_t* data, std::size_t size)>& out,
                        const std::function<bool()>& keepGoing) {
  std::uint8_t header[kPatchHeaderSize];
  if (patch.size < kPatchHeaderSize) return PatchOutcome::kMalformed;
  std::int64_t got = patch.read(0, header, kPatchHeaderSize);
  if (got < 0) return PatchOutcome::kReadFailed;
  if (got != static_cast<std::int64_t>(kPatchHeaderSize) || std::memcmp(header, kPatchMagic.data(), 8) != 0 ||
      Read64(header + 8) != newSize)
    return PatchOutcome::kMalformed;
  // The three streams fill the rest of the patch exactly.
  const std::uint64_t lengths[3] = {Read64(header + 16), Read64(header + 24), Read64(header + 32)};
  std::uint64_t at = kPatchHeaderSize;
  for (std::uint64_t length : lengths) {
    if (length > patch.size - at) return PatchOutcome::kMalformed;
    at += length;
  }
  if (at != patch.size) return PatchOutcome::kMalformed;

  PatchStream control(patch, kPatchHeaderSize, kPatchHeaderSize + lengths[0]);
  PatchStream difference(patch, kPatchHeaderSize + lengths[0], kPatchHeaderSize + lengths[0] + lengths[1]);
  PatchStream extra(patch, kPatchHeaderSize + lengths[0] + lengths[1], patch.size);
  if (!control.Start() || !difference.Start() || !extra.Start()) return PatchOutcome::kReadFailed;
  DecodedAhead differenceAhead(difference);

  // The new bytes gather in one piece and go out when it is full: the steps
  // are small, and a call for each would cost more than their bytes.
  constexpr std::size_t kPiece = 256 * 1024;
  std::unique_ptr<std::uint8_t[]> piece(new std::uint8_t[kPiece]);
  std::unique_ptr<std::uint8_t[]> oldPiece(new std::uint8_t[kPiece]);
  std::size_t filled = 0;
  auto flush = [&] {
    if (filled > 0 && !out(piece.get(), filled)) return PatchOutcome::kRefused;
    filled = 0;
    return keepGoing && !keepGoing() ? PatchOutcome::kStopped : PatchOutcome::kApplied;
  };
  std::uint64_t newPos = 0, oldPos = 0;
  // Each step the maker writes moves on in the new file, or is followed by
  // one that does: more steps than twice the new size is no patch of ours.
  for (std::uint64_t steps = 0; newPos < newSize; ++steps) {
    if (steps > 2 * newSize + 2) return PatchOutcome::kMalformed;
    if (steps % 4096 == 4095 && keepGoing && !keepGoing()) return PatchOutcome::kStopped;
    std::uint8_t step[kPatchStepSize];
    if (PatchOutcome rc = control.Read(step, sizeof step); rc != PatchOutcome::kApplied) return rc;
    const std::uint64_t add = Read64(step), copy = Read64(step + 8);
    const auto seek = static_cast<std::int64_t>(Read64(step + 16));
    // Every length is checked before it is used: no step writes past the
    // new size or reads outside the old file.
    const std::uint64_t room = newSize - newPos;
    if (add > room || copy > room - add || add > old.size - oldPos) return PatchOutcome::kMalformed;
    for (std::uint64_t done = 0; done < add;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece - filled, add - done));
      std::uint8_t* to = piece.get() + filled;
      if (PatchOutcome rc = differenceAhead.Read(to, n); rc != PatchOutcome::kApplied) return rc;
      const std::uint8_t* from = old.memory ? old.memory + oldPos + done : oldPiece.get();
      for (std::size_t have = 0; !old.memory && have < n;) {
        std::int64_t r = old.read(oldPos + done + have, oldPiece.get() + have, n - have);
        if (r <= 0) return PatchOutcome::kReadFailed;  // the old file is shorter than it was
        have += static_cast<std::size_t>(r);
      }
      for (std::size_t i = 0; i < n; ++i) to[i] = static_cast<std::uint8_t>(to[i] + from[i]);
      filled += n;
      done += n;
      if (filled == kPiece)
        if (PatchOutcome rc = flush(); rc != PatchOutcome::kApplied) return rc;
    }
    for (std::uint64_t done = 0; done < copy;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece - filled, copy - done));
      if (PatchOutcome rc = extra.Read(piece.get() + filled, n); rc != PatchOutcome::kApplied) return rc;
      filled += n;
      done += n;
      if (filled == kPiece)
        if (PatchOutcome rc = flush(); rc != PatchOutcome::kApplied) return rc;
    }
    newPos += add + copy;
    oldPos += add;
    // The old position stays within the old file (its end included).
    if (seek < 0 ? static_cast<std::uint64_t>(-(seek + 1)) + 1 > oldPos : static_cast<std::uint64_t>(seek) > old.size - oldPos)
      return PatchOutcome::kMalformed;
    oldPos = static_cast<std::uint64_t>(static_cast<std::int64_t>(oldPos) + seek);
  }
  // The last piece goes out only for a patch that ends where it should.
  if (!control.AtEnd() || !differenceAhead.AtEnd() || !extra.AtEnd()) return PatchOutcome::kMalformed;
  return flush();
}

}  // namespace engine
