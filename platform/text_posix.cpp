#include "platform/text.h"

#include <errno.h>
#include <iconv.h>
#include <langinfo.h>
#include <wchar.h>
#include <wctype.h>

namespace platform {
namespace {

// One conversion descriptor for one call; closed on every path.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

const char* LocaleCharset() {
  const char* cs = nl_langinfo(CODESET);
  return (cs && cs[0]) ? cs : "ANSI_X3.4-1968";
}

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

namespace {

std::string FromUtf16(std::u16string_view text, const char* charset) {
  std::string out;
  if (text.empty()) return out;
  // Little-endian bytes of the units, whatever the host order.
  std::string in;
  in.reserve(text.size() * 2);
  for (char16_t u : text) {
    in.push_back(static_cast<char>(u & 0xFF));
    in.push_back(static_cast<char>(u >> 8));
  }
  Converter conv(charset, "UTF-16LE");
  if (!conv.ok()) {
    for (char16_t u : text) out.push_back(u < 0x80 ? static_cast<char>(u) : '?');
    return out;
  }
  char* src = in.data();
  size_t srcLeft = in.size();
  char chunk[256];
  while (srcLeft > 0) {
    char* dst = chunk;
    size_t dstLeft = sizeof chunk;
    size_t rc = iconv(conv.get(), &src, &srcLeft, &dst, &dstLeft);
    out.append(chunk, static_cast<std::size_t>(dst - chunk));
    if (rc != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // A character the charset lacks, or a broken surrogate: one "?" for it.
    out.push_back('?');
    std::size_t unit = (in.size() - srcLeft) / 2;
    std::size_t skip = 1;
    if (IsHighSurrogate(text[unit]) && unit + 1 < text.size() && IsLowSurrogate(text[unit + 1])) skip = 2;
    if (skip * 2 > srcLeft) skip = srcLeft / 2;
    if (skip == 0) break;
    src += skip * 2;
    srcLeft -= skip * 2;
    iconv(conv.get(), nullptr, nullptr, nullptr, nullptr);
  }
  char* dst = chunk;
  size_t dstLeft = sizeof chunk;
  iconv(conv.get(), nullptr, nullptr, &dst, &dstLeft);
  out.append(chunk, static_cast<std::size_t>(dst - chunk));
  return out;
}

std::u16string ToUtf16(std::string_view text, const char* charset) {
  std::u16string out;
  if (text.empty()) return out;
  Converter conv("UTF-16LE", charset);
  if (!conv.ok()) {
    for (char c : text) out.push_back(static_cast<unsigned char>(c) < 0x80 ? char16_t(c) : u'\uFFFD');
    return out;
  }
  std::string in(text);
  char* src = in.data();
  size_t srcLeft = in.size();
  char chunk[256];
  std::string bytes;
  while (srcLeft > 0) {
    char* dst = chunk;
    size_t dstLeft = sizeof chunk;
    size_t rc = iconv(conv.get(), &src, &srcLeft, &dst, &dstLeft);
    bytes.append(chunk, static_cast<std::size_t>(dst - chunk));
    if (rc != static_cast<size_t>(-1) || errno == E2BIG) continue;
    bytes.append("\xFD\xFF", 2);  // U+FFFD, little-endian
    ++src;
    --srcLeft;
    iconv(conv.get(), nullptr, nullptr, nullptr, nullptr);
  }
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    out.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                        (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  return out;
}

}  // namespace

std::string Utf16ToAnsi(std::u16string_view text) { return FromUtf16(text, LocaleCharset()); }
std::u16string AnsiToUtf16(std::string_view text) { return ToUtf16(text, LocaleCharset()); }
std::string Utf16ToUtf8(std::u16string_view text) { return FromUtf16(text, "UTF-8"); }
std::u16string Utf8ToUtf16(std::string_view text) { return ToUtf16(text, "UTF-8"); }

std::size_t AnsiCharLength(const char* text, std::size_t remaining) {
  if (remaining == 0) return 0;
  mbstate_t state{};
  size_t n = mbrlen(text, remaining, &state);
  if (n == 0 || n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) return 1;
  return n;
}

AnsiChar InspectAnsiChar(const char* text, std::size_t remaining) {
  AnsiChar c;
  unsigned char first = static_cast<unsigned char>(text[0]);
  mbstate_t state{};
  wchar_t wc = 0;
  size_t n = mbrtowc(&wc, text, remaining, &state);
  if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
    c.valid = false;
    c.code = first;
    return c;
  }
  c.length = n == 0 ? 1 : n;
  c.code = static_cast<std::uint32_t>(wc);
  c.control = c.code < 0x20 || (c.code >= 0x7f && c.code < 0xa0) || iswcntrl(static_cast<wint_t>(wc));
  int width = wcwidth(wc);
  c.cells = c.control ? 0 : width < 0 ? 1 : width;
  return c;
}

}  // namespace platform
