# SPDX-License-Identifier: Apache-2.0
# Fails the build when the image reaches LIMIT bytes; prints its size otherwise.
file(SIZE ${IMAGE} size)
if(size GREATER_EQUAL LIMIT)
  message(FATAL_ERROR "${IMAGE} is ${size} bytes, at or above the limit of ${LIMIT}")
endif()
message(STATUS "kxaudio-metal.elf: ${size} bytes (limit ${LIMIT})")
