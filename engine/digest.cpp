#include "engine/digest.h"

#include <gcrypt.h>

#include <algorithm>
#include <memory>
#include <system_error>

#include "platform/files.h"

namespace engine {
namespace {

// libgcrypt must be initialised once before use.
void InitDigestLibrary() {
  static const bool ready = [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)ready;
}

std::string HexUpper(const unsigned char* digest) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text(kDigestTextLength, '0');
  for (std::size_t i = 0; i < 16; ++i) {
    text[2 * i] = kHex[digest[i] >> 4];
    text[2 * i + 1] = kHex[digest[i] & 15];
  }
  return text;
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

Md5Digest::Md5Digest() {
  InitDigestLibrary();
  gcry_md_hd_t handle = nullptr;
  if (gcry_md_open(&handle, GCRY_MD_MD5, 0) == 0) handle_ = handle;
}

Md5Digest::~Md5Digest() {
  if (handle_) gcry_md_close(static_cast<gcry_md_hd_t>(handle_));
}

void Md5Digest::Update(const std::uint8_t* data, std::size_t length) {
  if (handle_ && length > 0) gcry_md_write(static_cast<gcry_md_hd_t>(handle_), data, length);
}

void Md5Digest::Reset() {
  if (handle_) gcry_md_reset(static_cast<gcry_md_hd_t>(handle_));
}

std::string Md5Digest::Text() const {
  if (!handle_) return {};
  // Reading finalises the context, so the text is read from a copy.
  gcry_md_hd_t copy = nullptr;
  if (gcry_md_copy(&copy, static_cast<gcry_md_hd_t>(handle_)) != 0) return {};
  std::string text = HexUpper(gcry_md_read(copy, GCRY_MD_MD5));
  gcry_md_close(copy);
  return text;
}

std::string DigestText(const std::uint8_t* data, std::size_t length) {
  InitDigestLibrary();
  unsigned char digest[16];
  gcry_md_hash_buffer(GCRY_MD_MD5, digest, length ? data : reinterpret_cast<const std::uint8_t*>(""), length);
  return HexUpper(digest);
}

BackgroundMd5::BackgroundMd5() = default;

BackgroundMd5::~BackgroundMd5() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void BackgroundMd5::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return ending_ || !due_.empty(); });
    if (due_.empty()) return;
    std::vector<std::uint8_t> block = std::move(due_.front());
    due_.erase(due_.begin());
    busy_ = true;
    lock.unlock();
    md5_.Update(block.data(), block.size());
    block.clear();
    lock.lock();
    busy_ = false;
    free_.push_back(std::move(block));
    changed_.notify_all();
  }
}

void BackgroundMd5::Hand(std::vector<std::uint8_t> block) {
  // The thread starts with the first full block: a small file is digested
  // in place, without one.
  if (!thread_.joinable() && !inPlace_) {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      inPlace_ = true;
    }
  }
  if (inPlace_) {
    md5_.Update(block.data(), block.size());
    block.clear();
    filling_ = std::move(block);
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  // At most kBlocks blocks exist: wait for one to come back.
  changed_.wait(lock, [this] { return due_.size() + (busy_ ? 1 : 0) < kBlocks - 1; });
  due_.push_back(std::move(block));
  changed_.notify_all();
}

void BackgroundMd5::Update(const std::uint8_t* data, std::size_t length) {
  if (inPlace_) {
    md5_.Update(data, length);
    return;
  }
  while (length > 0) {
    if (filling_.capacity() == 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!free_.empty()) {
        filling_ = std::move(free_.back());
        free_.pop_back();
      }
    }
    std::size_t take = std::min(length, kBlockBytes - filling_.size());
    filling_.insert(filling_.end(), data, data + take);
    data += take;
    length -= take;
    if (filling_.size() == kBlockBytes) {
      Hand(std::move(filling_));
      if (inPlace_) return Update(data, length);
      filling_ = {};
    }
  }
}

void BackgroundMd5::WaitUntilDigested(std::unique_lock<std::mutex>& lock) {
  changed_.wait(lock, [this] { return due_.empty() && !busy_; });
}

void BackgroundMd5::Reset() {
  filling_.clear();
  std::unique_lock<std::mutex> lock(mutex_);
  WaitUntilDigested(lock);
  md5_.Reset();
}

std::string BackgroundMd5::Text() {
  std::unique_lock<std::mutex> lock(mutex_);
  WaitUntilDigested(lock);
  // The part block is digested here, after every full one.
  md5_.Update(filling_.data(), filling_.size());
  filling_.clear();
  return md5_.Text();
}

std::optional<std::string> FileDigestText(const std::string& path) {
  if (path.empty()) return std::nullopt;
  platform::File file = platform::File::Open(path, platform::OpenMode::kRead);
  if (!file.IsOpen()) return std::nullopt;
  Md5Digest md5;
  if (!md5.ok()) return std::nullopt;
  // Read in pieces rather than holding the whole file in memory; pieces
  // that stay in the processor's cache digest fastest.
  constexpr std::size_t kPiece = 64 * 1024;
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kPiece]);
  for (;;) {
    std::int64_t n = file.Read(buffer.get(), kPiece);
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    md5.Update(buffer.get(), static_cast<std::size_t>(n));
  }
  return md5.Text();
}

bool DigestsMatch(std::string_view a, std::string_view b) {
  if (a.size() < kDigestTextLength || b.size() < kDigestTextLength) return false;
  for (std::size_t i = 0; i < kDigestTextLength; ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

}  // namespace engine
