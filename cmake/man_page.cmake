# One manual page from one page of docs/ (cmake -P; run by cmake/man_pages.cmake). The page's
# first line, "# NAME: what it is", becomes the NAME section; the rest is the DESCRIPTION, its
# "##" headings the page's sections and its "###" headings their subsections; tables become
# lists (man_tables.lua).
#   -DSOURCE=docs/x.md -DOUTPUT=x.1 -DSECTION=1 -DVERSION=1.0.0 -DSEE_ALSO="a(1);b(3)"
#   -DPANDOC=/usr/bin/pandoc -DWORK=<scratch file>
file(STRINGS ${SOURCE} first_line LIMIT_COUNT 1)
if(NOT first_line MATCHES "^# ([^:]+): (.+)$")
  message(FATAL_ERROR "${SOURCE}: the first line must read '# NAME: what it is'")
endif()
set(name "${CMAKE_MATCH_1}")
set(description "${CMAKE_MATCH_2}")
file(READ ${SOURCE} body)
string(FIND "${body}" "\n" first_newline)
string(SUBSTRING "${body}" ${first_newline} -1 body)

set(see_also "")
foreach(page IN LISTS SEE_ALSO)
  if(NOT page STREQUAL "${name}(${SECTION})")
    list(APPEND see_also "**${page}**")
  endif()
endforeach()
list(JOIN see_also ", " see_also)
# "##" here is a top-level section once the headings are shifted up by one.
file(WRITE ${WORK} "## NAME\n\n${name} - ${description}\n\n## DESCRIPTION\n${body}\n"
                   "## SEE ALSO\n\n${see_also}\n")
string(TOUPPER "${name}" title)
execute_process(
  COMMAND ${PANDOC} --from=gfm --to=man --standalone --shift-heading-level-by=-1
          --metadata=title:${title} --metadata=section:${SECTION}
          "--metadata=footer:vorlex ${VERSION}" "--metadata=header:VORLEX"
          # Left-aligned, unhyphenated: command names and options stay whole.
          "--variable=header-includes:.ad l" "--variable=header-includes:.nh"
          --lua-filter=${CMAKE_CURRENT_LIST_DIR}/man_tables.lua --output=${OUTPUT} ${WORK}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "pandoc failed on ${SOURCE}")
endif()
