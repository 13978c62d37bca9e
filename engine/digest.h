// MD5 digests (RFC 1321) as text: 32 upper-case hexadecimal digits. The
// update list gives one per file; texts compare without regard to letter
// case.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace engine {

inline constexpr std::size_t kDigestTextLength = 32;

std::string DigestText(const std::uint8_t* data, std::size_t length);

// The digest of bytes that come in pieces, for a file written as it
// arrives. Text() may be taken at any point and does not end the digest.
class Md5Digest {
 public:
  Md5Digest();
  ~Md5Digest();
  Md5Digest(const Md5Digest&) = delete;
  Md5Digest& operator=(const Md5Digest&) = delete;

  // False when the digest library could not give a context: no Text().
  bool ok() const { return handle_ != nullptr; }
  void Update(const std::uint8_t* data, std::size_t length);
  // Starts over, as if no byte had been given.
  void Reset();
  std::string Text() const;

 private:
  void* handle_ = nullptr;
};

// An MD5 digest worked out on a thread of its own, so that bytes arriving
// from the network are written and digested at the same time. Update copies
// the bytes into one of a few blocks and returns at once, unless every block
// still waits for the digest. Fewer bytes than a block, or no thread to be
// had, are digested in place.
class BackgroundMd5 {
 public:
  BackgroundMd5();
  ~BackgroundMd5();
  BackgroundMd5(const BackgroundMd5&) = delete;
  BackgroundMd5& operator=(const BackgroundMd5&) = delete;

  bool ok() const { return md5_.ok(); }
  void Update(const std::uint8_t* data, std::size_t length);
  void Reset();
  // Waits until every byte given so far is digested.
  std::string Text();

 private:
  static constexpr std::size_t kBlockBytes = 1u << 20;
  static constexpr std::size_t kBlocks = 4;
  void Hand(std::vector<std::uint8_t> block);
  void WaitUntilDigested(std::unique_lock<std::mutex>& lock);
  void Run();

  Md5Digest md5_;
  std::vector<std::uint8_t> filling_;           // the block being filled, on the caller's side
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<std::uint8_t>> due_;  // full blocks, oldest first
  std::vector<std::vector<std::uint8_t>> free_; // digested blocks for reuse
  bool busy_ = false;                           // the thread is digesting a block
  bool ending_ = false;
  bool inPlace_ = false;                        // no thread could be started
  std::thread thread_;
};
// The digest text of a file's whole content; empty optional when the file
// cannot be opened or read.
std::optional<std::string> FileDigestText(const std::string& path);
// Whether two digest texts agree in their first 32 characters, ignoring
// letter case; texts shorter than 32 characters never agree.
bool DigestsMatch(std::string_view a, std::string_view b);

}  // namespace engine
