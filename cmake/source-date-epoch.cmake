# The time the build is of, as seconds since 1970 (TARVIK_SOURCE_DATE_EPOCH), read when
# CMake configures, from the first of:
#   1. the environment's SOURCE_DATE_EPOCH (a build outside a checkout, a packager's);
#   2. the last commit's time (git log -1 %ct) in a git checkout; a new commit or checkout
#      configures again, so the time follows HEAD;
#   3. otherwise the time of this configure run, which makes the build unreproducible.
# TARVIK_SOURCE_DATE_EPOCH_FROM says which one it was; configure prints both.
if(DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH is not a number of seconds: $ENV{SOURCE_DATE_EPOCH}")
  endif()
  set(TARVIK_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
  set(TARVIK_SOURCE_DATE_EPOCH_FROM "the environment's SOURCE_DATE_EPOCH")
else()
  find_package(Git QUIET)
  set(_tarvik_commit_time "")
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE _tarvik_commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET RESULT_VARIABLE _tarvik_git_result)
    if(NOT _tarvik_git_result EQUAL 0)
      set(_tarvik_commit_time "")
    endif()
  endif()
  if(_tarvik_commit_time MATCHES "^[0-9]+$")
    set(TARVIK_SOURCE_DATE_EPOCH ${_tarvik_commit_time})
    set(TARVIK_SOURCE_DATE_EPOCH_FROM "the last commit's time")
    # What moves HEAD (a commit, a checkout, a reset) writes these files.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path HEAD --git-path logs/HEAD
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE _tarvik_git_files OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
    string(REPLACE "\n" ";" _tarvik_git_files "${_tarvik_git_files}")
    foreach(_tarvik_file IN LISTS _tarvik_git_files)
      cmake_path(ABSOLUTE_PATH _tarvik_file BASE_DIRECTORY ${CMAKE_SOURCE_DIR})
      if(EXISTS ${_tarvik_file})
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_tarvik_file})
      endif()
    endforeach()
  else()
    string(TIMESTAMP TARVIK_SOURCE_DATE_EPOCH "%s" UTC)
    set(TARVIK_SOURCE_DATE_EPOCH_FROM
        "this configure run's time (no SOURCE_DATE_EPOCH, not a git checkout): not reproducible")
  endif()
endif()
# string(TIMESTAMP) reads the time from SOURCE_DATE_EPOCH where it is set.
set(_tarvik_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${TARVIK_SOURCE_DATE_EPOCH})
string(TIMESTAMP _tarvik_build_time "%Y-%m-%d %H:%M:%S UTC" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${_tarvik_saved_epoch}")
message(STATUS "Build time ${TARVIK_SOURCE_DATE_EPOCH} (${_tarvik_build_time}), from "
               "${TARVIK_SOURCE_DATE_EPOCH_FROM}")
# For scripts/package, which dates the zip's members with it.
set(TARVIK_SOURCE_DATE_EPOCH ${TARVIK_SOURCE_DATE_EPOCH} CACHE INTERNAL "Build time, seconds since 1970")
