#include "ui/console/key_decoder.h"

#include "platform/text.h"

namespace ui::console {
namespace {

// The key that the final character of a cursor or keypad sequence names,
// as both "ESC [" and "ESC O" sequences end.
TermKey::Code CursorKey(char final) {
  using C = TermKey::Code;
  switch (final) {
    case 'A': return C::kUp;
    case 'B': return C::kDown;
    case 'C': return C::kRight;
    case 'D': return C::kLeft;
    case 'H': return C::kHome;
    case 'F': return C::kEnd;
    case 'P': return C::kF1;
    default: return C::kOther;
  }
}

}  // namespace

std::size_t DecodeKey(std::string_view bytes, bool final, TermKey& key) {
  using C = TermKey::Code;
  key = TermKey{};
  if (bytes.empty()) return 0;
  char c = bytes[0];
  if (c == '\x1b') {
    if (bytes.size() == 1) {
      if (!final) return 0;
      key.code = C::kEscape;
      return 1;
    }
    char c1 = bytes[1];
    if (c1 == '[') {
      if (bytes.size() >= 3 && bytes[2] == '[') {  // the Linux console's function keys
        if (bytes.size() < 4) {
          if (!final) return 0;
          key.code = C::kOther;
          return bytes.size();
        }
        key.code = bytes[3] == 'A' ? C::kF1 : C::kOther;
        return 4;
      }
      std::size_t j = 2;
      while (j < bytes.size() && bytes[j] >= 0x20 && bytes[j] <= 0x3f) ++j;
      if (j == bytes.size()) {
        if (!final) return 0;
        key.code = C::kOther;
        return j;
      }
      std::string_view params = bytes.substr(2, j - 2);
      switch (bytes[j]) {
        case 'Z': key.code = C::kBackTab; break;
        case '~':
          if (params == "1" || params == "7") key.code = C::kHome;
          else if (params == "4" || params == "8") key.code = C::kEnd;
          else if (params == "5") key.code = C::kPageUp;
          else if (params == "6") key.code = C::kPageDown;
          else if (params == "11") key.code = C::kF1;
          else key.code = C::kOther;
          break;
        default: key.code = CursorKey(bytes[j]);
      }
      return j + 1;
    }
    if (c1 == 'O') {
      if (bytes.size() < 3) {
        if (!final) return 0;
        key.code = C::kEscape;
        return 1;
      }
      key.code = bytes[2] == 'M' ? C::kEnter : CursorKey(bytes[2]);
      return 3;
    }
    if (c1 == '\x1b') {
      key.code = C::kEscape;
      return 1;
    }
    key.code = C::kOther;  // Alt and a key
    return 1 + platform::AnsiCharLength(bytes.data() + 1, bytes.size() - 1);
  }
  switch (c) {
    case '\r':
    case '\n': key.code = C::kEnter; return 1;
    case '\t': key.code = C::kTab; return 1;
    case ' ': key.code = C::kSpace; return 1;
    case '\x0c': key.code = C::kRedraw; return 1;
    default: break;
  }
  unsigned char u = static_cast<unsigned char>(c);
  if (u >= 0x21 && u < 0x7f) {
    key.code = C::kChar;
    key.ch = c;
    return 1;
  }
  key.code = C::kOther;
  return platform::AnsiCharLength(bytes.data(), bytes.size());
}

}  // namespace ui::console
