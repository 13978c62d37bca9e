// Digests as text: MD5 (RFC 1321) as 32 upper-case hexadecimal digits, the
// update list's digest of every file, compared without regard to letter
// case; and SHA-256 as 64 lower-case ones, which a signed list adds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace engine {

inline constexpr std::size_t kDigestTextLength = 32;

// Readies the cryptographic library once per process; every user of it
// calls this first.
void InitCryptoLibrary();

std::string DigestText(const std::uint8_t* data, std::size_t length);
// `size` bytes as lower-case hexadecimal digits, two per byte.
std::string LowerHexText(const unsigned char* bytes, std::size_t size);

enum class DigestKind { kMd5, kSha256 };

// The digest of bytes that come in pieces, for a file written as it
// arrives. Text() may be taken at any point and does not end the digest:
// MD5 as 32 upper-case hexadecimal digits, SHA-256 as 64 lower-case ones.
class StreamDigest {
 public:
  explicit StreamDigest(DigestKind kind = DigestKind::kMd5);
  ~StreamDigest();
  StreamDigest(const StreamDigest&) = delete;
  StreamDigest& operator=(const StreamDigest&) = delete;

  // False when the digest library could not give a context: no Text().
  bool ok() const { return handle_ != nullptr; }
  void Update(const std::uint8_t* data, std::size_t length);
  // Starts over, as if no byte had been given.
  void Reset();
  std::string Text() const;

 private:
  DigestKind kind_;
  void* handle_ = nullptr;
};

// The digest text of a file's whole content; empty optional when the file
// cannot be opened or read.
std::optional<std::string> FileDigestText(const std::string& path, DigestKind kind = DigestKind::kMd5);
// Whether two digest texts agree in their first 32 characters, ignoring
// letter case; texts shorter than 32 characters never agree.
bool DigestsMatch(std::string_view a, std::string_view b);

}  // namespace engine
