// Help topics read out of the compiled help file with chmlib, for the
// systems whose own help viewer we cannot use.
#include <chm_lib.h>

#include "ui/help_text.h"

namespace ui {
namespace {

class ChmFile {
 public:
  explicit ChmFile(const std::string& path) : file_(chm_open(path.c_str())) {}
  ~ChmFile() {
    if (file_) chm_close(file_);
  }
  ChmFile(const ChmFile&) = delete;
  ChmFile& operator=(const ChmFile&) = delete;
  chmFile* get() const { return file_; }

 private:
  chmFile* file_;
};

}  // namespace

std::optional<std::string> ReadHelpTopic(const std::string& chmPath, const std::string& topic) {
  if (chmPath.empty() || topic.empty()) return std::nullopt;
  ChmFile file(chmPath);
  if (!file.get()) return std::nullopt;
  std::string object = topic[0] == '/' ? topic : "/" + topic;
  chmUnitInfo unit;
  if (chm_resolve_object(file.get(), object.c_str(), &unit) != CHM_RESOLVE_SUCCESS) return std::nullopt;
  if (unit.length > kMaxHelpTopicBytes) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(unit.length), '\0');
  if (bytes.empty()) return bytes;
  LONGINT64 got = chm_retrieve_object(file.get(), &unit, reinterpret_cast<unsigned char*>(bytes.data()), 0,
                                      static_cast<LONGINT64>(bytes.size()));
  if (got != static_cast<LONGINT64>(bytes.size())) return std::nullopt;
  return bytes;
}

}  // namespace ui
