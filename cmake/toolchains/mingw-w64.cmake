# Cross-compiles for Windows with Debian's MinGW-w64 (posix threads variant); the
# per-architecture files set VORLEX_MINGW_PROCESSOR and include this one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VORLEX_MINGW_PROCESSOR})
set(_triple ${VORLEX_MINGW_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)
# The compiler names carry a -posix suffix that hides the binutils prefix from CMake.
foreach(_tool AR RANLIB NM OBJDUMP DLLTOOL STRIP)
  string(TOLOWER ${_tool} _name)
  set(CMAKE_${_tool} /usr/bin/${_triple}-${_name} CACHE FILEPATH "")
endforeach()
set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
