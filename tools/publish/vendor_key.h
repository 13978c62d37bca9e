// The vendor's signing key on disk: the secret key in a file of its own, the
// public key in the file of the same name with ".pub" added. Each file is
// one line that says what it holds, then the key as 64 hexadecimal digits:
//
//   harbinor-secret-key 0123...cdef
//   harbinor-public-key 4567...0123
//
// so that the public file can never be taken for the secret one. Files of
// earlier versions hold the bare digits; such a file is taken as a secret
// key only when the ".pub" beside it holds the public key that belongs to
// it, which the public key itself never passes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace publish {

inline constexpr std::string_view kSecretKeyPrefix = "harbinor-secret-key ";
inline constexpr std::string_view kPublicKeyPrefix = "harbinor-public-key ";

struct NewKeyResult {
  std::string publicKey;  // 64 hexadecimal digits; empty on failure
  std::string error;      // why no key was written
};

// Makes a new key pair and writes it to `path` and `path`.pub, both new
// files (nothing is overwritten); the secret key's file is readable by its
// owner only where files have permission bits.
NewKeyResult WriteNewKey(const std::string& path);

struct SecretKey {
  std::string secretKey;  // 64 hexadecimal digits
  std::string publicKey;  // derived from the secret key
};

// The secret key stored at `path`, with its public key. Refused with `error`
// set: a file that cannot be read or holds no secret key (a public key
// file, among others), a file that others than its owner may read (where
// files have permission bits), and a key whose public key differs from the
// one in `path`.pub when that file exists.
std::optional<SecretKey> ReadSecretKey(const std::string& path, std::string& error);

// Whether `text` is 64 hexadecimal digits.
bool IsKeyText(std::string_view text);

}  // namespace publish
