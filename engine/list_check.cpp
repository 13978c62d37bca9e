#include "engine/list_check.h"

#include "engine/download_worker.h"

namespace engine {

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
  switch (parsed.outcome) {
    case ListOutcome::kNotAList: verdict.outcome = CheckOutcome::kNotAList; break;
    case ListOutcome::kNothingSelected: verdict.outcome = CheckOutcome::kNothingNew; break;
    case ListOutcome::kItemsSelected: verdict.outcome = CheckOutcome::kUpdates; break;
  }
  if (verdict.outcome == CheckOutcome::kUpdates) {
    std::int64_t staged = 0;
    for (const auto& item : target.items)
      if (CheckStaged(target, *item) == StagedState::kStaged) staged += item->size;
    verdict.stagedBytes = static_cast<std::int32_t>(staged);
  }
  return verdict;
}

}  // namespace engine
