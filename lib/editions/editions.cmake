# The two editions: one library each, both named vorlex, in <build>/epurse and <build>/display.
# What an edition compiles and exports is decided here and in exports.txt, nowhere else.
# On Linux each folder holds libvorlex.so.1.0.0 (SONAME libvorlex.so.1) and the links
# libvorlex.so.1 and libvorlex.so; programs linked against an edition record libvorlex.so.1.

add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/../link/com_port_map ${CMAKE_BINARY_DIR}/com_port_map)
add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/../common/mifare_access ${CMAKE_BINARY_DIR}/mifare_access)

set(VORLEX_EDITIONS epurse display)
# The core: the link, the request and answer conventions, the reader's command table and the
# byte-level requests (APDU relay, purchase modules). No exports, no text conventions of the C
# calls, no exceptions, nothing on the heap: the editions, the PC/SC driver and the agent are
# front ends over it.
set(VORLEX_CORE_SOURCES
  lib/link/frame.cpp
  lib/common/command.cpp
  lib/common/hex_text.cpp
  lib/commands/apdu_request.cpp
  lib/purchase/purchase_requests.cpp)
# The C exports both editions have, then each edition's own.
set(VORLEX_COMMON_SOURCES
  lib/commands/reader_port.cpp
  lib/commands/housekeeping.cpp
  lib/commands/iso14443.cpp
  lib/commands/apdu.cpp
  lib/commands/rfsim.cpp
  lib/editions/edition.cpp)
set(VORLEX_EDITION_SOURCES_epurse lib/purchase/purchase_modules.cpp)
set(VORLEX_EDITION_SOURCES_display lib/commands/display.cpp)
set(VORLEX_EDITION_DEFINE_epurse VORLEX_EDITION_EPURSE)
set(VORLEX_EDITION_DEFINE_display VORLEX_EDITION_DISPLAY)
set(VORLEX_EDITION_HEADERS_epurse include/vorlex.h include/vorlex_epurse.h)
set(VORLEX_EDITION_HEADERS_display include/vorlex.h include/vorlex_display.h)
if(WIN32)
  set(VORLEX_PORT_SOURCES lib/link/serial_port_win32.cpp)
  set(VORLEX_EDITION_ENTRY_SOURCES lib/editions/dll_main.cpp)
else()
  set(VORLEX_PORT_SOURCES lib/link/serial_port_posix.cpp)
  set(VORLEX_EDITION_ENTRY_SOURCES)
endif()

list(TRANSFORM VORLEX_CORE_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/ OUTPUT_VARIABLE _vorlex_core)
list(TRANSFORM VORLEX_PORT_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/ OUTPUT_VARIABLE _vorlex_port)
add_library(vorlex_core STATIC ${_vorlex_core} ${_vorlex_port})
# Nothing throws and nothing asks for a type at run time: without the C++ runtime's exception
# and type support the core needs the C library alone, in a shared library or a program.
target_compile_options(vorlex_core PRIVATE -fno-exceptions -fno-rtti)
target_include_directories(vorlex_core PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/lib>
                                              $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>)
target_link_libraries(vorlex_core PUBLIC vorlex_com_port_map)
set_target_properties(vorlex_core PROPERTIES
  POSITION_INDEPENDENT_CODE ON
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)

# Reads exports.txt into VORLEX_EXPORTS_<edition> (names) and VORLEX_ARGBYTES_<name>.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/exports.txt _vorlex_export_lines REGEX "^[A-Za-z_]")
foreach(edition IN LISTS VORLEX_EDITIONS)
  set(VORLEX_EXPORTS_${edition})
endforeach()
foreach(line IN LISTS _vorlex_export_lines)
  string(REGEX REPLACE "[ \t]+" ";" fields "${line}")
  list(POP_FRONT fields name bytes)
  set(VORLEX_ARGBYTES_${name} ${bytes})
  foreach(edition IN LISTS fields)
    list(APPEND VORLEX_EXPORTS_${edition} ${name})
  endforeach()
endforeach()

set(VORLEX_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)

# Writes the edition's version script, .def (undecorated names; NAME=NAME@N on 32-bit x86) and
# the plain list the tests compare the built symbol table with.
function(vorlex_write_export_files edition)
  set(version_script "{\n  global:\n")
  set(def "LIBRARY vorlex.dll\nEXPORTS\n")
  set(def_decorated "LIBRARY vorlex.dll\nEXPORTS\n")
  set(plain "")
  foreach(name IN LISTS VORLEX_EXPORTS_${edition})
    string(APPEND version_script "    ${name};\n")
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      string(APPEND def "  ${name}=${name}@${VORLEX_ARGBYTES_${name}}\n")
    else()
      string(APPEND def "  ${name}\n")
    endif()
    string(APPEND def_decorated "  ${name}@${VORLEX_ARGBYTES_${name}}\n")
    string(APPEND plain "${name} ${VORLEX_ARGBYTES_${name}}\n")
  endforeach()
  string(APPEND version_script "  local:\n    *;\n};\n")
  set(dir ${VORLEX_GENERATED_DIR}/${edition})
  file(CONFIGURE OUTPUT ${dir}/vorlex.map CONTENT "${version_script}")
  file(CONFIGURE OUTPUT ${dir}/vorlex.def CONTENT "${def}")
  file(CONFIGURE OUTPUT ${dir}/vorlex-decorated.def CONTENT "${def_decorated}")
  file(CONFIGURE OUTPUT ${dir}/exports.txt CONTENT "${plain}")
endfunction()

foreach(edition IN LISTS VORLEX_EDITIONS)
  vorlex_write_export_files(${edition})
  set(target vorlex_${edition})
  add_library(${target} SHARED
    ${VORLEX_COMMON_SOURCES} ${VORLEX_EDITION_SOURCES_${edition}} ${VORLEX_EDITION_ENTRY_SOURCES})
  target_compile_definitions(${target} PRIVATE ${VORLEX_EDITION_DEFINE_${edition}}
                                               VORLEX_BUILDING_LIBRARY)
  # Nothing throws and nothing asks for a type at run time: without the C++ runtime's exception
  # and type support the library needs the C library alone.
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  target_link_libraries(${target} PRIVATE vorlex_core)
  target_include_directories(${target}
    PRIVATE ${PROJECT_SOURCE_DIR}/lib
    PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:include>)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME vorlex
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${edition}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${edition}
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${edition}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    VORLEX_EDITION ${edition})
  set(export_dir ${VORLEX_GENERATED_DIR}/${edition})
  if(WIN32)
    set_target_properties(${target} PROPERTIES PREFIX "")
    target_sources(${target} PRIVATE ${export_dir}/vorlex.def)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  else()
    # Linked by the C driver, so that libstdc++ is not even offered: a use of it fails the link
    # (--no-undefined) instead of adding a dependency.
    set_target_properties(${target} PROPERTIES
      VERSION ${PROJECT_VERSION}
      SOVERSION ${PROJECT_VERSION_MAJOR}
      LINKER_LANGUAGE C)
    target_link_options(${target} PRIVATE
      -Wl,--version-script=${export_dir}/vorlex.map -Wl,--no-undefined)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${export_dir}/vorlex.map)
  endif()
endforeach()
