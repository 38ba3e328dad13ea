# Read by cpack before it builds the package (CPACK_PROJECT_CONFIG_FILE). CPack dates every
# member of the .deb's archives from SOURCE_DATE_EPOCH, and from the clock when it is unset.
# As in Debian's reproducible builds, an unset SOURCE_DATE_EPOCH becomes the date of the commit
# built, or, in a source tree outside git, that of the changelog's newest entry, as
# dpkg-buildpackage does.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  message(STATUS "SOURCE_DATE_EPOCH=$ENV{SOURCE_DATE_EPOCH}, from the environment")
  return()
endif()

# An empty prefix says the source directory is the top of a git work tree, not a directory that
# happens to lie inside some other repository.
execute_process(COMMAND git -C ${CPACK_VELORN_SOURCE_DIR} rev-parse --show-prefix
  OUTPUT_VARIABLE prefix RESULT_VARIABLE not_git OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT not_git AND prefix STREQUAL "")
  execute_process(COMMAND git -C ${CPACK_VELORN_SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(origin "the commit's date")
else()
  execute_process(COMMAND dpkg-parsechangelog -l ${CPACK_VELORN_CHANGELOG} -STimestamp
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(origin "the changelog's date, outside git")
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "no date for SOURCE_DATE_EPOCH from ${origin}: '${epoch}'")
endif()
set(ENV{SOURCE_DATE_EPOCH} ${epoch})
message(STATUS "SOURCE_DATE_EPOCH=${epoch}, ${origin}")
