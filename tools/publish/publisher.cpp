#include "tools/publish/publisher.h"

#include <algorithm>
#include <functional>
#include <limits>

#include "engine/digest.h"
#include "engine/download_worker.h"
#include "engine/http_client.h"
#include "engine/update_list.h"
#include "engine/version_probe.h"
#include "platform/facts.h"
#include "platform/files.h"
#include "base/ascii_text.h"
#include "tools/publish/packer.h"

namespace publish {
namespace {

// Room left for the relative path in a 255-character address after a
// server base of typical length and "dvd/".
constexpr std::size_t kMaxRelativePath = 180;

// `relative` ("/" separated) below `folder`, with the system's separators:
// paths in messages then read as the vendor wrote them.
std::string Below(const std::string& folder, std::string relative) {
  std::replace(relative.begin(), relative.end(), '/', platform::kPathSeparator);
  return folder + platform::kPathSeparator + relative;
}

// Served names that differ only in letter case are one file on a
// case-insensitive server or file system (and in a Windows installation).
std::string LowerCase(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), base::AsciiLower);
  return s;
}

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

}  // namespace

std::optional<std::string> UnrequestableReason(const std::string& path) {
  if (!engine::IsSafeRelativePath(path)) return "not a plain relative path";
  for (char c : path) {
    switch (c) {
      case '%': case '?': case '#': case '\\': case '=':
        return std::string("contains '") + c + "'";
      default:
        break;
    }
  }
  if (path.size() > kMaxRelativePath) return "longer than " + std::to_string(kMaxRelativePath) + " characters";
  std::string name = path.substr(path.find_last_of('/') + 1);
  if (base::EqualsIgnoringCase(name, engine::kUpdateLogName)) return "is the name of the update log";
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
  for (const PublishedFile& f : files) {
    // The keys are found anywhere in a block, so the fixed entries come
    // before any free comment text.
    doc += "\r\n[Item]\r\nFile=" + f.path + "\r\nMD5=" + f.md5 + "\r\nSize=" + std::to_string(f.size) +
           "\r\nVersion=" + VersionText(f.version) + "\r\n";
    if (auto it = notes.find(f.path); it != notes.end())
      for (const std::string& c : it->second) doc += "Comment=" + OneLine(c) + "\r\n";
  }
  return doc;
}

PublishResult Publish(const PublishOptions& options) {
  PublishResult result;
  if (!platform::IsFolder(options.releaseFolder)) {
    result.errors.push_back("release folder '" + options.releaseFolder + "' does not exist");
    return result;
  }
  if (options.introText.find(std::string(engine::kListMarker)) != std::string::npos) {
    result.errors.push_back("the intro text may not contain the marker '" + std::string(engine::kListMarker) + "'");
    return result;
  }
  std::vector<std::string> paths;
  Walk(options.releaseFolder, "", paths, result);
  if (paths.empty() && result.errors.empty()) result.errors.push_back("the release folder holds no files");

  // Names the updater would ask for under one and the same served name.
  std::map<std::string, std::string> servedBy;
  for (const std::string& path : paths) {
    if (auto why = UnrequestableReason(path)) {
      result.errors.push_back("'" + path + "' cannot be requested by the updater: " + *why);
      continue;
    }
    auto [it, fresh] = servedBy.emplace(LowerCase(ServedName(path)), path);
    if (!fresh) result.errors.push_back("'" + path + "' and '" + it->second + "' would be served under one name");
  }
  for (const auto& [path, lines] : options.notes)
    if (std::find(paths.begin(), paths.end(), path) == paths.end())
      result.errors.push_back("release notes name '" + path + "', which is not in the release");
  if (!result.errors.empty()) return result;

  std::string baseFolder = Below(options.outputFolder, options.base);
  if (platform::Exists(baseFolder)) {
    if (!options.replace) {
      result.errors.push_back("'" + baseFolder + "' exists already (use --replace to publish over it)");
      return result;
    }
    std::function<bool(const std::string&)> removeTree = [&](const std::string& p) -> bool {
      auto a = platform::AttributesOf(p);
      if (!a) return true;
      if (a->isFolder && !a->isSymlink) {
        for (const auto& e : platform::ListFolder(p).value_or(std::vector<platform::FolderEntry>{}))
          if (!removeTree(Below(p, e.name))) return false;
        return platform::RemoveFolder(p);
      }
      return platform::RemoveFile(p);
    };
    if (!removeTree(baseFolder)) {
      result.errors.push_back("cannot remove the old '" + baseFolder + "'");
      return result;
    }
  }

  for (const std::string& path : paths) {
    std::string bytes;
    std::string source = Below(options.releaseFolder, path);
    if (platform::ReadWholeFile(source, std::numeric_limits<std::int32_t>::max(), bytes) != platform::ReadResult::kOk) {
      result.errors.push_back("cannot read '" + source + "' (unreadable, or 2 GiB or larger)");
      return result;
    }
    if (bytes.empty()) {
      result.errors.push_back("'" + path + "' is empty; the updater cannot stage an empty file");
      return result;
    }
    PublishedFile f;
    f.path = path;
    f.size = bytes.size();
    f.md5 = engine::DigestText(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    f.version = engine::ProbeFileVersion(source);
    if (f.version == 0) {
      f.version = options.defaultVersion;
      if (f.version == 0)
        result.warnings.push_back("'" + path + "' carries no version; listed as 0.0.0.0, so it is offered only where "
                                  "nothing is installed (give --default-version)");
    }
    f.servedAs = ServedName(path);
    bool mustPack = f.servedAs != path;
    std::string served = std::move(bytes);
    if (mustPack || options.packOthers) {
      auto packed = PackContainer(served, {options.level, false});
      if (!packed) {
        result.errors.push_back("cannot pack '" + path + "'");
        return result;
      }
      // The updater takes a body as long as the listed size for the plain
      // file, so a container only goes out when it is smaller.
      if (packed->size() < served.size()) {
        served = std::move(*packed);
        f.packed = true;
      }
    }
    f.servedSize = served.size();
    std::string target = Below(baseFolder, std::string(engine::kStagingFolderName) + "/" + f.servedAs);
    if (!platform::MakeFolders(target.substr(0, target.find_last_of(platform::kPathSeparator))) ||
        !platform::ReplaceFileContents(target, served)) {
      result.errors.push_back("cannot write '" + target + "'");
      return result;
    }
    result.files.push_back(std::move(f));
  }
  std::string list = ListDocument(options.introText, result.files, options.notes);
  if (!platform::ReplaceFileContents(Below(baseFolder, std::string(engine::kListDocumentName)), list)) {
    result.errors.push_back("cannot write the list document in '" + baseFolder + "'");
    return result;
  }
  result.ok = true;
  return result;
}

}  // namespace publish
