# The Debian version of a package build: the program's revision (ZELRevision) and, where the
# source is a git clone with its history, "+git" and the number of commits up to the built one.
# A later commit has more commits behind it, so each build of a later commit sorts higher, also
# when the revision stays the same; the program's own revision texts keep the plain revision.
# Without git or without the history (a shallow clone) the version is the plain revision, which
# sorts below every build of that revision made from a full clone.
#
# Included: zel_package_version(<var> <source dir> <commit>) and zel_revision(<var> <text>).
# As a script it prints the version of one commit, read from that commit's own sources:
#   cmake -DZEL_SOURCE_DIR=<dir> [-DZEL_COMMIT=HEAD^] -P cmake/ZelVersion.cmake

# The number of ZELRevision in the text of service/dmq_zel_svc_globals.hpp.
function(zel_revision out text)
  string(REGEX MATCH "ZELRevision = ([0-9]+)" _m "${text}")
  if(NOT CMAKE_MATCH_1)
    message(FATAL_ERROR "ZELRevision not found in service/dmq_zel_svc_globals.hpp")
  endif()
  set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

# The version of the commit <commit> (HEAD: the working tree's revision with HEAD's count).
function(zel_package_version out source_dir commit)
  set(_globals service/dmq_zel_svc_globals.hpp)
  find_package(Git QUIET)
  set(_count "")
  if(GIT_EXECUTABLE)
    execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --is-shallow-repository
                    WORKING_DIRECTORY "${source_dir}" RESULT_VARIABLE _rc OUTPUT_VARIABLE _shallow
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(_rc EQUAL 0 AND _shallow STREQUAL "false")
      execute_process(COMMAND "${GIT_EXECUTABLE}" rev-list --count "${commit}"
                      WORKING_DIRECTORY "${source_dir}" RESULT_VARIABLE _rc OUTPUT_VARIABLE _count
                      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(NOT _rc EQUAL 0 OR NOT _count MATCHES "^[0-9]+$")
        set(_count "")
      endif()
    elseif(_rc EQUAL 0)
      message(WARNING "A shallow clone: the package version is the plain revision, without the commit count")
    endif()
  endif()
  if(commit STREQUAL "HEAD" OR _count STREQUAL "")
    if(NOT commit STREQUAL "HEAD")
      message(FATAL_ERROR "No history to read the commit ${commit} from")
    endif()
    file(READ "${source_dir}/${_globals}" _text)
  else()
    execute_process(COMMAND "${GIT_EXECUTABLE}" show "${commit}:${_globals}"
                    WORKING_DIRECTORY "${source_dir}" RESULT_VARIABLE _rc OUTPUT_VARIABLE _text ERROR_QUIET)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR "${_globals} not found in the commit ${commit}")
    endif()
  endif()
  zel_revision(_rev "${_text}")
  if(_count STREQUAL "")
    set(${out} "${_rev}" PARENT_SCOPE)
  else()
    set(${out} "${_rev}+git${_count}" PARENT_SCOPE)
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT ZEL_SOURCE_DIR)
    get_filename_component(ZEL_SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
  endif()
  if(NOT ZEL_COMMIT)
    set(ZEL_COMMIT HEAD)
  endif()
  zel_package_version(_version "${ZEL_SOURCE_DIR}" "${ZEL_COMMIT}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${_version}")
endif()
