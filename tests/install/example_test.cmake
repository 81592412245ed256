# SPDX-License-Identifier: Apache-2.0
# The embedding example as an integrator builds it, run and compared with kxplay's render of the
# same sound (kxplay's stepped output is the proven one). MODE:
#   in_tree    the example and kxplay of this build tree;
#   installed  this tree installed to a fresh prefix, the example configured as a project of its
#              own with find_package(kxaudio), built and run, against the installed kxplay;
#   pkgconfig  the same prefix, the example compiled with the flags of kxaudio.pc alone.
# Both installed modes check what the tree holds, then move it to another directory, build the
# example from there the same way, and compare its output with the first run's byte for byte.
# Run as cmake -P with MODE, SOURCE_DIR, BINARY_DIR, WORK_DIR, EXAMPLE, KXPLAY, CXX, BUILD_TYPE
# and FLAGS (what a consumer needs besides, e.g. the sanitizers' runtime).
# The policies of this CMake: without them `if(MODE STREQUAL "installed")` would read the loop
# variable `installed` below, and the installed mode would build with pkg-config instead.
cmake_minimum_required(VERSION 3.22)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "failed (${status}): ${command}\n${out}\n${err}")
  endif()
endfunction()

# pkg-config is looked for when the test runs; without it the pkgconfig mode skips (the test's
# SKIP_REGULAR_EXPRESSION matches the line), naming the package that brings it.
if(MODE STREQUAL "pkgconfig")
  find_program(PKG_CONFIG pkg-config)
  if(NOT PKG_CONFIG)
    message(STATUS "skipped: pkg-config is not installed (Debian package pkg-config)")
    return()
  endif()
endif()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/run)
separate_arguments(flags UNIX_COMMAND "${FLAGS}")

# Builds the example against the installed tree at PREFIX in DIR, as MODE says; the program's
# path goes to OUT.
function(build_example prefix dir out)
  if(MODE STREQUAL "installed")
    run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples -B ${dir}
        -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
        "-DCMAKE_CXX_FLAGS=${FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}")
    run(${CMAKE_COMMAND} --build ${dir})
    set(${out} ${dir}/kxembed PARENT_SCOPE)
  else()
    file(GLOB_RECURSE pc ${prefix}/kxaudio.pc)
    get_filename_component(pcdir "${pc}" DIRECTORY)
    set(ENV{PKG_CONFIG_PATH} ${pcdir})
    execute_process(COMMAND ${PKG_CONFIG} --cflags --libs kxaudio RESULT_VARIABLE status
                    OUTPUT_VARIABLE pkgflags OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "pkg-config knows no kxaudio under ${pcdir}")
    endif()
    separate_arguments(pkgflags UNIX_COMMAND "${pkgflags}")
    file(MAKE_DIRECTORY ${dir})
    run(${CXX} -std=c++20 ${flags} ${SOURCE_DIR}/examples/embed.cpp ${pkgflags} -o ${dir}/kxembed)
    set(${out} ${dir}/kxembed PARENT_SCOPE)
  endif()
endfunction()

# What the installed tree holds: the public headers of cmake/public_headers.cmake and no other,
# and package files that name no absolute path (but kxaudio.pc's own prefix= line), so the tree
# can be moved.
function(check_installed prefix)
  include(${SOURCE_DIR}/cmake/public_headers.cmake)
  file(GLOB_RECURSE headers RELATIVE ${prefix}/include ${prefix}/include/*)
  set(expected "")
  foreach(header ${KX_PUBLIC_HEADERS})
    list(APPEND expected kxaudio/${header})
  endforeach()
  list(SORT headers)
  list(SORT expected)
  if(NOT headers STREQUAL expected)
    message(FATAL_ERROR "installed include/ holds ${headers}\nand should hold ${expected}")
  endif()
  file(GLOB_RECURSE packaging ${prefix}/*.cmake ${prefix}/*.pc)
  if(NOT packaging)
    message(FATAL_ERROR "the install has no *.cmake or *.pc file")
  endif()
  foreach(file ${packaging})
    file(STRINGS ${file} lines)
    foreach(line IN LISTS lines)
      if(line MATCHES "^prefix=" AND file MATCHES "\\.pc$")
        continue()
      endif()
      if(line MATCHES "(^|[ \t\"';=(:<>,])/[A-Za-z0-9_.+-]+/")
        message(FATAL_ERROR "${file} names an absolute path: ${line}")
      endif()
    endforeach()
  endforeach()
endfunction()

if(MODE STREQUAL "in_tree")
  set(example ${EXAMPLE})
  set(kxplay ${KXPLAY})
else()
  set(prefix ${WORK_DIR}/prefix)
  set(ENV{PKG_CONFIG_PATH} "")
  run(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${prefix})
  foreach(installed bin/kxplay share/man/man1/kxplay.1 include/kxaudio/kxaudio/kxaudio.h
                    include/kxaudio/platform/devices/sndhost.h)
    if(NOT EXISTS ${prefix}/${installed})
      message(FATAL_ERROR "the install has no ${installed}")
    endif()
  endforeach()
  check_installed(${prefix})
  set(kxplay ${prefix}/bin/kxplay)
  build_example(${prefix} ${WORK_DIR}/build example)
endif()

run(${example} ${WORK_DIR}/run)
run(${kxplay} -q -o ${WORK_DIR}/run/kxplay.wav ${WORK_DIR}/run/tone.wav)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/run/out.wav
                        ${WORK_DIR}/run/kxplay.wav RESULT_VARIABLE differ)
file(SIZE ${WORK_DIR}/run/out.wav size)
if(NOT differ EQUAL 0 OR size LESS 80000)
  message(FATAL_ERROR "the example's out.wav (${size} bytes) differs from kxplay's render")
endif()
# What the user hears: period 0 is silence (the module started before the sound; 1024 frames of
# 4 bytes, the driver's default, behind the 44-byte header), then the tone's samples exactly.
file(READ ${WORK_DIR}/run/tone.wav tone OFFSET 44 HEX)
string(LENGTH "${tone}" toneHex)
math(EXPR toneBytes "${toneHex} / 2")
file(READ ${WORK_DIR}/run/out.wav heard OFFSET 4140 LIMIT ${toneBytes} HEX)
if(toneBytes LESS 80000 OR NOT heard STREQUAL tone)
  message(FATAL_ERROR "out.wav does not carry tone.wav's ${toneBytes} sample bytes after period 0")
endif()
message(STATUS "example (${MODE}): out.wav matches kxplay's render, ${size} bytes")

# The installed tree moved elsewhere: the example builds from there too and writes the same bytes.
if(NOT MODE STREQUAL "in_tree")
  set(moved ${WORK_DIR}/moved/kxaudio)
  file(MAKE_DIRECTORY ${WORK_DIR}/moved ${WORK_DIR}/run-moved)
  file(RENAME ${prefix} ${moved})
  build_example(${moved} ${WORK_DIR}/build-moved movedExample)
  run(${movedExample} ${WORK_DIR}/run-moved)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/run/out.wav
                          ${WORK_DIR}/run-moved/out.wav RESULT_VARIABLE differ)
  if(NOT differ EQUAL 0)
    message(FATAL_ERROR "built from the moved tree, the example wrote another out.wav")
  endif()
  message(STATUS "example (${MODE}): built from the moved tree, out.wav is the same")
endif()
