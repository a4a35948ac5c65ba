# GoogleTest for a cross build: the host's libgtest is built for the host, so the tests get their
# own GoogleTest built from Debian's source package (googletest, in /usr/src/googletest) with the
# cross compiler. Provides the same GTest::gtest and GTest::gtest_main targets as
# find_package(GTest).
set(KESTRUNE_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(NOT EXISTS ${KESTRUNE_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${KESTRUNE_GOOGLETEST_SOURCE}: "
                      "install Debian's googletest package")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
# SYSTEM: its headers are system headers for the tests, as the host's /usr/include ones are.
add_subdirectory(${KESTRUNE_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
# GoogleTest 1.12 names its targets GTest::... itself; older sources do not.
if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
