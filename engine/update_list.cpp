#include "engine/update_list.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "base/ascii_text.h"
#include "engine/digest.h"
#include "engine/download_worker.h"
#include "engine/list_signature.h"
#include "platform/facts.h"
#include "base/name_case.h"
#include "base/number_text.h"

namespace engine {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

// The value of the first `key` in `block`: from after the key to the next
// CR LF or the end of the block. `end` receives where the search may go on.
std::optional<std::string_view> FindValue(std::string_view block, std::string_view key, std::size_t from = 0,
                                          bool* endedAtLineEnd = nullptr, std::size_t* next = nullptr) {
  std::size_t at = block.find(key, from);
  if (at == std::string_view::npos) return std::nullopt;
  std::size_t start = at + key.size();
  std::size_t stop = block.find(kLineEnd, start);
  if (endedAtLineEnd) *endedAtLineEnd = stop != std::string_view::npos;
  if (next && stop != std::string_view::npos) *next = stop + 1;  // right after the CR
  return block.substr(start, stop == std::string_view::npos ? std::string_view::npos : stop - start);
}

// Hands every value of `key` in `block` to `take`, in order, until one
// runs to the end of the block or `take` says no more.
template <typename Take>
void ForEachValue(std::string_view block, std::string_view key, Take take) {
  for (std::size_t from = 0;;) {
    bool endedAtLineEnd = false;
    std::size_t next = 0;
    auto value = FindValue(block, key, from, &endedAtLineEnd, &next);
    if (!value || !take(*value) || !endedAtLineEnd) return;
    from = next;
  }
}

// Version "a.b.c.d" with "." as the only separator; text after a part's
// digits is skipped up to the next ".".
VersionNumber ParseListVersion(std::string_view value) {
  VersionNumber number = 0;
  std::size_t pos = 0;
  for (int shift = 48; shift >= 0; shift -= 16) {
    number = OrVersionPart(number, base::ParseAtoi(value.substr(pos)), shift);
    std::size_t dot = value.find('.', pos);
    if (dot == std::string_view::npos) break;
    pos = dot + 1;
  }
  return number;
}

// A path as the file system compares it: Windows ignores letter case.
std::string PathKey(const std::string& path) {
  if (!platform::kWindowsNames) return path;
  return base::WindowsCaseKey(path).value_or(path);
}

// a + b, held within the 32-bit range.
std::int32_t ClampedSum(std::int32_t a, std::int64_t b) {
  std::int64_t sum = static_cast<std::int64_t>(a) + b;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(sum, std::numeric_limits<std::int32_t>::min(),
                                                            std::numeric_limits<std::int32_t>::max()));
}

bool IsHexText(std::string_view text, std::size_t length) {
  return text.size() == length && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

}  // namespace

std::string PatchLineValue(const PatchOffer& patch) {
  auto orDash = [](const std::string& text) { return text.empty() ? std::string("-") : text; };
  return patch.baseMd5 + ' ' + orDash(patch.baseSha256) + ' ' + std::to_string(patch.size) + ' ' + patch.md5 + ' ' +
         orDash(patch.sha256) + ' ' + patch.path;
}

std::optional<PatchOffer> ParsePatchValue(std::string_view value) {
  std::string_view fields[5];
  for (std::string_view& field : fields) {
    std::size_t blank = value.find(' ');
    if (blank == std::string_view::npos) return std::nullopt;
    field = value.substr(0, blank);
    value.remove_prefix(blank + 1);
  }
  PatchOffer patch;
  patch.size = base::ParseAtoi(fields[2]);
  if (!IsHexText(fields[0], kDigestLength) || !IsHexText(fields[3], kDigestLength) || patch.size <= 0 ||
      fields[2] != std::to_string(patch.size) || value.empty())
    return std::nullopt;
  for (int i : {1, 4})
    if (fields[i] != "-" && !IsHexText(fields[i], kSha256TextLength)) return std::nullopt;
  patch.baseMd5 = std::string(fields[0]);
  patch.baseSha256 = fields[1] == "-" ? std::string() : std::string(fields[1]);
  patch.md5 = std::string(fields[3]);
  patch.sha256 = fields[4] == "-" ? std::string() : std::string(fields[4]);
  patch.path = std::string(value);
  return patch;
}

UpdateList::UpdateList(ListContext context) : context_(std::move(context)) {}

std::string UpdateList::ListAddress() const { return context_.serverBase + std::string(kListDocumentName); }

void UpdateList::AddUrlItem(std::string_view url) {
  if (url.empty()) return;
  if (url.size() > kMaxUrlLength) {
    incomplete = true;
    return;
  }
  auto item = std::make_unique<UpdateItem>();
  item->url = std::string(url);
  items.push_back(std::move(item));
}

bool IsDigestText(std::string_view text) { return IsHexText(text.substr(0, kDigestLength), kDigestLength); }

NameFault WindowsNameFault(std::string_view part) {
  if (part.empty() || part == "..") return NameFault::kNone;
  for (char c : part)
    if (static_cast<unsigned char>(c) < 0x20 || std::string_view("<>:\"|?*").find(c) != std::string_view::npos)
      return NameFault::kReservedCharacter;
  if (part.back() == '.' || part.back() == ' ') return NameFault::kDroppedEnd;
  std::string_view stem = part.substr(0, part.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  static constexpr std::string_view kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (std::string_view device : kDevices)
    if (base::EqualsIgnoringCase(stem, device)) return NameFault::kDeviceName;
  if (stem.size() < 4 || !(base::StartsWithIgnoringCase(stem, "COM") || base::StartsWithIgnoringCase(stem, "LPT")))
    return NameFault::kNone;
  std::string_view number = stem.substr(3);
  // A digit, or a superscript one, two or three: in UTF-8 (U+00B9, U+00B2,
  // U+00B3), or as the one byte of the ANSI code page that the updater falls
  // back to for a part that is no UTF-8.
  if (number.size() == 1 && ((number[0] >= '0' && number[0] <= '9') || number == "\xB9" || number == "\xB2" ||
                             number == "\xB3"))
    return NameFault::kDeviceName;
  if (number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3") return NameFault::kDeviceName;
  return NameFault::kNone;
}

bool IsSafeRelativePath(std::string_view path) {
  if (path.empty() || path.front() == '/' || path.front() == '\\') return false;
  for (char c : path) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == ':') return false;
  }
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    if (part == "..") return false;
    // The installer takes the staging folder's own "dvd/" off every staged
    // path, and the update log marks a complete download: a listed file may
    // be neither.
    if (start == 0 && base::EqualsIgnoringCase(part, kStagingFolderName)) return false;
    if (end == path.size() && base::EqualsIgnoringCase(part, kUpdateLogName)) return false;
    if (platform::kWindowsNames && WindowsNameFault(part) != NameFault::kNone) return false;
    start = end + 1;
  }
  return true;
}

void UpdateList::AddItemIfNewer(std::string_view block) {
  if (block.empty()) return;
  auto item = std::make_unique<UpdateItem>();

  std::string_view file = FindValue(block, kFileKey).value_or(std::string_view());
  if (!IsSafeRelativePath(file)) return;
  // The download worker keeps such names for its temporary files, which the
  // installer leaves alone: a file listed under one could never be installed.
  std::size_t nameStart = file.find_last_of("/\\");
  if (IsWorkerTemporaryName(file.substr(nameStart == std::string_view::npos ? 0 : nameStart + 1))) {
    incomplete = true;
    return;
  }
  item->url = context_.serverBase + std::string(kStagingFolderName) + "/" + std::string(file);

  // Without a usable digest the file could never be staged: it would be
  // offered, fetched and offered again at every check.
  std::string_view md5 = FindValue(block, kMd5Key).value_or(std::string_view());
  if (!IsDigestText(md5)) return;
  std::copy_n(md5.begin(), kDigestLength, item->md5.begin());
  if (auto size = FindValue(block, kSizeKey)) item->size = base::ParseAtoi(*size);
  if (auto version = FindValue(block, kVersionKey)) item->version = ParseListVersion(*version);
  if (auto sha256 = FindValue(block, kSha256Key); sha256 && IsSha256Text(*sha256)) item->sha256 = std::string(*sha256);

  ForEachValue(block, kCommentKey, [&item](std::string_view comment) {
    item->comments.emplace_back(comment);
    return true;
  });

  std::string relative(file);
  for (char& c : relative)
    if (c == '/' || c == '\\') c = platform::kPathSeparator;
  std::string local = context_.applicationFolder + relative;
  if (local.size() > platform::kMaxPathLength) {
    incomplete = true;
    return;
  }

  VersionNumber installed = context_.probe ? context_.probe(local) : 0;
  if (installed < item->version) {
    // A file that reports no version of its own (or an old one) but already
    // holds what is listed was installed by an earlier update: current.
    if (!installed_) installed_ = std::make_unique<InstalledContent>(context_.digestCachePath);
    if (installed_->Holds(local, item->size, std::string_view(item->md5.data(), kDigestLength), item->sha256)) return;
    if (item->url.size() > kMaxUrlLength) {
      incomplete = true;
      return;
    }
    if (!keptPaths_.insert(PathKey(local)).second) return;
    ChoosePatch(block, local, *item);
    // The offer counts what will be fetched: the patch, when there is one.
    bytesTotal = ClampedSum(bytesTotal, item->CountedSize());
    items.push_back(std::move(item));
  }
}

void UpdateList::ChoosePatch(std::string_view block, const std::string& local, UpdateItem& item) {
  // A signed list's patches count only with the SHA-256 digests the
  // signature vouches for, of the patch and of the file it applies to.
  const bool signedList = !item.sha256.empty();
  std::optional<InstalledContent::Digests> installed;
  ForEachValue(block, kPatchKey, [&](std::string_view value) {
    auto patch = ParsePatchValue(value);
    if (!patch || (signedList && (patch->sha256.empty() || patch->baseSha256.empty())) ||
        !IsSafeRelativePath(patch->path) ||
        context_.serverBase.size() + kStagingFolderName.size() + 1 + patch->path.size() > kMaxUrlLength)
      return true;
    // The installed file is read (or taken from the digest cache) once,
    // for the first patch that could apply.
    if (!installed) installed = installed_->DigestsOf(local, signedList);
    if (!installed) return false;
    if (!DigestsMatch(installed->md5, patch->baseMd5) ||
        (signedList && !base::EqualsIgnoringCase(installed->sha256, patch->baseSha256)))
      return true;
    item.patch = std::move(patch);
    item.installedPath = local;
    return false;
  });
}

void UpdateList::NotePatchFallback(std::string why) {
  std::lock_guard<std::mutex> lock(fallbacksMutex_);
  patchFallbacks_.push_back(std::move(why));
}

std::vector<std::string> UpdateList::TakePatchFallbacks() {
  std::lock_guard<std::mutex> lock(fallbacksMutex_);
  return std::exchange(patchFallbacks_, {});
}

void UpdateList::AddToTotal(std::int64_t bytes) {
  std::int32_t total = bytesTotal.load();
  while (!bytesTotal.compare_exchange_weak(total, ClampedSum(total, bytes))) {
  }
}

void UpdateList::ClearItems() {
  items.clear();
  keptPaths_.clear();
}

void UpdateList::SaveDigestCache() {
  if (installed_) installed_->Save();
}

ParsedList ParseListDocument(std::string_view document, UpdateList& target) {
  ParsedList result;
  if (document.data() == nullptr) return result;
  document = document.substr(0, document.find('\0'));
  if (document.substr(0, kMarkerLine.size()) != kMarkerLine) return result;
  std::size_t closing = document.find(kMarkerLine, kMarkerLine.size());
  if (closing == std::string_view::npos) return result;

  // The intro text loses its last two bytes, normally the CR LF of its last
  // line.
  std::size_t introLength = closing - kMarkerLine.size();
  result.introText = std::string(document.substr(kMarkerLine.size(), introLength >= 2 ? introLength - 2 : 0));

  std::size_t header = document.find(kItemHeader, closing + kMarkerLine.size());
  std::string_view beforeItems = document.substr(closing + kMarkerLine.size(), header == std::string_view::npos
                                                                                   ? std::string_view::npos
                                                                                   : header - closing - kMarkerLine.size());
  if (auto charset = FindValue(beforeItems, kCharsetKey))
    result.utf8Declared = base::EqualsIgnoringCase(*charset, kUtf8CharsetName);
  while (header != std::string_view::npos) {
    std::size_t start = header + kItemHeader.size();
    std::size_t next = document.find(kItemHeader, start);
    target.AddItemIfNewer(document.substr(start, next == std::string_view::npos ? std::string_view::npos : next - start));
    header = next;
  }
  target.SaveDigestCache();
  result.outcome = target.items.empty() ? ListOutcome::kNothingSelected : ListOutcome::kItemsSelected;
  return result;
}

}  // namespace engine
