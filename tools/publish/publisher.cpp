#include "tools/publish/publisher.h"

#include <algorithm>
#include <limits>
#include <random>
#include <set>
#include <span>

#include "engine/digest.h"
#include "engine/download_worker.h"
#include "engine/http_client.h"
#include "engine/list_signature.h"
#include "engine/update_list.h"
#include "engine/version_probe.h"
#include "platform/text.h"
#include "platform/facts.h"
#include "platform/files.h"
#include "base/ascii_text.h"
#include "base/name_case.h"
#include "tools/publish/packer.h"
#include "tools/publish/patch_maker.h"
#include "tools/publish/vendor_key.h"

namespace publish {
namespace {

// Serials the updater reads: at most 19 decimal digits.
constexpr std::uint64_t kMaxSerial = 9999999999999999999ull;

// `relative` ("/" separated) below `folder`, with the system's separators:
// paths in messages then read as the vendor wrote them.
std::string Below(const std::string& folder, std::string relative) {
  std::replace(relative.begin(), relative.end(), '/', platform::kPathSeparator);
  return folder + platform::kPathSeparator + relative;
}

// Names that differ only in letter case are one file on a case-insensitive
// server or file system (and in a Windows installation): compared in the
// form Windows compares them in. A name that is no UTF-8 is refused anyway.
std::string CaseKey(const std::string& s) { return base::WindowsCaseKey(s).value_or(s); }

std::string OneLine(std::string s) {
  std::replace(s.begin(), s.end(), '\r', ' ');
  std::replace(s.begin(), s.end(), '\n', ' ');
  return s;
}

// Every file below `folder`, as sorted relative paths; entries that cannot
// be published are reported as errors.
void Walk(const std::string& folder, const std::string& relative, std::vector<std::string>& files,
          PublishResult& result) {
  auto entries = platform::ListFolder(folder);
  if (!entries) {
    result.errors.push_back("cannot read folder '" + folder + "'");
    return;
  }
  std::sort(entries->begin(), entries->end(),
            [](const platform::FolderEntry& a, const platform::FolderEntry& b) { return a.name < b.name; });
  for (const auto& e : *entries) {
    std::string rel = relative.empty() ? e.name : relative + "/" + e.name;
    if (e.name[0] == '.') {
      result.warnings.push_back("'" + rel + "' skipped: the updater never installs names that begin with '.'");
      continue;
    }
    if (e.isSymlink) {
      result.errors.push_back("'" + rel + "' is a symbolic link; put the file itself into the release");
      continue;
    }
    if (e.isFolder) {
      Walk(Below(folder, e.name), rel, files, result);
      continue;
    }
    files.push_back(rel);
  }
}

// Why Windows would not take `part` as a file or folder name: the
// updater's own rule, on every system the list is made on.
std::optional<std::string> WindowsNameFault(const std::string& part) {
  switch (engine::WindowsNameFault(part)) {
    case engine::NameFault::kNone: return std::nullopt;
    case engine::NameFault::kReservedCharacter:
      for (char c : part)
        if (std::string_view("<>:\"|?*").find(c) != std::string_view::npos)
          return std::string("contains '") + c + "', which Windows does not allow in names";
      return "'" + OneLine(part) + "' contains a control character";
    case engine::NameFault::kDroppedEnd:
      return "'" + part + "' ends in '" + part.back() + "', which Windows drops from names";
    case engine::NameFault::kDeviceName: return "'" + part + "' is a device name on Windows";
  }
  return std::nullopt;
}

// Why a release note cannot become a "Comment=" line: the list reader
// finds the keys of a block anywhere in it, so a note holding one (or an
// item header, or the marker) would add entries, or a whole item, that the
// vendor never listed; a zero byte would end the document there.
std::optional<std::string> NoteFault(const std::string& note) {
  if (note.find('\0') != std::string::npos) return std::string("holds a zero byte");
  if (auto syntax = engine::ListSyntaxIn(note))
    return "holds '" + std::string(*syntax) + "', which the updater would read as part of the list";
  return std::nullopt;
}

bool RemoveTree(const std::string& path) {
  auto a = platform::AttributesOf(path);
  if (!a) return true;
  if (a->isFolder && !a->isSymlink) {
    auto entries = platform::ListFolder(path);
    if (!entries) return false;
    for (const auto& e : *entries)
      if (!RemoveTree(Below(path, e.name))) return false;
    return platform::RemoveFolder(path);
  }
  return platform::RemoveFile(path);
}

// Renames a folder; fails when `to` exists. File systems that cannot refuse
// to replace within the rename itself get a check before it.
bool MoveFolder(const std::string& from, const std::string& to) {
  if (platform::MoveFileNoReplace(from, to)) return true;
  return platform::Exists(from) && !platform::Exists(to) && platform::MoveFileReplacing(from, to);
}

// Where publishing runs put their work beside <base>: hidden names, so that
// a web server does not list them.
struct WorkNames {
  std::string newPrefix, oldPrefix;  // names, not paths
  explicit WorkNames(const std::string& base) : newPrefix("." + base + ".new-"), oldPrefix("." + base + ".old-") {}
};

// Clears what an earlier run left behind when it ended before its end: a
// half-written new tree goes; a release moved aside goes back into place if
// nothing took its place, or goes.
void ClearEarlierRuns(const std::string& outputFolder, const std::string& base, const WorkNames& names) {
  auto entries = platform::ListFolder(outputFolder);
  if (!entries) return;
  const std::string baseFolder = Below(outputFolder, base);
  std::sort(entries->begin(), entries->end(),
            [](const platform::FolderEntry& a, const platform::FolderEntry& b) { return a.name < b.name; });
  for (const auto& e : *entries) {
    std::string path = Below(outputFolder, e.name);
    if (e.name.compare(0, names.oldPrefix.size(), names.oldPrefix) == 0) {
      if (!platform::Exists(baseFolder) && MoveFolder(path, baseFolder)) {
        platform::FlushFolder(outputFolder);
        continue;
      }
      RemoveTree(path);
    } else if (e.name.compare(0, names.newPrefix.size(), names.newPrefix) == 0) {
      RemoveTree(path);
    }
  }
}

std::string RunTag() {
  std::random_device random;
  std::uint64_t value = (static_cast<std::uint64_t>(random()) << 32) ^ random();
  static const char kHex[] = "0123456789abcdef";
  std::string tag(16, '0');
  for (int i = 15; i >= 0; --i, value >>= 4) tag[static_cast<std::size_t>(i)] = kHex[value & 15];
  return tag;
}

std::string Digest(const std::string& bytes) {
  return engine::DigestText(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::string Sha256(const std::string& bytes) {
  return engine::Sha256Text(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

std::optional<std::string> RefusalReason(const std::string& path, const std::string& serverBase) {
  for (char c : path) {
    switch (c) {
      case '%': case '?': case '#': case '\\': case '=':
        return std::string("contains '") + c + "'";
      default:
        break;
    }
  }
  // The updater takes every request whose path holds the list's name for
  // the list request and looks for the list in the answer.
  if (path.find(engine::kListDocumentName) != std::string::npos)
    return "contains '" + std::string(engine::kListDocumentName) + "', which the updater takes for the list";
  // The installer takes off a leading "dvd/" from every path it installs.
  std::size_t firstEnd = path.find('/');
  if (firstEnd != std::string::npos && base::EqualsIgnoringCase(path.substr(0, firstEnd), engine::kStagingFolderName))
    return "begins with the folder '" + path.substr(0, firstEnd) + "', which the installer would take off";
  // The updater on Windows reads a name as UTF-8, and as the ANSI code page
  // of the machine only where it is no UTF-8: a name in another encoding
  // would be installed under a name that depends on the machine.
  if (!base::WindowsCaseKey(path)) return "is not UTF-8 text";
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = std::min(path.find('/', start), path.size());
    if (auto fault = WindowsNameFault(path.substr(start, end - start))) return fault;
    start = end + 1;
  }
  std::string name = path.substr(path.find_last_of('/') + 1);
  if (base::EqualsIgnoringCase(name, engine::kUpdateLogName)) return "is the name of the update log";
  // What else the updater does not take from a list.
  if (!engine::IsSafeRelativePath(path)) return "not a plain relative path";
  std::string address = serverBase + std::string(engine::kStagingFolderName) + "/" + path;
  if (address.size() > engine::kMaxUrlLength)
    return "its address " + address + " has " + std::to_string(address.size()) +
           " characters, more than the updater's " + std::to_string(engine::kMaxUrlLength);
  return std::nullopt;
}

std::string ServedName(const std::string& relativePath) {
  // The updater rewrites ".dll" and ".exe" anywhere in the path; blanks are
  // sent as "%20", which the web server turns back into blanks.
  std::string served = engine::RewriteRequestPath(relativePath);
  std::string out;
  for (std::size_t i = 0; i < served.size(); ++i) {
    if (served.compare(i, 3, "%20") == 0) {
      out.push_back(' ');
      i += 2;
    } else {
      out.push_back(served[i]);
    }
  }
  return out;
}

std::string VersionText(engine::VersionNumber version) {
  std::uint64_t v = static_cast<std::uint64_t>(version);
  return std::to_string((v >> 48) & 0xFFFF) + "." + std::to_string((v >> 32) & 0xFFFF) + "." +
         std::to_string((v >> 16) & 0xFFFF) + "." + std::to_string(v & 0xFFFF);
}

bool TextsAreUtf8(const std::string& introText, const std::map<std::string, std::vector<std::string>>& notes) {
  if (!platform::IsValidUtf8(introText)) return false;
  for (const auto& [path, lines] : notes)
    for (const std::string& line : lines)
      if (!platform::IsValidUtf8(line)) return false;
  return true;
}

std::string ListDocument(const std::string& introText, const std::vector<PublishedFile>& files,
                         const std::map<std::string, std::vector<std::string>>& notes) {
  const std::string marker(engine::kMarkerLine);
  std::string doc = marker;
  std::size_t start = 0;
  while (start < introText.size()) {
    std::size_t end = introText.find('\n', start);
    if (end == std::string::npos) end = introText.size();
    std::string line = introText.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    doc += line + "\r\n";
    start = end + 1;
  }
  doc += marker;
  // Texts in UTF-8 say so, on a line every updater's parser skips; others
  // are listed as they are, read as Windows-1252.
  if (TextsAreUtf8(introText, notes))
    doc += std::string(engine::kCharsetKey) + std::string(engine::kUtf8CharsetName) + "\r\n";
  for (const PublishedFile& f : files) {
    // The keys are found anywhere in a block, so the fixed entries come
    // before any free comment text.
    doc += "\r\n[Item]\r\nFile=" + f.path + "\r\nMD5=" + f.md5 + "\r\nSize=" + std::to_string(f.size) +
           "\r\nVersion=" + VersionText(f.version) + "\r\n";
    if (!f.sha256.empty()) doc += std::string(engine::kSha256Key) + f.sha256 + "\r\n";
    for (const engine::PatchOffer& p : f.patches)
      doc += std::string(engine::kPatchKey) + engine::PatchLineValue(p) + "\r\n";
    if (auto it = notes.find(f.path); it != notes.end())
      for (const std::string& c : it->second) doc += "Comment=" + OneLine(c) + "\r\n";
  }
  return doc;
}

namespace {

// Checks everything and reads every file; fills `result.files` (without
// what packing decides) and the serial. Writes nothing.
void Validate(const PublishOptions& options, const std::string& baseFolder, std::vector<std::string>& paths,
              PublishResult& result) {
  if (!platform::IsFolder(options.releaseFolder)) {
    result.errors.push_back("release folder '" + options.releaseFolder + "' does not exist");
    return;
  }
  if (options.introText.find(std::string(engine::kListMarker)) != std::string::npos) {
    result.errors.push_back("the intro text may not contain the marker '" + std::string(engine::kListMarker) + "'");
    return;
  }
  const bool sign = !options.secretKey.empty();
  if (sign && !IsKeyText(options.secretKey)) {
    result.errors.push_back("the secret key is not 64 hexadecimal digits");
    return;
  }
  if (!options.deltaFrom.empty() && !CanMakePatches()) {
    result.errors.push_back("this publish was built without libdivsufsort and makes no patches: publish without "
                            "--delta-from, or with a publish built with it");
    return;
  }
  for (const std::string& folder : options.deltaFrom)
    if (!platform::IsFolder(folder)) result.errors.push_back("earlier release folder '" + folder + "' does not exist");
  Walk(options.releaseFolder, "", paths, result);
  if (paths.empty() && result.errors.empty()) result.errors.push_back("the release folder holds no files");

  // Names the updater would ask for under one and the same served name, or
  // that would be one file or folder in a Windows installation.
  std::map<std::string, std::string> servedBy, listedBy;
  std::set<std::string> folders;
  for (const std::string& path : paths)
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
      folders.insert(CaseKey(path.substr(0, slash)));
  for (const std::string& path : paths) {
    if (auto why = RefusalReason(path, options.serverBase)) {
      result.errors.push_back("'" + path + "' cannot be published: " + *why);
      continue;
    }
    std::string lower = CaseKey(path);
    if (auto [it, fresh] = listedBy.emplace(lower, path); !fresh)
      result.errors.push_back("'" + path + "' and '" + it->second + "' differ only in letter case");
    else if (folders.count(lower))
      result.errors.push_back("'" + path + "' differs only in letter case from a folder of the release");
    else if (auto [at, freshServed] = servedBy.emplace(CaseKey(ServedName(path)), path); !freshServed)
      result.errors.push_back("'" + path + "' and '" + at->second + "' would be served under one name");
  }
  if (!TextsAreUtf8(options.introText, options.notes))
    result.warnings.push_back("the intro text or the release notes are not UTF-8: listed as they are, which updaters "
                              "read as Windows-1252");
  for (const auto& [path, lines] : options.notes) {
    if (std::find(paths.begin(), paths.end(), path) == paths.end())
      result.errors.push_back("release notes name '" + path + "', which is not in the release");
    for (const std::string& line : lines)
      if (auto why = NoteFault(line)) result.errors.push_back("a release note of '" + path + "' " + *why);
  }
  if (!result.errors.empty()) return;

  if (platform::Exists(baseFolder) && !options.replace) {
    result.errors.push_back("'" + baseFolder + "' exists already (use --replace to publish over it)");
    return;
  }
  if (sign) {
    std::string published;
    std::optional<std::uint64_t> publishedSerial;
    std::string listPath = Below(baseFolder, std::string(engine::kListDocumentName));
    if (platform::ReadWholeFile(listPath, engine::kMaxListResponseBytes, published) == platform::ReadResult::kOk)
      publishedSerial = engine::ListSerial(published);
    if (options.serial && publishedSerial && *options.serial <= *publishedSerial) {
      result.errors.push_back("serial " + std::to_string(*options.serial) + " is not above " +
                              std::to_string(*publishedSerial) + ", the serial of the list in '" + baseFolder +
                              "'; updaters that took that list would refuse this one");
      return;
    }
    result.serial = options.serial ? *options.serial : publishedSerial ? *publishedSerial + 1 : 1;
    if (result.serial > kMaxSerial) {
      result.errors.push_back("serial " + std::to_string(result.serial) + " has more than 19 digits");
      return;
    }
  }

  for (const std::string& path : paths) {
    std::string bytes;
    std::string source = Below(options.releaseFolder, path);
    if (platform::ReadWholeFile(source, std::numeric_limits<std::int32_t>::max(), bytes) != platform::ReadResult::kOk) {
      result.errors.push_back("cannot read '" + source + "' (unreadable, or 2 GiB or larger)");
      continue;
    }
    PublishedFile f;
    f.path = path;
    f.size = bytes.size();
    f.md5 = Digest(bytes);
    if (sign) f.sha256 = Sha256(bytes);
    f.version = engine::ProbeFileVersion(source);
    if (f.version == 0) {
      f.version = options.defaultVersion;
      if (f.version == 0)
        result.warnings.push_back("'" + path + "' carries no version; listed as 0.0.0.0, so it is offered only where "
                                  "nothing is installed (give --default-version)");
      else
        result.warnings.push_back("'" + path + "' carries no version; listed as " + VersionText(f.version) +
                                  ", so updaters read the installed file and offer it wherever its content differs");
    }
    f.servedAs = ServedName(path);
    result.files.push_back(std::move(f));
  }
}

// The served names of the release, its files and their folders, as a
// case-insensitive server compares them: names a patch may not take.
std::set<std::string> ServedNames(const std::vector<PublishedFile>& files) {
  std::set<std::string> names;
  for (const PublishedFile& f : files)
    for (std::size_t end = f.servedAs.find('/');; end = f.servedAs.find('/', end + 1)) {
      names.insert(CaseKey(f.servedAs.substr(0, end)));
      if (end == std::string::npos) break;
    }
  return names;
}

// Writes beside the served file of `f` (whose bytes are `updated`) a patch
// from each differing earlier version of it in the earlier release folders,
// one per earlier content, where it is smaller than the file as served.
// One earlier file is held at a time, with its patch.
bool WritePatches(const PublishOptions& options, const std::string& tree, const std::set<std::string>& taken,
                  const std::string& updated, PublishedFile& f, PublishResult& result) {
  std::set<std::string> bases;
  for (const std::string& earlier : options.deltaFrom) {
    std::string oldPath = Below(earlier, f.path), old;
    if (platform::IsFolder(oldPath)) continue;
    auto read = platform::ReadWholeFile(oldPath, std::numeric_limits<std::int32_t>::max(), old);
    if (read == platform::ReadResult::kMissing) continue;
    if (read != platform::ReadResult::kOk) {
      result.errors.push_back("cannot read '" + oldPath + "' (unreadable, or 2 GiB or larger)");
      return false;
    }
    engine::PatchOffer offer;
    offer.baseMd5 = Digest(old);
    if (offer.baseMd5 == f.md5 || !bases.insert(offer.baseMd5).second) continue;
    // Named after the earlier content, so that patches from any number of
    // earlier versions lie side by side.
    offer.path = f.path + ".";
    for (char c : offer.baseMd5.substr(0, 16)) offer.path.push_back(base::AsciiLower(c));
    offer.path += ".patch";
    const std::string skipped = "no patch of '" + f.path + "' from '" + oldPath + "': ";
    const std::string servedAs = ServedName(offer.path);
    if (taken.count(CaseKey(servedAs))) {
      result.warnings.push_back(skipped + "its name '" + servedAs + "' is served for another file of the release");
      continue;
    }
    if (auto why = RefusalReason(offer.path, options.serverBase)) {
      result.warnings.push_back(skipped + "its name " + *why);
      continue;
    }
    auto patch = MakePatch(Bytes(old), Bytes(updated));
    if (!patch) {
      result.warnings.push_back(skipped + "it could not be made (too little memory)");
      continue;
    }
    // A patch costs the updater a download and the work of applying it:
    // only worth it when it is smaller than the file itself.
    if (patch->size() >= f.servedSize) continue;
    offer.size = static_cast<std::int32_t>(patch->size());
    offer.md5 = Digest(*patch);
    if (!options.secretKey.empty()) {
      offer.baseSha256 = Sha256(old);
      offer.sha256 = Sha256(*patch);
    }
    std::string target = Below(tree, std::string(engine::kStagingFolderName) + "/" + servedAs);
    if (!platform::WriteNewFile(target, *patch)) {
      result.errors.push_back("cannot write '" + target + "'");
      return false;
    }
    f.patches.push_back(std::move(offer));
  }
  std::sort(f.patches.begin(), f.patches.end(),
            [](const engine::PatchOffer& a, const engine::PatchOffer& b) { return a.baseMd5 < b.baseMd5; });
  return true;
}

// Writes the served files, their patches and the list into the new folder
// `tree`, one file (and one earlier version of it) in memory at a time.
bool WriteTree(const PublishOptions& options, const std::string& tree, PublishResult& result) {
  std::set<std::string> folders{tree};
  const std::set<std::string> taken = ServedNames(result.files);
  for (PublishedFile& f : result.files) {
    std::string bytes;
    std::string source = Below(options.releaseFolder, f.path);
    if (platform::ReadWholeFile(source, std::numeric_limits<std::int32_t>::max(), bytes) != platform::ReadResult::kOk ||
        bytes.size() != f.size || Digest(bytes) != f.md5) {
      result.errors.push_back("'" + source + "' changed or became unreadable while it was published");
      return false;
    }
    std::optional<std::string> packed;
    bool mustPack = f.servedAs != f.path;
    if (mustPack || options.packOthers) {
      packed = PackContainer(bytes, {options.level, false});
      if (!packed) {
        result.errors.push_back("cannot pack '" + f.path + "'");
        return false;
      }
      // The updater takes a body as long as the listed size for the plain
      // file, so a container only goes out when it is smaller (an empty
      // file always goes out plain).
      f.packed = packed->size() < bytes.size();
    }
    const std::string& served = f.packed ? *packed : bytes;
    f.servedSize = served.size();
    std::string target = Below(tree, std::string(engine::kStagingFolderName) + "/" + f.servedAs);
    std::string folder = target.substr(0, target.find_last_of(platform::kPathSeparator));
    if (!platform::MakeFolders(folder) || !platform::WriteNewFile(target, served)) {
      result.errors.push_back("cannot write '" + target + "'");
      return false;
    }
    packed.reset();
    if (!WritePatches(options, tree, taken, bytes, f, result)) return false;
    for (; folder.size() > tree.size(); folder.erase(folder.find_last_of(platform::kPathSeparator)))
      folders.insert(folder);
  }
  std::string list = ListDocument(options.introText, result.files, options.notes);
  if (!options.secretKey.empty()) {
    auto signedList = engine::SignListDocument(list, result.serial, options.serverBase, options.secretKey);
    if (!signedList) {
      result.errors.push_back("cannot sign the list with the key given");
      return false;
    }
    list = std::move(*signedList);
  }
  std::string listPath = Below(tree, std::string(engine::kListDocumentName));
  if (!platform::WriteNewFile(listPath, list)) {
    result.errors.push_back("cannot write '" + listPath + "'");
    return false;
  }
  for (const std::string& folder : folders) platform::FlushFolder(folder);
  return true;
}

}  // namespace

PublishResult Publish(const PublishOptions& options) {
  PublishResult result;
  const std::string baseFolder = Below(options.outputFolder, options.base);
  const WorkNames names(options.base);
  // A release that an earlier run moved aside and left there is put back
  // first: it is the one that is published.
  if (platform::IsFolder(options.outputFolder)) ClearEarlierRuns(options.outputFolder, options.base, names);

  std::vector<std::string> paths;
  Validate(options, baseFolder, paths, result);
  if (!result.errors.empty()) {
    result.files.clear();
    return result;
  }

  if (!platform::MakeFolders(options.outputFolder)) {
    result.errors.push_back("cannot make the output folder '" + options.outputFolder + "'");
    return result;
  }
  std::string tag, tree;
  for (int attempt = 0; attempt < 8 && tree.empty(); ++attempt) {
    tag = RunTag();
    if (platform::MakeFolder(Below(options.outputFolder, names.newPrefix + tag)))
      tree = Below(options.outputFolder, names.newPrefix + tag);
  }
  if (tree.empty()) {
    result.errors.push_back("cannot make a folder in '" + options.outputFolder + "'");
    return result;
  }
  if (!WriteTree(options, tree, result)) {
    RemoveTree(tree);
    return result;
  }

  // The new tree takes the place of the old one in one step where the
  // system can swap two folders. Elsewhere the old one moves aside first
  // and comes back when the new one cannot move in; a crash between the two
  // renames leaves it aside, where the next run finds it and puts it back.
  std::string aside;
  bool placed = false;
  if (!platform::Exists(baseFolder)) {
    placed = MoveFolder(tree, baseFolder);
  } else if (platform::ExchangePaths(tree, baseFolder)) {
    placed = true;
    aside = tree;
  } else {
    aside = Below(options.outputFolder, names.oldPrefix + tag);
    if (MoveFolder(baseFolder, aside)) {
      placed = MoveFolder(tree, baseFolder);
      if (!placed) {
        MoveFolder(aside, baseFolder);
      } else if (MoveFolder(aside, tree)) {
        // Deleted under a name the next run never puts back: a half-deleted
        // old release must not return.
        aside = tree;
      }
    }
  }
  platform::FlushFolder(options.outputFolder);
  if (!placed) {
    RemoveTree(tree);
    std::string error = "cannot move the new release into place as '" + baseFolder + "'";
    if (!platform::Exists(baseFolder) && platform::Exists(aside))
      error += "; the old release is in '" + aside + "', where the next run takes it back";
    result.errors.push_back(error);
    return result;
  }
  if (!aside.empty() && !RemoveTree(aside))
    result.warnings.push_back("the old release in '" + aside + "' could not be deleted; the next run deletes it");
  result.ok = true;
  return result;
}

}  // namespace publish
