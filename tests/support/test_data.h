// Small helpers that make test data: file contents of a given size that are
// easy to tell apart, and their digest text.
#pragma once

#include <cstdint>
#include <string>

#include "engine/digest.h"

namespace testsupport {

inline std::string Digest(const std::string& s) {
  return engine::DigestText(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// `size` bytes of "name:offset;" runs.
inline std::string Content(const std::string& name, std::size_t size) {
  std::string s;
  while (s.size() < size) s += name + ":" + std::to_string(s.size()) + ";";
  s.resize(size);
  return s;
}

}  // namespace testsupport
