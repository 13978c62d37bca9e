// The program's own settings: the configuration folder, the file
// "Harbinor.cfg" in it (section "Harbinor"), the update server's base URL
// read from its key "Server", and single settings written back ("UpdateTime").
//
// The folder is decided once per process: "Configs" in the application
// folder when that folder can be written, otherwise the per-user folder
// .../Quorva/TolvaroDVD/Configs. The main application keeps its
// "EditorOption.cfg" in the same folder. While the per-user folder is in use,
// a key its file does not give a value is read from the application folder's
// "Configs/Harbinor.cfg", where an installer may have put the vendor's
// "Server"; that file is only read, writes go to the per-user file. Nothing
// here reports an error: a missing file or key gives the built-in defaults, a
// failed write is ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace settings {

inline constexpr const char* kSettingsFileName = "Harbinor.cfg";
inline constexpr const char* kSettingsSection = "Harbinor";
inline constexpr const char* kServerKey = "Server";
inline constexpr const char* kUpdateTimeKey = "UpdateTime";
// The highest serial of a signed update list this updater has taken from a
// place: the key is this, "-" and 16 hexadecimal digits naming the server
// base (engine::PlaceTag). "ListSerial" alone, which earlier updaters kept
// for every place at once, is no longer read.
inline constexpr const char* kListSerialKey = "ListSerial";
// How many files a download fetches at once, 1 to 16; without a usable
// value, kDefaultParallelTransfers.
inline constexpr const char* kTransfersKey = "Transfers";
inline constexpr std::size_t kDefaultParallelTransfers = 6;
inline constexpr const char* kConfigsFolderName = "Configs";
inline constexpr const char* kWriteTestFileName = "~@test@~.dat";
// The server base lives in a 256-character field (255 and a terminator).
inline constexpr std::size_t kMaxServerBaseLength = 255;

// What the store needs to know about the machine; the process-wide store
// takes it from the platform layer, tests give their own.
struct ConfigEnvironment {
  std::string applicationFolder;  // ends with a separator
  int osMajorVersion = 0;
  std::function<std::optional<std::string>()> perUserDataFolder;
  std::string defaultServer;
};

class ConfigStore {
 public:
  explicit ConfigStore(ConfigEnvironment env);

  // The configuration folder, ending with a separator. Decided at the first
  // call; later calls create it again if it has gone.
  const std::string& ConfigFolder();
  // The path of the named file in the configuration folder; empty when the
  // path would exceed the path limit.
  std::string ConfigFilePath(std::string_view name);
  // The update server's base URL, always ending in "/". Read once.
  // When no file gives a usable "Server", the built-in default.
  const std::string& ServerBase();
  // Writes one key of section "Harbinor" of "Harbinor.cfg"; an empty value
  // keeps the key with nothing after its "=".
  bool WriteSetting(std::string_view key, std::string_view value);
  // One key of section "Harbinor" of "Harbinor.cfg"; empty when absent.
  std::string ReadSetting(std::string_view key);

 private:
  std::string ChooseFolder();
  // `key` of section "Harbinor" of "Harbinor.cfg", read through to the
  // application folder's file when the per-user file gives it no value.
  std::string ReadValue(std::string_view key);

  ConfigEnvironment env_;
  bool folderDecided_ = false;
  std::string folder_;  // empty when no usable folder fits the path limit
  bool perUserFolder_ = false;  // folder_ is the per-user folder, not the application's
  std::string serverBase_;
};

// The store of this process, built from the platform layer on first use.
ConfigStore& ProcessConfig();

// Shorthands for the process's store.
const std::string& ConfigFolder();
std::string ConfigFilePath(std::string_view name);
const std::string& ServerBase();
bool WriteSetting(std::string_view key, std::string_view value);
std::string ReadSetting(std::string_view key);
// The value of "Transfers", or the default.
std::size_t ParallelTransfers();

// The day number written to "UpdateTime": (Y - 2000) * 365 + M * 30 + D for
// the UTC date. Not a true day count; it only has to grow from check to check
// most of the time.
int DayNumber(const platform::UtcTime& date);
std::string DayNumberText(const platform::UtcTime& date);

}  // namespace settings
