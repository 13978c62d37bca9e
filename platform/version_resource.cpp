#include "platform/version_resource.h"

#include <cstring>
#include <vector>

#include "platform/files.h"
#include "platform/resources.h"
#include "resources/version_info.h"

namespace platform {
namespace {

class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
  std::uint64_t Size() const override { return bytes_.size(); }
  bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override {
    if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
    if (size > 0) std::memcpy(buffer, bytes_.data() + offset, size);
    return true;
  }

 private:
  std::string_view bytes_;
};

class FileSource : public ByteSource {
 public:
  FileSource(File& file, std::uint64_t size) : file_(file), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override {
    if (offset > size_ || size > size_ - offset) return false;
    if (!file_.Seek(offset)) return false;
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
      std::int64_t n = file_.Read(out + done, size - done);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  File& file_;
  std::uint64_t size_;
};

// Reads `size` bytes at `offset` into `out`.
bool ReadBytes(ByteSource& source, std::uint64_t offset, std::uint64_t size, std::string& out) {
  if (offset > source.Size() || size > source.Size() - offset) return false;
  out.assign(static_cast<std::size_t>(size), '\0');
  return source.ReadAt(offset, out.data(), out.size());
}

// Fields of either byte order from a byte string; the caller has checked
// that the field lies inside it.
class Fields {
 public:
  Fields(const std::string& bytes, bool bigEndian) : bytes_(bytes), big_(bigEndian) {}
  std::uint64_t Get(std::size_t offset, int width) const {
    std::uint64_t v = 0;
    for (int i = 0; i < width; ++i) {
      int index = big_ ? i : width - 1 - i;
      v = v << 8 | static_cast<unsigned char>(bytes_[offset + static_cast<std::size_t>(index)]);
    }
    return v;
  }
  std::uint16_t U16(std::size_t offset) const { return static_cast<std::uint16_t>(Get(offset, 2)); }
  std::uint32_t U32(std::size_t offset) const { return static_cast<std::uint32_t>(Get(offset, 4)); }
  std::uint64_t U64(std::size_t offset) const { return Get(offset, 8); }

 private:
  const std::string& bytes_;
  bool big_;
};

// ---- PE images ------------------------------------------------------------

constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint32_t kResourceDirectory = 2;
constexpr std::uint32_t kVersionResourceType = 16;
constexpr std::uint32_t kHighBit = 0x80000000;

struct PeSection {
  std::uint32_t virtualAddress;
  std::uint64_t mappedSize;  // bytes of the section that come from the file
  std::uint32_t fileOffset;
};

class PeImage {
 public:
  explicit PeImage(ByteSource& source) : source_(source) {}

  // Reads the headers; false when this is no PE image with a resource
  // directory.
  bool Open() {
    std::string dos;
    if (!ReadBytes(source_, 0, 64, dos) || dos[0] != 'M' || dos[1] != 'Z') return false;
    std::uint64_t peOffset = Fields(dos, false).U32(0x3C);
    std::string coff;
    if (!ReadBytes(source_, peOffset, 24, coff) || coff.compare(0, 4, std::string("PE\0\0", 4)) != 0) return false;
    Fields c(coff, false);
    std::uint16_t sectionCount = c.U16(6);
    std::uint16_t optionalSize = c.U16(20);

    std::string optional;
    if (!ReadBytes(source_, peOffset + 24, optionalSize, optional) || optionalSize < 2) return false;
    Fields o(optional, false);
    std::size_t countField, directories;
    switch (o.U16(0)) {
      case kPe32Magic: countField = 92, directories = 96; break;
      case kPe32PlusMagic: countField = 108, directories = 112; break;
      default: return false;
    }
    std::size_t entry = directories + 8 * kResourceDirectory;
    if (optional.size() < entry + 8 || o.U32(countField) <= kResourceDirectory) return false;
    resourceRva_ = o.U32(entry);
    if (resourceRva_ == 0) return false;

    std::string table;
    if (!ReadBytes(source_, peOffset + 24 + optionalSize, std::uint64_t{sectionCount} * 40, table)) return false;
    Fields t(table, false);
    for (std::size_t i = 0; i < sectionCount; ++i) {
      std::size_t at = i * 40;
      std::uint32_t virtualSize = t.U32(at + 8);
      std::uint32_t rawSize = t.U32(at + 16);
      std::uint64_t mapped = (virtualSize != 0 && virtualSize < rawSize) ? virtualSize : rawSize;
      sections_.push_back({t.U32(at + 12), mapped, t.U32(at + 20)});
    }
    return true;
  }

  // Reads `size` bytes at `rva`; they must lie in the file data of one
  // section.
  bool ReadRva(std::uint64_t rva, std::uint64_t size, std::string& out) {
    for (const PeSection& s : sections_) {
      if (rva < s.virtualAddress || rva - s.virtualAddress >= s.mappedSize) continue;
      std::uint64_t within = rva - s.virtualAddress;
      if (size > s.mappedSize - within) return false;
      return ReadBytes(source_, std::uint64_t{s.fileOffset} + within, size, out);
    }
    return false;
  }

  struct DirectoryEntry {
    std::uint32_t name;    // an id, or with the high bit an offset to a name
    std::uint32_t target;  // with the high bit a subdirectory, else a data entry
    bool IsNamed() const { return (name & kHighBit) != 0; }
    bool IsDirectory() const { return (target & kHighBit) != 0; }
    std::uint32_t Offset() const { return target & ~kHighBit; }
  };

  // The entries of the resource directory at `offset` in the resource data.
  std::optional<std::vector<DirectoryEntry>> Directory(std::uint32_t offset) {
    std::string header;
    if (!ReadRva(std::uint64_t{resourceRva_} + offset, 16, header)) return std::nullopt;
    Fields h(header, false);
    std::uint64_t count = std::uint64_t{h.U16(12)} + h.U16(14);
    std::string raw;
    if (!ReadRva(std::uint64_t{resourceRva_} + offset + 16, count * 8, raw)) return std::nullopt;
    Fields r(raw, false);
    std::vector<DirectoryEntry> entries;
    for (std::size_t i = 0; i < count; ++i) entries.push_back({r.U32(i * 8), r.U32(i * 8 + 4)});
    return entries;
  }

  // The bytes described by the data entry at `offset` in the resource data.
  std::optional<std::string> Data(std::uint32_t offset) {
    std::string entry;
    if (!ReadRva(std::uint64_t{resourceRva_} + offset, 16, entry)) return std::nullopt;
    Fields e(entry, false);
    std::uint32_t size = e.U32(4);
    if (size > kMaxVersionResourceBytes) return std::nullopt;
    std::string data;
    if (!ReadRva(e.U32(0), size, data)) return std::nullopt;
    return data;
  }

 private:
  ByteSource& source_;
  std::uint32_t resourceRva_ = 0;
  std::vector<PeSection> sections_;
};

// The first version resource: type 16, then the first numeric name (a named
// one only when there is none), then its first language.
std::optional<std::string> FirstVersionResource(PeImage& image) {
  using Entry = PeImage::DirectoryEntry;
  auto types = image.Directory(0);
  if (!types) return std::nullopt;
  const Entry* type = nullptr;
  for (const Entry& e : *types) {
    if (!e.IsNamed() && (e.name & 0xFFFF) == kVersionResourceType && e.IsDirectory()) {
      type = &e;
      break;
    }
  }
  if (!type) return std::nullopt;

  auto names = image.Directory(type->Offset());
  if (!names) return std::nullopt;
  const Entry* name = nullptr;
  for (const Entry& e : *names) {
    if (e.IsDirectory() && (!name || (name->IsNamed() && !e.IsNamed()))) name = &e;
    if (name && !name->IsNamed()) break;
  }
  if (!name) return std::nullopt;

  auto languages = image.Directory(name->Offset());
  if (!languages || languages->empty() || languages->front().IsDirectory()) return std::nullopt;
  return image.Data(languages->front().Offset());
}

// ---- ELF images -----------------------------------------------------------

constexpr std::uint32_t kSectionNoBits = 8;
constexpr std::uint16_t kSectionIndexInLink = 0xFFFF;

struct ElfSection {
  std::uint32_t name;
  std::uint32_t type;
  std::uint64_t offset;
  std::uint64_t size;
  std::uint32_t link;
};

class ElfImage {
 public:
  explicit ElfImage(ByteSource& source) : source_(source) {}

  bool Open() {
    std::string ident;
    if (!ReadBytes(source_, 0, 16, ident) || ident.compare(0, 4, "\x7F" "ELF") != 0) return false;
    if (ident[4] != 1 && ident[4] != 2) return false;
    if (ident[5] != 1 && ident[5] != 2) return false;
    is64_ = ident[4] == 2;
    big_ = ident[5] == 2;
    std::string header;
    if (!ReadBytes(source_, 0, is64_ ? 64 : 52, header)) return false;
    Fields h(header, big_);
    tableOffset_ = is64_ ? h.U64(0x28) : h.U32(0x20);
    entrySize_ = h.U16(is64_ ? 0x3A : 0x2E);
    count_ = h.U16(is64_ ? 0x3C : 0x30);
    std::uint32_t namesIndex = h.U16(is64_ ? 0x3E : 0x32);
    if (tableOffset_ == 0 || entrySize_ < (is64_ ? 64u : 40u)) return false;

    // With many sections the real count and name-table index live in
    // section 0.
    if (count_ == 0 || namesIndex == kSectionIndexInLink) {
      std::uint64_t headerCount = count_;
      count_ = 1;
      auto first = Section(0);
      if (!first) return false;
      count_ = headerCount == 0 ? first->size : headerCount;
      if (namesIndex == kSectionIndexInLink) namesIndex = first->link;
    }
    if (tableOffset_ > source_.Size() || count_ > (source_.Size() - tableOffset_) / entrySize_) return false;
    auto names = Section(namesIndex);
    if (!names || names->type == kSectionNoBits) return false;
    names_ = *names;
    return names_.offset <= source_.Size() && names_.size <= source_.Size() - names_.offset;
  }

  std::uint64_t count() const { return count_; }

  std::optional<ElfSection> Section(std::uint64_t index) {
    if (index >= count_) return std::nullopt;
    std::string raw;
    if (!ReadBytes(source_, tableOffset_ + index * entrySize_, is64_ ? 64 : 40, raw)) return std::nullopt;
    Fields s(raw, big_);
    if (is64_) return ElfSection{s.U32(0), s.U32(4), s.U64(24), s.U64(32), s.U32(40)};
    return ElfSection{s.U32(0), s.U32(4), s.U32(16), s.U32(20), s.U32(24)};
  }

  bool HasName(const ElfSection& section, std::string_view name) {
    std::uint64_t length = name.size() + 1;
    if (section.name > names_.size || length > names_.size - section.name) return false;
    std::string found;
    if (!ReadBytes(source_, names_.offset + section.name, length, found)) return false;
    return found.compare(0, name.size(), name) == 0 && found.back() == '\0';
  }

  std::optional<std::string> Contents(const ElfSection& section) {
    if (section.type == kSectionNoBits || section.size > kMaxVersionResourceBytes) return std::nullopt;
    std::string data;
    if (!ReadBytes(source_, section.offset, section.size, data)) return std::nullopt;
    return data;
  }

 private:
  ByteSource& source_;
  bool is64_ = false;
  bool big_ = false;
  std::uint64_t tableOffset_ = 0;
  std::uint64_t entrySize_ = 0;
  std::uint64_t count_ = 0;
  ElfSection names_{};
};

}  // namespace

std::optional<std::string> FindPeVersionResource(ByteSource& image) {
  PeImage pe(image);
  if (!pe.Open()) return std::nullopt;
  return FirstVersionResource(pe);
}

std::optional<std::string> FindElfVersionSection(ByteSource& image) {
  ElfImage elf(image);
  if (!elf.Open()) return std::nullopt;
  for (std::uint64_t i = 0; i < elf.count(); ++i) {
    auto section = elf.Section(i);
    if (!section) return std::nullopt;
    if (elf.HasName(*section, resources::kVersionSectionName)) return elf.Contents(*section);
  }
  return std::nullopt;
}

std::optional<std::string> FindVersionResource(ByteSource& image) {
  std::string magic;
  if (ReadBytes(image, 0, 4, magic) && magic == "\x7F" "ELF") return FindElfVersionSection(image);
  if (ReadBytes(image, 0, 2, magic) && magic == "MZ") return FindPeVersionResource(image);
  return std::nullopt;
}

std::optional<std::string> FindPeVersionResource(std::string_view image) {
  MemorySource source(image);
  return FindPeVersionResource(source);
}

std::optional<std::string> FindElfVersionSection(std::string_view image) {
  MemorySource source(image);
  return FindElfVersionSection(source);
}

std::optional<std::string> ReadVersionResource(const std::string& path) {
  File file = File::Open(path, OpenMode::kRead);
  if (!file.IsOpen()) return std::nullopt;
  std::optional<std::uint64_t> size = file.Size();
  if (!size) return std::nullopt;
  FileSource source(file, *size);
  return FindVersionResource(source);
}

}  // namespace platform
