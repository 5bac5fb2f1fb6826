# Where an install puts things, shared by the install rules and the command-line tool (which
# finds the libraries relative to itself). Both editions' libraries are named libvorlex.so, so
# each gets a folder: <libdir>/vorlex/epurse and <libdir>/vorlex/display.
include(GNUInstallDirs)

set(VORLEX_INSTALL_LIBRARIES_DIR ${CMAKE_INSTALL_LIBDIR}/vorlex)
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  file(RELATIVE_PATH VORLEX_INSTALL_BIN_TO_LIBRARIES
       ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR}/vorlex)
else()
  file(RELATIVE_PATH VORLEX_INSTALL_BIN_TO_LIBRARIES
       /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${VORLEX_INSTALL_LIBRARIES_DIR})
endif()
