# Cross build for the gateway: 32-bit ARM, hard-float EABI, Linux.
# Uses Debian's cross compiler (g++-arm-linux-gnueabihf), whose libraries live
# in /usr/arm-linux-gnueabihf, and runs the target's programs (test discovery,
# ctest) under qemu-arm from Debian's qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CUSTOMAPP_TARGET_TRIPLE arm-linux-gnueabihf)
set(CUSTOMAPP_TARGET_ROOT /usr/${CUSTOMAPP_TARGET_TRIPLE})

set(CMAKE_C_COMPILER ${CUSTOMAPP_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CUSTOMAPP_TARGET_TRIPLE}-g++)

# Libraries, headers and packages come from the target's tree only; programs
# (the emulator, nm, strip) from the build machine.
set(CMAKE_FIND_ROOT_PATH ${CUSTOMAPP_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Environment of the target's programs under the emulator, as a list of
# VAR=value. The sanitizer presets set their options here, so that they hold
# for test discovery during the build as well as for ctest. They are given to
# the emulator process itself: the sanitizer runtimes read them from
# /proc/self/environ, which qemu does not translate.
set(CUSTOMAPP_EMULATOR_ENV "" CACHE STRING "VAR=value pairs for programs run under qemu-arm")

find_program(CUSTOMAPP_QEMU_ARM qemu-arm)
if(CUSTOMAPP_QEMU_ARM)
    set(CMAKE_CROSSCOMPILING_EMULATOR "")
    if(CUSTOMAPP_EMULATOR_ENV)
        find_program(CUSTOMAPP_ENV_PROGRAM env REQUIRED)
        list(APPEND CMAKE_CROSSCOMPILING_EMULATOR ${CUSTOMAPP_ENV_PROGRAM} ${CUSTOMAPP_EMULATOR_ENV})
    endif()
    # -L: the loader and shared libraries of the target come from its tree.
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR ${CUSTOMAPP_QEMU_ARM} -L ${CUSTOMAPP_TARGET_ROOT})
else()
    message(WARNING "qemu-arm not found (Debian package qemu-user): the ARM tests cannot run")
endif()
