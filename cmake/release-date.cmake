# Read by CPack before each package, before it stages the files: the date
# the release's files carry. SOURCE_DATE_EPOCH; when that is not set, the
# date of the commit the sources come from; outside a git checkout,
# 1980-01-01, the earliest date a zip entry can hold. Set here, it is also
# what strip writes into a PE image's header in place of the current time,
# and what dpkg-deb dates a .deb's members with.
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  execute_process(COMMAND git log -1 --format=%ct
                  WORKING_DIRECTORY ${CPACK_SYSGRAB_SOURCE_DIR}
                  OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(failed OR NOT date MATCHES "^[0-9]+$")
    set(date 315532800)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${date})
endif()
message(STATUS "release date: $ENV{SOURCE_DATE_EPOCH} (SOURCE_DATE_EPOCH)")
