# `cmake --install`: both editions side by side, the headers, the tools, a CMake package
# (find_package(vorlex) -> vorlex::epurse, vorlex::display) and pkg-config files.
#
#   <prefix>/include/vorlex.h, vorlex_epurse.h, vorlex_display.h
#   <prefix>/<libdir>/vorlex/epurse/libvorlex.so.1.0.0 (one folder per edition: same file name;
#   <prefix>/<libdir>/vorlex/display/libvorlex.so.1.0.0  each beside its links libvorlex.so.1,
#                                                      the SONAME, and libvorlex.so)
#   <prefix>/<libdir>/cmake/vorlex/                   vorlexConfig.cmake and friends
#   <prefix>/<libdir>/pkgconfig/vorlex-epurse.pc, vorlex-display.pc
#   <prefix>/bin/vorlex, vorlex-sim, vorlex-tap       (native builds with the tools)
#   <prefix>/share/doc/vorlex/                        cli.md, simulator.md, tap.md
#   <prefix>/share/man/man1/, man3/                   the manual pages (docs/man.cmake)
#
# The package and the .pc files locate the prefix from their own place, so a tree installed
# with --prefix elsewhere (or moved) still works.
#
# Each part is a component, and each Debian package (debian/rules) takes one:
#   runtime      both editions' libvorlex.so.1.0.0 and libvorlex.so.1      -> libvorlex1
#   development  headers, the libvorlex.so links, CMake and pkg-config
#                files, libvorlex(3)                                     -> libvorlex-dev
#   tools        vorlex, vorlex-sim, vorlex-tap, their pages and docs     -> vorlex-tools
#   pcsc_driver  the PC/SC driver (lib/pcsc)                              -> libifd-vorlex
#   agent        vorlex-agent and vorlex-agent(1)                         -> vorlex-agent
include(${CMAKE_CURRENT_LIST_DIR}/vorlex_layout.cmake)
include(CMakePackageConfigHelpers)

set(VORLEX_INSTALL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vorlex)
set(VORLEX_INSTALL_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

foreach(edition IN LISTS VORLEX_EDITIONS)
  set_target_properties(vorlex_${edition} PROPERTIES EXPORT_NAME ${edition})
  install(TARGETS vorlex_${edition} EXPORT vorlexTargets
    LIBRARY DESTINATION ${VORLEX_INSTALL_LIBRARIES_DIR}/${edition}
      COMPONENT runtime NAMELINK_COMPONENT development
    RUNTIME DESTINATION ${VORLEX_INSTALL_LIBRARIES_DIR}/${edition} COMPONENT runtime
    ARCHIVE DESTINATION ${VORLEX_INSTALL_LIBRARIES_DIR}/${edition} COMPONENT development)
endforeach()

install(FILES
  ${PROJECT_SOURCE_DIR}/include/vorlex.h
  ${PROJECT_SOURCE_DIR}/include/vorlex_epurse.h
  ${PROJECT_SOURCE_DIR}/include/vorlex_display.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

install(EXPORT vorlexTargets NAMESPACE vorlex:: DESTINATION ${VORLEX_INSTALL_CMAKE_DIR}
  COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vorlexConfig.cmake.in
  ${CMAKE_BINARY_DIR}/install/vorlexConfig.cmake
  INSTALL_DESTINATION ${VORLEX_INSTALL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/install/vorlexConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/install/vorlexConfig.cmake
  ${CMAKE_BINARY_DIR}/install/vorlexConfigVersion.cmake
  DESTINATION ${VORLEX_INSTALL_CMAKE_DIR} COMPONENT development)

if(NOT WIN32)
  # The editions' folders are not on the loader's path, so the .pc files carry an rpath.
  file(RELATIVE_PATH VORLEX_PC_TO_PREFIX /prefix/${VORLEX_INSTALL_PKGCONFIG_DIR} /prefix)
  string(REGEX REPLACE "/$" "" VORLEX_PC_TO_PREFIX "${VORLEX_PC_TO_PREFIX}")
  foreach(edition IN LISTS VORLEX_EDITIONS)
    set(VORLEX_PC_EDITION ${edition})
    configure_file(${CMAKE_CURRENT_LIST_DIR}/vorlex.pc.in
      ${CMAKE_BINARY_DIR}/install/vorlex-${edition}.pc @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/install/vorlex-${edition}.pc
      DESTINATION ${VORLEX_INSTALL_PKGCONFIG_DIR} COMPONENT development)
  endforeach()
endif()

foreach(tool vorlex_cli vorlex_sim vorlex_tap)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()
if(TARGET vorlex_cli OR TARGET vorlex_sim)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/cli.md ${PROJECT_SOURCE_DIR}/docs/simulator.md
    ${PROJECT_SOURCE_DIR}/docs/tap.md
    DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tools OPTIONAL)
endif()

# The agent (component agent -> the package vorlex-agent; its unit and configuration come from
# debian/).
if(TARGET vorlex_agent)
  install(TARGETS vorlex_agent RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT agent)
endif()

if(NOT WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/man_pages.cmake)
endif()

# Everything `cmake --install` takes from this build: `cmake --build --preset release --target
# vorlex_installable` (scripts/demo builds it) makes a tree that installs whole. The rules above
# stay strict: an install of a tree where something they name was not built fails, rather than
# leave a piece out without a word.
add_custom_target(vorlex_installable)
list(TRANSFORM VORLEX_EDITIONS PREPEND vorlex_ OUTPUT_VARIABLE _vorlex_edition_targets)
foreach(target IN LISTS _vorlex_edition_targets ITEMS vorlex_cli vorlex_sim vorlex_tap vorlex_agent
                                                      vorlex_pcsc_driver vorlex_man_pages)
  if(TARGET ${target})
    add_dependencies(vorlex_installable ${target})
  endif()
endforeach()
