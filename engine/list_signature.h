// Signed update lists. A vendor signs the list document with an Ed25519 key;
// an updater built with the matching public key takes only lists that carry
// a good signature and a serial number no lower than the highest it has
// taken before. Both lines go where every parser of the list ignores text,
// between the intro's closing marker line and the first item header:
//
//   @TLV-DVD Update@<CR LF>          (closing marker line)
//   Serial=42<CR LF>                 grows with every publication
//   Signature=<128 hex digits><CR LF>
//   [Item]<CR LF> ...
//
// The signature covers the whole document without its own line. Each item
// of a signed list also carries "SHA256=" with the SHA-256 digest of the
// file, a key the parser of an unsigned list never looks at.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace engine {

inline constexpr std::string_view kSerialKey = "Serial=";
inline constexpr std::string_view kSignatureKey = "Signature=";
inline constexpr std::string_view kSha256Key = "SHA256=";
inline constexpr std::size_t kSha256TextLength = 64;
inline constexpr std::size_t kPublicKeyTextLength = 64;

struct SigningKey {
  std::string publicKey;  // 64 hexadecimal digits
  std::string secretKey;  // 64 hexadecimal digits
};

// A new Ed25519 key pair; empty when the library cannot make one.
std::optional<SigningKey> NewSigningKey();

// The document with its serial and signature lines after the closing
// marker line; empty when the document has no closing marker line, already
// holds such lines, or the key is no key.
std::optional<std::string> SignListDocument(std::string_view document, std::uint64_t serial,
                                            std::string_view secretKey);

enum class ListTrust { kTrusted, kUnsigned, kBadSignature, kOlder };

struct ListVerdict {
  ListTrust trust = ListTrust::kUnsigned;
  std::uint64_t serial = 0;  // the list's serial, when it is trusted or older
};

// Checks a list document against a public key and the highest serial taken
// so far.
ListVerdict CheckListSignature(std::string_view document, std::string_view publicKey, std::uint64_t highestSerial);

// The serial a document states (its "Serial=" line), signed or not.
std::optional<std::uint64_t> ListSerial(std::string_view document);

// SHA-256 digest texts: 64 lower-case hexadecimal digits.
std::string Sha256Text(const std::uint8_t* data, std::size_t length);
bool IsSha256Text(std::string_view text);

}  // namespace engine
