# GoogleTest for the mingw-w64 build: compiled from Debian's googletest sources (package
# googletest) together with the project, since Debian ships no Windows build of it.
# The Windows presets point GTest_DIR here, so find_package(GTest) lands in this file.
if(NOT TARGET GTest::gtest)
  set(TARVIK_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for mingw")
  if(NOT EXISTS ${TARVIK_GTEST_SOURCE}/CMakeLists.txt)
    set(GTest_FOUND FALSE)
    set(GTest_NOT_FOUND_MESSAGE "No GoogleTest sources in ${TARVIK_GTEST_SOURCE}")
    return()
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${TARVIK_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
  # GoogleTest's Notification is made of std::mutex and std::condition_variable, which the
  # runtime of the win32 thread model lacks (GCC 12): notification.h stands in for it.
  include(CheckCXXSourceCompiles)
  check_cxx_source_compiles("#include <mutex>\nstd::mutex m;\nint main() {}" TARVIK_HAS_STD_MUTEX)
  if(NOT TARVIK_HAS_STD_MUTEX)
    target_compile_options(gtest PUBLIC -include ${CMAKE_CURRENT_LIST_DIR}/notification.h)
  endif()
  if(NOT TARGET GTest::gtest)  # GoogleTest 1.11 and later define these themselves
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()
set(GTest_FOUND TRUE)
