# Makes the built-in string table from builtin_strings.txt: the C++ table
# (string_table.cpp) and the Windows string resource (string_table.rc).
#   cmake -DLIST=... -DOUT_CPP=... -DOUT_RC=... -DHARBINOR_DOWNLOAD_PAGE=... -P make_string_table.cmake
file(STRINGS "${LIST}" lines ENCODING UTF-8)
set(cpp "// Generated from resources/builtin_strings.txt; do not edit.\n#include \"resources/string_table.h\"\n\nnamespace resources {\n\nconst BuiltinString kBuiltinStrings[] = {\n")
set(rc "// Generated from resources/builtin_strings.txt; do not edit.\nSTRINGTABLE\nBEGIN\n")
set(count 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^#" OR line STREQUAL "")
    continue()
  endif()
  if(NOT line MATCHES "^([0-9]+)\t(.*)$")
    message(FATAL_ERROR "${LIST}: not \"id<tab>text\": ${line}")
  endif()
  set(id ${CMAKE_MATCH_1})
  set(text "${CMAKE_MATCH_2}")
  string(CONFIGURE "${text}" text @ONLY)
  # The list's escapes (\n, \\) are those of both C++ and the resource
  # compiler; a quote is written \" in C++ and "" in a resource script.
  string(REPLACE "\"" "\\\"" cppText "${text}")
  string(REPLACE "\"" "\"\"" rcText "${text}")
  string(APPEND cpp "    {${id}, \"${cppText}\"},\n")
  string(APPEND rc "  ${id}, \"${rcText}\"\n")
  math(EXPR count "${count} + 1")
endforeach()
string(APPEND cpp "};\n\nconst std::size_t kBuiltinStringCount = ${count};\n\n}  // namespace resources\n")
string(APPEND rc "END\n")
file(WRITE "${OUT_CPP}.new" "${cpp}")
file(WRITE "${OUT_RC}.new" "${rc}")
# Written only when changed, so that nothing is rebuilt for nothing.
file(COPY_FILE "${OUT_CPP}.new" "${OUT_CPP}" ONLY_IF_DIFFERENT)
file(COPY_FILE "${OUT_RC}.new" "${OUT_RC}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT_CPP}.new" "${OUT_RC}.new")
