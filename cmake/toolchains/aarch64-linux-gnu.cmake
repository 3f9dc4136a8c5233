# 64-bit Arm, little-endian: cmake --workflow --preset aarch64 (Debian:
# g++-aarch64-linux-gnu, qemu-user).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VEXO_CROSS_TRIPLET aarch64-linux-gnu)
set(VEXO_QEMU_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
