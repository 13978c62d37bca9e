#include "settings/config_store.h"

#include "build_config.h"
#include "platform/facts.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "settings/app_paths.h"

namespace settings {
namespace {

constexpr char kSep = platform::kPathSeparator;

bool EnsureFolder(const std::string& path) {
  return platform::IsFolder(path) || platform::MakeFolder(path);
}

// Whether a file can be created in `folder`; the test file is removed again.
bool CanWriteIn(const std::string& folder) {
  std::string probe = folder + kSep + kWriteTestFileName;
  platform::File f = platform::File::Open(probe, platform::OpenMode::kCreateAlways);
  if (!f.IsOpen()) return false;
  f.Close();
  platform::RemoveFile(probe);
  return true;
}

}  // namespace

ConfigStore::ConfigStore(ConfigEnvironment env) : env_(std::move(env)) {}

std::string ConfigStore::ChooseFolder() {
  std::string path = env_.applicationFolder + kConfigsFolderName;
  bool useApplicationFolder = env_.osMajorVersion < 5;
  if (!useApplicationFolder) useApplicationFolder = EnsureFolder(path) && CanWriteIn(path);
  if (!useApplicationFolder) {
    std::optional<std::string> base = env_.perUserDataFolder ? env_.perUserDataFolder() : std::nullopt;
    if (base && !base->empty()) {
      // Unlike the local application-data folder on Windows, ~/.config may
      // not exist yet on a new account.
      platform::MakeFolders(*base);
      perUserFolder_ = true;
      path = *base;
      if (path.back() == kSep) path.pop_back();
      path += std::string(1, kSep) + "Quorva";
      EnsureFolder(path);
      path += std::string(1, kSep) + "TolvaroDVD";
      EnsureFolder(path);
      path += std::string(1, kSep) + kConfigsFolderName;
    }
  }
  path.push_back(kSep);
  if (path.size() > platform::kMaxPathLength) return {};
  EnsureFolder(path);
  return path;
}

const std::string& ConfigStore::ConfigFolder() {
  if (!folderDecided_) {
    folder_ = ChooseFolder();
    folderDecided_ = true;
  } else if (!folder_.empty() && !platform::IsFolder(folder_)) {
    platform::MakeFolders(folder_);
  }
  return folder_;
}

std::string ConfigStore::ConfigFilePath(std::string_view name) {
  const std::string& folder = ConfigFolder();
  if (folder.empty() || name.empty() || folder.size() + name.size() > platform::kMaxPathLength) return {};
  return folder + std::string(name);
}

const std::string& ConfigStore::ServerBase() {
  if (!serverBase_.empty()) return serverBase_;
  std::string value = ReadValue(kServerKey);
  // A value that leaves no room for the "/" is unusable: take the default.
  if (value.empty() || value.size() > kMaxServerBaseLength - 1) value = env_.defaultServer;
  if (value.back() != '/') value.push_back('/');
  serverBase_ = std::move(value);
  return serverBase_;
}

bool ConfigStore::WriteSetting(std::string_view key, std::string_view value) {
  std::string path = ConfigFilePath(kSettingsFileName);
  return !path.empty() && platform::WriteProfileString(path, kSettingsSection, key, value);
}

std::string ConfigStore::ReadSetting(std::string_view key) { return ReadValue(key); }

std::string ConfigStore::ReadValue(std::string_view key) {
  std::string path = ConfigFilePath(kSettingsFileName);
  if (path.empty()) return {};
  // Read into a generous buffer so that an over-long value is seen as such
  // rather than cut into a wrong address.
  std::string value = platform::ReadProfileString(path, kSettingsSection, key, "", 4096);
  if (!value.empty() || !perUserFolder_) return value;
  // The user cannot write the application folder, so the installer's file
  // there still holds the vendor's settings: read it where it lies (nothing
  // is created for it) unless its path does not fit the path limit.
  std::string vendorFile = env_.applicationFolder + kConfigsFolderName + kSep + kSettingsFileName;
  if (vendorFile.size() > platform::kMaxPathLength) return {};
  return platform::ReadProfileString(vendorFile, kSettingsSection, key, "", 4096);
}

ConfigStore& ProcessConfig() {
  static ConfigStore store(ConfigEnvironment{ApplicationFolder(), platform::OsMajorVersion(),
                                             &platform::PerUserDataFolder, HARBINOR_DEFAULT_SERVER});
  return store;
}

const std::string& ConfigFolder() { return ProcessConfig().ConfigFolder(); }
std::string ConfigFilePath(std::string_view name) { return ProcessConfig().ConfigFilePath(name); }
std::string ReadSetting(std::string_view key) { return ProcessConfig().ReadSetting(key); }
const std::string& ServerBase() { return ProcessConfig().ServerBase(); }

std::size_t ParallelTransfers() {
  std::string value = ReadSetting(kTransfersKey);
  if (value.empty() || value.size() > 2 || value.find_first_not_of("0123456789") != std::string::npos)
    return kDefaultParallelTransfers;
  std::size_t n = std::stoul(value);
  return n >= 1 && n <= 16 ? n : kDefaultParallelTransfers;
}
bool WriteSetting(std::string_view key, std::string_view value) { return ProcessConfig().WriteSetting(key, value); }

int DayNumber(const platform::UtcTime& date) { return (date.year - 2000) * 365 + date.month * 30 + date.day; }

std::string DayNumberText(const platform::UtcTime& date) { return std::to_string(DayNumber(date)); }

}  // namespace settings
