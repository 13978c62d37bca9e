#include "engine/kept_body.h"

#include <charconv>

#include "base/ascii_text.h"
#include "engine/http_response.h"
#include "platform/facts.h"
#include "platform/files.h"

namespace engine {
namespace {

constexpr std::string_view kDataSuffix = ".kept";
constexpr std::string_view kIdentitySuffix = ".kept-id";
constexpr std::size_t kTagDigits = 16;
constexpr std::size_t kMaxIdentityBytes = 16 * 1024;

// "<folder>/.<name>.<md5>" of a staged path.
std::string Stem(const std::string& stagedPath, std::string_view md5) {
  std::size_t sep = stagedPath.find_last_of(platform::kPathSeparator);
  std::size_t name = sep == std::string::npos ? 0 : sep + 1;
  std::string digest(md5.substr(0, kTagDigits));
  for (char& c : digest) c = base::AsciiLower(c);
  return stagedPath.substr(0, name) + "." + stagedPath.substr(name) + "." + digest;
}

// A number of decimal digits and nothing else.
std::optional<std::uint64_t> Number(std::string_view text) {
  std::uint64_t value = 0;
  if (text.empty() || text.size() > 19) return std::nullopt;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

Validator Validator::Of(const ResponseHead& head) {
  Validator v;
  // A weak ETag names a version whose bytes may differ: no range may be
  // stitched to it.
  if (head.etag && !head.etag->empty() && head.etag->rfind("W/", 0) != 0) v.etag = head.etag;
  if (head.lastModified && !head.lastModified->empty()) v.lastModified = head.lastModified;
  return v;
}

KeptBody::KeptBody(const std::string& stagedPath, std::string_view md5, std::int32_t size, std::uint64_t maxBytes)
    : dataPath_(DataPath(stagedPath, md5)),
      identityPath_(IdentityPath(stagedPath, md5)),
      md5_(md5),
      size_(size),
      maxBytes_(maxBytes) {
  for (char& c : md5_) c = base::AsciiLower(c);
}

std::string KeptBody::DataPath(const std::string& stagedPath, std::string_view md5) {
  return Stem(stagedPath, md5) + std::string(kDataSuffix);
}

std::string KeptBody::IdentityPath(const std::string& stagedPath, std::string_view md5) {
  return Stem(stagedPath, md5) + std::string(kIdentitySuffix);
}

bool KeptBody::IsKeptName(std::string_view name) {
  for (std::string_view suffix : {kDataSuffix, kIdentitySuffix}) {
    if (name.size() < 1 + 1 + 1 + kTagDigits + suffix.size() || name.front() != '.' ||
        name.substr(name.size() - suffix.size()) != suffix)
      continue;
    std::string_view digest = name.substr(name.size() - suffix.size() - kTagDigits, kTagDigits);
    if (name[name.size() - suffix.size() - kTagDigits - 1] == '.' &&
        digest.find_first_not_of("0123456789abcdef") == std::string_view::npos)
      return true;
  }
  return false;
}

// One line per field; header values never hold a line end.
std::string KeptBody::Identity(const Validator& validator) const {
  std::string text = "md5 " + md5_ + "\nsize " + std::to_string(size_) + "\n";
  if (validator.etag) text += "etag " + *validator.etag + "\n";
  if (validator.lastModified) text += "last-modified " + *validator.lastModified + "\n";
  return text;
}

std::uint64_t KeptBody::Load() {
  length_ = 0;
  validator_ = {};
  std::string text;
  auto data = platform::AttributesOf(dataPath_);
  bool usable = data && !data->isFolder && !data->isSymlink && !data->isSpecial &&
                platform::ReadWholeFile(identityPath_, kMaxIdentityBytes, text) == platform::ReadResult::kOk;
  if (usable) {
    // The identity is ours only when it reads back as we would write it.
    Validator found;
    for (std::size_t at = 0; at < text.size();) {
      std::size_t end = text.find('\n', at);
      if (end == std::string::npos) break;
      std::string_view line(text.data() + at, end - at);
      if (line.rfind("etag ", 0) == 0) found.etag = std::string(line.substr(5));
      if (line.rfind("last-modified ", 0) == 0) found.lastModified = std::string(line.substr(14));
      at = end + 1;
    }
    usable = text == Identity(found);
    if (usable) validator_ = found;
  }
  auto size = usable ? platform::File::Open(dataPath_, platform::OpenMode::kRead).Size() : std::nullopt;
  // More than the body may have is no part of it.
  if (!size || *size == 0 || *size > maxBytes_) {
    Forget();
    return 0;
  }
  length_ = *size;
  return length_;
}

bool KeptBody::Continues(const ResponseHead& head, std::uint64_t& total) const {
  if (head.status != 206 || !head.contentRange || Validator::Of(head) != validator_) return false;
  // "bytes <first>-<last>/<complete length>", from where the kept bytes end
  // to the end of the body.
  std::string_view range = *head.contentRange;
  if (!base::StartsWithIgnoringCase(range, "bytes ")) return false;
  range.remove_prefix(6);
  std::size_t dash = range.find('-'), slash = range.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) return false;
  auto first = Number(range.substr(0, dash));
  auto last = Number(range.substr(dash + 1, slash - dash - 1));
  auto complete = Number(range.substr(slash + 1));
  if (!first || !last || !complete || *first != length_ || *last + 1 != *complete || *complete <= length_ ||
      *complete > maxBytes_)
    return false;
  total = *complete;
  return true;
}

bool KeptBody::Start(const ResponseHead& head) {
  Forget();
  validator_ = Validator::Of(head);
  // Not flushed: an identity lost to a power cut only costs the kept bytes,
  // and torn bytes fail the digest.
  std::string text = Identity(validator_);
  platform::File file = platform::File::Open(identityPath_, platform::OpenMode::kCreateNew);
  return file.IsOpen() && file.Write(text.data(), text.size()) == static_cast<std::int64_t>(text.size());
}

void KeptBody::Forget() {
  platform::RemoveFile(dataPath_);
  platform::RemoveFile(identityPath_);
  length_ = 0;
}

}  // namespace engine
