#include "engine/staging.h"

#include <atomic>
#include <random>

#include "engine/kept_body.h"
#include "engine/update_list.h"
#include "platform/facts.h"

namespace engine {
namespace {

constexpr char kSep = platform::kPathSeparator;

}  // namespace

std::string StagingFolderPath(const std::string& applicationFolder) {
  return applicationFolder + std::string(kStagingFolderName);
}

std::string UpdateLogPath(const std::string& applicationFolder) {
  return applicationFolder + std::string(kStagingFolderName) + kSep + kUpdateLogName;
}

std::optional<std::string> StagedPath(const UpdateList& list, const UpdateItem& item) {
  const ListContext& context = list.context();
  if (context.applicationFolder.empty()) return std::nullopt;
  std::size_t skip = context.serverBase.size() + kStagingFolderName.size() + 1;
  if (item.url.size() <= skip) return std::nullopt;
  std::string relative = item.url.substr(skip);
  if (!IsSafeRelativePath(relative)) return std::nullopt;
  for (char& c : relative)
    if (c == '/' || c == '\\') c = kSep;
  std::string path = context.applicationFolder + std::string(kStagingFolderName) + kSep + relative;
  if (path.size() > platform::kMaxPathLength) return std::nullopt;
  return path;
}

bool MakeStagingFolders(const std::string& stagingFolder, const std::string& filePath) {
  if (filePath.compare(0, stagingFolder.size(), stagingFolder) != 0) return false;
  std::size_t end = filePath.find_last_of(kSep);
  if (end == std::string::npos || end < stagingFolder.size()) return false;
  // The staging folder, then each folder below it on the way to the file.
  for (std::size_t at = stagingFolder.size(); at != std::string::npos && at <= end;
       at = at == end ? std::string::npos : filePath.find(kSep, at + 1)) {
    std::string folder = filePath.substr(0, at);
    auto attributes = platform::AttributesOf(folder);
    if (!attributes) {
      if (platform::MakeFolder(folder)) continue;
      // Another transfer may have made it between the look and the make.
      attributes = platform::AttributesOf(folder);
      // Otherwise the make is tried once more, so that the system's reason
      // for a failure is the last error the caller sees.
      if (!attributes && platform::MakeFolder(folder)) continue;
      if (!attributes) return false;
    }
    if (!attributes->isFolder || attributes->isSymlink) return false;
  }
  return true;
}

bool EnsureParentFolders(const std::string& filePath) {
  std::size_t sep = filePath.find_last_of(kSep);
  if (sep == std::string::npos || sep == 0) return false;
  std::string folder = filePath.substr(0, sep);
  if (auto attributes = platform::AttributesOf(folder)) return attributes->isFolder;
  return platform::MakeFolders(folder);
}

std::string NewRunTag() {
  static std::atomic<std::uint64_t> runs{0};
  std::random_device entropy;
  std::uint64_t tag = (static_cast<std::uint64_t>(entropy()) << 32 | entropy()) ^ ++runs;
  static const char kHex[] = "0123456789abcdef";
  std::string text(16, '0');
  for (int i = 15; i >= 0; --i, tag >>= 4) text[static_cast<std::size_t>(i)] = kHex[tag & 15];
  return text;
}

std::string WorkerTemporaryPath(const std::string& stagedPath, const std::string& runTag) {
  std::size_t sep = stagedPath.find_last_of(kSep);
  std::size_t nameStart = sep == std::string::npos ? 0 : sep + 1;
  return stagedPath.substr(0, nameStart) + "." + stagedPath.substr(nameStart) + "." + runTag + ".part";
}

bool IsWorkerTemporaryName(std::string_view name) {
  if (KeptBody::IsKeptName(name)) return true;
  constexpr std::size_t kTag = 16;
  constexpr std::string_view kSuffix = ".part";
  if (name.size() < 1 + 1 + 1 + kTag + kSuffix.size() || name.front() != '.') return false;
  if (name.substr(name.size() - kSuffix.size()) != kSuffix) return false;
  std::string_view tag = name.substr(name.size() - kSuffix.size() - kTag, kTag);
  if (name[name.size() - kSuffix.size() - kTag - 1] != '.') return false;
  return tag.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

void RemoveWorkerLeftovers(const std::string& folder, const std::set<std::string>& keep) {
  auto entries = platform::ListFolder(folder);
  if (!entries) return;
  for (const platform::FolderEntry& e : *entries) {
    std::string path = folder + kSep + e.name;
    if (e.isFolder && !e.isSymlink) {
      RemoveWorkerLeftovers(path, keep);
    } else if (!e.isFolder && IsWorkerTemporaryName(e.name) && !keep.count(path)) {
      platform::RemoveFile(path);
    }
  }
}

FolderAccess CheckStagingAccess(const std::string& applicationFolder) {
  std::string application = applicationFolder;
  if (!application.empty() && application.back() == kSep) application.pop_back();
  const std::string staging = application + kSep + std::string(kStagingFolderName);
  for (const std::string& folder : {application, staging}) {
    // A staging folder not made yet is made in the application folder.
    auto attributes = platform::AttributesOf(folder);
    if (!attributes || !attributes->isFolder || attributes->isSymlink) continue;
    if (auto cause = platform::ProbeFolderChanges(folder)) return {false, *cause, folder};
  }
  return {};
}

std::string InstallingPath(const std::string& target) {
  std::size_t sep = target.find_last_of(kSep);
  std::size_t name = sep == std::string::npos ? 0 : sep + 1;
  return target.substr(0, name) + "." + target.substr(name) + kInstallingSuffix;
}

bool IsInstallingName(std::string_view name) {
  std::string_view suffix = kInstallingSuffix;
  return name.size() > suffix.size() + 1 && name.front() == '.' &&
         name.substr(name.size() - suffix.size()) == suffix;
}

const char* FailureCauseText(platform::FailureCause cause) {
  switch (cause) {
    case platform::FailureCause::kNoRights: return "no permission";
    case platform::FailureCause::kDiskFull: return "the disk is full";
    case platform::FailureCause::kInUse: return "in use by another program";
    case platform::FailureCause::kOther: break;
  }
  return "cannot be written";
}

}  // namespace engine
