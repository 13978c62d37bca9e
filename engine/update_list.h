// The update list: the files of the installation that have newer versions on
// the update server. The server publishes a list document at
// <server base>tlv5.php:
//
//   @TLV-DVD Update@<CR LF>
//   intro text, any number of lines
//   @TLV-DVD Update@<CR LF>
//   anything up to the first item header
//   [Item]<CR LF>
//   File=Language/Deutsch.ini      relative path below the application folder
//   MD5=<32 hex digits>            digest of the unpacked file
//   Size=12345                     bytes of the unpacked file
//   Version=1.2.0.0                a.b.c.d
//   Comment=...                    any number, in order
//
// Lines end with CR LF; keys are found anywhere in a block (plain substring
// search) and values run to the next CR LF. Parsing keeps the items whose
// installed file is older than the listed version, unless the installed file
// already holds the listed content (same size and digests: see
// engine/installed_content.h). A "File=" value that would
// leave the application folder drops its block, like a block without one, and
// so does a block whose "MD5=" is not 32 hexadecimal digits: such a file could
// never pass the digest check, so it is neither offered nor fetched. A file
// named like the download worker's temporary files cannot be installed: the
// list is then incomplete and the check fails. A file listed again (the
// same installed path, in the letter case the file system compares in) is
// offered, fetched and counted in the total once, as its first listing.
//
// An UpdateList is also the record that a download run shares with the
// window: the run control and the counters are atomic 32-bit words.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/http_client.h"
#include "engine/installed_content.h"
#include "engine/staging.h"
#include "engine/version_number.h"
#include "platform/files.h"

namespace engine {

inline constexpr std::string_view kMarkerLine = "@TLV-DVD Update@\r\n";
inline constexpr std::string_view kItemHeader = "[Item]\r\n";
// The charset of the intro text and the comments, on a line of its own in
// the text every parser skips between the closing marker line and the first
// item header: "Charset=UTF-8". A list without it was written in the
// publisher's ANSI code page, Windows-1252.
inline constexpr std::string_view kCharsetKey = "Charset=";
inline constexpr std::string_view kUtf8CharsetName = "UTF-8";
// The keys of an item block, each found by plain substring search anywhere
// in the block.
inline constexpr std::string_view kFileKey = "File=";
inline constexpr std::string_view kMd5Key = "MD5=";
inline constexpr std::string_view kSizeKey = "Size=";
inline constexpr std::string_view kVersionKey = "Version=";
inline constexpr std::string_view kCommentKey = "Comment=";
// A patch an item offers for one earlier version of its file, one line each
// (engine/binary_patch.h):
//   Patch=<base MD5> <base SHA-256 or -> <bytes> <MD5> <SHA-256 or -> <path>
// The base digests are those of the earlier file, the others those of the
// patch file, which the server keeps at "dvd/" + path. The SHA-256 digests
// are given in a signed list and only used there. Updaters that know no
// patches ignore the line: no part of it contains any of their keys (the
// path holds no "=", which the publishing tool refuses in names).
inline constexpr std::string_view kPatchKey = "Patch=";
struct PatchOffer {
  std::string baseMd5;     // 32 hexadecimal digits
  std::string baseSha256;  // 64, or empty
  std::int32_t size = 0;   // bytes of the patch file, more than 0
  std::string md5;
  std::string sha256;
  std::string path;        // below the server base's "dvd/", "/" separated
};
std::string PatchLineValue(const PatchOffer& patch);
// The offer a "Patch=" value makes; empty when it is not one.
std::optional<PatchOffer> ParsePatchValue(std::string_view value);

inline constexpr std::size_t kMaxUrlLength = 255;
inline constexpr std::size_t kDigestLength = 32;

// One listed file, or the list request itself: its own connection and
// response, and what the list says about the file.
class UpdateItem : public HttpClient {
 public:
  UpdateItem() = default;

  bool HasDigest() const { return md5[0] != 0; }
  // Whether the item's patch is to be used: there is one, and it has not
  // given way to the whole file in an earlier run over this list.
  bool UsesPatch() const { return patch && !patchGaveWay.load(); }
  // The bytes the download counts for this file: what it fetches, the
  // patch while it is to be used.
  std::int32_t CountedSize() const { return UsesPatch() ? patch->size : size; }

  std::string url;
  const std::uint8_t* body = nullptr;  // inside `response`, or into the unpacked bytes
  std::int32_t bodyLength = 0;
  std::array<char, kDigestLength> md5{};  // no terminator; all zero when absent
  std::string sha256;  // "SHA256=" of a signed list: 64 hexadecimal digits, or empty
  VersionNumber version = 0;
  std::int32_t size = 0;
  std::vector<std::string> comments;
  // The patch the download fetches instead of the file: the one whose base
  // is the installed file (chosen when the list is read), and that file.
  std::optional<PatchOffer> patch;
  std::string installedPath;
  // Set by the worker when the patch failed and the whole file was fetched
  // instead (the list's total has counted the whole file since).
  std::atomic<bool> patchGaveWay{false};
};

// Where the list lives and how installed versions are found (for the
// running program: the configured server and its own folder).
struct ListContext {
  std::string serverBase;         // ends with "/"
  std::string applicationFolder;  // ends with the path separator
  std::function<VersionNumber(const std::string&)> probe;
  // Where the digests of installed files are remembered between checks;
  // empty: none are (every file the versions select is read).
  std::string digestCachePath;
  // How many files a download fetches at once (1: one after the other, in
  // list order).
  std::size_t parallelTransfers = 1;
  // The pause before the first retry of a transfer the network cut; each
  // further one waits twice as long.
  int retryPauseMs = 1000;
};

class UpdateList {
 public:
  explicit UpdateList(ListContext context);
  UpdateList(const UpdateList&) = delete;
  UpdateList& operator=(const UpdateList&) = delete;

  // Appends an item with only a URL (the list request); an empty URL adds
  // nothing, a too long one adds nothing and marks the list incomplete.
  void AddUrlItem(std::string_view url);
  // Parses one item block and keeps the item when the installed file is
  // older than the listed version, does not hold the listed content and is
  // not kept already. A file whose address (255 characters) or
  // installed path (259) does not fit marks the list incomplete: it could
  // be neither probed nor fetched, and a list without it is no offer.
  void AddItemIfNewer(std::string_view block);
  void ClearItems();
  // Remembers the digests read while items were added (see ListContext).
  void SaveDigestCache();

  const ListContext& context() const { return context_; }
  // The list address: <server base>tlv5.php.
  std::string ListAddress() const;

  std::vector<std::unique_ptr<UpdateItem>> items;
  SharedWord runControl{kRun};
  SharedWord resultCode{0};
  SharedWord bytesDone{0};
  SharedWord bytesPresent{0};
  // Transfers waiting to try again after the network cut them.
  SharedWord retrying{0};
  // Bytes the download fetches: set before a run; a patch that fails during
  // it gives way to its whole file, and the worker adds the difference.
  SharedWord bytesTotal{0};
  // Whether a worker runs on this list; cleared by the worker as its last act.
  std::atomic<bool> workerActive{false};
  // An address did not fit its field: the check fails rather than offering
  // part of a release, or nothing.
  bool incomplete = false;
  // A patch that gave way to its whole file during a run, and why: for the
  // log, since the run itself goes on. Safe from any transfer's thread.
  void NotePatchFallback(std::string why);
  // The notes since the last call, for the log; they are taken.
  std::vector<std::string> TakePatchFallbacks();
  // Adds to bytesTotal, held within the 32-bit range.
  void AddToTotal(std::int64_t bytes);
  // Why a run that ended with "cannot save" could not write, and in which
  // folder; written by the worker before it ends, read after the run.
  platform::FailureCause saveCause = platform::FailureCause::kOther;
  std::string saveFolder;
  // What failed, for the failure log: the address or file and why; written
  // by the worker before it ends, read after the run.
  std::string failureReason;

 private:
  // Picks the item's patch whose base is the installed file at `local`.
  void ChoosePatch(std::string_view block, const std::string& local, UpdateItem& item);

  ListContext context_;
  mutable std::mutex fallbacksMutex_;
  std::vector<std::string> patchFallbacks_;
  // The installed paths of the kept items, as the file system compares
  // names, so that a file listed twice is kept (and counted) once.
  std::set<std::string> keptPaths_;
  std::unique_ptr<InstalledContent> installed_;  // made when a file is first compared
};

// Whether `text` starts with 32 hexadecimal digits (a longer value is cut to
// its first 32).
bool IsDigestText(std::string_view text);

// Whether a listed relative path stays below the application folder and can
// be installed there: not empty, not absolute, no drive or stream colon, no
// ".." step, no control characters, not below a first folder "dvd" (the
// staging folder's name), not named like the update log, and on Windows no
// part that WindowsNameFault refuses.
bool IsSafeRelativePath(std::string_view path);

// Why Windows would not keep `part` (one part of a path, UTF-8) as the name
// it was given. The one rule of the updater (on Windows) and of the
// publishing tool (everywhere, since its lists are read on Windows):
// - kReservedCharacter: one of < > : " | ? * or a control character;
// - kDroppedEnd: it ends in '.' or ' ', which Windows takes off, so that the
//   file would get another name ("a." is "a");
// - kDeviceName: Windows keeps the name for a device, in any letter case
//   and with any extension. The device part is what comes before the first
//   '.', without the blanks at its end, because Windows drops those before
//   it compares ("nul .txt" and "NUL.tar.gz" are NUL). The devices are
//   CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0 to COM9 and LPT0 to LPT9, and
//   COM and LPT followed by a superscript one, two or three ("COM¹", which
//   Windows counts as digits).
// An empty part and ".." are left to the other rules of a path.
enum class NameFault { kNone, kReservedCharacter, kDroppedEnd, kDeviceName };
NameFault WindowsNameFault(std::string_view part);

enum class ListOutcome { kNotAList, kNothingSelected, kItemsSelected };

struct ParsedList {
  ListOutcome outcome = ListOutcome::kNotAList;
  std::string introText;
  bool utf8Declared = false;  // the list says its texts are UTF-8
};

// Splits a list document into item blocks and feeds each to
// `target.AddItemIfNewer`. A document view with no data is a missing
// document. The text ends at its first zero byte.
ParsedList ParseListDocument(std::string_view document, UpdateList& target);

}  // namespace engine
