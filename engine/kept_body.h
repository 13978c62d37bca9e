// The bytes of a transfer that was cut short, kept beside the staged file
// so that the next attempt (a retry, or a later run) asks only for the
// rest. They are the raw body as it came (container bytes for a packed
// file), under ".<name>.<digest>.kept", and what identifies the version they
// belong to under ".<name>.<digest>.kept-id" (<digest>: the first 16 of the
// listed MD5's hexadecimal digits, so that the names add no more to a path
// than the worker's other temporary names): the listed digest and size, and
// the validator the server sent with them (ETag, else Last-Modified). A
// response continues them only when it is a 206 whose Content-Range starts
// where they end and whose validator is the one kept; the digest of the
// whole file is checked as before, so bytes of two versions are never
// staged as one file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace engine {

struct ResponseHead;

// What a server says identifies one version of what it sends.
struct Validator {
  std::optional<std::string> etag;  // strong ETags only; a weak one is none
  std::optional<std::string> lastModified;
  static Validator Of(const ResponseHead& head);
  bool operator==(const Validator&) const = default;
};

class KeptBody {
 public:
  // For the file staged at `stagedPath`, listed with `md5` and `size`,
  // whose body may have at most `maxBytes` bytes.
  KeptBody(const std::string& stagedPath, std::string_view md5, std::int32_t size, std::uint64_t maxBytes);

  // Looks at what an earlier attempt kept: the number of bytes that belong
  // to this version of the file. What belongs to no version of it (another
  // digest or size, a broken identity, no data) goes.
  std::uint64_t Load();
  // Bytes kept, as Load found them (0 after Forget).
  std::uint64_t length() const { return length_; }
  const std::string& dataPath() const { return dataPath_; }

  // Whether `head`, the answer to a request for the bytes from length() on,
  // continues the kept ones; `total` is then the whole body's length.
  bool Continues(const ResponseHead& head, std::uint64_t& total) const;
  // A new body starts from its first byte: its validator is remembered
  // (before any of its bytes is kept).
  bool Start(const ResponseHead& head);
  // The kept bytes and their identity go.
  void Forget();

  // ".kept" and ".kept-id" names, for the leftovers of the staging folder:
  // whether `name` is one of them.
  static bool IsKeptName(std::string_view name);
  static std::string DataPath(const std::string& stagedPath, std::string_view md5);
  static std::string IdentityPath(const std::string& stagedPath, std::string_view md5);

 private:
  std::string Identity(const Validator& validator) const;

  std::string dataPath_, identityPath_;
  std::string md5_;
  std::int32_t size_;
  std::uint64_t maxBytes_;
  std::uint64_t length_ = 0;
  Validator validator_;
};

}  // namespace engine
