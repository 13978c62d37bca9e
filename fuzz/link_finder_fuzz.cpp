// The message area's link finder over any text: every link lies inside the
// text, in order and apart, starts with one of the prefixes the window opens,
// is found again on its own, and opens as a web or mail address.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "base/ascii_text.h"
#include "ui/link_finder.h"

namespace {

bool OpensAsWebOrMail(std::string_view target) {
  for (std::string_view scheme : {"http://", "https://", "mailto:"}) {
    if (base::StartsWithIgnoringCase(target, scheme) && target.size() > scheme.size()) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto copy = std::make_unique<char[]>(size);
  std::copy(data, data + size, copy.get());
  std::string_view text(copy.get(), size);

  std::size_t previousEnd = 0;
  for (const ui::LinkSpan& span : ui::FindLinks(text)) {
    if (span.begin < previousEnd || span.length == 0 || span.begin + span.length > size) std::abort();
    previousEnd = span.begin + span.length;
    std::string_view link = text.substr(span.begin, span.length);
    for (char c : link) {
      unsigned char u = static_cast<unsigned char>(c);
      if (u <= 0x20 || u >= 0x7f) std::abort();
    }
    std::string target = ui::LinkTarget(link);
    if (!OpensAsWebOrMail(target)) std::abort();
  }
  std::string target = ui::LinkTarget(text);
  if (!target.empty() && !OpensAsWebOrMail(target)) std::abort();
  return 0;
}
