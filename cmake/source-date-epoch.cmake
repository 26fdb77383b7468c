# The one time a build may carry: SOURCE_DATE_EPOCH from the environment
# (https://reproducible-builds.org/specs/source-date-epoch/), otherwise the
# time of the checked-out commit, so that two builds of one commit give the
# same bytes wherever and whenever they run. A source tree without git and
# without the variable gets 0: still reproducible, and plainly not a date.
# Sets KORVA_SOURCE_DATE_EPOCH and writes it to source-date-epoch.txt in the
# build folder, which the link depends on: a new commit restamps the exe.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(KORVA_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
  set(epoch_origin "SOURCE_DATE_EPOCH")
else()
  set(KORVA_SOURCE_DATE_EPOCH 0)
  set(epoch_origin "no git work tree and no SOURCE_DATE_EPOCH")
  find_package(Git QUIET)
  if(GIT_FOUND)
    # Only this tree's own repository: a source tarball unpacked inside some
    # other work tree must not take that one's commit time.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel
      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
      OUTPUT_VARIABLE toplevel OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    get_filename_component(toplevel "${toplevel}" REALPATH)
    get_filename_component(source_dir "${CMAKE_SOURCE_DIR}" REALPATH)
  endif()
  if(GIT_FOUND AND toplevel STREQUAL source_dir)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
      OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path logs/HEAD
      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
      OUTPUT_VARIABLE reflog OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(status EQUAL 0 AND commit_time MATCHES "^[0-9]+$")
      set(KORVA_SOURCE_DATE_EPOCH ${commit_time})
      set(epoch_origin "commit time")
      # Every commit and checkout appends to the reflog: configure again then.
      get_filename_component(reflog "${reflog}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
      if(EXISTS "${reflog}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${reflog}")
      endif()
    endif()
  endif()
endif()
# The PE header keeps it in 32 bits.
if(NOT KORVA_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$" OR KORVA_SOURCE_DATE_EPOCH GREATER 4294967295)
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be whole seconds since 1970 that fit 32 bits, not '${KORVA_SOURCE_DATE_EPOCH}'")
endif()
message(STATUS "SOURCE_DATE_EPOCH ${KORVA_SOURCE_DATE_EPOCH} (${epoch_origin})")
set(KORVA_SOURCE_DATE_EPOCH_FILE ${CMAKE_BINARY_DIR}/source-date-epoch.txt)
file(CONFIGURE OUTPUT ${KORVA_SOURCE_DATE_EPOCH_FILE} CONTENT "${KORVA_SOURCE_DATE_EPOCH}\n")
