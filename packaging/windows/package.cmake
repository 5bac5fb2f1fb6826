# The release package of each edition for the architecture being built: a zip under
# <build>/package, made by the target package_windows (part of the default build).
#   vorlex.dll (stripped), include/ (vorlex.h and the edition's header), lib/vorlex.def,
#   lib/libvorlex.dll.a (MinGW), lib/vorlex.lib (MSVC, short import format), README.txt
find_program(VORLEX_LLVM_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool REQUIRED)
find_program(VORLEX_ZIP zip REQUIRED)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_windows_bits 32)
  set(_llvm_machine i386)
  # 32-bit callers reference _NAME@N; -k makes the libraries import the plain NAME.
  set(_implib_def vorlex-decorated.def)
else()
  set(_windows_bits 64)
  set(_llvm_machine i386:x86-64)
  # No decoration on x64: the decorated list would make symbols named NAME@N.
  set(_implib_def vorlex.def)
endif()

set(_package_dir ${CMAKE_BINARY_DIR}/package)
set(_package_zips "")
foreach(edition IN LISTS VORLEX_EDITIONS)
  set(name vorlex-${PROJECT_VERSION}-${edition}-win${_windows_bits})
  set(stage ${_package_dir}/${name})
  set(zip ${_package_dir}/${name}.zip)
  set(generated ${VORLEX_GENERATED_DIR}/${edition})
  set(headers "")
  foreach(header IN LISTS VORLEX_EDITION_HEADERS_${edition})
    list(APPEND headers ${PROJECT_SOURCE_DIR}/${header})
  endforeach()
  add_custom_command(
    OUTPUT ${zip}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage} ${zip}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}/include ${stage}/lib
    COMMAND ${CMAKE_STRIP} --strip-unneeded -o ${stage}/vorlex.dll $<TARGET_FILE:vorlex_${edition}>
    COMMAND ${CMAKE_COMMAND} -E copy ${headers} ${stage}/include/
    COMMAND ${CMAKE_COMMAND} -E copy ${generated}/vorlex.def ${stage}/lib/vorlex.def
    COMMAND ${CMAKE_DLLTOOL} -k -d ${generated}/${_implib_def} -D vorlex.dll
            -l ${stage}/lib/libvorlex.dll.a
    COMMAND ${VORLEX_LLVM_DLLTOOL} -m ${_llvm_machine} -k -d ${generated}/${_implib_def}
            -D vorlex.dll -l ${stage}/lib/vorlex.lib
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/README.txt ${stage}/README.txt
    COMMAND ${VORLEX_ZIP} -q -X -r ${zip} ${name}
    WORKING_DIRECTORY ${_package_dir}
    DEPENDS vorlex_${edition} ${headers} ${generated}/vorlex.def ${generated}/${_implib_def}
            ${CMAKE_CURRENT_LIST_DIR}/README.txt
    COMMENT "Packaging ${name}.zip"
    VERBATIM)
  set(VORLEX_WINDOWS_PACKAGE_${edition} ${zip})
  list(APPEND _package_zips ${zip})
endforeach()
add_custom_target(package_windows ALL DEPENDS ${_package_zips})
