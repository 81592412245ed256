# SPDX-License-Identifier: Apache-2.0
# Toolchain of the bootable image: Debian's own g++ and gcc for 32-bit x86 (g++-multilib),
# freestanding, no host libraries. Only the metal preset uses it; host builds never see it.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_ASM_COMPILER gcc)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(KX_METAL_FLAGS "-m32 -march=i686 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-pic -fno-pie -fno-stack-protector -fno-asynchronous-unwind-tables -fno-strict-aliasing")
set(CMAKE_CXX_FLAGS_INIT "${KX_METAL_FLAGS}")
set(CMAKE_ASM_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -nostdlib -static -no-pie -Wl,--build-id=none -Wl,--no-warn-rwx-segments")
