// The vendor's signing key on disk: the secret key as 64 hexadecimal digits
// and a line end in a file of its own, the public key the same way in the
// file of the same name with ".pub" added.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace publish {

struct NewKeyResult {
  std::string publicKey;  // 64 hexadecimal digits; empty on failure
  std::string error;      // why no key was written
};

// Makes a new key pair and writes it to `path` and `path`.pub, both new
// files (nothing is overwritten); the secret key's file is readable by its
// owner only where files have permission bits.
NewKeyResult WriteNewKey(const std::string& path);

// The secret key stored at `path`; empty with `error` set when the file
// cannot be read or holds no key.
std::optional<std::string> ReadSecretKey(const std::string& path, std::string& error);

// Whether `text` is 64 hexadecimal digits.
bool IsKeyText(std::string_view text);

}  // namespace publish
