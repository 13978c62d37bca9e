// The check's decision on a fetched list document, which the update window
// only shows: whether it is a list at all, whether a list that must be
// signed is to be trusted, and which listed files are newer than the
// installed ones. Signed lists: only a list signed with the built-in key for
// the server base it came from (the target list's), with a serial no lower
// than the highest taken before from there, is taken, and every
// file of it must give its SHA-256 (the download checks it). Of the newer
// files, those an earlier download staged whole are counted. The intro text
// and the comments come out in the charset the windows take (ListTextForWindow).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/list_signature.h"
#include "engine/update_list.h"

namespace engine {

enum class CheckOutcome {
  kNotAList,    // no marker: nothing to offer (shown as up to date)
  kNothingNew,  // a list, and every listed file is installed already
  kUpdates,     // the newer files are in the target list
  kRefused,     // a list that must be signed is not to be trusted
  kIncomplete,  // a listed file does not fit its field: no part of a release is offered
};

struct CheckVerdict {
  CheckOutcome outcome = CheckOutcome::kNotAList;
  std::string introText;
  // A signed list's serial, to be remembered when it is higher than the
  // highest taken before.
  std::optional<std::uint64_t> acceptedSerial;
  // Why a signed list was refused; kTrusted when its files lack a SHA-256.
  ListTrust refusal = ListTrust::kTrusted;
  // Of the newer files, the bytes already staged whole by an earlier
  // download (a staged file that is not what the list says goes).
  std::int32_t stagedBytes = 0;
};

// A text of the list (the intro, a comment) in the charset the windows take,
// the locale's (the ANSI code page): text declared UTF-8, and undeclared
// text that is well-formed UTF-8 with bytes above ASCII, is converted from
// UTF-8; other undeclared text is Windows-1252, converted where that is not
// the locale's charset already. A character the locale's charset lacks
// becomes "?".
std::string ListTextForWindow(std::string_view text, bool utf8Declared);

// `publicKey`: 64 hexadecimal digits, or empty to take lists unsigned.
// `highestSerial`: the highest serial taken from the target's server base.
// The newer files go into `target`, whose installed versions it probes.
CheckVerdict JudgeListDocument(std::string_view document, std::string_view publicKey, std::uint64_t highestSerial,
                               UpdateList& target);

}  // namespace engine
