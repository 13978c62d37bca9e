#include "resources/version_info.h"

#include <vector>

namespace resources {
namespace {

constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::uint32_t kFixedInfoStructVersion = 0x00010000;
constexpr std::uint32_t kFileFlagsMask = 0x3F;
constexpr std::uint32_t kFileOsNtWindows32 = 0x00040004;
constexpr std::uint32_t kFileTypeApp = 1;
constexpr std::uint16_t kLanguageUsEnglish = 0x0409;
constexpr std::uint16_t kCodePageUnicode = 1200;

enum class ValueType : std::uint16_t { kBinary = 0, kText = 1 };

// One node of the version tree: a header (wLength, wValueLength, wType), a
// zero-terminated UTF-16 key, the value and the children, each of the last
// three starting on a 4-byte boundary.
struct Node {
  std::string_view key;
  ValueType type = ValueType::kText;
  std::string value;               // bytes as stored
  std::uint16_t valueLength = 0;   // in units of text for kText, bytes for kBinary
  std::vector<Node> children;
};

void PutU16(std::string& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

void PutU32(std::string& out, std::uint32_t v) {
  PutU16(out, static_cast<std::uint16_t>(v & 0xFFFF));
  PutU16(out, static_cast<std::uint16_t>(v >> 16));
}

void PadTo4(std::string& out) {
  while (out.size() % 4 != 0) out.push_back('\0');
}

// ASCII text as zero-terminated UTF-16 LE bytes.
std::string WideZ(std::string_view text) {
  std::string out;
  for (char c : text) PutU16(out, static_cast<unsigned char>(c));
  PutU16(out, 0);
  return out;
}

std::string Serialize(const Node& node) {
  std::string out(6, '\0');
  out += WideZ(node.key);
  if (!node.value.empty()) {
    PadTo4(out);
    out += node.value;
  }
  for (const Node& child : node.children) {
    PadTo4(out);
    out += Serialize(child);
  }
  std::string header;
  PutU16(header, static_cast<std::uint16_t>(out.size()));
  PutU16(header, node.valueLength);
  PutU16(header, static_cast<std::uint16_t>(node.type));
  out.replace(0, 6, header);
  return out;
}

Node TextEntry(std::string_view key, std::string_view value) {
  std::string bytes = WideZ(value);
  return Node{key, ValueType::kText, bytes, static_cast<std::uint16_t>(bytes.size() / 2), {}};
}

std::string FixedFileInfo(const VersionParts& v) {
  std::uint32_t ms = static_cast<std::uint32_t>(v[0]) << 16 | v[1];
  std::uint32_t ls = static_cast<std::uint32_t>(v[2]) << 16 | v[3];
  std::string out;
  for (std::uint32_t field : {kFixedInfoSignature, kFixedInfoStructVersion, ms, ls, ms, ls, kFileFlagsMask,
                              std::uint32_t{0}, kFileOsNtWindows32, kFileTypeApp, std::uint32_t{0}, std::uint32_t{0},
                              std::uint32_t{0}}) {
    PutU32(out, field);
  }
  return out;
}

}  // namespace

std::string BuildVersionInfo(const VersionParts& version, std::string_view fileDescription) {
  std::string versionText = std::to_string(version[0]) + "." + std::to_string(version[1]) + "." +
                            std::to_string(version[2]) + "." + std::to_string(version[3]);

  Node table{"040904b0", ValueType::kText, {}, 0, {}};
  table.children = {TextEntry("CompanyName", kCompanyName), TextEntry("FileDescription", fileDescription),
                    TextEntry("FileVersion", versionText), TextEntry("ProductName", kProductName),
                    TextEntry("ProductVersion", versionText)};
  Node strings{"StringFileInfo", ValueType::kText, {}, 0, {table}};

  std::string translation;
  PutU16(translation, kLanguageUsEnglish);
  PutU16(translation, kCodePageUnicode);
  Node var{"Translation", ValueType::kBinary, translation, static_cast<std::uint16_t>(translation.size()), {}};
  Node vars{"VarFileInfo", ValueType::kText, {}, 0, {var}};

  std::string fixed = FixedFileInfo(version);
  Node root{"VS_VERSION_INFO", ValueType::kBinary, fixed, static_cast<std::uint16_t>(fixed.size()), {strings, vars}};
  return Serialize(root);
}

}  // namespace resources
