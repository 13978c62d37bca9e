#include "engine/digest.h"

#include <gcrypt.h>

#include <memory>

#include "platform/files.h"

namespace engine {
namespace {


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

void InitCryptoLibrary() {
  static const bool ready = [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)ready;
}

namespace {

int Algorithm(DigestKind kind) { return kind == DigestKind::kMd5 ? GCRY_MD_MD5 : GCRY_MD_SHA256; }

}  // namespace

StreamDigest::StreamDigest(DigestKind kind) : kind_(kind) {
  InitCryptoLibrary();
  gcry_md_hd_t handle = nullptr;
  if (gcry_md_open(&handle, Algorithm(kind), 0) == 0) handle_ = handle;
}

StreamDigest::~StreamDigest() {
  if (handle_) gcry_md_close(static_cast<gcry_md_hd_t>(handle_));
}

void StreamDigest::Update(const std::uint8_t* data, std::size_t length) {
  if (handle_ && length > 0) gcry_md_write(static_cast<gcry_md_hd_t>(handle_), data, length);
}

void StreamDigest::Reset() {
  if (handle_) gcry_md_reset(static_cast<gcry_md_hd_t>(handle_));
}

std::string StreamDigest::Text() const {
  if (!handle_) return {};
  // Reading finalises the context, so the text is read from a copy.
  gcry_md_hd_t copy = nullptr;
  if (gcry_md_copy(&copy, static_cast<gcry_md_hd_t>(handle_)) != 0) return {};
  const unsigned char* digest = gcry_md_read(copy, Algorithm(kind_));
  std::string text = kind_ == DigestKind::kMd5 ? HexUpper(digest) : LowerHexText(digest, 32);
  gcry_md_close(copy);
  return text;
}

std::string LowerHexText(const unsigned char* bytes, std::size_t size) {
  static const char kHex[] = "0123456789abcdef";
  std::string text(2 * size, '0');
  for (std::size_t i = 0; i < size; ++i) {
    text[2 * i] = kHex[bytes[i] >> 4];
    text[2 * i + 1] = kHex[bytes[i] & 15];
  }
  return text;
}

std::string DigestText(const std::uint8_t* data, std::size_t length) {
  InitCryptoLibrary();
  unsigned char digest[16];
  gcry_md_hash_buffer(GCRY_MD_MD5, digest, length ? data : reinterpret_cast<const std::uint8_t*>(""), length);
  return HexUpper(digest);
}

std::optional<std::string> FileDigestText(const std::string& path, DigestKind kind) {
  if (path.empty()) return std::nullopt;
  platform::File file = platform::File::Open(path, platform::OpenMode::kRead);
  if (!file.IsOpen()) return std::nullopt;
  StreamDigest md5(kind);
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
