// The keys of a terminal in raw mode, out of the bytes it sends: plain keys,
// control keys and the escape sequences of the usual terminals (xterm, VT,
// the Linux console).
#pragma once

#include <cstddef>
#include <string_view>

namespace ui::console {

struct TermKey {
  enum Code {
    kEnter, kEscape, kTab, kBackTab, kLeft, kRight, kUp, kDown, kPageUp, kPageDown, kHome, kEnd, kF1, kSpace,
    kRedraw, kChar, kOther,
  };
  Code code = kOther;
  char ch = 0;  // the character of kChar
};

// Decodes the key at the start of `bytes`. Returns the bytes it takes, or 0
// when they are the start of an escape sequence whose rest has not arrived
// yet (with `final`, what has arrived is taken as it is).
std::size_t DecodeKey(std::string_view bytes, bool final, TermKey& key);

}  // namespace ui::console
