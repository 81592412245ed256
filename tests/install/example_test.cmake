# The embedding example as an integrator builds it, run and compared with kxplay's render of the
# same sound (kxplay's stepped output is the proven one). MODE:
#   in_tree    the example and kxplay of this build tree;
#   installed  this tree installed to a fresh prefix, the example configured as a project of its
#              own with find_package(kxaudio), built and run, against the installed kxplay;
#   pkgconfig  the same prefix, the example compiled with the flags of kxaudio.pc alone.
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

if(MODE STREQUAL "in_tree")
  set(example ${EXAMPLE})
  set(kxplay ${KXPLAY})
else()
  set(prefix ${WORK_DIR}/prefix)
  run(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${prefix})
  foreach(installed bin/kxplay share/man/man1/kxplay.1 include/kxaudio/kxaudio/kxaudio.h
                    include/kxaudio/platform/devices/sndhost.h)
    if(NOT EXISTS ${prefix}/${installed})
      message(FATAL_ERROR "the install has no ${installed}")
    endif()
  endforeach()
  set(kxplay ${prefix}/bin/kxplay)
  set(example ${WORK_DIR}/kxembed)
  if(MODE STREQUAL "installed")
    run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples -B ${WORK_DIR}/build
        -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
        "-DCMAKE_CXX_FLAGS=${FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}")
    run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
    set(example ${WORK_DIR}/build/kxembed)
  else()
    set(ENV{PKG_CONFIG_PATH} "")
    file(GLOB_RECURSE pc ${prefix}/kxaudio.pc)
    get_filename_component(pcdir "${pc}" DIRECTORY)
    set(ENV{PKG_CONFIG_PATH} ${pcdir})
    execute_process(COMMAND ${PKG_CONFIG} --cflags --libs kxaudio RESULT_VARIABLE status
                    OUTPUT_VARIABLE pkgflags OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "pkg-config knows no kxaudio under ${pcdir}")
    endif()
    separate_arguments(pkgflags UNIX_COMMAND "${pkgflags}")
    run(${CXX} -std=c++20 ${flags} ${SOURCE_DIR}/examples/embed.cpp ${pkgflags} -o ${example})
  endif()
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
