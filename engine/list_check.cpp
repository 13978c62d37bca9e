#include "engine/list_check.h"

#include <algorithm>

#include "engine/download_worker.h"
#include "platform/facts.h"
#include "platform/text.h"

namespace engine {

std::string ListTextForWindow(std::string_view text, bool utf8Declared) {
  bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) return std::string(text);
  if (utf8Declared || platform::IsValidUtf8(text)) return platform::Utf16ToAnsi(platform::Utf8ToUtf16(text));
  if (platform::kLegacyTextIsLocal) return std::string(text);
  return platform::Utf16ToAnsi(platform::Windows1252ToUtf16(text));
}

CheckVerdict JudgeListDocument(std::string_view document, std::string_view publicKey, std::uint64_t highestSerial,
                               UpdateList& target) {
  CheckVerdict verdict;
  if (!publicKey.empty()) {
    // The list's place is the server base it was fetched from.
    ListVerdict signature = CheckListSignature(document, publicKey, target.context().serverBase, highestSerial);
    if (signature.trust != ListTrust::kTrusted) {
      verdict.outcome = CheckOutcome::kRefused;
      verdict.refusal = signature.trust;
      return verdict;
    }
    verdict.acceptedSerial = signature.serial;
  }
  ParsedList parsed = ParseListDocument(document, target);
  verdict.introText = std::move(parsed.introText);
  if (target.incomplete) {
    verdict.outcome = CheckOutcome::kIncomplete;
    return verdict;
  }
  // A file without its SHA-256 is not what the vendor signed for.
  if (verdict.acceptedSerial) {
    for (const auto& item : target.items) {
      if (item->sha256.empty()) {
        verdict.outcome = CheckOutcome::kRefused;
        verdict.acceptedSerial.reset();
        return verdict;
      }
    }
  }
  verdict.introText = ListTextForWindow(verdict.introText, parsed.utf8Declared);
  for (const auto& item : target.items)
    for (std::string& comment : item->comments) comment = ListTextForWindow(comment, parsed.utf8Declared);
  switch (parsed.outcome) {
    case ListOutcome::kNotAList: verdict.outcome = CheckOutcome::kNotAList; break;
    case ListOutcome::kNothingSelected: verdict.outcome = CheckOutcome::kNothingNew; break;
    case ListOutcome::kItemsSelected: verdict.outcome = CheckOutcome::kUpdates; break;
  }
  if (verdict.outcome == CheckOutcome::kUpdates) {
    std::int64_t staged = 0;
    for (const auto& item : target.items)
      if (CheckStaged(target, *item) == StagedState::kStaged) staged += item->CountedSize();
    verdict.stagedBytes = static_cast<std::int32_t>(staged);
  }
  return verdict;
}

}  // namespace engine
