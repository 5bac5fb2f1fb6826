# The manual pages, each made from one page of docs/ by pandoc (cmake/man_page.cmake), so the
# page and the docs cannot disagree. VORLEX_MAN_PAGES: AUTO (when pandoc is there), ON, OFF.
set(VORLEX_MAN_PAGES AUTO CACHE STRING "Build the manual pages with pandoc: AUTO, ON or OFF")
if(VORLEX_MAN_PAGES STREQUAL "OFF")
  return()
endif()
if(VORLEX_MAN_PAGES STREQUAL "ON")
  find_program(VORLEX_PANDOC pandoc REQUIRED)
else()
  find_program(VORLEX_PANDOC pandoc)
  if(NOT VORLEX_PANDOC)
    message(STATUS "pandoc not found: no manual pages (Debian's package pandoc makes them)")
    return()
  endif()
endif()

# page;section;source;component
set(_vorlex_man_pages
  "vorlex\;1\;docs/cli.md\;tools"
  "vorlex-sim\;1\;docs/simulator.md\;tools"
  "vorlex-tap\;1\;docs/tap.md\;tools"
  "vorlex-agent\;1\;docs/agent.md\;agent"
  "libvorlex\;3\;docs/libvorlex.md\;development")
set(_vorlex_see_also "")
foreach(entry IN LISTS _vorlex_man_pages)
  list(GET entry 0 page)
  list(GET entry 1 section)
  list(APPEND _vorlex_see_also "${page}(${section})")
endforeach()

set(_vorlex_man_dir ${CMAKE_BINARY_DIR}/man)
set(_vorlex_man_outputs "")
foreach(entry IN LISTS _vorlex_man_pages)
  list(GET entry 0 page)
  list(GET entry 1 section)
  list(GET entry 2 source)
  list(GET entry 3 component)
  set(output ${_vorlex_man_dir}/${page}.${section})
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR}/${source} -DOUTPUT=${output}
            -DSECTION=${section} -DVERSION=${PROJECT_VERSION} "-DSEE_ALSO=${_vorlex_see_also}"
            -DPANDOC=${VORLEX_PANDOC} -DWORK=${_vorlex_man_dir}/${page}.${section}.md
            -P ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/${source} ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
            ${PROJECT_SOURCE_DIR}/cmake/man_tables.lua
    COMMENT "Manual page ${page}(${section}) from ${source}"
    VERBATIM)
  list(APPEND _vorlex_man_outputs ${output})
  install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
    COMPONENT ${component})
endforeach()
add_custom_target(vorlex_man_pages ALL DEPENDS ${_vorlex_man_outputs})
