# IBM Z, big-endian: cmake --workflow --preset s390x (Debian:
# g++-s390x-linux-gnu, qemu-user).
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(VEXO_CROSS_TRIPLET s390x-linux-gnu)
set(VEXO_QEMU_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
