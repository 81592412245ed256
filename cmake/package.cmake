# SPDX-License-Identifier: Apache-2.0
# Installation and packaging: `cmake --install` puts kxplay in bin/, its manual page in
# share/man/man1/, the module's static libraries in lib/ and the public headers in
# include/kxaudio/ (cmake/public_headers.cmake lists them; under the paths used in the tree), and
# LICENSE in share/doc/kxaudio/.
# Nothing installed names an absolute path but kxaudio.pc's prefix= line, so the installed tree
# may be moved.
# Another CMake project links kxaudio::kxaudio after find_package(kxaudio): the module together
# with the platform it runs on here. lib/pkgconfig/kxaudio.pc gives the same to other builds.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KX_PACKAGE_TARGETS kxaudio kxpool kxwav kxpath kxdxmix kxplatform)
set(KX_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/kxaudio)
set(KX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kxaudio)

# In the tree the libraries publish the source root as their include directory; installed, they
# publish include/kxaudio, which holds the headers under the same relative paths.
foreach(target ${KX_PACKAGE_TARGETS})
  get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
  set(wrapped "$<INSTALL_INTERFACE:${KX_INSTALL_INCLUDEDIR}>")
  foreach(dir ${dirs})
    list(APPEND wrapped "$<BUILD_INTERFACE:${dir}>")
  endforeach()
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${wrapped}")
endforeach()
target_compile_features(kxaudio PUBLIC cxx_std_20)
# The same name in the tree as after find_package, so the example builds either way.
add_library(kxaudio::kxaudio ALIAS kxaudio)

install(TARGETS ${KX_PACKAGE_TARGETS} EXPORT kxaudioTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT kxaudioTargets NAMESPACE kxaudio:: DESTINATION ${KX_INSTALL_CMAKEDIR})
include(${CMAKE_CURRENT_LIST_DIR}/public_headers.cmake)
foreach(header ${KX_PUBLIC_HEADERS})
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${header} DESTINATION ${KX_INSTALL_INCLUDEDIR}/${dir})
endforeach()
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(TARGET kxplay)
  install(TARGETS kxplay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES docs/kxplay.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# What the libraries link besides each other: imported targets only (Threads::Threads,
# ALSA::ALSA, Boost::context), each becoming a find_dependency call of the package and link
# flags of the pkg-config file. A library named by its path would put that path in both, so
# the configure refuses one.
set(KX_FIND_DEPENDENCY_Threads "Threads")
set(KX_PKGCONFIG_FLAGS_Threads "-pthread")
set(KX_FIND_DEPENDENCY_ALSA "ALSA")
set(KX_PKGCONFIG_FLAGS_ALSA "-lasound")
set(KX_FIND_DEPENDENCY_Boost "Boost CONFIG COMPONENTS context")
set(KX_PKGCONFIG_FLAGS_Boost "-lboost_context")
set(KX_PACKAGE_DEPENDENCIES "")
set(KX_PKGCONFIG_LIBS "")
foreach(target ${KX_PACKAGE_TARGETS})
  list(APPEND KX_PKGCONFIG_LIBS "-l${target}")
  get_target_property(links ${target} LINK_LIBRARIES)
  if(NOT links)
    continue()
  endif()
  foreach(link ${links})
    if(link MATCHES "^([A-Za-z0-9_]+)::" AND NOT link IN_LIST KX_PACKAGE_TARGETS)
      list(APPEND KX_PACKAGE_DEPENDENCIES ${CMAKE_MATCH_1})
    elseif(NOT link IN_LIST KX_PACKAGE_TARGETS)
      message(FATAL_ERROR "${target} links ${link}, not an imported target: the package would "
                          "carry it as it is")
    endif()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES KX_PACKAGE_DEPENDENCIES)
set(KX_PKGCONFIG_EXTRA "")
set(KX_PACKAGE_FIND_DEPENDENCIES "")
foreach(dependency ${KX_PACKAGE_DEPENDENCIES})
  if(NOT DEFINED KX_FIND_DEPENDENCY_${dependency})
    message(FATAL_ERROR "kxaudio's package: nothing known of the dependency ${dependency}")
  endif()
  string(APPEND KX_PACKAGE_FIND_DEPENDENCIES "find_dependency(${KX_FIND_DEPENDENCY_${dependency}})\n")
  list(APPEND KX_PKGCONFIG_EXTRA ${KX_PKGCONFIG_FLAGS_${dependency}})
endforeach()
list(JOIN KX_PKGCONFIG_LIBS " " KX_PKGCONFIG_LIBS)
# The prefix is found from the .pc file's own place, so an installed tree may be moved.
file(RELATIVE_PATH KX_PKGCONFIG_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
string(REGEX REPLACE "/$" "" KX_PKGCONFIG_TO_PREFIX "${KX_PKGCONFIG_TO_PREFIX}")
list(JOIN KX_PKGCONFIG_EXTRA " " KX_PKGCONFIG_EXTRA)

configure_package_config_file(cmake/kxaudioConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/kxaudioConfig.cmake
                              INSTALL_DESTINATION ${KX_INSTALL_CMAKEDIR})
# The version file also records the libraries' word size. The -m32 build's compiler was detected
# without -m32 (the flag is added per target), so CMake takes it for 64-bit; the file must say
# what the package holds, or a 32-bit host's find_package(kxaudio) is refused it.
function(kx_write_version_file)
  if(KX_M32)
    set(CMAKE_SIZEOF_VOID_P 4)
  endif()
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kxaudioConfigVersion.cmake
                                   COMPATIBILITY SameMinorVersion)
endfunction()
kx_write_version_file()
configure_file(cmake/kxaudio.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kxaudio.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kxaudioConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/kxaudioConfigVersion.cmake
        DESTINATION ${KX_INSTALL_CMAKEDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kxaudio.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The example, in the tree and against an installed prefix; each run is compared with kxplay's
# render of the same sound (tests/install/example_test.cmake).
if(KX_TESTS AND TARGET kxplay)
  # Flags that a consumer of these libraries needs as well: the sanitizers' runtimes, -m32.
  set(consumer_flags "")
  if(KX_SANITIZE STREQUAL "address")
    set(consumer_flags "-fsanitize=address,undefined")
  elseif(KX_SANITIZE STREQUAL "thread")
    set(consumer_flags "-fsanitize=thread")
  endif()
  if(KX_M32)
    string(APPEND consumer_flags " -m32 -msse2")
  endif()
  foreach(mode in_tree installed pkgconfig)
    add_test(NAME example.${mode}
             COMMAND ${CMAKE_COMMAND} -DMODE=${mode} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                     -DBINARY_DIR=${PROJECT_BINARY_DIR} -DWORK_DIR=${PROJECT_BINARY_DIR}/example-${mode}
                     -DEXAMPLE=$<TARGET_FILE:kxembed> -DKXPLAY=$<TARGET_FILE:kxplay>
                     -DCXX=${CMAKE_CXX_COMPILER} -DBUILD_TYPE=${CMAKE_BUILD_TYPE}
                     "-DFLAGS=${consumer_flags}"
                     -P ${PROJECT_SOURCE_DIR}/tests/install/example_test.cmake)
    set_tests_properties(example.${mode} PROPERTIES TIMEOUT 600 LABELS install
                         SKIP_REGULAR_EXPRESSION "-- skipped: ")
  endforeach()
endif()
