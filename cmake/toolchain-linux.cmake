# Linux on another processor, built with Debian's cross g++ for the GNU triple
# BYTENEG_TRIPLE (g++-TRIPLE) and run under qemu's user mode (qemu-BYTENEG_QEMU),
# which finds the target's loader and libraries under the cross root /usr/TRIPLE.
# Each cross preset names the two (CMakePresets.json); a build that runs
# nothing, as the release's, needs only the triple.
set(BYTENEG_TRIPLE "" CACHE STRING "GNU triple of the target, as Debian's cross compilers name it")
set(BYTENEG_QEMU "" CACHE STRING "qemu-user's name for the target: qemu-NAME runs its programs")
if(NOT BYTENEG_TRIPLE)
    message(FATAL_ERROR "a cross build needs the target's GNU triple: -DBYTENEG_TRIPLE=...")
endif()
# CMake reads this file again for each check it compiles, with only these of the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BYTENEG_TRIPLE BYTENEG_QEMU)

set(CMAKE_SYSTEM_NAME Linux)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${BYTENEG_TRIPLE}")
set(CMAKE_C_COMPILER ${BYTENEG_TRIPLE}-gcc) # GoogleTest builds C too
set(CMAKE_CXX_COMPILER ${BYTENEG_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${BYTENEG_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(BYTENEG_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${BYTENEG_QEMU} -L /usr/${BYTENEG_TRIPLE})
endif()
