# Small PE libraries with and without version resources, made from the
# resource scripts in engine/pe_fixtures/ by mingw-w64's resource compiler and
# linker: PE32+ with the x86-64 tools, PE32 with the i686 ones. The tests find
# them in PE_FIXTURE_DIR as NAME.dll.
set(pe_fixture_sources ${CMAKE_CURRENT_LIST_DIR}/pe_fixtures)
set(pe_fixture_dir ${CMAKE_CURRENT_BINARY_DIR}/pe_fixtures)
file(MAKE_DIRECTORY ${pe_fixture_dir})

foreach(arch x86_64 i686)
  foreach(tool windres ld as)
    find_program(HARBINOR_MINGW_${arch}_${tool} ${arch}-w64-mingw32-${tool} REQUIRED)
  endforeach()
endforeach()
find_program(HARBINOR_CPP cpp REQUIRED)

# NAME:ARCH; the name "bare" has no resources at all.
set(pe_fixtures
  version_comma:x86_64 version_dots:i686 two_versions:x86_64 named_version:i686 named_only:x86_64
  languages:x86_64 no_version:x86_64 layout:i686 bare:i686)

set(pe_fixture_files)
foreach(fixture ${pe_fixtures})
  string(REPLACE ":" ";" fixture ${fixture})
  list(GET fixture 0 name)
  list(GET fixture 1 arch)
  set(object ${pe_fixture_dir}/${name}.o)
  set(library ${pe_fixture_dir}/${name}.dll)
  if(name STREQUAL "bare")
    set(source)
    set(compile ${HARBINOR_MINGW_${arch}_as} -o ${object} /dev/null)
  else()
    set(source ${pe_fixture_sources}/${name}.rc)
    set(compile ${HARBINOR_MINGW_${arch}_windres} --preprocessor=${HARBINOR_CPP} -O coff -o ${object} ${source})
  endif()
  add_custom_command(OUTPUT ${library}
    COMMAND ${compile}
    COMMAND ${HARBINOR_MINGW_${arch}_ld} --dll -e 0 -nostdlib -o ${library} ${object}
    DEPENDS ${source}
    COMMENT "PE fixture ${name}.dll"
    VERBATIM)
  list(APPEND pe_fixture_files ${library})
endforeach()

add_custom_target(engine_pe_fixtures DEPENDS ${pe_fixture_files})
add_dependencies(engine_tests engine_pe_fixtures)
target_compile_definitions(engine_tests PRIVATE PE_FIXTURE_DIR="${pe_fixture_dir}")
