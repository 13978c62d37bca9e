#include "engine/installed_content.h"

#include <memory>
#include <utility>

#include "base/number_text.h"
#include "engine/digest.h"
#include "platform/facts.h"
#include "platform/files.h"

namespace engine {
namespace {

constexpr std::string_view kCacheHeader = "Harbinor digests 1\n";
// Far more than the lines of the largest release; a larger file is no cache
// of ours and is read as empty.
constexpr std::size_t kMaxCacheBytes = 1 << 20;
// Longer than the steps of every file system's clock (FAT: 2 seconds).
constexpr std::int64_t kSettleSeconds = 3;

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// The MD5 and, when `withSha256`, the SHA-256 of a file, read once.
bool ReadDigests(const std::string& path, bool withSha256, std::string& md5, std::string& sha256) {
  platform::File file = platform::File::Open(path, platform::OpenMode::kRead);
  if (!file.IsOpen()) return false;
  StreamDigest md5Digest(DigestKind::kMd5);
  StreamDigest shaDigest(DigestKind::kSha256);
  if (!md5Digest.ok() || (withSha256 && !shaDigest.ok())) return false;
  constexpr std::size_t kPiece = 64 * 1024;
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kPiece]);
  for (;;) {
    std::int64_t n = file.Read(buffer.get(), kPiece);
    if (n < 0) return false;
    if (n == 0) break;
    md5Digest.Update(buffer.get(), static_cast<std::size_t>(n));
    if (withSha256) shaDigest.Update(buffer.get(), static_cast<std::size_t>(n));
  }
  md5 = md5Digest.Text();
  sha256 = withSha256 ? shaDigest.Text() : std::string();
  return true;
}

}  // namespace

InstalledContent::InstalledContent(std::string cachePath) : cachePath_(std::move(cachePath)) {}

void InstalledContent::Load() {
  loaded_ = true;
  std::string text;
  auto cache = platform::AttributesOf(cachePath_);
  if (cachePath_.empty() || !cache ||
      platform::ReadWholeFile(cachePath_, kMaxCacheBytes, text) != platform::ReadResult::kOk ||
      text.compare(0, kCacheHeader.size(), kCacheHeader) != 0)
    return;
  // A file written shortly before the cache may have been written again
  // within its clock's step after it was read: same size, same times, other
  // content. Only files that were older than that when the cache was saved
  // are taken from it.
  const std::int64_t trustedBefore = cache->modified - kSettleSeconds * platform::kFileTimeTicksPerSecond;
  // Lines "size TAB modified TAB changed TAB md5 TAB sha256-or-"-" TAB path".
  std::size_t start = kCacheHeader.size();
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // a cut-off last line is no entry
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    std::string_view fields[5];
    bool whole = true;
    for (std::string_view& field : fields) {
      std::size_t tab = line.find('\t');
      if (tab == std::string_view::npos) {
        whole = false;
        break;
      }
      field = line.substr(0, tab);
      line.remove_prefix(tab + 1);
    }
    if (!whole || line.empty() || fields[3].size() != kDigestTextLength) continue;
    Entry entry;
    entry.size = static_cast<std::uint64_t>(base::ParseAtoi64(fields[0]));
    entry.modified = base::ParseAtoi64(fields[1]);
    entry.changed = base::ParseAtoi64(fields[2]);
    entry.md5 = std::string(fields[3]);
    if (fields[4] != "-") entry.sha256 = std::string(fields[4]);
    if (entry.modified >= trustedBefore || entry.changed >= trustedBefore) continue;
    known_[std::string(line)] = std::move(entry);
  }
}

bool InstalledContent::Holds(const std::string& path, std::int64_t size, std::string_view md5,
                             std::string_view sha256) {
  if (size < 0 || md5.size() < kDigestTextLength) return false;
  auto attributes = platform::AttributesOf(path);
  if (!attributes || attributes->size != static_cast<std::uint64_t>(size)) return false;
  auto digests = DigestsOf(path, !sha256.empty());
  return digests && DigestsMatch(digests->md5, md5.substr(0, kDigestTextLength)) &&
         (sha256.empty() || SameText(digests->sha256, sha256));
}

std::optional<InstalledContent::Digests> InstalledContent::DigestsOf(const std::string& path, bool withSha256) {
  auto attributes = platform::AttributesOf(path);
  if (!attributes || attributes->isFolder || attributes->isSymlink || attributes->isSpecial) return std::nullopt;
  if (!loaded_) Load();

  auto unchanged = [&](const Entry& e) {
    return e.size == attributes->size && e.modified == attributes->modified && e.changed == attributes->changed &&
           (!withSha256 || !e.sha256.empty());
  };
  Entry entry;
  if (auto it = used_.find(path); it != used_.end() && unchanged(it->second)) {
    entry = it->second;
  } else if (auto known = known_.find(path); known != known_.end() && unchanged(known->second)) {
    entry = known->second;
  } else {
    entry.size = attributes->size;
    entry.modified = attributes->modified;
    entry.changed = attributes->changed;
    if (!ReadDigests(path, withSha256, entry.md5, entry.sha256)) return std::nullopt;
    ++filesRead_;
    // A file whose times changed while it was read is not remembered.
    auto after = platform::AttributesOf(path);
    if (after && after->size == entry.size && after->modified == entry.modified && after->changed == entry.changed)
      dirty_ = true;
    else
      entry.modified = entry.changed = -1;
  }
  used_[path] = entry;
  return Digests{entry.md5, entry.sha256};
}

bool InstalledContent::Save() {
  if (cachePath_.empty() || !dirty_) return true;
  std::string text(kCacheHeader);
  for (const auto& [path, e] : used_) {
    // A path that would break its line, or a file not to be remembered.
    if (path.find_first_of("\r\n") != std::string::npos || e.modified == -1) continue;
    text += std::to_string(e.size) + '\t' + std::to_string(e.modified) + '\t' + std::to_string(e.changed) + '\t' +
            e.md5 + '\t' + (e.sha256.empty() ? std::string("-") : e.sha256) + '\t' + path + '\n';
  }
  dirty_ = false;
  return platform::ReplaceFileContents(cachePath_, text);
}

}  // namespace engine
