# Cross-compiles zentrova for 64-bit ARM Linux with Debian's cross compiler and
# runs the resulting programs under QEMU's user-mode emulator, so ctest works
# unchanged: the engine's portable path (no x86 kernels at all) on a processor
# of another family, whose compiler would fuse multiplies and adds by default.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ZV_ARM_PREFIX aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${ZV_ARM_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${ZV_ARM_PREFIX}-g++)

# Headers and libraries from the target's tree only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ZV_ARM_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(ZENTROVA_QEMU_AARCH64 qemu-aarch64)
if(ZENTROVA_QEMU_AARCH64)
  # The target's dynamic loader and C library come from the cross tree.
  set(CMAKE_CROSSCOMPILING_EMULATOR "${ZENTROVA_QEMU_AARCH64}" -L /usr/${ZV_ARM_PREFIX})
endif()
