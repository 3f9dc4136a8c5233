# Shared by the cross toolchain files: Debian's cross compiler
# ${VEXO_CROSS_TRIPLET}-g++ (g++-<arch>-linux-gnu), the target's libraries, if
# any, from Debian's multiarch directory /usr/lib/${VEXO_CROSS_TRIPLET}, and
# qemu-user to run the target's programs, so that gtest_discover_tests, ctest
# and the examples' test run them emulated.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VEXO_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VEXO_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VEXO_CROSS_TRIPLET})
# Never the build machine's own libraries or package files.
set(CMAKE_IGNORE_PREFIX_PATH /usr/lib/x86_64-linux-gnu)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)
# qemu-user finds the target's loader and libc under -L; it reads the
# multiarch libraries from their own directories.
find_program(VEXO_QEMU qemu-${VEXO_QEMU_ARCH} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VEXO_QEMU} -L /usr/${VEXO_CROSS_TRIPLET})
