// Building what a vendor puts on a static web server for the updater: from a
// release folder (the new application folder) it writes
//   <output>/<base>/tlv5.php     the update list document
//   <output>/<base>/dvd/...      the files, ".exe" and ".dll" packed as
//                                ".ex_" and ".dl_" containers, and the
//                                patches from earlier releases' versions
// Every file of the release gets an item with its path, the MD5 digest and
// size of its unpacked bytes, its version as the updater probes it, and the
// release notes given for it. The same input always gives the same bytes.
//
// Everything is checked and every file read before anything is written
// (the earlier releases' files are read for their patches while the new tree
// is written; a failure there ends the run like a failed write). The new
// tree is then written into a hidden folder beside <base>, made durable
// and only then renamed into place (with `replace`, the old <base> moves
// aside and is deleted after the new one took its name). A refusal, a
// failed write or a crash leaves the previous release as it was, whole.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "build_config.h"
#include "engine/update_list.h"
#include "engine/version_number.h"

namespace publish {

struct PublishOptions {
  std::string releaseFolder;
  std::string outputFolder;
  std::string base = "tlv5.update";  // path of the server base below the output folder
  std::string introText;             // lines of the list's intro, "\n" separated
  // Release notes: relative path ("/" separated) -> comment lines.
  std::map<std::string, std::vector<std::string>> notes;
  // Version for files that carry none (0: list them with 0.0.0.0).
  engine::VersionNumber defaultVersion = 0;
  bool packOthers = false;  // pack other files too, under their own name, when that is smaller
  std::uint32_t level = 6;  // LZMA preset 0..9
  bool replace = false;     // replace an existing <output>/<base> folder
  // The address of <base> on the server as the updater knows it; every
  // file's address (this, "dvd/" and its path) must fit the updater's 255
  // characters. A signed list is signed for this place only.
  std::string serverBase = HARBINOR_DEFAULT_SERVER;
  // Secret key (64 hexadecimal digits): sign the list and give every item
  // the SHA-256 digest of its file. Empty: an unsigned list.
  std::string secretKey;
  // Serial of a signed list; without it, one more than the serial of the
  // list published in <output>/<base>, or 1.
  std::optional<std::uint64_t> serial;
  // Earlier release folders (as installed): a file of the release whose
  // earlier version there differs gets a patch from that version, where the
  // patch is smaller than the file as served.
  std::vector<std::string> deltaFrom;
};

struct PublishedFile {
  std::string path;        // relative, "/" separated
  std::string servedAs;    // relative path of the bytes on the server
  bool packed = false;
  std::uint64_t size = 0;  // unpacked
  std::uint64_t servedSize = 0;
  std::string md5;
  std::string sha256;      // only in a signed list
  engine::VersionNumber version = 0;
  // One per earlier content, ordered by its MD5; each served at "dvd/" +
  // its path (as the updater rewrites a request, like `servedAs`).
  std::vector<engine::PatchOffer> patches;
};

struct PublishResult {
  bool ok = false;
  std::vector<std::string> errors;    // why nothing (or not everything) was written
  std::vector<std::string> warnings;  // written, but worth a look
  std::vector<PublishedFile> files;
  std::uint64_t serial = 0;  // of a signed list
};

// Why a file under this relative path could not be published: the updater
// could not request it from `serverBase`, or not install it on Windows.
// Empty when it can be published.
std::optional<std::string> RefusalReason(const std::string& relativePath, const std::string& serverBase);
// The name under which the updater asks for a file ("x.exe" -> "x.ex_").
std::string ServedName(const std::string& relativePath);
std::string VersionText(engine::VersionNumber version);

PublishResult Publish(const PublishOptions& options);
// Whether the intro text and every line of the notes are well-formed UTF-8;
// the list then declares its texts UTF-8 (engine::kCharsetKey).
bool TextsAreUtf8(const std::string& introText, const std::map<std::string, std::vector<std::string>>& notes);
// The list document for the given files; an item with a SHA-256 digest
// carries it in a "SHA256=" line after its fixed entries, then its
// "Patch=" lines, then its comments.
std::string ListDocument(const std::string& introText, const std::vector<PublishedFile>& files,
                         const std::map<std::string, std::vector<std::string>>& notes);

}  // namespace publish
