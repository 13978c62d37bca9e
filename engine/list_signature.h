// Signed update lists. A vendor signs the list document with an Ed25519 key;
// an updater built with the matching public key takes only lists that carry
// a good signature, name the place it fetches them from, and have a serial
// number no lower than the highest it has taken before from that place. The
// lines go where every parser of the list ignores text, between the intro's
// closing marker line and the first item header:
//
//   @TLV-DVD Update@<CR LF>          (closing marker line)
//   Serial=42<CR LF>                 grows with every publication
//   Place=http://host/tlv5.update/<CR LF>   the server base it is served at
//   Signature=<128 hex digits><CR LF>
//   [Item]<CR LF> ...
//
// The signature covers the whole document without its own line, the place
// included: a list signed for another tree (a beta channel, another
// product) is refused, so that its serial can neither be taken here nor
// raise the serial this place must reach. Updaters that know no place still
// verify and read such lists. Each item of a signed list also carries
// "SHA256=" with the SHA-256 digest of the file, a key the parser of an
// unsigned list never looks at.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace engine {

inline constexpr std::string_view kSerialKey = "Serial=";
inline constexpr std::string_view kSignatureKey = "Signature=";
inline constexpr std::string_view kPlaceKey = "Place=";
inline constexpr std::string_view kSha256Key = "SHA256=";
inline constexpr std::size_t kSha256TextLength = 64;
inline constexpr std::size_t kPublicKeyTextLength = 64;

struct SigningKey {
  std::string publicKey;  // 64 hexadecimal digits
  std::string secretKey;  // 64 hexadecimal digits
};

// A new Ed25519 key pair; empty when the library cannot make one.
std::optional<SigningKey> NewSigningKey();
// The public key of a secret key (64 hexadecimal digits each); empty when
// the text is no key.
std::optional<std::string> PublicKeyOf(std::string_view secretKey);

// The document with its serial, place and signature lines after the
// closing marker line; empty when the document has no closing marker line,
// already holds such lines, the place is empty or holds a control
// character, or the key is no key.
std::optional<std::string> SignListDocument(std::string_view document, std::uint64_t serial, std::string_view place,
                                            std::string_view secretKey);

enum class ListTrust { kTrusted, kUnsigned, kBadSignature, kOtherPlace, kOlder };

struct ListVerdict {
  ListTrust trust = ListTrust::kUnsigned;
  std::uint64_t serial = 0;  // the list's serial, when it is trusted or older
};

// Checks a list document against a public key, the place it was fetched
// from (the server base) and the highest serial taken so far from there. A
// well signed list without a place, or for another one, is kOtherPlace.
ListVerdict CheckListSignature(std::string_view document, std::string_view publicKey, std::string_view place,
                               std::uint64_t highestSerial);

// Whether two server bases name one place: the scheme and the host are
// compared without regard to letter case, the rest byte for byte.
bool SamePlace(std::string_view a, std::string_view b);
// A short name of the place for a settings key: 16 hexadecimal digits of
// the SHA-256 digest of its canonical form (where SamePlace ignores letter
// case, lower case).
std::string PlaceTag(std::string_view place);

// The first piece of list syntax in `text`, which a free text inside an
// item block (a release note) must not hold: the marker, the item header
// without its line end, a key of an item block or of the signature lines.
// Empty when there is none.
std::optional<std::string_view> ListSyntaxIn(std::string_view text);

// The serial a document states (its "Serial=" line), signed or not.
std::optional<std::uint64_t> ListSerial(std::string_view document);

// SHA-256 digest texts: 64 lower-case hexadecimal digits.
std::string Sha256Text(const std::uint8_t* data, std::size_t length);
bool IsSha256Text(std::string_view text);

}  // namespace engine
