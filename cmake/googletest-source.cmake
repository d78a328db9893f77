# GoogleTest built from Debian's source package (googletest) for the target,
# under the names find_package(GTest) gives.
set(googletest_source /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${googletest_source}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${googletest_source} (Debian package googletest)")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
add_subdirectory(${googletest_source} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Its code is not ours to hold to our warnings.
set_target_properties(gtest gtest_main PROPERTIES COMPILE_OPTIONS "")
if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
