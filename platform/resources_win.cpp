#include "platform/resources.h"

#include <windows.h>

#include "platform/text.h"

namespace platform {

std::optional<std::string> LoadBuiltinString(std::uint32_t id, std::size_t bufferSize) {
  // With a zero buffer size the system hands out the text in place (it is
  // not zero-terminated there); its length comes back.
  const wchar_t* text = nullptr;
  int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<wchar_t*>(&text), 0);
  if (length <= 0 || !text) return std::nullopt;
  std::string ansi = Utf16ToAnsi(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
  if (bufferSize == 0) return std::string();
  // Cut like a load into a buffer of `bufferSize`, never inside a character.
  if (ansi.size() > bufferSize - 1) {
    std::size_t keep = 0;
    while (keep < ansi.size()) {
      std::size_t next = keep + AnsiCharLength(ansi.data() + keep, ansi.size() - keep);
      if (next > bufferSize - 1) break;
      keep = next;
    }
    ansi.resize(keep);
  }
  return ansi;
}

}  // namespace platform
