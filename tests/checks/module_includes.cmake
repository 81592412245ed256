# SPDX-License-Identifier: Apache-2.0
# The module (kxaudio/, pool/, wavFile/, path/, dxmix/) reaches the platform only through the
# target's service headers listed below: never through a header of the host's controls and
# observations, the kernel choice, the explorer or a device's simulation. Every module source is
# read for #include "platform/..." lines; the listed headers are read too, so that none of them
# brings a host header in. Run by ctest: cmake -DSOURCE_DIR=... -P this file.
# SOURCES (optional, ;-separated) replaces the module's sources, for the check's negative case.
cmake_minimum_required(VERSION 3.20)
set(target_headers
    platform/kernel/rtk_types.h
    platform/kernel/rtk_tasks.h
    platform/kernel/rtk_events.h
    platform/kernel/rtk_sections.h
    platform/kernel/rtk_sleep.h
    platform/kernel/rtk_preempt.h
    platform/kernel/kxq.h
    platform/kernel/kxlist.h
    platform/files/kxfile.h
    platform/files/kxfs.h
    platform/devices/registry.h
    platform/devices/dm.h
    platform/devices/hda_protocol.h)

if(DEFINED SOURCES)
  set(module_sources ${SOURCES})
else()
  set(module_sources "")
  foreach(dir kxaudio pool wavFile path dxmix)
    file(GLOB_RECURSE found ${SOURCE_DIR}/${dir}/*.cpp ${SOURCE_DIR}/${dir}/*.h)
    list(APPEND module_sources ${found})
  endforeach()
  if(NOT module_sources)
    message(FATAL_ERROR "no module sources found under ${SOURCE_DIR}")
  endif()
endif()
foreach(header ${target_headers})
  list(APPEND module_sources ${SOURCE_DIR}/${header})
endforeach()

set(failed FALSE)
foreach(source ${module_sources})
  file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"platform/")
  foreach(line ${includes})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" header "${line}")
    if(NOT header IN_LIST target_headers)
      message(SEND_ERROR "${source} includes ${header}, which is not a target service header")
      set(failed TRUE)
    endif()
  endforeach()
endforeach()
if(failed)
  message(FATAL_ERROR "the module reaches the host's side of the platform")
endif()
list(LENGTH module_sources count)
message(STATUS "${count} module sources and target headers include only target headers")
