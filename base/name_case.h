// Letter case of file names as Windows sees it. Windows compares names by
// upper-casing each UTF-16 unit on its own with one fixed table (the file
// system's "upcase" table), not by the rules of a locale: two names are one
// file there when their units upper-case alike. This does the same for
// UTF-8 names with the simple upper-case mappings of the Unicode character
// database (version 14) for the Basic Multilingual Plane; characters beyond
// it are two surrogate units, which no table changes. The table is compiled
// in, so the answer is the same on every system and in every locale.
//
// The table holds 1164 mappings in 189 runs (about 1.5 KB) and gives for
// every unit the same as glibc's towupper in the C.UTF-8 locale. Windows'
// own table (as Wine's RtlUpcaseUnicodeChar has it: 1163 mappings) is a
// part of it: it leaves 27 units alone that this one maps, characters whose
// upper case does not lower-case back to them (µ, ı, ſ, ς, title-case
// digraphs, Greek symbol and old Cyrillic forms). Every two names Windows
// takes for one file are one here too; a few that it keeps apart ("σ" and
// "ς") are one here, so a publisher refuses a release it could have taken
// rather than let one file overwrite another.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace base {

// The upper-case form of one UTF-16 unit.
char16_t WindowsUpperCase(char16_t unit);

// `utf8` with every character upper-cased as above; empty when it is not
// well-formed UTF-8 (no overlong forms, no encoded surrogates).
std::optional<std::string> WindowsCaseKey(std::string_view utf8);

}  // namespace base
