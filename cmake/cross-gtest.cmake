# Cross builds find no GoogleTest for the target: build it from Debian's
# sources with the cross compiler. Its in-tree targets carry the GTest::
# aliases; an empty redirect config makes find_package(GTest) accept them.
set(KESTRODE_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${KESTRODE_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "no GoogleTest sources in ${KESTRODE_GTEST_SOURCE} (apt-get install googletest)")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${KESTRODE_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/gtest-config.cmake
  "# GoogleTest is built in this tree (cmake/cross-gtest.cmake).\n")
