// A temporary folder for one test, removed with everything in it at the end,
// and small helpers to write and read whole files.
#pragma once

#include <string>
#include <string_view>

namespace testsupport {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder, without a trailing separator.
  const std::string& path() const { return path_; }
  // `relative` ("a/b", separated by "/") below the folder, with the
  // system's separators; folders on the way are not created.
  std::string operator/(std::string_view relative) const;

 private:
  std::string path_;
};

// Writes `bytes` to `path`, creating the folders on the way.
void WriteFile(const std::string& path, std::string_view bytes);
// The whole file, or an empty string when it cannot be read.
std::string ReadFile(const std::string& path);
bool PathExists(const std::string& path);
// Copies a file, keeping its mode bits (for programs).
void CopyFile(const std::string& from, const std::string& to);
// Every file below `folder` (relative paths, sorted), for comparing trees.
std::string ListTree(const std::string& folder);

// Makes `text` visible in failure messages, line ends and zeros included.
std::string Show(std::string_view text);
// UTF-16 LE file bytes with the byte-order mark.
std::string Utf16File(std::u16string_view text);

}  // namespace testsupport
