#include "settings/app_paths.h"

#include "platform/facts.h"
#include "platform/files.h"

namespace settings {

std::string FolderOf(std::string_view path) {
  std::size_t sep = path.find_last_of(platform::kPathSeparator);
  return sep == std::string_view::npos ? std::string() : std::string(path.substr(0, sep + 1));
}

std::string_view FileNameOf(std::string_view path) {
  std::size_t sep = path.find_last_of(platform::kPathSeparator);
  return sep == std::string_view::npos ? path : path.substr(sep + 1);
}

const std::string& ApplicationFolder() {
  static const std::string folder = FolderOf(platform::ModulePath());
  return folder;
}

std::string ParkedCopyPath(std::string_view programPath) {
  std::string_view name = FileNameOf(programPath);
  std::size_t dot = name.find_last_of('.');
  std::size_t keep = programPath.size() - name.size() + (dot == std::string_view::npos ? name.size() : dot);
  return std::string(programPath.substr(0, keep)) + ".old";
}

}  // namespace settings
