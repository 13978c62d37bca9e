// Signed update lists on any bytes: the signature block parser and the
// check against a key, and signing itself. Whatever the document, a list
// signed with the test key is trusted at its serial, refused as older above
// it, refused at another place, refused once any byte outside its signature line changes, and parsed
// into exactly the items of the unsigned document (an updater without a key
// sees the same list). The first byte picks the byte to change.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/list_signature.h"
#include "engine/update_list.h"

namespace {

// A fixed key pair for the fuzzer only.
constexpr std::string_view kSecret = "1111111111111111111111111111111111111111111111111111111111111111";
constexpr std::string_view kPublic = "d04ab232742bb4ab3a1368bd4615e4e6d0224ab71a016baf8520a332c9778737";
constexpr std::string_view kPlace = "http://127.0.0.1/tlv5.update/";

// The items a parse keeps, as one text.
std::string Items(std::string_view document) {
  engine::UpdateList list(engine::ListContext{std::string(kPlace), "/nonexistent/app/",
                                              [](const std::string&) { return engine::VersionNumber{0}; }});
  engine::ParseListDocument(document, list);
  std::string out;
  for (const auto& item : list.items) {
    out += item->url + '|' + std::string(item->md5.data(), item->md5.size()) + '|' + std::to_string(item->size) +
           '|' + std::to_string(item->version);
    for (const std::string& c : item->comments) out += '|' + c;
    out += '\n';
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::size_t pick = data[0];
  std::string_view document(reinterpret_cast<const char*>(data + 1), size - 1);

  // Any bytes: the parser of the signature block, and the check.
  engine::ListVerdict verdict = engine::CheckListSignature(document, kPublic, kPlace, 0);
  if (verdict.trust == engine::ListTrust::kTrusted && engine::ListSerial(document) != verdict.serial) std::abort();

  auto signedText = engine::SignListDocument(document, 7, kPlace, kSecret);
  if (!signedText) return 0;
  if (engine::CheckListSignature(*signedText, kPublic, kPlace, 7).trust != engine::ListTrust::kTrusted ||
      engine::CheckListSignature(*signedText, kPublic, kPlace, 8).trust != engine::ListTrust::kOlder ||
      engine::CheckListSignature(*signedText, kPublic, "http://127.0.0.1/beta/", 0).trust !=
          engine::ListTrust::kOtherPlace)
    std::abort();
  if (Items(*signedText) != Items(document)) std::abort();

  // One byte changed outside the signature line (which follows the serial
  // and place lines inserted where the signed text first differs from the document;
  // the document itself may hold such text anywhere).
  std::size_t inserted = 0;
  while (inserted < document.size() && (*signedText)[inserted] == document[inserted]) ++inserted;
  std::size_t line = signedText->find(engine::kSignatureKey, inserted);
  std::size_t lineEnd = signedText->find("\r\n", line) + 2;
  std::size_t at = pick * signedText->size() / 256;
  if (at >= line && at < lineEnd) at = lineEnd < signedText->size() ? lineEnd : 0;
  std::string changed = *signedText;
  changed[at] = static_cast<char>(changed[at] ^ 0x20);
  if (engine::CheckListSignature(changed, kPublic, kPlace, 0).trust == engine::ListTrust::kTrusted) std::abort();
  return 0;
}
