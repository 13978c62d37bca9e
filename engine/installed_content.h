// Whether an installed file already holds what the update list offers: the
// same size, the same MD5 digest and, where the list gives one, the same
// SHA-256. Such a file is current whatever the versions say (a data file or
// a library without a version resource reports version 0, and would be
// offered again after every install).
//
// The digests of the files read are remembered in a small cache file (one
// line per file: path, size, the two times of the entry, the digests), so
// that a file that has not changed since is not read again at the next
// check. A file whose size or times differ from its line is read again. The
// cache holds only the files of the last check.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace engine {

class InstalledContent {
 public:
  // `cachePath`: the cache file, or empty for none (every file is read).
  explicit InstalledContent(std::string cachePath);

  // Whether the regular file at `path` has `size` bytes and the digests
  // `md5` (32 hexadecimal digits) and, unless empty, `sha256` (64).
  bool Holds(const std::string& path, std::int64_t size, std::string_view md5, std::string_view sha256);
  // The MD5 and (with `withSha256`, else empty) SHA-256 digest texts of the
  // regular file at `path`; empty when there is none or it cannot be read.
  struct Digests {
    std::string md5;
    std::string sha256;
  };
  std::optional<Digests> DigestsOf(const std::string& path, bool withSha256);
  // Writes the cache with the files looked up since it was read, when any
  // of them was read anew. False when it could not be written.
  bool Save();

  // How many files were read for their digests (not taken from the cache).
  int filesRead() const { return filesRead_; }

 private:
  struct Entry {
    std::uint64_t size = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
    std::string md5;
    std::string sha256;  // empty when it was not needed
  };
  void Load();

  std::string cachePath_;
  bool loaded_ = false;
  bool dirty_ = false;
  std::map<std::string, Entry> known_;  // from the cache file
  std::map<std::string, Entry> used_;   // looked up in this check
  int filesRead_ = 0;
};

}  // namespace engine
