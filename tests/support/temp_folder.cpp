#include "tests/support/temp_folder.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

#include "platform/facts.h"
#include "platform/files.h"

namespace fs = std::filesystem;

namespace testsupport {
namespace {

// Paths are UTF-8 in the program on every system; the standard library
// takes them as such only through char8_t.
fs::path Native(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

std::string Utf8(const std::u8string& text) { return std::string(text.begin(), text.end()); }

}  // namespace

TempFolder::TempFolder() {
  // A new name of our own: the time and a counter, retried on a clash.
  static std::atomic<unsigned> counter{0};
  auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = "harbinor-test-" + std::to_string(now % 1000000007) + "-" + std::to_string(counter++);
    std::string candidate = Utf8((fs::temp_directory_path() / name).u8string());
    if (platform::MakeFolder(candidate)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary folder");
}

std::string TempFolder::operator/(std::string_view relative) const {
  std::string path = path_ + platform::kPathSeparator;
  for (char c : relative) path.push_back(c == '/' ? platform::kPathSeparator : c);
  return path;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  // Give back write permission first, so read-only folders (and, on
  // Windows, read-only files) go too.
  for (auto it = fs::recursive_directory_iterator(Native(path_), ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink(ec)) fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ec);
    if (it->is_directory(ec) && !it->is_symlink(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::permissions(Native(path_), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(Native(path_), ec);
}

void WriteFile(const std::string& path, std::string_view bytes) {
  fs::path p = Native(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(Native(path), std::ios::binary);
  std::string bytes;
  char block[1 << 16];
  while (in.read(block, sizeof block) || in.gcount() > 0) bytes.append(block, static_cast<std::size_t>(in.gcount()));
  return bytes;
}

bool PathExists(const std::string& path) { return platform::Exists(path); }

void CopyFile(const std::string& from, const std::string& to) {
  fs::path p = Native(to);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  fs::copy_file(Native(from), p, fs::copy_options::overwrite_existing);
}

std::string ListTree(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(Native(folder), ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::string rel = Utf8(fs::relative(it->path(), Native(folder)).generic_u8string());
    names.insert(it->is_directory() ? rel + "/" : rel);
  }
  std::string out;
  for (const auto& n : names) out += n + "\n";
  return out;
}

// Makes `text` visible in failure messages, line ends included.
std::string Show(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c == '\0') out += "\\0";
    else out += c;
  }
  return out;
}

std::string Utf16File(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t u : text) {
    bytes.push_back(static_cast<char>(u & 0xFF));
    bytes.push_back(static_cast<char>(u >> 8));
  }
  return bytes;
}

}  // namespace testsupport
