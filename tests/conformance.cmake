# SPDX-License-Identifier: Apache-2.0
# The platform's conformance tests: the kernel tests (tests/platform) and the device tests
# (tests/device), built against another implementation of the seam. KX_PORT names a directory
# whose .cpp files (all of them, in every subfolder) implement the headers of platform/. They are
# linked into the test programs as object files, so every function they define is the one the
# tests call; a function they do not define comes from the tree's platform library, which
# supplies only what is still missing. A port may so replace the kernel alone, or the whole seam.
# KX_PORT_ENV (VAR=value ...) is the environment the tests run in, for an implementation that
# chooses at run time. `make conformance PORT=DIR [PORT_ENV=...]` configures, builds and runs.
set(KX_PORT "" CACHE PATH "Sources implementing the platform seam, for the conformance tests")
set(KX_PORT_ENV "" CACHE STRING "Environment (VAR=value ...) of the conformance tests")
if(KX_PORT STREQUAL "")
  return()
endif()

file(GLOB_RECURSE KX_PORT_SOURCES CONFIGURE_DEPENDS ${KX_PORT}/*.cpp)
if(NOT KX_PORT_SOURCES)
  message(FATAL_ERROR "KX_PORT: no .cpp file under ${KX_PORT}")
endif()
add_library(kxport OBJECT ${KX_PORT_SOURCES})
target_include_directories(kxport PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kxport PUBLIC Threads::Threads)

separate_arguments(KX_PORT_ENVIRONMENT UNIX_COMMAND "${KX_PORT_ENV}")
set(KX_PORT_PROPERTIES TIMEOUT 600 LABELS conformance)
if(KX_PORT_ENVIRONMENT)
  list(APPEND KX_PORT_PROPERTIES ENVIRONMENT "${KX_PORT_ENVIRONMENT}")
endif()

add_custom_target(conformance)
foreach(dir platform device)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
  add_executable(conformance_${dir} ${sources})
  # The port's objects first: the libraries after them only fill in what the port left out.
  target_link_libraries(conformance_${dir} PRIVATE kxport kxtestsupport GTest::gtest_main)
  target_compile_definitions(conformance_${dir} PRIVATE KX_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                             KX_BINARY_DIR="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(conformance_${dir} TEST_PREFIX conformance. DISCOVERY_TIMEOUT 60
                       PROPERTIES ${KX_PORT_PROPERTIES})
  add_dependencies(conformance conformance_${dir})
endforeach()
