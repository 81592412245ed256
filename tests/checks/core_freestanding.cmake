# SPDX-License-Identifier: Apache-2.0
# Compiles the scheduler core (platform/kernel/core/) as a bare machine's image would: freestanding,
# without exceptions or RTTI, 32-bit where the compiler has the multilib. Then every symbol the
# objects leave undefined must be one of the home's obligations (kx::core::home*) or one of the
# few that a freestanding compiler may emit by itself (memcpy, memset, memmove, memcmp): an
# allocation, a standard container, a guard or an exception would show up as another symbol.
# Run by ctest as: cmake -DCXX=... -DNM=... -DSOURCE_DIR=... -DWORK_DIR=... -P this file.
# SOURCES (optional, ;-separated) replaces the core's sources, for the check's own negative case.
cmake_minimum_required(VERSION 3.20)
file(GLOB core_sources ${SOURCE_DIR}/platform/kernel/core/*.cpp)
if(DEFINED SOURCES)
  set(core_sources ${SOURCES})
endif()
if(NOT core_sources)
  message(FATAL_ERROR "no core sources found")
endif()
file(MAKE_DIRECTORY ${WORK_DIR})

set(flags -std=c++20 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-pie
          -Wall -Wextra -Werror -O2 -I${SOURCE_DIR})
file(WRITE ${WORK_DIR}/probe.cpp "int probe;\n")
execute_process(COMMAND ${CXX} -m32 -c ${WORK_DIR}/probe.cpp -o ${WORK_DIR}/probe.o
                RESULT_VARIABLE m32_result OUTPUT_QUIET ERROR_QUIET)
if(m32_result EQUAL 0)
  list(APPEND flags -m32)
endif()

set(allowed "^(memcpy|memset|memmove|memcmp|kx::core::home[A-Za-z]*\\(.*\\))$")
set(failed FALSE)
set(objects "")
foreach(source ${core_sources})
  get_filename_component(name ${source} NAME_WE)
  set(object ${WORK_DIR}/${name}.o)
  execute_process(COMMAND ${CXX} ${flags} -c ${source} -o ${object}
                  RESULT_VARIABLE result ERROR_VARIABLE errors)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${source} does not compile freestanding:\n${errors}")
  endif()
  list(APPEND objects ${object})
endforeach()
# One relocatable object, as the image would take it: only what the core itself leaves open.
set(machine "")
if(m32_result EQUAL 0)
  set(machine -m32)
endif()
execute_process(COMMAND ${CXX} ${machine} -r -nostdlib ${objects} -o ${WORK_DIR}/kernel_core.o
                RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the core's objects do not link together:\n${errors}")
endif()
execute_process(COMMAND ${NM} -u -C ${WORK_DIR}/kernel_core.o OUTPUT_VARIABLE undefined
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${WORK_DIR}/kernel_core.o")
endif()
string(REPLACE "\n" ";" lines "${undefined}")
foreach(line ${lines})
  string(REGEX REPLACE "^ *U +" "" symbol "${line}")
  if(symbol STREQUAL "")
    continue()
  endif()
  if(NOT symbol MATCHES "${allowed}")
    message(SEND_ERROR "the core needs '${symbol}', which a bare machine does not have")
    set(failed TRUE)
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "the scheduler core is not freestanding")
endif()
list(JOIN flags " " shown)
message(STATUS "scheduler core freestanding (${shown})")
